// Words for the numbers the driver passes through, as a storage administrator reads them, and the
// parsing of what the user types.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "vesk/Types.h"

namespace veskctl {

// ASCII lower case, for matching what the user typed without regard to case.
std::string Lower(std::string text);

// Fixed-width driver text as it is shown: cut at the first NUL, trimmed of blanks.
std::string DriverText(const char* field, std::size_t width);

std::string RaidLevelName(std::uint8_t level);                          // "RAID 5"
std::optional<Vesk::vesk_raid_level> ParseRaidLevel(std::string text);  // "5", "raid5", "RAID10"
std::string ControllerTypeName(std::uint8_t type);                      // "SATA", "Dorn (NVMe)"
std::string DriveTypeName(std::uint8_t type);  // "SATA disk", "optical", "NVMe"
std::string VolumeStateName(std::uint8_t state);
std::string DriveStatusName(std::uint8_t status);
std::string DriveUsageName(std::uint8_t usage);
std::string CachePolicyName(std::uint8_t policy);
std::optional<std::uint8_t> ParseCachePolicy(
    const std::string& text);  // off|write-through|write-back
std::string RwhPolicyName(std::uint8_t policy);
std::optional<std::uint8_t> ParseRwhPolicy(const std::string& text);  // off|distributed|journaling
// A strip-size code 2^k is k-th power of two kibibytes.
std::string StripSizeText(std::uint16_t code);
// The strip size in bytes, as JSON gives every size.
inline std::uint64_t StripBytes(std::uint16_t code) { return std::uint64_t{code} * 1024; }
// "931.5 GiB"
std::string HumanBytes(std::uint64_t bytes);
std::optional<bool> ParseOnOff(const std::string& text);
// A name as it is typed into a shell: as it is when that is safe, else in single quotes.
std::string QuotedArgument(const std::string& name);

// A driver status in words: its name and a one-line reason. The table is the simulated RAID
// driver's (docs/simulator.md lists the same names and texts); a status it does not know is
// "Unknown".
struct DriverStatusWords {
  std::uint16_t status;
  const char* name;
  const char* text;
};
std::span<const DriverStatusWords> DriverStatusTable();
DriverStatusWords WordsForDriverStatus(std::uint32_t status);

// The driver's own numbers that veskctl reasons with (the values `show` names).
namespace state {
inline constexpr std::uint8_t kNormal = 0, kDegraded = 1, kFailed = 2, kInitializing = 3,
                              kVerifying = 4, kVerifyingAndFixing = 5, kRebuilding = 6,
                              kMigrating = 7;
}
namespace usage {
inline constexpr std::uint8_t kPassThrough = 0, kMember = 1, kSpare = 2, kJournaling = 3,
                              kForeign = 4;
}
namespace drive_status {
inline constexpr std::uint8_t kNormal = 0, kOffline = 1, kMissing = 2, kFailed = 3,
                              kSmartEvent = 4;
}

}  // namespace veskctl
