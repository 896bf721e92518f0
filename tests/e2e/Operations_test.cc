// Every management operation against the simulated RAID driver: the driver's model changes as
// the operation says, and the next refresh shows it.
#include <gtest/gtest.h>

#include "tests/e2e/Harness.h"

namespace Vesk {
namespace {

using testing::FullRefresh;
using testing::Guid;
using testing::SimulatedMachine;
using testing::Text;
namespace sim = vesk::sim;
using namespace testing::demo;

const vesk_guid kLegacyFree = Guid("5a7a0000-0000-4000-8000-000000000003");
const vesk_guid kLegacyNvme0 = Guid("d0e10000-0000-4000-8000-000000000000");
const vesk_guid kLegacyNvme1 = Guid("d0e10000-0000-4000-8000-000000000001");
const vesk_guid kLegacyDorn = Guid("c0d0e100-0000-4000-8000-0000000000a2");
namespace fn = vesk::sim::function;

class OperationsTest : public ::testing::Test {
 protected:
  OperationsTest() { FullRefresh(management); }

  const Controller& ControllerRecord(const vesk_guid& id) {
    return *management.GetControllers().GetControllersById().at(id);
  }
  const DeviceHandle* Device(const vesk_guid& controllerId) {
    return ControllerRecord(controllerId).GetDeviceHandle().get();
  }
  // Refreshes, then returns the fresh record.
  const Volume& VolumeAfterRefresh(const vesk_guid& id) {
    FullRefresh(management);
    return *management.GetVolumes().at(id);
  }
  const Drive& DriveAfterRefresh(const vesk_guid& id) {
    FullRefresh(management);
    return *management.GetDrives().at(id);
  }

  SimulatedMachine simulated{"demo"};
  StorageManagement management;
};

TEST_F(OperationsTest, ControllerPoliciesUpdateTheKeptRecord) {
  const Controller* before = &ControllerRecord(kSata);
  EXPECT_EQ(management.SetControllerReadPatrolPolicy(Device(kSata), true), 0u);
  EXPECT_EQ(management.SetControllerRohiPolicy(Device(kSata), true), 0u);
  FullRefresh(management);
  EXPECT_EQ(&ControllerRecord(kSata), before);
  EXPECT_TRUE(ControllerRecord(kSata).readPatrolEnabled());
  EXPECT_TRUE(ControllerRecord(kSata).rohiEnabled());
  EXPECT_FALSE(ControllerRecord(kDorn).readPatrolEnabled());
}

TEST_F(OperationsTest, VerifyThenCancel) {
  EXPECT_EQ(management.VerifyVolume(Device(kDorn), kData, true), 0u);
  EXPECT_EQ(+VolumeAfterRefresh(kData).state, sim::volume_state::kVerifyingAndFixing);
  EXPECT_EQ(management.CancelVerifyVolume(Device(kDorn), kData), 0u);
  EXPECT_EQ(+VolumeAfterRefresh(kData).state, sim::volume_state::kNormal);
  EXPECT_EQ(simulated.recorder->Requests(fn::kVerifyVolume).back().bytes[48], 1);
}

TEST_F(OperationsTest, ChangeRaidLayoutMigratesOnTheDriversClock) {
  EXPECT_EQ(management.ChangeRaidLayout(Device(kSata), kSystem, vesk_strip_size{64}, VESK_RAID_5,
                                        {kSataFree}),
            0u);
  const Volume& migrating = VolumeAfterRefresh(kSystem);
  EXPECT_TRUE(migrating.migrating());
  EXPECT_EQ(+migrating.state, sim::volume_state::kMigrating);
  simulated.driver->AdvanceClock(60000);
  const Volume& done = VolumeAfterRefresh(kSystem);
  EXPECT_EQ(+done.raidLevel, VESK_RAID_5);
  EXPECT_FALSE(done.migrating());
}

TEST_F(OperationsTest, CreateVolumeReturnsTheNewIdentifierAndInitializesInOneRequest) {
  auto [status, id] =
      management.CreateVolume(ControllerRecord(kDorn), Mirror(true), {kNvmeFree1, kNvmeFree2});
  EXPECT_EQ(status, 0u);
  const Volume& created = VolumeAfterRefresh(id);
  EXPECT_EQ(Text(created.name, sizeof created.name), "Mirror");
  EXPECT_EQ(+created.state, sim::volume_state::kInitializing);
  // From 2.0 on the initialize bit travels in the create request only.
  EXPECT_TRUE(simulated.recorder->Requests(fn::kInitializeVolume).empty());
}

TEST_F(OperationsTest, InitializeDeleteExpand) {
  auto [status, id] =
      management.CreateVolume(ControllerRecord(kDorn), Mirror(false), {kNvmeFree1, kNvmeFree2});
  ASSERT_EQ(status, 0u);
  EXPECT_FALSE(VolumeAfterRefresh(id).initialized());
  EXPECT_EQ(management.InitializeVolume(Device(kDorn), id), 0u);
  EXPECT_EQ(+VolumeAfterRefresh(id).state, sim::volume_state::kInitializing);

  EXPECT_EQ(management.DeleteVolume(Device(kDorn), kScratch), 0u);
  FullRefresh(management);
  EXPECT_EQ(management.GetVolumes().count(kScratch), 0u);

  const std::uint64_t bigger = VolumeAfterRefresh(kData).size + (std::uint64_t{1} << 40);
  EXPECT_EQ(management.ExpandVolume(Device(kDorn), kData, bigger), 0u);
  EXPECT_EQ(+VolumeAfterRefresh(kData).size, bigger);
}

TEST_F(OperationsTest, FailedMemberMarkedNormalThenVolumeMarkedNormal) {
  simulated.driver->SetDriveStatus(kSataMember, sim::drive_status::kFailed);
  EXPECT_EQ(management.MarkDriveAsNormal(Device(kSata), kSataMember), 0u);
  EXPECT_EQ(+DriveAfterRefresh(kSataMember).status, sim::drive_status::kNormal);
  EXPECT_EQ(management.MarkVolumeAsNormal(Device(kSata), kSystem), 0u);
  EXPECT_EQ(+VolumeAfterRefresh(kSystem).state, sim::volume_state::kNormal);
}

TEST_F(OperationsTest, RemovedMemberIsRebuiltOntoAnotherDrive) {
  EXPECT_EQ(management.RemoveDrive(Device(kSata), kSataMember), 0u);
  EXPECT_EQ(+DriveAfterRefresh(kSataMember).status, sim::drive_status::kMissing);
  EXPECT_EQ(management.RebuildVolume(Device(kSata), kSystem, {kSataFree}), 0u);
  EXPECT_EQ(+VolumeAfterRefresh(kSystem).state, sim::volume_state::kRebuilding);
}

TEST_F(OperationsTest, RenameSendsAtMostSixteenCharactersZeroPadded) {
  EXPECT_EQ(management.RenameVolume(Device(kDorn), kScratch, "Fast5"), 0u);
  const auto sent = simulated.recorder->Requests(fn::kRenameVolume).back().bytes;
  ASSERT_EQ(sent.size(), 64u);
  EXPECT_EQ(std::string(sent.begin() + 48, sent.begin() + 53), "Fast5");
  for (int i = 53; i < 64; ++i) EXPECT_EQ(sent[i], 0) << i;
  const Volume& renamed = VolumeAfterRefresh(kScratch);
  EXPECT_EQ(Text(renamed.name, sizeof renamed.name), "Fast5");

  EXPECT_EQ(management.RenameVolume(Device(kDorn), kScratch, "ExactlySixteen16AndMore"), 0u);
  const auto full = simulated.recorder->Requests(fn::kRenameVolume).back().bytes;
  EXPECT_EQ(std::string(full.begin() + 48, full.end()), "ExactlySixteen16");
}

TEST_F(OperationsTest, ArrayAndVolumePoliciesAndAddingDrives) {
  EXPECT_EQ(management.SetVolumeCachePolicy(Device(kDorn), kScratch, vesk_volume_cache_policy{3}),
            0u);
  EXPECT_EQ(
      management.SetVolumeRaidWriteHolePolicy(Device(kDorn), kData, vesk_rwh_policy{2}, kNvmeFree1),
      0u);
  EXPECT_EQ(management.SetArrayCachePolicy(Device(kDorn), kDornArray, false), 0u);
  EXPECT_EQ(management.AddDrivesToArray(Device(kDorn), kDornArray, {kNvmeFree2}), 0u);
  FullRefresh(management);
  EXPECT_FALSE(management.GetArrays().at(kDornArray)->writeCacheEnabled());
  EXPECT_TRUE(management.GetDrives().at(kNvmeFree2)->arrayId == kDornArray);
  EXPECT_EQ(+management.GetVolumes().at(kScratch)->cachePolicy(), 3);
  const Volume& data = *management.GetVolumes().at(kData);
  EXPECT_EQ(+data.rwhPolicy(), 2);
  EXPECT_TRUE(data.journalingDriveId == kNvmeFree1);
  EXPECT_EQ(+management.GetDrives().at(kNvmeFree1)->usage, sim::drive_usage::kJournaling);
}

TEST_F(OperationsTest, DriveLedOnAndOffInTheCurrentForm) {
  EXPECT_EQ(management.ActivateDriveLed(ControllerRecord(kDorn), kNvmeFree1, true), 0u);
  EXPECT_TRUE(DriveAfterRefresh(kNvmeFree1).ledActive());
  EXPECT_EQ(management.ActivateDriveLed(ControllerRecord(kDorn), kNvmeFree1, false), 0u);
  EXPECT_FALSE(DriveAfterRefresh(kNvmeFree1).ledActive());
  for (const auto& request : simulated.recorder->Requests(fn::kActivateDriveLed)) {
    EXPECT_EQ(request.apiVersion, 1u);
  }
}

TEST_F(OperationsTest, DriveMarksAndMetadata) {
  EXPECT_EQ(management.MarkDriveAsSpare(Device(kSata), kSataFree), 0u);
  EXPECT_EQ(management.UnmarkSpareDrive(Device(kSata), kSataSpare), 0u);
  FullRefresh(management);
  EXPECT_EQ(+management.GetDrives().at(kSataFree)->usage, sim::drive_usage::kSpare);
  EXPECT_EQ(+management.GetDrives().at(kSataSpare)->usage, sim::drive_usage::kPassThrough);

  simulated.driver->Edit([](sim::Topology& model) {
    model.controllers[0].FindDrive(kSataSpare)->foreignMetadata = true;
  });
  EXPECT_EQ(management.ClearDriveMetadata(Device(kSata), kSataSpare), 0u);
  EXPECT_EQ(+DriveAfterRefresh(kSataSpare).usage, sim::drive_usage::kPassThrough);

  simulated.driver->SetDriveStatus(kSataSpare, sim::drive_status::kSmartEvent);
  EXPECT_EQ(management.ResetSmartEvent(Device(kSata), kSataSpare), 0u);
  EXPECT_EQ(+DriveAfterRefresh(kSataSpare).status, sim::drive_status::kNormal);
}

TEST_F(OperationsTest, WriteCacheThreeWaysTwoRequests) {
  EXPECT_EQ(management.DisableWriteCacheOnDrive(Device(kSata), kSataFree), 0u);
  EXPECT_FALSE(DriveAfterRefresh(kSataFree).writeCacheEnabled());
  EXPECT_EQ(management.EnableWriteCacheOnDrive(Device(kSata), kSataFree), 0u);
  EXPECT_TRUE(DriveAfterRefresh(kSataFree).writeCacheEnabled());
  EXPECT_EQ(management.SetWriteCacheOnDrive(Device(kSata), kSataFree, false), 0u);
  EXPECT_EQ(management.SetWriteCacheOnDrive(Device(kSata), kSataFree, true), 0u);

  const auto sent = simulated.recorder->Requests(fn::kSetVolatileWriteCache);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].bytes, sent[2].bytes);  // disable == set(false)
  EXPECT_EQ(sent[1].bytes, sent[3].bytes);  // enable == set(true)
  EXPECT_NE(sent[0].bytes, sent[1].bytes);
}

// A 1.0 driver: the legacy LED request, and the follow-up initialize of a created volume.
class LegacyOperationsTest : public ::testing::Test {
 protected:
  LegacyOperationsTest() { FullRefresh(management); }
  const Controller& Record(const vesk_guid& id) {
    return *management.GetControllers().GetControllersById().at(id);
  }

  SimulatedMachine simulated{"legacy"};
  StorageManagement management;
};

TEST_F(LegacyOperationsTest, LedUsesTheLegacyRequestWhateverEnableSays) {
  EXPECT_EQ(management.ActivateDriveLed(Record(kSata), kLegacyFree, false), 0u);
  EXPECT_EQ(management.ActivateDriveLed(Record(kSata), kLegacyFree, true), 0u);
  const auto sent = simulated.recorder->Requests(fn::kActivateDriveLed);
  ASSERT_EQ(sent.size(), 2u);
  for (const auto& request : sent) {
    EXPECT_EQ(request.apiVersion, 0u);
    EXPECT_EQ(request.bytes[48], 0);  // enable has no field to travel in
  }
  // A 1.0 drive record has no LED bit (it reads 0), so the model is asked.
  EXPECT_TRUE(simulated.Model().controllers[0].FindDrive(kLegacyFree)->ledActive);
}

TEST_F(LegacyOperationsTest, CreateWithInitializeSendsCreateThenInitialize) {
  const Controller& dorn = Record(kLegacyDorn);
  simulated.recorder->Clear();
  auto [plain, kept] = management.CreateVolume(dorn, Mirror(false), {kLegacyNvme0, kLegacyNvme1});
  EXPECT_EQ(plain, 0u);
  EXPECT_EQ(simulated.recorder->Requests().size(), 1u) << "no initialize asked for";
  ASSERT_EQ(management.DeleteVolume(dorn.GetDeviceHandle().get(), kept), 0u);

  simulated.recorder->Clear();
  auto [status, id] = management.CreateVolume(dorn, Mirror(true), {kLegacyNvme0, kLegacyNvme1});
  EXPECT_EQ(status, 0u);
  const auto sent = simulated.recorder->Requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].functionCode, fn::kCreateVolume);
  EXPECT_EQ(sent[1].functionCode, fn::kInitializeVolume);
  EXPECT_EQ(std::memcmp(sent[1].bytes.data() + 32, &id, 16), 0);
  FullRefresh(management);
  EXPECT_EQ(+management.GetVolumes().at(id)->state, sim::volume_state::kInitializing);
}

TEST_F(LegacyOperationsTest, RefusedOrFailedFollowUpInitializeKeepsTheCreatedVolume) {
  const Controller& dorn = Record(kLegacyDorn);
  simulated.driver->InjectFault({sim::Fault::Kind::Status, fn::kInitializeVolume, 15});
  auto [status, id] = management.CreateVolume(dorn, Mirror(true), {kLegacyNvme0, kLegacyNvme1});
  EXPECT_EQ(status, 0u);
  FullRefresh(management);
  ASSERT_EQ(management.GetVolumes().count(id), 1u);
  EXPECT_FALSE(management.GetVolumes().at(id)->initialized());

  // A transport failure of the initialize does not reach the caller either.
  ASSERT_EQ(management.DeleteVolume(dorn.GetDeviceHandle().get(), id), 0u);
  simulated.driver->InjectFault({sim::Fault::Kind::DeviceFailure, fn::kInitializeVolume, 0});
  auto [again, second] = management.CreateVolume(dorn, Mirror(true), {kLegacyNvme0, kLegacyNvme1});
  EXPECT_EQ(again, 0u);
  EXPECT_FALSE(second == vesk_invalid_guid);
}

}  // namespace
}  // namespace Vesk
