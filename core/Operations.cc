// Management operations: one request each, through the synchronous driver operation table. The
// driver judges the arguments; a non-zero status comes back as VeskException with the
// operation's message.
#include <cstring>
#include <string_view>

#include "core/Implementation.h"
#include "vesk/Exceptions.h"

namespace Vesk {

namespace {

// The create answer carries the new volume's identifier over the start of the request payload.
constexpr std::size_t kCreatedVolumeIdOffset = 32;

// Operations take the handle as the records hand it out; requests need it mutable only to guard
// the device call against a concurrent removal.
DeviceHandle* Mutable(const DeviceHandle* device) { return const_cast<DeviceHandle*>(device); }

template <class Request>
vesk_status Check(const Request& request, std::string_view message) {
  if (request->Status() != VESK_STATUS_SUCCESS) throw VeskException(message, request->Status());
  return VESK_STATUS_SUCCESS;
}

}  // namespace

using Impl = StorageManagement::Implementation;

vesk_status Impl::SetControllerReadPatrolPolicy(const DeviceHandle* device, bool enabled) {
  RequestPtr<SetControllerReadPatrolPolicyIoctl<SynchronousIoctl>> request;
  communication.SetControllerReadPatrolPolicy(Mutable(device), enabled, request);
  return Check(request, "Unable to set read patrol policy. IOCTL completed with error.");
}

vesk_status Impl::SetControllerRohiPolicy(const DeviceHandle* device, bool enabled) {
  RequestPtr<SetControllerRohiPolicyIoctl<SynchronousIoctl>> request;
  communication.SetControllerRohiPolicy(Mutable(device), enabled, request);
  return Check(request, "Unable to set controller rohi policy. IOCTL completed with error.");
}

vesk_status Impl::SetArrayCachePolicy(const DeviceHandle* device, vesk_guid arrayId, bool enabled) {
  RequestPtr<SetArrayCachePolicyIoctl<SynchronousIoctl>> request;
  communication.SetArrayCachePolicy(Mutable(device), arrayId, enabled, request);
  return Check(request, "Unable to set array cache policy. IOCTL completed with error.");
}

vesk_status Impl::AddDrivesToArray(const DeviceHandle* device, vesk_guid arrayId,
                                   const std::vector<vesk_guid>& driveIds) {
  RequestPtr<AddDrivesToArrayIoctl<SynchronousIoctl>> request;
  communication.AddDrivesToArray(Mutable(device), arrayId, driveIds, request);
  return Check(request, "Unable to add drives to array. IOCTL completed with error.");
}

vesk_status Impl::CancelVerifyVolume(const DeviceHandle* device, vesk_guid volumeId) {
  RequestPtr<CancelVerifyVolumeIoctl<SynchronousIoctl>> request;
  communication.CancelVerifyVolume(Mutable(device), volumeId, request);
  return Check(request, "Unable to cancel verify volume. IOCTL completed with error.");
}

vesk_status Impl::ChangeRaidLayout(const DeviceHandle* device, vesk_guid volumeId,
                                   vesk_strip_size stripSize, vesk_raid_level raidLevel,
                                   const std::vector<vesk_guid>& driveIds) {
  RequestPtr<ChangeRaidLayoutIoctl<SynchronousIoctl>> request;
  communication.ChangeRaidLayout(Mutable(device), volumeId, stripSize, raidLevel, driveIds,
                                 request);
  return Check(request, "Unable to change RAID layout. IOCTL completed with error.");
}

std::pair<vesk_status, vesk_guid> Impl::CreateVolume(const Controller& controller,
                                                     const vesk_new_volume_parameters& parameters,
                                                     const std::vector<vesk_guid>& driveIds) {
  DeviceHandle* device = controller.GetDeviceHandle().get();
  RequestPtr<CreateVolumeIoctl<SynchronousIoctl>> request;
  communication.CreateVolume(device, parameters, driveIds, request);
  const vesk_status status = Check(request, "Unable to create volume. IOCTL completed with error.");
  vesk_guid volumeId;
  std::memcpy(&volumeId, request->Buffer() + kCreatedVolumeIdOffset, sizeof volumeId);

  // A 1.0 driver does not initialize on creation; it is asked separately, and the volume exists
  // whatever that answer is.
  if (parameters.Initialize() && controller.apiVersion == 0) {
    try {
      RequestPtr<InitializeVolumeIoctl<SynchronousIoctl>> initialize;
      communication.InitializeVolume(device, volumeId, initialize);
    } catch (...) {
    }
  }
  return {status, volumeId};
}

vesk_status Impl::DeleteVolume(const DeviceHandle* device, vesk_guid volumeId) {
  RequestPtr<DeleteVolumeIoctl<SynchronousIoctl>> request;
  communication.DeleteVolume(Mutable(device), volumeId, request);
  return Check(request, "Unable to delete volume. IOCTL completed with error.");
}

vesk_status Impl::ExpandVolume(const DeviceHandle* device, vesk_guid volumeId,
                               std::uint64_t newSize) {
  RequestPtr<ExpandVolumeIoctl<SynchronousIoctl>> request;
  communication.ExpandVolume(Mutable(device), volumeId, newSize, request);
  return Check(request, "Unable to expand volume. IOCTL completed with error.");
}

vesk_status Impl::InitializeVolume(const DeviceHandle* device, vesk_guid volumeId) {
  RequestPtr<InitializeVolumeIoctl<SynchronousIoctl>> request;
  communication.InitializeVolume(Mutable(device), volumeId, request);
  return Check(request, "Unable to initialize volume. IOCTL completed with error.");
}

vesk_status Impl::MarkVolumeAsNormal(const DeviceHandle* device, vesk_guid volumeId) {
  RequestPtr<MarkVolumeAsNormalIoctl<SynchronousIoctl>> request;
  communication.MarkVolumeAsNormal(Mutable(device), volumeId, request);
  return Check(request, "Unable to mark volume as normal. IOCTL completed with error.");
}

vesk_status Impl::RebuildVolume(const DeviceHandle* device, vesk_guid volumeId,
                                const std::vector<vesk_guid>& driveIds) {
  RequestPtr<RebuildVolumeIoctl<SynchronousIoctl>> request;
  communication.RebuildVolume(Mutable(device), volumeId, driveIds, request);
  return Check(request, "Unable to rebuild volume. IOCTL completed with error.");
}

vesk_status Impl::RenameVolume(const DeviceHandle* device, vesk_guid volumeId,
                               const char* newName) {
  // Only the first 16 characters fit; the name ends at its first NUL even when longer.
  const std::string_view name(newName ? newName : "", newName ? ::strnlen(newName, 16) : 0);
  RequestPtr<RenameVolumeIoctl<SynchronousIoctl>> request;
  communication.RenameVolume(Mutable(device), volumeId, name, request);
  return Check(request, "Unable to rename volume. IOCTL completed with error.");
}

vesk_status Impl::SetVolumeCachePolicy(const DeviceHandle* device, vesk_guid volumeId,
                                       vesk_volume_cache_policy cachePolicy) {
  RequestPtr<SetVolumeCachePolicyIoctl<SynchronousIoctl>> request;
  communication.SetVolumeCachePolicy(Mutable(device), volumeId, cachePolicy, request);
  return Check(request, "Unable to set volume cache policy. IOCTL completed with error.");
}

vesk_status Impl::SetVolumeRaidWriteHolePolicy(const DeviceHandle* device, vesk_guid volumeId,
                                               vesk_rwh_policy rwhPolicy,
                                               vesk_guid journalingDriveId) {
  RequestPtr<SetVolumeRaidWriteHolePolicyIoctl<SynchronousIoctl>> request;
  communication.SetVolumeRaidWriteHolePolicy(Mutable(device), volumeId, rwhPolicy,
                                             journalingDriveId, request);
  return Check(request, "Unable to set volume RWH policy. IOCTL completed with error.");
}

vesk_status Impl::VerifyVolume(const DeviceHandle* device, vesk_guid volumeId, bool repair) {
  RequestPtr<VerifyVolumeIoctl<SynchronousIoctl>> request;
  communication.VerifyVolume(Mutable(device), volumeId, repair, request);
  return Check(request, "Unable to verify volume. IOCTL completed with error.");
}

vesk_status Impl::ActivateDriveLed(const Controller& controller, vesk_guid driveId, bool enable) {
  constexpr std::string_view message = "Unable to activate drive LED. IOCTL completed with error.";
  DeviceHandle* device = controller.GetDeviceHandle().get();
  if (controller.apiVersion == 0) {
    // A 1.0 driver only knows "light it"; `enable` has no field to travel in.
    RequestPtr<ActivateDriveLedLegacyIoctl<SynchronousIoctl>> request;
    communication.ActivateDriveLedLegacy(device, driveId, request);
    return Check(request, message);
  }
  RequestPtr<ActivateDriveLedIoctl<SynchronousIoctl>> request;
  communication.ActivateDriveLed(device, driveId, enable, request);
  return Check(request, message);
}

vesk_status Impl::ClearDriveMetadata(const DeviceHandle* device, vesk_guid driveId) {
  RequestPtr<ClearDriveMetadataIoctl<SynchronousIoctl>> request;
  communication.ClearDriveMetadata(Mutable(device), driveId, request);
  return Check(request, "Unable to clear drive metadata. IOCTL completed with error.");
}

vesk_status Impl::MarkDriveAsNormal(const DeviceHandle* device, vesk_guid driveId) {
  RequestPtr<MarkDriveAsNormalIoctl<SynchronousIoctl>> request;
  communication.MarkDriveAsNormal(Mutable(device), driveId, request);
  return Check(request, "Unable to mark drive as normal. IOCTL completed with error.");
}

vesk_status Impl::MarkDriveAsSpare(const DeviceHandle* device, vesk_guid driveId) {
  RequestPtr<MarkDriveAsSpareIoctl<SynchronousIoctl>> request;
  communication.MarkDriveAsSpare(Mutable(device), driveId, request);
  return Check(request, "Unable to mark drive as spare. IOCTL completed with error.");
}

vesk_status Impl::RemoveDrive(const DeviceHandle* device, vesk_guid driveId) {
  RequestPtr<RemoveDriveIoctl<SynchronousIoctl>> request;
  communication.RemoveDrive(Mutable(device), driveId, request);
  return Check(request, "Unable to remove drive. IOCTL completed with error.");
}

vesk_status Impl::ResetSmartEvent(const DeviceHandle* device, vesk_guid driveId) {
  RequestPtr<ResetSmartEventIoctl<SynchronousIoctl>> request;
  communication.ResetSmartEvent(Mutable(device), driveId, request);
  return Check(request, "Unable to reset smart event. IOCTL completed with error.");
}

vesk_status Impl::SetWriteCacheOnDrive(const DeviceHandle* device, vesk_guid driveId,
                                       bool enabled) {
  RequestPtr<SetWriteCacheOnDriveIoctl<SynchronousIoctl>> request;
  communication.SetWriteCacheOnDrive(Mutable(device), driveId, enabled, request);
  return Check(request, "Unable to set write cache on drive. IOCTL completed with error.");
}

vesk_status Impl::UnmarkSpareDrive(const DeviceHandle* device, vesk_guid driveId) {
  RequestPtr<UnmarkSpareDriveIoctl<SynchronousIoctl>> request;
  communication.UnmarkSpareDrive(Mutable(device), driveId, request);
  return Check(request, "Unable to unmark spare drive. IOCTL completed with error.");
}

}  // namespace Vesk
