// StorageManagement::Implementation: the state behind the native facade and the code of every
// retrieval and management operation.
//
// It owns the library's own snapshot (controllers, arrays, volumes, drives), the plug-and-play
// listener for storage-port interface notifications, and the driver operation interfaces through
// which every request is sent. Not safe for concurrent use, except that the arrival and removal
// handlers run on the listener's threads and touch only the client's hook and the logger.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "device/DeviceHandle.h"
#include "device/Ioctl.h"
#include "device/PnpListener.h"
#include "protocol/IoCommunication.h"
#include "vesk/Records.h"
#include "vesk/StorageManagement.h"

namespace Vesk {

// API version index 0 to 3 for management specification 1.0 to 4.0. `specificationVersion` is
// the u32 of the executor information: low half major, high half minor. Both mappings accept
// only x.0 with x from 1 to 4 and throw std::runtime_error
// "Unsupported VESK specification version: <major>.<minor>!" otherwise.
//
// The record mapping selects how answers are read and is stored in the controller record.
std::uint32_t RecordApiVersion(std::uint32_t specificationVersion);
// The request mapping is used only for the controller-information request of a full refresh,
// where a 3.0 driver is asked in the 2.0 layout.
std::uint32_t RequestApiVersion(std::uint32_t specificationVersion);

class StorageManagement::Implementation {
 public:
  // Registers for storage-port interface notifications; sends no request.
  Implementation();
  // Waits for arrival and removal handlers in flight, then frees the snapshot's records. Run by a
  // client's hook on a handler's worker, it waits for the other handlers only.
  ~Implementation();
  Implementation(const Implementation&) = delete;
  Implementation& operator=(const Implementation&) = delete;

  // The controller identifiers the driver reports through `device`, in answer order.
  std::vector<vesk_guid> GetControllerIdentifiers(const DeviceHandle& device);

  // Retrieval (core/Retrieval.cc).
  void SetControllers(Controllers& target);
  std::unique_ptr<Controller> GetSingleController(const std::shared_ptr<DeviceHandle>& device,
                                                  vesk_guid controllerId);
  void SetArrays(const Controller& controller, ArrayMap& target);
  void SetVolumes(const Controller& controller, VolumeMap& target);
  void SetDrives(const Controller& controller, DriveMap& target);

  // Management operations (core/Operations.cc).
  vesk_status SetControllerReadPatrolPolicy(const DeviceHandle* device, bool enabled);
  vesk_status SetControllerRohiPolicy(const DeviceHandle* device, bool enabled);
  vesk_status SetArrayCachePolicy(const DeviceHandle* device, vesk_guid arrayId, bool enabled);
  vesk_status AddDrivesToArray(const DeviceHandle* device, vesk_guid arrayId,
                               const std::vector<vesk_guid>& driveIds);
  vesk_status CancelVerifyVolume(const DeviceHandle* device, vesk_guid volumeId);
  vesk_status ChangeRaidLayout(const DeviceHandle* device, vesk_guid volumeId,
                               vesk_strip_size stripSize, vesk_raid_level raidLevel,
                               const std::vector<vesk_guid>& driveIds);
  std::pair<vesk_status, vesk_guid> CreateVolume(const Controller& controller,
                                                 const vesk_new_volume_parameters& parameters,
                                                 const std::vector<vesk_guid>& driveIds);
  vesk_status DeleteVolume(const DeviceHandle* device, vesk_guid volumeId);
  vesk_status ExpandVolume(const DeviceHandle* device, vesk_guid volumeId, std::uint64_t newSize);
  vesk_status InitializeVolume(const DeviceHandle* device, vesk_guid volumeId);
  vesk_status MarkVolumeAsNormal(const DeviceHandle* device, vesk_guid volumeId);
  vesk_status RebuildVolume(const DeviceHandle* device, vesk_guid volumeId,
                            const std::vector<vesk_guid>& driveIds);
  vesk_status RenameVolume(const DeviceHandle* device, vesk_guid volumeId, const char* newName);
  vesk_status SetVolumeCachePolicy(const DeviceHandle* device, vesk_guid volumeId,
                                   vesk_volume_cache_policy cachePolicy);
  vesk_status SetVolumeRaidWriteHolePolicy(const DeviceHandle* device, vesk_guid volumeId,
                                           vesk_rwh_policy rwhPolicy, vesk_guid journalingDriveId);
  vesk_status VerifyVolume(const DeviceHandle* device, vesk_guid volumeId, bool repair);
  vesk_status ActivateDriveLed(const Controller& controller, vesk_guid driveId, bool enable);
  vesk_status ClearDriveMetadata(const DeviceHandle* device, vesk_guid driveId);
  vesk_status MarkDriveAsNormal(const DeviceHandle* device, vesk_guid driveId);
  vesk_status MarkDriveAsSpare(const DeviceHandle* device, vesk_guid driveId);
  vesk_status RemoveDrive(const DeviceHandle* device, vesk_guid driveId);
  vesk_status ResetSmartEvent(const DeviceHandle* device, vesk_guid driveId);
  vesk_status SetWriteCacheOnDrive(const DeviceHandle* device, vesk_guid driveId, bool enabled);
  vesk_status UnmarkSpareDrive(const DeviceHandle* device, vesk_guid driveId);

  Controllers controllers;
  ArrayMap arrays;
  VolumeMap volumes;
  DriveMap drives;
  PnpListener pnpListener;
  // Stored by the client's thread, read by the handlers' threads.
  std::atomic<PnpCallback> pnpCallback{nullptr};
  IoCommunication<SynchronousIoctl> communication;
  IoCommunication<AsynchronousIoctl> asyncCommunication;

 private:
  void OnPnpEvent(const char* message);
  void ReadCapabilities(Controller& controller);
};

}  // namespace Vesk
