// The managed facade's diff, driven with hand-built native records staged in its working
// collections, and the translation of native failures.
#include <gtest/gtest.h>

#include <stdexcept>

#include "ManagedTestSupport.h"
#include "managed/Translation.h"
#include "simulator/Machine.h"
#include "vesk_managed/StorageManagementBase.h"

namespace VESK_Managed {
namespace {

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
  using StorageManagementBase::UpdatedControllers;
  using StorageManagementBase::UpdatedDrives;
  using StorageManagementBase::UpdatedVolumes;

  Vesk::DriveMap& CurrentDrives() { return GetInstance().GetDrives(); }
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

TEST_F(SynchronizationTest, AVolumeWhoseLevelHasNoNumberFailsTheRefreshButNotTheNextOne) {
  auto volume = MakeVolume(1);
  volume.raidLevel = static_cast<Vesk::vesk_raid_level>(6);
  facade.UpdatedVolumes()[volume.id] = new Vesk::Volume(volume);
  EXPECT_THROW(facade.SynchronizeStorageData(), System::NotSupportedException);
  facade.ClearUpdatesData();
  facade.UpdatedVolumes()[volume.id] = new Vesk::Volume(volume);
  EXPECT_NO_THROW(facade.Refresh());
  EXPECT_EQ(facade.Volumes().Count(), 0u);
}

TEST_F(SynchronizationTest, StagedRecordsLeftAtDisposalAreReleased) {
  StageDrives({1, 2});
  facade.Dispose();
  EXPECT_TRUE(facade.IsInvalid());
  EXPECT_THROW(facade.SetAllDrivesInfo(), System::Exception);
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
