// Older answers read back as the current records: controller information, volumes and drives of
// every API version, byte for byte against the widening rules written out here per offset.
#include <gtest/gtest.h>

#include <bit>

#include "protocol/QueryReaders.h"
#include "tests/protocol/QueryAnswer.h"
#include "vesk/Records.h"

namespace Vesk {
namespace {

using test::Answer;
using test::BytesOf;
using test::Pattern;

constexpr std::size_t kEntry = 34;

// --- Controller information ------------------------------------------------------------------

std::vector<std::uint8_t> ControllerAnswer(std::uint32_t api,
                                           const std::vector<std::uint8_t>& entry) {
  Answer answer(kEntry + kControllerInfoSize[api]);
  answer.Count(1).Bytes(kEntry, entry);
  return answer.bytes;
}

std::vector<std::uint8_t> ReadController(std::uint32_t api,
                                         const std::vector<std::uint8_t>& entry) {
  auto bytes = ControllerAnswer(api, entry);
  return BytesOf(ReadSingleControllerInfo(bytes.data(), bytes.size(), api));
}

TEST(ControllerInfoWidening, Version1RecordKeepsItsFieldsAndOnlyTheInterpretedFlagBits) {
  auto old = Pattern(335);
  std::vector<std::uint8_t> expected(403, 0);
  std::copy(old.begin(), old.end(), expected.begin());
  expected[279] = old[279] & 0x80;
  expected[302] = old[302] & 0xC0;
  EXPECT_EQ(ReadController(0, old), expected);
}

TEST(ControllerInfoWidening, Versions2And3CarryTheTextUpToItsFirstZeroAndTheFieldsAfterIt) {
  for (std::uint32_t api : {1u, 2u}) {
    auto old = Pattern(370, 3);
    // "Tier" then a zero, then bytes that must not be carried.
    const char text[] = {'T', 'i', 'e', 'r', 0, 'x', 'y'};
    std::copy(std::begin(text), std::end(text), old.begin() + 335);
    std::vector<std::uint8_t> expected(403, 0);
    std::copy(old.begin(), old.begin() + 335, expected.begin());
    expected[279] = old[279] & 0x80;
    expected[302] = old[302] & 0xC0;
    std::copy(text, text + 4, expected.begin() + 335);
    std::copy(old.begin() + 365, old.begin() + 370, expected.begin() + 365);
    EXPECT_EQ(ReadController(api, old), expected) << "api " << api;
  }
}

TEST(ControllerInfoWidening, UnterminatedTextIsCutTo29Characters) {
  auto old = Pattern(370);
  std::fill(old.begin() + 335, old.begin() + 365, 'A');
  auto info = ReadController(1, old);
  EXPECT_EQ(std::string(info.begin() + 335, info.begin() + 364), std::string(29, 'A'));
  EXPECT_EQ(info[364], 0);
}

TEST(ControllerInfoWidening, CurrentRecordIsTakenWholeAndFieldsSitWhereTheWireHasThem) {
  Answer answer(kEntry + 403);
  answer.Count(1)
      .Id(kEntry, 3)
      .Text(kEntry + 16, "Controller A")
      .U16(kEntry + 272, 0x8086)
      .U16(kEntry + 274, 0x2822)
      .U16(kEntry + 282, 7)  // osDriverVersion.minor
      .U16(kEntry + 296, 2)
      .U16(kEntry + 298, 8)
      .U16(kEntry + 300, 32)
      .U8(kEntry + 279, 0xFF)
      .U8(kEntry + 302, 0x7F)
      .U8(kEntry + 303, 2)
      .U8(kEntry + 304, 0xA5)
      .U8(kEntry + 402, 0x5A);
  auto info = ReadSingleControllerInfo(answer.data(), answer.size(), 3);
  EXPECT_STREQ(info.name, "Controller A");
  EXPECT_EQ(+info.vendorId, 0x8086);
  EXPECT_EQ(+info.deviceId, 0x2822);
  EXPECT_EQ(+info.osDriverVersion.minor, 7);
  EXPECT_EQ(+info.maxVolumesPerArray, 2);
  EXPECT_EQ(+info.maxVolumesPerController, 8);
  EXPECT_EQ(+info.maxDrivesPerController, 32);
  EXPECT_TRUE(info.PreosDriverLoaded());
  EXPECT_TRUE(info.ReadPatrolEnabled());
  EXPECT_FALSE(info.RohiEnabled());
  EXPECT_EQ(+info.type, VESK_CONTROLLER_DORN);
  EXPECT_EQ(info.Mode(), 5);
  EXPECT_EQ(+info.driverFlags, 0xFF);  // not widened: carried bits stay
  EXPECT_EQ(+info.carried370[32], 0x5A);
}

// --- Volumes ---------------------------------------------------------------------------------

TEST(VolumeWidening, EntriesAreTakenAtTheirVersionsStrideAndOlderOnesWidenTo98Bytes) {
  for (std::uint32_t api : {0u, 1u, 2u, 3u}) {
    const std::size_t size = api < 2 ? 94 : 98;
    auto first = Pattern(size, 1), second = Pattern(size, 2);
    Answer answer(kEntry + size * 3);  // room for three, two sent
    answer.Count(2).Bytes(kEntry, first).Bytes(kEntry + size, second);
    auto volumes = ReadVolumeList(answer.data(), answer.size(), api, 3);
    ASSERT_EQ(volumes.size(), 2u);
    first.resize(98, 0);
    second.resize(98, 0);
    EXPECT_EQ(BytesOf(volumes[0]), first) << "api " << api;
    EXPECT_EQ(BytesOf(volumes[1]), second) << "api " << api;
  }
}

TEST(VolumeWidening, FieldsSitWhereTheWireHasThem) {
  Answer answer(kEntry + 98);
  answer.Count(1)
      .Id(kEntry, 1)
      .Id(kEntry + 16, 2)
      .Text(kEntry + 33, "Data")
      .U64(kEntry + 51, 1ull << 40)
      .U16(kEntry + 59, 0x40)
      .U16(kEntry + 62, 5000)
      .U8(kEntry + 64, 0xE0)
      .U32(kEntry + 73, 512)
      .U8(kEntry + 77, 0x21)
      .Id(kEntry + 78, 3);
  auto volume = ReadVolumeList(answer.data(), answer.size(), 3, 1).at(0);
  EXPECT_EQ(std::string(volume.name, 4), "Data");
  EXPECT_EQ(+volume.size, 1ull << 40);
  EXPECT_EQ(+volume.stripSize, 0x40);
  EXPECT_EQ(+volume.migrationProgress, 5000);
  EXPECT_TRUE(volume.SystemVolume() && volume.Migrating() && volume.Initialized());
  EXPECT_EQ(+volume.logicalBlockSize, 512u);
  EXPECT_EQ(volume.RwhPolicy(), 1);
  EXPECT_EQ(volume.CachePolicy(), 2);
  EXPECT_EQ(volume.journalingDriveId.group1 & 0xFF, 4u);
}

// --- Drives ----------------------------------------------------------------------------------

// The widening rules, byte by byte: `old` is an older drive record (167, 206 or 207 bytes).
std::vector<std::uint8_t> ExpectedDrive(const std::vector<std::uint8_t>& old, std::uint32_t api) {
  const std::size_t shift = api == 0 ? 2 : 0;  // 1.0 lacks the two volume-location bytes
  auto at = [&](std::size_t v2Offset) { return old.at(v2Offset - shift); };
  std::vector<std::uint8_t> out(258, 0);
  std::copy(old.begin(), old.begin() + 32, out.begin());
  std::copy(old.begin() + 48, old.begin() + 134, out.begin() + 48);
  out[134] = old[134] & (api == 0 ? 0xF0 : 0xFC);
  out[135] = api == 0 ? 0xFF : old[135];
  out[136] = api == 0 ? 0 : old[136];
  const std::uint8_t type = at(137);
  out[137] = type == 2 ? 3 : type;
  if (type == 0) out[138] = at(138);
  if (type == 1) out[138] = at(138), out[139] = at(139);
  if (type == 2 || type == 3) {
    out[138] = at(138);
    out[139] = at(139);
    out[140] = at(140) & 0xE0;
    for (std::size_t i = 141; i <= 148; ++i) out[i] = at(i);
    const std::size_t link = type == 2 ? 149 : 163;
    if (type == 3) {
      for (std::size_t i = 149; i <= 162; ++i) out[i] = at(i);
    }
    out[163] = at(link) & 0x07;
    out[164] = at(link) >> 3;
    out[165] = at(link + 1) & 0x07;
    out[166] = at(link + 1) >> 3;
    out[167] = at(link + 2);
    out[168] = at(link + 3);
    out[169] = at(link + 4);
  }
  if (api > 0) {
    out[185] = old[169];
    out[186] = old[170];
    out[217] = old[201];
    for (std::size_t i = 0; i < 4; ++i) out[218 + i] = old[202 + i];
  }
  out[238] = api == 2 ? old[206] : 0xFF;
  return out;
}

std::vector<std::uint8_t> OldDrive(std::uint32_t api, std::uint8_t type, std::uint8_t salt) {
  auto old = Pattern(kDriveInfoSize[api], salt);
  old[api == 0 ? 135 : 137] = type;
  return old;
}

std::vector<std::uint8_t> ReadOneDrive(std::uint32_t api, const std::vector<std::uint8_t>& old) {
  Answer answer(kEntry + old.size());
  answer.Count(1).Bytes(kEntry, old);
  return BytesOf(ReadSingleDriveInfo(answer.data(), answer.size(), api));
}

TEST(DriveWidening, EveryOlderVersionAndTypeFollowsTheRules) {
  for (std::uint32_t api : {0u, 1u, 2u}) {
    for (std::uint8_t type : {0, 1, 2, 3}) {
      for (std::uint8_t salt : {0, 0x80}) {
        auto old = OldDrive(api, type, salt);
        EXPECT_EQ(ReadOneDrive(api, old), ExpectedDrive(old, api))
            << "api " << api << " type " << int(type) << " salt " << int(salt);
      }
    }
  }
}

TEST(DriveWidening, ListEntriesAreTakenAtTheirVersionsStride) {
  for (std::uint32_t api : {0u, 1u, 2u}) {
    const std::size_t size = kDriveInfoSize[api];
    auto first = OldDrive(api, 1, 5), second = OldDrive(api, 3, 9);
    Answer answer(kDriveListLength);
    answer.Count(2).Bytes(kEntry, first).Bytes(kEntry + size, second);
    auto drives = ReadDriveList(answer.data(), answer.size(), api);
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_EQ(BytesOf(drives[0]), ExpectedDrive(first, api));
    EXPECT_EQ(BytesOf(drives[1]), ExpectedDrive(second, api));
  }
}

TEST(DriveWidening, Version1NvmeOfOldType2BecomesType3WithoutSocketOrSlot) {
  Answer old(167);
  old.Id(0, 1)
      .U8(134, 0xFF)
      .U8(135, 2)             // type
      .U16(136, 0x144D)       // vendorId
      .U8(138, 0xFF)          // flags
      .U8(147, (4 << 3) | 3)  // x4 at rate 3
      .U8(148, (2 << 3) | 1)
      .U8(149, 0x77)
      .U16(150, 0xBEEF);
  auto answer = Answer(kEntry + 167).Count(1).Bytes(kEntry, old.bytes);
  auto drive = ReadSingleDriveInfo(answer.data(), answer.size(), 0);
  EXPECT_EQ(+drive.type, VESK_DRIVE_NVME);
  EXPECT_EQ(+drive.nvme.vendorId, 0x144D);
  EXPECT_TRUE(drive.nvme.SbrAttached() && drive.nvme.DualControllerNvme());
  EXPECT_EQ(+drive.nvme.flags, 0xE0);
  EXPECT_EQ(+drive.nvme.socketNumber, 0);
  EXPECT_EQ(+drive.nvme.dornControllerNumber, 0);
  EXPECT_EQ(+drive.nvme.physicalSlotNumber, 0u);
  EXPECT_EQ(+drive.nvme.negotiatedLinkRate, 3);
  EXPECT_EQ(+drive.nvme.negotiatedLinkWidth, 4);
  EXPECT_EQ(+drive.nvme.secondLinkRate, 1);
  EXPECT_EQ(+drive.nvme.secondLinkWidth, 2);
  EXPECT_EQ(+drive.nvme.carried167, 0x77);
  EXPECT_EQ(+drive.nvme.carried168, 0xBEEF);
  EXPECT_FALSE(drive.ContainsPartition());
  EXPECT_FALSE(drive.LedActive());
  EXPECT_TRUE(drive.SystemDrive());
  EXPECT_EQ(+drive.volumeLocation0, 0xFF);
  EXPECT_EQ(+drive.volumeLocation1, 0);
  EXPECT_EQ(+drive.carried238, 0xFF);
}

TEST(DriveWidening, Version3DornDriveKeepsItsPlacement) {
  Answer old(207);
  old.Id(0, 1)
      .U8(137, 3)
      .U16(149, 1)
      .U16(151, 2)
      .U16(153, 3)
      .U64(155, 0x0102030405060708ull)
      .U8(163, (16 << 3) | 4)
      .U8(206, 0x42);
  auto answer = Answer(kEntry + 207).Count(1).Bytes(kEntry, old.bytes);
  auto drive = ReadSingleDriveInfo(answer.data(), answer.size(), 2);
  EXPECT_EQ(+drive.type, VESK_DRIVE_NVME);
  EXPECT_EQ(+drive.nvme.socketNumber, 1);
  EXPECT_EQ(+drive.nvme.dornControllerNumber, 2);
  EXPECT_EQ(+drive.nvme.rootPortOffset, 3);
  EXPECT_EQ(+drive.nvme.physicalSlotNumber, 0x0102030405060708ull);
  EXPECT_EQ(+drive.nvme.negotiatedLinkRate, 4);
  EXPECT_EQ(+drive.nvme.negotiatedLinkWidth, 16);
  EXPECT_EQ(+drive.carried238, 0x42);
}

TEST(DriveWidening, UnknownTypeKeepsTypeAndDropsItsPart) {
  auto old = OldDrive(1, 9, 0);
  auto drive = ReadOneDrive(1, old);
  EXPECT_EQ(drive[137], 9);
  EXPECT_EQ(std::vector<std::uint8_t>(drive.begin() + 138, drive.begin() + 185),
            std::vector<std::uint8_t>(47, 0));
}

TEST(DriveWidening, CurrentRecordIsTakenWholeAndSataFieldsSitWhereTheWireHasThem) {
  Answer record(258);
  record.Id(0, 1)
      .Text(48, "S3R1AL")
      .Text(68, "Model X")
      .U64(116, 1000000)
      .U32(124, 4096)
      .U8(134, 0xFC)
      .U8(137, 1)
      .U8(138, 5)
      .U8(139, 0xC0 | 3)
      .Text(187, "Bay 2")
      .U8(239, 1)
      .U8(240, 2)
      .U8(257, 0x99);
  auto answer = Answer(kEntry + 258).Count(1).Bytes(kEntry, record.bytes);
  auto drive = ReadSingleDriveInfo(answer.data(), answer.size(), 3);
  EXPECT_EQ(BytesOf(drive), record.bytes);
  EXPECT_EQ(std::string(drive.serialNumber, 6), "S3R1AL");
  EXPECT_EQ(drive.size * drive.logicalBlockSize, 4096000000ull);
  EXPECT_TRUE(drive.ContainsPartition() && drive.LedActive() && drive.WriteCacheEnabled() &&
              drive.PreBootVisible() && drive.ActivateLedSupport() && drive.SystemDrive());
  EXPECT_EQ(+drive.sata.portNumber, 5);
  EXPECT_EQ(drive.sata.NegotiatedLinkRate(), 3);
  EXPECT_TRUE(drive.sata.IsSsd() && drive.sata.NcqSupport());
  EXPECT_STREQ(drive.serviceLabel, "Bay 2");
  EXPECT_EQ(+drive.encryptionAbility, 1);
  EXPECT_EQ(+drive.encryptionStatus, 2);
}

// The widened records are the information blocks of the native records byte for byte, so the
// record builders take them by a plain copy.
TEST(NativeRecords, WidenedRecordsReadTheSameThroughTheNativeBlocks) {
  Answer old(206);
  old.Id(0, 1);
  old.U8(137, 2).U16(138, 0x1CC1).U8(140, 0x40).U8(149, (8 << 3) | 4).U16(169, 0xA55A);
  auto answer = Answer(kEntry + 206).Count(1).Bytes(kEntry, old.bytes);
  auto drive =
      std::bit_cast<DriveInformation>(ReadSingleDriveInfo(answer.data(), answer.size(), 1));
  EXPECT_EQ(+drive.type, VESK_DRIVE_NVME);
  EXPECT_EQ(drive.vendorId(), 0x1CC1);
  EXPECT_EQ(drive.dualControllerOrder(), 1);
  EXPECT_EQ(drive.pciNegotiatedLinkRate(), 4);
  EXPECT_EQ(drive.negotiatedLinkWidth(), 8);
  EXPECT_EQ(drive.connection[47] | drive.connection[48] << 8, 0xA55A);  // carried u16 at 185

  auto controller = ControllerAnswer(0, Pattern(335));
  auto info = std::bit_cast<ControllerInformation>(
      ReadSingleControllerInfo(controller.data(), controller.size(), 0));
  EXPECT_EQ(+info.maxDrivesPerController, controller[kEntry + 300] | controller[kEntry + 301] << 8);
  static_assert(sizeof(ArrayInformation) == sizeof(_vesk_array_info_4_0));
  static_assert(sizeof(VolumeInformation) == sizeof(_vesk_volume_info_4_0));
}

}  // namespace
}  // namespace Vesk
