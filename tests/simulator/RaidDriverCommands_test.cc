// Commands change the simulated driver's model, refuse invalid input with their status and leave
// the model untouched when they do, and background work advances with the clock.
#include <gtest/gtest.h>

#include <functional>

#include "simulator/RaidDriver.h"
#include "tests/simulator/RequestBytes.h"

namespace vesk::sim::test {
namespace {

using Vesk::vesk_invalid_guid;
namespace fn = function;

struct NewVolume {
  std::string name = "Fast";
  std::uint16_t strip = 0;
  std::uint8_t level = 1;
  std::uint64_t size = 0;
  std::uint8_t flags = 0;
  vesk_guid keepDrive{};
  vesk_guid journalDrive{};
  std::vector<vesk_guid> drives;
};

Bytes CreateRequest(const NewVolume& v) {
  Bytes r = Bytes::Management(94 + 16 * v.drives.size(), fn::kCreateVolume);
  r.Put16(32, static_cast<std::uint16_t>(v.drives.size()));
  r.PutText(34, v.name.substr(0, 16));
  r.Put16(34 + 16, v.strip);
  r.Put8(34 + 18, v.level);
  r.Put64(34 + 19, v.size);
  r.Put8(34 + 27, v.flags);
  r.PutId(34 + 28, v.keepDrive);
  r.PutId(34 + 44, v.journalDrive);
  for (std::size_t i = 0; i < v.drives.size(); ++i) r.PutId(94 + 16 * i, v.drives[i]);
  return r;
}

Bytes ListCommand(std::uint32_t function, const vesk_guid& target,
                  const std::vector<vesk_guid>& drives) {
  Bytes r = Bytes::Management(50 + 16 * drives.size(), function);
  r.PutId(32, target);
  r.Put16(48, static_cast<std::uint16_t>(drives.size()));
  for (std::size_t i = 0; i < drives.size(); ++i) r.PutId(50 + 16 * i, drives[i]);
  return r;
}

Bytes LayoutCommand(const vesk_guid& volume, std::uint16_t strip, std::uint8_t level,
                    const std::vector<vesk_guid>& drives) {
  Bytes r = Bytes::Management(53 + 16 * drives.size(), fn::kChangeRaidLayout);
  r.PutId(32, volume);
  r.Put16(48, strip);
  r.Put8(50, level);
  r.Put16(51, static_cast<std::uint16_t>(drives.size()));
  for (std::size_t i = 0; i < drives.size(); ++i) r.PutId(53 + 16 * i, drives[i]);
  return r;
}

class Commands : public ::testing::Test {
 protected:
  std::shared_ptr<RaidDriver> driver = LoadDriver("demo.json");

  std::uint32_t Run(Bytes request, const std::wstring& pdo = kSataPdo) {
    EXPECT_TRUE(Send(*driver, pdo, request).ok);
    last = request;
    return request.ReturnCode();
  }
  Volume VolumeNow(const vesk_guid& id) {
    Topology now = driver->Snapshot();
    for (auto& c : now.controllers)
      if (const Volume* v = c.FindVolume(id)) return *v;
    ADD_FAILURE() << "no volume " << id.ToString();
    return {};
  }
  Drive DriveNow(const vesk_guid& id) {
    Topology now = driver->Snapshot();
    for (auto& c : now.controllers)
      if (const Drive* d = c.FindDrive(id)) return *d;
    ADD_FAILURE() << "no drive " << id.ToString();
    return {};
  }
  // The 4.0 volume record of one volume as the driver answers it now.
  Bytes VolumeRecord(const vesk_guid& id, const std::wstring& pdo = kSataPdo) {
    Bytes r = ScopedQuery(fn::kGetVolumeInfo, 147, 3, id);
    EXPECT_TRUE(Send(*driver, pdo, r).ok);
    EXPECT_EQ(r.ReturnCode(), 0u);
    return r;
  }
  std::vector<vesk_guid> Members(const vesk_guid& arrayId) {
    Topology now = driver->Snapshot();
    return now.controllers[arrayId == kSataArray ? 0 : 1].FindArray(arrayId)->drives;
  }
  std::uint8_t UsageOnWire(const vesk_guid& drive) {
    Bytes r = ScopedQuery(fn::kGetDriveInfo, 292, 4, drive);
    EXPECT_TRUE(Send(*driver, kSataPdo, r).ok);
    return r.U8(34 + 133);
  }

  Bytes last;
};

TEST_F(Commands, CreateVolumeOnFreeDrivesMakesAnArrayAndAnswersTheNewIdentifier) {
  ASSERT_EQ(Run(TargetCommand(fn::kUnmarkSpare, SataDisk(2))), 0u);
  ASSERT_EQ(Run(CreateRequest({.drives = {SataDisk(2), SataDisk(3)}})), 0u);
  Bytes record = VolumeRecord(last.IdAt(32));
  EXPECT_EQ(record.Text(34 + 33, 16), "Fast");
  EXPECT_EQ(record.U8(34 + 50), 1);
  EXPECT_EQ(record.U16(34 + 59), 128);  // the level's default strip
  EXPECT_EQ(record.U8(34 + 61), 2);
  EXPECT_EQ(record.U64(34 + 51), 2 * 1953525168ull * 512);  // all the room there is
  EXPECT_EQ(record.U8(34 + 64), 0x80);                      // RAID 0 needs no initialization
  EXPECT_EQ(UsageOnWire(SataDisk(3)), drive_usage::kArrayMember);

  Bytes arrays = ScopedQuery(fn::kGetArrayInfo, 34 + 53 * 4, 1, kSataController);
  ASSERT_TRUE(Send(*driver, kSataPdo, arrays).ok);
  ASSERT_EQ(arrays.U16(32), 2);
  EXPECT_EQ(arrays.Text(34 + 53 + 16, 20), "Array_0001");
  EXPECT_EQ(arrays.U64(34 + 53 + 44), 0u);
}

TEST_F(Commands, CreateVolumeInAnExistingArrayUpToTheLimit) {
  NewVolume v{.name = "Games", .size = 100ull << 30, .drives = {SataDisk(1), SataDisk(0)}};
  ASSERT_EQ(Run(CreateRequest(v)), 0u);
  EXPECT_EQ(VolumeNow(last.IdAt(32)).arrayId, kSataArray);
  EXPECT_EQ(VolumeRecord(last.IdAt(32)).U8(34 + 32), 1);  // second volume of the array

  v.name = "More";
  EXPECT_EQ(Run(CreateRequest(v)), 13u);  // two volumes per array
}

// The controller's volume limit counts every volume it has: the last one allowed is made, the one
// after it refused with the model untouched.
TEST_F(Commands, CreateVolumeUpToTheControllersLimit) {
  std::size_t volumes = 0;
  driver->Edit([&](Topology& model) {
    Controller& dorn = model.controllers.at(1);
    volumes = dorn.volumes.size();
    dorn.maxVolumesPerController = static_cast<std::uint16_t>(volumes + 1);
    dorn.maxVolumesPerArray = 8;
  });
  NewVolume v{.name = "Last", .size = 1ull << 30, .drives = {Nvme(4), Nvme(5)}};
  ASSERT_EQ(Run(CreateRequest(v), kDornPdo), 0u);
  EXPECT_EQ(driver->Snapshot().controllers.at(1).volumes.size(), volumes + 1);

  const std::string before = driver->Save();
  v.name = "OneTooMany";
  EXPECT_EQ(Run(CreateRequest(v), kDornPdo), 13u);
  EXPECT_EQ(driver->Save(), before);
}

TEST_F(Commands, CreateVolumeRefusalsLeaveTheModelAsItWas) {
  const std::string before = driver->Save();
  struct Case {
    const char* what;
    std::function<void(NewVolume&)> change;
    std::uint32_t status;
    std::wstring pdo = kDornPdo;
  };
  const vesk_guid unknown = Id("5a7a0000-0000-4000-8000-0000000000ee");
  const std::vector<Case> cases = {
      {"unknown drive", [&](NewVolume& v) { v.drives[1] = unknown; }, 264},
      {"drive of another controller", [](NewVolume& v) { v.drives[1] = SataDisk(3); }, 264},
      {"optical drive", [](NewVolume& v) { v.drives[0] = SataDisk(3), v.drives[1] = kOptical; }, 9,
       kSataPdo},
      {"spare", [](NewVolume& v) { v.drives[0] = SataDisk(3), v.drives[1] = SataDisk(2); }, 8,
       kSataPdo},
      {"member of another array", [](NewVolume& v) { v.drives[1] = Nvme(0); }, 8},
      {"listed twice", [](NewVolume& v) { v.drives[1] = v.drives[0]; }, 8},
      {"one drive for RAID 0", [](NewVolume& v) { v.drives.pop_back(); }, 7},
      {"no drives", [](NewVolume& v) { v.drives.clear(); }, 7},
      {"two drives for RAID 10", [](NewVolume& v) { v.level = 3; }, 7},
      {"empty name", [](NewVolume& v) { v.name = ""; }, 11},
      {"control character in name", [](NewVolume& v) { v.name = "a\tb"; }, 11},
      {"name in use", [](NewVolume& v) { v.name = "Data"; }, 12},
      {"unknown level", [](NewVolume& v) { v.level = 9; }, 6},
      {"strip not a power of two", [](NewVolume& v) { v.strip = 48; }, 6},
      {"strip not offered", [](NewVolume& v) { v.strip = 256; }, 6},
      {"reserved flag bits", [](NewVolume& v) { v.flags = 0x01; }, 6},
      {"write-hole policy 3", [](NewVolume& v) { v.flags = 0x30; }, 6},
      {"write-hole policy on RAID 0", [](NewVolume& v) { v.flags = 0x10; }, 16},
      {"journaling drive without its policy", [](NewVolume& v) { v.journalDrive = Nvme(1); }, 6},
      {"keep data of a drive not listed",
       [](NewVolume& v) { v.flags = 0x08, v.keepDrive = Nvme(1); }, 6},
      {"keep data and initialize", [](NewVolume& v) { v.flags = 0x0C, v.keepDrive = v.drives[0]; },
       6},
      {"larger than the drives", [](NewVolume& v) { v.size = 2 * 3907029168ull * 512 + 1; }, 10},
  };
  for (const auto& c : cases) {
    NewVolume v{.drives = {Nvme(4), Nvme(5)}};
    c.change(v);
    EXPECT_EQ(Run(CreateRequest(v), c.pdo), c.status) << c.what;
    EXPECT_EQ(driver->Save(), before) << c.what;
  }
}

TEST_F(Commands, CreateVolumeWithInitializeStartsWorkFromSpecification2On) {
  const NewVolume v{.name = "Mirror", .level = 2, .flags = 0x04, .drives = {Nvme(4), Nvme(5)}};
  ASSERT_EQ(Run(CreateRequest(v), kDornPdo), 0u);
  vesk_guid id = last.IdAt(32);
  Bytes record = VolumeRecord(id, kDornPdo);
  EXPECT_EQ(record.U8(34 + 49), volume_state::kInitializing);
  EXPECT_EQ(record.U16(34 + 62), 0);
  EXPECT_EQ(record.U8(34 + 64) & 0x80, 0);

  driver->AdvanceClock(30000);
  EXPECT_EQ(VolumeRecord(id, kDornPdo).U16(34 + 62), 50);
  driver->AdvanceClock(30000);
  record = VolumeRecord(id, kDornPdo);
  EXPECT_EQ(record.U8(34 + 49), volume_state::kNormal);
  EXPECT_EQ(record.U16(34 + 62), 0);
  EXPECT_EQ(record.U8(34 + 64) & 0x80, 0x80);
  EXPECT_EQ(Run(TargetCommand(fn::kInitializeVolume, id), kDornPdo), 15u);  // already initialized
}

TEST_F(Commands, ASpecification1DriverIgnoresTheInitializeBitAndTakesTheCommand) {
  driver = LoadDriver("legacy.json");
  const NewVolume v{.name = "Mirror", .level = 2, .flags = 0x04, .drives = {Nvme(0), Nvme(1)}};
  ASSERT_EQ(Run(CreateRequest(v), kDornPdo), 0u);
  vesk_guid id = last.IdAt(32);
  EXPECT_FALSE(VolumeNow(id).task.has_value());
  EXPECT_FALSE(VolumeNow(id).initialized);
  ASSERT_EQ(Run(TargetCommand(fn::kInitializeVolume, id), kDornPdo), 0u);
  EXPECT_EQ(VolumeNow(id).state, volume_state::kInitializing);
  EXPECT_EQ(Run(TargetCommand(fn::kInitializeVolume, id), kDornPdo), 14u);
}

TEST_F(Commands, VerifyFindsLatentErrorsAndRepairRemovesThem) {
  driver->Edit([](Topology& t) {
    t.controllers[1].volumes[0].latentErrors = 7;
    t.controllers[1].volumes[0].latentBadBlocks = 2;
  });
  EXPECT_EQ(Run(TargetCommand(fn::kVerifyVolume, kDataVolume, 2)), 6u);
  ASSERT_EQ(Run(TargetCommand(fn::kVerifyVolume, kDataVolume, 1)), 0u);
  EXPECT_EQ(VolumeNow(kDataVolume).state, volume_state::kVerifyingAndFixing);
  EXPECT_EQ(Run(TargetCommand(fn::kVerifyVolume, kDataVolume, 0)), 14u);
  ASSERT_EQ(Run(TargetCommand(fn::kCancelVerification, kDataVolume)), 0u);
  EXPECT_EQ(VolumeNow(kDataVolume).state, volume_state::kNormal);
  EXPECT_EQ(Run(TargetCommand(fn::kCancelVerification, kDataVolume)), 15u);

  ASSERT_EQ(Run(TargetCommand(fn::kVerifyVolume, kDataVolume, 1)), 0u);
  driver->AdvanceClock(60000);
  Bytes record = VolumeRecord(kDataVolume);
  EXPECT_EQ(record.U8(34 + 49), volume_state::kNormal);
  EXPECT_EQ(record.U32(34 + 65), 7u);
  EXPECT_EQ(record.U32(34 + 69), 2u);
  ASSERT_EQ(Run(TargetCommand(fn::kVerifyVolume, kDataVolume, 0)), 0u);
  EXPECT_EQ(VolumeNow(kDataVolume).state, volume_state::kVerifying);
  driver->AdvanceClock(60000);
  EXPECT_EQ(VolumeRecord(kDataVolume).U32(34 + 65), 0u);
  EXPECT_EQ(Run(TargetCommand(fn::kVerifyVolume, kScratchVolume, 1)), 16u);  // RAID 0
}

TEST_F(Commands, RemovedMemberLeavesAPlaceholderAndARebuildReplacesIt) {
  ASSERT_EQ(Run(TargetCommand(fn::kUnmarkSpare, SataDisk(2))), 0u);  // nothing takes over
  ASSERT_EQ(Run(TargetCommand(fn::kRemoveDrive, SataDisk(1))), 0u);
  EXPECT_EQ(VolumeNow(kSystemVolume).state, volume_state::kDegraded);
  Bytes placeholder = ScopedQuery(fn::kGetDriveInfo, 292, 4, SataDisk(1));
  ASSERT_TRUE(Send(*driver, kSataPdo, placeholder).ok);
  EXPECT_EQ(placeholder.U8(34 + 132), drive_status::kMissing);
  EXPECT_EQ(placeholder.IdAt(34 + 16), kSataArray);
  EXPECT_EQ(placeholder.U8(34 + 138), 1);  // the port it was on, not the first drive's
  // A drive that is gone is not there to act on.
  EXPECT_EQ(Run(TargetCommand(fn::kActivateDriveLed, SataDisk(1), 1)), 9u);
  EXPECT_EQ(Run(TargetCommand(fn::kRemoveDrive, SataDisk(1))), 15u);

  EXPECT_EQ(Run(ListCommand(fn::kRebuildVolume, kSystemVolume, {SataDisk(3), Nvme(0)})), 7u);
  EXPECT_EQ(Run(ListCommand(fn::kRebuildVolume, kSystemVolume, {kOptical})), 9u);
  EXPECT_EQ(Run(ListCommand(fn::kRebuildVolume, kSystemVolume, {SataDisk(0)})), 8u);
  ASSERT_EQ(Run(ListCommand(fn::kRebuildVolume, kSystemVolume, {SataDisk(2)})), 0u);
  EXPECT_EQ(VolumeNow(kSystemVolume).state, volume_state::kRebuilding);
  EXPECT_EQ(UsageOnWire(SataDisk(1)), drive_usage::kPassThrough);

  driver->AdvanceClock(45000);
  EXPECT_EQ(VolumeRecord(kSystemVolume).U16(34 + 62), 75);
  driver->AdvanceClock(15000);
  EXPECT_EQ(VolumeNow(kSystemVolume).state, volume_state::kNormal);
  EXPECT_EQ(Run(ListCommand(fn::kRebuildVolume, kSystemVolume, {SataDisk(3)})), 15u);
}

// The drives after one that leaves keep their places in the answer (NVMe SCSI targets are
// places), whether it was a member or not, and whatever later replaces or dissolves.
TEST_F(Commands, DrivesKeepTheirPlacesWhenAnotherLeaves) {
  auto places = [&] {  // the order of the drive list answers
    std::vector<vesk_guid> ids;
    Topology now = driver->Snapshot();
    for (const auto& d : now.controllers[1].drives) ids.push_back(d.id);
    return ids;
  };
  const std::vector<vesk_guid> before = places();
  ASSERT_EQ(Run(TargetCommand(fn::kRemoveDrive, Nvme(4)), kDornPdo), 0u);
  ASSERT_EQ(Run(TargetCommand(fn::kRemoveDrive, Nvme(1)), kDornPdo), 0u);
  ASSERT_EQ(Run(ListCommand(fn::kRebuildVolume, kDataVolume, {Nvme(5)}), kDornPdo), 0u);
  ASSERT_EQ(Run(TargetCommand(fn::kDeleteVolume, kScratchVolume), kDornPdo), 0u);
  ASSERT_EQ(Run(TargetCommand(fn::kDeleteVolume, kDataVolume), kDornPdo), 0u);
  EXPECT_EQ(places(), before);
  const Drive gone = DriveNow(Nvme(4));
  EXPECT_EQ(gone.status, drive_status::kMissing);
  EXPECT_EQ(gone.physicalSlotNumber, 14u);
  EXPECT_EQ(gone.blocks + gone.pciLinkWidth + gone.writeCacheEnabled, 0u);  // nothing to measure
  ASSERT_EQ(Run(TargetCommand(fn::kRemoveDrive, SataDisk(2))), 0u);
  EXPECT_EQ(UsageOnWire(SataDisk(2)), drive_usage::kPassThrough);  // no spare to take over
}

// Lost data never comes back on its own: a rebuild restores only the volume it names, and a
// replacement holds none of a volume's data until that volume's rebuild has written it.
TEST_F(Commands, RebuildRestoresOnlyTheNamedVolumeFromRedundancyThatExists) {
  ASSERT_EQ(Run(TargetCommand(fn::kRemoveDrive, Nvme(2)), kDornPdo), 0u);
  ASSERT_EQ(VolumeNow(kScratchVolume).state, volume_state::kFailed);
  ASSERT_EQ(Run(ListCommand(fn::kRebuildVolume, kDataVolume, {Nvme(4)}), kDornPdo), 0u);
  EXPECT_EQ(VolumeNow(kScratchVolume).state, volume_state::kFailed);
  driver->AdvanceClock(60000);
  EXPECT_EQ(VolumeNow(kDataVolume).state, volume_state::kNormal);
  EXPECT_EQ(VolumeNow(kScratchVolume).state, volume_state::kFailed);
  EXPECT_EQ(Run(ListCommand(fn::kRebuildVolume, kScratchVolume, {}), kDornPdo), 15u);
  ASSERT_EQ(Run(TargetCommand(fn::kMarkVolumeAsNormal, kScratchVolume), kDornPdo), 0u);
  EXPECT_EQ(VolumeNow(kScratchVolume).state, volume_state::kNormal);
  // Marked normal, it takes its members as they are: a change elsewhere does not fail it again.
  ASSERT_TRUE(driver->SetDriveStatus(Nvme(5), drive_status::kFailed));
  EXPECT_EQ(VolumeNow(kScratchVolume).state, volume_state::kNormal);
}

// A member that holds none of the volume's data yet counts as lost: a replacement that the
// rebuild is still writing, a member that failed and came back or was marked normal.
TEST_F(Commands, AMemberThatHoldsNothingYetCountsAsLost) {
  const std::function<void()> stale[] = {
      [&] {
        ASSERT_EQ(Run(TargetCommand(fn::kRemoveDrive, Nvme(1)), kDornPdo), 0u);
        ASSERT_EQ(Run(ListCommand(fn::kRebuildVolume, kDataVolume, {Nvme(4)}), kDornPdo), 0u);
      },
      [&] { driver->SetDriveStatus(Nvme(1), 3), driver->SetDriveStatus(Nvme(1), 0); },
      [&] {
        driver->SetDriveStatus(Nvme(1), 3);
        ASSERT_EQ(Run(TargetCommand(fn::kMarkDriveAsNormal, Nvme(1)), kDornPdo), 0u);
      }};
  for (const auto& makeStale : stale) {
    driver = LoadDriver("demo.json");
    makeStale();
    ASSERT_TRUE(driver->SetDriveStatus(Nvme(0), drive_status::kFailed));
    EXPECT_EQ(VolumeNow(kDataVolume).state, volume_state::kFailed) << &makeStale - stale;
  }
}

TEST_F(Commands, ASecondRedundantVolumeOfTheArrayIsRebuiltOnlyWhenNamed) {
  driver->Edit([](Topology& t) { t.controllers[1].volumes[1].raidLevel = 4; });
  ASSERT_EQ(Run(TargetCommand(fn::kRemoveDrive, Nvme(2)), kDornPdo), 0u);
  ASSERT_EQ(Run(ListCommand(fn::kRebuildVolume, kDataVolume, {Nvme(4)}), kDornPdo), 0u);
  driver->AdvanceClock(30000);
  EXPECT_EQ(VolumeNow(kScratchVolume).state, volume_state::kDegraded);
  // Nothing is missing from the array any more: its own rebuild names no drive.
  EXPECT_EQ(Run(ListCommand(fn::kRebuildVolume, kScratchVolume, {Nvme(5)}), kDornPdo), 7u);
  ASSERT_EQ(Run(ListCommand(fn::kRebuildVolume, kScratchVolume, {}), kDornPdo), 0u);
  driver->AdvanceClock(30000);
  EXPECT_EQ(VolumeNow(kDataVolume).state, volume_state::kNormal);
  EXPECT_EQ(VolumeNow(kScratchVolume).state, volume_state::kRebuilding);
  driver->AdvanceClock(30000);
  EXPECT_EQ(VolumeNow(kScratchVolume).state, volume_state::kNormal);
}

TEST_F(Commands, ADriveJoiningAMigrationHoldsNothingOfTheOldLayout) {
  ASSERT_EQ(Run(TargetCommand(fn::kUnmarkSpare, SataDisk(2))), 0u);
  ASSERT_EQ(Run(LayoutCommand(kSystemVolume, 0, 4, {SataDisk(3)})), 0u);
  ASSERT_TRUE(driver->SetDriveStatus(SataDisk(0), drive_status::kFailed));
  EXPECT_EQ(VolumeNow(kSystemVolume).state, volume_state::kDegraded);
  ASSERT_TRUE(driver->SetDriveStatus(SataDisk(1), drive_status::kFailed));
  EXPECT_EQ(VolumeNow(kSystemVolume).state, volume_state::kFailed);
  EXPECT_EQ(VolumeNow(kSystemVolume).raidLevel, 2);
}

TEST_F(Commands, FailedDrivesFailRaid0AndHealthOnlyReturnsWhenAsked) {
  ASSERT_TRUE(driver->SetDriveStatus(Nvme(0), drive_status::kFailed));
  EXPECT_EQ(VolumeNow(kDataVolume).state, volume_state::kDegraded);
  EXPECT_EQ(VolumeNow(kScratchVolume).state, volume_state::kFailed);
  EXPECT_EQ(Run(TargetCommand(fn::kMarkVolumeAsNormal, kScratchVolume), kDornPdo), 15u);
  ASSERT_EQ(Run(TargetCommand(fn::kMarkDriveAsNormal, Nvme(0)), kDornPdo), 0u);
  EXPECT_EQ(VolumeNow(kScratchVolume).state, volume_state::kFailed);
  ASSERT_EQ(Run(TargetCommand(fn::kMarkVolumeAsNormal, kScratchVolume), kDornPdo), 0u);
  EXPECT_EQ(VolumeNow(kScratchVolume).state, volume_state::kNormal);
  EXPECT_EQ(Run(TargetCommand(fn::kMarkVolumeAsNormal, kScratchVolume), kDornPdo), 15u);
  EXPECT_EQ(Run(TargetCommand(fn::kMarkDriveAsNormal, Nvme(0)), kDornPdo), 15u);
  EXPECT_FALSE(driver->SetDriveStatus(Id("5a7a0000-0000-4000-8000-0000000000ee"), 3));
}

TEST_F(Commands, LayoutChangeFollowsTheMigrationTable) {
  EXPECT_EQ(Run(LayoutCommand(kSystemVolume, 0, 3, {SataDisk(3)})),
            16u);                                               // RAID 1 -> 10 not offered
  EXPECT_EQ(Run(LayoutCommand(kSystemVolume, 0, 4, {})), 16u);  // RAID 5 needs a drive more
  EXPECT_EQ(Run(LayoutCommand(kSystemVolume, 48, 4, {SataDisk(3)})), 6u);
  EXPECT_EQ(Run(LayoutCommand(kSystemVolume, 0, 4, {kOptical})), 9u);
  // Members in the list are accepted, so the whole new set may be named.
  ASSERT_EQ(Run(LayoutCommand(kSystemVolume, 0, 4, {SataDisk(0), SataDisk(1), SataDisk(3)})), 0u);
  Bytes record = VolumeRecord(kSystemVolume);
  EXPECT_EQ(record.U8(34 + 49), volume_state::kMigrating);
  EXPECT_EQ(record.U8(34 + 64) & 0x40, 0x40);
  EXPECT_EQ(record.U8(34 + 61), 3);
  EXPECT_EQ(record.U8(34 + 50), 2);  // still RAID 1 until the work is done
  EXPECT_EQ(Run(TargetCommand(fn::kDeleteVolume, kSystemVolume)), 14u);
  driver->AdvanceClock(60000);
  record = VolumeRecord(kSystemVolume);
  EXPECT_EQ(record.U8(34 + 50), 4);
  EXPECT_EQ(record.U16(34 + 59), 64);
  EXPECT_EQ(record.U8(34 + 64) & 0x40, 0);
  // Same level, same strip, no drive: nothing to change.
  EXPECT_EQ(Run(LayoutCommand(kSystemVolume, 0, 4, {})), 6u);
  ASSERT_EQ(Run(LayoutCommand(kSystemVolume, 32, 4, {})), 0u);
}

TEST_F(Commands, AddDrivesToArrayWidensEveryVolumeOfIt) {
  EXPECT_EQ(Run(ListCommand(fn::kAddDrivesToArray, kDornArray, {}), kDornPdo), 7u);
  EXPECT_EQ(Run(ListCommand(fn::kAddDrivesToArray, kDataVolume, {Nvme(4)}), kDornPdo), 261u);
  ASSERT_EQ(Run(ListCommand(fn::kAddDrivesToArray, kDornArray, {Nvme(4)}), kDornPdo), 0u);
  EXPECT_EQ(VolumeNow(kDataVolume).state, volume_state::kMigrating);
  EXPECT_EQ(VolumeNow(kScratchVolume).state, volume_state::kMigrating);
  EXPECT_EQ(Run(ListCommand(fn::kAddDrivesToArray, kDornArray, {Nvme(5)}), kDornPdo), 14u);
  driver->AdvanceClock(60000);
  EXPECT_EQ(VolumeRecord(kScratchVolume, kDornPdo).U8(34 + 61), 5);
}

TEST_F(Commands, DeleteVolumeDissolvesAnEmptyArray) {
  ASSERT_EQ(Run(TargetCommand(fn::kDeleteVolume, kSystemVolume)), 0u);
  EXPECT_EQ(UsageOnWire(SataDisk(0)), drive_usage::kPassThrough);
  EXPECT_TRUE(driver->Snapshot().controllers[0].arrays.empty());
  EXPECT_EQ(Run(TargetCommand(fn::kDeleteVolume, kSystemVolume)), 262u);
  // One of two volumes: the array stays.
  ASSERT_EQ(Run(TargetCommand(fn::kDeleteVolume, kScratchVolume), kDornPdo), 0u);
  EXPECT_EQ(driver->Snapshot().controllers[1].arrays.size(), 1u);
}

TEST_F(Commands, ExpandAndRename) {
  auto expand = [](const vesk_guid& volume, std::uint64_t size) {
    Bytes r = Bytes::Management(56, fn::kExpandVolume);
    r.PutId(32, volume);
    r.Put64(48, size);
    return r;
  };
  ASSERT_EQ(Run(expand(kSystemVolume, 300ull << 30)), 0u);
  EXPECT_EQ(VolumeNow(kSystemVolume).size, 300ull << 30);
  EXPECT_EQ(Run(expand(kSystemVolume, 1ull << 30)), 6u);
  EXPECT_EQ(Run(expand(kSystemVolume, 1ull << 40)), 10u);

  auto rename = [](const vesk_guid& volume, const std::string& name) {
    Bytes r = Bytes::Management(64, fn::kRenameVolume);
    r.PutId(32, volume);
    r.PutText(48, name);
    return r;
  };
  ASSERT_EQ(Run(rename(kSystemVolume, "ABCDEFGHIJKLMNOP")), 0u);  // 16 characters, no terminator
  EXPECT_EQ(VolumeRecord(kSystemVolume).Text(34 + 33, 16), "ABCDEFGHIJKLMNOP");
  EXPECT_EQ(Run(rename(kScratchVolume, "Data")), 12u);  // names are unique per controller
  EXPECT_EQ(Run(rename(kSystemVolume, "")), 11u);
}

TEST_F(Commands, VolumePolicies) {
  ASSERT_EQ(Run(TargetCommand(fn::kSetVolumeCachePolicy, kSystemVolume, 0x30)), 0u);
  EXPECT_EQ(VolumeRecord(kSystemVolume).U8(34 + 77), 0x30);
  EXPECT_EQ(Run(TargetCommand(fn::kSetVolumeCachePolicy, kSystemVolume, 0x40)), 6u);
  EXPECT_EQ(Run(TargetCommand(fn::kSetVolumeCachePolicy, kSystemVolume, 0x00)), 6u);
  EXPECT_EQ(Run(TargetCommand(fn::kSetVolumeCachePolicy, kSystemVolume, 0x11)), 6u);

  auto rwh = [](const vesk_guid& volume, std::uint8_t value, const vesk_guid& journal) {
    Bytes r = Bytes::Management(65, fn::kSetVolumeRwhPolicy);
    r.PutId(32, volume);
    r.Put8(48, value);
    r.PutId(49, journal);
    return r;
  };
  EXPECT_EQ(Run(rwh(kScratchVolume, 0x10, vesk_invalid_guid)), 16u);
  EXPECT_EQ(Run(rwh(kDataVolume, 0x20, vesk_invalid_guid)), 6u);
  EXPECT_EQ(Run(rwh(kDataVolume, 0x20, Nvme(1))), 8u);
  EXPECT_EQ(Run(rwh(kDataVolume, 0x10, Nvme(4))), 6u);
  EXPECT_EQ(Run(rwh(kDataVolume, 0x30, vesk_invalid_guid)), 6u);
  ASSERT_EQ(Run(rwh(kDataVolume, 0x20, Nvme(4))), 0u);
  Bytes record = VolumeRecord(kDataVolume);
  EXPECT_EQ(record.U8(34 + 77), 0x32);
  EXPECT_EQ(record.IdAt(34 + 78), Nvme(4));
  EXPECT_EQ(UsageOnWire(Nvme(4)), drive_usage::kJournaling);
  EXPECT_EQ(Run(TargetCommand(fn::kMarkAsSpare, Nvme(4))), 8u);
  EXPECT_EQ(Run(TargetCommand(fn::kRemoveDrive, Nvme(4))), 8u);
  ASSERT_EQ(Run(rwh(kDataVolume, 0x00, vesk_invalid_guid)), 0u);
  EXPECT_EQ(UsageOnWire(Nvme(4)), drive_usage::kPassThrough);
}

TEST_F(Commands, ArrayAndControllerPolicies) {
  ASSERT_EQ(Run(TargetCommand(fn::kSetArrayCachePolicy, kSataArray, 0x80)), 0u);
  EXPECT_TRUE(driver->Snapshot().controllers[0].arrays[0].writeCacheEnabled);
  EXPECT_EQ(Run(TargetCommand(fn::kSetArrayCachePolicy, kSataArray, 0x01)), 6u);
  EXPECT_EQ(Run(TargetCommand(fn::kSetArrayCachePolicy, kSystemVolume, 0x80)), 261u);

  ASSERT_EQ(Run(TargetCommand(fn::kSetReadPatrolPolicy, kSataController, 0x80)), 0u);
  ASSERT_EQ(Run(TargetCommand(fn::kSetRohiPolicy, kSataController, 0x80)), 0u);
  Bytes info = ScopedQuery(fn::kGetControllerInfo, 437, 1, kSataController);
  ASSERT_TRUE(Send(*driver, kSataPdo, info).ok);
  EXPECT_EQ(info.U8(34 + 302), 0xC0);
  ASSERT_EQ(Run(TargetCommand(fn::kSetReadPatrolPolicy, kSataController, 0x00)), 0u);
  EXPECT_FALSE(driver->Snapshot().controllers[0].readPatrolEnabled);
  EXPECT_EQ(Run(TargetCommand(fn::kSetRohiPolicy, kSataController, 0x40)), 6u);
  EXPECT_EQ(Run(TargetCommand(fn::kSetRohiPolicy, kSataArray, 0x80)), 260u);
}

TEST_F(Commands, DriveCommands) {
  EXPECT_EQ(Run(TargetCommand(fn::kUnmarkSpare, SataDisk(3))), 15u);
  ASSERT_EQ(Run(TargetCommand(fn::kMarkAsSpare, SataDisk(3))), 0u);
  EXPECT_EQ(UsageOnWire(SataDisk(3)), drive_usage::kSpare);
  EXPECT_EQ(Run(TargetCommand(fn::kMarkAsSpare, SataDisk(0))), 8u);
  EXPECT_EQ(Run(TargetCommand(fn::kMarkAsSpare, kOptical)), 9u);
  ASSERT_EQ(Run(TargetCommand(fn::kClearDriveMetadata, SataDisk(3))), 0u);
  EXPECT_EQ(UsageOnWire(SataDisk(3)), drive_usage::kPassThrough);
  EXPECT_EQ(Run(TargetCommand(fn::kClearDriveMetadata, SataDisk(0))), 8u);

  ASSERT_EQ(Run(TargetCommand(fn::kSetVolatileWriteCache, SataDisk(3), 0x00)), 0u);
  EXPECT_FALSE(DriveNow(SataDisk(3)).writeCacheEnabled);
  EXPECT_EQ(Run(TargetCommand(fn::kSetVolatileWriteCache, SataDisk(3), 0x01)), 6u);
  EXPECT_EQ(Run(TargetCommand(fn::kSetVolatileWriteCache, kOptical, 0x80)), 16u);

  EXPECT_EQ(Run(TargetCommand(fn::kResetSmartEvent, SataDisk(3))), 15u);
  driver->Edit([](Topology& t) { t.controllers[0].drives[3].status = drive_status::kSmartEvent; });
  ASSERT_EQ(Run(TargetCommand(fn::kResetSmartEvent, SataDisk(3))), 0u);
  EXPECT_EQ(DriveNow(SataDisk(3)).status, drive_status::kNormal);

  ASSERT_EQ(Run(TargetCommand(fn::kRemoveDrive, SataDisk(3))), 0u);
  EXPECT_EQ(Run(TargetCommand(fn::kMarkAsSpare, SataDisk(3))), 9u);
}

TEST_F(Commands, LedCurrentFormSwitchesLegacyFormOnlyLights) {
  auto led = [](int value, std::uint32_t api) {
    Bytes r = TargetCommand(fn::kActivateDriveLed, SataDisk(3), value);
    r.Put32(28, api);
    return r;
  };
  ASSERT_EQ(Run(led(1, 1)), 0u);
  EXPECT_TRUE(DriveNow(SataDisk(3)).ledActive);
  ASSERT_EQ(Run(led(0, 1)), 0u);
  EXPECT_FALSE(DriveNow(SataDisk(3)).ledActive);
  EXPECT_EQ(Run(led(2, 1)), 6u);
  ASSERT_EQ(Run(led(0, 0)), 0u);
  EXPECT_TRUE(DriveNow(SataDisk(3)).ledActive);
  EXPECT_EQ(Run(TargetCommand(fn::kActivateDriveLed, kOptical, 1)), 16u);
}

TEST_F(Commands, EventSubscriptionsCollectChangesOfTheirTypes) {
  Bytes create = Bytes::Management(51, fn::kCreateEventSubscription);
  create.PutId(32, kSataController);
  create.Put8(49, 1);
  create.Put8(50, event_type::kWorkFinished);
  ASSERT_EQ(Run(create), 0u);
  const vesk_guid subscription = last.IdAt(32);

  ASSERT_EQ(Run(TargetCommand(fn::kSetVolumeCachePolicy, kSystemVolume, 0x20)), 0u);
  ASSERT_EQ(Run(TargetCommand(fn::kVerifyVolume, kSystemVolume, 0)), 0u);
  driver->AdvanceClock(60000);
  Bytes events = Bytes::Management(544, fn::kGetEvents);
  events.PutId(32, subscription);
  ASSERT_EQ(Run(events), 0u);
  ASSERT_EQ(last.U16(32), 1);
  EXPECT_EQ(last.U8(34), event_type::kWorkFinished);
  EXPECT_EQ(last.IdAt(38), kSystemVolume);
  ASSERT_EQ(Run(events), 0u);  // collected events are handed out once
  EXPECT_EQ(last.U16(32), 0);

  ASSERT_EQ(Run(TargetCommand(fn::kCancelEventSubscription, subscription)), 0u);
  EXPECT_EQ(Run(TargetCommand(fn::kCancelEventSubscription, subscription)), 263u);
  create.Put8(50, 9);
  EXPECT_EQ(Run(create), 6u);
}

TEST_F(Commands, ShortRecordsAndDriveListsAreRefused) {
  EXPECT_EQ(Run(Bytes::Management(47, fn::kDeleteVolume)), 1u);
  Bytes list = ListCommand(fn::kRebuildVolume, kSystemVolume, {SataDisk(3)});
  list.Put16(48, 2);  // claims a drive more than the request carries
  EXPECT_EQ(Run(list), 1u);
  Bytes create = CreateRequest(NewVolume{});
  create.Put16(32, 1);
  EXPECT_EQ(Run(create), 1u);
  EXPECT_EQ(Run(TargetCommand(0x48070, kSystemVolume)), 1u);
}

// ------------------------------------------------------------------------------------------------
// What the driver does on its own, and the drills that make hardware fail under it
// ------------------------------------------------------------------------------------------------

using S = DriverStatus;

TEST_F(Commands, ASpareTakesALostMembersPlaceAndRebuildsWhatCanBeSaved) {
  ASSERT_EQ(Run(TargetCommand(fn::kMarkAsSpare, Nvme(4)), kDornPdo), 0u);
  Bytes events = Bytes::Management(50, fn::kCreateEventSubscription);
  events.PutId(32, kDornController);
  ASSERT_EQ(Run(events), 0u);
  events = Bytes::Management(34 + 20 * 8, fn::kGetEvents);
  events.PutId(32, last.IdAt(32));
  ASSERT_EQ(driver->FailDrive(Nvme(1)), S::Success);

  EXPECT_EQ(Members(kDornArray), (std::vector<vesk_guid>{Nvme(0), Nvme(4), Nvme(2), Nvme(3)}));
  EXPECT_FALSE(DriveNow(Nvme(4)).spare);
  EXPECT_EQ(VolumeNow(kDataVolume).state, volume_state::kRebuilding);
  EXPECT_EQ(VolumeNow(kDataVolume).staleDrives, std::vector<vesk_guid>{Nvme(4)});
  // No rebuild brings a RAID 0 back: it stays failed, and the spare holds nothing for it.
  EXPECT_EQ(VolumeNow(kScratchVolume).state, volume_state::kFailed);
  EXPECT_EQ(VolumeNow(kScratchVolume).staleDrives, std::vector<vesk_guid>{Nvme(4)});
  ASSERT_EQ(Run(events), 0u);
  std::vector<std::pair<int, vesk_guid>> seen;
  for (int i = 0; i < last.U16(32); ++i)
    seen.emplace_back(last.U8(34 + 20 * i), last.IdAt(38 + 20 * i));
  EXPECT_EQ(seen,
            (std::vector<std::pair<int, vesk_guid>>{{event_type::kDriveChanged, Nvme(1)},
                                                    {event_type::kVolumeChanged, kDataVolume},
                                                    {event_type::kVolumeChanged, kScratchVolume},
                                                    {event_type::kDriveChanged, Nvme(4)},
                                                    {event_type::kArrayChanged, kDornArray},
                                                    {event_type::kVolumeChanged, kDataVolume}}));
  driver->AdvanceClock(60000);
  EXPECT_EQ(VolumeNow(kDataVolume).state, volume_state::kNormal);

  // The SATA controller's spare stands in for a pulled mirror half, in its place.
  ASSERT_EQ(driver->PullDrive(SataDisk(0)), S::Success);
  EXPECT_EQ(Members(kSataArray), (std::vector<vesk_guid>{SataDisk(2), SataDisk(1)}));
  EXPECT_EQ(VolumeNow(kSystemVolume).state, volume_state::kRebuilding);
}

TEST_F(Commands, NoSpareTakesOverWhenNoneFitsOrNothingCanBeSaved) {
  // Too small, or not in good health: the spare stays a spare and the volume degraded.
  driver->Edit([](Topology& t) { t.controllers[0].drives[2].blocks = 1953525167; });
  ASSERT_EQ(driver->FailDrive(SataDisk(1)), S::Success);
  EXPECT_TRUE(DriveNow(SataDisk(2)).spare);
  EXPECT_EQ(VolumeNow(kSystemVolume).state, volume_state::kDegraded);
  ASSERT_EQ(driver->SignalSmartEvent(SataDisk(3)), S::Success);
  driver->Edit([](Topology& t) { t.controllers[0].drives[3].spare = true; });
  driver->AdvanceClock(1000);
  EXPECT_EQ(VolumeNow(kSystemVolume).state, volume_state::kDegraded);
  // A spare that fits, marked later, is taken at once; the member it replaces leaves every list.
  ASSERT_TRUE(driver->SetDriveStatus(SataDisk(1), drive_status::kNormal));  // back, stale
  ASSERT_EQ(driver->FailDrive(SataDisk(1)), S::Success);
  driver->Edit([](Topology& t) { t.controllers[0].drives[3].spare = false; });
  ASSERT_EQ(Run(TargetCommand(fn::kResetSmartEvent, SataDisk(3))), 0u);
  ASSERT_EQ(Run(TargetCommand(fn::kMarkAsSpare, SataDisk(3))), 0u);
  EXPECT_EQ(Members(kSataArray), (std::vector<vesk_guid>{SataDisk(0), SataDisk(3)}));
  EXPECT_EQ(VolumeNow(kSystemVolume).staleDrives, std::vector<vesk_guid>{SataDisk(3)});
  EXPECT_EQ(VolumeNow(kSystemVolume).state, volume_state::kRebuilding);

  // Every volume of the array failed: the spare is kept for one that can be saved.
  driver->Edit([](Topology& t) { t.controllers[1].volumes[0].raidLevel = 1; });
  ASSERT_EQ(Run(TargetCommand(fn::kMarkAsSpare, Nvme(4)), kDornPdo), 0u);
  ASSERT_EQ(driver->FailDrive(Nvme(0)), S::Success);
  EXPECT_EQ(VolumeNow(kDataVolume).state, volume_state::kFailed);
  EXPECT_TRUE(DriveNow(Nvme(4)).spare);
}

// A spare the driver has not taken yet (a driver that rebuilds only when told) may be named for a
// rebuild, and then is a member, not a spare as well.
TEST_F(Commands, ARebuildNamedOntoASpareTakesIt) {
  ASSERT_EQ(Run(TargetCommand(fn::kUnmarkSpare, SataDisk(2))), 0u);
  ASSERT_EQ(driver->FailDrive(SataDisk(1)), S::Success);
  driver->Edit([](Topology& t) { t.controllers[0].drives[3].spare = true; });
  ASSERT_EQ(Run(ListCommand(fn::kRebuildVolume, kSystemVolume, {SataDisk(3)})), 0u);
  EXPECT_EQ(Members(kSataArray), (std::vector<vesk_guid>{SataDisk(0), SataDisk(3)}));
  EXPECT_FALSE(DriveNow(SataDisk(3)).spare);
  EXPECT_EQ(UsageOnWire(SataDisk(3)), drive_usage::kArrayMember);
  EXPECT_EQ(VolumeNow(kSystemVolume).state, volume_state::kRebuilding);
}

// A drive joining a migration may fail without stopping it; the spare takes its place after.
TEST_F(Commands, ASpareWaitsForWorkOnTheArrayToEnd) {
  ASSERT_EQ(Run(LayoutCommand(kSystemVolume, 0, 4, {SataDisk(3)})), 0u);
  ASSERT_EQ(driver->FailDrive(SataDisk(3)), S::Success);
  EXPECT_EQ(VolumeNow(kSystemVolume).state, volume_state::kMigrating);
  EXPECT_TRUE(DriveNow(SataDisk(2)).spare);
  driver->AdvanceClock(60000);
  EXPECT_EQ(Members(kSataArray), (std::vector<vesk_guid>{SataDisk(0), SataDisk(1), SataDisk(2)}));
  EXPECT_EQ(VolumeNow(kSystemVolume).state, volume_state::kRebuilding);
}

TEST_F(Commands, RohiRebuildsOntoADriveInsertedInALostMembersSlot) {
  for (const bool rohi : {false, true}) {
    for (const bool blank : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "rohi " << rohi << ", blank " << blank);
      driver = LoadDriver("demo.json");
      driver->Edit([&](Topology& t) {
        t.controllers[0].rohiEnabled = rohi;
        t.controllers[0].drives[2].spare = false;
        t.controllers[0].drives[1].containsPartition = true;
        t.controllers[0].drives[1].encryptionStatus = 2;
      });
      ASSERT_EQ(driver->PullDrive(SataDisk(1)), S::Success);
      vesk_guid in{};
      ASSERT_EQ(driver->InsertDrive(SataDisk(1), blank, &in), S::Success);
      EXPECT_EQ(in == SataDisk(1), !blank);
      EXPECT_EQ(DriveNow(in).status, drive_status::kNormal);
      EXPECT_EQ(DriveNow(in).blocks, 1953525168u);
      EXPECT_EQ(DriveNow(in).portNumber, 1);
      EXPECT_EQ(DriveNow(in).sataLinkRate, 3);
      EXPECT_EQ(DriveNow(in).serialNumber, blank ? "BLANK00000001" : "KS1A00000002");
      EXPECT_EQ(DriveNow(in).containsPartition, !blank);  // a new drive holds nothing
      EXPECT_EQ(DriveNow(in).encryptionStatus, blank ? 0 : 2);
      // A new drive replaces the missing member only with ROHI; a returning one is a member. The
      // drive in the member's place holds nothing the volume can read until rebuilt.
      const bool member = !blank || rohi;
      EXPECT_EQ(Members(kSataArray),
                (std::vector<vesk_guid>{SataDisk(0), member ? in : SataDisk(1)}));
      EXPECT_EQ(VolumeNow(kSystemVolume).staleDrives,
                member ? std::vector<vesk_guid>{in} : std::vector<vesk_guid>{});
      EXPECT_EQ(VolumeNow(kSystemVolume).state,
                rohi ? volume_state::kRebuilding : volume_state::kDegraded);
    }
  }
}

TEST_F(Commands, ReadPatrolRepairsOneVolumeForEveryTaskDuration) {
  driver->Edit([](Topology& t) { t.controllers[1].readPatrolEnabled = true; });
  ASSERT_EQ(driver->SetMediaErrors(kDataVolume, 5, 2), S::Success);
  ASSERT_EQ(driver->SetMediaErrors(kScratchVolume, 3, 1), S::Success);
  ASSERT_EQ(driver->SetMediaErrors(kSystemVolume, 4, 0), S::Success);  // patrol off there
  driver->AdvanceClock(59999);
  EXPECT_EQ(VolumeNow(kDataVolume).latentErrors, 5u);
  EXPECT_EQ(VolumeNow(kDataVolume).latentBadBlocks, 2u);
  driver->AdvanceClock(1);
  EXPECT_EQ(VolumeNow(kDataVolume).latentErrors + VolumeNow(kDataVolume).latentBadBlocks, 0u);
  EXPECT_EQ(VolumeNow(kDataVolume).state, volume_state::kNormal);
  // RAID 0 has nothing to repair from; the patrol goes round again after it, once however long.
  driver->AdvanceClock(60000);
  EXPECT_EQ(VolumeNow(kScratchVolume).latentErrors, 3u);
  ASSERT_EQ(driver->SetMediaErrors(kDataVolume, 1, 0), S::Success);
  driver->AdvanceClock(10 * 60000 + 30000);
  EXPECT_EQ(VolumeNow(kDataVolume).latentErrors, 0u);
  EXPECT_EQ(driver->Snapshot().controllers[1].patrolElapsedMs, 30000u);
  EXPECT_EQ(VolumeNow(kSystemVolume).latentErrors, 4u);
  // A volume with work running is passed by.
  driver->Edit([](Topology& t) { t.controllers[0].readPatrolEnabled = true; });
  ASSERT_EQ(Run(TargetCommand(fn::kVerifyVolume, kSystemVolume, 0)), 0u);
  driver->AdvanceClock(59999);
  EXPECT_EQ(VolumeNow(kSystemVolume).latentErrors, 4u);

  // A later process goes on where the earlier one stopped: the patrol, and a pulled drive.
  ASSERT_EQ(driver->PullDrive(Nvme(5)), S::Success);
  auto later = std::make_shared<RaidDriver>(LoadTopology(driver->Save()));
  EXPECT_EQ(later->Save(), driver->Save());
  driver = later;
  ASSERT_EQ(driver->InsertDrive(Nvme(5), false), S::Success);
  EXPECT_EQ(DriveNow(Nvme(5)).blocks, 3907029168u);
}

TEST_F(Commands, DrillsRefuseWhatCannotHappenToTheDrive) {
  for (auto drill : {&RaidDriver::FailDrive, &RaidDriver::PullDrive, &RaidDriver::SignalSmartEvent})
    EXPECT_EQ(((*driver).*drill)(Nvme(9)), S::DriveNotFound);
  EXPECT_EQ(driver->InsertDrive(Nvme(9), false), S::DriveNotFound);
  EXPECT_EQ(driver->SetMediaErrors(Nvme(0), 1, 1), S::VolumeNotFound);
  EXPECT_EQ(driver->InsertDrive(Nvme(4), false), S::InvalidState);  // never pulled
  ASSERT_EQ(driver->SignalSmartEvent(Nvme(4)), S::Success);
  EXPECT_EQ(DriveNow(Nvme(4)).status, drive_status::kSmartEvent);
  EXPECT_EQ(driver->SignalSmartEvent(Nvme(4)), S::InvalidState);
  ASSERT_EQ(driver->FailDrive(Nvme(4)), S::Success);
  EXPECT_EQ(driver->FailDrive(Nvme(4)), S::InvalidState);
  ASSERT_EQ(driver->PullDrive(Nvme(4)), S::Success);
  EXPECT_EQ(driver->PullDrive(Nvme(4)), S::InvalidState);
  EXPECT_EQ(driver->FailDrive(Nvme(4)), S::DriveUnusable);
  EXPECT_EQ(driver->SignalSmartEvent(Nvme(4)), S::DriveUnusable);
  // The slot holds one drive; nothing is known of a drive loaded missing.
  ASSERT_EQ(driver->InsertDrive(Nvme(4), true), S::Success);
  EXPECT_EQ(driver->InsertDrive(Nvme(4), false), S::InvalidState);
  driver->Edit([](Topology& t) { t.controllers[1].drives[5].status = drive_status::kMissing; });
  EXPECT_EQ(driver->InsertDrive(Nvme(5), true), S::InvalidState);
}

// What the members hold decides what a failure loses: the part a rebuild wrote survives, the rest
// of a mirror whose last copy fails does not, and marking it normal brings none of it back.
TEST_F(Commands, ALossIsMarkedByWhatTheMembersHeldAndOutlastsForcingAndRepair) {
  const std::uint64_t size = VolumeNow(kSystemVolume).size;
  ASSERT_EQ(driver->FailDrive(SataDisk(0)), S::Success);  // the spare takes over
  driver->AdvanceClock(15000);
  ASSERT_EQ(driver->FailDrive(SataDisk(1)), S::Success);
  Volume v = VolumeNow(kSystemVolume);
  EXPECT_EQ(v.state, volume_state::kFailed);
  ASSERT_TRUE(v.dataLost);
  EXPECT_EQ(v.dataLost->bytes, size / 4 * 3);
  EXPECT_EQ(v.dataLost->atMs, 15000u);
  EXPECT_TRUE(v.dataLost->failed);
  EXPECT_FALSE(v.dataLost->forced);
  EXPECT_EQ(v.dataLost->members, (std::vector<vesk_guid>{SataDisk(2), SataDisk(1)}));

  ASSERT_EQ(Run(TargetCommand(fn::kMarkDriveAsNormal, SataDisk(1))), 0u);
  ASSERT_EQ(Run(TargetCommand(fn::kMarkVolumeAsNormal, kSystemVolume)), 0u);
  v = VolumeNow(kSystemVolume);
  EXPECT_EQ(v.state, volume_state::kNormal);
  EXPECT_TRUE(v.dataLost->forced);
  EXPECT_EQ(v.dataLost->bytes, size / 4 * 3);
  EXPECT_EQ(v.inconsistentBytes, size);

  // Every 64 KiB stripe of the mirror disagrees; the repair makes them agree and finds no more.
  ASSERT_EQ(Run(TargetCommand(fn::kVerifyVolume, kSystemVolume, 1)), 0u);
  driver->AdvanceClock(60000);
  EXPECT_EQ(VolumeRecord(kSystemVolume).U32(34 + 65), size / 65536);
  ASSERT_EQ(Run(TargetCommand(fn::kVerifyVolume, kSystemVolume, 0)), 0u);
  driver->AdvanceClock(60000);
  EXPECT_EQ(VolumeRecord(kSystemVolume).U32(34 + 65), 0u);
  v = VolumeNow(kSystemVolume);
  ASSERT_TRUE(v.dataLost);

  // The mark is part of the saved machine, and goes only when acknowledged.
  Topology reloaded = LoadTopology(driver->Save());
  EXPECT_EQ(reloaded.controllers[0].FindVolume(kSystemVolume)->dataLost->bytes, size / 4 * 3);
  EXPECT_EQ(driver->AcknowledgeDataLoss(kSystemVolume), S::Success);
  EXPECT_FALSE(VolumeNow(kSystemVolume).dataLost);
  EXPECT_EQ(driver->AcknowledgeDataLoss(kSystemVolume), S::InvalidState);
  EXPECT_EQ(driver->AcknowledgeDataLoss(kDornArray), S::VolumeNotFound);

  // A degraded mirror forced over its stale half may read wrong anywhere.
  ASSERT_EQ(driver->PullDrive(SataDisk(1)), S::Success);
  ASSERT_EQ(driver->InsertDrive(SataDisk(1), false), S::Success);
  ASSERT_EQ(Run(TargetCommand(fn::kMarkVolumeAsNormal, kSystemVolume)), 0u);
  v = VolumeNow(kSystemVolume);
  EXPECT_EQ(v.dataLost->bytes, size);
  EXPECT_FALSE(v.dataLost->failed);
  EXPECT_EQ(v.dataLost->members, std::vector<vesk_guid>{SataDisk(1)});
}

// A layout change moves the data from the start on: the moved part has the new layout.
TEST_F(Commands, AMemberLostPartWayThroughALayoutChangeLosesWhatTheNewLayoutCannotSpare) {
  const std::uint64_t size = VolumeNow(kSystemVolume).size;
  ASSERT_EQ(Run(LayoutCommand(kSystemVolume, 0, 1, {})), 0u);  // RAID 1 -> RAID 0
  driver->AdvanceClock(30000);
  ASSERT_EQ(driver->FailDrive(SataDisk(1)), S::Success);
  Volume v = VolumeNow(kSystemVolume);
  EXPECT_EQ(v.state, volume_state::kFailed);
  EXPECT_EQ(v.raidLevel, 2);
  EXPECT_EQ(v.dataLost->bytes, size / 2);
  ASSERT_TRUE(v.stoppedMigration);
  EXPECT_EQ(Members(kSataArray), (std::vector<vesk_guid>{SataDisk(0), SataDisk(1)}));
}

TEST_F(Commands, AStoppedLayoutChangeKeepsItsDrivesAndGoesOnAfterTheRebuild) {
  ASSERT_EQ(Run(TargetCommand(fn::kUnmarkSpare, SataDisk(2))), 0u);
  ASSERT_EQ(Run(LayoutCommand(kSystemVolume, 0, 4, {SataDisk(3)})), 0u);  // RAID 1 -> RAID 5
  driver->AdvanceClock(30000);
  ASSERT_EQ(driver->PullDrive(SataDisk(3)), S::Success);
  Volume v = VolumeNow(kSystemVolume);
  EXPECT_EQ(v.state, volume_state::kDegraded);
  EXPECT_FALSE(v.dataLost);
  EXPECT_EQ(Members(kSataArray), (std::vector<vesk_guid>{SataDisk(0), SataDisk(1), SataDisk(3)}));

  ASSERT_EQ(Run(ListCommand(fn::kRebuildVolume, kSystemVolume, {SataDisk(2)})), 0u);
  driver->AdvanceClock(60000);  // the rebuild ends, the change goes on from half way
  v = VolumeNow(kSystemVolume);
  EXPECT_EQ(v.state, volume_state::kMigrating);
  EXPECT_EQ(v.task->joiningDrives, std::vector<vesk_guid>{SataDisk(2)});
  driver->AdvanceClock(30000);
  v = VolumeNow(kSystemVolume);
  EXPECT_EQ(v.state, volume_state::kNormal);
  EXPECT_EQ(v.raidLevel, 4);
  EXPECT_EQ(Members(kSataArray), (std::vector<vesk_guid>{SataDisk(0), SataDisk(1), SataDisk(2)}));
}

TEST_F(Commands, PullingADriveBeingAddedFailsTheRaid0PartOnItAndDegradesTheRest) {
  const std::uint64_t scratch = VolumeNow(kScratchVolume).size;
  ASSERT_EQ(Run(ListCommand(fn::kAddDrivesToArray, kDornArray, {Nvme(4)}), kDornPdo), 0u);
  driver->AdvanceClock(20000);
  ASSERT_EQ(driver->PullDrive(Nvme(4)), S::Success);
  EXPECT_EQ(VolumeNow(kScratchVolume).state, volume_state::kFailed);
  EXPECT_EQ(VolumeNow(kScratchVolume).dataLost->bytes, scratch / 3);
  EXPECT_EQ(VolumeNow(kDataVolume).state, volume_state::kDegraded);
  EXPECT_FALSE(VolumeNow(kDataVolume).dataLost);
  EXPECT_EQ(Members(kDornArray).size(), 5u);
  // The saved machine goes on where it stopped.
  Topology reloaded = LoadTopology(driver->Save());
  EXPECT_EQ(reloaded.controllers[1].FindVolume(kDataVolume)->stoppedMigration->elapsedMs, 20000u);
}

}  // namespace
}  // namespace vesk::sim::test
