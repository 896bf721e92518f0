#include "tools/veskctl/cli/Validate.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>

#include "simulator/Topology.h"
#include "tools/veskctl/base/Names.h"

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

// Sizes are read with units that say what they mean: KB, MB, ... are powers of 1000, and K, KiB,
// M, MiB, ... powers of 1024 (the bare letters stay binary, as they always were here and as
// `show` prints sizes).
constexpr char kSizeForms[] =
    "give a whole number of bytes, or a number with a unit: KB, MB, GB, TB, PB, EB (powers of "
    "1000) or K, M, G, T, P, E, also written KiB, MiB, ... (powers of 1024), such as 100GiB, "
    "1.5T or 500GB";

std::string Digits(unsigned __int128 value) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  } while (value != 0);
  return digits;
}

// The bytes one `unit` stands for (lower case, may be empty); nothing for a unit there is not.
std::optional<unsigned __int128> UnitMultiplier(const std::string& unit) {
  if (unit.empty() || unit == "b") return 1;
  const std::size_t power = std::string("kmgtpe").find(unit[0]) + 1;
  if (power == 0) return std::nullopt;
  const std::string rest = unit.substr(1);
  if (rest.empty() || rest == "i" || rest == "ib")
    return static_cast<unsigned __int128>(1) << (10 * power);
  if (rest != "b") return std::nullopt;
  unsigned __int128 multiplier = 1;
  for (std::size_t i = 0; i < power; ++i) multiplier *= 1000;
  return multiplier;
}

// The character that starts at byte `at` of `text`, for a message: "'\u00e9' (U+00E9) at byte 4",
// "a tab (U+0009) at byte 2", "byte 0xFF, which is not UTF-8 text, at byte 1".
std::string CharacterAt(const std::string& text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const std::string where = " at byte " + std::to_string(at + 1);
  const std::size_t length = lead < 0x80    ? 1
                             : lead >= 0xF0 ? 4
                             : lead >= 0xE0 ? 3
                             : lead >= 0xC0 ? 2
                                            : 0;
  char hex[16];
  if (length == 0 || at + length > text.size()) {
    std::snprintf(hex, sizeof hex, "0x%02X", lead);
    return "byte " + std::string(hex) + ", which is not UTF-8 text," + where;
  }
  std::uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) code = code << 6 | (text[at + i] & 0x3F);
  std::snprintf(hex, sizeof hex, "U+%04X", code);
  if (code == '\t') return "a tab (" + std::string(hex) + ")" + where;
  if (code < 0x20 || code == 0x7F) return "a control character (" + std::string(hex) + ")" + where;
  return "'" + text.substr(at, length) + "' (" + hex + ")" + where;
}

// Drives the library lists as members of the array (placeholders of missing ones included).
std::size_t MemberCount(Session& session, const Vesk::vesk_guid& arrayId) {
  const auto& drives = session.Storage().GetDrives();
  return static_cast<std::size_t>(std::count_if(
      drives.begin(), drives.end(), [&](const auto& d) { return d.second->arrayId == arrayId; }));
}

std::string ControllerName(Session& session, const Vesk::vesk_guid& id) {
  const Vesk::Controller& c = session.ControllerById(id);
  return "\"" + DriverText(c.name, sizeof c.name) + "\"";
}

}  // namespace

std::uint64_t ParseByteSize(const std::string& text) {
  if (text.empty()) throw UsageError("the size is empty: " + std::string(kSizeForms));
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
  // One blank may stand between the number and its unit, as `show` prints sizes.
  if (end < t.size() && t[end] == ' ') ++end;
  const auto multiplier = UnitMultiplier(t.substr(end));
  if (whole.empty() || !multiplier)
    throw UsageError("cannot read the size '" + text + "': " + std::string(kSizeForms));
  unsigned __int128 bytes = Number(whole) * *multiplier;
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (fraction.size() > 18)
    throw UsageError("the size '" + text + "' has too many digits after the point");
  if (!fraction.empty()) {
    unsigned __int128 scale = 1;
    for (std::size_t i = 0; i < fraction.size(); ++i) scale *= 10;
    const unsigned __int128 part = Number(fraction) * *multiplier;
    bytes += part / scale;
    if (part % scale != 0) {
      std::string rest = Digits(part % scale);
      rest.insert(0, fraction.size() - rest.size(), '0');
      while (rest.back() == '0') rest.pop_back();
      throw UsageError("the size '" + text + "' is " + Digits(bytes) + "." + rest +
                       " bytes, not a whole number: sizes as 'show' prints them are rounded, so "
                       "give the exact number of bytes that 'show VOLUME' lists, or a unit that "
                       "makes a whole number");
    }
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
  if (name.empty()) throw UsageError("a volume name cannot be empty");
  if (name.size() > 16) {
    // UTF-8 continuation bytes are 10xxxxxx; the driver counts bytes.
    const auto characters = std::count_if(name.begin(), name.end(), [](char c) {
      return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    });
    throw UsageError("a volume name has at most 16 bytes as the driver stores it; '" + name +
                     "' has " + std::to_string(name.size()) + " bytes (" +
                     std::to_string(characters) + " characters)");
  }
  auto printable = [](unsigned char c) { return c >= 0x20 && c <= 0x7E; };
  const auto bad = std::find_if_not(name.begin(), name.end(), printable);
  if (bad != name.end()) {
    throw UsageError(
        "a volume name takes printable ASCII only (letters, digits, blanks and "
        "punctuation, codes 0x20 to 0x7E); '" +
        name + "' has " + CharacterAt(name, bad - name.begin()));
  }
  if (name.find_first_not_of(' ') == std::string::npos)
    throw UsageError("a volume name cannot be only blanks");
  if (name.front() == ' ' || name.back() == ' ')
    throw UsageError("a volume name cannot begin or end with a blank: '" + name + "'");
}

void CheckNameIsFree(Session& session, const std::string& name, const Vesk::Volume* self) {
  auto& storage = session.Storage();
  const std::string lower = Lower(name);
  auto refuse = [&](const std::string& what) {
    throw UsageError("the volume name '" + name + "' would make later commands ambiguous: it is " +
                     what + ". Choose another name.");
  };
  auto check = [&](const Vesk::vesk_guid& id, const std::string& kind, const std::string& label,
                   const std::string& own, const char* ownWord) {
    const std::string idText = id.ToString();
    if (own == name) refuse("the " + std::string(ownWord) + " of " + kind + " " + label);
    if (idText.rfind(lower, 0) == 0)
      refuse("the beginning of the identifier of " + kind + " " + label + " (" + idText + ")");
  };
  for (const auto& [id, c] : storage.GetControllers().GetControllersById()) {
    const std::string text = DriverText(c->name, sizeof c->name);
    check(id, "controller", "\"" + text + "\"", text, "name");
  }
  for (const auto& [id, a] : storage.GetArrays()) {
    const std::string text = DriverText(a->name, sizeof a->name);
    check(id, "array", "\"" + text + "\"", text, "name");
  }
  for (const auto& [id, v] : storage.GetVolumes()) {
    if (self && id == self->id) continue;
    const std::string text = DriverText(v->name, sizeof v->name);
    check(id, "volume", "\"" + text + "\"", text, "name");
  }
  for (const auto& [id, d] : storage.GetDrives()) {
    const std::string serial = DriverText(d->serialNumber, sizeof d->serialNumber);
    check(id, "drive", serial, serial, "serial number");
  }
}

std::uint64_t LargestSize(std::uint8_t level, std::uint64_t members, std::uint64_t rawFree,
                          std::uint64_t size, std::uint32_t blockSize) {
  const std::uint64_t data = vesk::sim::DataDrives(level, members);
  if (data == 0) return 0;
  // What each member may give the volume: its share now plus an equal share of the free room.
  const unsigned __int128 perMember =
      (static_cast<unsigned __int128>(vesk::sim::RawConsumption(level, size, members)) + rawFree) /
      members;
  unsigned __int128 largest = perMember * data;
  if (blockSize != 0) largest = largest / blockSize * blockSize;
  return static_cast<std::uint64_t>(std::min<unsigned __int128>(largest, kTwoTo64 - 1));
}

std::uint64_t NewVolumeSize(Session& session, const std::string& text, bool given,
                            const std::vector<const Vesk::Drive*>& drives,
                            Vesk::vesk_raid_level level) {
  if (!given) return 0;
  const std::uint64_t size = ParseByteSize(text);
  const std::uint32_t blockSize = drives.front()->logicalBlockSize;
  CheckWholeBlocks(size, blockSize);
  // The room is known for drives outside arrays and for exactly the members of one array; for
  // other drives the driver says what is wrong with them.
  const Vesk::vesk_guid arrayId = drives.front()->arrayId;
  const bool oneArray = std::all_of(drives.begin(), drives.end(),
                                    [&](const Vesk::Drive* d) { return d->arrayId == arrayId; });
  if (!oneArray) return size;
  std::uint64_t rawFree = 0;
  if (arrayId.IsEmpty()) {
    std::uint64_t smallest = drives.front()->totalSize;
    // A copy: the record's fields are packed, and std::min takes references.
    for (const Vesk::Drive* d : drives)
      smallest = std::min(smallest, static_cast<std::uint64_t>(d->totalSize));
    rawFree = smallest * drives.size();
  } else {
    const auto found = session.Storage().GetArrays().find(arrayId);
    if (found == session.Storage().GetArrays().end() ||
        MemberCount(session, arrayId) != drives.size())
      return size;
    rawFree = found->second->freeSize;
  }
  const std::uint64_t largest = LargestSize(level, drives.size(), rawFree, 0, blockSize);
  if (size > largest) {
    throw UsageError("the size '" + text + "' is more than there is room for: the largest " +
                     RaidLevelName(level) + " volume on these drives has " + HumanBytes(largest) +
                     " (" + std::to_string(largest) + " bytes)");
  }
  return size;
}

std::uint64_t ExpandedSize(Session& session, const Vesk::Volume& v, const std::string& text) {
  const std::string label = "volume \"" + DriverText(v.name, sizeof v.name) + "\"";
  const std::uint64_t current = v.size;
  std::uint64_t largest = current, free = 0;
  const auto found = session.Storage().GetArrays().find(v.arrayId);
  if (found != session.Storage().GetArrays().end()) {
    free = found->second->freeSize;
    largest = std::max(largest, LargestSize(v.raidLevel, MemberCount(session, v.arrayId), free,
                                            current, v.logicalBlockSize));
  }
  if (Lower(text) == "max") {
    if (largest == current) {
      throw UsageError(label + " cannot grow: its array has " + HumanBytes(free) +
                       " free, no room for more of it");
    }
    return largest;
  }
  const std::uint64_t size = ParseByteSize(text);
  CheckWholeBlocks(size, v.logicalBlockSize);
  if (size <= current) {
    throw UsageError("the new size must be larger than the volume's " + std::to_string(current) +
                     " bytes (" + HumanBytes(current) + ")");
  }
  if (size > largest) {
    throw UsageError("the size '" + text + "' is more than there is room for: " + label +
                     " can grow to at most " + HumanBytes(largest) + " (" +
                     std::to_string(largest) + " bytes; 'max' takes that)");
  }
  return size;
}

void CheckInitialized(const Vesk::Volume& v) {
  // A volume that is not normal, or runs work (an initialization among it), is the driver's to
  // refuse first, for that reason.
  if (v.initialized() || v.migrating() || v.state != vesk::sim::volume_state::kNormal) return;
  const std::string name = DriverText(v.name, sizeof v.name);
  throw UsageError("volume \"" + name + "\" is not initialized: run initialize-volume " +
                   QuotedArgument(name) + " first");
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

std::vector<std::string> ListItems(const std::vector<std::string>& values, const char* option) {
  std::vector<std::string> items;
  for (const std::string& value : values) {
    std::vector<std::string> these;
    for (std::size_t start = 0;;) {
      const std::size_t comma = value.find(',', start);
      these.push_back(value.substr(start, comma - start));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    for (std::size_t i = 0; i < these.size(); ++i) {
      if (these[i].empty())
        throw UsageError(std::string(option) + " '" + value + "': item " + std::to_string(i + 1) +
                         " of " + std::to_string(these.size()) +
                         " is empty; separate the names by single commas, with none at either end");
    }
    items.insert(items.end(), these.begin(), these.end());
  }
  return items;
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
