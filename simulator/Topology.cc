#include "simulator/Topology.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <limits>
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
std::uint8_t FromName(const Name (&names)[N], const json& value, const char* what) {
  std::string text = value.get<std::string>();
  for (const auto& n : names)
    if (text == n.text) return n.value;
  Fail(std::string("unknown ") + what + " \"" + text + "\"");
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

vesk_guid GuidFrom(const json& value, const char* what) {
  auto guid = ParseGuid(value.get<std::string>());
  if (!guid || guid->IsEmpty())
    Fail(std::string("bad identifier for ") + what + ": " + value.dump());
  return *guid;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }
std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(static_cast<char>(c));
  return out;
}

Vesk::vesk_version_quad VersionFrom(const std::string& text) {
  Vesk::vesk_version_quad v{};
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (std::sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4 || a > 0xFFFF || b > 0xFFFF ||
      c > 0xFFFF || d > 0xFFFF)
    Fail("bad driver version \"" + text + "\"");
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

std::string Text(const json& j, const char* key, std::size_t maxLength,
                 const std::string& fallback) {
  std::string text = j.value(key, fallback);
  if (text.size() > maxLength)
    Fail(std::string(key) + " \"" + text + "\" is longer than " + std::to_string(maxLength));
  return text;
}

template <typename T>
T Number(const json& j, const char* key, T fallback) {
  if (!j.contains(key)) return fallback;
  auto value = j.at(key).get<std::int64_t>();
  if (value < 0 || static_cast<std::uint64_t>(value) > std::numeric_limits<T>::max())
    Fail(std::string(key) + " out of range: " + std::to_string(value));
  return static_cast<T>(value);
}

std::uint64_t Number64(const json& j, const char* key, std::uint64_t fallback) {
  return j.contains(key) ? j.at(key).get<std::uint64_t>() : fallback;
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
  d.id = GuidFrom(j.at("id"), "drive");
  d.type = FromName(kDriveTypes, j.at("type"), "drive type");
  d.modelNumber = Text(j, "model", 40, "");
  d.serialNumber = Text(j, "serial", 20, "");
  d.firmwareRevision = Text(j, "firmware", 8, "");
  d.serviceLabel = Text(j, "serviceLabel", 30, "");
  d.blocks = Number64(j, "sizeBlocks", 0);
  d.logicalBlockSize = Number<std::uint32_t>(j, "logicalBlockSize", 512);
  d.physicalBlockSize = Number<std::uint32_t>(j, "physicalBlockSize", d.logicalBlockSize);
  d.status = j.contains("status") ? FromName(kDriveStatuses, j.at("status"), "drive status")
                                  : drive_status::kNormal;
  d.spare = j.value("spare", false);
  d.foreignMetadata = j.value("foreignMetadata", false);
  d.containsPartition = j.value("containsPartition", false);
  d.ledActive = j.value("ledActive", false);
  d.writeCacheEnabled = j.value("writeCacheEnabled", true);
  d.preBootVisible = j.value("preBootVisible", true);
  d.activateLedSupport = j.value("activateLedSupport", true);
  d.systemDrive = j.value("systemDrive", false);
  d.encryptionAbility = Number<std::uint8_t>(j, "encryptionAbility", 0);
  d.encryptionStatus = Number<std::uint8_t>(j, "encryptionStatus", 0);
  d.portNumber = Number<std::uint8_t>(j, "port", 0);
  d.sataLinkRate = Number<std::uint8_t>(j, "sataLinkRate", 0);
  if (d.sataLinkRate > 0x3F) Fail("sataLinkRate takes 6 bits");
  d.isSsd = j.value("ssd", false);
  d.ncqSupport = j.value("ncq", true);
  d.pciVendorId = Number<std::uint16_t>(j, "pciVendorId", 0);
  d.sbrAttached = j.value("sbrAttached", false);
  d.dualControllerOrder = Number<std::uint8_t>(j, "dualControllerOrder", 0);
  if (d.dualControllerOrder > 1) Fail("dualControllerOrder takes 1 bit");
  d.dualControllerNvme = j.value("dualControllerNvme", false);
  d.socketNumber = Number<std::uint16_t>(j, "socket", 0);
  d.dornControllerNumber = Number<std::uint16_t>(j, "dornController", 0);
  d.rootPortOffset = Number<std::uint16_t>(j, "rootPortOffset", 0);
  d.physicalSlotNumber = Number64(j, "physicalSlot", 0);
  d.pciLinkRate = Number<std::uint8_t>(j, "pciLinkRate", 0);
  d.pciLinkWidth = Number<std::uint8_t>(j, "pciLinkWidth", 0);
  if (d.pciLinkRate > 7 || d.pciLinkWidth > 31)
    Fail("pciLinkRate takes 3 bits and pciLinkWidth 5 bits");
  if (d.status == drive_status::kMissing && d.blocks != 0) Fail("a missing drive has no size");
  return d;
}

json DriveTo(const Drive& d) {
  return json{{"id", GuidText(d.id)},
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
}

std::uint16_t StripCode(const json& value) {
  auto code = value.get<std::uint32_t>();
  if (code == 0 || code > 0x4000 || (code & (code - 1)) != 0)
    Fail("strip size " + std::to_string(code) + " is not a code 2^k with k from 0 to 14");
  return static_cast<std::uint16_t>(code);
}

RaidLevelCapability CapabilityFrom(const json& j) {
  RaidLevelCapability c;
  c.level = FromName(kLevels, j.at("level"), "RAID level");
  c.minDrives = Number<std::uint16_t>(j, "minDrives", 1);
  c.maxDrives = Number<std::uint16_t>(j, "maxDrives", c.minDrives);
  if (c.maxDrives < c.minDrives) Fail("maxDrives below minDrives");
  c.oddCount = j.value("oddCount", true);
  c.evenCount = j.value("evenCount", true);
  for (const auto& s : j.value("stripSizes", json::array())) c.stripSizeMask |= StripCode(s);
  if (j.contains("defaultStripSize")) {
    c.defaultStripSize = StripCode(j.at("defaultStripSize"));
    if ((c.stripSizeMask & c.defaultStripSize) == 0) Fail("defaultStripSize not among stripSizes");
  }
  for (const auto& m : j.value("migrations", json::array()))
    c.migrations.push_back(
        {FromName(kLevels, m.at("to"), "RAID level"), Number<std::uint8_t>(m, "addDrives", 0)});
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
  t.kind = static_cast<Task::Kind>(FromName(kTaskKinds, j.at("kind"), "task kind"));
  t.repair = j.value("repair", false);
  t.elapsedMs = Number64(j, "elapsedMs", 0);
  t.durationMs = Number64(j, "durationMs", 60000);
  if (t.durationMs == 0) Fail("a task takes a non-zero duration");
  if (t.kind == Task::Kind::Migration) {
    t.targetLevel = FromName(kLevels, j.at("targetLevel"), "RAID level");
    t.targetStripSize = j.contains("targetStripSize") ? StripCode(j.at("targetStripSize")) : 0;
    for (const auto& d : j.value("joiningDrives", json::array()))
      t.joiningDrives.push_back(GuidFrom(d, "joining drive"));
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
  v.id = GuidFrom(j.at("id"), "volume");
  v.arrayId = GuidFrom(j.at("array"), "volume array");
  v.name = Text(j, "name", 16, "");
  v.raidLevel = FromName(kLevels, j.at("level"), "RAID level");
  v.stripSize = j.contains("stripSize") ? StripCode(j.at("stripSize")) : 0;
  v.size = Number64(j, "size", 0);
  v.state = j.contains("state") ? FromName(kVolumeStates, j.at("state"), "volume state")
                                : volume_state::kNormal;
  v.systemVolume = j.value("systemVolume", false);
  v.initialized = j.value("initialized", true);
  v.verifyErrors = Number<std::uint32_t>(j, "verifyErrors", 0);
  v.verifyBadBlocks = Number<std::uint32_t>(j, "verifyBadBlocks", 0);
  v.logicalBlockSize = Number<std::uint32_t>(j, "logicalBlockSize", 512);
  v.cachePolicy = Number<std::uint8_t>(j, "cachePolicy", 1);
  v.rwhPolicy = Number<std::uint8_t>(j, "rwhPolicy", 0);
  if (v.cachePolicy > 15 || v.rwhPolicy > 15) Fail("volume policies take 4 bits");
  if (j.contains("journalingDrive"))
    v.journalingDriveId = GuidFrom(j.at("journalingDrive"), "journaling drive");
  v.latentErrors = Number<std::uint32_t>(j, "latentErrors", 0);
  v.latentBadBlocks = Number<std::uint32_t>(j, "latentBadBlocks", 0);
  for (const auto& d : j.value("staleDrives", json::array()))
    v.staleDrives.push_back(GuidFrom(d, "stale drive"));
  if (j.contains("task")) v.task = TaskFrom(j.at("task"));
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
  return j;
}

Controller ControllerFrom(const json& j, std::size_t index) {
  Controller c;
  c.id = GuidFrom(j.at("id"), "controller");
  c.pdoName = Widen(j.value("pdoName", "\\Device\\RaidPort" + std::to_string(index)));
  c.type = FromName(kControllerTypes, j.at("type"), "controller type");
  c.service = Widen(j.value("service", c.type == 2 ? "zrTalu" : "zrDiskE"));
  c.name = Text(j, "name", 256, "");
  std::string version = j.value("specVersion", "4.0");
  if (version != "1.0" && version != "2.0" && version != "3.0" && version != "4.0")
    Fail("specVersion \"" + version + "\" is not 1.0, 2.0, 3.0 or 4.0");
  c.specMajor = static_cast<std::uint8_t>(version[0] - '0');
  c.vendorId = Number<std::uint16_t>(j, "vendorId", 0);
  c.deviceId = Number<std::uint16_t>(j, "deviceId", 0);
  c.subsystemId = Number<std::uint16_t>(j, "subsystemId", 0);
  c.hardwareRevision = Number<std::uint8_t>(j, "hardwareRevision", 0);
  c.preosDriverLoaded = j.value("preosDriverLoaded", true);
  c.osDriverVersion = VersionFrom(j.value("osDriverVersion", "0.0.0.0"));
  c.preosDriverVersion = VersionFrom(j.value("preosDriverVersion", "0.0.0.0"));
  json limits = j.value("limits", json::object());
  c.maxVolumesPerArray = Number<std::uint16_t>(limits, "maxVolumesPerArray", 2);
  c.maxVolumesPerController = Number<std::uint16_t>(limits, "maxVolumesPerController", 8);
  c.maxDrivesPerController = Number<std::uint16_t>(limits, "maxDrivesPerController", 32);
  c.readPatrolEnabled = j.value("readPatrol", false);
  c.rohiEnabled = j.value("rohi", false);
  c.mode = Number<std::uint8_t>(j, "mode", 0);
  if (c.mode > 7) Fail("controller mode takes 3 bits");
  c.rate = Number<std::uint32_t>(j, "rate", 0);
  for (const auto& cap : j.value("raidLevels", json::array()))
    c.raidLevels.push_back(CapabilityFrom(cap));
  if (c.raidLevels.size() > 5) Fail("a controller offers at most 5 RAID levels");

  for (const auto& d : j.value("drives", json::array())) {
    std::uint32_t count = Number<std::uint32_t>(d, "count", 1);
    Drive first = DriveFrom(d);
    for (std::uint32_t n = 0; n < count; ++n) {
      Drive drive = first;
      if (count > 1) {
        drive.id = NthGuid(first.id, n);
        drive.serialNumber = (first.serialNumber + std::to_string(n)).substr(0, 20);
        drive.portNumber = static_cast<std::uint8_t>(first.portNumber + n);
        drive.physicalSlotNumber = first.physicalSlotNumber + n;
      }
      c.drives.push_back(drive);
    }
  }
  for (const auto& a : j.value("arrays", json::array())) {
    Array array;
    array.id = GuidFrom(a.at("id"), "array");
    array.name = Text(a, "name", 20, "");
    array.writeCacheEnabled = a.value("writeCacheEnabled", false);
    for (const auto& d : a.at("drives")) array.drives.push_back(GuidFrom(d, "array member"));
    c.arrays.push_back(array);
  }
  for (const auto& v : j.value("volumes", json::array())) c.volumes.push_back(VolumeFrom(v));
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
              {"raidLevels", caps},
              {"arrays", arrays},
              {"volumes", volumes},
              {"drives", drives}};
}

// Cross-references: every identifier is unique, every reference resolves, a drive belongs to
// at most one array.
void Check(Topology& t) {
  std::set<vesk_guid> ids;
  std::set<std::wstring> pdos;
  auto unique = [&](const vesk_guid& id) {
    if (!ids.insert(id).second) Fail("identifier " + id.ToString() + " is used twice");
  };
  for (auto& c : t.controllers) {
    unique(c.id);
    if (!pdos.insert(c.pdoName).second) Fail("PDO name " + Narrow(c.pdoName) + " is used twice");
    for (const auto& d : c.drives) unique(d.id);
    for (const auto& a : c.arrays) {
      unique(a.id);
      if (a.drives.empty()) Fail("array " + a.id.ToString() + " has no drives");
      for (const auto& m : a.drives) {
        Drive* d = c.FindDrive(m);
        if (!d) Fail("array member " + m.ToString() + " is not a drive of its controller");
        if (d->type == 0) Fail("optical drive " + m.ToString() + " cannot be an array member");
        if (c.ArrayOfDrive(m) != &a) Fail("drive " + m.ToString() + " is in two arrays");
        if (std::count(a.drives.begin(), a.drives.end(), m) != 1)
          Fail("drive " + m.ToString() + " is listed twice in its array");
      }
    }
    for (const auto& v : c.volumes) {
      unique(v.id);
      if (!c.FindArray(v.arrayId)) Fail("volume " + v.id.ToString() + " names an unknown array");
      if (!v.journalingDriveId.IsEmpty() && !c.FindDrive(v.journalingDriveId))
        Fail("volume " + v.id.ToString() + " names an unknown journaling drive");
      std::vector<vesk_guid> named = v.staleDrives;
      if (v.task)
        named.insert(named.end(), v.task->joiningDrives.begin(), v.task->joiningDrives.end());
      for (const auto& d : named)
        if (c.ArrayOfDrive(d) != c.FindArray(v.arrayId))
          Fail("volume " + v.id.ToString() + " names " + d.ToString() +
               ", which is not a member of its array");
    }
  }
}

}  // namespace

Topology LoadTopology(const std::string& text) {
  try {
    json j = json::parse(text);
    Topology t;
    t.clockMs = Number64(j, "clockMs", 0);
    t.taskDurationMs = Number64(j, "taskDurationMs", 60000);
    if (t.taskDurationMs == 0) Fail("taskDurationMs must not be 0");
    t.nextObjectNumber = Number<std::uint32_t>(j, "nextObjectNumber", 1);
    std::size_t index = 0;
    for (const auto& c : j.at("controllers")) t.controllers.push_back(ControllerFrom(c, index++));
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
