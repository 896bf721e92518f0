// The facade's diff across the four kinds: controllers, then arrays, volumes and drives, each
// adding, updating in place and removing its own elements.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ManagedTestSupport.h"
#include "simulator/Machine.h"

namespace VESK_Managed {
namespace {

using testing::MakeArray;
using testing::MakeController;
using testing::MakeDrive;
using testing::MakeVolume;
using Action = Components::NotifyCollectionChangedAction;
using Log = std::vector<std::string>;

// A facade whose working collections take hand-built records of every kind.
class StagedFacade : public StorageManagementBase {
 public:
  void Stage(std::unique_ptr<Vesk::Controller> record) {
    const auto id = record->id;
    UpdatedControllers().GetControllersById()[id] = record.release();
  }
  void Stage(const Vesk::Array& record) { UpdatedArrays()[record.id] = new Vesk::Array(record); }
  void Stage(const Vesk::Volume& record) { UpdatedVolumes()[record.id] = new Vesk::Volume(record); }
  void Stage(const Vesk::Drive& record) { UpdatedDrives()[record.id] = new Vesk::Drive(record); }
  void Refresh() {
    SynchronizeStorageData();
    ClearUpdatesData();
  }
};

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
  EXPECT_FALSE(facade.Arrays().ContainsKey(Guid(testing::NativeGuid(1))));
  EXPECT_FALSE(facade.Volumes().ContainsKey(Guid(testing::NativeGuid(2))));
  EXPECT_EQ(facade.GetInstance().GetArrays().size(), 1u);
  EXPECT_EQ(facade.GetInstance().GetVolumes().size(), 1u);

  log.clear();
  facade.Refresh();
  EXPECT_EQ(log, (Log{"controller-7", "array-2", "volume-1", "drive-2"}));
  EXPECT_EQ(facade.Arrays().Count() + facade.Volumes().Count(), 0u);
  EXPECT_TRUE(facade.GetInstance().GetArrays().empty());
  EXPECT_TRUE(facade.GetInstance().GetVolumes().empty());
}

}  // namespace
}  // namespace VESK_Managed
