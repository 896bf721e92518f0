// The managed facade's diff, driven with hand-built native records staged in its working
// collections: the order of kinds, additions, updates and removals, handlers that throw or dispose,
// and the translation of native failures.
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
using testing::StagedFacade;
using Names = std::vector<std::string>;
using Action = Components::NotifyCollectionChangedAction;

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
      facade.Stage(drive);
    }
  }

  std::vector<std::wstring> DebugLines() { return machine.DebugOutput(); }

  vesk::sim::Machine machine;
  StagedFacade facade;
  std::vector<DriveChange> changes;
};

const std::wstring kAdded = L"A new element has been added.\n";
const std::wstring kRemoved = L"An element has been removed.\n";

TEST_F(SynchronizationTest, NewElementsAreAddedInOrderWithTheirRecordsAndAnEmptyMapRemovesThem) {
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

  changes.clear();
  machine.ClearDebugOutput();
  facade.Refresh();
  EXPECT_EQ(changes, (std::vector<DriveChange>{
                         {Action::Remove, 1}, {Action::Remove, 2}, {Action::Remove, 3}}));
  EXPECT_EQ(DebugLines(), (std::vector<std::wstring>{kRemoved, kRemoved, kRemoved}));
  EXPECT_TRUE(facade.CurrentDrives().empty());
  EXPECT_EQ(facade.Drives().Count(), 0u);
}

TEST_F(SynchronizationTest, InterleavedIdentifiersAreMergedInOrderAndAnUnchangedMapRaisesNothing) {
  StageDrives({1, 3, 5});
  facade.Refresh();
  changes.clear();
  machine.ClearDebugOutput();
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

  // The same records again: nothing added, removed, raised or written.
  changes.clear();
  three.names.clear();
  machine.ClearDebugOutput();
  StageDrives({2, 3, 4, 6}, 5);
  facade.Refresh();
  EXPECT_TRUE(three.names.empty());
  EXPECT_TRUE(changes.empty());
  EXPECT_TRUE(DebugLines().empty());
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
  first->raidLevelDescriptors[0].level = Vesk::VESK_RAID_1;
  first->raidLevelDescriptors[0].maxDrivesCount = 2;
  facade.Stage(std::move(first));
  facade.Stage(MakeController(2, 0x2826));
  facade.Refresh();
  ASSERT_EQ(facade.Controllers().Count(), 1u);
  EXPECT_EQ(facade.ControllerGuidToDeviceId().size(), 2u);
  auto shared = facade.Controllers()[0x2826];
  EXPECT_EQ(shared->Id(), Guid(NativeGuid(1)));

  // Each controller updates the shared object; the later one in identifier order wins.
  Raised raised(*shared);
  facade.Stage(MakeController(1, 0x2826));
  auto second = MakeController(2, 0x2826);
  second->policyFlags = 0x80;
  facade.Stage(std::move(second));
  facade.Refresh();
  EXPECT_EQ(raised.names, (Names{"RohiEnabled"}));
  EXPECT_TRUE(shared->RohiEnabled());

  // The record the shared object was built from leaves; the object stays and still reads its
  // descriptors (the record lives on inside it).
  facade.Stage(MakeController(2, 0x2826));
  facade.Refresh();
  ASSERT_EQ(facade.Controllers().Count(), 1u);
  EXPECT_EQ(facade.ControllerGuidToDeviceId().size(), 1u);
  EXPECT_EQ(shared->RaidLevelDescriptors().at(vesk_raid_level::Raid1).MaxDrivesCount(), 2);

  facade.Refresh();
  EXPECT_EQ(facade.Controllers().Count(), 0u);
  EXPECT_TRUE(facade.ControllerGuidToDeviceId().empty());
  EXPECT_EQ(shared->RaidLevelDescriptors().at(vesk_raid_level::Raid1).MaxDrivesCount(), 2);
}

TEST_F(SynchronizationTest, AControllerGoneUnderAThrowingHandlerKeepsItsRecordButNotItsDevice) {
  facade.Stage(MakeController(1, 0x1234, static_cast<Vesk::vesk_controller_type>(1)));
  auto record = MakeController(2, 0x2826);
  record->raidLevelDescriptors[0].level = Vesk::VESK_RAID_1;
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
  EXPECT_EQ(facade.Controllers().Count(), 0u);
  facade.Refresh();  // a later diff has nothing left to release
  EXPECT_EQ(controller->RaidLevelDescriptors().at(vesk_raid_level::Raid1).MaxDrivesCount(), 2);
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

// The kinds whose records no managed object reads, for the tests that run over each.
struct ArrayKind {
  static auto& Managed(StagedFacade& f) { return f.Arrays(); }
  static auto& Current(StagedFacade& f) { return f.GetInstance().GetArrays(); }
  static auto& Working(StagedFacade& f) { return f.UpdatedArrays(); }
  static void Populate(StagedFacade& f) { f.SetAllArraysInfo(); }
  static Vesk::Array Make(std::uint32_t id, std::uint64_t size) {
    auto record = MakeArray(id);
    record.totalSize = size;
    return record;
  }
};
struct VolumeKind {
  static auto& Managed(StagedFacade& f) { return f.Volumes(); }
  static auto& Current(StagedFacade& f) { return f.CurrentVolumes(); }
  static auto& Working(StagedFacade& f) { return f.UpdatedVolumes(); }
  static void Populate(StagedFacade& f) { f.SetAllVolumesInfo(); }
  static Vesk::Volume Make(std::uint32_t id, std::uint64_t size) {
    auto record = MakeVolume(id);
    record.size = size;
    return record;
  }
};
struct DriveKind {
  static auto& Managed(StagedFacade& f) { return f.Drives(); }
  static auto& Current(StagedFacade& f) { return f.CurrentDrives(); }
  static auto& Working(StagedFacade& f) { return f.UpdatedDrives(); }
  static void Populate(StagedFacade& f) { f.SetAllDrivesInfo(); }
  static Vesk::Drive Make(std::uint32_t id, std::uint64_t size) {
    auto record = MakeDrive(id);
    record.size = size;
    return record;
  }
};

template <typename Kind>
class ThrowingHandlerTest : public ::testing::Test {
 protected:
  template <typename Map>
  void Fill(Map& map, std::uint64_t size) {
    for (std::uint32_t id : {1, 2, 3}) {
      auto record = Kind::Make(id, size);
      map[record.id] = new decltype(record)(record);
    }
  }
  // Every element is dealt with, then the first handler failure reaches the caller unchanged.
  void ExpectHandlerFailure(const std::function<void()>& refresh) {
    calls = 0;
    try {
      refresh();
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
  auto& facade = this->facade;
  auto& managed = TypeParam::Managed(facade);
  managed.CollectionChanged.Subscribe([this](auto&, auto&) { throw this->Failure(); });
  this->Fill(TypeParam::Current(facade), 1000);
  this->ExpectHandlerFailure([&] { TypeParam::Populate(facade); });
  EXPECT_EQ(managed.Count(), 3u);

  for (auto& [id, object] : managed.Snapshot()) {
    object->PropertyChanged.Subscribe([this](auto&, auto&) { throw this->Failure(); });
  }
  this->Fill(TypeParam::Working(facade), 2000);
  this->ExpectHandlerFailure([&] { facade.SynchronizeStorageData(); });

  // Nothing staged: every element leaves.
  this->ExpectHandlerFailure([&] { facade.SynchronizeStorageData(); });
  EXPECT_EQ(managed.Count(), 0u);
  EXPECT_TRUE(TypeParam::Current(facade).empty());
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
      MEMBER(ActivateDriveLed(controller, id, true)),
      MEMBER(ClearDriveMetadata(controller, id)),
      MEMBER(DisableWriteCacheOnDrive(controller, id)),
      MEMBER(EnableWriteCacheOnDrive(controller, id)),
      MEMBER(SetWriteCacheOnDrive(controller, id, true)),
      MEMBER(MarkDriveAsNormal(controller, id)),
      MEMBER(MarkDriveAsSpare(controller, id)),
      MEMBER(UnmarkSpareDrive(controller, id)),
      MEMBER(RemoveDrive(controller, id)),
      MEMBER(ResetSmartEvent(controller, id)),
      MEMBER(AddDrivesToArray(controller, id, drives)),
      MEMBER(SetArrayCachePolicy(controller, id, true)),
      MEMBER(CreateVolume(controller, drives, L"New", vesk_strip_size{}, vesk_raid_level::Raid0, 1,
                          false, false, vesk_rwh_policy{}, Guid::Empty(), Guid::Empty())),
      MEMBER(CreateVolume(controller, drives, L"A name far too long", vesk_strip_size{},
                          vesk_raid_level::Raid0, 1, false, false, vesk_rwh_policy{}, Guid::Empty(),
                          Guid::Empty())),
      MEMBER(DeleteVolume(controller, id)),
      MEMBER(ExpandVolume(controller, id, 1)),
      MEMBER(InitializeVolume(controller, id)),
      MEMBER(InitializeVolumeFromManagedGuid(controller, id)),
      MEMBER(MarkVolumeAsNormal(controller, id)),
      MEMBER(RebuildVolume(controller, id, drives)),
      MEMBER(RenameVolume(controller, id, L"Name")),
      MEMBER(ChangeRaidLayout(controller, id, vesk_strip_size{}, vesk_raid_level::Raid1, drives)),
      MEMBER(SetVolumeCachePolicy(controller, id, vesk_volume_cache_policy{})),
      MEMBER(SetVolumeCachePolicyFromManagedGuid(controller, id, vesk_volume_cache_policy{})),
      MEMBER(SetVolumeRaidWriteHolePolicy(controller, id, vesk_rwh_policy{}, id)),
      MEMBER(VerifyVolume(controller, id, true)),
      MEMBER(CancelVerifyVolume(controller, id)),
      MEMBER(SetControllerReadPatrolPolicy(controller, true)),
      MEMBER(SetControllerRohiPolicy(controller, true)),
  };
#undef MEMBER
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

using Log = std::vector<std::string>;

// Every collection change and every property change of the facade's objects, in the order they
// happened: "array+2" (added), "array-2" (removed), "array2.TotalSize" (changed).
class DiffTest : public ::testing::Test {
 protected:
  DiffTest() {
    Watch(facade.Controllers(), "controller");
    Watch(facade.Arrays(), "array");
    Watch(facade.Volumes(), "volume");
    Watch(facade.Drives(), "drive");
  }

  static std::string Number(std::uint16_t deviceId) { return std::to_string(deviceId); }
  static std::string Number(const Guid& id) { return std::to_string(id.group1); }

  template <typename Dictionary>
  void Watch(Dictionary& dictionary, std::string kind) {
    dictionary.CollectionChanged.Subscribe(
        [this, kind](const System::Object&, const typename Dictionary::ChangedArgs& e) {
          const std::string label = kind + Number(e.ChangedKey);
          if (e.Action == Action::Remove) {
            log.push_back(kind + "-" + Number(e.ChangedKey));
            return;
          }
          log.push_back(kind + "+" + Number(e.ChangedKey));
          (*e.NewValue)
              ->PropertyChanged.Subscribe(
                  [this, label](const System::Object&,
                                const System::ComponentModel::PropertyChangedEventArgs& p) {
                    log.push_back(label + "." + p.PropertyName);
                  });
        });
  }

  vesk::sim::Machine machine;
  StagedFacade facade;
  Log log;
};

TEST_F(DiffTest, KindsFollowEachOtherAndEachRemovesWhatIsGone) {
  facade.Stage(MakeController(1, 7));
  for (std::uint32_t id : {1, 2}) {
    facade.Stage(MakeArray(id));
    facade.Stage(MakeVolume(id));
    facade.Stage(MakeDrive(id));
  }
  facade.Refresh();
  EXPECT_EQ(log, (Log{"controller+7", "array+1", "array+2", "volume+1", "volume+2", "drive+1",
                      "drive+2"}));

  // One of each kind changes, the other goes.
  log.clear();
  auto controller = MakeController(1, 7);
  controller->policyFlags = 0x80;
  facade.Stage(std::move(controller));
  auto array = MakeArray(2);
  array.totalSize = 5;
  facade.Stage(array);
  auto volume = MakeVolume(1);
  volume.size = 5;
  facade.Stage(volume);
  auto drive = MakeDrive(2);
  drive.usage = static_cast<Vesk::vesk_drive_usage>(1);
  facade.Stage(drive);
  facade.Refresh();
  EXPECT_EQ(log, (Log{"controller7.RohiEnabled", "array-1", "array2.TotalSize", "volume1.Size",
                      "volume-2", "drive-1", "drive2.Usage"}));
  EXPECT_FALSE(facade.Arrays().ContainsKey(Guid(NativeGuid(1))));
  EXPECT_FALSE(facade.Volumes().ContainsKey(Guid(NativeGuid(2))));
  EXPECT_EQ(facade.GetInstance().GetArrays().size(), 1u);
  EXPECT_EQ(facade.GetInstance().GetVolumes().size(), 1u);

  log.clear();
  facade.Refresh();
  EXPECT_EQ(log, (Log{"controller-7", "array-2", "volume-1", "drive-2"}));
  EXPECT_EQ(facade.Arrays().Count() + facade.Volumes().Count(), 0u);
  EXPECT_TRUE(facade.GetInstance().GetArrays().empty());
  EXPECT_TRUE(facade.GetInstance().GetVolumes().empty());
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
