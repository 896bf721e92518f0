#include "protocol/IoCommunication.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "platform/win32.h"
#include "vesk/Exceptions.h"

namespace Vesk {
namespace {

// Transport failure messages, one per operation.
constexpr std::string_view kControllerInfoFailed =
    "Unable to retrieve controller information. IOCTL was unsuccessful.";
constexpr std::string_view kCapabilitiesFailed =
    "Unable to retrieve controller capabilities. IOCTL was unsuccessful.";
constexpr std::string_view kReadPatrolFailed =
    "Unable to set read patrol policy. IOCTL was unsuccessful.";
constexpr std::string_view kRohiFailed =
    "Unable to set controller rohi policy. IOCTL was unsuccessful.";
constexpr std::string_view kExecutorInformationFailed =
    "Unable to retrieve executor information. IOCTL was unsuccessful.";
constexpr std::string_view kControllerRateFailed =
    "Unable to set controller rate. IOCTL was unsuccessful.";
constexpr std::string_view kArrayInfoFailed =
    "Unable to retrieve array information. IOCTL was unsuccessful.";
constexpr std::string_view kSingleArrayInfoFailed =
    "Unable to retrieve single array information. IOCTL was unsuccessful.";
constexpr std::string_view kArrayCachePolicyFailed =
    "Unable to set array cache policy. IOCTL was unsuccessful.";
constexpr std::string_view kVolumeInfoFailed =
    "Unable to retrieve volume information. IOCTL was unsuccessful.";
constexpr std::string_view kSingleVolumeInfoFailed =
    "Unable to retrieve single volume information. IOCTL was unsuccessful.";
constexpr std::string_view kAddDrivesFailed =
    "Unable to add drives to array. IOCTL was unsuccessful.";
constexpr std::string_view kCancelVerifyFailed =
    "Unable to cancel volume verification. IOCTL was unsuccessful.";
constexpr std::string_view kChangeRaidLayoutFailed =
    "Unable to change RAID layout. IOCTL was unsuccessful.";
constexpr std::string_view kCreateVolumeFailed = "Unable to create volume. IOCTL was unsuccessful.";
constexpr std::string_view kDeleteVolumeFailed = "Unable to delete volume. IOCTL was unsuccessful.";
constexpr std::string_view kExpandVolumeFailed = "Unable to expand volume. IOCTL was unsuccessful.";
constexpr std::string_view kInitializeVolumeFailed =
    "Unable to initialize volume. IOCTL was unsuccessful.";
constexpr std::string_view kMarkVolumeAsNormalFailed =
    "Unable to mark volume as normal. IOCTL was unsuccessful.";
constexpr std::string_view kRebuildVolumeFailed =
    "Unable to rebuild volume. IOCTL was unsuccessful.";
constexpr std::string_view kRenameVolumeFailed = "Unable to rename volume. IOCTL was unsuccessful.";
constexpr std::string_view kVolumeCachePolicyFailed =
    "Unable to set volume cache policy. IOCTL was unsuccessful.";
constexpr std::string_view kRwhPolicyFailed =
    "Unable to set volume RWH policy. IOCTL was unsuccessful.";
constexpr std::string_view kVerifyVolumeFailed = "Unable to verify volume. IOCTL was unsuccessful.";
constexpr std::string_view kDriveInfoFailed =
    "Unable to retrieve drive information. IOCTL was unsuccessful.";
constexpr std::string_view kDriveLedFailed =
    "Unable to activate drive LED. IOCTL was unsuccessful.";
constexpr std::string_view kClearMetadataFailed =
    "Unable to clear drive metadata. IOCTL was unsuccessful.";
constexpr std::string_view kMarkDriveAsNormalFailed =
    "Unable to mark drive as normal. IOCTL was unsuccessful.";
constexpr std::string_view kMarkAsSpareFailed =
    "Unable to mark drive as spare. IOCTL was unsuccessful.";
constexpr std::string_view kRemoveDriveFailed = "Unable to remove drive. IOCTL was unsuccessful.";
constexpr std::string_view kResetSmartEventFailed =
    "Unable to reset SMART event from drive. IOCTL was unsuccessful.";
constexpr std::string_view kWriteCacheFailed =
    "Unable to set write cache on drive. IOCTL was unsuccessful.";
constexpr std::string_view kUnmarkSpareFailed =
    "Unable to unmark spare drive. IOCTL was unsuccessful.";
constexpr std::string_view kSanitizeFailed = "Unable to sanitize drive. IOCTL was unsuccessful.";
constexpr std::string_view kDriveIdentifiersFailed =
    "Unable to retrieve drive identifiers. IOCTL was unsuccessful.";
constexpr std::string_view kVolumeIdentifiersFailed =
    "Unable to retrieve volume identifiers. IOCTL was unsuccessful.";
constexpr std::string_view kArrayIdentifiersFailed =
    "Unable to retrieve array identifiers. IOCTL was unsuccessful.";
constexpr std::string_view kControllerIdentifiersFailed =
    "Unable to retrieve controller identifiers. IOCTL was unsuccessful.";
constexpr std::string_view kZeroControllerIdentifiers =
    "Zero controller identifiers count retrieved. Expected at least one.";
constexpr std::string_view kCreateSubscriptionFailed =
    "Unable to create event subscription. IOCTL was unsuccessful.";
constexpr std::string_view kCancelSubscriptionFailed =
    "Unable to cancel event subscription. IOCTL was unsuccessful.";
constexpr std::string_view kGetEventsFailed = "Unable to get events. IOCTL was unsuccessful.";
constexpr std::string_view kPerformActionFailed =
    "Unable to perform an action. IOCTL was unsuccessful.";
constexpr std::string_view kSendDataFailed = "Unable to send data. IOCTL was unsuccessful.";
constexpr std::string_view kReceiveDataFailed = "Unable to receive data. IOCTL was unsuccessful.";

constexpr std::size_t kMaxListedDrives = 0xFFFF;  // the drive count travels as a u16

// Arguments that would make a request the library cannot express (a count that does not fit its
// field, a buffer shorter than its record) are refused before anything is sent.
[[noreturn]] void RefuseArgument(std::string_view failure) {
  throw TaluException(failure, ERROR_INVALID_PARAMETER);
}

// The steps every operation shares: allocate the request zeroed with API version 3, let `fill`
// write the payload, hand the request to the caller, run it. A failed run destroys it and throws
// the operation's message with the error of the device call.
template <class Request, class Fill>
void Run(RequestPtr<Request>& request, DeviceHandle* handle, std::uint32_t length,
         std::string_view failure, Fill&& fill) {
  request.reset();
  if (length < sizeof(typename Request::Ioctl)) {
    RefuseArgument(failure);
  }
  RequestPtr<Request> built(new Request(handle, length));
  fill(*built);
  request = std::move(built);
  int result;
  try {
    result = request->Invoke();
  } catch (...) {
    request.reset();
    throw;
  }
  if (!result) {
    const DWORD error = ::GetLastError();
    request.reset();
    throw TaluException(failure, error);
  }
}

template <class Request>
void Run(RequestPtr<Request>& request, DeviceHandle* handle, std::string_view failure) {
  Run(request, handle, sizeof(typename Request::Ioctl), failure, [](Request&) {});
}

template <class Request>
auto& Record(Request& request) {
  return request.Request()->record;
}

template <class Request>
void FillScope(Request& request, const vesk_guid& id, vesk_scope_type scope) {
  auto& query = Record(request).query;
  query.SetScopeType(scope);
  query.id = id;
}

template <class Request>
void SetApiVersion(Request& request, std::uint32_t apiVersion) {
  Record(request).header.apiVersion = apiVersion;
}

void CopyIds(BYTE* buffer, std::size_t offset, const std::vector<vesk_guid>& ids) {
  if (!ids.empty()) {
    std::memcpy(buffer + offset, ids.data(), ids.size() * sizeof(vesk_guid));
  }
}

template <class Record>
std::uint32_t ListLength(const std::vector<vesk_guid>& ids, std::string_view failure) {
  if (ids.size() > kMaxListedDrives) {
    RefuseArgument(failure);
  }
  return static_cast<std::uint32_t>(Record::driveIdsOffset + ids.size() * sizeof(vesk_guid));
}

// The table's own check on the controller identifier list is made only where the answer is
// known on return: on the asynchronous executor the call may still be filling the buffer.
template <class E>
constexpr bool kAnswersOnReturn = !std::is_base_of_v<AsynchronousIoctl, E>;

}  // namespace

template <class E>
void IoCommunication<E>::GetControllerInfo(DeviceHandle* handle, const vesk_guid& id,
                                           vesk_scope_type scope, std::uint32_t length,
                                           std::uint32_t apiVersion,
                                           RequestPtr<GetControllerInfoIoctl<E>>& request) {
  Run(request, handle, length, kControllerInfoFailed, [&](auto& r) {
    FillScope(r, id, scope);
    SetApiVersion(r, apiVersion);
  });
}

template <class E>
void IoCommunication<E>::GetControllerCapabilities(
    DeviceHandle* handle, const vesk_guid& controllerId,
    RequestPtr<GetControllerCapabilitiesIoctl<E>>& request) {
  Run(request, handle, GET_CONTROLLER_CAPABILITIES_TALU_MGMT_IOCTL::bufferLength,
      kCapabilitiesFailed, [&](auto& r) {
        Record(r).query.controllerId = controllerId;
        SetApiVersion(r, TALU_API_VERSION_2_0);
      });
}

template <class E>
void IoCommunication<E>::GetControllerCapabilitiesLegacy(
    DeviceHandle* handle, const vesk_guid& controllerId,
    RequestPtr<GetControllerCapabilitiesLegacyIoctl<E>>& request) {
  Run(request, handle, GET_CONTROLLER_CAPABILITIES_TALU_MGMT_IOCTL::legacyBufferLength,
      kCapabilitiesFailed, [&](auto& r) {
        Record(r).query.controllerId = controllerId;
        SetApiVersion(r, TALU_API_VERSION_1_0);
      });
}

template <class E>
void IoCommunication<E>::SetControllerReadPatrolPolicy(
    DeviceHandle* controllerHandle, bool enable,
    RequestPtr<SetControllerReadPatrolPolicyIoctl<E>>& request) {
  request.reset();
  if (!controllerHandle) {
    throw TaluException(kReadPatrolFailed);
  }
  Run(request, controllerHandle, sizeof(SET_CONTROLLER_READ_PATROL_POLICY_TALU_MGMT_IOCTL),
      kReadPatrolFailed, [&](auto& r) {
        Record(r).controllerId = controllerHandle->GetControllerId();
        Record(r).SetReadPatrolEnabled(enable);
      });
}

template <class E>
void IoCommunication<E>::SetControllerRohiPolicy(
    DeviceHandle* controllerHandle, bool enable,
    RequestPtr<SetControllerRohiPolicyIoctl<E>>& request) {
  request.reset();
  if (!controllerHandle) {
    throw TaluException(kRohiFailed);
  }
  Run(request, controllerHandle, sizeof(SET_CONTROLLER_ROHI_POLICY_TALU_MGMT_IOCTL), kRohiFailed,
      [&](auto& r) {
        Record(r).controllerId = controllerHandle->GetControllerId();
        Record(r).SetRohiEnabled(enable);
      });
}

template <class E>
void IoCommunication<E>::GetExecutorInformation(
    DeviceHandle* handle, RequestPtr<GetExecutorInformationIoctl<E>>& request) {
  Run(request, handle, kExecutorInformationFailed);
}

template <class E>
void IoCommunication<E>::SetControllerRate(DeviceHandle* controllerHandle, std::uint32_t rate,
                                           RequestPtr<SetControllerRateIoctl<E>>& request) {
  request.reset();
  if (!controllerHandle) {
    throw TaluException(kControllerRateFailed);
  }
  Run(request, controllerHandle, sizeof(SET_CONTROLLER_RATE_TALU_MGMT_IOCTL), kControllerRateFailed,
      [&](auto& r) {
        Record(r).controllerId = controllerHandle->GetControllerId();
        Record(r).rate = rate;
      });
}

template <class E>
void IoCommunication<E>::GetArrayInfo(DeviceHandle* handle, std::uint32_t length,
                                      RequestPtr<GetArrayInfoIoctl<E>>& request) {
  GetArrayInfo(handle, vesk_invalid_guid, VESK_SCOPE_NONE, length, request);
}

template <class E>
void IoCommunication<E>::GetArrayInfo(DeviceHandle* handle, const vesk_guid& id,
                                      vesk_scope_type scope, std::uint32_t length,
                                      RequestPtr<GetArrayInfoIoctl<E>>& request) {
  Run(request, handle, length, kArrayInfoFailed, [&](auto& r) { FillScope(r, id, scope); });
}

template <class E>
void IoCommunication<E>::GetSingleArrayInfo(DeviceHandle* handle, const vesk_guid& arrayId,
                                            RequestPtr<GetSingleArrayInfoIoctl<E>>& request) {
  Run(request, handle, 102, kSingleArrayInfoFailed,
      [&](auto& r) { FillScope(r, arrayId, VESK_SCOPE_ARRAY); });
}

template <class E>
void IoCommunication<E>::SetArrayCachePolicy(DeviceHandle* handle, const vesk_guid& arrayId,
                                             bool enable,
                                             RequestPtr<SetArrayCachePolicyIoctl<E>>& request) {
  Run(request, handle, sizeof(SET_ARRAY_CACHE_POLICY_TALU_MGMT_IOCTL), kArrayCachePolicyFailed,
      [&](auto& r) {
        Record(r).arrayId = arrayId;
        Record(r).SetWriteCacheEnabled(enable);
      });
}

template <class E>
void IoCommunication<E>::GetVolumeInfo(DeviceHandle* handle, std::uint32_t length,
                                       RequestPtr<GetVolumeInfoIoctl<E>>& request) {
  GetVolumeInfo(handle, vesk_invalid_guid, VESK_SCOPE_NONE, length, TALU_API_VERSION_4_0, request);
}

template <class E>
void IoCommunication<E>::GetVolumeInfo(DeviceHandle* handle, const vesk_guid& id,
                                       vesk_scope_type scope, std::uint32_t length,
                                       std::uint32_t apiVersion,
                                       RequestPtr<GetVolumeInfoIoctl<E>>& request) {
  Run(request, handle, length, kVolumeInfoFailed, [&](auto& r) {
    FillScope(r, id, scope);
    SetApiVersion(r, apiVersion);
  });
}

template <class E>
void IoCommunication<E>::GetSingleVolumeInfo(DeviceHandle* handle, const vesk_guid& volumeId,
                                             RequestPtr<GetSingleVolumeInfoIoctl<E>>& request) {
  Run(request, handle, 147, kSingleVolumeInfoFailed, [&](auto& r) {
    FillScope(r, volumeId, VESK_SCOPE_VOLUME);
    SetApiVersion(r, TALU_API_VERSION_4_0);
  });
}

template <class E>
void IoCommunication<E>::AddDrivesToArray(DeviceHandle* handle, const vesk_guid& arrayId,
                                          const std::vector<vesk_guid>& driveIds,
                                          RequestPtr<AddDrivesToArrayIoctl<E>>& request) {
  using Wire = ADD_DRIVES_TO_ARRAY_TALU_MGMT_IOCTL;
  request.reset();
  Run(request, handle, ListLength<Wire>(driveIds, kAddDrivesFailed), kAddDrivesFailed,
      [&](auto& r) {
        Record(r).arrayId = arrayId;
        Record(r).driveCount = static_cast<std::uint16_t>(driveIds.size());
        CopyIds(r.Buffer(), Wire::driveIdsOffset, driveIds);
      });
}

template <class E>
void IoCommunication<E>::CancelVerifyVolume(DeviceHandle* handle, const vesk_guid& volumeId,
                                            RequestPtr<CancelVerifyVolumeIoctl<E>>& request) {
  Run(request, handle, sizeof(CANCEL_VOLUME_VERIFICATION_TALU_MGMT_IOCTL), kCancelVerifyFailed,
      [&](auto& r) { Record(r).volumeId = volumeId; });
}

template <class E>
void IoCommunication<E>::ChangeRaidLayout(DeviceHandle* handle, const vesk_guid& volumeId,
                                          vesk_strip_size stripSize, vesk_raid_level raidLevel,
                                          const std::vector<vesk_guid>& driveIds,
                                          RequestPtr<ChangeRaidLayoutIoctl<E>>& request) {
  using Wire = CHANGE_RAID_LAYOUT_TALU_MGMT_IOCTL;
  request.reset();
  Run(request, handle, ListLength<Wire>(driveIds, kChangeRaidLayoutFailed), kChangeRaidLayoutFailed,
      [&](auto& r) {
        Record(r).volumeId = volumeId;
        Record(r).stripSize = stripSize;
        Record(r).raidLevel = raidLevel;
        Record(r).driveCount = static_cast<std::uint16_t>(driveIds.size());
        CopyIds(r.Buffer(), Wire::driveIdsOffset, driveIds);
      });
}

template <class E>
void IoCommunication<E>::CreateVolume(DeviceHandle* handle,
                                      const vesk_new_volume_parameters& parameters,
                                      const std::vector<vesk_guid>& driveIds,
                                      RequestPtr<CreateVolumeIoctl<E>>& request) {
  using Wire = CREATE_VOLUME_TALU_MGMT_IOCTL;
  request.reset();
  Run(request, handle, ListLength<Wire>(driveIds, kCreateVolumeFailed), kCreateVolumeFailed,
      [&](auto& r) {
        Record(r).driveCount = static_cast<std::uint16_t>(driveIds.size());
        Record(r).parameters = parameters;
        CopyIds(r.Buffer(), Wire::driveIdsOffset, driveIds);
      });
}

template <class E>
void IoCommunication<E>::DeleteVolume(DeviceHandle* handle, const vesk_guid& volumeId,
                                      RequestPtr<DeleteVolumeIoctl<E>>& request) {
  Run(request, handle, sizeof(DELETE_VOLUME_TALU_MGMT_IOCTL), kDeleteVolumeFailed,
      [&](auto& r) { Record(r).volumeId = volumeId; });
}

template <class E>
void IoCommunication<E>::ExpandVolume(DeviceHandle* handle, const vesk_guid& volumeId,
                                      std::uint64_t newSize,
                                      RequestPtr<ExpandVolumeIoctl<E>>& request) {
  Run(request, handle, sizeof(EXPAND_VOLUME_TALU_MGMT_IOCTL), kExpandVolumeFailed, [&](auto& r) {
    Record(r).volumeId = volumeId;
    Record(r).newSize = newSize;
  });
}

template <class E>
void IoCommunication<E>::InitializeVolume(DeviceHandle* handle, const vesk_guid& volumeId,
                                          RequestPtr<InitializeVolumeIoctl<E>>& request) {
  Run(request, handle, sizeof(INITIALIZE_VOLUME_TALU_MGMT_IOCTL), kInitializeVolumeFailed,
      [&](auto& r) { Record(r).volumeId = volumeId; });
}

template <class E>
void IoCommunication<E>::MarkVolumeAsNormal(DeviceHandle* handle, const vesk_guid& volumeId,
                                            RequestPtr<MarkVolumeAsNormalIoctl<E>>& request) {
  Run(request, handle, sizeof(MARK_VOLUME_AS_NORMAL_TALU_MGMT_IOCTL), kMarkVolumeAsNormalFailed,
      [&](auto& r) { Record(r).volumeId = volumeId; });
}

template <class E>
void IoCommunication<E>::RebuildVolume(DeviceHandle* handle, const vesk_guid& volumeId,
                                       const std::vector<vesk_guid>& driveIds,
                                       RequestPtr<RebuildVolumeIoctl<E>>& request) {
  using Wire = REBUILD_VOLUME_TALU_MGMT_IOCTL;
  request.reset();
  Run(request, handle, ListLength<Wire>(driveIds, kRebuildVolumeFailed), kRebuildVolumeFailed,
      [&](auto& r) {
        Record(r).volumeId = volumeId;
        Record(r).driveCount = static_cast<std::uint16_t>(driveIds.size());
        CopyIds(r.Buffer(), Wire::driveIdsOffset, driveIds);
      });
}

template <class E>
void IoCommunication<E>::RenameVolume(DeviceHandle* handle, const vesk_guid& volumeId,
                                      std::string_view newName,
                                      RequestPtr<RenameVolumeIoctl<E>>& request) {
  Run(request, handle, sizeof(RENAME_VOLUME_TALU_MGMT_IOCTL), kRenameVolumeFailed, [&](auto& r) {
    auto& record = Record(r);
    record.volumeId = volumeId;
    std::memcpy(record.name, newName.data(), std::min(newName.size(), sizeof record.name));
  });
}

template <class E>
void IoCommunication<E>::SetVolumeCachePolicy(DeviceHandle* handle, const vesk_guid& volumeId,
                                              vesk_volume_cache_policy policy,
                                              RequestPtr<SetVolumeCachePolicyIoctl<E>>& request) {
  Run(request, handle, sizeof(SET_VOLUME_CACHE_POLICY_TALU_MGMT_IOCTL), kVolumeCachePolicyFailed,
      [&](auto& r) {
        Record(r).volumeId = volumeId;
        Record(r).SetCachePolicy(policy);
      });
}

template <class E>
void IoCommunication<E>::SetVolumeRaidWriteHolePolicy(
    DeviceHandle* handle, const vesk_guid& volumeId, vesk_rwh_policy policy,
    const vesk_guid& journalingDriveId, RequestPtr<SetVolumeRaidWriteHolePolicyIoctl<E>>& request) {
  Run(request, handle, sizeof(SET_VOLUME_RWH_POLICY_TALU_MGMT_IOCTL), kRwhPolicyFailed,
      [&](auto& r) {
        Record(r).volumeId = volumeId;
        Record(r).SetRwhPolicy(policy);
        Record(r).journalingDriveId = journalingDriveId;
      });
}

template <class E>
void IoCommunication<E>::VerifyVolume(DeviceHandle* handle, const vesk_guid& volumeId, bool repair,
                                      RequestPtr<VerifyVolumeIoctl<E>>& request) {
  Run(request, handle, sizeof(VERIFY_VOLUME_TALU_MGMT_IOCTL), kVerifyVolumeFailed, [&](auto& r) {
    Record(r).volumeId = volumeId;
    Record(r).repair = repair ? 1 : 0;
  });
}

template <class E>
void IoCommunication<E>::GetDriveInfo(DeviceHandle* handle, const vesk_guid& id,
                                      vesk_scope_type scope, std::uint32_t length,
                                      std::uint32_t apiVersion,
                                      RequestPtr<GetDriveInfoIoctl<E>>& request) {
  Run(request, handle, length, kDriveInfoFailed, [&](auto& r) {
    FillScope(r, id, scope);
    SetApiVersion(r, apiVersion);
  });
}

template <class E>
void IoCommunication<E>::ActivateDriveLed(DeviceHandle* handle, const vesk_guid& driveId,
                                          bool enable,
                                          RequestPtr<ActivateDriveLedIoctl<E>>& request) {
  Run(request, handle, sizeof(ACTIVATE_DRIVE_LED_TALU_MGMT_IOCTL), kDriveLedFailed, [&](auto& r) {
    Record(r).driveId = driveId;
    Record(r).enable = enable ? 1 : 0;
    SetApiVersion(r, TALU_API_VERSION_2_0);
  });
}

template <class E>
void IoCommunication<E>::ActivateDriveLedLegacy(
    DeviceHandle* handle, const vesk_guid& driveId,
    RequestPtr<ActivateDriveLedLegacyIoctl<E>>& request) {
  Run(request, handle, sizeof(ACTIVATE_DRIVE_LED_TALU_MGMT_IOCTL), kDriveLedFailed, [&](auto& r) {
    Record(r).driveId = driveId;
    SetApiVersion(r, TALU_API_VERSION_1_0);
  });
}

template <class E>
void IoCommunication<E>::ClearDriveMetadata(DeviceHandle* handle, const vesk_guid& driveId,
                                            RequestPtr<ClearDriveMetadataIoctl<E>>& request) {
  Run(request, handle, sizeof(CLEAR_DRIVE_METADATA_TALU_MGMT_IOCTL), kClearMetadataFailed,
      [&](auto& r) { Record(r).driveId = driveId; });
}

template <class E>
void IoCommunication<E>::MarkDriveAsNormal(DeviceHandle* handle, const vesk_guid& driveId,
                                           RequestPtr<MarkDriveAsNormalIoctl<E>>& request) {
  Run(request, handle, sizeof(MARK_DRIVE_AS_NORMAL_TALU_MGMT_IOCTL), kMarkDriveAsNormalFailed,
      [&](auto& r) { Record(r).driveId = driveId; });
}

template <class E>
void IoCommunication<E>::MarkDriveAsSpare(DeviceHandle* handle, const vesk_guid& driveId,
                                          RequestPtr<MarkDriveAsSpareIoctl<E>>& request) {
  Run(request, handle, sizeof(MARK_AS_SPARE_TALU_MGMT_IOCTL), kMarkAsSpareFailed,
      [&](auto& r) { Record(r).driveId = driveId; });
}

template <class E>
void IoCommunication<E>::RemoveDrive(DeviceHandle* handle, const vesk_guid& driveId,
                                     RequestPtr<RemoveDriveIoctl<E>>& request) {
  Run(request, handle, sizeof(REMOVE_DRIVE_TALU_MGMT_IOCTL), kRemoveDriveFailed,
      [&](auto& r) { Record(r).driveId = driveId; });
}

template <class E>
void IoCommunication<E>::ResetSmartEvent(DeviceHandle* handle, const vesk_guid& driveId,
                                         RequestPtr<ResetSmartEventIoctl<E>>& request) {
  Run(request, handle, sizeof(RESET_SMART_EVENT_TALU_MGMT_IOCTL), kResetSmartEventFailed,
      [&](auto& r) { Record(r).driveId = driveId; });
}

template <class E>
void IoCommunication<E>::SetWriteCacheOnDrive(DeviceHandle* handle, const vesk_guid& driveId,
                                              bool enable,
                                              RequestPtr<SetWriteCacheOnDriveIoctl<E>>& request) {
  Run(request, handle, sizeof(SET_VOLATILE_WRITE_CACHE_ON_DRIVE_TALU_MGMT_IOCTL), kWriteCacheFailed,
      [&](auto& r) {
        Record(r).driveId = driveId;
        Record(r).SetVolatileWriteCacheEnabled(enable);
      });
}

template <class E>
void IoCommunication<E>::UnmarkSpareDrive(DeviceHandle* handle, const vesk_guid& driveId,
                                          RequestPtr<UnmarkSpareDriveIoctl<E>>& request) {
  Run(request, handle, sizeof(UNMARK_SPARE_TALU_MGMT_IOCTL), kUnmarkSpareFailed,
      [&](auto& r) { Record(r).driveId = driveId; });
}

template <class E>
void IoCommunication<E>::SanitizeDriveLegacy(DeviceHandle* handle, const vesk_guid& driveId,
                                             std::uint8_t action,
                                             RequestPtr<SanitizeDriveLegacyIoctl<E>>& request) {
  Run(request, handle, sizeof(SANITIZE_DRIVE_TALU_MGMT_IOCTL), kSanitizeFailed, [&](auto& r) {
    auto& legacy = Record(r).legacy;
    legacy.driveId = driveId;
    legacy.SetAction(action);
  });
}

template <class E>
void IoCommunication<E>::SanitizeDrive(DeviceHandle* handle, const vesk_guid& driveId,
                                       std::uint8_t action, bool optionA, bool optionB,
                                       std::uint8_t optionC, bool optionD,
                                       std::uint32_t optionValue,
                                       RequestPtr<SanitizeDriveIoctl<E>>& request) {
  Run(request, handle, sizeof(SANITIZE_DRIVE_TALU_MGMT_IOCTL), kSanitizeFailed, [&](auto& r) {
    auto& current = Record(r).current;
    current.driveId = driveId;
    current.SetAction(action);
    current.SetOptionA(optionA);
    current.SetOptionB(optionB);
    current.SetOptionC(optionC);
    current.SetOptionD(optionD);
    current.optionValue = optionValue;
  });
}

template <class E>
void IoCommunication<E>::GetDriveIdentifiers(DeviceHandle* handle, const vesk_guid& id,
                                             vesk_scope_type scope, std::uint32_t length,
                                             RequestPtr<GetDriveIdentifiersIoctl<E>>& request) {
  Run(request, handle, length, kDriveIdentifiersFailed, [&](auto& r) { FillScope(r, id, scope); });
}

template <class E>
void IoCommunication<E>::GetVolumeIdentifiers(DeviceHandle* handle, const vesk_guid& id,
                                              vesk_scope_type scope, std::uint32_t length,
                                              RequestPtr<GetVolumeIdentifiersIoctl<E>>& request) {
  Run(request, handle, length, kVolumeIdentifiersFailed, [&](auto& r) { FillScope(r, id, scope); });
}

template <class E>
void IoCommunication<E>::GetArrayIdentifiers(DeviceHandle* handle, const vesk_guid& id,
                                             vesk_scope_type scope, std::uint32_t length,
                                             RequestPtr<GetArrayIdentifiersIoctl<E>>& request) {
  Run(request, handle, length, kArrayIdentifiersFailed, [&](auto& r) { FillScope(r, id, scope); });
}

template <class E>
void IoCommunication<E>::GetControllerIdentifiers(
    DeviceHandle* handle, const vesk_guid& id, vesk_scope_type scope, std::uint32_t length,
    RequestPtr<GetControllerIdentifiersIoctl<E>>& request) {
  Run(request, handle, length, kControllerIdentifiersFailed,
      [&](auto& r) { FillScope(r, id, scope); });
  if constexpr (kAnswersOnReturn<E>) {
    // A refusal is the caller's to report with the driver's status, whatever count it claims;
    // only an answer that says it succeeded must name an identifier.
    if (request->Status() == VESK_STATUS_SUCCESS && Record(*request).count == 0) {
      request.reset();
      throw TaluException(kZeroControllerIdentifiers, ERROR_INVALID_DATA);
    }
  }
}

template <class E>
void IoCommunication<E>::CreateEventSubscription(
    DeviceHandle* handle, const vesk_guid& id, std::uint8_t value,
    const std::vector<std::uint8_t>& entries,
    RequestPtr<CreateEventSubscriptionIoctl<E>>& request) {
  using Wire = CREATE_EVENT_SUBSCRIPTION_MGMT_IOCTL;
  request.reset();
  if (entries.size() > Wire::maxEntries) {
    RefuseArgument(kCreateSubscriptionFailed);
  }
  const auto length = static_cast<std::uint32_t>(Wire::entriesOffset + entries.size());
  Run(request, handle, length, kCreateSubscriptionFailed, [&](auto& r) {
    auto& fields = Record(r).request;
    fields.id = id;
    fields.value = value;
    fields.entryCount = static_cast<std::uint8_t>(entries.size());
    if (!entries.empty()) {
      std::memcpy(r.Buffer() + Wire::entriesOffset, entries.data(), entries.size());
    }
  });
}

template <class E>
void IoCommunication<E>::CancelEventSubscription(
    DeviceHandle* handle, const _vesk_event_subscription_id& subscriptionId,
    RequestPtr<CancelEventSubscriptionIoctl<E>>& request) {
  Run(request, handle, sizeof(CANCEL_EVENT_SUBSCRIPTION_MGMT_IOCTL), kCancelSubscriptionFailed,
      [&](auto& r) { Record(r).subscriptionId = subscriptionId; });
}

template <class E>
void IoCommunication<E>::GetEvents(DeviceHandle* handle,
                                   const _vesk_event_subscription_id& subscriptionId,
                                   std::uint32_t value, RequestPtr<GetEventsIoctl<E>>& request) {
  Run(request, handle, GET_EVENTS_MGMT_IOCTL::bufferLength, kGetEventsFailed, [&](auto& r) {
    Record(r).request.subscriptionId = subscriptionId;
    Record(r).request.value = value;
  });
}

template <class E>
void IoCommunication<E>::PerformAction(DeviceHandle* handle, std::uint32_t action,
                                       RequestPtr<OOB::PerformActionIoctl<E>>& request) {
  Run(request, handle, sizeof(OOB_IOCTL<OOB::ControlIoctlPayload>), kPerformActionFailed,
      [&](auto& r) { r.Request()->payload.action = action; });
}

template <class E>
void IoCommunication<E>::SendData(DeviceHandle* handle, const OOB::SendDataIoctlPayload& data,
                                  RequestPtr<OOB::SendDataIoctl<E>>& request) {
  Run(request, handle, sizeof(OOB_IOCTL<OOB::SendDataIoctlPayload>), kSendDataFailed,
      [&](auto& r) { r.Request()->payload = data; });
}

template <class E>
void IoCommunication<E>::ReceiveData(DeviceHandle* handle,
                                     RequestPtr<OOB::ReceiveDataIoctl<E>>& request) {
  Run(request, handle, kReceiveDataFailed);
}

template class IoCommunication<SynchronousIoctl>;
template class IoCommunication<AsynchronousIoctl>;

}  // namespace Vesk
