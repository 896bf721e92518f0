#include "tools/veskctl/Validate.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "tools/veskctl/Names.h"

namespace veskctl {

namespace {

bool AllDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](unsigned char c) { return std::isdigit(c) != 0; });
}

constexpr unsigned __int128 kTwoTo64 = static_cast<unsigned __int128>(1) << 64;

// Digits as a number; anything at or above 2^64 reads as 2^64.
unsigned __int128 Number(const std::string& digits) {
  unsigned __int128 value = 0;
  for (char c : digits) value = std::min<unsigned __int128>(value * 10 + (c - '0'), kTwoTo64);
  return value;
}

std::string ControllerName(Session& session, const Vesk::vesk_guid& id) {
  const Vesk::Controller& c = session.ControllerById(id);
  return "\"" + DriverText(c.name, sizeof c.name) + "\"";
}

}  // namespace

std::uint64_t ParseByteSize(const std::string& text) {
  const std::string t = Lower(text);
  std::size_t end = 0;
  while (end < t.size() && std::isdigit(static_cast<unsigned char>(t[end]))) ++end;
  std::string whole = t.substr(0, end), fraction;
  if (end < t.size() && t[end] == '.') {
    std::size_t start = ++end;
    while (end < t.size() && std::isdigit(static_cast<unsigned char>(t[end]))) ++end;
    fraction = t.substr(start, end - start);
    if (fraction.empty()) whole.clear();
  }
  std::string suffix = t.substr(end);
  if (!suffix.empty() && suffix.back() == 'b') suffix.pop_back();
  if (suffix.size() == 2 && suffix[1] == 'i') suffix.pop_back();
  const std::string units = "kmgtpe";
  const std::size_t unit = suffix.size() == 1 ? units.find(suffix[0]) : std::string::npos;
  if (whole.empty() || (!suffix.empty() && unit == std::string::npos)) {
    throw UsageError("cannot read the size '" + text +
                     "': give a whole number of bytes, or a number with K, M, G, T, P or E "
                     "(binary multiples), such as 100G or 1.5T");
  }
  const unsigned power = suffix.empty() ? 0 : static_cast<unsigned>(unit) + 1;
  const unsigned __int128 multiplier = static_cast<unsigned __int128>(1) << (10 * power);
  unsigned __int128 bytes = Number(whole) * multiplier;
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (fraction.size() > 18)
    throw UsageError("the size '" + text + "' has too many digits after the point");
  if (!fraction.empty()) {
    unsigned __int128 scale = 1;
    for (std::size_t i = 0; i < fraction.size(); ++i) scale *= 10;
    const unsigned __int128 part = Number(fraction) * multiplier;
    if (part % scale != 0)
      throw UsageError("the size '" + text + "' is not a whole number of bytes");
    bytes += part / scale;
  }
  if (bytes >= kTwoTo64) throw UsageError("the size '" + text + "' is 2^64 bytes or more");
  if (bytes == 0) throw UsageError("the size cannot be 0 bytes");
  return static_cast<std::uint64_t>(bytes);
}

void CheckWholeBlocks(std::uint64_t size, std::uint32_t blockSize) {
  if (blockSize != 0 && size % blockSize != 0) {
    throw UsageError("the size " + std::to_string(size) + " bytes is not a whole number of " +
                     std::to_string(blockSize) + "-byte blocks");
  }
}

void CheckVolumeName(const std::string& name) {
  auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  if (name.empty()) throw UsageError("a volume name cannot be empty");
  if (std::all_of(name.begin(), name.end(), blank))
    throw UsageError("a volume name cannot be only blanks");
  if (blank(name.front()) || blank(name.back()))
    throw UsageError("a volume name cannot begin or end with a blank: '" + name + "'");
  if (name.size() > 16) {
    // UTF-8 continuation bytes are 10xxxxxx; the driver counts bytes.
    const auto characters = std::count_if(name.begin(), name.end(), [](char c) {
      return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    });
    throw UsageError("a volume name has at most 16 bytes as the driver stores it; '" + name +
                     "' has " + std::to_string(name.size()) + " bytes (" +
                     std::to_string(characters) + " characters)");
  }
}

Vesk::vesk_raid_level ParseLevel(const std::string& text) {
  auto level = ParseRaidLevel(text);
  if (!level) throw UsageError("unknown RAID level '" + text + "': use 0, 1, 5, 10 or 4");
  return *level;
}

const Vesk::RaidLevelDescriptor& OfferedLevel(const Vesk::Controller& controller,
                                              Vesk::vesk_raid_level level) {
  std::string offered;
  for (const auto& descriptor : controller.raidLevelDescriptors) {
    if (descriptor.level == level) return descriptor;
    if (descriptor.level != 0)
      offered += (offered.empty() ? "" : ", ") + RaidLevelName(descriptor.level);
  }
  throw UsageError("controller \"" + DriverText(controller.name, sizeof controller.name) +
                   "\" does not offer " + RaidLevelName(level) + " (it offers " +
                   (offered.empty() ? "none" : offered) + ")");
}

std::uint16_t ParseStrip(const std::string& text, const Vesk::RaidLevelDescriptor& level) {
  std::string t = Lower(text);
  unsigned __int128 multiplier = 1;
  for (const char* suffix : {"kib", "kb", "k"}) {
    if (t.size() > std::string(suffix).size() && t.ends_with(suffix)) {
      t.resize(t.size() - std::string(suffix).size());
      break;
    }
  }
  for (const char* suffix : {"mib", "mb", "m"}) {
    if (t.size() > std::string(suffix).size() && t.ends_with(suffix)) {
      t.resize(t.size() - std::string(suffix).size());
      multiplier = 1024;
      break;
    }
  }
  std::string offered;
  bool found = false;
  const unsigned __int128 kib = AllDigits(t) ? Number(t) * multiplier : 0;
  for (unsigned bit = 0; bit < 15; ++bit) {
    if (!(level.supportedStripSizes & (1u << bit))) continue;
    offered += (offered.empty() ? "" : ", ") + StripSizeText(static_cast<std::uint16_t>(1u << bit));
    found = found || kib == (1u << bit);
  }
  if (!found) {
    throw UsageError("strip size '" + text + "' is not offered for " + RaidLevelName(level.level) +
                     "; the controller offers " +
                     (offered.empty() ? std::string("none") : offered));
  }
  return static_cast<std::uint16_t>(kib);
}

std::uint64_t ParseMilliseconds(const std::string& text, std::uint64_t clockMs) {
  if (!AllDigits(text)) {
    throw UsageError("the clock moves forward by a whole number of milliseconds, not '" + text +
                     "'");
  }
  constexpr std::uint64_t kLimit = std::numeric_limits<std::int64_t>::max();
  const unsigned __int128 ms = Number(text);
  if (ms > kLimit - std::min(clockMs, kLimit)) {
    throw UsageError("the simulated clock cannot move past 2^63 ms; it is at " +
                     std::to_string(clockMs) + " ms");
  }
  return static_cast<std::uint64_t>(ms);
}

bool ParseSwitch(const std::string& text) {
  auto value = ParseOnOff(text);
  if (!value) throw UsageError("expected on or off, got '" + text + "'");
  return *value;
}

void CheckSameController(Session& session, const std::vector<const Vesk::Drive*>& drives,
                         const Vesk::vesk_guid& controllerId, const std::string& whose) {
  for (const Vesk::Drive* d : drives) {
    if (d->controllerId == controllerId) continue;
    throw UsageError("drive " + DriverText(d->serialNumber, sizeof d->serialNumber) +
                     " is on controller " + ControllerName(session, d->controllerId) + " but " +
                     whose + " is on controller " + ControllerName(session, controllerId) +
                     "; an array's drives share one controller");
  }
}

}  // namespace veskctl
