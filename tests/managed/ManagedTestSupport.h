// Hand-built native records and a recorder of raised property names for the managed tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "vesk/Records.h"
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
  drive.logicalBlockSize = 512;
  drive.totalSize = 512000;
  SetText(drive.serialNumber, "SN1");
  SetText(drive.firmwareRevision, "FW1");
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
  return controller;
}

// Collects the names an object raises, in order.
class Raised {
 public:
  explicit Raised(System::ComponentModel::INotifyPropertyChanged& source) : source(source) {
    token = source.PropertyChanged.Subscribe(
        [this](const System::Object&, const System::ComponentModel::PropertyChangedEventArgs& e) {
          names.push_back(e.PropertyName);
        });
  }
  ~Raised() { source.PropertyChanged.Unsubscribe(token); }

  std::vector<std::string> names;

 private:
  System::ComponentModel::INotifyPropertyChanged& source;
  System::Event<System::ComponentModel::PropertyChangedEventArgs>::Token token;
};

}  // namespace VESK_Managed::testing
