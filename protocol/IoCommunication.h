// The driver operation table over an executor E: SynchronousIoctl for every request the library
// makes, AsynchronousIoctl offered alongside with the same requests. See CommunicationInterface.
#pragma once

#include "device/Ioctl.h"
#include "protocol/CommunicationInterface.h"

namespace Vesk {

template <class E>
class IoCommunication final : public CommunicationInterface<E> {
 public:
  void GetControllerInfo(DeviceHandle* handle, const vesk_guid& id, vesk_scope_type scope,
                         std::uint32_t length, std::uint32_t apiVersion,
                         RequestPtr<GetControllerInfoIoctl<E>>& request) override;
  void GetControllerCapabilities(DeviceHandle* handle, const vesk_guid& controllerId,
                                 RequestPtr<GetControllerCapabilitiesIoctl<E>>& request) override;
  void GetControllerCapabilitiesLegacy(
      DeviceHandle* handle, const vesk_guid& controllerId,
      RequestPtr<GetControllerCapabilitiesLegacyIoctl<E>>& request) override;
  void SetControllerReadPatrolPolicy(
      DeviceHandle* controllerHandle, bool enable,
      RequestPtr<SetControllerReadPatrolPolicyIoctl<E>>& request) override;
  void SetControllerRohiPolicy(DeviceHandle* controllerHandle, bool enable,
                               RequestPtr<SetControllerRohiPolicyIoctl<E>>& request) override;
  void GetExecutorInformation(DeviceHandle* handle,
                              RequestPtr<GetExecutorInformationIoctl<E>>& request) override;
  void SetControllerRate(DeviceHandle* controllerHandle, std::uint32_t rate,
                         RequestPtr<SetControllerRateIoctl<E>>& request) override;
  void GetArrayInfo(DeviceHandle* handle, std::uint32_t length,
                    RequestPtr<GetArrayInfoIoctl<E>>& request) override;
  void GetArrayInfo(DeviceHandle* handle, const vesk_guid& id, vesk_scope_type scope,
                    std::uint32_t length, RequestPtr<GetArrayInfoIoctl<E>>& request) override;
  void GetSingleArrayInfo(DeviceHandle* handle, const vesk_guid& arrayId,
                          RequestPtr<GetSingleArrayInfoIoctl<E>>& request) override;
  void SetArrayCachePolicy(DeviceHandle* handle, const vesk_guid& arrayId, bool enable,
                           RequestPtr<SetArrayCachePolicyIoctl<E>>& request) override;
  void GetVolumeInfo(DeviceHandle* handle, std::uint32_t length,
                     RequestPtr<GetVolumeInfoIoctl<E>>& request) override;
  void GetVolumeInfo(DeviceHandle* handle, const vesk_guid& id, vesk_scope_type scope,
                     std::uint32_t length, std::uint32_t apiVersion,
                     RequestPtr<GetVolumeInfoIoctl<E>>& request) override;
  void GetSingleVolumeInfo(DeviceHandle* handle, const vesk_guid& volumeId,
                           RequestPtr<GetSingleVolumeInfoIoctl<E>>& request) override;
  void AddDrivesToArray(DeviceHandle* handle, const vesk_guid& arrayId,
                        const std::vector<vesk_guid>& driveIds,
                        RequestPtr<AddDrivesToArrayIoctl<E>>& request) override;
  void CancelVerifyVolume(DeviceHandle* handle, const vesk_guid& volumeId,
                          RequestPtr<CancelVerifyVolumeIoctl<E>>& request) override;
  void ChangeRaidLayout(DeviceHandle* handle, const vesk_guid& volumeId, vesk_strip_size stripSize,
                        vesk_raid_level raidLevel, const std::vector<vesk_guid>& driveIds,
                        RequestPtr<ChangeRaidLayoutIoctl<E>>& request) override;
  void CreateVolume(DeviceHandle* handle, const vesk_new_volume_parameters& parameters,
                    const std::vector<vesk_guid>& driveIds,
                    RequestPtr<CreateVolumeIoctl<E>>& request) override;
  void DeleteVolume(DeviceHandle* handle, const vesk_guid& volumeId,
                    RequestPtr<DeleteVolumeIoctl<E>>& request) override;
  void ExpandVolume(DeviceHandle* handle, const vesk_guid& volumeId, std::uint64_t newSize,
                    RequestPtr<ExpandVolumeIoctl<E>>& request) override;
  void InitializeVolume(DeviceHandle* handle, const vesk_guid& volumeId,
                        RequestPtr<InitializeVolumeIoctl<E>>& request) override;
  void MarkVolumeAsNormal(DeviceHandle* handle, const vesk_guid& volumeId,
                          RequestPtr<MarkVolumeAsNormalIoctl<E>>& request) override;
  void RebuildVolume(DeviceHandle* handle, const vesk_guid& volumeId,
                     const std::vector<vesk_guid>& driveIds,
                     RequestPtr<RebuildVolumeIoctl<E>>& request) override;
  void RenameVolume(DeviceHandle* handle, const vesk_guid& volumeId, std::string_view newName,
                    RequestPtr<RenameVolumeIoctl<E>>& request) override;
  void SetVolumeCachePolicy(DeviceHandle* handle, const vesk_guid& volumeId,
                            vesk_volume_cache_policy policy,
                            RequestPtr<SetVolumeCachePolicyIoctl<E>>& request) override;
  void SetVolumeRaidWriteHolePolicy(
      DeviceHandle* handle, const vesk_guid& volumeId, vesk_rwh_policy policy,
      const vesk_guid& journalingDriveId,
      RequestPtr<SetVolumeRaidWriteHolePolicyIoctl<E>>& request) override;
  void VerifyVolume(DeviceHandle* handle, const vesk_guid& volumeId, bool repair,
                    RequestPtr<VerifyVolumeIoctl<E>>& request) override;
  void GetDriveInfo(DeviceHandle* handle, const vesk_guid& id, vesk_scope_type scope,
                    std::uint32_t length, std::uint32_t apiVersion,
                    RequestPtr<GetDriveInfoIoctl<E>>& request) override;
  void ActivateDriveLed(DeviceHandle* handle, const vesk_guid& driveId, bool enable,
                        RequestPtr<ActivateDriveLedIoctl<E>>& request) override;
  void ActivateDriveLedLegacy(DeviceHandle* handle, const vesk_guid& driveId,
                              RequestPtr<ActivateDriveLedLegacyIoctl<E>>& request) override;
  void ClearDriveMetadata(DeviceHandle* handle, const vesk_guid& driveId,
                          RequestPtr<ClearDriveMetadataIoctl<E>>& request) override;
  void MarkDriveAsNormal(DeviceHandle* handle, const vesk_guid& driveId,
                         RequestPtr<MarkDriveAsNormalIoctl<E>>& request) override;
  void MarkDriveAsSpare(DeviceHandle* handle, const vesk_guid& driveId,
                        RequestPtr<MarkDriveAsSpareIoctl<E>>& request) override;
  void RemoveDrive(DeviceHandle* handle, const vesk_guid& driveId,
                   RequestPtr<RemoveDriveIoctl<E>>& request) override;
  void ResetSmartEvent(DeviceHandle* handle, const vesk_guid& driveId,
                       RequestPtr<ResetSmartEventIoctl<E>>& request) override;
  void SetWriteCacheOnDrive(DeviceHandle* handle, const vesk_guid& driveId, bool enable,
                            RequestPtr<SetWriteCacheOnDriveIoctl<E>>& request) override;
  void UnmarkSpareDrive(DeviceHandle* handle, const vesk_guid& driveId,
                        RequestPtr<UnmarkSpareDriveIoctl<E>>& request) override;
  void SanitizeDriveLegacy(DeviceHandle* handle, const vesk_guid& driveId, std::uint8_t action,
                           RequestPtr<SanitizeDriveLegacyIoctl<E>>& request) override;
  void SanitizeDrive(DeviceHandle* handle, const vesk_guid& driveId, std::uint8_t action,
                     bool optionA, bool optionB, std::uint8_t optionC, bool optionD,
                     std::uint32_t optionValue,
                     RequestPtr<SanitizeDriveIoctl<E>>& request) override;
  void GetDriveIdentifiers(DeviceHandle* handle, const vesk_guid& id, vesk_scope_type scope,
                           std::uint32_t length,
                           RequestPtr<GetDriveIdentifiersIoctl<E>>& request) override;
  void GetVolumeIdentifiers(DeviceHandle* handle, const vesk_guid& id, vesk_scope_type scope,
                            std::uint32_t length,
                            RequestPtr<GetVolumeIdentifiersIoctl<E>>& request) override;
  void GetArrayIdentifiers(DeviceHandle* handle, const vesk_guid& id, vesk_scope_type scope,
                           std::uint32_t length,
                           RequestPtr<GetArrayIdentifiersIoctl<E>>& request) override;
  void GetControllerIdentifiers(DeviceHandle* handle, const vesk_guid& id, vesk_scope_type scope,
                                std::uint32_t length,
                                RequestPtr<GetControllerIdentifiersIoctl<E>>& request) override;
  void CreateEventSubscription(DeviceHandle* handle, const vesk_guid& id, std::uint8_t value,
                               const std::vector<std::uint8_t>& entries,
                               RequestPtr<CreateEventSubscriptionIoctl<E>>& request) override;
  void CancelEventSubscription(DeviceHandle* handle,
                               const _vesk_event_subscription_id& subscriptionId,
                               RequestPtr<CancelEventSubscriptionIoctl<E>>& request) override;
  void GetEvents(DeviceHandle* handle, const _vesk_event_subscription_id& subscriptionId,
                 std::uint32_t value, RequestPtr<GetEventsIoctl<E>>& request) override;
  void PerformAction(DeviceHandle* handle, std::uint32_t action,
                     RequestPtr<OOB::PerformActionIoctl<E>>& request) override;
  void SendData(DeviceHandle* handle, const OOB::SendDataIoctlPayload& data,
                RequestPtr<OOB::SendDataIoctl<E>>& request) override;
  void ReceiveData(DeviceHandle* handle, RequestPtr<OOB::ReceiveDataIoctl<E>>& request) override;
};

extern template class IoCommunication<SynchronousIoctl>;
extern template class IoCommunication<AsynchronousIoctl>;

}  // namespace Vesk
