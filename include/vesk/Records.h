// The native topology records: one per controller, array, volume and drive, keyed by vesk_guid.
//
// The first block of each record is byte-packed and follows the driver's current (4.0)
// information layout field for field, so a current answer entry is copied in whole and older
// entries are widened into it before the record is built. Bit fields are read and written through
// accessors; their bytes are carried unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "vesk/Types.h"

namespace Vesk {

class DeviceHandle;

namespace detail {
constexpr bool Bit(std::uint8_t byte, int bit) { return (byte >> bit) & 1u; }
constexpr std::uint8_t WithBit(std::uint8_t byte, int bit, bool value) {
  return static_cast<std::uint8_t>(value ? (byte | (1u << bit)) : (byte & ~(1u << bit)));
}
}  // namespace detail

#pragma pack(push, 1)

struct vesk_migration_descriptor {
  vesk_raid_level targetRaidLevel;
  std::uint8_t minAdditionalDriveCount;
  bool operator==(const vesk_migration_descriptor&) const = default;
};
static_assert(sizeof(vesk_migration_descriptor) == 2);

struct Scsi {
  std::uint8_t host;
  std::uint8_t bus;
  std::uint8_t target;
  std::uint8_t lun;
  std::uint8_t GetHost() const { return host; }
  std::uint8_t GetBus() const { return bus; }
  std::uint8_t GetTarget() const { return target; }
  std::uint8_t GetLun() const { return lun; }
  bool operator==(const Scsi&) const = default;
};
static_assert(sizeof(Scsi) == 4);

// The 403-byte controller-information block (fields 1 to 16 of a Controller).
struct ControllerInformation {
  vesk_guid id;
  char name[256];
  std::uint16_t vendorId;
  std::uint16_t deviceId;
  std::uint16_t subsystemId;
  std::uint8_t hardwareRevision;
  std::uint8_t driverFlags;
  vesk_version_quad osDriverVersion;
  vesk_version_quad preosDriverVersion;
  std::uint16_t maxVolumesPerArray;
  std::uint16_t maxVolumesPerController;
  std::uint16_t maxDrivesPerController;
  std::uint8_t policyFlags;
  vesk_controller_type type;
  std::uint8_t modeByte;
  std::uint8_t rest[98];

  bool preosDriverLoaded() const { return detail::Bit(driverFlags, 7); }
  bool readPatrolEnabled() const { return detail::Bit(policyFlags, 6); }
  bool rohiEnabled() const { return detail::Bit(policyFlags, 7); }
  // Meaningful for SATA controllers only.
  vesk_controller_mode mode() const { return static_cast<vesk_controller_mode>(modeByte >> 5); }
};
static_assert(sizeof(ControllerInformation) == 403);
static_assert(offsetof(ControllerInformation, name) == 16);
static_assert(offsetof(ControllerInformation, vendorId) == 272);
static_assert(offsetof(ControllerInformation, deviceId) == 274);
static_assert(offsetof(ControllerInformation, subsystemId) == 276);
static_assert(offsetof(ControllerInformation, hardwareRevision) == 278);
static_assert(offsetof(ControllerInformation, driverFlags) == 279);
static_assert(offsetof(ControllerInformation, osDriverVersion) == 280);
static_assert(offsetof(ControllerInformation, preosDriverVersion) == 288);
static_assert(offsetof(ControllerInformation, maxVolumesPerArray) == 296);
static_assert(offsetof(ControllerInformation, maxVolumesPerController) == 298);
static_assert(offsetof(ControllerInformation, maxDrivesPerController) == 300);
static_assert(offsetof(ControllerInformation, policyFlags) == 302);
static_assert(offsetof(ControllerInformation, type) == 303);
static_assert(offsetof(ControllerInformation, modeByte) == 304);
static_assert(offsetof(ControllerInformation, rest) == 305);

// The 53-byte array-information entry.
struct ArrayInformation {
  vesk_guid id;
  char name[20];
  std::uint64_t totalSize;
  std::uint64_t freeSize;
  std::uint8_t arrayFlags;
  bool writeCacheEnabled() const { return detail::Bit(arrayFlags, 7); }
};
static_assert(sizeof(ArrayInformation) == 53);
static_assert(offsetof(ArrayInformation, name) == 16);
static_assert(offsetof(ArrayInformation, totalSize) == 36);
static_assert(offsetof(ArrayInformation, freeSize) == 44);
static_assert(offsetof(ArrayInformation, arrayFlags) == 52);

// The 98-byte volume-information entry.
struct VolumeInformation {
  vesk_guid id;
  vesk_guid arrayId;
  std::uint8_t arrayOrdinal;
  char name[16];
  vesk_volume_state state;
  vesk_raid_level raidLevel;
  std::uint64_t size;
  vesk_strip_size stripSize;
  std::uint8_t numberOfDrives;
  std::uint16_t migrationProgress;
  std::uint8_t volumeFlags;
  std::uint32_t verifyErrors;
  std::uint32_t verifyBadBlocks;
  std::uint32_t logicalBlockSize;
  std::uint8_t policies;
  vesk_guid journalingDriveId;
  std::uint8_t trailing[4];

  bool systemVolume() const { return detail::Bit(volumeFlags, 5); }
  bool migrating() const { return detail::Bit(volumeFlags, 6); }
  bool initialized() const { return detail::Bit(volumeFlags, 7); }
  vesk_rwh_policy rwhPolicy() const { return static_cast<vesk_rwh_policy>(policies & 0x0F); }
  vesk_volume_cache_policy cachePolicy() const {
    return static_cast<vesk_volume_cache_policy>(policies >> 4);
  }
};
static_assert(sizeof(VolumeInformation) == 98);
static_assert(offsetof(VolumeInformation, arrayId) == 16);
static_assert(offsetof(VolumeInformation, arrayOrdinal) == 32);
static_assert(offsetof(VolumeInformation, name) == 33);
static_assert(offsetof(VolumeInformation, state) == 49);
static_assert(offsetof(VolumeInformation, raidLevel) == 50);
static_assert(offsetof(VolumeInformation, size) == 51);
static_assert(offsetof(VolumeInformation, stripSize) == 59);
static_assert(offsetof(VolumeInformation, numberOfDrives) == 61);
static_assert(offsetof(VolumeInformation, migrationProgress) == 62);
static_assert(offsetof(VolumeInformation, volumeFlags) == 64);
static_assert(offsetof(VolumeInformation, verifyErrors) == 65);
static_assert(offsetof(VolumeInformation, verifyBadBlocks) == 69);
static_assert(offsetof(VolumeInformation, logicalBlockSize) == 73);
static_assert(offsetof(VolumeInformation, policies) == 77);
static_assert(offsetof(VolumeInformation, journalingDriveId) == 78);
static_assert(offsetof(VolumeInformation, trailing) == 94);

// The 258-byte drive-information block of the current layout.
struct DriveInformation {
  vesk_guid id;
  vesk_guid arrayId;
  std::uint8_t reserved1[16];
  char serialNumber[20];
  char modelNumber[40];
  char firmwareRevision[8];
  std::uint64_t size;  // logical blocks
  std::uint32_t logicalBlockSize;
  std::uint32_t physicalBlockSize;
  vesk_drive_status status;
  vesk_drive_usage usage;
  std::uint8_t driveFlags;
  std::uint8_t volumeLocation0;
  std::uint8_t volumeLocation1;
  vesk_drive_type type;
  std::uint8_t connection[49];  // by type: see the connection accessors
  char serviceLabel[30];
  std::uint8_t reserved2[22];
  vesk_encryption_ability encryptionAbility;
  vesk_encryption_status encryptionStatus;
  std::uint8_t reserved3[17];

  bool containsPartition() const { return detail::Bit(driveFlags, 2); }
  bool ledActive() const { return detail::Bit(driveFlags, 3); }
  bool writeCacheEnabled() const { return detail::Bit(driveFlags, 4); }
  bool preBootVisible() const { return detail::Bit(driveFlags, 5); }
  bool activateLedSupport() const { return detail::Bit(driveFlags, 6); }
  bool systemDrive() const { return detail::Bit(driveFlags, 7); }

  // SATA connection (types 0 and 1).
  std::uint8_t portNumber() const { return connection[0]; }
  vesk_ata_negotiated_link_rate ataNegotiatedLinkRate() const {
    return static_cast<vesk_ata_negotiated_link_rate>(connection[1] & 0x3F);
  }
  bool isSsd() const { return detail::Bit(connection[1], 6); }
  bool ncqSupport() const { return detail::Bit(connection[1], 7); }

  // NVMe connection (type 3).
  std::uint16_t vendorId() const { return U16(0); }
  bool sbrAttached() const { return detail::Bit(connection[2], 5); }
  vesk_dual_controller_order dualControllerOrder() const {
    return static_cast<vesk_dual_controller_order>(detail::Bit(connection[2], 6));
  }
  bool dualControllerNvme() const { return detail::Bit(connection[2], 7); }
  std::uint16_t socketNumber() const { return U16(11); }
  std::uint16_t dornControllerNumber() const { return U16(13); }
  std::uint16_t rootPortOffset() const { return U16(15); }
  std::uint64_t physicalSlotNumber() const {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | connection[17 + i];
    return value;
  }
  vesk_pci_link_rate pciNegotiatedLinkRate() const {
    return static_cast<vesk_pci_link_rate>(connection[25]);
  }
  std::uint8_t negotiatedLinkWidth() const { return connection[26]; }

 private:
  std::uint16_t U16(int at) const {
    return static_cast<std::uint16_t>(connection[at] | (connection[at + 1] << 8));
  }
};
static_assert(sizeof(DriveInformation) == 258);
static_assert(offsetof(DriveInformation, arrayId) == 16);
static_assert(offsetof(DriveInformation, serialNumber) == 48);
static_assert(offsetof(DriveInformation, modelNumber) == 68);
static_assert(offsetof(DriveInformation, firmwareRevision) == 108);
static_assert(offsetof(DriveInformation, size) == 116);
static_assert(offsetof(DriveInformation, logicalBlockSize) == 124);
static_assert(offsetof(DriveInformation, physicalBlockSize) == 128);
static_assert(offsetof(DriveInformation, status) == 132);
static_assert(offsetof(DriveInformation, usage) == 133);
static_assert(offsetof(DriveInformation, driveFlags) == 134);
static_assert(offsetof(DriveInformation, volumeLocation0) == 135);
static_assert(offsetof(DriveInformation, volumeLocation1) == 136);
static_assert(offsetof(DriveInformation, type) == 137);
static_assert(offsetof(DriveInformation, connection) == 138);
static_assert(offsetof(DriveInformation, serviceLabel) == 187);
static_assert(offsetof(DriveInformation, reserved2) == 217);
static_assert(offsetof(DriveInformation, encryptionAbility) == 239);
static_assert(offsetof(DriveInformation, encryptionStatus) == 240);
static_assert(offsetof(DriveInformation, reserved3) == 241);

// The library's fields follow the packed entry directly (the sizes below pin that down).
struct Array : ArrayInformation {
  vesk_guid controllerId;
};
static_assert(sizeof(Array) == 69);

struct Volume : VolumeInformation {
  vesk_guid controllerId;
};
static_assert(sizeof(Volume) == 114);

struct Drive : DriveInformation {
  vesk_guid controllerId;
  Scsi scsiAddress;
  std::uint64_t totalSize;  // size * logicalBlockSize, bytes
};
static_assert(sizeof(Drive) == 286);

// The fixed part of a RAID-level descriptor as the driver sends it.
struct RaidLevelDescriptorHeader {
  vesk_raid_level level;  // 0 marks an empty slot
  std::uint16_t minDrivesCount;
  std::uint16_t maxDrivesCount;
  std::uint8_t driveCountFlags;
  vesk_strip_size defaultStripSize;
  std::uint16_t supportedStripSizes;  // bit k: strip-size code 2^k supported

  bool oddDriveCount() const { return detail::Bit(driveCountFlags, 6); }
  bool evenDriveCount() const { return detail::Bit(driveCountFlags, 7); }
};
static_assert(sizeof(RaidLevelDescriptorHeader) == 10);
static_assert(offsetof(RaidLevelDescriptorHeader, minDrivesCount) == 1);
static_assert(offsetof(RaidLevelDescriptorHeader, maxDrivesCount) == 3);
static_assert(offsetof(RaidLevelDescriptorHeader, driveCountFlags) == 5);
static_assert(offsetof(RaidLevelDescriptorHeader, defaultStripSize) == 6);
static_assert(offsetof(RaidLevelDescriptorHeader, supportedStripSizes) == 8);

#pragma pack(pop)

struct RaidLevelDescriptor : RaidLevelDescriptorHeader {
  std::uint8_t reserved[54] = {};
  std::vector<vesk_migration_descriptor> migrationDescriptors;
};

// A controller record holds this many RAID-level descriptors.
constexpr std::size_t kMaxRaidLevelDescriptors = 5;

// One RAID controller: the controller-information block and the library's own fields.
struct Controller : ControllerInformation {
  Controller();  // zero-filled, apiVersion 3
  ~Controller();
  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;

  std::shared_ptr<DeviceHandle>& GetDeviceHandle() { return deviceHandle; }
  const std::shared_ptr<DeviceHandle>& GetDeviceHandle() const { return deviceHandle; }

  ControllerInformation& Information() { return *this; }
  const ControllerInformation& Information() const { return *this; }

  // The number discovery gave the controller's device: controllers are listed in its order.
  // 0 when the record has no device.
  std::uint16_t DeviceNumber() const;

  std::shared_ptr<DeviceHandle> deviceHandle;
  std::uint8_t executorInformation[40] = {};
  std::uint16_t maxDrivesPerArray = 0;
  RaidLevelDescriptor raidLevelDescriptors[kMaxRaidLevelDescriptors];
  std::uint32_t apiVersion = 3;
};

// Maps of records own the records they point to; their holder frees them with ClearMap.
using ControllerMap = std::map<vesk_guid, Controller*>;
using ArrayMap = std::map<vesk_guid, Array*>;
using VolumeMap = std::map<vesk_guid, Volume*>;
using DriveMap = std::map<vesk_guid, Drive*>;

// The controller snapshot, indexed by identifier and by PCI device identifier. It does not delete
// its records: whoever fills it frees them with ClearMap(GetControllersById()) before clear().
class Controllers {
 public:
  Controllers();
  ~Controllers();
  Controllers(const Controllers&) = delete;
  Controllers& operator=(const Controllers&) = delete;

  ControllerMap& GetControllersById() { return byId; }
  const ControllerMap& GetControllersById() const { return byId; }
  std::map<std::uint16_t, Controller*>& GetControllersByDeviceId() { return byDeviceId; }
  const std::map<std::uint16_t, Controller*>& GetControllersByDeviceId() const {
    return byDeviceId;
  }
  // Empties both indexes; the records are not deleted.
  void clear();

  // Takes ownership of `record`. A controller whose identifier is already present keeps its
  // record (so pointers to it stay valid across refreshes): the new information block is copied
  // into it, it takes the device `record` was read through (a controller found again may sit on
  // a new device) and what `record` says of that device's driver (executorInformation,
  // apiVersion, maxDrivesPerArray, raidLevelDescriptors: the driver may have been updated), and
  // `record` is destroyed. The descriptor slots stay where they are, and so does the storage of
  // a slot's migrationDescriptors unless the new driver states more of them than it can hold.
  // The device the kept record had is released; a call that still uses it holds its own share.
  void AddController(std::unique_ptr<Controller> record);

 private:
  ControllerMap byId;
  std::map<std::uint16_t, Controller*> byDeviceId;
};

// Deletes every record each map points to, then empties it, in the order given.
template <typename... Maps>
void ClearMap(Maps&... maps) {
  auto clearOne = [](auto& map) {
    for (auto& [id, record] : map) delete record;
    map.clear();
  };
  (clearOne(maps), ...);
}

}  // namespace Vesk
