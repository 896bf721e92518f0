// The managed topology objects: identifiers, text decoding, every flag bit of the native records
// on its own, and the exact names, order and sender of the notifications that Update raises.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <map>

#include "ManagedTestSupport.h"
#include "vesk_managed/Array.h"
#include "vesk_managed/Controller.h"
#include "vesk_managed/Drive.h"
#include "vesk_managed/Volume.h"

namespace VESK_Managed {
namespace {

using testing::ExpectThrows;
using testing::MakeArray;
using testing::MakeController;
using testing::MakeDrive;
using testing::MakeVolume;
using testing::NativeGuid;
using testing::Raised;
using testing::SetText;
using Names = std::vector<std::string>;

Vesk::vesk_guid NativeOf(const std::array<std::uint8_t, 16>& bytes) {
  Vesk::vesk_guid native{};
  std::memcpy(&native, bytes.data(), 16);
  return native;
}

// The hash values were worked out independently from the mixing algorithm's definition.
TEST(GuidTest, ReadsTheNativeBytesInPlaceWritesThemBackAndHashesThemExactly) {
  const auto native =
      NativeOf({0x78, 0x56, 0x34, 0x12, 0xbc, 0x9a, 0xf0, 0xde, 0x12, 0x34, 1, 2, 3, 4, 5, 0xff});
  const Guid guid(native);
  EXPECT_EQ(guid.ToString(), L"12345678-9abc-def0-3412-0102030405ff");
  EXPECT_EQ(guid.ToNative(), native);
  EXPECT_EQ(guid.GetHashCode(), 610576505);
  EXPECT_EQ(Guid().GetHashCode(), 346378304);
  const auto high = NativeOf(
      {0, 0, 0, 0x80, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff});
  EXPECT_EQ(Guid(high).GetHashCode(), -385850360);
}

TEST(GuidTest, EmptyIsAllZerosAndEqualityIgnoresIdentity) {
  EXPECT_TRUE(Guid::Empty().IsEmpty() && Guid(Vesk::vesk_invalid_guid).IsEmpty());
  EXPECT_FALSE(Guid(NativeGuid(1)).IsEmpty());
  Guid a(NativeGuid(5, 9));
  Guid b(NativeGuid(5, 9));
  EXPECT_TRUE(a.Equals(&b));
  EXPECT_FALSE(a.Equals(static_cast<const Guid*>(nullptr)));
  EXPECT_FALSE(a.Equals(static_cast<const System::Object*>(nullptr)));
  System::Version notAGuid(1, 2, 3, 4);
  EXPECT_FALSE(a.Equals(&notAGuid));
  const System::Object& asObject = b;
  EXPECT_TRUE(a.Equals(&asObject));
}

TEST(ScsiTest, ComparesByHostBusTargetLun) {
  Scsi address(1, 0, 0, 0);
  Scsi lower(0, 9, 9, 9);
  EXPECT_EQ(address.CompareTo(&lower), 1);
  EXPECT_EQ(lower.CompareTo(&address), -1);
  Scsi same(1, 0, 0, 0);
  EXPECT_EQ(address.CompareTo(&same), 0);
  EXPECT_EQ(address.CompareTo(nullptr), 1);
  Guid notScsi;
  ExpectThrows<System::ArgumentException>([&] { address.CompareTo(&notScsi); },
                                          "Object is not Scsi.");
}

// Texts are read over their full width; drive texts are trimmed at both ends, volume names only
// at the start.
TEST(TextTest, TextsAreDecodedOverTheirFullWidthAndTrimmed) {
  auto record = MakeDrive(1);
  SetText(record.modelNumber, "  Model \xe9X  ");
  SetText(record.serialNumber, "12345678901234567890");  // full width, no NUL
  SataDrive drive(record);
  EXPECT_EQ(drive.ModelNumber(), L"Model ?X");
  EXPECT_EQ(drive.SerialNumber(), L"12345678901234567890");
  EXPECT_EQ(drive.TotalSize(), 512000u);
  auto volume = MakeVolume(1);
  SetText(volume.name, "ABCDEFGHIJKLMNOP");
  EXPECT_EQ(Volume(volume).Name(), L"ABCDEFGHIJKLMNOP");
  SetText(volume.name, "  Data  ");
  EXPECT_EQ(Volume(volume).Name(), L"Data  ");
}

TEST(DriveTest, EveryChangeIsRaisedInTheDefinedOrder) {
  auto record = MakeDrive(1, Vesk::VESK_DRIVE_NVME);
  DornDrive drive(record);
  Raised raised(drive);
  Raised scsi(*drive.ScsiAddress());
  // Every byte differs but the identity and the kind; the serial number and link width are not
  // compared.
  std::memset(&record, 0xFE, sizeof record);
  record.id = NativeGuid(1);
  record.type = Vesk::VESK_DRIVE_NVME;
  record.totalSize = 1024000;
  record.status = static_cast<Vesk::vesk_drive_status>(2);
  drive.Update(record);
  EXPECT_EQ(raised.Joined(),
            "ArrayId ControllerId FirmwareRevision Size TotalSize LogicalBlockSize TotalSize "
            "Status EncryptionAbility EncryptionStatus Usage SystemDrive VolumeLocation0 "
            "VolumeLocation1 ActivateLedSupport PreBootVisible ContainsPartition LedActive "
            "WriteCacheEnabled DualControllerNvme DualControllerOrder SbrAttached "
            "NegotiatedLinkRate VendorId SocketNumber DornControllerNumber RootPortOffset "
            "PhysicalSlotNumber");
  EXPECT_EQ(scsi.Joined(), "Host ScsiAddress Bus ScsiAddress Target ScsiAddress Lun ScsiAddress");
  // Each object raises as itself: the address's names come from the address, not the drive.
  EXPECT_EQ(std::ranges::count(raised.senders, &drive), std::ssize(raised.names));
  EXPECT_EQ(std::ranges::count(scsi.senders, drive.ScsiAddress().get()), std::ssize(scsi.names));
  EXPECT_EQ(drive.TotalSize(), 1024000u);
  EXPECT_TRUE(drive.IsPlaceholder());
  EXPECT_EQ(drive.SerialNumber(), L"SN1");
  EXPECT_EQ(drive.NegotiatedLinkWidth(), 0);
}

TEST(DriveTest, SataVariantsCompareTheirConnectionAfterTheBase) {
  auto record = MakeDrive(1);
  SataDrive sata(record);
  SataOpticalDrive optical(record);
  Raised sataRaised(sata);
  Raised opticalRaised(optical);
  record.usage = static_cast<Vesk::vesk_drive_usage>(3);
  record.connection[0] = 4;     // port
  record.connection[1] = 0xC2;  // ncq, ssd, rate 2
  sata.Update(record);
  optical.Update(record);
  EXPECT_EQ(sataRaised.names,
            (Names{"Usage", "PortNumber", "NegotiatedLinkRate", "NcqSupport", "IsSsd"}));
  EXPECT_EQ(opticalRaised.names, (Names{"Usage", "PortNumber"}));
  EXPECT_EQ(static_cast<int>(sata.NegotiatedLinkRate()), 2);
}

TEST(DriveTest, ADriveMadeFromItsIdentifierGainsAnAddressOnItsFirstUpdate) {
  SataDrive drive(Guid(NativeGuid(3)));
  Raised raised(drive);
  auto record = MakeDrive(3);
  record.scsiAddress = Vesk::Scsi{0, 5, 0, 0};
  drive.Update(record);
  ASSERT_NE(drive.ScsiAddress(), nullptr);
  EXPECT_EQ(drive.ScsiAddress()->Bus(), 5);
  EXPECT_EQ(raised.names.front(), "ScsiAddress");
}

// Built or updated, a level gets its number; a level without one is refused.
TEST(VolumeTest, RaidLevelsGetTheirNumberAtConstructionAndInUpdate) {
  auto record = MakeVolume(1);  // RAID 1
  Volume volume(record);
  Raised raised(volume);
  const std::pair<int, int> levels[] = {{1, 0}, {3, 10}, {4, 5}, {5, 4}, {2, 1}};
  for (auto [level, numeric] : levels) {
    record.raidLevel = static_cast<Vesk::vesk_raid_level>(level);
    EXPECT_EQ(Volume(record).RaidLevelNumeric(), numeric) << level;
    raised.names.clear();
    volume.Update(record);
    EXPECT_EQ(raised.names, (Names{"RaidLevelNumeric", "RaidLevel"})) << level;
    EXPECT_EQ(volume.RaidLevel(), static_cast<vesk_raid_level>(level));
    EXPECT_EQ(volume.RaidLevelNumeric(), numeric);
  }
  for (int level : {0, 6}) {
    record.raidLevel = static_cast<Vesk::vesk_raid_level>(level);
    EXPECT_THROW(Volume{record}, System::NotSupportedException) << level;
  }
  // In Update: stored, then refused before its names and the properties compared after it.
  raised.names.clear();
  record.size = 99;
  EXPECT_THROW(volume.Update(record), System::NotSupportedException);
  EXPECT_TRUE(raised.names.empty());
  EXPECT_EQ(volume.RaidLevel(), vesk_raid_level{6});
  EXPECT_EQ(volume.RaidLevelNumeric(), 1);
  EXPECT_EQ(volume.Size(), 0u);
}

TEST(VolumeTest, EveryChangeIsRaisedInTheDefinedOrder) {
  auto record = MakeVolume(1);
  record.state = static_cast<Vesk::vesk_volume_state>(1);
  Volume volume(record);
  EXPECT_EQ(static_cast<int>(volume.PreviousState()), 0);
  Raised raised(volume);
  // Every byte differs but the identity; the level must have a number.
  std::memset(&record, 0xFE, sizeof record);
  record.id = NativeGuid(1);
  record.raidLevel = Vesk::VESK_RAID_5;
  record.state = static_cast<Vesk::vesk_volume_state>(2);
  volume.Update(record);
  EXPECT_EQ(raised.Joined(),
            "ArrayId ControllerId ArrayOrdinal Name PreviousState State RaidLevelNumeric "
            "RaidLevel Size StripSize NumberOfDrives MigrationProgress Initialized Migrating "
            "SystemVolume VerifyErrors VerifyBadBlocks LogicalBlockSize CachePolicy CacheEnabled "
            "RwhPolicy JournalingDriveId");
  EXPECT_EQ(volume.RaidLevelNumeric(), 5);
  EXPECT_EQ(static_cast<int>(volume.PreviousState()), 1);
  EXPECT_EQ(static_cast<int>(volume.State()), 2);
}

TEST(ArrayTest, UpdateComparesControllerSizesAndCacheButNotTheName) {
  auto record = MakeArray(1);
  SetText(record.name, " Arr ");
  Array array(record);
  EXPECT_EQ(array.Name(), L"Arr ");
  Raised raised(array);
  std::memset(&record, 0xFE, sizeof record);  // every byte differs but the identity
  record.id = NativeGuid(1);
  array.Update(record);
  EXPECT_EQ(raised.names, (Names{"ControllerId", "TotalSize", "FreeSize", "WriteCacheEnabled"}));
  EXPECT_EQ(array.Name(), L"Arr ");
}

TEST(ControllerTest, ReadsItsRecordAndUpdatesOnlyItsPolicies) {
  auto record = MakeController(1, 0x2826);
  SetText(record->name, "  Sata Controller  ");
  record->osDriverVersion = {19, 5, 1, 1234};
  SataController controller(*record);
  EXPECT_EQ(controller.Name(), L"Sata Controller");
  EXPECT_EQ(controller.OsDriverVersion(), System::Version(19, 5, 1, 1234));
  Raised raised(controller);
  record->policyFlags = 0xC0;
  record->maxVolumesPerArray = 4;
  controller.Update(*record);
  EXPECT_EQ(raised.names, (Names{"RohiEnabled", "ReadPatrolEnabled"}));
  EXPECT_EQ(controller.MaxVolumesPerArray(), 0);
  DornController other(Guid(NativeGuid(1)));
  EXPECT_TRUE(controller.Equals(&other));
  EXPECT_FALSE(controller.Equals(static_cast<const Controller*>(nullptr)));
}

TEST(ControllerTest, DescriptorsReadThroughTheRecordsSlots) {
  auto record = MakeController(1, 1);
  auto& slots = record->raidLevelDescriptors;
  slots[0].level = Vesk::VESK_RAID_0;
  slots[0].supportedStripSizes = 0x0004 | 0x0008;
  slots[1].level = Vesk::VESK_RAID_1;
  slots[1].supportedStripSizes = 0x8000;
  slots[1].migrationDescriptors = {{Vesk::VESK_RAID_0, 0}, {Vesk::VESK_RAID_5, 1}};
  slots[3].level = Vesk::VESK_RAID_5;
  slots[3].minDrivesCount = 3;
  slots[3].supportedStripSizes = 0xFFFF;
  slots[4].level = Vesk::VESK_RAID_1;  // a second slot of a level: the first is kept
  slots[4].maxDrivesCount = 9;
  SataController controller(*record);
  const auto& descriptors = controller.RaidLevelDescriptors();
  ASSERT_EQ(descriptors.size(), 3u);
  EXPECT_EQ(descriptors.at(vesk_raid_level::Raid0).SupportedStripSizes(),
            (std::vector<vesk_strip_size>{vesk_strip_size{4}, vesk_strip_size{8}}));
  const auto& raid1 = descriptors.at(vesk_raid_level::Raid1);
  EXPECT_TRUE(raid1.SupportedStripSizes().empty());
  EXPECT_EQ(raid1.MaxDrivesCount(), 0);
  ASSERT_EQ(raid1.MigrationDescriptors().size(), 2u);
  EXPECT_EQ(raid1.MigrationDescriptors()[1].TargetRaidLevel(), vesk_raid_level::Raid5);
  EXPECT_EQ(raid1.MigrationDescriptors()[1].MinAdditionalDriveCount(), 1);
  // Every bit up to 0x4000 and none above.
  std::vector<vesk_strip_size> all;
  for (unsigned bit = 1; bit <= 0x4000; bit <<= 1) all.push_back(vesk_strip_size(bit));
  EXPECT_EQ(descriptors.at(vesk_raid_level::Raid5).SupportedStripSizes(), all);
  // Read through: a change of the record shows.
  slots[3].minDrivesCount = 4;
  EXPECT_EQ(descriptors.at(vesk_raid_level::Raid5).MinDrivesCount(), 4);
}

// --- Every flag bit of the native records, one at a time --------------------------------------

// The managed properties that flag bits decide, read as numbers.
template <typename Managed>
using Readers = std::vector<std::pair<std::string, std::function<int(const Managed&)>>>;
// clang-format off
#define READ(property) {#property, [](auto& o) { return int(o.property()); }}
// clang-format on
#define BYTE(Record, field) +[](Record& r) -> std::uint8_t& { return r.field; }

// What one bit makes an object show (property -> value; a property not named reads 0), and the
// names an Update from an all-clear record raises for it.
struct BitMeaning {
  std::map<std::string, int> shown;
  Names raised;
};

struct BitCase {
  std::string name;
  std::function<void()> check;
};

// One case per bit of a flag byte; bits without a meaning must show nothing and raise nothing.
template <typename Managed, typename Record>
void AddFlagByte(std::vector<BitCase>& cases, const std::string& label,
                 std::function<std::unique_ptr<Record>()> blank, std::uint8_t& (*flags)(Record&),
                 const Readers<Managed>& readers, std::map<int, BitMeaning> meanings) {
  for (int bit = 0; bit < 8; ++bit) {
    cases.push_back(
        {label + "Bit" + std::to_string(bit), [=, meaning = meanings[bit]] {
           auto record = blank();
           flags(*record) = static_cast<std::uint8_t>(1u << bit);
           const auto expected = [&](const std::string& property, bool taken) {
             return taken && meaning.shown.contains(property) ? meaning.shown.at(property) : 0;
           };
           const Managed built(*record);
           const auto clear = blank();
           Managed updated(*clear);
           Raised raised(updated);
           updated.Update(*record);
           EXPECT_EQ(raised.names, meaning.raised);
           for (const auto* sender : raised.senders) EXPECT_EQ(sender, &updated);
           for (const auto& [property, read] : readers) {
             EXPECT_EQ(read(built), expected(property, true)) << property << " built";
             EXPECT_EQ(read(updated),
                       expected(property, std::ranges::count(meaning.raised, property) > 0))
                 << property << " after Update";
           }
         }});
  }
}

const RaidLevelDescriptor& Raid1(const Controller& c) {
  return c.RaidLevelDescriptors().at(vesk_raid_level::Raid1);
}

// A flag that shows as 1 and raises its own name.
BitMeaning Flag(const std::string& property) { return {{{property, 1}}, {property}}; }

std::vector<BitCase> FlagBits() {
  std::vector<BitCase> cases;

  const Readers<SataDrive> sataDrive = {
      READ(ContainsPartition),  READ(LedActive),          READ(WriteCacheEnabled),
      READ(PreBootVisible),     READ(ActivateLedSupport), READ(SystemDrive),
      READ(NegotiatedLinkRate), READ(NcqSupport),         READ(IsSsd)};
  const auto sata = [] { return std::make_unique<Vesk::Drive>(MakeDrive(1)); };
  AddFlagByte<SataDrive, Vesk::Drive>(cases, "DriveFlags", sata, BYTE(Vesk::Drive, driveFlags),
                                      sataDrive,
                                      {{2, Flag("ContainsPartition")},
                                       {3, Flag("LedActive")},
                                       {4, Flag("WriteCacheEnabled")},
                                       {5, Flag("PreBootVisible")},
                                       {6, Flag("ActivateLedSupport")},
                                       {7, Flag("SystemDrive")}});
  std::map<int, BitMeaning> link = {{6, Flag("IsSsd")}, {7, Flag("NcqSupport")}};
  for (int bit = 0; bit < 6; ++bit)
    link[bit] = {{{"NegotiatedLinkRate", 1 << bit}}, {"NegotiatedLinkRate"}};
  AddFlagByte<SataDrive, Vesk::Drive>(cases, "SataLinkByte", sata, BYTE(Vesk::Drive, connection[1]),
                                      sataDrive, link);

  AddFlagByte<DornDrive, Vesk::Drive>(
      cases, "NvmeFlagByte",
      [] { return std::make_unique<Vesk::Drive>(MakeDrive(1, Vesk::VESK_DRIVE_NVME)); },
      BYTE(Vesk::Drive, connection[2]),
      {READ(SbrAttached), READ(DualControllerOrder), READ(DualControllerNvme)},
      {{5, Flag("SbrAttached")},
       {6, Flag("DualControllerOrder")},
       {7, Flag("DualControllerNvme")}});

  const Readers<Volume> volume = {READ(SystemVolume), READ(Migrating),   READ(Initialized),
                                  READ(RwhPolicy),    READ(CachePolicy), READ(CacheEnabled)};
  const auto blankVolume = [] { return std::make_unique<Vesk::Volume>(MakeVolume(1)); };
  AddFlagByte<Volume, Vesk::Volume>(
      cases, "VolumeFlags", blankVolume, BYTE(Vesk::Volume, volumeFlags), volume,
      {{5, Flag("SystemVolume")}, {6, Flag("Migrating")}, {7, Flag("Initialized")}});
  // Write-hole policy in bits 0-3, cache policy in bits 4-7; the cache counts as enabled above 1.
  std::map<int, BitMeaning> policies;
  for (int bit = 0; bit < 4; ++bit) {
    policies[bit] = {{{"RwhPolicy", 1 << bit}}, {"RwhPolicy"}};
    policies[bit + 4] = {{{"CachePolicy", 1 << bit}, {"CacheEnabled", bit > 0}},
                         {"CachePolicy", "CacheEnabled"}};
  }
  AddFlagByte<Volume, Vesk::Volume>(cases, "VolumePolicies", blankVolume,
                                    BYTE(Vesk::Volume, policies), volume, policies);

  AddFlagByte<Array, Vesk::Array>(
      cases, "ArrayFlags", [] { return std::make_unique<Vesk::Array>(MakeArray(1)); },
      BYTE(Vesk::Array, arrayFlags), {READ(WriteCacheEnabled)}, {{7, Flag("WriteCacheEnabled")}});

  // Controllers: only the two policies are updated; the rest is read at construction.
  const Readers<SataController> controller = {
      READ(PreosDriverLoaded),
      READ(ReadPatrolEnabled),
      READ(RohiEnabled),
      READ(Mode),
      {"OddDriveCount", [](auto& c) { return int(Raid1(c).OddDriveCount()); }},
      {"EvenDriveCount", [](auto& c) { return int(Raid1(c).EvenDriveCount()); }}};
  using C = Vesk::Controller;
  const std::function<std::unique_ptr<C>()> blankController = [] { return MakeController(1, 1); };
  AddFlagByte<SataController, C>(cases, "ControllerDriverFlags", blankController,
                                 BYTE(C, driverFlags), controller,
                                 {{7, {{{"PreosDriverLoaded", 1}}, {}}}});
  AddFlagByte<SataController, C>(cases, "ControllerPolicyFlags", blankController,
                                 BYTE(C, policyFlags), controller,
                                 {{6, Flag("ReadPatrolEnabled")}, {7, Flag("RohiEnabled")}});
  AddFlagByte<SataController, C>(
      cases, "ControllerModeByte", blankController, BYTE(C, modeByte), controller,
      {{5, {{{"Mode", 1}}, {}}}, {6, {{{"Mode", 2}}, {}}}, {7, {{{"Mode", 4}}, {}}}});
  AddFlagByte<SataController, C>(
      cases, "DescriptorDriveCountFlags", blankController,
      BYTE(C, raidLevelDescriptors[0].driveCountFlags), controller,
      {{6, {{{"OddDriveCount", 1}}, {}}}, {7, {{{"EvenDriveCount", 1}}, {}}}});
  return cases;
}
#undef READ
#undef BYTE

class FlagBitTest : public ::testing::TestWithParam<BitCase> {};

TEST_P(FlagBitTest, ShowsItsOwnPropertyAloneAndRaisesOnlyItsName) { GetParam().check(); }

INSTANTIATE_TEST_SUITE_P(NativeRecords, FlagBitTest, ::testing::ValuesIn(FlagBits()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace VESK_Managed
