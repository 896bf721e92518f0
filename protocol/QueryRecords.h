// Wire records of the query requests and their answers, for every management API version.
//
// Offsets inside a request buffer are counted from its first byte: the 32-byte framing (the
// SRB_IO_CONTROL header and the API-version field) comes first and the driver's answer overwrites
// the buffer from 32 on. The request payloads are defined here; protocol/QueryRequestRecords.h
// puts the framing in front of them. Records are packed and little-endian; the
// layout of each one is pinned by static_asserts. Flag bits are read through accessors, never
// through C bit-fields, whose layout is the compiler's choice. docs/protocol.md has the tables.
//
// API version index 0..3 selects the layout: management specification 1.0..4.0. Names ending in
// _4_0 are the current layouts; older ones are widened to them by protocol/QueryReaders.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "vesk/Types.h"

namespace Vesk {

inline constexpr std::uint32_t kApiVersionCount = 4;

// Offsets shared by every query answer.
inline constexpr std::size_t kAnswerOffset = 32;
inline constexpr std::size_t kListCountOffset = 32;          // u16 entry count of a list answer
inline constexpr std::size_t kListEntriesOffset = 34;        // first entry of a list answer
inline constexpr std::size_t kCapabilitiesCountOffset = 32;  // u8 descriptor count
inline constexpr std::size_t kCapabilitiesDescriptorsOffset = 33;  // first descriptor

// Request lengths the readers are built for.
inline constexpr std::size_t kExecutorInformationLength = 72;
inline constexpr std::size_t kControllerIdentifiersLength = 4130;  // 256 identifiers
inline constexpr std::size_t kCapabilitiesLength = 343;
inline constexpr std::size_t kLegacyCapabilitiesLength = 83;
inline constexpr std::size_t kDriveListLength = 131072;
inline constexpr std::size_t kMaxCapabilityDescriptors = 5;

// Entry sizes by API version index.
inline constexpr std::array<std::size_t, kApiVersionCount> kControllerInfoSize = {335, 370, 370,
                                                                                  403};
// Drivers of 1.0 and 2.0 send 94-byte volume entries (the request is sized for them); the reader
// widens them to the 98-byte form.
inline constexpr std::array<std::size_t, kApiVersionCount> kVolumeInfoSize = {94, 94, 98, 98};
inline constexpr std::array<std::size_t, kApiVersionCount> kDriveInfoSize = {167, 206, 207, 258};
inline constexpr std::size_t kArrayInfoSize = 53;
inline constexpr std::size_t kIdentifierSize = 16;

namespace query_bits {
inline constexpr bool Bit(std::uint8_t byte, unsigned bit) { return (byte >> bit) & 1u; }
inline constexpr void SetBit(std::uint8_t& byte, unsigned bit, bool on) {
  byte = static_cast<std::uint8_t>(on ? byte | (1u << bit) : byte & ~(1u << bit));
}
}  // namespace query_bits

#pragma pack(push, 1)

// ---------------------------------------------------------------------------------------------
// Request payloads (from offset 32); protocol/QueryRequestRecords.h puts the framing before them.
// ---------------------------------------------------------------------------------------------

// Identifier and information queries: 17 bytes at 32, making a 49-byte request record. The answer
// overwrites these bytes.
struct _vesk_scope_query {
  std::uint8_t scope;  // bits 0-2 scope type, bits 3-7 zero
  vesk_guid id;

  vesk_scope_type ScopeType() const { return static_cast<vesk_scope_type>(scope & 0x07); }
  void SetScopeType(vesk_scope_type type) { scope = static_cast<std::uint8_t>(type & 0x07); }
};
static_assert(sizeof(_vesk_scope_query) == 17);
static_assert(offsetof(_vesk_scope_query, scope) == 0);
static_assert(offsetof(_vesk_scope_query, id) == 1);

// Capabilities queries (current and legacy): the controller identifier at 32, no scope byte.
struct _vesk_capabilities_query {
  vesk_guid controllerId;
};
static_assert(sizeof(_vesk_capabilities_query) == 16);
static_assert(offsetof(_vesk_capabilities_query, controllerId) == 0);

// ---------------------------------------------------------------------------------------------
// Executor information: the 40 answer bytes from offset 32 of a 72-byte request.
// ---------------------------------------------------------------------------------------------
struct _vesk_executor_information {
  vesk_version_duo specificationVersion;  // major 1..4, minor 0 are the versions spoken
  std::uint8_t carried4[12];
  std::uint8_t carried16[16];
  std::uint8_t carried32[8];
};
static_assert(sizeof(_vesk_executor_information) == 40);
static_assert(offsetof(_vesk_executor_information, specificationVersion) == 0);
static_assert(offsetof(_vesk_executor_information, carried4) == 4);
static_assert(offsetof(_vesk_executor_information, carried16) == 16);
static_assert(offsetof(_vesk_executor_information, carried32) == 32);

// ---------------------------------------------------------------------------------------------
// Controller information. Entries start at 34 after the u16 count.
// ---------------------------------------------------------------------------------------------

// The fields the three layouts share (offsets 0-334 of every layout). Byte 279 and byte 302 hold
// flags whose other bits the reader clears when it widens an older record.
#define VESK_CONTROLLER_INFO_COMMON_FIELDS                                                       \
  vesk_guid id;                                                                                  \
  char name[256];                                                                                \
  std::uint16_t vendorId;                                                                        \
  std::uint16_t deviceId;                                                                        \
  std::uint16_t subsystemId;                                                                     \
  std::uint8_t hardwareRevision;                                                                 \
  std::uint8_t driverFlags; /* bit 7 preosDriverLoaded */                                        \
  vesk_version_quad osDriverVersion;                                                             \
  vesk_version_quad preosDriverVersion;                                                          \
  std::uint16_t maxVolumesPerArray;                                                              \
  std::uint16_t maxVolumesPerController;                                                         \
  std::uint16_t maxDrivesPerController;                                                          \
  std::uint8_t policyFlags; /* bit 6 readPatrolEnabled, bit 7 rohiEnabled */                     \
  std::uint8_t type;        /* vesk_controller_type */                                           \
  std::uint8_t modeByte;    /* SATA: bits 5-7 mode */                                            \
  std::uint8_t reserved305[3];                                                                   \
  std::uint8_t carried308[27];                                                                   \
                                                                                                 \
  bool PreosDriverLoaded() const { return query_bits::Bit(driverFlags, 7); }                     \
  void SetPreosDriverLoaded(bool on) { query_bits::SetBit(driverFlags, 7, on); }                 \
  bool ReadPatrolEnabled() const { return query_bits::Bit(policyFlags, 6); }                     \
  void SetReadPatrolEnabled(bool on) { query_bits::SetBit(policyFlags, 6, on); }                 \
  bool RohiEnabled() const { return query_bits::Bit(policyFlags, 7); }                           \
  void SetRohiEnabled(bool on) { query_bits::SetBit(policyFlags, 7, on); }                       \
  vesk_controller_mode Mode() const { return static_cast<vesk_controller_mode>(modeByte >> 5); } \
  void SetMode(vesk_controller_mode mode) {                                                      \
    modeByte = static_cast<std::uint8_t>((modeByte & 0x1F) | ((mode & 0x07) << 5));              \
  }

#define VESK_CONTROLLER_INFO_COMMON_ASSERTS(T)                \
  static_assert(offsetof(T, id) == 0);                        \
  static_assert(offsetof(T, name) == 16);                     \
  static_assert(offsetof(T, vendorId) == 272);                \
  static_assert(offsetof(T, deviceId) == 274);                \
  static_assert(offsetof(T, subsystemId) == 276);             \
  static_assert(offsetof(T, hardwareRevision) == 278);        \
  static_assert(offsetof(T, driverFlags) == 279);             \
  static_assert(offsetof(T, osDriverVersion) == 280);         \
  static_assert(offsetof(T, preosDriverVersion) == 288);      \
  static_assert(offsetof(T, maxVolumesPerArray) == 296);      \
  static_assert(offsetof(T, maxVolumesPerController) == 298); \
  static_assert(offsetof(T, maxDrivesPerController) == 300);  \
  static_assert(offsetof(T, policyFlags) == 302);             \
  static_assert(offsetof(T, type) == 303);                    \
  static_assert(offsetof(T, modeByte) == 304);                \
  static_assert(offsetof(T, reserved305) == 305);             \
  static_assert(offsetof(T, carried308) == 308)

// Specification 1.0 (API 0): 335 bytes.
struct _vesk_controller_info_1_0 {
  VESK_CONTROLLER_INFO_COMMON_FIELDS
};
static_assert(sizeof(_vesk_controller_info_1_0) == 335);
VESK_CONTROLLER_INFO_COMMON_ASSERTS(_vesk_controller_info_1_0);

// Specifications 2.0 and 3.0 (API 1 and 2): 370 bytes.
struct _vesk_controller_info_2_0 {
  VESK_CONTROLLER_INFO_COMMON_FIELDS
  char carriedText[30];
  std::uint8_t carried365;
  std::uint32_t carried366;
};
static_assert(sizeof(_vesk_controller_info_2_0) == 370);
VESK_CONTROLLER_INFO_COMMON_ASSERTS(_vesk_controller_info_2_0);
static_assert(offsetof(_vesk_controller_info_2_0, carriedText) == 335);
static_assert(offsetof(_vesk_controller_info_2_0, carried365) == 365);
static_assert(offsetof(_vesk_controller_info_2_0, carried366) == 366);

// Specification 4.0 (API 3): 403 bytes, the form every reader returns.
struct _vesk_controller_info_4_0 {
  VESK_CONTROLLER_INFO_COMMON_FIELDS
  char carriedText[30];
  std::uint8_t carried365;
  std::uint32_t carried366;
  std::uint8_t carried370[33];
};
static_assert(sizeof(_vesk_controller_info_4_0) == 403);
VESK_CONTROLLER_INFO_COMMON_ASSERTS(_vesk_controller_info_4_0);
static_assert(offsetof(_vesk_controller_info_4_0, carriedText) == 335);
static_assert(offsetof(_vesk_controller_info_4_0, carried365) == 365);
static_assert(offsetof(_vesk_controller_info_4_0, carried366) == 366);
static_assert(offsetof(_vesk_controller_info_4_0, carried370) == 370);

#undef VESK_CONTROLLER_INFO_COMMON_FIELDS
#undef VESK_CONTROLLER_INFO_COMMON_ASSERTS

// ---------------------------------------------------------------------------------------------
// Controller capabilities. A u8 count at 32, then the RAID-level descriptors from 33.
// ---------------------------------------------------------------------------------------------

// The fixed 10-byte head of a RAID-level descriptor; the whole descriptor in the legacy form. In
// the current form a u16 migration count and that many migration descriptors follow it.
struct _vesk_raid_level_descriptor_4_0 {
  std::uint8_t level;  // vesk_raid_level
  std::uint16_t minDrivesCount;
  std::uint16_t maxDrivesCount;
  std::uint8_t driveCountFlags;  // bit 6 oddDriveCount, bit 7 evenDriveCount
  std::uint16_t defaultStripSize;
  std::uint16_t supportedStripSizes;  // bit i: strip-size code 2^i, i = 0..14

  bool OddDriveCount() const { return query_bits::Bit(driveCountFlags, 6); }
  void SetOddDriveCount(bool on) { query_bits::SetBit(driveCountFlags, 6, on); }
  bool EvenDriveCount() const { return query_bits::Bit(driveCountFlags, 7); }
  void SetEvenDriveCount(bool on) { query_bits::SetBit(driveCountFlags, 7, on); }
  bool SupportsStripSize(unsigned bit) const {
    return bit < 15 && ((supportedStripSizes >> bit) & 1u);
  }
};
static_assert(sizeof(_vesk_raid_level_descriptor_4_0) == 10);
static_assert(offsetof(_vesk_raid_level_descriptor_4_0, level) == 0);
static_assert(offsetof(_vesk_raid_level_descriptor_4_0, minDrivesCount) == 1);
static_assert(offsetof(_vesk_raid_level_descriptor_4_0, maxDrivesCount) == 3);
static_assert(offsetof(_vesk_raid_level_descriptor_4_0, driveCountFlags) == 5);
static_assert(offsetof(_vesk_raid_level_descriptor_4_0, defaultStripSize) == 6);
static_assert(offsetof(_vesk_raid_level_descriptor_4_0, supportedStripSizes) == 8);
inline constexpr std::size_t kMigrationCountOffset = 10;  // u16, current form only
inline constexpr std::size_t kMigrationListOffset = 12;

// Same two bytes as the native vesk_migration_descriptor.
struct _vesk_migration_descriptor_4_0 {
  std::uint8_t targetRaidLevel;  // vesk_raid_level
  std::uint8_t minAdditionalDriveCount;
  bool operator==(const _vesk_migration_descriptor_4_0&) const = default;
};
static_assert(sizeof(_vesk_migration_descriptor_4_0) == 2);
static_assert(offsetof(_vesk_migration_descriptor_4_0, targetRaidLevel) == 0);
static_assert(offsetof(_vesk_migration_descriptor_4_0, minAdditionalDriveCount) == 1);

// ---------------------------------------------------------------------------------------------
// Array information: 53-byte entries in every version.
// ---------------------------------------------------------------------------------------------
struct _vesk_array_info_4_0 {
  vesk_guid id;
  char name[20];
  std::uint64_t totalSize;
  std::uint64_t freeSize;
  std::uint8_t flags;  // bit 7 writeCacheEnabled

  bool WriteCacheEnabled() const { return query_bits::Bit(flags, 7); }
  void SetWriteCacheEnabled(bool on) { query_bits::SetBit(flags, 7, on); }
};
static_assert(sizeof(_vesk_array_info_4_0) == 53);
static_assert(offsetof(_vesk_array_info_4_0, id) == 0);
static_assert(offsetof(_vesk_array_info_4_0, name) == 16);
static_assert(offsetof(_vesk_array_info_4_0, totalSize) == 36);
static_assert(offsetof(_vesk_array_info_4_0, freeSize) == 44);
static_assert(offsetof(_vesk_array_info_4_0, flags) == 52);

// ---------------------------------------------------------------------------------------------
// Volume information: 94-byte entries for specifications 1.0 and 2.0, 98 from 3.0 on.
// ---------------------------------------------------------------------------------------------
#define VESK_VOLUME_INFO_COMMON_FIELDS                                                        \
  vesk_guid id;                                                                               \
  vesk_guid arrayId;                                                                          \
  std::uint8_t arrayOrdinal;                                                                  \
  char name[16];                                                                              \
  std::uint8_t state;     /* vesk_volume_state */                                             \
  std::uint8_t raidLevel; /* vesk_raid_level */                                               \
  std::uint64_t size;                                                                         \
  std::uint16_t stripSize; /* vesk_strip_size */                                              \
  std::uint8_t numberOfDrives;                                                                \
  std::uint16_t migrationProgress;                                                            \
  std::uint8_t flags; /* bit 5 systemVolume, bit 6 migrating, bit 7 initialized */            \
  std::uint32_t verifyErrors;                                                                 \
  std::uint32_t verifyBadBlocks;                                                              \
  std::uint32_t logicalBlockSize;                                                             \
  std::uint8_t policies; /* bits 0-3 rwhPolicy, bits 4-7 cachePolicy */                       \
  vesk_guid journalingDriveId;                                                                \
                                                                                              \
  bool SystemVolume() const { return query_bits::Bit(flags, 5); }                             \
  bool Migrating() const { return query_bits::Bit(flags, 6); }                                \
  bool Initialized() const { return query_bits::Bit(flags, 7); }                              \
  vesk_rwh_policy RwhPolicy() const { return static_cast<vesk_rwh_policy>(policies & 0x0F); } \
  vesk_volume_cache_policy CachePolicy() const {                                              \
    return static_cast<vesk_volume_cache_policy>(policies >> 4);                              \
  }

#define VESK_VOLUME_INFO_COMMON_ASSERTS(T)             \
  static_assert(offsetof(T, id) == 0);                 \
  static_assert(offsetof(T, arrayId) == 16);           \
  static_assert(offsetof(T, arrayOrdinal) == 32);      \
  static_assert(offsetof(T, name) == 33);              \
  static_assert(offsetof(T, state) == 49);             \
  static_assert(offsetof(T, raidLevel) == 50);         \
  static_assert(offsetof(T, size) == 51);              \
  static_assert(offsetof(T, stripSize) == 59);         \
  static_assert(offsetof(T, numberOfDrives) == 61);    \
  static_assert(offsetof(T, migrationProgress) == 62); \
  static_assert(offsetof(T, flags) == 64);             \
  static_assert(offsetof(T, verifyErrors) == 65);      \
  static_assert(offsetof(T, verifyBadBlocks) == 69);   \
  static_assert(offsetof(T, logicalBlockSize) == 73);  \
  static_assert(offsetof(T, policies) == 77);          \
  static_assert(offsetof(T, journalingDriveId) == 78)

struct _vesk_volume_info_1_0 {
  VESK_VOLUME_INFO_COMMON_FIELDS
};
static_assert(sizeof(_vesk_volume_info_1_0) == 94);
VESK_VOLUME_INFO_COMMON_ASSERTS(_vesk_volume_info_1_0);

struct _vesk_volume_info_4_0 {
  VESK_VOLUME_INFO_COMMON_FIELDS
  std::uint8_t carried94[4];
};
static_assert(sizeof(_vesk_volume_info_4_0) == 98);
VESK_VOLUME_INFO_COMMON_ASSERTS(_vesk_volume_info_4_0);
static_assert(offsetof(_vesk_volume_info_4_0, carried94) == 94);

#undef VESK_VOLUME_INFO_COMMON_FIELDS
#undef VESK_VOLUME_INFO_COMMON_ASSERTS

// ---------------------------------------------------------------------------------------------
// Drive information, current form (258 bytes). The 47 bytes from 138 depend on `type`.
// ---------------------------------------------------------------------------------------------

// Types 0 (optical, port only) and 1.
struct _vesk_sata_drive_info_4_0 {
  std::uint8_t portNumber;
  std::uint8_t linkByte;  // bits 0-5 negotiatedLinkRate, bit 6 isSsd, bit 7 ncqSupport
  std::uint8_t carried2[45];

  vesk_ata_negotiated_link_rate NegotiatedLinkRate() const {
    return static_cast<vesk_ata_negotiated_link_rate>(linkByte & 0x3F);
  }
  bool IsSsd() const { return query_bits::Bit(linkByte, 6); }
  bool NcqSupport() const { return query_bits::Bit(linkByte, 7); }
};
static_assert(sizeof(_vesk_sata_drive_info_4_0) == 47);
static_assert(offsetof(_vesk_sata_drive_info_4_0, portNumber) == 0);
static_assert(offsetof(_vesk_sata_drive_info_4_0, linkByte) == 1);
static_assert(offsetof(_vesk_sata_drive_info_4_0, carried2) == 2);

// Type 3: NVMe drive behind a Dorn controller. Offsets in the comments are those in the record.
struct _vesk_nvme_drive_info_4_0 {
  std::uint16_t vendorId;  // 138
  std::uint8_t
      flags;  // 140: bit 5 sbrAttached, bit 6 dualControllerOrder, bit 7 dualControllerNvme
  std::uint8_t carried141[8];
  std::uint16_t socketNumber;          // 149
  std::uint16_t dornControllerNumber;  // 151
  std::uint16_t rootPortOffset;        // 153
  std::uint64_t physicalSlotNumber;    // 155
  std::uint8_t negotiatedLinkRate;     // 163, vesk_pci_link_rate
  std::uint8_t negotiatedLinkWidth;    // 164
  std::uint8_t secondLinkRate;         // 165, carried
  std::uint8_t secondLinkWidth;        // 166, carried
  std::uint8_t carried167;
  std::uint16_t carried168;
  std::uint8_t carried170[15];

  bool SbrAttached() const { return query_bits::Bit(flags, 5); }
  vesk_dual_controller_order DualControllerOrder() const {
    return static_cast<vesk_dual_controller_order>(query_bits::Bit(flags, 6));
  }
  bool DualControllerNvme() const { return query_bits::Bit(flags, 7); }
};
static_assert(sizeof(_vesk_nvme_drive_info_4_0) == 47);
static_assert(offsetof(_vesk_nvme_drive_info_4_0, vendorId) == 138 - 138);
static_assert(offsetof(_vesk_nvme_drive_info_4_0, flags) == 140 - 138);
static_assert(offsetof(_vesk_nvme_drive_info_4_0, carried141) == 141 - 138);
static_assert(offsetof(_vesk_nvme_drive_info_4_0, socketNumber) == 149 - 138);
static_assert(offsetof(_vesk_nvme_drive_info_4_0, dornControllerNumber) == 151 - 138);
static_assert(offsetof(_vesk_nvme_drive_info_4_0, rootPortOffset) == 153 - 138);
static_assert(offsetof(_vesk_nvme_drive_info_4_0, physicalSlotNumber) == 155 - 138);
static_assert(offsetof(_vesk_nvme_drive_info_4_0, negotiatedLinkRate) == 163 - 138);
static_assert(offsetof(_vesk_nvme_drive_info_4_0, negotiatedLinkWidth) == 164 - 138);
static_assert(offsetof(_vesk_nvme_drive_info_4_0, secondLinkRate) == 165 - 138);
static_assert(offsetof(_vesk_nvme_drive_info_4_0, secondLinkWidth) == 166 - 138);
static_assert(offsetof(_vesk_nvme_drive_info_4_0, carried167) == 167 - 138);
static_assert(offsetof(_vesk_nvme_drive_info_4_0, carried168) == 168 - 138);
static_assert(offsetof(_vesk_nvme_drive_info_4_0, carried170) == 170 - 138);

// The drive-information fields up to `status`/`usage` (offsets 0-133) are the same in all forms.
#define VESK_DRIVE_INFO_HEAD_FIELDS                                                               \
  vesk_guid id;                                                                                   \
  vesk_guid arrayId;                                                                              \
  std::uint8_t controllerBytes[16]; /* older forms: the controller identifier; not interpreted */ \
  char serialNumber[20];                                                                          \
  char modelNumber[40];                                                                           \
  char firmwareRevision[8];                                                                       \
  std::uint64_t size; /* logical blocks */                                                        \
  std::uint32_t logicalBlockSize;                                                                 \
  std::uint32_t physicalBlockSize;                                                                \
  std::uint8_t status; /* vesk_drive_status */                                                    \
  std::uint8_t usage;  /* vesk_drive_usage */                                                     \
  std::uint8_t flags;  /* bits 2-7, see the accessors of _vesk_drive_info_4_0 */

#define VESK_DRIVE_INFO_HEAD_ASSERTS(T)                 \
  static_assert(offsetof(T, id) == 0);                  \
  static_assert(offsetof(T, arrayId) == 16);            \
  static_assert(offsetof(T, controllerBytes) == 32);    \
  static_assert(offsetof(T, serialNumber) == 48);       \
  static_assert(offsetof(T, modelNumber) == 68);        \
  static_assert(offsetof(T, firmwareRevision) == 108);  \
  static_assert(offsetof(T, size) == 116);              \
  static_assert(offsetof(T, logicalBlockSize) == 124);  \
  static_assert(offsetof(T, physicalBlockSize) == 128); \
  static_assert(offsetof(T, status) == 132);            \
  static_assert(offsetof(T, usage) == 133);             \
  static_assert(offsetof(T, flags) == 134)

struct _vesk_drive_info_4_0 {
  VESK_DRIVE_INFO_HEAD_FIELDS
  std::uint8_t volumeLocation0;
  std::uint8_t volumeLocation1;
  std::uint8_t type;  // vesk_drive_type; selects the member of the union
  union {
    _vesk_sata_drive_info_4_0 sata;
    _vesk_nvme_drive_info_4_0 nvme;
  };
  std::uint16_t carried185;
  char serviceLabel[30];
  std::uint8_t carried217;
  std::uint32_t carried218;
  std::uint8_t carried222[16];
  std::uint8_t carried238;         // 0xFF when the driver's form lacks it
  std::uint8_t encryptionAbility;  // vesk_encryption_ability
  std::uint8_t encryptionStatus;   // vesk_encryption_status
  std::uint8_t carried241[17];

  bool ContainsPartition() const { return query_bits::Bit(flags, 2); }
  bool LedActive() const { return query_bits::Bit(flags, 3); }
  bool WriteCacheEnabled() const { return query_bits::Bit(flags, 4); }
  bool PreBootVisible() const { return query_bits::Bit(flags, 5); }
  bool ActivateLedSupport() const { return query_bits::Bit(flags, 6); }
  bool SystemDrive() const { return query_bits::Bit(flags, 7); }
};
static_assert(sizeof(_vesk_drive_info_4_0) == 258);
VESK_DRIVE_INFO_HEAD_ASSERTS(_vesk_drive_info_4_0);
static_assert(offsetof(_vesk_drive_info_4_0, volumeLocation0) == 135);
static_assert(offsetof(_vesk_drive_info_4_0, volumeLocation1) == 136);
static_assert(offsetof(_vesk_drive_info_4_0, type) == 137);
static_assert(offsetof(_vesk_drive_info_4_0, sata) == 138);
static_assert(offsetof(_vesk_drive_info_4_0, nvme) == 138);
static_assert(offsetof(_vesk_drive_info_4_0, carried185) == 185);
static_assert(offsetof(_vesk_drive_info_4_0, serviceLabel) == 187);
static_assert(offsetof(_vesk_drive_info_4_0, carried217) == 217);
static_assert(offsetof(_vesk_drive_info_4_0, carried218) == 218);
static_assert(offsetof(_vesk_drive_info_4_0, carried222) == 222);
static_assert(offsetof(_vesk_drive_info_4_0, carried238) == 238);
static_assert(offsetof(_vesk_drive_info_4_0, encryptionAbility) == 239);
static_assert(offsetof(_vesk_drive_info_4_0, encryptionStatus) == 240);
static_assert(offsetof(_vesk_drive_info_4_0, carried241) == 241);

// ---------------------------------------------------------------------------------------------
// Drive information, older forms. Their 31-byte type-specific part starts at 138 in 2.0 and 3.0
// and at 136 in 1.0, which has no volume-location bytes.
// ---------------------------------------------------------------------------------------------

// Types 0 and 1.
struct _vesk_legacy_sata_drive_info {
  std::uint8_t portNumber;
  std::uint8_t linkByte;
  std::uint8_t unused[29];
};
static_assert(sizeof(_vesk_legacy_sata_drive_info) == 31);
static_assert(offsetof(_vesk_legacy_sata_drive_info, portNumber) == 0);
static_assert(offsetof(_vesk_legacy_sata_drive_info, linkByte) == 1);
static_assert(offsetof(_vesk_legacy_sata_drive_info, unused) == 2);

// Type 2: the older NVMe form, read as type 3. Each link byte packs a 3-bit rate (bits 0-2) and a
// width (bits 3-7). Comment offsets are those of 2.0 and 3.0.
struct _vesk_legacy_nvme_drive_info {
  std::uint16_t vendorId;  // 138
  std::uint8_t flags;      // 140, bits 5-7 as in the current form
  std::uint8_t carried141[8];
  std::uint8_t link;        // 149
  std::uint8_t secondLink;  // 150
  std::uint8_t carried151;
  std::uint16_t carried152;
  std::uint8_t unused[15];
};
static_assert(sizeof(_vesk_legacy_nvme_drive_info) == 31);
static_assert(offsetof(_vesk_legacy_nvme_drive_info, vendorId) == 138 - 138);
static_assert(offsetof(_vesk_legacy_nvme_drive_info, flags) == 140 - 138);
static_assert(offsetof(_vesk_legacy_nvme_drive_info, carried141) == 141 - 138);
static_assert(offsetof(_vesk_legacy_nvme_drive_info, link) == 149 - 138);
static_assert(offsetof(_vesk_legacy_nvme_drive_info, secondLink) == 150 - 138);
static_assert(offsetof(_vesk_legacy_nvme_drive_info, carried151) == 151 - 138);
static_assert(offsetof(_vesk_legacy_nvme_drive_info, carried152) == 152 - 138);
static_assert(offsetof(_vesk_legacy_nvme_drive_info, unused) == 154 - 138);

// Type 3: NVMe behind a Dorn controller, with packed link bytes.
struct _vesk_legacy_dorn_drive_info {
  std::uint16_t vendorId;  // 138
  std::uint8_t flags;      // 140
  std::uint8_t carried141[8];
  std::uint16_t socketNumber;          // 149
  std::uint16_t dornControllerNumber;  // 151
  std::uint16_t rootPortOffset;        // 153
  std::uint64_t physicalSlotNumber;    // 155
  std::uint8_t link;                   // 163
  std::uint8_t secondLink;             // 164
  std::uint8_t carried165;
  std::uint16_t carried166;
  std::uint8_t unused;  // 168
};
static_assert(sizeof(_vesk_legacy_dorn_drive_info) == 31);
static_assert(offsetof(_vesk_legacy_dorn_drive_info, vendorId) == 138 - 138);
static_assert(offsetof(_vesk_legacy_dorn_drive_info, flags) == 140 - 138);
static_assert(offsetof(_vesk_legacy_dorn_drive_info, carried141) == 141 - 138);
static_assert(offsetof(_vesk_legacy_dorn_drive_info, socketNumber) == 149 - 138);
static_assert(offsetof(_vesk_legacy_dorn_drive_info, dornControllerNumber) == 151 - 138);
static_assert(offsetof(_vesk_legacy_dorn_drive_info, rootPortOffset) == 153 - 138);
static_assert(offsetof(_vesk_legacy_dorn_drive_info, physicalSlotNumber) == 155 - 138);
static_assert(offsetof(_vesk_legacy_dorn_drive_info, link) == 163 - 138);
static_assert(offsetof(_vesk_legacy_dorn_drive_info, secondLink) == 164 - 138);
static_assert(offsetof(_vesk_legacy_dorn_drive_info, carried165) == 165 - 138);
static_assert(offsetof(_vesk_legacy_dorn_drive_info, carried166) == 166 - 138);
static_assert(offsetof(_vesk_legacy_dorn_drive_info, unused) == 168 - 138);

union _vesk_legacy_drive_connection {
  _vesk_legacy_sata_drive_info sata;
  _vesk_legacy_nvme_drive_info nvme;
  _vesk_legacy_dorn_drive_info dorn;
};
static_assert(sizeof(_vesk_legacy_drive_connection) == 31);

// Specification 1.0 (API 0): 167 bytes.
struct _vesk_drive_info_1_0 {
  VESK_DRIVE_INFO_HEAD_FIELDS
  std::uint8_t type;
  _vesk_legacy_drive_connection connection;
};
static_assert(sizeof(_vesk_drive_info_1_0) == 167);
VESK_DRIVE_INFO_HEAD_ASSERTS(_vesk_drive_info_1_0);
static_assert(offsetof(_vesk_drive_info_1_0, type) == 135);
static_assert(offsetof(_vesk_drive_info_1_0, connection) == 136);

// Specification 2.0 (API 1): 206 bytes; 3.0 (API 2) adds one byte.
#define VESK_DRIVE_INFO_2_0_FIELDS          \
  VESK_DRIVE_INFO_HEAD_FIELDS               \
  std::uint8_t volumeLocation0;             \
  std::uint8_t volumeLocation1;             \
  std::uint8_t type;                        \
  _vesk_legacy_drive_connection connection; \
  std::uint16_t carried169;                 \
  std::uint8_t unused171[30];               \
  std::uint8_t carried201;                  \
  std::uint32_t carried202;

#define VESK_DRIVE_INFO_2_0_ASSERTS(T)                \
  VESK_DRIVE_INFO_HEAD_ASSERTS(T);                    \
  static_assert(offsetof(T, volumeLocation0) == 135); \
  static_assert(offsetof(T, volumeLocation1) == 136); \
  static_assert(offsetof(T, type) == 137);            \
  static_assert(offsetof(T, connection) == 138);      \
  static_assert(offsetof(T, carried169) == 169);      \
  static_assert(offsetof(T, unused171) == 171);       \
  static_assert(offsetof(T, carried201) == 201);      \
  static_assert(offsetof(T, carried202) == 202)

struct _vesk_drive_info_2_0 {
  VESK_DRIVE_INFO_2_0_FIELDS
};
static_assert(sizeof(_vesk_drive_info_2_0) == 206);
VESK_DRIVE_INFO_2_0_ASSERTS(_vesk_drive_info_2_0);

struct _vesk_drive_info_3_0 {
  VESK_DRIVE_INFO_2_0_FIELDS
  std::uint8_t carried206;
};
static_assert(sizeof(_vesk_drive_info_3_0) == 207);
VESK_DRIVE_INFO_2_0_ASSERTS(_vesk_drive_info_3_0);
static_assert(offsetof(_vesk_drive_info_3_0, carried206) == 206);

#undef VESK_DRIVE_INFO_2_0_FIELDS
#undef VESK_DRIVE_INFO_2_0_ASSERTS
#undef VESK_DRIVE_INFO_HEAD_FIELDS
#undef VESK_DRIVE_INFO_HEAD_ASSERTS

#pragma pack(pop)

}  // namespace Vesk
