// The managed controller with its SATA and Dorn variants, and the RAID-level capabilities it
// shows. Not synchronized (see Drive.h); the facade updates controllers on the notification
// thread as well as on the user interface's.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vesk/Records.h"
#include "vesk_managed/Guid.h"
#include "vesk_managed/Shared.h"
#include "vesk_managed/System.h"

namespace VESK_Managed {

class StorageManagementBase;

// One allowed change of RAID level; reads through to a native migration descriptor.
class MigrationDescriptor {
 public:
  MigrationDescriptor() = default;  // no native descriptor: the getters give 0
  explicit MigrationDescriptor(const Vesk::vesk_migration_descriptor& native) : native(&native) {}

  vesk_raid_level TargetRaidLevel() const;
  std::uint8_t MinAdditionalDriveCount() const;

 private:
  const Vesk::vesk_migration_descriptor* native = nullptr;
};

// What a controller supports for one RAID level; reads through to a native descriptor slot of
// a controller record, which must outlive it.
class RaidLevelDescriptor {
 public:
  RaidLevelDescriptor() = default;  // no native descriptor: the getters give 0, false, empty
  explicit RaidLevelDescriptor(const Vesk::RaidLevelDescriptor& native);

  vesk_raid_level Level() const;
  vesk_strip_size DefaultStripSize() const;
  std::uint16_t MinDrivesCount() const;
  std::uint16_t MaxDrivesCount() const;
  bool OddDriveCount() const;
  bool EvenDriveCount() const;
  // One entry per bit 1, 2, 4, ... 0x4000 of the supported mask, ascending; 0x8000 is not read.
  const std::vector<vesk_strip_size>& SupportedStripSizes() const { return supportedStripSizes; }
  const std::vector<MigrationDescriptor>& MigrationDescriptors() const {
    return migrationDescriptors;
  }

 private:
  const Vesk::RaidLevelDescriptor* native = nullptr;
  std::vector<vesk_strip_size> supportedStripSizes;
  std::vector<MigrationDescriptor> migrationDescriptors;
};

class Controller : public System::ComponentModel::INotifyPropertyChanged {
 public:
  ~Controller() override;

  const Guid& Id() const { return id; }
  const std::wstring& Name() const { return name; }
  std::uint16_t VendorId() const { return vendorId; }
  std::uint16_t DeviceId() const { return deviceId; }
  std::uint16_t SubsystemId() const { return subsystemId; }
  std::uint8_t HardwareRevision() const { return hardwareRevision; }
  bool PreosDriverLoaded() const { return preosDriverLoaded; }
  const System::Version& OsDriverVersion() const { return osDriverVersion; }
  const System::Version& PreosDriverVersion() const { return preosDriverVersion; }
  std::uint16_t MaxVolumesPerArray() const { return maxVolumesPerArray; }
  std::uint16_t MaxVolumesPerController() const { return maxVolumesPerController; }
  std::uint16_t MaxDrivesPerController() const { return maxDrivesPerController; }
  bool ReadPatrolEnabled() const { return readPatrolEnabled; }
  bool RohiEnabled() const { return rohiEnabled; }
  // One entry per non-empty descriptor slot. Should two slots name the same level, the first
  // slot is kept: the driver does not send such records, and one entry per level is what a
  // dictionary can hold.
  const std::map<vesk_raid_level, RaidLevelDescriptor>& RaidLevelDescriptors() const {
    return raidLevelDescriptors;
  }
  vesk_controller_type Type() const { return type; }

  virtual void Update(const Vesk::Controller& record);

  // Equal identifiers; false for null and for an object that is not a Controller.
  bool Equals(const Controller* other) const;
  bool Equals(const System::Object* obj) const;

 protected:
  explicit Controller(const Vesk::Controller& record);
  explicit Controller(const Guid& id);

 private:
  friend class StorageManagementBase;
  // The facade hands over the native record this object was built from when the record leaves
  // the native collections, so that the descriptors keep reading valid memory for as long as
  // this object lives. False (and nothing taken) for any other record.
  bool AdoptNativeRecord(Vesk::Controller* record);
  const Vesk::Controller* NativeRecord() const { return builtFrom; }

  Guid id;
  std::wstring name;
  std::uint16_t vendorId = 0;
  std::uint16_t deviceId = 0;
  std::uint16_t subsystemId = 0;
  std::uint8_t hardwareRevision = 0;
  bool preosDriverLoaded = false;
  System::Version osDriverVersion{0, 0, 0, 0};
  System::Version preosDriverVersion{0, 0, 0, 0};
  std::uint16_t maxVolumesPerArray = 0;
  std::uint16_t maxVolumesPerController = 0;
  std::uint16_t maxDrivesPerController = 0;
  bool readPatrolEnabled = false;
  bool rohiEnabled = false;
  std::map<vesk_raid_level, RaidLevelDescriptor> raidLevelDescriptors;
  vesk_controller_type type{};

  const Vesk::Controller* builtFrom = nullptr;
  std::unique_ptr<Vesk::Controller> adoptedRecord;
};

class SataController : public Controller {
 public:
  explicit SataController(const Vesk::Controller& record);
  explicit SataController(const Guid& id) : Controller(id) {}

  vesk_controller_mode Mode() const { return mode; }

 private:
  vesk_controller_mode mode{};
};

class DornController : public Controller {
 public:
  explicit DornController(const Vesk::Controller& record) : Controller(record) {}
  explicit DornController(const Guid& id) : Controller(id) {}
};

}  // namespace VESK_Managed
