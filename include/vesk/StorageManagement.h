// StorageManagement: the native entry point of Vesk.
//
// One object per client, kept for the client's lifetime. It reads the storage topology from the
// RAID driver into native records (see vesk/Records.h) and carries out the management operations.
// Constructing it sends no request and opens no device; it only registers for storage-port
// interface notifications, which reach the client through SetPnpCallback.
//
// Failures travel as exceptions:
//   - VeskException: the driver ran a request and answered with a non-zero status; the message
//     ends in "IOCTL completed with error." and Status() is the driver's status;
//   - TaluException: a request could not be carried out ("... IOCTL was unsuccessful.", lock and
//     device failures), or an answer broke the library's limits;
//   - std::runtime_error: a driver speaks a management-specification version other than 1.0 to
//     4.0.
// Operations declared to return vesk_status return 0 when they return at all.
//
// Thread safety: retrieval and operations run on the caller's thread and take no lock; an object
// must not be used by several threads at once. The plug-and-play hook is called on threads of the
// library's own, concurrently with the caller's work. Requests to one controller are serialized
// across threads and processes by the device's named mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "vesk/Exceptions.h"
#include "vesk/NewVolumeParameters.h"
#include "vesk/Records.h"
#include "vesk/Types.h"

namespace Vesk {

class DeviceHandle;

class StorageManagement {
 public:
  // The state behind the facade; opaque to clients.
  class Implementation;

  using PnpCallback = void (*)();

  StorageManagement();
  virtual ~StorageManagement();
  StorageManagement(const StorageManagement&) = delete;
  StorageManagement& operator=(const StorageManagement&) = delete;

  // The client's hook for controller arrival and removal; called once per notification, on a
  // thread of the library's. Null switches it off. Set it once, right after construction. The
  // destructor waits for hooks in flight, so a hook must not wait for the thread that destroys
  // this object; a hook may destroy this object itself.
  virtual void SetPnpCallback(PnpCallback callback);

  // --- The library's own snapshot. References stay valid for the lifetime of this object; the
  // records they point to are owned by it.
  Controllers& GetControllers();
  ArrayMap& GetArrays();
  VolumeMap& GetVolumes();
  DriveMap& GetDrives();

  // --- Topology retrieval. Records go into the target under their identifier unless one with
  // that identifier is already there (that one is kept); callers empty a map with ClearMap before
  // refilling it. Records built before a failure are not inserted.

  // Discovers the controller devices and adds every controller to the library's own snapshot
  // (GetControllers), or to `target`. A controller that disappeared stays until the caller
  // empties the container. With no controller device the target is left as it was.
  void SetControllers();
  void SetControllers(Controllers& target);
  // The controller behind `device`, owned by the caller and entered in no container.
  std::unique_ptr<Controller> GetSingleController(const std::shared_ptr<DeviceHandle>& device,
                                                  vesk_guid controllerId);
  void SetArrays(const Controller& controller, ArrayMap& target);
  void SetVolumes(const Controller& controller, VolumeMap& target);
  // Falls back to reading the drives one at a time when the driver cannot answer for all of them
  // at once; drives that vanish meanwhile are left out.
  void SetDrives(const Controller& controller, DriveMap& target);

  // --- Management operations. Each sends one request to the controller's device; none changes
  // the records (refresh afterwards). `device` is the controller's device handle
  // (Controller::GetDeviceHandle().get()).
  vesk_status SetControllerReadPatrolPolicy(const DeviceHandle* device, bool enabled);
  vesk_status SetControllerRohiPolicy(const DeviceHandle* device, bool enabled);
  vesk_status SetArrayCachePolicy(const DeviceHandle* device, vesk_guid arrayId, bool enabled);
  vesk_status AddDrivesToArray(const DeviceHandle* device, vesk_guid arrayId,
                               const std::vector<vesk_guid>& driveIds);
  vesk_status CancelVerifyVolume(const DeviceHandle* device, vesk_guid volumeId);
  vesk_status ChangeRaidLayout(const DeviceHandle* device, vesk_guid volumeId,
                               vesk_strip_size stripSize, vesk_raid_level raidLevel,
                               const std::vector<vesk_guid>& driveIds);
  // Returns the status of the create request (0) and the identifier the driver gave the new
  // volume. On a specification-1.0 driver a set `initialize` bit is carried out by a separate
  // initialize request, whose outcome never turns the created volume into a failure.
  std::pair<vesk_status, vesk_guid> CreateVolume(const Controller& controller,
                                                 const vesk_new_volume_parameters& parameters,
                                                 const std::vector<vesk_guid>& driveIds);
  vesk_status DeleteVolume(const DeviceHandle* device, vesk_guid volumeId);
  vesk_status ExpandVolume(const DeviceHandle* device, vesk_guid volumeId, std::uint64_t newSize);
  vesk_status InitializeVolume(const DeviceHandle* device, vesk_guid volumeId);
  vesk_status MarkVolumeAsNormal(const DeviceHandle* device, vesk_guid volumeId);
  vesk_status RebuildVolume(const DeviceHandle* device, vesk_guid volumeId,
                            const std::vector<vesk_guid>& driveIds);
  // Sends at most the first 16 characters of the NUL-terminated `newName`.
  vesk_status RenameVolume(const DeviceHandle* device, vesk_guid volumeId, const char* newName);
  vesk_status SetVolumeCachePolicy(const DeviceHandle* device, vesk_guid volumeId,
                                   vesk_volume_cache_policy cachePolicy);
  // `journalingDriveId` is vesk_invalid_guid when the policy needs no journaling drive.
  vesk_status SetVolumeRaidWriteHolePolicy(const DeviceHandle* device, vesk_guid volumeId,
                                           vesk_rwh_policy rwhPolicy, vesk_guid journalingDriveId);
  vesk_status VerifyVolume(const DeviceHandle* device, vesk_guid volumeId, bool repair);
  // On a specification-1.0 driver the legacy request is sent and `enable` is not.
  vesk_status ActivateDriveLed(const Controller& controller, vesk_guid driveId, bool enable);
  vesk_status ClearDriveMetadata(const DeviceHandle* device, vesk_guid driveId);
  vesk_status DisableWriteCacheOnDrive(const DeviceHandle* device, vesk_guid driveId);
  vesk_status EnableWriteCacheOnDrive(const DeviceHandle* device, vesk_guid driveId);
  vesk_status MarkDriveAsNormal(const DeviceHandle* device, vesk_guid driveId);
  vesk_status MarkDriveAsSpare(const DeviceHandle* device, vesk_guid driveId);
  vesk_status RemoveDrive(const DeviceHandle* device, vesk_guid driveId);
  vesk_status ResetSmartEvent(const DeviceHandle* device, vesk_guid driveId);
  vesk_status SetWriteCacheOnDrive(const DeviceHandle* device, vesk_guid driveId, bool enabled);
  vesk_status UnmarkSpareDrive(const DeviceHandle* device, vesk_guid driveId);

  // The implementation, for the library's own use (device discovery, the managed face).
  Implementation& GetImplementation() { return *impl; }

 private:
  std::unique_ptr<Implementation> impl;
};

}  // namespace Vesk
