// The driver's command records: requests that change the storage configuration. Every record
// begins with the management framing (protocol/Framing.h); offsets in the static_asserts are
// absolute buffer offsets. Bits that no accessor names are sent as zero. A command's answer is its
// status word only. docs/protocol.md has the tables.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/Framing.h"
#include "vesk/NewVolumeParameters.h"
#include "vesk/Types.h"

namespace Vesk {

#pragma pack(push, 1)

// Commands that name one object and nothing else: the target identifier at 32.
#define VESK_TARGET_ONLY_COMMAND(RECORD, CODE, TARGET)     \
  struct RECORD {                                          \
    static constexpr std::uint32_t functionCode =          \
        FunctionCode(TaluManagementSetFunctionCode::CODE); \
    TALU_MGMT_IOCTL_HEADER header;                         \
    vesk_guid TARGET;                                      \
  };                                                       \
  static_assert(sizeof(RECORD) == 48);                     \
  static_assert(offsetof(RECORD, TARGET) == 32)

VESK_TARGET_ONLY_COMMAND(CANCEL_VOLUME_VERIFICATION_TALU_MGMT_IOCTL, CancelVolumeVerification,
                         volumeId);
VESK_TARGET_ONLY_COMMAND(DELETE_VOLUME_TALU_MGMT_IOCTL, DeleteVolume, volumeId);
VESK_TARGET_ONLY_COMMAND(INITIALIZE_VOLUME_TALU_MGMT_IOCTL, InitializeVolume, volumeId);
VESK_TARGET_ONLY_COMMAND(MARK_VOLUME_AS_NORMAL_TALU_MGMT_IOCTL, MarkVolumeAsNormal, volumeId);
VESK_TARGET_ONLY_COMMAND(CLEAR_DRIVE_METADATA_TALU_MGMT_IOCTL, ClearDriveMetadata, driveId);
VESK_TARGET_ONLY_COMMAND(MARK_DRIVE_AS_NORMAL_TALU_MGMT_IOCTL, MarkDriveAsNormal, driveId);
VESK_TARGET_ONLY_COMMAND(MARK_AS_SPARE_TALU_MGMT_IOCTL, MarkAsSpare, driveId);
VESK_TARGET_ONLY_COMMAND(UNMARK_SPARE_TALU_MGMT_IOCTL, UnmarkSpare, driveId);
VESK_TARGET_ONLY_COMMAND(REMOVE_DRIVE_TALU_MGMT_IOCTL, RemoveDrive, driveId);
VESK_TARGET_ONLY_COMMAND(RESET_SMART_EVENT_TALU_MGMT_IOCTL, ResetSmartEvent, driveId);
#undef VESK_TARGET_ONLY_COMMAND

// Commands with a target at 32 and one policy byte at 48.
struct SET_CONTROLLER_READ_PATROL_POLICY_TALU_MGMT_IOCTL {
  static constexpr std::uint32_t functionCode =
      FunctionCode(TaluManagementSetFunctionCode::SetControllerReadPatrolPolicy);
  TALU_MGMT_IOCTL_HEADER header;
  vesk_guid controllerId;
  std::uint8_t policy;  // bit 7: read patrol enabled

  bool ReadPatrolEnabled() const { return GetBits(policy, 7, 1); }
  void SetReadPatrolEnabled(bool on) { policy = SetBits(policy, 7, 1, on); }
};
static_assert(sizeof(SET_CONTROLLER_READ_PATROL_POLICY_TALU_MGMT_IOCTL) == 49);
static_assert(offsetof(SET_CONTROLLER_READ_PATROL_POLICY_TALU_MGMT_IOCTL, controllerId) == 32);
static_assert(offsetof(SET_CONTROLLER_READ_PATROL_POLICY_TALU_MGMT_IOCTL, policy) == 48);

struct SET_CONTROLLER_ROHI_POLICY_TALU_MGMT_IOCTL {
  static constexpr std::uint32_t functionCode =
      FunctionCode(TaluManagementSetFunctionCode::SetControllerRohiPolicy);
  TALU_MGMT_IOCTL_HEADER header;
  vesk_guid controllerId;
  std::uint8_t policy;  // bit 7: ROHI enabled

  bool RohiEnabled() const { return GetBits(policy, 7, 1); }
  void SetRohiEnabled(bool on) { policy = SetBits(policy, 7, 1, on); }
};
static_assert(sizeof(SET_CONTROLLER_ROHI_POLICY_TALU_MGMT_IOCTL) == 49);
static_assert(offsetof(SET_CONTROLLER_ROHI_POLICY_TALU_MGMT_IOCTL, controllerId) == 32);
static_assert(offsetof(SET_CONTROLLER_ROHI_POLICY_TALU_MGMT_IOCTL, policy) == 48);

struct SET_ARRAY_CACHE_POLICY_TALU_MGMT_IOCTL {
  static constexpr std::uint32_t functionCode =
      FunctionCode(TaluManagementSetFunctionCode::SetArrayCachePolicy);
  TALU_MGMT_IOCTL_HEADER header;
  vesk_guid arrayId;
  std::uint8_t policy;  // bit 7: write cache enabled

  bool WriteCacheEnabled() const { return GetBits(policy, 7, 1); }
  void SetWriteCacheEnabled(bool on) { policy = SetBits(policy, 7, 1, on); }
};
static_assert(sizeof(SET_ARRAY_CACHE_POLICY_TALU_MGMT_IOCTL) == 49);
static_assert(offsetof(SET_ARRAY_CACHE_POLICY_TALU_MGMT_IOCTL, arrayId) == 32);
static_assert(offsetof(SET_ARRAY_CACHE_POLICY_TALU_MGMT_IOCTL, policy) == 48);

struct SET_VOLATILE_WRITE_CACHE_ON_DRIVE_TALU_MGMT_IOCTL {
  static constexpr std::uint32_t functionCode =
      FunctionCode(TaluManagementSetFunctionCode::SetVolatileWriteCacheOnDrive);
  TALU_MGMT_IOCTL_HEADER header;
  vesk_guid driveId;
  std::uint8_t policy;  // bit 7: volatile write cache enabled

  bool VolatileWriteCacheEnabled() const { return GetBits(policy, 7, 1); }
  void SetVolatileWriteCacheEnabled(bool on) { policy = SetBits(policy, 7, 1, on); }
};
static_assert(sizeof(SET_VOLATILE_WRITE_CACHE_ON_DRIVE_TALU_MGMT_IOCTL) == 49);
static_assert(offsetof(SET_VOLATILE_WRITE_CACHE_ON_DRIVE_TALU_MGMT_IOCTL, driveId) == 32);
static_assert(offsetof(SET_VOLATILE_WRITE_CACHE_ON_DRIVE_TALU_MGMT_IOCTL, policy) == 48);

struct SET_VOLUME_CACHE_POLICY_TALU_MGMT_IOCTL {
  static constexpr std::uint32_t functionCode =
      FunctionCode(TaluManagementSetFunctionCode::SetVolumeCachePolicy);
  TALU_MGMT_IOCTL_HEADER header;
  vesk_guid volumeId;
  std::uint8_t policy;  // bits 4-7: cache policy

  vesk_volume_cache_policy CachePolicy() const {
    return static_cast<vesk_volume_cache_policy>(GetBits(policy, 4, 4));
  }
  void SetCachePolicy(vesk_volume_cache_policy value) { policy = SetBits(policy, 4, 4, value); }
};
static_assert(sizeof(SET_VOLUME_CACHE_POLICY_TALU_MGMT_IOCTL) == 49);
static_assert(offsetof(SET_VOLUME_CACHE_POLICY_TALU_MGMT_IOCTL, volumeId) == 32);
static_assert(offsetof(SET_VOLUME_CACHE_POLICY_TALU_MGMT_IOCTL, policy) == 48);

struct VERIFY_VOLUME_TALU_MGMT_IOCTL {
  static constexpr std::uint32_t functionCode =
      FunctionCode(TaluManagementSetFunctionCode::VerifyVolume);
  TALU_MGMT_IOCTL_HEADER header;
  vesk_guid volumeId;
  std::uint8_t repair;  // 1 or 0
};
static_assert(sizeof(VERIFY_VOLUME_TALU_MGMT_IOCTL) == 49);
static_assert(offsetof(VERIFY_VOLUME_TALU_MGMT_IOCTL, volumeId) == 32);
static_assert(offsetof(VERIFY_VOLUME_TALU_MGMT_IOCTL, repair) == 48);

// Sent in two forms: API version 1 with the enable flag, API version 0 with the byte left 0.
struct ACTIVATE_DRIVE_LED_TALU_MGMT_IOCTL {
  static constexpr std::uint32_t functionCode =
      FunctionCode(TaluManagementSetFunctionCode::ActivateDriveLed);
  TALU_MGMT_IOCTL_HEADER header;
  vesk_guid driveId;
  std::uint8_t enable;  // 1 or 0
};
static_assert(sizeof(ACTIVATE_DRIVE_LED_TALU_MGMT_IOCTL) == 49);
static_assert(offsetof(ACTIVATE_DRIVE_LED_TALU_MGMT_IOCTL, driveId) == 32);
static_assert(offsetof(ACTIVATE_DRIVE_LED_TALU_MGMT_IOCTL, enable) == 48);

// Commands with further fields.
struct SET_CONTROLLER_RATE_TALU_MGMT_IOCTL {
  static constexpr std::uint32_t functionCode =
      FunctionCode(TaluManagementSetFunctionCode::SetControllerRate);
  TALU_MGMT_IOCTL_HEADER header;
  vesk_guid controllerId;
  std::uint32_t rate;  // passed through; its unit is the driver's
};
static_assert(sizeof(SET_CONTROLLER_RATE_TALU_MGMT_IOCTL) == 52);
static_assert(offsetof(SET_CONTROLLER_RATE_TALU_MGMT_IOCTL, controllerId) == 32);
static_assert(offsetof(SET_CONTROLLER_RATE_TALU_MGMT_IOCTL, rate) == 48);

struct EXPAND_VOLUME_TALU_MGMT_IOCTL {
  static constexpr std::uint32_t functionCode =
      FunctionCode(TaluManagementSetFunctionCode::ExpandVolume);
  TALU_MGMT_IOCTL_HEADER header;
  vesk_guid volumeId;
  std::uint64_t newSize;  // passed through; its unit is the driver's
};
static_assert(sizeof(EXPAND_VOLUME_TALU_MGMT_IOCTL) == 56);
static_assert(offsetof(EXPAND_VOLUME_TALU_MGMT_IOCTL, volumeId) == 32);
static_assert(offsetof(EXPAND_VOLUME_TALU_MGMT_IOCTL, newSize) == 48);

struct RENAME_VOLUME_TALU_MGMT_IOCTL {
  static constexpr std::uint32_t functionCode =
      FunctionCode(TaluManagementSetFunctionCode::RenameVolume);
  TALU_MGMT_IOCTL_HEADER header;
  vesk_guid volumeId;
  char name[16];  // ASCII, zero-padded; 16 characters fill it with no terminator
};
static_assert(sizeof(RENAME_VOLUME_TALU_MGMT_IOCTL) == 64);
static_assert(offsetof(RENAME_VOLUME_TALU_MGMT_IOCTL, volumeId) == 32);
static_assert(offsetof(RENAME_VOLUME_TALU_MGMT_IOCTL, name) == 48);

struct SET_VOLUME_RWH_POLICY_TALU_MGMT_IOCTL {
  static constexpr std::uint32_t functionCode =
      FunctionCode(TaluManagementSetFunctionCode::SetVolumeRwhPolicy);
  TALU_MGMT_IOCTL_HEADER header;
  vesk_guid volumeId;
  std::uint8_t policy;  // bits 4-7: RAID write-hole policy; bits 0-3 zero
  vesk_guid journalingDriveId;

  vesk_rwh_policy RwhPolicy() const { return static_cast<vesk_rwh_policy>(GetBits(policy, 4, 4)); }
  void SetRwhPolicy(vesk_rwh_policy value) { policy = SetBits(policy, 4, 4, value); }
};
static_assert(sizeof(SET_VOLUME_RWH_POLICY_TALU_MGMT_IOCTL) == 65);
static_assert(offsetof(SET_VOLUME_RWH_POLICY_TALU_MGMT_IOCTL, volumeId) == 32);
static_assert(offsetof(SET_VOLUME_RWH_POLICY_TALU_MGMT_IOCTL, policy) == 48);
static_assert(offsetof(SET_VOLUME_RWH_POLICY_TALU_MGMT_IOCTL, journalingDriveId) == 49);

// Commands followed by a list of drive identifiers. The record is the fixed part; the request
// buffer is 16 bytes longer per listed drive, and the identifiers follow at driveIdsOffset.
struct ADD_DRIVES_TO_ARRAY_TALU_MGMT_IOCTL {
  static constexpr std::uint32_t functionCode =
      FunctionCode(TaluManagementSetFunctionCode::AddDrivesToArray);
  static constexpr std::size_t driveIdsOffset = 50;
  TALU_MGMT_IOCTL_HEADER header;
  vesk_guid arrayId;
  std::uint16_t driveCount;
};
static_assert(sizeof(ADD_DRIVES_TO_ARRAY_TALU_MGMT_IOCTL) == 50);
static_assert(offsetof(ADD_DRIVES_TO_ARRAY_TALU_MGMT_IOCTL, arrayId) == 32);
static_assert(offsetof(ADD_DRIVES_TO_ARRAY_TALU_MGMT_IOCTL, driveCount) == 48);

struct REBUILD_VOLUME_TALU_MGMT_IOCTL {
  static constexpr std::uint32_t functionCode =
      FunctionCode(TaluManagementSetFunctionCode::RebuildVolume);
  static constexpr std::size_t driveIdsOffset = 50;
  TALU_MGMT_IOCTL_HEADER header;
  vesk_guid volumeId;
  std::uint16_t driveCount;
};
static_assert(sizeof(REBUILD_VOLUME_TALU_MGMT_IOCTL) == 50);
static_assert(offsetof(REBUILD_VOLUME_TALU_MGMT_IOCTL, volumeId) == 32);
static_assert(offsetof(REBUILD_VOLUME_TALU_MGMT_IOCTL, driveCount) == 48);

struct CHANGE_RAID_LAYOUT_TALU_MGMT_IOCTL {
  static constexpr std::uint32_t functionCode =
      FunctionCode(TaluManagementSetFunctionCode::ChangeRaidLayout);
  static constexpr std::size_t driveIdsOffset = 53;
  TALU_MGMT_IOCTL_HEADER header;
  vesk_guid volumeId;
  vesk_strip_size stripSize;
  vesk_raid_level raidLevel;
  std::uint16_t driveCount;
};
static_assert(sizeof(CHANGE_RAID_LAYOUT_TALU_MGMT_IOCTL) == 53);
static_assert(offsetof(CHANGE_RAID_LAYOUT_TALU_MGMT_IOCTL, volumeId) == 32);
static_assert(offsetof(CHANGE_RAID_LAYOUT_TALU_MGMT_IOCTL, stripSize) == 48);
static_assert(offsetof(CHANGE_RAID_LAYOUT_TALU_MGMT_IOCTL, raidLevel) == 50);
static_assert(offsetof(CHANGE_RAID_LAYOUT_TALU_MGMT_IOCTL, driveCount) == 51);

// The driver answers with the new volume's identifier; the answer layout is the create reader's.
struct CREATE_VOLUME_TALU_MGMT_IOCTL {
  static constexpr std::uint32_t functionCode =
      FunctionCode(TaluManagementSetFunctionCode::CreateVolume);
  static constexpr std::size_t driveIdsOffset = 94;
  TALU_MGMT_IOCTL_HEADER header;
  std::uint16_t driveCount;
  vesk_new_volume_parameters parameters;
};
static_assert(sizeof(CREATE_VOLUME_TALU_MGMT_IOCTL) == 94);
static_assert(offsetof(CREATE_VOLUME_TALU_MGMT_IOCTL, driveCount) == 32);
static_assert(offsetof(CREATE_VOLUME_TALU_MGMT_IOCTL, parameters) == 34);

// SANITIZE_DRIVE_TALU_MGMT_IOCTL carries one of two payloads over the same 41 bytes at 32.
struct SANITIZE_DRIVE_LEGACY_PAYLOAD {
  vesk_guid driveId;
  std::uint8_t action;  // bits 5-7: sanitize action; bits 0-4 zero
  std::uint8_t reserved[24];

  std::uint8_t Action() const { return GetBits(action, 5, 3); }
  void SetAction(std::uint8_t value) { action = SetBits(action, 5, 3, value); }
};
static_assert(sizeof(SANITIZE_DRIVE_LEGACY_PAYLOAD) == 41);
static_assert(offsetof(SANITIZE_DRIVE_LEGACY_PAYLOAD, driveId) == 0);
static_assert(offsetof(SANITIZE_DRIVE_LEGACY_PAYLOAD, action) == 16);
static_assert(offsetof(SANITIZE_DRIVE_LEGACY_PAYLOAD, reserved) == 17);

struct SANITIZE_DRIVE_PAYLOAD {
  std::uint8_t reserved[17];
  vesk_guid driveId;
  // bits 0-2 action, bit 3 option D, bits 4-7 option C, bit 8 option B, bit 9 option A.
  std::uint32_t options;
  std::uint32_t optionValue;

  std::uint8_t Action() const { return static_cast<std::uint8_t>(GetBits(options, 0, 3)); }
  bool OptionA() const { return GetBits(options, 9, 1); }
  bool OptionB() const { return GetBits(options, 8, 1); }
  std::uint8_t OptionC() const { return static_cast<std::uint8_t>(GetBits(options, 4, 4)); }
  bool OptionD() const { return GetBits(options, 3, 1); }
  void SetAction(std::uint8_t value) { options = SetBits(options, 0, 3, value); }
  void SetOptionA(bool on) { options = SetBits(options, 9, 1, on); }
  void SetOptionB(bool on) { options = SetBits(options, 8, 1, on); }
  void SetOptionC(std::uint8_t value) { options = SetBits(options, 4, 4, value); }
  void SetOptionD(bool on) { options = SetBits(options, 3, 1, on); }
};
static_assert(sizeof(SANITIZE_DRIVE_PAYLOAD) == 41);
static_assert(offsetof(SANITIZE_DRIVE_PAYLOAD, reserved) == 0);
static_assert(offsetof(SANITIZE_DRIVE_PAYLOAD, driveId) == 17);
static_assert(offsetof(SANITIZE_DRIVE_PAYLOAD, options) == 33);
static_assert(offsetof(SANITIZE_DRIVE_PAYLOAD, optionValue) == 37);

struct SANITIZE_DRIVE_TALU_MGMT_IOCTL {
  static constexpr std::uint32_t functionCode =
      FunctionCode(TaluManagementSetFunctionCode::SanitizeDrive);
  TALU_MGMT_IOCTL_HEADER header;
  union {
    SANITIZE_DRIVE_LEGACY_PAYLOAD legacy;
    SANITIZE_DRIVE_PAYLOAD current;
  };
};
static_assert(sizeof(SANITIZE_DRIVE_TALU_MGMT_IOCTL) == 73);
static_assert(offsetof(SANITIZE_DRIVE_TALU_MGMT_IOCTL, legacy) == 32);
static_assert(offsetof(SANITIZE_DRIVE_TALU_MGMT_IOCTL, current) == 32);

#pragma pack(pop)

}  // namespace Vesk
