// The request side of the driver's queries: each record is the management framing followed by the
// fields the library writes. The answers overwrite the buffer from offset 32 on and are longer than
// these records; their layouts and readers are in protocol/QueryRecords.h and
// protocol/QueryReaders.h, whose request payloads these records carry.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/Framing.h"
#include "protocol/QueryRecords.h"
#include "vesk/Types.h"

namespace Vesk {

#pragma pack(push, 1)

// Identifier and information queries: a scope byte and an identifier at 32 (49 bytes in all). The
// answer's u16 count lands at 32 over the scope byte.
#define VESK_SCOPE_QUERY(RECORD, CODE)                     \
  struct RECORD {                                          \
    static constexpr std::uint32_t functionCode =          \
        FunctionCode(TaluManagementGetFunctionCode::CODE); \
    TALU_MGMT_IOCTL_HEADER header;                         \
    union {                                                \
      _vesk_scope_query query;                             \
      std::uint16_t count; /* of the answer's entries */   \
    };                                                     \
  };                                                       \
  static_assert(sizeof(RECORD) == 49);                     \
  static_assert(offsetof(RECORD, query) == 32);            \
  static_assert(offsetof(RECORD, count) == 32)

VESK_SCOPE_QUERY(GET_CONTROLLER_INFO_TALU_MGMT_IOCTL, GetControllerInfo);
VESK_SCOPE_QUERY(GET_CONTROLLER_IDENTIFIERS_MGMT_IOCTL, GetControllerIdentifiers);
VESK_SCOPE_QUERY(GET_DRIVE_INFO_TALU_MGMT_IOCTL, GetDriveInfo);
VESK_SCOPE_QUERY(GET_DRIVE_IDENTIFIERS_MGMT_IOCTL, GetDriveIdentifiers);
VESK_SCOPE_QUERY(GET_VOLUME_INFO_TALU_MGMT_IOCTL, GetVolumeInfo);
VESK_SCOPE_QUERY(GET_VOLUME_IDENTIFIERS_MGMT_IOCTL, GetVolumeIdentifiers);
VESK_SCOPE_QUERY(GET_ARRAY_INFO_TALU_MGMT_IOCTL, GetArrayInfo);
VESK_SCOPE_QUERY(GET_ARRAY_IDENTIFIERS_MGMT_IOCTL, GetArrayIdentifiers);
#undef VESK_SCOPE_QUERY

// Capabilities, current (API version 1, 343-byte buffer) and legacy (API version 0, 83-byte
// buffer) alike: the controller identifier at 32, no scope byte. The answer starts at 32 with the
// descriptor count.
struct GET_CONTROLLER_CAPABILITIES_TALU_MGMT_IOCTL {
  static constexpr std::uint32_t functionCode =
      FunctionCode(TaluManagementGetFunctionCode::GetControllerCapabilities);
  static constexpr std::uint32_t bufferLength = 343;
  static constexpr std::uint32_t legacyBufferLength = 83;
  TALU_MGMT_IOCTL_HEADER header;
  _vesk_capabilities_query query;
};
static_assert(sizeof(GET_CONTROLLER_CAPABILITIES_TALU_MGMT_IOCTL) == 48);
static_assert(offsetof(GET_CONTROLLER_CAPABILITIES_TALU_MGMT_IOCTL, query) == 32);

// No request fields; the driver's answer follows the framing.
struct GET_EXECUTOR_INFORMATION_MGMT_IOCTL {
  static constexpr std::uint32_t functionCode =
      FunctionCode(TaluManagementGetFunctionCode::GetExecutorInformation);
  TALU_MGMT_IOCTL_HEADER header;
  _vesk_executor_information answer;
};
static_assert(sizeof(GET_EXECUTOR_INFORMATION_MGMT_IOCTL) == 72);
static_assert(offsetof(GET_EXECUTOR_INFORMATION_MGMT_IOCTL, answer) == 32);

#pragma pack(pop)

}  // namespace Vesk
