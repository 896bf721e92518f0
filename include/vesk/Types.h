// Value types shared by every layer of Vesk: identifiers, driver status, versions, enumerations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace Vesk {

#pragma pack(push, 1)
// 128-bit identifier of a controller, array, volume or drive, stored exactly as it travels in
// driver requests and answers.
struct vesk_guid {
  std::uint32_t group1;
  std::uint16_t group2;
  std::uint16_t group3;
  std::uint16_t group4;  // bytes 8 and 9; compared as a number, so byte 9 is the more significant
  std::uint8_t group5[6];

  bool operator==(const vesk_guid& other) const {
    return group1 == other.group1 && group2 == other.group2 && group3 == other.group3 &&
           group4 == other.group4 && std::memcmp(group5, other.group5, sizeof group5) == 0;
  }
  bool operator!=(const vesk_guid& other) const { return !(*this == other); }
  // By group1, group2, group3, group4 as numbers, then group5 byte by byte: two comparisons of
  // 64-bit keys. Inline: every map of records and every diff compares identifiers many times per
  // element, and identifiers often differ only in their last bytes.
  bool operator<(const vesk_guid& other) const {
    const std::uint64_t high = HighKey();
    const std::uint64_t otherHigh = other.HighKey();
    if (high != otherHigh) return high < otherHigh;
    return LowKey() < other.LowKey();
  }
  bool operator>(const vesk_guid& other) const { return other < *this; }

  // True when this is the all-zero identifier that stands for "no identifier".
  bool IsEmpty() const;
  // "%08x-%04x-%04x-%04x-%02x%02x%02x%02x%02x%02x", lower-case, 36 characters.
  std::string ToString() const;

 private:
  std::uint64_t HighKey() const {
    return (std::uint64_t{group1} << 32) | (std::uint64_t{group2} << 16) | group3;
  }
  std::uint64_t LowKey() const {
    return (std::uint64_t{group4} << 48) | (std::uint64_t{group5[0]} << 40) |
           (std::uint64_t{group5[1]} << 32) | (std::uint64_t{group5[2]} << 24) |
           (std::uint64_t{group5[3]} << 16) | (std::uint64_t{group5[4]} << 8) | group5[5];
  }
};
static_assert(sizeof(vesk_guid) == 16);
static_assert(offsetof(vesk_guid, group4) == 8);
static_assert(offsetof(vesk_guid, group5) == 10);

struct vesk_version_quad {
  std::uint16_t major;
  std::uint16_t minor;
  std::uint16_t build;
  std::uint16_t revision;
  bool operator==(const vesk_version_quad&) const = default;
};
static_assert(sizeof(vesk_version_quad) == 8);

// Management-specification version; read as one little-endian u32 the low half is major.
struct vesk_version_duo {
  std::uint16_t major;
  std::uint16_t minor;
  bool operator==(const vesk_version_duo&) const = default;
};
static_assert(sizeof(vesk_version_duo) == 4);
#pragma pack(pop)

inline constexpr vesk_guid vesk_invalid_guid = {0, 0, 0, 0, {0, 0, 0, 0, 0, 0}};

// Driver status word of every management answer; 0 is success. 32 bits wide in memory.
enum vesk_status : std::uint32_t {
  VESK_STATUS_SUCCESS = 0,
  VESK_STATUS_BUFFER_TOO_SMALL = 4,   // whole-controller drive answer does not fit
  VESK_STATUS_TRANSPORT_FAILURE = 5,  // return code beyond 16 bits (set by the library)
  VESK_STATUS_INVALID_NAME_LENGTH =
      257,                            // managed create-volume name too long (set by the library)
  VESK_STATUS_DRIVE_NOT_FOUND = 264,  // single-drive query for a drive that is gone
};

// Enumerations carried by the native records. Only the values the library itself relies on are
// named; every other value is the driver's and passes through unchanged.
enum vesk_controller_type : std::uint8_t { VESK_CONTROLLER_SATA = 0, VESK_CONTROLLER_DORN = 2 };
enum vesk_controller_mode : std::uint8_t {};
enum vesk_drive_type : std::uint8_t {
  VESK_DRIVE_SATA_OPTICAL = 0,
  VESK_DRIVE_SATA_DISK = 1,
  VESK_DRIVE_NVME = 3,
};
enum vesk_raid_level : std::uint8_t {
  VESK_RAID_NONE = 0,  // an empty RAID-level descriptor slot
  VESK_RAID_0 = 1,
  VESK_RAID_1 = 2,
  VESK_RAID_10 = 3,
  VESK_RAID_5 = 4,
  VESK_RAID_4 = 5,
};
// Single-bit codes: code 2^k is supported when bit k of a descriptor's supportedStripSizes is set.
enum vesk_strip_size : std::uint16_t {};
enum vesk_volume_state : std::uint8_t {};
enum vesk_drive_status : std::uint8_t {};
enum vesk_drive_usage : std::uint8_t {};
enum vesk_volume_cache_policy : std::uint8_t {};
enum vesk_rwh_policy : std::uint8_t {};
enum vesk_encryption_ability : std::uint8_t {};
enum vesk_encryption_status : std::uint8_t {};
enum vesk_ata_negotiated_link_rate : std::uint8_t {};
enum vesk_pci_link_rate : std::uint8_t {};
enum vesk_dual_controller_order : std::uint8_t {};
enum vesk_scope_type : std::uint8_t {
  VESK_SCOPE_NONE = 0,
  VESK_SCOPE_CONTROLLER = 1,
  VESK_SCOPE_ARRAY = 2,
  VESK_SCOPE_VOLUME = 3,
  VESK_SCOPE_DRIVE = 4,
};

}  // namespace Vesk
