// The driver operation table: one operation per driver request, each building its request,
// running it on the controller device and handing it back through its last argument.
//
// Every operation first empties `request`. A request whose device call failed (or whose return
// code is not a status) is destroyed and reported as TaluException with the operation's message;
// a non-zero driver status is not an error here: the caller reads Status() from the request.
// Lock failures of the executor propagate unchanged, the request destroyed on the way.
//
// On the asynchronous executor an operation returns as soon as the call has started: the caller
// waits (WaitForCompletion, or Result) before it reads the answer or the status, and no
// transport failure is reported.
//
// Implementations are stateless and may be called from any thread.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "device/DeviceHandle.h"
#include "protocol/Requests.h"
#include "vesk/NewVolumeParameters.h"
#include "vesk/Types.h"

namespace Vesk {

template <class E>
class CommunicationInterface {
 public:
  virtual ~CommunicationInterface() = default;

  // Answers are read from the returned request; `length` sizes the buffer for the expected answer.
  virtual void GetControllerInfo(DeviceHandle* handle, const vesk_guid& id, vesk_scope_type scope,
                                 std::uint32_t length, std::uint32_t apiVersion,
                                 RequestPtr<GetControllerInfoIoctl<E>>& request) = 0;
  virtual void GetControllerCapabilities(
      DeviceHandle* handle, const vesk_guid& controllerId,
      RequestPtr<GetControllerCapabilitiesIoctl<E>>& request) = 0;
  virtual void GetControllerCapabilitiesLegacy(
      DeviceHandle* handle, const vesk_guid& controllerId,
      RequestPtr<GetControllerCapabilitiesLegacyIoctl<E>>& request) = 0;
  // The controller identifier comes from the handle; a null handle is refused.
  virtual void SetControllerReadPatrolPolicy(
      DeviceHandle* controllerHandle, bool enable,
      RequestPtr<SetControllerReadPatrolPolicyIoctl<E>>& request) = 0;
  virtual void SetControllerRohiPolicy(DeviceHandle* controllerHandle, bool enable,
                                       RequestPtr<SetControllerRohiPolicyIoctl<E>>& request) = 0;
  virtual void GetExecutorInformation(DeviceHandle* handle,
                                      RequestPtr<GetExecutorInformationIoctl<E>>& request) = 0;
  virtual void SetControllerRate(DeviceHandle* controllerHandle, std::uint32_t rate,
                                 RequestPtr<SetControllerRateIoctl<E>>& request) = 0;
  // Every array the driver reports (no scope).
  virtual void GetArrayInfo(DeviceHandle* handle, std::uint32_t length,
                            RequestPtr<GetArrayInfoIoctl<E>>& request) = 0;
  virtual void GetArrayInfo(DeviceHandle* handle, const vesk_guid& id, vesk_scope_type scope,
                            std::uint32_t length, RequestPtr<GetArrayInfoIoctl<E>>& request) = 0;
  virtual void GetSingleArrayInfo(DeviceHandle* handle, const vesk_guid& arrayId,
                                  RequestPtr<GetSingleArrayInfoIoctl<E>>& request) = 0;
  virtual void SetArrayCachePolicy(DeviceHandle* handle, const vesk_guid& arrayId, bool enable,
                                   RequestPtr<SetArrayCachePolicyIoctl<E>>& request) = 0;
  // Every volume the driver reports (no scope), in the current layout.
  virtual void GetVolumeInfo(DeviceHandle* handle, std::uint32_t length,
                             RequestPtr<GetVolumeInfoIoctl<E>>& request) = 0;
  virtual void GetVolumeInfo(DeviceHandle* handle, const vesk_guid& id, vesk_scope_type scope,
                             std::uint32_t length, std::uint32_t apiVersion,
                             RequestPtr<GetVolumeInfoIoctl<E>>& request) = 0;
  virtual void GetSingleVolumeInfo(DeviceHandle* handle, const vesk_guid& volumeId,
                                   RequestPtr<GetSingleVolumeInfoIoctl<E>>& request) = 0;
  // Lists longer than a u16 count can carry are refused.
  virtual void AddDrivesToArray(DeviceHandle* handle, const vesk_guid& arrayId,
                                const std::vector<vesk_guid>& driveIds,
                                RequestPtr<AddDrivesToArrayIoctl<E>>& request) = 0;
  virtual void CancelVerifyVolume(DeviceHandle* handle, const vesk_guid& volumeId,
                                  RequestPtr<CancelVerifyVolumeIoctl<E>>& request) = 0;
  virtual void ChangeRaidLayout(DeviceHandle* handle, const vesk_guid& volumeId,
                                vesk_strip_size stripSize, vesk_raid_level raidLevel,
                                const std::vector<vesk_guid>& driveIds,
                                RequestPtr<ChangeRaidLayoutIoctl<E>>& request) = 0;
  // The driver answers with the new volume's identifier.
  virtual void CreateVolume(DeviceHandle* handle, const vesk_new_volume_parameters& parameters,
                            const std::vector<vesk_guid>& driveIds,
                            RequestPtr<CreateVolumeIoctl<E>>& request) = 0;
  virtual void DeleteVolume(DeviceHandle* handle, const vesk_guid& volumeId,
                            RequestPtr<DeleteVolumeIoctl<E>>& request) = 0;
  virtual void ExpandVolume(DeviceHandle* handle, const vesk_guid& volumeId, std::uint64_t newSize,
                            RequestPtr<ExpandVolumeIoctl<E>>& request) = 0;
  virtual void InitializeVolume(DeviceHandle* handle, const vesk_guid& volumeId,
                                RequestPtr<InitializeVolumeIoctl<E>>& request) = 0;
  virtual void MarkVolumeAsNormal(DeviceHandle* handle, const vesk_guid& volumeId,
                                  RequestPtr<MarkVolumeAsNormalIoctl<E>>& request) = 0;
  virtual void RebuildVolume(DeviceHandle* handle, const vesk_guid& volumeId,
                             const std::vector<vesk_guid>& driveIds,
                             RequestPtr<RebuildVolumeIoctl<E>>& request) = 0;
  // At most the first 16 characters of `newName` are sent, zero-padded.
  virtual void RenameVolume(DeviceHandle* handle, const vesk_guid& volumeId,
                            std::string_view newName,
                            RequestPtr<RenameVolumeIoctl<E>>& request) = 0;
  virtual void SetVolumeCachePolicy(DeviceHandle* handle, const vesk_guid& volumeId,
                                    vesk_volume_cache_policy policy,
                                    RequestPtr<SetVolumeCachePolicyIoctl<E>>& request) = 0;
  virtual void SetVolumeRaidWriteHolePolicy(
      DeviceHandle* handle, const vesk_guid& volumeId, vesk_rwh_policy policy,
      const vesk_guid& journalingDriveId,
      RequestPtr<SetVolumeRaidWriteHolePolicyIoctl<E>>& request) = 0;
  virtual void VerifyVolume(DeviceHandle* handle, const vesk_guid& volumeId, bool repair,
                            RequestPtr<VerifyVolumeIoctl<E>>& request) = 0;
  virtual void GetDriveInfo(DeviceHandle* handle, const vesk_guid& id, vesk_scope_type scope,
                            std::uint32_t length, std::uint32_t apiVersion,
                            RequestPtr<GetDriveInfoIoctl<E>>& request) = 0;
  virtual void ActivateDriveLed(DeviceHandle* handle, const vesk_guid& driveId, bool enable,
                                RequestPtr<ActivateDriveLedIoctl<E>>& request) = 0;
  // For management specification 1.0: the LED cannot be switched off by request.
  virtual void ActivateDriveLedLegacy(DeviceHandle* handle, const vesk_guid& driveId,
                                      RequestPtr<ActivateDriveLedLegacyIoctl<E>>& request) = 0;
  virtual void ClearDriveMetadata(DeviceHandle* handle, const vesk_guid& driveId,
                                  RequestPtr<ClearDriveMetadataIoctl<E>>& request) = 0;
  virtual void MarkDriveAsNormal(DeviceHandle* handle, const vesk_guid& driveId,
                                 RequestPtr<MarkDriveAsNormalIoctl<E>>& request) = 0;
  virtual void MarkDriveAsSpare(DeviceHandle* handle, const vesk_guid& driveId,
                                RequestPtr<MarkDriveAsSpareIoctl<E>>& request) = 0;
  virtual void RemoveDrive(DeviceHandle* handle, const vesk_guid& driveId,
                           RequestPtr<RemoveDriveIoctl<E>>& request) = 0;
  virtual void ResetSmartEvent(DeviceHandle* handle, const vesk_guid& driveId,
                               RequestPtr<ResetSmartEventIoctl<E>>& request) = 0;
  virtual void SetWriteCacheOnDrive(DeviceHandle* handle, const vesk_guid& driveId, bool enable,
                                    RequestPtr<SetWriteCacheOnDriveIoctl<E>>& request) = 0;
  virtual void UnmarkSpareDrive(DeviceHandle* handle, const vesk_guid& driveId,
                                RequestPtr<UnmarkSpareDriveIoctl<E>>& request) = 0;
  // Action values wider than the wire's bit fields are cut to them (3 bits; option C 4 bits).
  virtual void SanitizeDriveLegacy(DeviceHandle* handle, const vesk_guid& driveId,
                                   std::uint8_t action,
                                   RequestPtr<SanitizeDriveLegacyIoctl<E>>& request) = 0;
  virtual void SanitizeDrive(DeviceHandle* handle, const vesk_guid& driveId, std::uint8_t action,
                             bool optionA, bool optionB, std::uint8_t optionC, bool optionD,
                             std::uint32_t optionValue,
                             RequestPtr<SanitizeDriveIoctl<E>>& request) = 0;
  virtual void GetDriveIdentifiers(DeviceHandle* handle, const vesk_guid& id, vesk_scope_type scope,
                                   std::uint32_t length,
                                   RequestPtr<GetDriveIdentifiersIoctl<E>>& request) = 0;
  virtual void GetVolumeIdentifiers(DeviceHandle* handle, const vesk_guid& id,
                                    vesk_scope_type scope, std::uint32_t length,
                                    RequestPtr<GetVolumeIdentifiersIoctl<E>>& request) = 0;
  virtual void GetArrayIdentifiers(DeviceHandle* handle, const vesk_guid& id, vesk_scope_type scope,
                                   std::uint32_t length,
                                   RequestPtr<GetArrayIdentifiersIoctl<E>>& request) = 0;
  // An answer with no identifier is refused (on the synchronous executor, where it is known).
  virtual void GetControllerIdentifiers(DeviceHandle* handle, const vesk_guid& id,
                                        vesk_scope_type scope, std::uint32_t length,
                                        RequestPtr<GetControllerIdentifiersIoctl<E>>& request) = 0;
  // At most 255 entries: the count is one byte.
  virtual void CreateEventSubscription(DeviceHandle* handle, const vesk_guid& id,
                                       std::uint8_t value, const std::vector<std::uint8_t>& entries,
                                       RequestPtr<CreateEventSubscriptionIoctl<E>>& request) = 0;
  virtual void CancelEventSubscription(DeviceHandle* handle,
                                       const _vesk_event_subscription_id& subscriptionId,
                                       RequestPtr<CancelEventSubscriptionIoctl<E>>& request) = 0;
  virtual void GetEvents(DeviceHandle* handle, const _vesk_event_subscription_id& subscriptionId,
                         std::uint32_t value, RequestPtr<GetEventsIoctl<E>>& request) = 0;
  virtual void PerformAction(DeviceHandle* handle, std::uint32_t action,
                             RequestPtr<OOB::PerformActionIoctl<E>>& request) = 0;
  virtual void SendData(DeviceHandle* handle, const OOB::SendDataIoctlPayload& data,
                        RequestPtr<OOB::SendDataIoctl<E>>& request) = 0;
  // The received block is at offsets 28-95 of the returned request's buffer.
  virtual void ReceiveData(DeviceHandle* handle, RequestPtr<OOB::ReceiveDataIoctl<E>>& request) = 0;
};

}  // namespace Vesk
