// The description of a volume to create. The caller fills it and the library passes it unchanged
// inside the create-volume request, so it has the driver's byte layout.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vesk/Types.h"

namespace Vesk {

#pragma pack(push, 1)
struct vesk_new_volume_parameters {
  char name[16];  // ASCII, zero-padded; 16 characters fill it with no terminator
  vesk_strip_size stripSize;
  vesk_raid_level raidLevel;
  std::uint64_t size;
  // bit 2 initialize, bit 3 keepExistingData, bits 4-7 rwhPolicy; bits 0-1 zero. Use the accessors.
  std::uint8_t flags;
  vesk_guid keepExistingDriveId;  // vesk_invalid_guid when none
  vesk_guid journalingDriveId;    // vesk_invalid_guid when none

  bool Initialize() const { return (flags >> 2) & 1; }
  bool KeepExistingData() const { return (flags >> 3) & 1; }
  vesk_rwh_policy RwhPolicy() const { return static_cast<vesk_rwh_policy>(flags >> 4); }
  void SetInitialize(bool on) { flags = static_cast<std::uint8_t>((flags & ~0x04) | (on << 2)); }
  void SetKeepExistingData(bool on) {
    flags = static_cast<std::uint8_t>((flags & ~0x08) | (on << 3));
  }
  // Only the low four bits of the policy fit.
  void SetRwhPolicy(vesk_rwh_policy policy) {
    flags = static_cast<std::uint8_t>((flags & 0x0F) | ((policy & 0x0F) << 4));
  }
};
#pragma pack(pop)
static_assert(sizeof(vesk_new_volume_parameters) == 60);
static_assert(offsetof(vesk_new_volume_parameters, name) == 0);
static_assert(offsetof(vesk_new_volume_parameters, stripSize) == 16);
static_assert(offsetof(vesk_new_volume_parameters, raidLevel) == 18);
static_assert(offsetof(vesk_new_volume_parameters, size) == 19);
static_assert(offsetof(vesk_new_volume_parameters, flags) == 27);
static_assert(offsetof(vesk_new_volume_parameters, keepExistingDriveId) == 28);
static_assert(offsetof(vesk_new_volume_parameters, journalingDriveId) == 44);

}  // namespace Vesk
