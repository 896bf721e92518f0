// The enumerations of the user interface's Shared assembly. Each has the width and the numbering
// of its native counterpart, so a native value converts by number; only the values the managed
// face itself relies on are named.
#pragma once

#include <cstdint>

namespace VESK_Managed {

enum class vesk_status : std::uint32_t {
  Success = 0,
  InvalidNameLength = 257,  // CreateVolume: name longer than Volume::MaxNameLength; nothing sent
};

enum class vesk_controller_type : std::uint8_t { Sata = 0, Dorn = 2 };
enum class vesk_controller_mode : std::uint8_t {};
enum class vesk_drive_type : std::uint8_t { SataOptical = 0, SataDisk = 1, Nvme = 3 };
enum class vesk_raid_level : std::uint8_t {
  None = 0,
  Raid0 = 1,
  Raid1 = 2,
  Raid10 = 3,
  Raid5 = 4,
  Raid4 = 5,
};
enum class vesk_strip_size : std::uint16_t {};
enum class vesk_volume_state : std::uint8_t {};
enum class vesk_drive_status : std::uint8_t { Placeholder = 2 };
enum class vesk_drive_usage : std::uint8_t {};
enum class vesk_volume_cache_policy : std::uint8_t {};
enum class vesk_rwh_policy : std::uint8_t {};
enum class vesk_encryption_ability : std::uint8_t {};
enum class vesk_encryption_status : std::uint8_t {};
enum class vesk_ata_negotiated_link_rate : std::uint8_t {};
enum class vesk_pci_link_rate : std::uint8_t {};
enum class vesk_dual_controller_order : std::uint8_t {};

}  // namespace VESK_Managed
