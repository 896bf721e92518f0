#include "tools/veskctl/base/Names.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace veskctl {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

namespace {
std::string Unknown(std::uint32_t value) { return "code " + std::to_string(value); }
}  // namespace

std::string DriverText(const char* field, std::size_t width) {
  std::string text(field, width);
  text.erase(std::find(text.begin(), text.end(), '\0'), text.end());
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string RaidLevelName(std::uint8_t level) {
  switch (level) {
    case Vesk::VESK_RAID_0:
      return "RAID 0";
    case Vesk::VESK_RAID_1:
      return "RAID 1";
    case Vesk::VESK_RAID_10:
      return "RAID 10";
    case Vesk::VESK_RAID_5:
      return "RAID 5";
    case Vesk::VESK_RAID_4:
      return "RAID 4";
    default:
      return "level " + std::to_string(level);
  }
}

std::optional<Vesk::vesk_raid_level> ParseRaidLevel(std::string text) {
  text = Lower(text);
  if (text.rfind("raid", 0) == 0) {
    text = text.substr(4);
    if (!text.empty() && (text[0] == ' ' || text[0] == '-')) text = text.substr(1);
  }
  if (text == "0") return Vesk::VESK_RAID_0;
  if (text == "1") return Vesk::VESK_RAID_1;
  if (text == "10") return Vesk::VESK_RAID_10;
  if (text == "5") return Vesk::VESK_RAID_5;
  if (text == "4") return Vesk::VESK_RAID_4;
  return std::nullopt;
}

std::string ControllerTypeName(std::uint8_t type) {
  switch (type) {
    case Vesk::VESK_CONTROLLER_SATA:
      return "SATA";
    case Vesk::VESK_CONTROLLER_DORN:
      return "Dorn (NVMe)";
    default:
      return Unknown(type);
  }
}

std::string DriveTypeName(std::uint8_t type) {
  switch (type) {
    case Vesk::VESK_DRIVE_SATA_OPTICAL:
      return "optical";
    case Vesk::VESK_DRIVE_SATA_DISK:
      return "SATA disk";
    case Vesk::VESK_DRIVE_NVME:
      return "NVMe";
    default:
      return Unknown(type);
  }
}

// The remaining enumerations are the driver's own numbers; these are the RAID driver's meanings.
std::string VolumeStateName(std::uint8_t state) {
  static const char* const names[] = {"normal",       "degraded",  "failed",
                                      "initializing", "verifying", "verifying and fixing",
                                      "rebuilding",   "migrating"};
  return state < std::size(names) ? names[state] : Unknown(state);
}

std::string DriveStatusName(std::uint8_t status) {
  static const char* const names[] = {"normal", "offline", "missing", "failed", "SMART event"};
  return status < std::size(names) ? names[status] : Unknown(status);
}

std::string DriveUsageName(std::uint8_t usage) {
  static const char* const names[] = {"pass-through", "array member", "spare", "journaling",
                                      "foreign metadata"};
  return usage < std::size(names) ? names[usage] : Unknown(usage);
}

std::string CachePolicyName(std::uint8_t policy) {
  switch (policy) {
    case 1:
      return "off";
    case 2:
      return "write-through";
    case 3:
      return "write-back";
    default:
      return Unknown(policy);
  }
}

std::optional<std::uint8_t> ParseCachePolicy(const std::string& text) {
  const std::string t = Lower(text);
  if (t == "off") return 1;
  if (t == "write-through" || t == "wt") return 2;
  if (t == "write-back" || t == "wb") return 3;
  if (!t.empty() && std::all_of(t.begin(), t.end(), ::isdigit) && t.size() < 4) {
    const int value = std::stoi(t);
    if (value <= 255) return static_cast<std::uint8_t>(value);
  }
  return std::nullopt;
}

std::string RwhPolicyName(std::uint8_t policy) {
  switch (policy) {
    case 0:
      return "off";
    case 1:
      return "distributed";
    case 2:
      return "journaling drive";
    default:
      return Unknown(policy);
  }
}

std::optional<std::uint8_t> ParseRwhPolicy(const std::string& text) {
  const std::string t = Lower(text);
  if (t == "off") return 0;
  if (t == "distributed") return 1;
  if (t == "journaling" || t == "journaling-drive") return 2;
  if (!t.empty() && std::all_of(t.begin(), t.end(), ::isdigit) && t.size() < 3) {
    return static_cast<std::uint8_t>(std::stoi(t));
  }
  return std::nullopt;
}

std::string StripSizeText(std::uint16_t code) {
  if (code == 0) return "n/a";
  if (code >= 1024 && code % 1024 == 0) return std::to_string(code / 1024) + " MiB";
  return std::to_string(code) + " KiB";
}

std::string HumanBytes(std::uint64_t bytes) {
  static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < std::size(units)) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  if (unit == 0) {
    std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
  } else {
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  }
  return text;
}

std::optional<bool> ParseOnOff(const std::string& text) {
  const std::string t = Lower(text);
  if (t == "on" || t == "enable" || t == "enabled" || t == "true" || t == "1") return true;
  if (t == "off" || t == "disable" || t == "disabled" || t == "false" || t == "0") return false;
  return std::nullopt;
}

namespace {
constexpr DriverStatusWords kDriverStatuses[] = {
    {0, "Success", "carried out"},
    {1, "InvalidRequest",
     "unknown signature or function code (query 7 included), request shorter than its record or "
     "its drive list"},
    {2, "UnsupportedApiVersion", "API-version field above 3"},
    {3, "InvalidScope",
     "scope type not allowed for the query, reserved scope bits set, or an identifier with scope "
     "0"},
    {4, "BufferTooSmall",
     "the answer does not fit the buffer (the whole-controller drive query among others)"},
    {6, "InvalidParameter",
     "a value out of range: policy, flag byte or reserved bits, strip size, RAID level, new size "
     "not larger, keep-existing-data drive not among the members, sanitize action, rate"},
    {7, "InvalidDriveCount",
     "drive count not allowed for the RAID level, an empty list, or a rebuild list that does not "
     "match the missing members (none when no member is missing)"},
    {8, "DriveInUse",
     "drive is a member of another array, a spare, a journaling drive, or listed twice"},
    {9, "DriveUnusable",
     "drive is optical, missing, failed or offline, or carries foreign metadata (a missing drive "
     "takes no command)"},
    {10, "InsufficientSpace", "not enough free capacity in the array or on the drives"},
    {11, "InvalidName", "empty name, or characters outside printable ASCII"},
    {12, "NameInUse", "another volume of the controller has this name"},
    {13, "LimitReached", "volumes per array, volumes or arrays per controller"},
    {14, "VolumeBusy", "background work runs on the volume or its array"},
    {15, "InvalidState",
     "the object is not in a state the command applies to (initialize an initialized volume, "
     "rebuild a volume that is not degraded, cancel a verification that is not running, ...)"},
    {16, "NotSupported",
     "not possible for this RAID level, drive type or LED: write-hole policy off RAID 5, "
     "repairing RAID 0, unlisted migration, write cache or sanitize on optical drives"},
    {260, "ControllerNotFound",
     "no controller with this identifier, or no controller behind the device"},
    {261, "ArrayNotFound", "no array with this identifier"},
    {262, "VolumeNotFound", "no volume with this identifier"},
    {263, "SubscriptionNotFound", "no event subscription with this identifier"},
    {264, "DriveNotFound",
     "no drive with this identifier on this driver (a removed drive stays listed as missing)"},
};
}  // namespace

std::span<const DriverStatusWords> DriverStatusTable() { return kDriverStatuses; }

DriverStatusWords WordsForDriverStatus(std::uint32_t status) {
  for (const auto& words : kDriverStatuses)
    if (words.status == status) return words;
  return {static_cast<std::uint16_t>(status), "Unknown", "a status this table does not know"};
}

// A name as it would be typed into a shell.
std::string QuotedArgument(const std::string& name) {
  const bool plain = std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) != 0 ||
           std::string("-_.,+:@/").find(static_cast<char>(c)) != std::string::npos;
  });
  if (plain) return name;
  std::string quoted = "'";
  for (char c : name) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace veskctl
