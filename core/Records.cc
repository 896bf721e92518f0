#include "vesk/Records.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "core/RecordBuilders.h"
#include "device/DeviceHandle.h"

namespace Vesk {

Controller::Controller() {
  std::memset(static_cast<ControllerInformation*>(this), 0, sizeof(ControllerInformation));
  for (auto& descriptor : raidLevelDescriptors) {
    std::memset(static_cast<RaidLevelDescriptorHeader*>(&descriptor), 0,
                sizeof(RaidLevelDescriptorHeader));
  }
}

Controller::~Controller() = default;

std::uint16_t Controller::DeviceNumber() const {
  return deviceHandle && deviceHandle->device ? deviceHandle->device->id : 0;
}

Controllers::Controllers() = default;

Controllers::~Controllers() = default;

void Controllers::clear() {
  byId.clear();
  byDeviceId.clear();
}

namespace {

void TakeDriver(Controller& kept, const Controller& fresh) {
  std::memcpy(kept.executorInformation, fresh.executorInformation, sizeof kept.executorInformation);
  kept.apiVersion = fresh.apiVersion;
  kept.maxDrivesPerArray = fresh.maxDrivesPerArray;
  for (std::size_t i = 0; i < kMaxRaidLevelDescriptors; ++i) {
    RaidLevelDescriptor& slot = kept.raidLevelDescriptors[i];
    const RaidLevelDescriptor& from = fresh.raidLevelDescriptors[i];
    static_cast<RaidLevelDescriptorHeader&>(slot) = from;
    // In place: storage that holds the new migrations stays where readers found it.
    slot.migrationDescriptors.assign(from.migrationDescriptors.begin(),
                                     from.migrationDescriptors.end());
  }
}

}  // namespace

void Controllers::AddController(std::unique_ptr<Controller> record) {
  auto [at, inserted] = byId.emplace(record->id, record.get());
  Controller* kept = at->second;
  if (!inserted) {
    // The known record stays so that pointers to it survive a refresh; the information block is
    // fresh, and so is the device: the one it had may be gone (unplugged and plugged back), and
    // keeping it would also keep one open device per refresh. A device found again may also
    // come under another driver (an update reloads the device), whose layout and capabilities
    // every later request must follow.
    kept->Information() = record->Information();
    kept->deviceHandle = std::move(record->deviceHandle);
    TakeDriver(*kept, *record);
  } else {
    record.release();
  }
  // Index the record that lives on, never one that is about to be destroyed.
  byDeviceId.emplace(kept->deviceId, kept);
}

std::unique_ptr<Controller> BuildController(const ControllerInformation& entry,
                                            std::shared_ptr<DeviceHandle> device) {
  auto controller = std::make_unique<Controller>();
  controller->Information() = entry;
  controller->deviceHandle = std::move(device);
  return controller;
}

void SetRaidLevelDescriptors(Controller& controller, std::span<const RaidLevelDescriptor> levels) {
  if (levels.size() > kMaxRaidLevelDescriptors) {
    throw std::length_error("more RAID-level descriptors than a controller record holds");
  }
  std::uint16_t maxDrives = 0;
  for (std::size_t i = 0; i < kMaxRaidLevelDescriptors; ++i) {
    RaidLevelDescriptor& slot = controller.raidLevelDescriptors[i];
    if (i < levels.size()) {
      slot = levels[i];
      const std::uint16_t count = slot.maxDrivesCount;  // packed: never bind a reference
      maxDrives = std::max(maxDrives, count);
    } else {
      slot = RaidLevelDescriptor{};
      std::memset(static_cast<RaidLevelDescriptorHeader*>(&slot), 0,
                  sizeof(RaidLevelDescriptorHeader));
    }
  }
  controller.maxDrivesPerArray = maxDrives;
}

std::unique_ptr<Array> BuildArray(const ArrayInformation& entry, const vesk_guid& controllerId) {
  auto array = std::make_unique<Array>();
  static_cast<ArrayInformation&>(*array) = entry;
  array->controllerId = controllerId;
  return array;
}

std::unique_ptr<Volume> BuildVolume(const VolumeInformation& entry, const vesk_guid& controllerId) {
  auto volume = std::make_unique<Volume>();
  static_cast<VolumeInformation&>(*volume) = entry;
  volume->controllerId = controllerId;
  return volume;
}

std::unique_ptr<Drive> BuildDrive(const DriveInformation& entry, const vesk_guid& controllerId,
                                  std::uint8_t host, std::uint8_t position) {
  auto drive = std::make_unique<Drive>();
  static_cast<DriveInformation&>(*drive) = entry;
  drive->controllerId = controllerId;
  drive->totalSize = drive->size * drive->logicalBlockSize;
  const bool nvme = drive->type == VESK_DRIVE_NVME;
  drive->scsiAddress = Scsi{host, nvme ? std::uint8_t{0} : drive->portNumber(),
                            nvme ? position : std::uint8_t{0}, 0};
  return drive;
}

}  // namespace Vesk
