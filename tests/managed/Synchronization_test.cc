// The managed facade's diff, driven with hand-built native records staged in its working
// collections: the order of kinds, additions, updates and removals, handlers that throw or dispose,
// and the translation of native failures.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <utility>

#include "ManagedTestSupport.h"
#include "managed/Translation.h"
#include "simulator/Machine.h"
#include "vesk_managed/StorageManagementBase.h"

namespace VESK_Managed {
namespace {

using testing::ExpectThrows;
using testing::MakeArray;
using testing::MakeController;
using testing::MakeDrive;
using testing::MakeVolume;
using testing::NativeGuid;
using testing::StagedFacade;
using Names = std::vector<std::string>;

// A staged facade whose every change is logged.
class SynchronizationTest : public ::testing::Test {
 protected:
  // One population or refresh step; with throwing handlers, it must still complete, and the
  // failure reaching the caller be that of the step's first handler.
  void Step(const std::function<void()>& step) {
    const std::string first = "handler " + std::to_string(log.size() + 1);
    if (changes.throwing) {
      ExpectThrows<std::runtime_error>(step, first);
    } else {
      step();
    }
    facade.ClearUpdatesData();
  }

  void StageDrives(std::initializer_list<std::uint32_t> ids, std::uint64_t size = 1000) {
    for (auto id : ids) {
      auto drive = MakeDrive(id);
      drive.size = size;
      facade.Stage(drive);
    }
  }

  std::vector<std::wstring> DebugLines() { return machine.DebugOutput(); }

  vesk::sim::Machine machine;
  StagedFacade facade;
  testing::ChangeLog changes{facade};
  Names& log = changes.entries;
};

const std::wstring kAdded = L"A new element has been added.\n";
const std::wstring kRemoved = L"An element has been removed.\n";

// Additions, updates and removals follow identifier order; an unchanged record raises nothing, and
// the working records are taken over, not copied.
TEST_F(SynchronizationTest, ElementsAreMergedInIdentifierOrderAndAnUnchangedMapRaisesNothing) {
  StageDrives({3, 1, 5});
  facade.SynchronizeStorageData();
  for (auto& [id, record] : facade.UpdatedDrives()) EXPECT_EQ(record, nullptr);
  facade.ClearUpdatesData();
  for (int unchanged = 0; unchanged < 2; ++unchanged) {
    StageDrives({2, 3, 4, 6}, 5);
    facade.Refresh();
  }
  facade.Refresh();  // nothing staged: every element leaves
  EXPECT_EQ(log, (Names{"drive+1", "drive+3", "drive+5", "drive-1", "drive+2", "drive3.Size",
                        "drive3.TotalSize", "drive+4", "drive-5", "drive+6", "drive-2", "drive-3",
                        "drive-4", "drive-6"}));
  std::vector<std::wstring> lines;
  for (auto& entry : log) {
    if (entry.find('.') == std::string::npos) lines.push_back(entry[5] == '+' ? kAdded : kRemoved);
  }
  EXPECT_EQ(DebugLines(), lines);
  EXPECT_TRUE(facade.CurrentDrives().empty());
}

TEST_F(SynchronizationTest, UnknownDriveTypesAreReportedOnceAndSkippedAfterwards) {
  auto odd = MakeDrive(1, static_cast<Vesk::vesk_drive_type>(2));
  facade.Stage(odd);
  facade.Refresh();
  EXPECT_EQ(DebugLines(), (std::vector<std::wstring>{
                              L"Drive of unknown type retrieved for addition.\n", kAdded}));
  EXPECT_FALSE(facade.Drives().ContainsKey(Guid(NativeGuid(1))));
  EXPECT_EQ(facade.CurrentDrives().size(), 1u);
  machine.ClearDebugOutput();
  facade.Stage(odd);
  EXPECT_NO_THROW(facade.Refresh());
  EXPECT_TRUE(DebugLines().empty());
}

TEST_F(SynchronizationTest, ControllersSharingADeviceIdentifierShareOneManagedObject) {
  auto first = MakeController(1, 0x2826);
  first->raidLevelDescriptors[0].maxDrivesCount = 2;
  facade.Stage(std::move(first));
  facade.Stage(MakeController(2, 0x2826));
  facade.Refresh();
  ASSERT_EQ(facade.Controllers().Count(), 1u);
  EXPECT_EQ(facade.ControllerGuidToDeviceId().size(), 2u);
  auto shared = facade.Controllers()[0x2826];
  EXPECT_EQ(shared->Id(), Guid(NativeGuid(1)));

  // Each controller updates the shared object; the later one in identifier order wins.
  log.clear();
  facade.Stage(MakeController(1, 0x2826));
  auto second = MakeController(2, 0x2826);
  second->policyFlags = 0x80;
  facade.Stage(std::move(second));
  facade.Refresh();
  EXPECT_EQ(log, (Names{"controller10278.RohiEnabled"}));

  // The record the shared object was built from leaves; the object stays and still reads its
  // descriptors (the record lives on inside it).
  facade.Stage(MakeController(2, 0x2826));
  facade.Refresh();
  ASSERT_EQ(facade.Controllers().Count(), 1u);
  EXPECT_EQ(facade.ControllerGuidToDeviceId().size(), 1u);
  EXPECT_EQ(shared->RaidLevelDescriptors().at(vesk_raid_level::Raid1).MaxDrivesCount(), 2);
}

TEST_F(SynchronizationTest, AControllerGoneUnderAThrowingHandlerKeepsItsRecordButNotItsDevice) {
  facade.Stage(MakeController(1, 0x1234, static_cast<Vesk::vesk_controller_type>(1)));
  auto record = MakeController(2, 0x2826);
  record->raidLevelDescriptors[0].maxDrivesCount = 2;
  facade.Stage(std::move(record));
  facade.Refresh();
  EXPECT_EQ(machine.DebugOutput().front(), L"Controller of unknown type retrieved for addition.\n");
  auto controller = facade.Controllers()[0x2826];
  facade.Controllers().CollectionChanged.Subscribe(
      [](auto&, auto&) { throw std::runtime_error("handler"); });

  EXPECT_THROW(facade.SynchronizeStorageData(), std::runtime_error);  // both leave
  EXPECT_TRUE(facade.CurrentControllers().empty());
  EXPECT_TRUE(facade.ControllerGuidToDeviceId().empty());
  facade.Refresh();  // a later diff has nothing left to release
  EXPECT_EQ(controller->RaidLevelDescriptors().at(vesk_raid_level::Raid1).MaxDrivesCount(), 2);
  ExpectThrows<NativeTaluException>(
      [&] { facade.MarkDriveAsSpare(*controller, Guid(NativeGuid(9))); },
      "The controller is not present.");
}

TEST_F(SynchronizationTest, AVolumeWhoseLevelHasNoNumberIsLeftOutAndTheOthersStillAppear) {
  auto volume = [](std::uint32_t id, Vesk::vesk_raid_level level = Vesk::VESK_RAID_1) {
    auto record = MakeVolume(id);
    record.raidLevel = level;
    return new Vesk::Volume(record);
  };
  const auto unknown = static_cast<Vesk::vesk_raid_level>(6);
  const std::wstring kLeftOut =
      L"An element could not be added: Specified method is not supported.\n";

  // Population: the records sit in the current map already.
  for (std::uint32_t id : {1, 3}) facade.CurrentVolumes()[NativeGuid(id)] = volume(id);
  facade.CurrentVolumes()[NativeGuid(2)] = volume(2, unknown);
  EXPECT_NO_THROW(facade.SetAllVolumesInfo());
  EXPECT_EQ(log, (Names{"volume+1", "volume+3"}));
  EXPECT_EQ(DebugLines(), (std::vector<std::wstring>{kLeftOut}));

  // A later diff: the new volume behind another one without a number appears too.
  machine.ClearDebugOutput();
  for (std::uint32_t id : {1, 2, 3, 5}) facade.UpdatedVolumes()[NativeGuid(id)] = volume(id);
  facade.UpdatedVolumes()[NativeGuid(4)] = volume(4, Vesk::VESK_RAID_NONE);
  EXPECT_NO_THROW(facade.Refresh());
  EXPECT_EQ(log, (Names{"volume+1", "volume+3", "volume+5"}));
  EXPECT_EQ(DebugLines(), (std::vector<std::wstring>{kLeftOut, kAdded, kAdded}));
}

// An update that threw half way (a volume's level without a number) leaves its object partly
// changed: the next diff makes it whole, also when the driver answers what it answered before.
TEST_F(SynchronizationTest, AnUpdateThatThrewHalfWayIsMadeWholeAtTheNextDiff) {
  constexpr int kNormal = 0, kDegraded = 1;
  auto volume = [](Vesk::vesk_raid_level level, int state) {
    auto record = MakeVolume(1);
    record.raidLevel = level;
    record.state = static_cast<Vesk::vesk_volume_state>(state);
    return record;
  };
  auto stateOf = [&] { return static_cast<int>(facade.Volumes()[Guid(NativeGuid(1))]->State()); };
  facade.Stage(volume(Vesk::VESK_RAID_1, kNormal));
  facade.Refresh();
  facade.Stage(volume(static_cast<Vesk::vesk_raid_level>(6), kDegraded));
  EXPECT_THROW(facade.SynchronizeStorageData(), System::NotSupportedException);
  facade.ClearUpdatesData();
  EXPECT_EQ(stateOf(), kDegraded);  // taken before the level threw

  for (int again = 0; again < 2; ++again) {
    facade.Stage(volume(Vesk::VESK_RAID_1, kNormal));
    facade.Refresh();
    EXPECT_EQ(stateOf(), kNormal) << again;
  }
}

// An element whose answer is the one its object was last updated from is not looked at again; an
// object that did not come from that answer (put in the dictionary by somebody else, or left half
// updated by a throwing handler) is still brought in line.
TEST_F(SynchronizationTest, AnUnchangedAnswerStillReachesAnObjectThatDidNotComeFromIt) {
  auto drive = [](std::uint32_t id, int usage, int status = 0) {
    auto record = MakeDrive(id);
    record.usage = static_cast<Vesk::vesk_drive_usage>(usage);
    record.status = static_cast<Vesk::vesk_drive_status>(status);
    return record;
  };
  auto usageOf = [&](std::uint32_t id) {
    return static_cast<int>(facade.Drives()[Guid(NativeGuid(id))]->Usage());
  };
  auto refresh = [&](const Vesk::Drive& record) {
    facade.Stage(record);
    facade.Refresh();
  };
  refresh(drive(1, 0));
  refresh(drive(1, 2));
  refresh(drive(1, 0));  // back to the first answer
  EXPECT_EQ(usageOf(1), 0);

  facade.Drives().Set(Guid(NativeGuid(1)), std::make_shared<SataDrive>(drive(1, 3)));
  refresh(drive(1, 0));
  EXPECT_EQ(usageOf(1), 0);

  // There before the diff adds its element, so the diff keeps it rather than making its own.
  facade.Drives().Add(Guid(NativeGuid(9)), std::make_shared<SataDrive>(drive(9, 3)));
  facade.Stage(drive(1, 0));
  refresh(drive(9, 0));
  EXPECT_EQ(usageOf(9), 3);
  facade.Stage(drive(1, 0));
  refresh(drive(9, 0));
  EXPECT_EQ(usageOf(9), 0);

  // Status is updated before Usage: a handler that throws on it leaves Usage to the next diff.
  bool thrown = false;
  facade.Drives()[Guid(NativeGuid(1))]->PropertyChanged.Subscribe([&](auto&, auto& e) {
    if (e.PropertyName == "Status" && !std::exchange(thrown, true)) throw std::runtime_error("x");
  });
  facade.Stage(drive(9, 0));
  facade.Stage(drive(1, 2, 1));
  EXPECT_THROW(facade.SynchronizeStorageData(), std::runtime_error);
  facade.ClearUpdatesData();
  EXPECT_EQ(usageOf(1), 0);
  facade.Stage(drive(9, 0));
  refresh(drive(1, 2, 1));
  EXPECT_EQ(usageOf(1), 2);

  // A handler of this diff puts another object in the dictionary before its element comes.
  facade.Drives()[Guid(NativeGuid(1))]->PropertyChanged.Subscribe([&](auto&, auto&) {
    facade.Drives().Set(Guid(NativeGuid(9)), std::make_shared<SataDrive>(drive(9, 3)));
  });
  facade.Stage(drive(9, 0));
  refresh(drive(1, 1, 1));
  EXPECT_EQ(usageOf(9), 0);

  // A working map diffed twice: its records moved at the first diff.
  facade.Stage(drive(1, 1, 1));
  facade.Stage(drive(9, 0));
  facade.Stage(drive(5, 0));
  facade.SynchronizeStorageData();
  facade.SynchronizeStorageData();
  facade.ClearUpdatesData();
  EXPECT_EQ(facade.Drives().Count(), 3u);
}

class DiffTest : public SynchronizationTest {
 protected:
  // Population of arrays, volumes and drives, then refreshes in which a controller arrives, changes
  // and goes, and one element of each kind changes while the other goes.
  void KindsFollowEachOther() {
    for (std::uint32_t id : {1, 2}) {
      facade.GetInstance().GetArrays()[NativeGuid(id)] = new Vesk::Array(MakeArray(id));
      facade.CurrentVolumes()[NativeGuid(id)] = new Vesk::Volume(MakeVolume(id));
      facade.CurrentDrives()[NativeGuid(id)] = new Vesk::Drive(MakeDrive(id));
    }
    Step([&] { facade.SetAllArraysInfo(); });
    Step([&] { facade.SetAllVolumesInfo(); });
    Step([&] { facade.SetAllDrivesInfo(); });
    EXPECT_EQ(log, (Names{"array+1", "array+2", "volume+1", "volume+2", "drive+1", "drive+2"}));

    log.clear();
    facade.Stage(MakeController(1, 7));
    auto array = MakeArray(2);
    array.totalSize = 5;
    facade.Stage(array);
    auto volume = MakeVolume(1);
    volume.size = 5;
    facade.Stage(volume);
    auto drive = MakeDrive(2);
    drive.usage = static_cast<Vesk::vesk_drive_usage>(1);
    facade.Stage(drive);
    facade.Stage(MakeDrive(3));
    Step([&] { facade.SynchronizeStorageData(); });
    EXPECT_EQ(log, (Names{"controller+7", "array-1", "array2.TotalSize", "volume1.Size", "volume-2",
                          "drive-1", "drive2.Usage", "drive+3"}));

    log.clear();
    auto controller = MakeController(1, 7);
    controller->policyFlags = 0x80;
    facade.Stage(std::move(controller));
    Step([&] { facade.SynchronizeStorageData(); });
    Step([&] { facade.SynchronizeStorageData(); });
    EXPECT_EQ(log, (Names{"controller7.RohiEnabled", "array-2", "volume-1", "drive-2", "drive-3",
                          "controller-7"}));
    EXPECT_EQ(facade.Arrays().Count() + facade.Volumes().Count() + facade.Drives().Count(), 0u);
    EXPECT_TRUE(facade.GetInstance().GetArrays().empty());
    EXPECT_TRUE(facade.GetInstance().GetVolumes().empty());
    EXPECT_TRUE(facade.CurrentDrives().empty());
  }
};

TEST_F(DiffTest, KindsFollowEachOtherAndEachRemovesWhatIsGone) { KindsFollowEachOther(); }

class ThrowingHandlerTest : public DiffTest {};

TEST_F(ThrowingHandlerTest, LeavesEveryAdditionUpdateAndRemovalDone) {
  changes.throwing = true;
  KindsFollowEachOther();
}

TEST_F(SynchronizationTest, DisposalFromAHandlerEndsTheDiffBeforeTheFacadeGoes) {
  facade.Drives().CollectionChanged.Subscribe([this](auto&, auto&) { facade.Dispose(); });
  StageDrives({1, 2, 3});
  EXPECT_NO_THROW(facade.SynchronizeStorageData());
  EXPECT_TRUE(facade.IsInvalid());
  EXPECT_EQ(log, (Names{"drive+1"}));
}

TEST_F(SynchronizationTest, EveryMemberThrowsOnceDisposedAndStagedRecordsAreReleased) {
  StageDrives({1, 2});
  facade.Dispose();
  facade.Dispose();
  EXPECT_TRUE(facade.IsInvalid());

  // The operations are in the table of every operation; here the rest, and the one refusal that
  // would otherwise come first.
  SataController controller(Guid(NativeGuid(1)));
  const Guid drives[] = {Guid(NativeGuid(2))};
  Vesk::ArrayMap arrayMap;
  Vesk::VolumeMap volumeMap;
  Vesk::DriveMap driveMap;
  // clang-format off
#define MEMBER(call) {#call, [&](StagedFacade& f) { f.call; }}
  // clang-format on
  const std::pair<const char*, std::function<void(StagedFacade&)>> members[] = {
      MEMBER(GetInstance()),
      MEMBER(SetAllControllersInfo()),
      MEMBER(SetAllArraysInfo()),
      MEMBER(SetAllVolumesInfo()),
      MEMBER(SetAllDrivesInfo()),
      MEMBER(SetAllArraysInfo(arrayMap)),
      MEMBER(SetAllVolumesInfo(volumeMap)),
      MEMBER(SetAllDrivesInfo(driveMap)),
      MEMBER(UpdateAllControllers()),
      MEMBER(UpdateAllArrays()),
      MEMBER(UpdateAllVolumes()),
      MEMBER(UpdateAllDrives()),
      MEMBER(SynchronizeStorageData()),
      MEMBER(ClearUpdatesData()),
      MEMBER(HandlePnpEvent()),
      MEMBER(CreateVolume(controller, drives, L"A name far too long", vesk_strip_size{},
                          vesk_raid_level::Raid0, 1, false, false, vesk_rwh_policy{}, Guid::Empty(),
                          Guid::Empty())),
  };
#undef MEMBER
  for (const auto& [name, call] : members) {
    SCOPED_TRACE(name);
    ExpectThrows<System::ObjectDisposedException>([&] { call(facade); },
                                                  "Cannot access a disposed object.");
  }
  // The managed collections stay readable, and the semaphore usable, for a user interface that
  // disposes while holding it.
  EXPECT_EQ(facade.Drives().Count(), 0u);
  EXPECT_TRUE(facade.GetIoSemaphore().Wait(std::chrono::milliseconds(0)));
  facade.GetIoSemaphore().Release();
}

TEST(TranslationTest, OtherNativeFailuresBecomeNativeExceptionAndManagedOnesPassUnchanged) {
  const auto translating = [](auto failure) {
    return [failure] { detail::Translate([&] { throw failure; }); };
  };
  ExpectThrows<NativeException>(
      translating(std::runtime_error("Unsupported VESK specification version: 5.0!")),
      "Unsupported VESK specification version: 5.0!");
  EXPECT_THROW(translating(System::NotSupportedException())(), System::NotSupportedException);
}

}  // namespace
}  // namespace VESK_Managed
