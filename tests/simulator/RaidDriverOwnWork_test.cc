// What the simulated driver does on its own, and the drills that make hardware fail under it:
// spares take over lost members, ROHI rebuilds onto a drive put in a lost member's slot, read
// patrol repairs media errors on the clock, and all of it survives a save.
#include <gtest/gtest.h>

#include <utility>

#include "simulator/RaidDriver.h"
#include "tests/simulator/RequestBytes.h"

namespace vesk::sim::test {
namespace {

namespace fn = function;
using S = DriverStatus;

class OwnWork : public ::testing::Test {
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
  std::vector<vesk_guid> Members(const vesk_guid& arrayId) {
    Topology now = driver->Snapshot();
    for (auto& c : now.controllers)
      if (const Array* a = c.FindArray(arrayId)) return a->drives;
    return {};
  }
  // A subscription to every event of a controller, and what it collected since the last call.
  vesk_guid Subscribe(const vesk_guid& controller) {
    Bytes create = Bytes::Management(50, fn::kCreateEventSubscription);
    create.PutId(32, controller);
    EXPECT_EQ(Run(create), 0u);
    return last.IdAt(32);
  }
  std::vector<std::pair<int, vesk_guid>> Events(const vesk_guid& subscription) {
    Bytes events = Bytes::Management(34 + 20 * 32, fn::kGetEvents);
    events.PutId(32, subscription);
    EXPECT_EQ(Run(events), 0u);
    std::vector<std::pair<int, vesk_guid>> seen;
    for (int i = 0; i < last.U16(32); ++i)
      seen.emplace_back(last.U8(34 + 20 * i), last.IdAt(34 + 20 * i + 4));
    return seen;
  }

  Bytes last;
};

using Event = std::pair<int, vesk_guid>;

TEST_F(OwnWork, ASpareTakesALostMembersPlaceAndRebuildsWhatCanBeSaved) {
  ASSERT_EQ(Run(TargetCommand(fn::kMarkAsSpare, Nvme(4)), kDornPdo), 0u);
  const vesk_guid subscription = Subscribe(kDornController);
  ASSERT_EQ(driver->FailDrive(Nvme(1)), S::Success);

  EXPECT_EQ(Members(kDornArray), (std::vector<vesk_guid>{Nvme(0), Nvme(4), Nvme(2), Nvme(3)}));
  EXPECT_FALSE(DriveNow(Nvme(4)).spare);
  EXPECT_EQ(VolumeNow(kDataVolume).state, volume_state::kRebuilding);
  EXPECT_EQ(VolumeNow(kDataVolume).staleDrives, std::vector<vesk_guid>{Nvme(4)});
  // No rebuild brings a RAID 0 back: it stays failed, and the spare holds nothing for it.
  EXPECT_EQ(VolumeNow(kScratchVolume).state, volume_state::kFailed);
  EXPECT_EQ(VolumeNow(kScratchVolume).staleDrives, std::vector<vesk_guid>{Nvme(4)});
  const std::vector<Event> expected = {
      {event_type::kDriveChanged, Nvme(1)},         {event_type::kVolumeChanged, kDataVolume},
      {event_type::kVolumeChanged, kScratchVolume}, {event_type::kDriveChanged, Nvme(4)},
      {event_type::kArrayChanged, kDornArray},      {event_type::kVolumeChanged, kDataVolume}};
  EXPECT_EQ(Events(subscription), expected);

  driver->AdvanceClock(60000);
  EXPECT_EQ(VolumeNow(kDataVolume).state, volume_state::kNormal);
  EXPECT_EQ(VolumeNow(kScratchVolume).state, volume_state::kFailed);

  // The SATA controller's spare stands in for a pulled mirror half, in its place.
  ASSERT_EQ(driver->PullDrive(SataDisk(0)), S::Success);
  EXPECT_EQ(Members(kSataArray), (std::vector<vesk_guid>{SataDisk(2), SataDisk(1)}));
  EXPECT_EQ(VolumeNow(kSystemVolume).state, volume_state::kRebuilding);
}

TEST_F(OwnWork, NoSpareTakesOverWhenNoneFitsOrNothingCanBeSaved) {
  // Too small, or not in good health: the spare stays a spare and the volume degraded.
  driver->Edit([](Topology& t) { t.controllers[0].drives[2].blocks = 1953525167; });
  ASSERT_EQ(driver->FailDrive(SataDisk(1)), S::Success);
  EXPECT_EQ(Members(kSataArray), (std::vector<vesk_guid>{SataDisk(0), SataDisk(1)}));
  EXPECT_TRUE(DriveNow(SataDisk(2)).spare);
  EXPECT_EQ(VolumeNow(kSystemVolume).state, volume_state::kDegraded);
  ASSERT_EQ(driver->SignalSmartEvent(SataDisk(3)), S::Success);
  driver->Edit([](Topology& t) { t.controllers[0].drives[3].spare = true; });
  driver->AdvanceClock(1000);
  EXPECT_EQ(VolumeNow(kSystemVolume).state, volume_state::kDegraded);
  // A spare that fits, marked later, is taken at once.
  driver->Edit([](Topology& t) { t.controllers[0].drives[3].spare = false; });
  ASSERT_EQ(Run(TargetCommand(fn::kResetSmartEvent, SataDisk(3))), 0u);
  ASSERT_EQ(Run(TargetCommand(fn::kMarkAsSpare, SataDisk(3))), 0u);
  EXPECT_EQ(Members(kSataArray), (std::vector<vesk_guid>{SataDisk(0), SataDisk(3)}));
  EXPECT_EQ(VolumeNow(kSystemVolume).state, volume_state::kRebuilding);

  // Every volume of the array failed: the spare is kept for one that can be saved.
  driver->Edit([](Topology& t) { t.controllers[1].volumes[0].raidLevel = 1; });
  ASSERT_EQ(Run(TargetCommand(fn::kMarkAsSpare, Nvme(4)), kDornPdo), 0u);
  ASSERT_EQ(driver->FailDrive(Nvme(0)), S::Success);
  EXPECT_EQ(VolumeNow(kDataVolume).state, volume_state::kFailed);
  EXPECT_TRUE(DriveNow(Nvme(4)).spare);
  EXPECT_EQ(Members(kDornArray)[0], Nvme(0));
}

TEST_F(OwnWork, RohiRebuildsOntoADriveInsertedInALostMembersSlot) {
  for (const bool rohi : {false, true}) {
    for (const bool blank : {false, true}) {
      SCOPED_TRACE(testing::Message() << "rohi " << rohi << ", blank " << blank);
      driver = LoadDriver("demo.json");
      driver->Edit([&](Topology& t) {
        t.controllers[0].rohiEnabled = rohi;
        t.controllers[0].drives[2].spare = false;
      });
      ASSERT_EQ(driver->PullDrive(SataDisk(1)), S::Success);
      vesk_guid inserted{};
      ASSERT_EQ(driver->InsertDrive(SataDisk(1), blank, &inserted), S::Success);
      const Drive in = DriveNow(inserted);
      EXPECT_EQ(in.status, drive_status::kNormal);
      EXPECT_EQ(in.blocks, 1953525168u);
      EXPECT_EQ(in.portNumber, 1);
      EXPECT_EQ(in.sataLinkRate, 3);
      EXPECT_EQ(inserted == SataDisk(1), !blank);
      // A new drive replaces the missing member only with ROHI; a returning one is a member.
      const vesk_guid member = blank && !rohi ? SataDisk(1) : inserted;
      EXPECT_EQ(Members(kSataArray), (std::vector<vesk_guid>{SataDisk(0), member}));
      EXPECT_EQ(VolumeNow(kSystemVolume).state,
                rohi ? volume_state::kRebuilding : volume_state::kDegraded);
      if (blank) {
        EXPECT_EQ(in.serialNumber, "BLANK00000001");
      }
      // The drive in the member's place holds nothing the volume can read until rebuilt.
      const std::vector<vesk_guid> stale =
          blank && !rohi ? std::vector<vesk_guid>{} : std::vector<vesk_guid>{inserted};
      EXPECT_EQ(VolumeNow(kSystemVolume).staleDrives, stale);
    }
  }
  // The slot holds one drive.
  EXPECT_EQ(driver->InsertDrive(SataDisk(1), false), S::InvalidState);
  EXPECT_EQ(driver->InsertDrive(SataDisk(1), true), S::InvalidState);
  EXPECT_EQ(driver->InsertDrive(SataDisk(3), false), S::InvalidState);  // never pulled
  EXPECT_EQ(driver->InsertDrive(Nvme(9), false), S::DriveNotFound);
  // Nothing is known of a drive loaded missing.
  driver->Edit([](Topology& t) { t.controllers[1].drives[5].status = drive_status::kMissing; });
  EXPECT_EQ(driver->InsertDrive(Nvme(5), true), S::InvalidState);
}

TEST_F(OwnWork, ReadPatrolRepairsOneVolumeForEveryTaskDuration) {
  driver->Edit([](Topology& t) { t.controllers[1].readPatrolEnabled = true; });
  ASSERT_EQ(driver->SetMediaErrors(kDataVolume, 5, 2), S::Success);
  ASSERT_EQ(driver->SetMediaErrors(kScratchVolume, 3, 1), S::Success);
  ASSERT_EQ(driver->SetMediaErrors(kSystemVolume, 4, 0), S::Success);  // patrol off there
  driver->AdvanceClock(59999);
  EXPECT_EQ(VolumeNow(kDataVolume).latentErrors, 5u);
  driver->AdvanceClock(1);
  EXPECT_EQ(VolumeNow(kDataVolume).latentErrors + VolumeNow(kDataVolume).latentBadBlocks, 0u);
  EXPECT_EQ(VolumeNow(kDataVolume).state, volume_state::kNormal);
  EXPECT_EQ(driver->Snapshot().controllers[1].patrolVolume, 1u);
  // RAID 0 has nothing to repair from; the patrol goes round again after it.
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
  EXPECT_EQ(driver->SetMediaErrors(Nvme(0), 1, 1), S::VolumeNotFound);
}

TEST_F(OwnWork, DrillsRefuseWhatCannotHappenToTheDrive) {
  EXPECT_EQ(driver->FailDrive(Nvme(9)), S::DriveNotFound);
  EXPECT_EQ(driver->PullDrive(Nvme(9)), S::DriveNotFound);
  EXPECT_EQ(driver->SignalSmartEvent(Nvme(9)), S::DriveNotFound);
  ASSERT_EQ(driver->SignalSmartEvent(Nvme(4)), S::Success);
  EXPECT_EQ(DriveNow(Nvme(4)).status, drive_status::kSmartEvent);
  EXPECT_EQ(driver->SignalSmartEvent(Nvme(4)), S::InvalidState);
  ASSERT_EQ(driver->FailDrive(Nvme(4)), S::Success);
  EXPECT_EQ(driver->FailDrive(Nvme(4)), S::InvalidState);
  ASSERT_EQ(driver->PullDrive(Nvme(4)), S::Success);
  EXPECT_EQ(driver->PullDrive(Nvme(4)), S::InvalidState);
  EXPECT_EQ(driver->FailDrive(Nvme(4)), S::DriveUnusable);
  EXPECT_EQ(driver->SignalSmartEvent(Nvme(4)), S::DriveUnusable);
}

// A later process goes on where the earlier one stopped: a pulled drive can be put back, the
// patrol reads on from where it was.
TEST_F(OwnWork, PulledDrivesAndThePatrolSurviveASave) {
  driver->Edit([](Topology& t) { t.controllers[1].readPatrolEnabled = true; });
  ASSERT_EQ(driver->PullDrive(Nvme(5)), S::Success);
  driver->AdvanceClock(90000);
  auto later = std::make_shared<RaidDriver>(LoadTopology(driver->Save()));
  EXPECT_EQ(later->Save(), driver->Save());
  ASSERT_EQ(later->SetMediaErrors(kScratchVolume, 0, 0), S::Success);
  ASSERT_EQ(later->SetMediaErrors(kDataVolume, 2, 0), S::Success);
  later->AdvanceClock(30000 + 60000);  // Scratch's turn ends, then Data's
  driver = later;
  EXPECT_EQ(VolumeNow(kDataVolume).latentErrors, 0u);
  ASSERT_EQ(later->InsertDrive(Nvme(5), false), S::Success);
  EXPECT_EQ(DriveNow(Nvme(5)).blocks, 3907029168u);
  EXPECT_EQ(DriveNow(Nvme(5)).pciLinkWidth,
            LoadDriver("demo.json")->Snapshot().controllers[1].drives[5].pciLinkWidth);
}

}  // namespace
}  // namespace vesk::sim::test
