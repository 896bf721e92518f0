// The managed facade's diff, driven with hand-built native records staged in its working
// collections, and the translation of native failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>

#include "ManagedTestSupport.h"
#include "managed/Translation.h"
#include "simulator/Machine.h"
#include "vesk_managed/StorageManagementBase.h"

namespace VESK_Managed {
namespace {

using testing::MakeArray;
using testing::MakeController;
using testing::MakeDrive;
using testing::MakeVolume;
using testing::NativeGuid;
using testing::Raised;
using Names = std::vector<std::string>;
using Action = Components::NotifyCollectionChangedAction;

// Exposes the working and current collections so that records can be staged by hand.
class StagedFacade : public StorageManagementBase {
 public:
  using StorageManagementBase::UpdatedArrays;
  using StorageManagementBase::UpdatedControllers;
  using StorageManagementBase::UpdatedDrives;
  using StorageManagementBase::UpdatedVolumes;

  Vesk::DriveMap& CurrentDrives() { return GetInstance().GetDrives(); }
  Vesk::VolumeMap& CurrentVolumes() { return GetInstance().GetVolumes(); }
  Vesk::ControllerMap& CurrentControllers() {
    return GetInstance().GetControllers().GetControllersById();
  }

  void StageDrive(const Vesk::Drive& drive) { UpdatedDrives()[drive.id] = new Vesk::Drive(drive); }
  void StageController(std::unique_ptr<Vesk::Controller> controller) {
    auto id = controller->id;
    UpdatedControllers().GetControllersById()[id] = controller.release();
  }
  void Refresh() {
    SynchronizeStorageData();
    ClearUpdatesData();
  }
};

struct DriveChange {
  Action action;
  std::uint32_t id;
  bool operator==(const DriveChange&) const = default;
};

class SynchronizationTest : public ::testing::Test {
 protected:
  SynchronizationTest() {
    facade.Drives().CollectionChanged.Subscribe(
        [this](const System::Object&,
               const StorageManagementBase::DriveDictionary::ChangedArgs& e) {
          changes.push_back({e.Action, e.ChangedKey.group1});
        });
  }

  void StageDrives(std::initializer_list<std::uint32_t> ids, std::uint64_t size = 1000) {
    for (auto id : ids) {
      auto drive = MakeDrive(id);
      drive.size = size;
      facade.StageDrive(drive);
    }
  }

  std::vector<std::wstring> DebugLines() { return machine.DebugOutput(); }

  vesk::sim::Machine machine;
  StagedFacade facade;
  std::vector<DriveChange> changes;
};

const std::wstring kAdded = L"A new element has been added.\n";
const std::wstring kRemoved = L"An element has been removed.\n";

TEST_F(SynchronizationTest, NewElementsAreAddedInIdentifierOrderAndTheirRecordsMoveIn) {
  StageDrives({3, 1, 2});
  facade.SynchronizeStorageData();
  EXPECT_EQ(changes,
            (std::vector<DriveChange>{{Action::Add, 1}, {Action::Add, 2}, {Action::Add, 3}}));
  EXPECT_EQ(DebugLines(), (std::vector<std::wstring>{kAdded, kAdded, kAdded}));
  EXPECT_EQ(facade.CurrentDrives().size(), 3u);
  for (auto& [id, record] : facade.UpdatedDrives()) EXPECT_EQ(record, nullptr);
  facade.ClearUpdatesData();
  EXPECT_TRUE(facade.UpdatedDrives().empty());
  EXPECT_EQ(facade.CurrentDrives().size(), 3u);
}

TEST_F(SynchronizationTest, IdenticalMapsUpdateEachObjectOnceAndAddOrRemoveNothing) {
  StageDrives({1, 2, 3});
  facade.Refresh();
  changes.clear();
  machine.ClearDebugOutput();
  std::vector<std::unique_ptr<Raised>> raised;
  for (std::uint32_t id : {1, 2, 3}) {
    raised.push_back(std::make_unique<Raised>(*facade.Drives()[Guid(NativeGuid(id))]));
  }
  StageDrives({1, 2, 3}, 2000);
  facade.Refresh();
  for (auto& r : raised) EXPECT_EQ(r->names, (Names{"Size", "TotalSize"}));
  EXPECT_TRUE(changes.empty());
  EXPECT_TRUE(DebugLines().empty());

  // Nothing changed: nothing raised at all.
  for (auto& r : raised) r->names.clear();
  StageDrives({1, 2, 3}, 2000);
  facade.Refresh();
  for (auto& r : raised) EXPECT_TRUE(r->names.empty());
  EXPECT_TRUE(changes.empty());
}

TEST_F(SynchronizationTest, AnEmptyWorkingMapRemovesEverything) {
  StageDrives({1, 2, 3});
  facade.Refresh();
  changes.clear();
  machine.ClearDebugOutput();
  facade.Refresh();
  EXPECT_EQ(changes, (std::vector<DriveChange>{
                         {Action::Remove, 1}, {Action::Remove, 2}, {Action::Remove, 3}}));
  EXPECT_EQ(DebugLines(), (std::vector<std::wstring>{kRemoved, kRemoved, kRemoved}));
  EXPECT_TRUE(facade.CurrentDrives().empty());
  EXPECT_EQ(facade.Drives().Count(), 0u);
}

TEST_F(SynchronizationTest, InterleavedIdentifiersAreMergedInOrder) {
  StageDrives({1, 3, 5});
  facade.Refresh();
  changes.clear();
  Raised three(*facade.Drives()[Guid(NativeGuid(3))]);
  StageDrives({2, 3, 4, 6}, 5);
  facade.Refresh();
  EXPECT_EQ(changes, (std::vector<DriveChange>{{Action::Remove, 1},
                                               {Action::Add, 2},
                                               {Action::Add, 4},
                                               {Action::Remove, 5},
                                               {Action::Add, 6}}));
  EXPECT_EQ(three.names, (Names{"Size", "TotalSize"}));
  std::vector<std::uint32_t> current;
  for (auto& [id, record] : facade.CurrentDrives()) current.push_back(id.group1);
  EXPECT_EQ(current, (std::vector<std::uint32_t>{2, 3, 4, 6}));
}

TEST_F(SynchronizationTest, UnknownDriveTypesAreReportedOnceAndSkippedAfterwards) {
  auto odd = MakeDrive(1, static_cast<Vesk::vesk_drive_type>(2));
  facade.StageDrive(odd);
  facade.Refresh();
  EXPECT_EQ(DebugLines(), (std::vector<std::wstring>{
                              L"Drive of unknown type retrieved for addition.\n", kAdded}));
  EXPECT_FALSE(facade.Drives().ContainsKey(Guid(NativeGuid(1))));
  EXPECT_EQ(facade.CurrentDrives().size(), 1u);
  machine.ClearDebugOutput();
  facade.StageDrive(odd);
  EXPECT_NO_THROW(facade.Refresh());
  EXPECT_TRUE(DebugLines().empty());
}

TEST_F(SynchronizationTest, ControllersSharingADeviceIdentifierShareOneManagedObject) {
  auto first = MakeController(1, 0x2826);
  first->raidLevelDescriptors[0].level = Vesk::VESK_RAID_1;
  first->raidLevelDescriptors[0].maxDrivesCount = 2;
  facade.StageController(std::move(first));
  facade.StageController(MakeController(2, 0x2826));
  facade.Refresh();
  ASSERT_EQ(facade.Controllers().Count(), 1u);
  EXPECT_EQ(facade.ControllerGuidToDeviceId().size(), 2u);
  auto shared = facade.Controllers()[0x2826];
  EXPECT_EQ(shared->Id(), Guid(NativeGuid(1)));

  // Each controller updates the shared object; the later one in identifier order wins.
  Raised raised(*shared);
  facade.StageController(MakeController(1, 0x2826));
  auto second = MakeController(2, 0x2826);
  second->policyFlags = 0x80;
  facade.StageController(std::move(second));
  facade.Refresh();
  EXPECT_EQ(raised.names, (Names{"RohiEnabled"}));
  EXPECT_TRUE(shared->RohiEnabled());

  // The record the shared object was built from leaves; the object stays and still reads its
  // descriptors (the record lives on inside it).
  facade.StageController(MakeController(2, 0x2826));
  facade.Refresh();
  ASSERT_EQ(facade.Controllers().Count(), 1u);
  EXPECT_EQ(facade.ControllerGuidToDeviceId().size(), 1u);
  EXPECT_EQ(shared->RaidLevelDescriptors().at(vesk_raid_level::Raid1).MaxDrivesCount(), 2);

  facade.Refresh();
  EXPECT_EQ(facade.Controllers().Count(), 0u);
  EXPECT_TRUE(facade.ControllerGuidToDeviceId().empty());
  EXPECT_EQ(shared->RaidLevelDescriptors().at(vesk_raid_level::Raid1).MaxDrivesCount(), 2);
}

TEST_F(SynchronizationTest, AControllerThatIsGoneCannotBeOperatedOn) {
  facade.StageController(MakeController(1, 0x1234, static_cast<Vesk::vesk_controller_type>(1)));
  facade.StageController(MakeController(2, 0x2826));
  facade.Refresh();
  EXPECT_EQ(machine.DebugOutput().front(), L"Controller of unknown type retrieved for addition.\n");
  auto controller = facade.Controllers()[0x2826];
  facade.Refresh();  // both leave
  try {
    facade.MarkDriveAsSpare(*controller, Guid(NativeGuid(9)));
    FAIL() << "operated on a controller that is gone";
  } catch (const NativeTaluException& e) {
    EXPECT_STREQ(e.what(), "The controller is not present.");
    EXPECT_EQ(e.ErrorCode(), 0u);
  }
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
  auto present = [&] {
    std::vector<std::uint32_t> ids;
    for (auto& [id, managed] : facade.Volumes().Snapshot()) ids.push_back(id.group1);
    std::sort(ids.begin(), ids.end());
    return ids;
  };

  // Population: the records sit in the current map already.
  for (std::uint32_t id : {1, 3}) facade.CurrentVolumes()[NativeGuid(id)] = volume(id);
  facade.CurrentVolumes()[NativeGuid(2)] = volume(2, unknown);
  EXPECT_NO_THROW(facade.SetAllVolumesInfo());
  EXPECT_EQ(present(), (std::vector<std::uint32_t>{1, 3}));
  EXPECT_EQ(DebugLines(), (std::vector<std::wstring>{kLeftOut}));

  // A later diff: the new volume behind another one without a number appears too.
  machine.ClearDebugOutput();
  for (std::uint32_t id : {1, 2, 3, 5}) facade.UpdatedVolumes()[NativeGuid(id)] = volume(id);
  facade.UpdatedVolumes()[NativeGuid(4)] = volume(4, Vesk::VESK_RAID_NONE);
  EXPECT_NO_THROW(facade.Refresh());
  EXPECT_EQ(present(), (std::vector<std::uint32_t>{1, 3, 5}));
  EXPECT_EQ(DebugLines(), (std::vector<std::wstring>{kLeftOut, kAdded, kAdded}));
}

// Managed-object kinds whose records nothing keeps a reference to, for the tests that run the
// same diff over each.
struct ArrayKind {
  static StorageManagementBase::ArrayDictionary& Managed(StagedFacade& f) { return f.Arrays(); }
  static Vesk::ArrayMap& Current(StagedFacade& f) { return f.GetInstance().GetArrays(); }
  static void Stage(StagedFacade& f, std::uint32_t id, std::uint64_t size) {
    auto record = MakeArray(id);
    record.totalSize = size;
    f.UpdatedArrays()[record.id] = new Vesk::Array(record);
  }
};
struct VolumeKind {
  static StorageManagementBase::VolumeDictionary& Managed(StagedFacade& f) { return f.Volumes(); }
  static Vesk::VolumeMap& Current(StagedFacade& f) { return f.CurrentVolumes(); }
  static void Stage(StagedFacade& f, std::uint32_t id, std::uint64_t size) {
    auto record = MakeVolume(id);
    record.size = size;
    f.UpdatedVolumes()[record.id] = new Vesk::Volume(record);
  }
};
struct DriveKind {
  static StorageManagementBase::DriveDictionary& Managed(StagedFacade& f) { return f.Drives(); }
  static Vesk::DriveMap& Current(StagedFacade& f) { return f.CurrentDrives(); }
  static void Stage(StagedFacade& f, std::uint32_t id, std::uint64_t size) {
    auto record = MakeDrive(id);
    record.size = size;
    f.StageDrive(record);
  }
};

template <typename Kind>
class ThrowingHandlerTest : public ::testing::Test {
 protected:
  void Stage(std::uint64_t size) {
    for (std::uint32_t id : {1, 2, 3}) Kind::Stage(facade, id, size);
  }
  // The diff runs to its end, then the first handler failure reaches the caller unchanged.
  void ExpectHandlerFailure() {
    calls = 0;
    try {
      facade.SynchronizeStorageData();
      ADD_FAILURE() << "the handler's exception was lost";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "handler 1");
    }
    EXPECT_EQ(calls, 3);
    facade.ClearUpdatesData();
  }
  std::runtime_error Failure() { return std::runtime_error("handler " + std::to_string(++calls)); }

  vesk::sim::Machine machine;
  StagedFacade facade;
  int calls = 0;
};

using RecordKinds = ::testing::Types<ArrayKind, VolumeKind, DriveKind>;
TYPED_TEST_SUITE(ThrowingHandlerTest, RecordKinds);

TYPED_TEST(ThrowingHandlerTest, LeavesEveryAdditionUpdateAndRemovalDone) {
  auto& managed = TypeParam::Managed(this->facade);
  managed.CollectionChanged.Subscribe([this](auto&, auto&) { throw this->Failure(); });
  this->Stage(1000);
  this->ExpectHandlerFailure();
  EXPECT_EQ(managed.Count(), 3u);
  EXPECT_EQ(TypeParam::Current(this->facade).size(), 3u);

  for (auto& [id, object] : managed.Snapshot()) {
    object->PropertyChanged.Subscribe([this](auto&, auto&) { throw this->Failure(); });
  }
  this->Stage(2000);
  this->ExpectHandlerFailure();

  this->ExpectHandlerFailure();  // nothing staged: every element leaves
  EXPECT_EQ(managed.Count(), 0u);
  EXPECT_TRUE(TypeParam::Current(this->facade).empty());
}

TEST_F(SynchronizationTest, AControllerLeavingUnderAThrowingHandlerKeepsTheRecordItsObjectReads) {
  auto record = MakeController(1, 0x2826);
  record->raidLevelDescriptors[0].level = Vesk::VESK_RAID_1;
  record->raidLevelDescriptors[0].maxDrivesCount = 2;
  facade.StageController(std::move(record));
  facade.Refresh();
  auto held = facade.Controllers()[0x2826];
  facade.Controllers().CollectionChanged.Subscribe(
      [](auto&, auto&) { throw std::runtime_error("handler"); });

  EXPECT_THROW(facade.SynchronizeStorageData(), std::runtime_error);
  EXPECT_TRUE(facade.CurrentControllers().empty());
  EXPECT_TRUE(facade.ControllerGuidToDeviceId().empty());
  EXPECT_EQ(facade.Controllers().Count(), 0u);
  facade.Refresh();  // a later diff has nothing left to release
  EXPECT_EQ(held->RaidLevelDescriptors().at(vesk_raid_level::Raid1).MaxDrivesCount(), 2);
}

TEST_F(SynchronizationTest, DisposalFromAHandlerEndsTheDiffBeforeTheFacadeGoes) {
  facade.Drives().CollectionChanged.Subscribe([this](auto&, auto&) { facade.Dispose(); });
  StageDrives({1, 2, 3});
  EXPECT_NO_THROW(facade.SynchronizeStorageData());
  EXPECT_TRUE(facade.IsInvalid());
  EXPECT_EQ(changes, (std::vector<DriveChange>{{Action::Add, 1}}));
}

TEST_F(SynchronizationTest, EveryMemberThrowsOnceDisposedAndStagedRecordsAreReleased) {
  StageDrives({1, 2});
  facade.Dispose();
  facade.Dispose();
  EXPECT_TRUE(facade.IsInvalid());

  SataController controller(Guid(NativeGuid(1)));
  const Guid id(NativeGuid(2));
  const Guid drives[] = {id};
  Vesk::ArrayMap arrayMap;
  Vesk::VolumeMap volumeMap;
  Vesk::DriveMap driveMap;
  const std::pair<const char*, std::function<void(StagedFacade&)>> members[] = {
      {"GetInstance", [](auto& f) { f.GetInstance(); }},
      {"SetAllControllersInfo", [](auto& f) { f.SetAllControllersInfo(); }},
      {"SetAllArraysInfo", [](auto& f) { f.SetAllArraysInfo(); }},
      {"SetAllVolumesInfo", [](auto& f) { f.SetAllVolumesInfo(); }},
      {"SetAllDrivesInfo", [](auto& f) { f.SetAllDrivesInfo(); }},
      {"SetAllArraysInfo(map)", [&](auto& f) { f.SetAllArraysInfo(arrayMap); }},
      {"SetAllVolumesInfo(map)", [&](auto& f) { f.SetAllVolumesInfo(volumeMap); }},
      {"SetAllDrivesInfo(map)", [&](auto& f) { f.SetAllDrivesInfo(driveMap); }},
      {"UpdateAllControllers", [](auto& f) { f.UpdateAllControllers(); }},
      {"UpdateAllArrays", [](auto& f) { f.UpdateAllArrays(); }},
      {"UpdateAllVolumes", [](auto& f) { f.UpdateAllVolumes(); }},
      {"UpdateAllDrives", [](auto& f) { f.UpdateAllDrives(); }},
      {"SynchronizeStorageData", [](auto& f) { f.SynchronizeStorageData(); }},
      {"ClearUpdatesData", [](auto& f) { f.ClearUpdatesData(); }},
      {"HandlePnpEvent", [](auto& f) { f.HandlePnpEvent(); }},
      {"ActivateDriveLed", [&](auto& f) { f.ActivateDriveLed(controller, id, true); }},
      {"ClearDriveMetadata", [&](auto& f) { f.ClearDriveMetadata(controller, id); }},
      {"DisableWriteCacheOnDrive", [&](auto& f) { f.DisableWriteCacheOnDrive(controller, id); }},
      {"EnableWriteCacheOnDrive", [&](auto& f) { f.EnableWriteCacheOnDrive(controller, id); }},
      {"SetWriteCacheOnDrive", [&](auto& f) { f.SetWriteCacheOnDrive(controller, id, true); }},
      {"MarkDriveAsNormal", [&](auto& f) { f.MarkDriveAsNormal(controller, id); }},
      {"MarkDriveAsSpare", [&](auto& f) { f.MarkDriveAsSpare(controller, id); }},
      {"UnmarkSpareDrive", [&](auto& f) { f.UnmarkSpareDrive(controller, id); }},
      {"RemoveDrive", [&](auto& f) { f.RemoveDrive(controller, id); }},
      {"ResetSmartEvent", [&](auto& f) { f.ResetSmartEvent(controller, id); }},
      {"AddDrivesToArray", [&](auto& f) { f.AddDrivesToArray(controller, id, drives); }},
      {"SetArrayCachePolicy", [&](auto& f) { f.SetArrayCachePolicy(controller, id, true); }},
      {"CreateVolume",
       [&](auto& f) {
         f.CreateVolume(controller, drives, L"New", vesk_strip_size{}, vesk_raid_level::Raid0, 1,
                        false, false, vesk_rwh_policy{}, Guid::Empty(), Guid::Empty());
       }},
      {"DeleteVolume", [&](auto& f) { f.DeleteVolume(controller, id); }},
      {"ExpandVolume", [&](auto& f) { f.ExpandVolume(controller, id, 1); }},
      {"InitializeVolume", [&](auto& f) { f.InitializeVolume(controller, id); }},
      {"InitializeVolumeFromManagedGuid",
       [&](auto& f) { f.InitializeVolumeFromManagedGuid(controller, id); }},
      {"MarkVolumeAsNormal", [&](auto& f) { f.MarkVolumeAsNormal(controller, id); }},
      {"RebuildVolume", [&](auto& f) { f.RebuildVolume(controller, id, drives); }},
      {"RenameVolume", [&](auto& f) { f.RenameVolume(controller, id, L"Name"); }},
      {"ChangeRaidLayout",
       [&](auto& f) {
         f.ChangeRaidLayout(controller, id, vesk_strip_size{}, vesk_raid_level::Raid1, drives);
       }},
      {"SetVolumeCachePolicy",
       [&](auto& f) { f.SetVolumeCachePolicy(controller, id, vesk_volume_cache_policy{}); }},
      {"SetVolumeCachePolicyFromManagedGuid",
       [&](auto& f) {
         f.SetVolumeCachePolicyFromManagedGuid(controller, id, vesk_volume_cache_policy{});
       }},
      {"SetVolumeRaidWriteHolePolicy",
       [&](auto& f) { f.SetVolumeRaidWriteHolePolicy(controller, id, vesk_rwh_policy{}, id); }},
      {"VerifyVolume", [&](auto& f) { f.VerifyVolume(controller, id, true); }},
      {"CancelVerifyVolume", [&](auto& f) { f.CancelVerifyVolume(controller, id); }},
      {"SetControllerReadPatrolPolicy",
       [&](auto& f) { f.SetControllerReadPatrolPolicy(controller, true); }},
      {"SetControllerRohiPolicy", [&](auto& f) { f.SetControllerRohiPolicy(controller, true); }},
  };
  for (const auto& [name, call] : members) {
    try {
      call(facade);
      ADD_FAILURE() << name << " ran on a disposed facade";
    } catch (const System::ObjectDisposedException& e) {
      EXPECT_STREQ(e.what(), "Cannot access a disposed object.") << name;
    } catch (const std::exception& e) {
      ADD_FAILURE() << name << ": " << e.what();
    }
  }
  // The managed collections stay readable, and the semaphore usable, for a user interface that
  // disposes while holding it.
  EXPECT_EQ(facade.Drives().Count(), 0u);
  EXPECT_TRUE(facade.GetIoSemaphore().Wait(std::chrono::milliseconds(0)));
  facade.GetIoSemaphore().Release();
}

template <typename Exception>
Exception Translated(const std::function<void()>& call) {
  try {
    detail::Translate(call);
  } catch (const Exception& e) {
    return e;
  } catch (const std::exception& e) {
    ADD_FAILURE() << "wrong exception: " << e.what();
  }
  throw std::logic_error("nothing thrown");
}

TEST(TranslationTest, EveryNativeFailureBecomesItsManagedCounterpart) {
  auto vesk = Translated<NativeVeskException>([] {
    throw Vesk::VeskException("Unable to remove drive. IOCTL completed with error.",
                              Vesk::vesk_status{264});
  });
  EXPECT_STREQ(vesk.what(), "Unable to remove drive. IOCTL completed with error.");
  EXPECT_EQ(vesk.Status(), vesk_status{264});
  EXPECT_EQ(vesk.ErrorCode(), 264u);

  auto talu = Translated<NativeTaluException>(
      [] { throw Vesk::TaluException("Empty drive identifier retrieved", 31); });
  EXPECT_STREQ(talu.what(), "Empty drive identifier retrieved");
  EXPECT_EQ(talu.ErrorCode(), 31u);
  try {
    detail::Translate([] { throw Vesk::TaluException("Empty drive identifier retrieved", 31); });
  } catch (const NativeVeskException&) {
    ADD_FAILURE() << "a TaluException carries no driver status";
  } catch (const NativeTaluException&) {
  }

  auto standard = Translated<NativeException>(
      [] { throw std::runtime_error("Unsupported VESK specification version: 5.0!"); });
  EXPECT_STREQ(standard.what(), "Unsupported VESK specification version: 5.0!");

  auto structured = Translated<NativeException>(
      [] { throw System::SEHException("External component has thrown an exception."); });
  EXPECT_STREQ(structured.what(),
               "System.Runtime.InteropServices.SEHException: External component has thrown an "
               "exception.");

  // The runtime's own exceptions pass unchanged.
  EXPECT_THROW(detail::Translate([] { throw System::NotSupportedException(); }),
               System::NotSupportedException);
}

}  // namespace
}  // namespace VESK_Managed
