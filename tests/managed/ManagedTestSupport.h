// Hand-built native records, a recorder of raised property names, a check of thrown exceptions,
// and population and refresh as a user interface runs them, for the managed tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "vesk/Records.h"
#include "vesk_managed/StorageManagementBase.h"
#include "vesk_managed/System.h"

namespace VESK_Managed::testing {

inline Vesk::vesk_guid NativeGuid(std::uint32_t group1, std::uint8_t last = 0) {
  Vesk::vesk_guid guid{};
  guid.group1 = group1;
  guid.group5[5] = last;
  return guid;
}

template <std::size_t N>
void SetText(char (&field)[N], const std::string& text) {
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), std::min(N, text.size()));
}

inline Vesk::Drive MakeDrive(std::uint32_t id,
                             Vesk::vesk_drive_type type = Vesk::VESK_DRIVE_SATA_DISK) {
  Vesk::Drive drive{};
  drive.id = NativeGuid(id);
  drive.type = type;
  drive.size = 1000;
  drive.totalSize = 512000;
  SetText(drive.serialNumber, "SN1");
  return drive;
}

inline Vesk::Volume MakeVolume(std::uint32_t id) {
  Vesk::Volume volume{};
  volume.id = NativeGuid(id);
  volume.raidLevel = Vesk::VESK_RAID_1;
  SetText(volume.name, "Volume");
  return volume;
}

inline Vesk::Array MakeArray(std::uint32_t id) {
  Vesk::Array array{};
  array.id = NativeGuid(id);
  SetText(array.name, "Array");
  return array;
}

inline std::unique_ptr<Vesk::Controller> MakeController(
    std::uint32_t id, std::uint16_t deviceId,
    Vesk::vesk_controller_type type = Vesk::VESK_CONTROLLER_SATA) {
  auto controller = std::make_unique<Vesk::Controller>();
  controller->id = NativeGuid(id);
  controller->deviceId = deviceId;
  controller->type = type;
  SetText(controller->name, "Controller");
  controller->raidLevelDescriptors[0].level = Vesk::VESK_RAID_1;
  return controller;
}

// Collects the names an object raises, in order, and the sender of each.
class Raised {
 public:
  explicit Raised(System::ComponentModel::INotifyPropertyChanged& source) : source(source) {
    token = source.PropertyChanged.Subscribe(
        [this](const System::Object& sender,
               const System::ComponentModel::PropertyChangedEventArgs& e) {
          names.push_back(e.PropertyName);
          senders.push_back(&sender);
        });
  }
  ~Raised() { source.PropertyChanged.Unsubscribe(token); }

  // The names raised so far, separated by spaces, so that a long expected order reads as text.
  std::string Joined() const {
    std::string text;
    for (const auto& name : names) text += (text.empty() ? "" : " ") + name;
    return text;
  }

  std::vector<std::string> names;
  std::vector<const System::Object*> senders;

 private:
  System::ComponentModel::INotifyPropertyChanged& source;
  System::Event<System::ComponentModel::PropertyChangedEventArgs>::Token token;
};

// Every collection change of a facade and every property change of its objects, present or
// added later, in the order they happened: "array+2" (added), "array-2" (removed),
// "array2.TotalSize" (changed); controllers by device identifier, the others by the first group of
// their identifier. With `throwing`, every handler throws after logging.
class ChangeLog {
 public:
  explicit ChangeLog(StorageManagementBase& facade) {
    Watch(facade.Controllers(), "controller");
    Watch(facade.Arrays(), "array");
    Watch(facade.Volumes(), "volume");
    Watch(facade.Drives(), "drive");
  }

  std::vector<std::string> entries;
  bool throwing = false;

 private:
  static std::string Number(std::uint16_t deviceId) { return std::to_string(deviceId); }
  static std::string Number(const Guid& id) { return std::to_string(id.group1); }

  template <typename Dictionary>
  void Watch(Dictionary& dictionary, const std::string& kind) {
    for (auto& [key, object] : dictionary.Snapshot()) Follow(*object, kind + Number(key));
    dictionary.CollectionChanged.Subscribe([this, kind](auto&, auto& e) {
      using Action = Components::NotifyCollectionChangedAction;
      if (e.Action == Action::Add) Follow(**e.NewValue, kind + Number(e.ChangedKey));
      Note(kind + (e.Action == Action::Add ? "+" : "-") + Number(e.ChangedKey));
    });
  }
  void Follow(System::ComponentModel::INotifyPropertyChanged& object, const std::string& label) {
    object.PropertyChanged.Subscribe(
        [this, label](auto&, auto& e) { Note(label + "." + e.PropertyName); });
  }
  void Note(const std::string& entry) {
    entries.push_back(entry);
    if (throwing) throw std::runtime_error("handler " + std::to_string(entries.size()));
  }
};

// Runs `call`, which must throw E with `message` and, for the exceptions that carry one, `code`. A
// NativeTaluException expected is a transport failure, never a driver status.
template <class E, class Call>
void ExpectThrows(Call&& call, std::string_view message, std::uint32_t code = 0) {
  try {
    call();
    ADD_FAILURE() << "no exception; expected \"" << message << "\"";
  } catch (const E& e) {
    EXPECT_EQ(std::string_view(e.what()), message);
    if constexpr (requires { e.ErrorCode(); }) {
      EXPECT_EQ(e.ErrorCode(), code) << message;
    }
    if constexpr (std::is_same_v<E, NativeTaluException>) {
      EXPECT_EQ(dynamic_cast<const NativeVeskException*>(&e), nullptr) << "a driver status";
    }
  }
}

// A facade whose working and current collections take hand-built native records of every kind.
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

// Population and a polling refresh as a user interface runs them: under the facade's semaphore, so
// that a notification-driven refresh does not run alongside.
inline void Populate(StorageManagementBase& facade) {
  facade.GetIoSemaphore().Wait();
  facade.SetAllControllersInfo();
  facade.SetAllArraysInfo();
  facade.SetAllVolumesInfo();
  facade.SetAllDrivesInfo();
  facade.GetIoSemaphore().Release();
}

// A polling refresh as a user interface runs it: a failure leaves the working collections empty
// and the semaphore free for the next one.
inline void PollingRefresh(StorageManagementBase& facade) {
  facade.GetIoSemaphore().Wait();
  try {
    facade.UpdateAllControllers();
    facade.UpdateAllArrays();
    facade.UpdateAllVolumes();
    facade.UpdateAllDrives();
    facade.SynchronizeStorageData();
  } catch (...) {
    facade.ClearUpdatesData();
    facade.GetIoSemaphore().Release();
    throw;
  }
  facade.ClearUpdatesData();
  facade.GetIoSemaphore().Release();
}

}  // namespace VESK_Managed::testing
