#include "vesk/StorageManagement.h"

#include "core/Implementation.h"

namespace Vesk {

StorageManagement::StorageManagement() : impl(std::make_unique<Implementation>()) {}

StorageManagement::~StorageManagement() = default;

void StorageManagement::SetPnpCallback(PnpCallback callback) { impl->pnpCallback = callback; }

Controllers& StorageManagement::GetControllers() { return impl->controllers; }
ArrayMap& StorageManagement::GetArrays() { return impl->arrays; }
VolumeMap& StorageManagement::GetVolumes() { return impl->volumes; }
DriveMap& StorageManagement::GetDrives() { return impl->drives; }

void StorageManagement::SetControllers() { impl->SetControllers(impl->controllers); }
void StorageManagement::SetControllers(Controllers& target) { impl->SetControllers(target); }

std::unique_ptr<Controller> StorageManagement::GetSingleController(
    const std::shared_ptr<DeviceHandle>& device, vesk_guid controllerId) {
  return impl->GetSingleController(device, controllerId);
}

void StorageManagement::SetArrays(const Controller& controller, ArrayMap& target) {
  impl->SetArrays(controller, target);
}
void StorageManagement::SetVolumes(const Controller& controller, VolumeMap& target) {
  impl->SetVolumes(controller, target);
}
void StorageManagement::SetDrives(const Controller& controller, DriveMap& target) {
  impl->SetDrives(controller, target);
}

vesk_status StorageManagement::SetControllerReadPatrolPolicy(const DeviceHandle* device,
                                                             bool enabled) {
  return impl->SetControllerReadPatrolPolicy(device, enabled);
}
vesk_status StorageManagement::SetControllerRohiPolicy(const DeviceHandle* device, bool enabled) {
  return impl->SetControllerRohiPolicy(device, enabled);
}
vesk_status StorageManagement::SetArrayCachePolicy(const DeviceHandle* device, vesk_guid arrayId,
                                                   bool enabled) {
  return impl->SetArrayCachePolicy(device, arrayId, enabled);
}
vesk_status StorageManagement::AddDrivesToArray(const DeviceHandle* device, vesk_guid arrayId,
                                                const std::vector<vesk_guid>& driveIds) {
  return impl->AddDrivesToArray(device, arrayId, driveIds);
}
vesk_status StorageManagement::CancelVerifyVolume(const DeviceHandle* device, vesk_guid volumeId) {
  return impl->CancelVerifyVolume(device, volumeId);
}
vesk_status StorageManagement::ChangeRaidLayout(const DeviceHandle* device, vesk_guid volumeId,
                                                vesk_strip_size stripSize,
                                                vesk_raid_level raidLevel,
                                                const std::vector<vesk_guid>& driveIds) {
  return impl->ChangeRaidLayout(device, volumeId, stripSize, raidLevel, driveIds);
}
std::pair<vesk_status, vesk_guid> StorageManagement::CreateVolume(
    const Controller& controller, const vesk_new_volume_parameters& parameters,
    const std::vector<vesk_guid>& driveIds) {
  return impl->CreateVolume(controller, parameters, driveIds);
}
vesk_status StorageManagement::DeleteVolume(const DeviceHandle* device, vesk_guid volumeId) {
  return impl->DeleteVolume(device, volumeId);
}
vesk_status StorageManagement::ExpandVolume(const DeviceHandle* device, vesk_guid volumeId,
                                            std::uint64_t newSize) {
  return impl->ExpandVolume(device, volumeId, newSize);
}
vesk_status StorageManagement::InitializeVolume(const DeviceHandle* device, vesk_guid volumeId) {
  return impl->InitializeVolume(device, volumeId);
}
vesk_status StorageManagement::MarkVolumeAsNormal(const DeviceHandle* device, vesk_guid volumeId) {
  return impl->MarkVolumeAsNormal(device, volumeId);
}
vesk_status StorageManagement::RebuildVolume(const DeviceHandle* device, vesk_guid volumeId,
                                             const std::vector<vesk_guid>& driveIds) {
  return impl->RebuildVolume(device, volumeId, driveIds);
}
vesk_status StorageManagement::RenameVolume(const DeviceHandle* device, vesk_guid volumeId,
                                            const char* newName) {
  return impl->RenameVolume(device, volumeId, newName);
}
vesk_status StorageManagement::SetVolumeCachePolicy(const DeviceHandle* device, vesk_guid volumeId,
                                                    vesk_volume_cache_policy cachePolicy) {
  return impl->SetVolumeCachePolicy(device, volumeId, cachePolicy);
}
vesk_status StorageManagement::SetVolumeRaidWriteHolePolicy(const DeviceHandle* device,
                                                            vesk_guid volumeId,
                                                            vesk_rwh_policy rwhPolicy,
                                                            vesk_guid journalingDriveId) {
  return impl->SetVolumeRaidWriteHolePolicy(device, volumeId, rwhPolicy, journalingDriveId);
}
vesk_status StorageManagement::VerifyVolume(const DeviceHandle* device, vesk_guid volumeId,
                                            bool repair) {
  return impl->VerifyVolume(device, volumeId, repair);
}
vesk_status StorageManagement::ActivateDriveLed(const Controller& controller, vesk_guid driveId,
                                                bool enable) {
  return impl->ActivateDriveLed(controller, driveId, enable);
}
vesk_status StorageManagement::ClearDriveMetadata(const DeviceHandle* device, vesk_guid driveId) {
  return impl->ClearDriveMetadata(device, driveId);
}
vesk_status StorageManagement::DisableWriteCacheOnDrive(const DeviceHandle* device,
                                                        vesk_guid driveId) {
  return impl->SetWriteCacheOnDrive(device, driveId, false);
}
vesk_status StorageManagement::EnableWriteCacheOnDrive(const DeviceHandle* device,
                                                       vesk_guid driveId) {
  return impl->SetWriteCacheOnDrive(device, driveId, true);
}
vesk_status StorageManagement::MarkDriveAsNormal(const DeviceHandle* device, vesk_guid driveId) {
  return impl->MarkDriveAsNormal(device, driveId);
}
vesk_status StorageManagement::MarkDriveAsSpare(const DeviceHandle* device, vesk_guid driveId) {
  return impl->MarkDriveAsSpare(device, driveId);
}
vesk_status StorageManagement::RemoveDrive(const DeviceHandle* device, vesk_guid driveId) {
  return impl->RemoveDrive(device, driveId);
}
vesk_status StorageManagement::ResetSmartEvent(const DeviceHandle* device, vesk_guid driveId) {
  return impl->ResetSmartEvent(device, driveId);
}
vesk_status StorageManagement::SetWriteCacheOnDrive(const DeviceHandle* device, vesk_guid driveId,
                                                    bool enabled) {
  return impl->SetWriteCacheOnDrive(device, driveId, enabled);
}
vesk_status StorageManagement::UnmarkSpareDrive(const DeviceHandle* device, vesk_guid driveId) {
  return impl->UnmarkSpareDrive(device, driveId);
}

}  // namespace Vesk
