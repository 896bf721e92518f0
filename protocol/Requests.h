// One request class per driver operation. Each fixes the record (and so the function code and
// signature) it sends; the operation table (protocol/IoCommunication.h) sizes the buffer and
// writes the payload. The classes add no state and override nothing.
#pragma once

#include "protocol/CommandRecords.h"
#include "protocol/EventRecords.h"
#include "protocol/OobRecords.h"
#include "protocol/QueryRequestRecords.h"
#include "protocol/TaluIoctl.h"

namespace Vesk {

#define VESK_MANAGEMENT_REQUEST(NAME, RECORD)                  \
  template <class E>                                           \
  class NAME : public VeskTaluIoctl<TALU_IOCTL<RECORD>, E> {   \
   public:                                                     \
    using VeskTaluIoctl<TALU_IOCTL<RECORD>, E>::VeskTaluIoctl; \
  }

// Queries.
VESK_MANAGEMENT_REQUEST(GetControllerInfoIoctl, GET_CONTROLLER_INFO_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(GetControllerCapabilitiesIoctl,
                        GET_CONTROLLER_CAPABILITIES_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(GetControllerCapabilitiesLegacyIoctl,
                        GET_CONTROLLER_CAPABILITIES_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(GetArrayInfoIoctl, GET_ARRAY_INFO_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(GetSingleArrayInfoIoctl, GET_ARRAY_INFO_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(GetVolumeInfoIoctl, GET_VOLUME_INFO_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(GetSingleVolumeInfoIoctl, GET_VOLUME_INFO_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(GetDriveInfoIoctl, GET_DRIVE_INFO_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(GetDriveIdentifiersIoctl, GET_DRIVE_IDENTIFIERS_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(GetVolumeIdentifiersIoctl, GET_VOLUME_IDENTIFIERS_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(GetArrayIdentifiersIoctl, GET_ARRAY_IDENTIFIERS_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(GetControllerIdentifiersIoctl, GET_CONTROLLER_IDENTIFIERS_MGMT_IOCTL);

// The executor information request has no class of its own.
template <class E>
using GetExecutorInformationIoctl =
    VeskTaluIoctl<TALU_IOCTL<GET_EXECUTOR_INFORMATION_MGMT_IOCTL>, E>;

// Controller and array policies.
VESK_MANAGEMENT_REQUEST(SetControllerReadPatrolPolicyIoctl,
                        SET_CONTROLLER_READ_PATROL_POLICY_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(SetControllerRohiPolicyIoctl, SET_CONTROLLER_ROHI_POLICY_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(SetControllerRateIoctl, SET_CONTROLLER_RATE_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(SetArrayCachePolicyIoctl, SET_ARRAY_CACHE_POLICY_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(AddDrivesToArrayIoctl, ADD_DRIVES_TO_ARRAY_TALU_MGMT_IOCTL);

// Volumes.
VESK_MANAGEMENT_REQUEST(CancelVerifyVolumeIoctl, CANCEL_VOLUME_VERIFICATION_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(ChangeRaidLayoutIoctl, CHANGE_RAID_LAYOUT_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(CreateVolumeIoctl, CREATE_VOLUME_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(DeleteVolumeIoctl, DELETE_VOLUME_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(ExpandVolumeIoctl, EXPAND_VOLUME_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(InitializeVolumeIoctl, INITIALIZE_VOLUME_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(MarkVolumeAsNormalIoctl, MARK_VOLUME_AS_NORMAL_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(RebuildVolumeIoctl, REBUILD_VOLUME_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(RenameVolumeIoctl, RENAME_VOLUME_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(SetVolumeCachePolicyIoctl, SET_VOLUME_CACHE_POLICY_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(SetVolumeRaidWriteHolePolicyIoctl, SET_VOLUME_RWH_POLICY_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(VerifyVolumeIoctl, VERIFY_VOLUME_TALU_MGMT_IOCTL);

// Drives.
VESK_MANAGEMENT_REQUEST(ActivateDriveLedIoctl, ACTIVATE_DRIVE_LED_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(ActivateDriveLedLegacyIoctl, ACTIVATE_DRIVE_LED_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(ClearDriveMetadataIoctl, CLEAR_DRIVE_METADATA_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(MarkDriveAsNormalIoctl, MARK_DRIVE_AS_NORMAL_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(MarkDriveAsSpareIoctl, MARK_AS_SPARE_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(RemoveDriveIoctl, REMOVE_DRIVE_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(ResetSmartEventIoctl, RESET_SMART_EVENT_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(SetWriteCacheOnDriveIoctl,
                        SET_VOLATILE_WRITE_CACHE_ON_DRIVE_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(UnmarkSpareDriveIoctl, UNMARK_SPARE_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(SanitizeDriveLegacyIoctl, SANITIZE_DRIVE_TALU_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(SanitizeDriveIoctl, SANITIZE_DRIVE_TALU_MGMT_IOCTL);

// Event subscription.
VESK_MANAGEMENT_REQUEST(CreateEventSubscriptionIoctl, CREATE_EVENT_SUBSCRIPTION_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(CancelEventSubscriptionIoctl, CANCEL_EVENT_SUBSCRIPTION_MGMT_IOCTL);
VESK_MANAGEMENT_REQUEST(GetEventsIoctl, GET_EVENTS_MGMT_IOCTL);

#undef VESK_MANAGEMENT_REQUEST

// Out-of-band pass-through: success is the device call's alone.
namespace OOB {

template <class E>
class PerformActionIoctl : public TaluIoctl<OOB_IOCTL<ControlIoctlPayload>, E> {
 public:
  using TaluIoctl<OOB_IOCTL<ControlIoctlPayload>, E>::TaluIoctl;
};

template <class E>
class SendDataIoctl : public TaluIoctl<OOB_IOCTL<SendDataIoctlPayload>, E> {
 public:
  using TaluIoctl<OOB_IOCTL<SendDataIoctlPayload>, E>::TaluIoctl;
};

template <class E>
class ReceiveDataIoctl : public TaluIoctl<OOB_IOCTL<ReceiveDataIoctlPayload>, E> {
 public:
  using TaluIoctl<OOB_IOCTL<ReceiveDataIoctlPayload>, E>::TaluIoctl;
};

}  // namespace OOB

}  // namespace Vesk
