// Out-of-band pass-through payloads. They travel under the signature "TALU OOB" right behind the
// bare SRB_IO_CONTROL header (no API-version field), and their success is decided by the device
// call alone: the header's return code is not a status for them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/Framing.h"

namespace Vesk::OOB {

#pragma pack(push, 1)

// These reuse the management code space under their own signature.
struct ControlIoctlPayload {
  static constexpr std::uint32_t functionCode = TaluControlCode(2, 0);  // 0x48000
  std::uint32_t action;
};
static_assert(sizeof(ControlIoctlPayload) == 4);

struct SendDataIoctlPayload {
  static constexpr std::uint32_t functionCode = TaluControlCode(2, 1);  // 0x48004
  std::uint8_t data[64];
  std::uint32_t value;
};
static_assert(sizeof(SendDataIoctlPayload) == 68);
static_assert(offsetof(SendDataIoctlPayload, value) == 64);

// Filled by the driver; the library sends it all zero.
struct ReceiveDataIoctlPayload {
  static constexpr std::uint32_t functionCode = TaluControlCode(1, 0);  // 0x44000
  std::uint8_t data[68];
};
static_assert(sizeof(ReceiveDataIoctlPayload) == 68);

#pragma pack(pop)

static_assert(ControlIoctlPayload::functionCode == 0x48000);
static_assert(SendDataIoctlPayload::functionCode == 0x48004);
static_assert(ReceiveDataIoctlPayload::functionCode == 0x44000);
static_assert(sizeof(OOB_IOCTL<ControlIoctlPayload>) == 32);
static_assert(offsetof(OOB_IOCTL<ControlIoctlPayload>, payload) == kOobPayloadOffset);
static_assert(sizeof(OOB_IOCTL<SendDataIoctlPayload>) == 96);
static_assert(offsetof(OOB_IOCTL<SendDataIoctlPayload>, payload) == kOobPayloadOffset);
static_assert(sizeof(OOB_IOCTL<ReceiveDataIoctlPayload>) == 96);
static_assert(offsetof(OOB_IOCTL<ReceiveDataIoctlPayload>, payload) == kOobPayloadOffset);

}  // namespace Vesk::OOB
