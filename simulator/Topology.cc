#include "simulator/Topology.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>

namespace vesk::sim {

using nlohmann::json;

std::optional<vesk_guid> ParseGuid(const std::string& text) {
  if (text.size() != 36) return std::nullopt;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash != (text[i] == '-')) return std::nullopt;
    if (!dash && !std::isxdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
  }
  auto hex = [&](std::size_t pos, std::size_t len) {
    return std::stoull(text.substr(pos, len), nullptr, 16);
  };
  vesk_guid guid{};
  guid.group1 = static_cast<std::uint32_t>(hex(0, 8));
  guid.group2 = static_cast<std::uint16_t>(hex(9, 4));
  guid.group3 = static_cast<std::uint16_t>(hex(14, 4));
  guid.group4 = static_cast<std::uint16_t>(hex(19, 4));
  for (std::size_t i = 0; i < 6; ++i)
    guid.group5[i] = static_cast<std::uint8_t>(hex(24 + 2 * i, 2));
  return guid;
}

std::uint64_t DataDrives(std::uint8_t level, std::uint64_t drives) {
  switch (level) {
    case 1:
      return drives;
    case 2:
      return drives > 0 ? 1 : 0;
    case 3:
      return drives / 2;
    case 4:
    case 5:
      return drives > 0 ? drives - 1 : 0;
    default:
      return 0;
  }
}

std::uint64_t RawConsumption(std::uint8_t level, std::uint64_t size, std::uint64_t drives) {
  std::uint64_t data = DataDrives(level, drives);
  if (data == 0) return size;
  // Per-member share rounded up, so that the consumption never undercounts.
  std::uint64_t perDrive = (size + data - 1) / data;
  return perDrive * drives;
}

bool Unavailable(std::uint8_t status) {
  return status == drive_status::kMissing || status == drive_status::kFailed ||
         status == drive_status::kOffline;
}

std::uint8_t WorkState(const Task& t) {
  switch (t.kind) {
    case Task::Kind::Initialize:
      return volume_state::kInitializing;
    case Task::Kind::Verify:
      return t.repair ? volume_state::kVerifyingAndFixing : volume_state::kVerifying;
    case Task::Kind::Rebuild:
      return volume_state::kRebuilding;
    case Task::Kind::Migration:
      return volume_state::kMigrating;
  }
  return volume_state::kNormal;
}

namespace {

// Members a level survives losing.
std::size_t Tolerance(std::uint8_t level, std::size_t drives) {
  switch (level) {
    case 2:
      return drives > 0 ? drives - 1 : 0;
    case 3:
    case 4:
    case 5:
      return 1;
    default:
      return 0;
  }
}

bool Contains(const std::vector<vesk_guid>& ids, const vesk_guid& id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

namespace {

// One stretch of a volume's data, laid out one way over one set of members.
struct Part {
  std::uint64_t from = 0, to = 0;  // bytes of the volume
  std::uint8_t level = 0;
  std::vector<vesk_guid> members;
  bool rebuilt = false;  // a running rebuild has written its drives here
};

const Task* MigrationOf(const Volume& v) {
  if (v.task && v.task->kind == Task::Kind::Migration) return &*v.task;
  return v.stoppedMigration ? &*v.stoppedMigration : nullptr;
}

// Bytes of `size` the work has gone through.
std::uint64_t Done(const Task& t, std::uint64_t size) {
  if (t.durationMs == 0 || t.elapsedMs >= t.durationMs) return size;
  return static_cast<std::uint64_t>(static_cast<long double>(size) * t.elapsedMs / t.durationMs);
}

// A layout change moves the data from the start of the volume on: the part it went through has
// the new layout over every member, the rest the old one without the joining drives. A rebuild
// writes its drives from the start on too.
std::vector<Part> PartsOf(const Array& a, const Volume& v, bool withRebuild) {
  const Task* migration = MigrationOf(v);
  const std::uint64_t migrated = migration ? Done(*migration, v.size) : 0;
  const std::uint64_t rebuilt =
      withRebuild && v.task && v.task->kind == Task::Kind::Rebuild ? Done(*v.task, v.size) : 0;
  std::set<std::uint64_t> cuts{0, v.size, migrated, rebuilt};
  std::vector<Part> parts;
  for (auto at = cuts.begin(); std::next(at) != cuts.end(); ++at) {
    Part p{*at, *std::next(at), 0, {}, false};
    if (p.from < migrated) {
      p.level = migration->targetLevel;
      p.members = a.drives;
    } else {
      p.level = v.raidLevel;
      for (const auto& id : a.drives)
        if (!migration || !Contains(migration->joiningDrives, id)) p.members.push_back(id);
    }
    p.rebuilt = p.from < rebuilt;
    parts.push_back(std::move(p));
  }
  if (parts.empty()) parts.push_back(Part{0, 0, v.raidLevel, a.drives, false});
  return parts;
}

// A member is lost for a part when it is gone or broken, or when it holds none of the volume's
// data (stale) and no running rebuild has written the part onto it yet.
bool PartLost(Controller& c, const Volume& v, const Part& p) {
  std::size_t lost = 0;
  for (const auto& id : p.members) {
    const Drive* d = c.FindDrive(id);
    if (d == nullptr || Unavailable(d->status) || (!p.rebuilt && Contains(v.staleDrives, id)))
      ++lost;
  }
  return lost > Tolerance(p.level, p.members.size());
}

bool PartDegraded(Controller& c, const Volume& v, const Part& p) {
  for (const auto& id : p.members) {
    const Drive* d = c.FindDrive(id);
    if (d == nullptr || Unavailable(d->status) || Contains(v.staleDrives, id)) return true;
  }
  return false;
}

}  // namespace

std::uint8_t VolumeHealth(Controller& c, const Volume& v) {
  const Array* a = c.FindArray(v.arrayId);
  if (a == nullptr) return volume_state::kFailed;
  std::uint8_t health = volume_state::kNormal;
  for (const Part& p : PartsOf(*a, v, false)) {
    if (PartLost(c, v, p)) return volume_state::kFailed;
    if (PartDegraded(c, v, p)) health = volume_state::kDegraded;
  }
  return health;
}

std::uint64_t UnreadableBytes(Controller& c, const Volume& v) {
  const Array* a = c.FindArray(v.arrayId);
  if (a == nullptr) return v.size;
  std::uint64_t bytes = 0;
  for (const Part& p : PartsOf(*a, v, true))
    if (PartLost(c, v, p)) bytes += p.to - p.from;
  return bytes;
}

std::uint32_t Stripes(const Volume& v, std::size_t members, std::uint64_t bytes) {
  // A mirror has no strip size of its own: it is counted in 64 KiB strips.
  const std::uint64_t strip = std::uint64_t{v.stripSize != 0 ? v.stripSize : 64u} * 1024;
  const std::uint64_t stripe = strip * std::max<std::uint64_t>(1, DataDrives(v.raidLevel, members));
  const std::uint64_t n = bytes / stripe + (bytes % stripe != 0);
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(n, UINT32_MAX));
}

const RaidLevelCapability* Controller::Capability(std::uint8_t level) const {
  for (const auto& cap : raidLevels)
    if (cap.level == level) return &cap;
  return nullptr;
}

Drive* Controller::FindDrive(const vesk_guid& driveId) {
  for (auto& d : drives)
    if (d.id == driveId) return &d;
  return nullptr;
}

Volume* Controller::FindVolume(const vesk_guid& volumeId) {
  for (auto& v : volumes)
    if (v.id == volumeId) return &v;
  return nullptr;
}

Array* Controller::FindArray(const vesk_guid& arrayId) {
  for (auto& a : arrays)
    if (a.id == arrayId) return &a;
  return nullptr;
}

Array* Controller::ArrayOfDrive(const vesk_guid& driveId) {
  for (auto& a : arrays)
    if (std::find(a.drives.begin(), a.drives.end(), driveId) != a.drives.end()) return &a;
  return nullptr;
}

std::vector<Volume*> Controller::VolumesOf(const vesk_guid& arrayId) {
  std::vector<Volume*> result;
  for (auto& v : volumes)
    if (v.arrayId == arrayId) result.push_back(&v);
  return result;
}

std::uint8_t Controller::UsageOf(const Drive& drive) const {
  for (const auto& a : arrays)
    if (std::find(a.drives.begin(), a.drives.end(), drive.id) != a.drives.end())
      return drive_usage::kArrayMember;
  for (const auto& v : volumes)
    if (v.rwhPolicy == kRwhJournalingDrive && v.journalingDriveId == drive.id)
      return drive_usage::kJournaling;
  if (drive.spare) return drive_usage::kSpare;
  if (drive.foreignMetadata) return drive_usage::kForeignMetadata;
  return drive_usage::kPassThrough;
}

std::uint64_t Controller::ArrayTotalSize(const Array& array) const {
  std::uint64_t smallest = 0;
  bool any = false;
  for (const auto& member : array.drives) {
    for (const auto& d : drives) {
      if (d.id != member || d.status == drive_status::kMissing) continue;
      smallest = any ? std::min(smallest, d.Capacity()) : d.Capacity();
      any = true;
    }
  }
  return smallest * array.drives.size();
}

std::uint64_t Controller::ArrayFreeSize(const Array& array) const {
  std::uint64_t total = ArrayTotalSize(array);
  std::uint64_t used = 0;
  for (const auto& v : volumes)
    if (v.arrayId == array.id) used += RawConsumption(v.raidLevel, v.size, array.drives.size());
  return used >= total ? 0 : total - used;
}

Controller* Topology::FindController(const vesk_guid& controllerId) {
  for (auto& c : controllers)
    if (c.id == controllerId) return &c;
  return nullptr;
}

Controller* Topology::ControllerOfPdo(const std::wstring& pdoName) {
  for (auto& c : controllers)
    if (c.pdoName == pdoName) return &c;
  return nullptr;
}

// ------------------------------------------------------------------------------------------------
// JSON
// ------------------------------------------------------------------------------------------------
namespace {

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error("topology: " + what); }

// Where in the document the reader is ("controllers[1].drives[3]"), so that a message names the
// field as the file spells it. Each step is an object on the reader's stack, linked to the one it
// is in: thread-local state stays a plain pointer, since under MinGW the destructors of
// thread-local objects have been seen to find other values at a thread's end than the thread left.
class At;
thread_local const At* innermost = nullptr;

class At {
 public:
  explicit At(std::string step) : step(std::move(step)), outer(innermost) { innermost = this; }
  At(const char* list, std::size_t index)
      : At(std::string(list) + "[" + std::to_string(index) + "]") {}
  ~At() { innermost = outer; }
  At(const At&) = delete;
  At& operator=(const At&) = delete;

  const std::string step;
  const At* const outer;
};

std::string Where(const std::string& field) {
  std::string path;
  for (const At* at = innermost; at != nullptr; at = at->outer)
    path = at->step + (path.empty() ? "" : ".") + path;
  if (field.empty()) return path.empty() ? "the document" : path;
  return path.empty() ? field : path + "." + field;
}

// A value as the file has it, short enough for one line (never fatal on bad UTF-8).
std::string Shown(const json& value) {
  std::string text = value.dump(-1, ' ', false, json::error_handler_t::replace);
  return text.size() > 60 ? text.substr(0, 57) + "..." : text;
}

[[noreturn]] void Refuse(const std::string& field, const json& value, const std::string& what) {
  Fail(Where(field) + ": " + Shown(value) + " " + what);
}

const json* Field(const json& j, const char* key) {
  auto found = j.find(key);
  return found == j.end() ? nullptr : &*found;
}

const json& Required(const json& j, const char* key) {
  const json* value = Field(j, key);
  if (value == nullptr) Fail(Where(key) + " is missing");
  return *value;
}

// An object of the document (the document itself, a controller, a drive, ...).
const json& Object(const json& value, const std::string& field) {
  if (!value.is_object()) Refuse(field, value, "is not an object");
  return value;
}

// A list; absent means empty.
const json& List(const json& j, const char* key) {
  static const json kEmpty = json::array();
  const json* value = Field(j, key);
  if (value == nullptr) return kEmpty;
  if (!value->is_array()) Refuse(key, *value, "is not a list");
  return *value;
}

struct Name {
  std::uint8_t value;
  const char* text;
};

constexpr Name kControllerTypes[] = {{0, "sata"}, {2, "dorn"}};
constexpr Name kDriveTypes[] = {{0, "optical"}, {1, "sata"}, {3, "nvme"}};
constexpr Name kLevels[] = {{1, "raid0"}, {2, "raid1"}, {3, "raid10"}, {4, "raid5"}, {5, "raid4"}};
constexpr Name kVolumeStates[] = {{0, "normal"},       {1, "degraded"},  {2, "failed"},
                                  {3, "initializing"}, {4, "verifying"}, {5, "verifyingAndFixing"},
                                  {6, "rebuilding"},   {7, "migrating"}};
constexpr Name kDriveStatuses[] = {
    {0, "normal"}, {1, "offline"}, {2, "missing"}, {3, "failed"}, {4, "smartEvent"}};
constexpr Name kTaskKinds[] = {{0, "initialize"}, {1, "verify"}, {2, "rebuild"}, {3, "migration"}};

template <std::size_t N>
std::uint8_t FromName(const Name (&names)[N], const std::string& field, const json& value) {
  std::string known;
  for (const auto& n : names) {
    if (value.is_string() && value.get<std::string>() == n.text) return n.value;
    known += (known.empty() ? "" : ", ") + std::string(n.text);
  }
  Refuse(field, value, "is not one of " + known);
}

template <std::size_t N>
std::uint8_t FromName(const Name (&names)[N], const json& j, const char* key) {
  return FromName(names, key, Required(j, key));
}

template <std::size_t N>
std::uint8_t FromName(const Name (&names)[N], const json& j, const char* key,
                      std::uint8_t fallback) {
  const json* value = Field(j, key);
  return value ? FromName(names, key, *value) : fallback;
}

template <std::size_t N>
std::string ToName(const Name (&names)[N], std::uint8_t value) {
  for (const auto& n : names)
    if (n.value == value) return n.text;
  return std::to_string(value);
}

std::string GuidText(const vesk_guid& g) { return g.ToString(); }

json GuidList(const std::vector<vesk_guid>& ids) {
  json list = json::array();
  for (const auto& id : ids) list.push_back(GuidText(id));
  return list;
}

vesk_guid GuidFrom(const std::string& field, const json& value) {
  auto guid = value.is_string() ? ParseGuid(value.get<std::string>()) : std::nullopt;
  if (!guid || guid->IsEmpty())
    Refuse(field, value,
           "is not an identifier xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx (not all zero)");
  return *guid;
}

vesk_guid GuidFrom(const json& j, const char* key) { return GuidFrom(key, Required(j, key)); }

std::vector<vesk_guid> GuidsFrom(const json& j, const char* key) {
  std::vector<vesk_guid> ids;
  const json& list = List(j, key);
  for (std::size_t i = 0; i < list.size(); ++i)
    ids.push_back(GuidFrom(std::string(key) + "[" + std::to_string(i) + "]", list[i]));
  return ids;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }
std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(static_cast<char>(c));
  return out;
}

std::string Text(const json& j, const char* key, std::size_t maxLength,
                 const std::string& fallback) {
  const json* value = Field(j, key);
  if (value == nullptr) return fallback;
  if (!value->is_string()) Refuse(key, *value, "is not a text");
  std::string text = value->get<std::string>();
  if (text.size() > maxLength)
    Refuse(key, *value, "is longer than " + std::to_string(maxLength) + " bytes");
  return text;
}

bool Flag(const json& j, const char* key, bool fallback) {
  const json* value = Field(j, key);
  if (value == nullptr) return fallback;
  if (!value->is_boolean()) Refuse(key, *value, "is not true or false");
  return value->get<bool>();
}

// A whole number from `least` to `most` (the type's range unless narrower).
template <typename T>
T Number(const json& j, const char* key, T fallback, std::uint64_t least = 0,
         std::uint64_t most = std::numeric_limits<T>::max()) {
  const json* value = Field(j, key);
  if (value == nullptr) return fallback;
  if (!value->is_number_integer()) Refuse(key, *value, "is not a whole number");
  // Whole numbers below zero are the only ones the parser does not keep as unsigned.
  if (!value->is_number_unsigned() || value->get<std::uint64_t>() < least ||
      value->get<std::uint64_t>() > most)
    Refuse(key, *value,
           "is out of range (" + std::to_string(least) + " to " + std::to_string(most) + ")");
  return static_cast<T>(value->get<std::uint64_t>());
}

std::uint64_t Number64(const json& j, const char* key, std::uint64_t fallback,
                       std::uint64_t least = 0) {
  return Number<std::uint64_t>(j, key, fallback, least);
}

Vesk::vesk_version_quad VersionFrom(const json& j, const char* key) {
  std::string text = Text(j, key, 64, "0.0.0.0");
  Vesk::vesk_version_quad v{};
  unsigned a = 0, b = 0, c = 0, d = 0;
  char end = 0;
  if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &end) != 4 || a > 0xFFFF ||
      b > 0xFFFF || c > 0xFFFF || d > 0xFFFF)
    Refuse(key, *Field(j, key), "is not a version a.b.c.d (each 0 to 65535)");
  v.major = static_cast<std::uint16_t>(a);
  v.minor = static_cast<std::uint16_t>(b);
  v.build = static_cast<std::uint16_t>(c);
  v.revision = static_cast<std::uint16_t>(d);
  return v;
}

std::string VersionText(const Vesk::vesk_version_quad& v) {
  return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.build) +
         "." + std::to_string(v.revision);
}

// The n-th drive of a repeated drive entry: the last four identifier bytes count up.
vesk_guid NthGuid(vesk_guid base, std::uint32_t n) {
  std::uint32_t tail = (std::uint32_t{base.group5[2]} << 24) |
                       (std::uint32_t{base.group5[3]} << 16) |
                       (std::uint32_t{base.group5[4]} << 8) | base.group5[5];
  tail += n;
  base.group5[2] = static_cast<std::uint8_t>(tail >> 24);
  base.group5[3] = static_cast<std::uint8_t>(tail >> 16);
  base.group5[4] = static_cast<std::uint8_t>(tail >> 8);
  base.group5[5] = static_cast<std::uint8_t>(tail);
  return base;
}

Drive DriveFrom(const json& j) {
  Drive d;
  d.id = GuidFrom(j, "id");
  d.type = FromName(kDriveTypes, j, "type");
  d.modelNumber = Text(j, "model", 40, "");
  d.serialNumber = Text(j, "serial", 20, "");
  d.firmwareRevision = Text(j, "firmware", 8, "");
  d.serviceLabel = Text(j, "serviceLabel", 30, "");
  d.blocks = Number64(j, "sizeBlocks", 0);
  d.logicalBlockSize = Number<std::uint32_t>(j, "logicalBlockSize", 512);
  d.physicalBlockSize = Number<std::uint32_t>(j, "physicalBlockSize", d.logicalBlockSize);
  d.status = FromName(kDriveStatuses, j, "status", drive_status::kNormal);
  d.spare = Flag(j, "spare", false);
  d.foreignMetadata = Flag(j, "foreignMetadata", false);
  d.containsPartition = Flag(j, "containsPartition", false);
  d.ledActive = Flag(j, "ledActive", false);
  d.writeCacheEnabled = Flag(j, "writeCacheEnabled", true);
  d.preBootVisible = Flag(j, "preBootVisible", true);
  d.activateLedSupport = Flag(j, "activateLedSupport", true);
  d.systemDrive = Flag(j, "systemDrive", false);
  d.encryptionAbility = Number<std::uint8_t>(j, "encryptionAbility", 0);
  d.encryptionStatus = Number<std::uint8_t>(j, "encryptionStatus", 0);
  d.portNumber = Number<std::uint8_t>(j, "port", 0);
  d.sataLinkRate = Number<std::uint8_t>(j, "sataLinkRate", 0, 0, 0x3F);
  d.isSsd = Flag(j, "ssd", false);
  d.ncqSupport = Flag(j, "ncq", true);
  d.pciVendorId = Number<std::uint16_t>(j, "pciVendorId", 0);
  d.sbrAttached = Flag(j, "sbrAttached", false);
  d.dualControllerOrder = Number<std::uint8_t>(j, "dualControllerOrder", 0, 0, 1);
  d.dualControllerNvme = Flag(j, "dualControllerNvme", false);
  d.socketNumber = Number<std::uint16_t>(j, "socket", 0);
  d.dornControllerNumber = Number<std::uint16_t>(j, "dornController", 0);
  d.rootPortOffset = Number<std::uint16_t>(j, "rootPortOffset", 0);
  d.physicalSlotNumber = Number64(j, "physicalSlot", 0);
  d.pciLinkRate = Number<std::uint8_t>(j, "pciLinkRate", 0, 0, 7);
  d.pciLinkWidth = Number<std::uint8_t>(j, "pciLinkWidth", 0, 0, 31);
  if (d.status == drive_status::kMissing && d.blocks != 0)
    Refuse("sizeBlocks", j.at("sizeBlocks"), "given for a missing drive, which has no size");
  if (const json* pulled = Field(j, "pulled")) {
    if (d.status != drive_status::kMissing)
      Refuse("pulled", *pulled, "given for a drive that is there");
    At at("pulled");
    const json& p = Object(*pulled, "");
    d.pulled = Drive::Pulled{Number64(p, "sizeBlocks", 0), Flag(p, "writeCacheEnabled", true),
                             Number<std::uint8_t>(p, "sataLinkRate", 0, 0, 0x3F),
                             Number<std::uint8_t>(p, "pciLinkRate", 0, 0, 7),
                             Number<std::uint8_t>(p, "pciLinkWidth", 0, 0, 31)};
  }
  return d;
}

json DriveTo(const Drive& d) {
  json j{{"id", GuidText(d.id)},
         {"type", ToName(kDriveTypes, d.type)},
         {"model", d.modelNumber},
         {"serial", d.serialNumber},
         {"firmware", d.firmwareRevision},
         {"serviceLabel", d.serviceLabel},
         {"sizeBlocks", d.blocks},
         {"logicalBlockSize", d.logicalBlockSize},
         {"physicalBlockSize", d.physicalBlockSize},
         {"status", ToName(kDriveStatuses, d.status)},
         {"spare", d.spare},
         {"foreignMetadata", d.foreignMetadata},
         {"containsPartition", d.containsPartition},
         {"ledActive", d.ledActive},
         {"writeCacheEnabled", d.writeCacheEnabled},
         {"preBootVisible", d.preBootVisible},
         {"activateLedSupport", d.activateLedSupport},
         {"systemDrive", d.systemDrive},
         {"encryptionAbility", d.encryptionAbility},
         {"encryptionStatus", d.encryptionStatus},
         {"port", d.portNumber},
         {"sataLinkRate", d.sataLinkRate},
         {"ssd", d.isSsd},
         {"ncq", d.ncqSupport},
         {"pciVendorId", d.pciVendorId},
         {"sbrAttached", d.sbrAttached},
         {"dualControllerOrder", d.dualControllerOrder},
         {"dualControllerNvme", d.dualControllerNvme},
         {"socket", d.socketNumber},
         {"dornController", d.dornControllerNumber},
         {"rootPortOffset", d.rootPortOffset},
         {"physicalSlot", d.physicalSlotNumber},
         {"pciLinkRate", d.pciLinkRate},
         {"pciLinkWidth", d.pciLinkWidth}};
  if (d.pulled)
    j["pulled"] = {{"sizeBlocks", d.pulled->blocks},
                   {"writeCacheEnabled", d.pulled->writeCacheEnabled},
                   {"sataLinkRate", d.pulled->sataLinkRate},
                   {"pciLinkRate", d.pulled->pciLinkRate},
                   {"pciLinkWidth", d.pulled->pciLinkWidth}};
  return j;
}

std::uint16_t StripCode(const std::string& field, const json& value) {
  if (!value.is_number_unsigned() || value.get<std::uint64_t>() == 0 ||
      value.get<std::uint64_t>() > 0x4000 ||
      (value.get<std::uint64_t>() & (value.get<std::uint64_t>() - 1)) != 0)
    Refuse(field, value, "is not a strip-size code 2^k with k from 0 to 14");
  return static_cast<std::uint16_t>(value.get<std::uint64_t>());
}

std::uint16_t StripCode(const json& j, const char* key) {
  const json* value = Field(j, key);
  return value ? StripCode(key, *value) : 0;
}

RaidLevelCapability CapabilityFrom(const json& j) {
  RaidLevelCapability c;
  c.level = FromName(kLevels, j, "level");
  c.minDrives = Number<std::uint16_t>(j, "minDrives", 1);
  c.maxDrives = Number<std::uint16_t>(j, "maxDrives", c.minDrives, c.minDrives);
  c.oddCount = Flag(j, "oddCount", true);
  c.evenCount = Flag(j, "evenCount", true);
  const json& strips = List(j, "stripSizes");
  for (std::size_t i = 0; i < strips.size(); ++i)
    c.stripSizeMask |= StripCode("stripSizes[" + std::to_string(i) + "]", strips[i]);
  c.defaultStripSize = StripCode(j, "defaultStripSize");
  if (c.defaultStripSize != 0 && (c.stripSizeMask & c.defaultStripSize) == 0)
    Refuse("defaultStripSize", j.at("defaultStripSize"), "is not among stripSizes");
  const json& migrations = List(j, "migrations");
  for (std::size_t i = 0; i < migrations.size(); ++i) {
    At at("migrations", i);
    const json& m = Object(migrations[i], "");
    c.migrations.push_back({FromName(kLevels, m, "to"), Number<std::uint8_t>(m, "addDrives", 0)});
  }
  return c;
}

json CapabilityTo(const RaidLevelCapability& c) {
  json strips = json::array();
  for (int k = 0; k < 15; ++k)
    if (c.stripSizeMask & (1u << k)) strips.push_back(1u << k);
  json migrations = json::array();
  for (const auto& m : c.migrations)
    migrations.push_back(
        {{"to", ToName(kLevels, m.targetLevel)}, {"addDrives", m.minAdditionalDrives}});
  json j{{"level", ToName(kLevels, c.level)}, {"minDrives", c.minDrives},
         {"maxDrives", c.maxDrives},          {"oddCount", c.oddCount},
         {"evenCount", c.evenCount},          {"stripSizes", strips},
         {"migrations", migrations}};
  if (c.defaultStripSize != 0) j["defaultStripSize"] = c.defaultStripSize;
  return j;
}

Task TaskFrom(const json& j) {
  Task t;
  t.kind = static_cast<Task::Kind>(FromName(kTaskKinds, j, "kind"));
  t.repair = Flag(j, "repair", false);
  t.elapsedMs = Number64(j, "elapsedMs", 0);
  t.durationMs = Number64(j, "durationMs", 60000, 1);
  if (t.kind == Task::Kind::Migration) {
    t.targetLevel = FromName(kLevels, j, "targetLevel");
    t.targetStripSize = StripCode(j, "targetStripSize");
    t.joiningDrives = GuidsFrom(j, "joiningDrives");
  }
  return t;
}

json TaskTo(const Task& t) {
  json j{{"kind", ToName(kTaskKinds, static_cast<std::uint8_t>(t.kind))},
         {"elapsedMs", t.elapsedMs},
         {"durationMs", t.durationMs}};
  if (t.kind == Task::Kind::Verify) j["repair"] = t.repair;
  if (t.kind == Task::Kind::Migration) {
    j["targetLevel"] = ToName(kLevels, t.targetLevel);
    if (t.targetStripSize != 0) j["targetStripSize"] = t.targetStripSize;
    if (!t.joiningDrives.empty()) j["joiningDrives"] = GuidList(t.joiningDrives);
  }
  return j;
}

Volume VolumeFrom(const json& j) {
  Volume v;
  v.id = GuidFrom(j, "id");
  v.arrayId = GuidFrom(j, "array");
  v.name = Text(j, "name", 16, "");
  v.raidLevel = FromName(kLevels, j, "level");
  v.stripSize = StripCode(j, "stripSize");
  v.size = Number64(j, "size", 0);
  v.state = FromName(kVolumeStates, j, "state", volume_state::kNormal);
  v.systemVolume = Flag(j, "systemVolume", false);
  v.initialized = Flag(j, "initialized", true);
  v.verifyErrors = Number<std::uint32_t>(j, "verifyErrors", 0);
  v.verifyBadBlocks = Number<std::uint32_t>(j, "verifyBadBlocks", 0);
  v.logicalBlockSize = Number<std::uint32_t>(j, "logicalBlockSize", 512);
  v.cachePolicy = Number<std::uint8_t>(j, "cachePolicy", 1, 0, 15);
  v.rwhPolicy = Number<std::uint8_t>(j, "rwhPolicy", 0, 0, 15);
  if (Field(j, "journalingDrive")) v.journalingDriveId = GuidFrom(j, "journalingDrive");
  v.latentErrors = Number<std::uint32_t>(j, "latentErrors", 0);
  v.latentBadBlocks = Number<std::uint32_t>(j, "latentBadBlocks", 0);
  v.staleDrives = GuidsFrom(j, "staleDrives");
  if (const json* task = Field(j, "task")) {
    At at("task");
    v.task = TaskFrom(Object(*task, ""));
  }
  if (const json* stopped = Field(j, "stoppedMigration")) {
    At at("stoppedMigration");
    v.stoppedMigration = TaskFrom(Object(*stopped, ""));
    if (v.stoppedMigration->kind != Task::Kind::Migration)
      Refuse("kind", ToName(kTaskKinds, static_cast<std::uint8_t>(v.stoppedMigration->kind)),
             "is not a migration");
  }
  v.inconsistentBytes = Number64(j, "inconsistentBytes", 0);
  if (const json* lost = Field(j, "dataLost")) {
    At at("dataLost");
    const json& o = Object(*lost, "");
    v.dataLost = DataLoss{Number64(o, "bytes", 0), Number64(o, "atMs", 0), GuidsFrom(o, "members"),
                          Flag(o, "failed", false), Flag(o, "forced", false)};
  }
  return v;
}

json VolumeTo(const Volume& v) {
  json j{{"id", GuidText(v.id)},
         {"array", GuidText(v.arrayId)},
         {"name", v.name},
         {"level", ToName(kLevels, v.raidLevel)},
         {"size", v.size},
         {"state", ToName(kVolumeStates, v.state)},
         {"systemVolume", v.systemVolume},
         {"initialized", v.initialized},
         {"verifyErrors", v.verifyErrors},
         {"verifyBadBlocks", v.verifyBadBlocks},
         {"logicalBlockSize", v.logicalBlockSize},
         {"cachePolicy", v.cachePolicy},
         {"rwhPolicy", v.rwhPolicy},
         {"latentErrors", v.latentErrors},
         {"latentBadBlocks", v.latentBadBlocks}};
  if (v.stripSize != 0) j["stripSize"] = v.stripSize;
  if (!v.journalingDriveId.IsEmpty()) j["journalingDrive"] = GuidText(v.journalingDriveId);
  if (!v.staleDrives.empty()) j["staleDrives"] = GuidList(v.staleDrives);
  if (v.task) j["task"] = TaskTo(*v.task);
  if (v.stoppedMigration) j["stoppedMigration"] = TaskTo(*v.stoppedMigration);
  if (v.inconsistentBytes != 0) j["inconsistentBytes"] = v.inconsistentBytes;
  if (v.dataLost)
    j["dataLost"] = {{"bytes", v.dataLost->bytes},
                     {"atMs", v.dataLost->atMs},
                     {"members", GuidList(v.dataLost->members)},
                     {"failed", v.dataLost->failed},
                     {"forced", v.dataLost->forced}};
  return j;
}

// `serials`: the drives read so far by serial number, with where each is (a serial number names
// one drive of the machine, as the command line names drives by it).
Controller ControllerFrom(const json& j, std::size_t index,
                          std::map<std::string, std::string>& serials) {
  Controller c;
  c.id = GuidFrom(j, "id");
  c.pdoName = Widen(Text(j, "pdoName", 256, "\\Device\\RaidPort" + std::to_string(index)));
  c.type = FromName(kControllerTypes, j, "type");
  c.service = Widen(Text(j, "service", 64, c.type == 2 ? "zrTalu" : "zrDiskE"));
  c.name = Text(j, "name", 256, "");
  std::string version = Text(j, "specVersion", 8, "4.0");
  if (version != "1.0" && version != "2.0" && version != "3.0" && version != "4.0")
    Refuse("specVersion", j.at("specVersion"), "is not 1.0, 2.0, 3.0 or 4.0");
  c.specMajor = static_cast<std::uint8_t>(version[0] - '0');
  c.vendorId = Number<std::uint16_t>(j, "vendorId", 0);
  c.deviceId = Number<std::uint16_t>(j, "deviceId", 0);
  c.subsystemId = Number<std::uint16_t>(j, "subsystemId", 0);
  c.hardwareRevision = Number<std::uint8_t>(j, "hardwareRevision", 0);
  c.preosDriverLoaded = Flag(j, "preosDriverLoaded", true);
  c.osDriverVersion = VersionFrom(j, "osDriverVersion");
  c.preosDriverVersion = VersionFrom(j, "preosDriverVersion");
  if (const json* limits = Field(j, "limits")) {
    At at("limits");
    Object(*limits, "");
    c.maxVolumesPerArray = Number<std::uint16_t>(*limits, "maxVolumesPerArray", 2);
    c.maxVolumesPerController = Number<std::uint16_t>(*limits, "maxVolumesPerController", 8);
    c.maxDrivesPerController = Number<std::uint16_t>(*limits, "maxDrivesPerController", 32);
  }
  c.readPatrolEnabled = Flag(j, "readPatrol", false);
  c.rohiEnabled = Flag(j, "rohi", false);
  c.mode = Number<std::uint8_t>(j, "mode", 0, 0, 7);
  c.rate = Number<std::uint32_t>(j, "rate", 0);
  c.patrolVolume = Number<std::uint32_t>(j, "patrolVolume", 0);
  c.patrolElapsedMs = Number64(j, "patrolElapsedMs", 0);
  const json& levels = List(j, "raidLevels");
  if (levels.size() > 5)
    Fail(Where("raidLevels") + ": " + std::to_string(levels.size()) + " levels, at most 5");
  for (std::size_t i = 0; i < levels.size(); ++i) {
    At at("raidLevels", i);
    c.raidLevels.push_back(CapabilityFrom(Object(levels[i], "")));
  }

  const json& drives = List(j, "drives");
  for (std::size_t i = 0; i < drives.size(); ++i) {
    At at("drives", i);
    const json& d = Object(drives[i], "");
    std::uint32_t count = Number<std::uint32_t>(d, "count", 1, 1);
    Drive first = DriveFrom(d);
    for (std::uint32_t n = 0; n < count; ++n) {
      Drive drive = first;
      if (count > 1) {
        drive.id = NthGuid(first.id, n);
        drive.serialNumber = (first.serialNumber + std::to_string(n)).substr(0, 20);
        drive.portNumber = static_cast<std::uint8_t>(first.portNumber + n);
        drive.physicalSlotNumber = first.physicalSlotNumber + n;
      }
      if (!drive.serialNumber.empty()) {
        const auto [taken, fresh] = serials.emplace(drive.serialNumber, Where(""));
        if (!fresh)
          Refuse("serial", drive.serialNumber, "is the serial number of " + taken->second + " too");
      }
      c.drives.push_back(drive);
    }
  }
  const json& arrays = List(j, "arrays");
  for (std::size_t i = 0; i < arrays.size(); ++i) {
    At at("arrays", i);
    const json& a = Object(arrays[i], "");
    Array array;
    array.id = GuidFrom(a, "id");
    array.name = Text(a, "name", 20, "");
    array.writeCacheEnabled = Flag(a, "writeCacheEnabled", false);
    Required(a, "drives");
    array.drives = GuidsFrom(a, "drives");
    c.arrays.push_back(array);
  }
  const json& volumes = List(j, "volumes");
  for (std::size_t i = 0; i < volumes.size(); ++i) {
    At at("volumes", i);
    c.volumes.push_back(VolumeFrom(Object(volumes[i], "")));
  }
  return c;
}

json ControllerTo(const Controller& c) {
  json caps = json::array(), arrays = json::array(), volumes = json::array(),
       drives = json::array();
  for (const auto& cap : c.raidLevels) caps.push_back(CapabilityTo(cap));
  for (const auto& a : c.arrays) {
    json members = json::array();
    for (const auto& d : a.drives) members.push_back(GuidText(d));
    arrays.push_back({{"id", GuidText(a.id)},
                      {"name", a.name},
                      {"drives", members},
                      {"writeCacheEnabled", a.writeCacheEnabled}});
  }
  for (const auto& v : c.volumes) volumes.push_back(VolumeTo(v));
  for (const auto& d : c.drives) drives.push_back(DriveTo(d));
  return json{{"id", GuidText(c.id)},
              {"pdoName", Narrow(c.pdoName)},
              {"service", Narrow(c.service)},
              {"type", ToName(kControllerTypes, c.type)},
              {"specVersion", std::to_string(c.specMajor) + ".0"},
              {"name", c.name},
              {"vendorId", c.vendorId},
              {"deviceId", c.deviceId},
              {"subsystemId", c.subsystemId},
              {"hardwareRevision", c.hardwareRevision},
              {"preosDriverLoaded", c.preosDriverLoaded},
              {"osDriverVersion", VersionText(c.osDriverVersion)},
              {"preosDriverVersion", VersionText(c.preosDriverVersion)},
              {"limits",
               {{"maxVolumesPerArray", c.maxVolumesPerArray},
                {"maxVolumesPerController", c.maxVolumesPerController},
                {"maxDrivesPerController", c.maxDrivesPerController}}},
              {"readPatrol", c.readPatrolEnabled},
              {"rohi", c.rohiEnabled},
              {"mode", c.mode},
              {"rate", c.rate},
              {"patrolVolume", c.patrolVolume},
              {"patrolElapsedMs", c.patrolElapsedMs},
              {"raidLevels", caps},
              {"arrays", arrays},
              {"volumes", volumes},
              {"drives", drives}};
}

// How bad a volume state says the volume is: running work claims the health the driver lets it
// run with (a rebuild reads a degraded volume, other work needs a normal one).
int ClaimedSeverity(std::uint8_t state) {
  switch (state) {
    case volume_state::kFailed:
      return 2;
    case volume_state::kDegraded:
    case volume_state::kRebuilding:
      return 1;
    default:
      return 0;
  }
}

// Drives a volume names besides its array (stale members, drives joining a migration) are
// members of its array.
void CheckMembersNamed(Controller& c, const Volume& v) {
  const Array* array = c.FindArray(v.arrayId);
  auto check = [&](const char* list, const std::vector<vesk_guid>& ids) {
    for (std::size_t k = 0; k < ids.size(); ++k)
      if (c.ArrayOfDrive(ids[k]) != array)
        Refuse(std::string(list) + "[" + std::to_string(k) + "]", GuidText(ids[k]),
               "is not a member of the volume's array");
  };
  check("staleDrives", v.staleDrives);
  if (v.task) check("task.joiningDrives", v.task->joiningDrives);
  if (v.stoppedMigration)
    check("stoppedMigration.joiningDrives", v.stoppedMigration->joiningDrives);
}

// A volume's state is one the driver could have reached: running work has its task, and no state
// claims better health than the members give.
void CheckState(Controller& c, const Volume& v) {
  const std::string state = ToName(kVolumeStates, v.state);
  if (v.task && WorkState(*v.task) != v.state)
    Refuse("task.kind", ToName(kTaskKinds, static_cast<std::uint8_t>(v.task->kind)),
           "is not the work of a volume in state \"" + state + "\"");
  if (!v.task && v.state >= volume_state::kInitializing)
    Refuse("state", state, "is work in progress, but the volume has no task");
  const std::uint8_t health = VolumeHealth(c, v);
  if (ClaimedSeverity(health) > ClaimedSeverity(v.state))
    Refuse("state", state,
           "claims better health than its members give (" + ToName(kVolumeStates, health) + ")");
}

// The volumes of an array fit in it. An array none of whose members is there has no size to
// measure: the check waits until one returns.
void CheckSpace(Controller& c) {
  std::map<vesk_guid, std::uint64_t> used;
  for (std::size_t i = 0; i < c.volumes.size(); ++i) {
    const Volume& v = c.volumes[i];
    const Array& a = *c.FindArray(v.arrayId);
    const std::uint64_t total = c.ArrayTotalSize(a);
    if (total == 0) continue;
    used[a.id] += RawConsumption(v.raidLevel, v.size, a.drives.size());
    if (used[a.id] > total) {
      At at("volumes", i);
      Refuse("size", v.size,
             "does not fit its array: its volumes take " + std::to_string(used[a.id]) +
                 " bytes of the array's " + std::to_string(total));
    }
  }
}

// Cross-references: every identifier is unique, every reference resolves, a drive belongs to
// at most one array; and the states are consistent with each other.
void Check(Topology& t) {
  std::set<vesk_guid> ids;
  std::set<std::wstring> pdos;
  auto unique = [&](const vesk_guid& id) {
    if (!ids.insert(id).second) Fail("identifier " + id.ToString() + " is used twice");
  };
  for (std::size_t ci = 0; ci < t.controllers.size(); ++ci) {
    Controller& c = t.controllers[ci];
    At atController("controllers", ci);
    unique(c.id);
    if (!pdos.insert(c.pdoName).second) Fail("PDO name " + Narrow(c.pdoName) + " is used twice");
    for (const auto& d : c.drives) unique(d.id);
    for (std::size_t ai = 0; ai < c.arrays.size(); ++ai) {
      const Array& a = c.arrays[ai];
      unique(a.id);
      if (a.drives.empty()) Fail("array " + a.id.ToString() + " has no drives");
      for (std::size_t k = 0; k < a.drives.size(); ++k) {
        const vesk_guid& m = a.drives[k];
        Drive* d = c.FindDrive(m);
        if (!d) Fail("array member " + m.ToString() + " is not a drive of its controller");
        if (d->type == 0) Fail("optical drive " + m.ToString() + " cannot be an array member");
        if (c.ArrayOfDrive(m) != &a) {
          At at("arrays", ai);
          Refuse("drives[" + std::to_string(k) + "]", m.ToString(),
                 "is a member of array " + c.ArrayOfDrive(m)->id.ToString() + " too");
        }
        if (std::count(a.drives.begin(), a.drives.end(), m) != 1)
          Fail("drive " + m.ToString() + " is listed twice in its array");
      }
    }
    for (std::size_t vi = 0; vi < c.volumes.size(); ++vi) {
      const Volume& v = c.volumes[vi];
      unique(v.id);
      if (!c.FindArray(v.arrayId)) Fail("volume " + v.id.ToString() + " names an unknown array");
      if (!v.journalingDriveId.IsEmpty() && !c.FindDrive(v.journalingDriveId))
        Fail("volume " + v.id.ToString() + " names an unknown journaling drive");
      At at("volumes", vi);
      CheckMembersNamed(c, v);
      CheckState(c, v);
    }
    CheckSpace(c);
  }
}

}  // namespace

Topology LoadTopology(const std::string& text) {
  json j;
  try {
    j = json::parse(text);
  } catch (const json::parse_error& e) {
    // Line and column of the byte the parser stopped at; the text itself stays out of the message.
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i + 1 < e.byte && i < text.size(); ++i) {
      column = text[i] == '\n' ? 1 : column + 1;
      line += text[i] == '\n' ? 1 : 0;
    }
    Fail("not valid JSON (line " + std::to_string(line) + ", column " + std::to_string(column) +
         ")");
  }
  try {
    Object(j, "");
    Topology t;
    t.clockMs = Number64(j, "clockMs", 0);
    t.taskDurationMs = Number64(j, "taskDurationMs", 60000, 1);
    t.nextObjectNumber = Number<std::uint32_t>(j, "nextObjectNumber", 1);
    Required(j, "controllers");
    const json& controllers = List(j, "controllers");
    std::map<std::string, std::string> serials;
    for (std::size_t i = 0; i < controllers.size(); ++i) {
      At at("controllers", i);
      t.controllers.push_back(ControllerFrom(Object(controllers[i], ""), i, serials));
    }
    Check(t);
    return t;
  } catch (const json::exception& e) {
    Fail(e.what());
  }
}

Topology LoadTopologyFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) Fail("cannot open " + path);
  std::stringstream text;
  text << in.rdbuf();
  return LoadTopology(text.str());
}

std::string SaveTopology(const Topology& t) {
  json controllers = json::array();
  for (const auto& c : t.controllers) controllers.push_back(ControllerTo(c));
  json j{{"clockMs", t.clockMs},
         {"taskDurationMs", t.taskDurationMs},
         {"nextObjectNumber", t.nextObjectNumber},
         {"controllers", controllers}};
  return j.dump(2) + "\n";
}

void SaveTopologyFile(const Topology& topology, const std::string& path) {
  std::ofstream out(path);
  if (!out) Fail("cannot write " + path);
  out << SaveTopology(topology);
  if (!out) Fail("cannot write " + path);
}

}  // namespace vesk::sim
