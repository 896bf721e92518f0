#include "tools/veskctl/cli/Render.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "tools/veskctl/base/Names.h"
#include "tools/veskctl/cli/Health.h"
#include "tools/veskctl/journal/Audit.h"
#include "tools/veskctl/session/Predict.h"

namespace veskctl {

namespace {

using Vesk::Array;
using Vesk::Controller;
using Vesk::Drive;
using Vesk::Volume;

#define TEXT(field) DriverText(field, sizeof(field))

std::string Version(const Vesk::vesk_version_quad& v) {
  return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.build) +
         "." + std::to_string(v.revision);
}

std::string SpecificationVersion(const Controller& c) {
  return std::to_string(c.apiVersion + 1) + ".0";
}

// Packed record fields are copied before they reach a function that takes a reference.
template <typename T>
T Copy(T value) {
  return value;
}

std::string OnOff(bool value) { return value ? "on" : "off"; }
std::string YesNo(bool value) { return value ? "yes" : "no"; }

nlohmann::json IdJson(const Vesk::vesk_guid& id) {
  return id.IsEmpty() ? nlohmann::json(nullptr) : nlohmann::json(id.ToString());
}

template <typename Map>
std::vector<typename Map::mapped_type> Of(const Map& map, const Vesk::vesk_guid& controllerId) {
  std::vector<typename Map::mapped_type> records;
  for (const auto& [id, record] : map) {
    if (record->controllerId == controllerId) records.push_back(record);
  }
  return records;
}

// The elements of `map` that belong to the array `arrayId`: its member drives, its volumes.
template <typename Map>
std::vector<typename Map::mapped_type> OnArray(const Map& map, const Vesk::vesk_guid& arrayId) {
  std::vector<typename Map::mapped_type> records;
  if (arrayId.IsEmpty()) return records;
  for (const auto& [id, record] : map) {
    if (record->arrayId == arrayId) records.push_back(record);
  }
  return records;
}

template <typename Records>
nlohmann::json IdsJson(const Records& records) {
  nlohmann::json ids = nlohmann::json::array();
  for (const auto* r : records) ids.push_back(r->id.ToString());
  return ids;
}

std::string ScsiText(const Vesk::Scsi& s) {
  char text[32];
  std::snprintf(text, sizeof text, "%u:%u:%u:%u", s.host, s.bus, s.target, s.lun);
  return text;
}

bool VolumeWorkRunning(const Volume& v) {
  // States 3 to 7 are background work: initializing, verifying (and fixing), rebuilding,
  // migrating.
  return v.migrating() || (v.state >= 3 && v.state <= 7);
}

// Bit k of the driver's mask offers the strip-size code 2^k.
std::vector<std::uint16_t> OfferedStrips(std::uint16_t mask) {
  std::vector<std::uint16_t> codes;
  for (int k = 0; k < 16; ++k)
    if (mask & (1u << k)) codes.push_back(static_cast<std::uint16_t>(1u << k));
  return codes;
}

std::string DriveLine(const Drive& d) {
  std::ostringstream line;
  line << TEXT(d.modelNumber) << "  serial " << TEXT(d.serialNumber) << "  "
       << HumanBytes(d.totalSize) << "  " << DriveTypeName(d.type) << "  "
       << DriveStatusName(d.status) << "  " << DriveUsageName(d.usage) << "  SCSI "
       << ScsiText(d.scsiAddress);
  if (d.type == Vesk::VESK_DRIVE_NVME) {
    line << "  slot " << d.physicalSlotNumber();
  } else {
    line << "  port " << static_cast<int>(d.portNumber());
  }
  if (d.ledActive()) line << "  LED on";
  if (d.writeCacheEnabled()) line << "  write cache on";
  return line.str();
}

// The simulated driver's own topology, when the session has one.
std::optional<vesk::sim::Topology> Machine(Session& session) {
  if (!session.Simulated()) return std::nullopt;
  return session.Driver().Snapshot();
}

const vesk::sim::Topology* Pointer(const std::optional<vesk::sim::Topology>& machine) {
  return machine ? &*machine : nullptr;
}

// A member that is not there to hold data, by its drive status; empty for a drive that works.
std::string LostRole(std::uint8_t driveStatus) {
  switch (driveStatus) {
    case vesk::sim::drive_status::kMissing:
      return "missing";
    case vesk::sim::drive_status::kFailed:
      return "failed";
    case vesk::sim::drive_status::kOffline:
      return "offline";
    default:
      return "";
  }
}

bool Lost(const Member& m) {
  return m.role == "missing" || m.role == "failed" || m.role == "offline";
}

std::string MemberName(const Member& m) {
  const std::string serial = m.drive ? TEXT(m.drive->serialNumber) : "";
  return serial.empty() ? m.id : serial;
}

std::string MembersText(const Members& members) {
  std::string text;
  for (std::size_t i = 0; i < members.members.size(); ++i) {
    const Member& m = members.members[i];
    text += (i ? ", " : "") + std::to_string(i + 1) + " " + MemberName(m) + " " + m.role;
  }
  return text;
}

// The spares of the volume's controller that could take a member's place now.
std::vector<std::string> UsableSpares(Vesk::StorageManagement& storage, const Volume& v) {
  std::vector<std::string> serials;
  for (const Drive* d : Of(storage.GetDrives(), v.controllerId))
    if (UsableSpare(*d)) serials.push_back(TEXT(d->serialNumber));
  return serials;
}

std::vector<Advice> AdviceFor(Vesk::StorageManagement& storage, const Roster* roster,
                              const Volume& v, const std::vector<Member>& members) {
  std::vector<Advice> advice;
  const std::string name = QuotedArgument(TEXT(v.name));
  std::string lost, stale;
  std::size_t places = 0;
  for (const Member& m : members) {
    if (Lost(m)) {
      lost += (lost.empty() ? "" : ", ") + MemberName(m) + " (" + m.role + ")";
      ++places;
    }
    if (m.role == "stale") stale += (stale.empty() ? "" : ", ") + MemberName(m);
  }
  if (v.state == vesk::sim::volume_state::kDegraded && places > 0) {
    std::string drives = "DRIVE";
    for (std::size_t i = 1; i < places; ++i) drives += ",DRIVE";
    advice.push_back({"rebuild-volume " + name + " --drives " + drives,
                      "a free drive of at least the members' size takes the place of " + lost});
  } else if (v.state == vesk::sim::volume_state::kDegraded) {
    advice.push_back({"rebuild-volume " + name,
                      stale.empty()
                          ? "writes the volume's data back onto its stale member"
                          : "writes the volume's data onto " + stale + ", which holds none of it"});
  }
  if (!v.initialized() && !VolumeWorkRunning(v))
    advice.push_back({"initialize-volume " + name, "a verification needs an initialized volume"});
  // A failed volume's data cannot be read back by any command: what is left is to start it anew.
  if (v.state == vesk::sim::volume_state::kFailed)
    advice.push_back({"delete-volume " + name,
                      "its data cannot be read: delete it, create it again (create-volume) and "
                      "restore its data from a backup"});
  if (v.verifyErrors > 0 && v.state == vesk::sim::volume_state::kNormal)
    advice.push_back({"verify-volume " + name + " --repair",
                      "the last verification found " + std::to_string(v.verifyErrors) +
                          " errors: a repairing one makes the volume's redundancy consistent"});
  if (v.state == vesk::sim::volume_state::kFailed || !Redundant(v.raidLevel)) return advice;
  // A member that warns of its end is replaced while the others still hold the data: a spare
  // takes its place once it is removed, and is rebuilt from them.
  const auto spares = UsableSpares(storage, v);
  for (const Member& m : members) {
    if (!m.drive || m.drive->status != vesk::sim::drive_status::kSmartEvent) continue;
    const std::string warned =
        "drive " + MemberName(m) + " reports a SMART event and may fail soon";
    if (spares.empty()) {
      advice.push_back({"mark-spare DRIVE", warned +
                                                ": mark a free drive of at least the members' "
                                                "size as spare, then run remove-drive " +
                                                MemberName(m) +
                                                " and the spare is rebuilt in its place"});
    } else {
      advice.push_back({"remove-drive " + MemberName(m),
                        warned + ": removed, spare " + spares.front() +
                            " takes its place and the volume is rebuilt onto it"});
    }
  }
  const bool sparePlanned = !advice.empty() && advice.back().command == "mark-spare DRIVE";
  if (roster && !sparePlanned) {
    const auto gone = roster->SparesGone(storage, v.controllerId);
    if (!gone.empty())
      advice.push_back({"mark-spare DRIVE",
                        "its controller had a spare (" + gone.front() +
                            ") and has none usable now: a free drive of at least the members' "
                            "size marked as spare takes the place of a member that fails"});
  }
  return advice;
}

// What the last verification found, as the driver counts it; whether it repaired that only a
// run of veskctl that saw it end knows (WithVerifyResults).
std::string FoundText(const Volume& v) {
  return VerifyFoundText(Copy(v.verifyErrors), Copy(v.verifyBadBlocks), nullptr);
}
constexpr char kNoVerifyKnown[] = "none on record";

// What a view is drawn from: the records the library read, the simulated driver's own topology
// (null against the RAID driver), what veskctl remembers of the drives, and for the text the
// roll-ups of controllers and arrays by identifier.
struct Sources {
  Vesk::StorageManagement& storage;
  const vesk::sim::Topology* machine;
  const Roster& roster;
  std::map<std::string, int> health;

  Members MembersOf(const Volume& v) const { return VolumeMembers(storage, v, machine, &roster); }
  // "  AT RISK" after the name of an element with a roll-up; nothing where none was worked out.
  std::string HealthOf(const Vesk::vesk_guid& id) const {
    const auto found = health.find(id.ToString());
    return found == health.end() ? "" : std::string("  ") + HealthWord(found->second);
  }
};

std::string VolumeLines(const Volume& v, const Members& members, const std::string& indent) {
  std::ostringstream out;
  out << indent << "Volume " << v.id.ToString() << "  \"" << TEXT(v.name) << "\"  "
      << RaidLevelName(v.raidLevel) << "  " << HumanBytes(v.size) << "  strip "
      << StripSizeText(v.stripSize) << "  " << VolumeStateName(v.state);
  if (VolumeWorkRunning(v)) out << " " << v.migrationProgress << "%";
  out << "\n"
      << indent << "  cache " << CachePolicyName(v.cachePolicy()) << ", write hole "
      << RwhPolicyName(v.rwhPolicy());
  if (!v.journalingDriveId.IsEmpty()) out << " on " << v.journalingDriveId.ToString();
  out << (v.initialized() ? ", initialized" : ", not initialized")
      << (v.systemVolume() ? ", system volume" : "");
  if (v.verifyErrors || v.verifyBadBlocks) out << ", last verify: " << FoundText(v);
  out << "\n"
      << indent << "  members" << (members.arrayOrder ? " in array order" : " by identifier")
      << ": " << MembersText(members) << "\n";
  for (const Advice& a : members.advice)
    out << indent << "  to do: veskctl " << a.command << "  (" << a.why << ")\n";
  return out.str();
}

std::string ArrayLines(const Sources& src, const Array& a, const std::string& indent,
                       const std::string& details = "") {
  auto& storage = src.storage;
  std::ostringstream out;
  out << indent << "Array " << a.id.ToString() << "  " << TEXT(a.name) << src.HealthOf(a.id) << "  "
      << HumanBytes(a.totalSize) << " total, " << HumanBytes(a.freeSize) << " free, write cache "
      << OnOff(a.writeCacheEnabled()) << "\n"
      << details;
  for (const Volume* v : OnArray(storage.GetVolumes(), a.id))
    out << VolumeLines(*v, src.MembersOf(*v), indent + "  ");
  for (const Drive* d : OnArray(storage.GetDrives(), a.id))
    out << indent << "  Drive " << d->id.ToString() << "  " << DriveLine(*d) << "\n";
  return out.str();
}

// `details` follow the controller's own lines, before its arrays and drives.
std::string ControllerLines(const Sources& src, const Controller& c,
                            const std::string& details = "") {
  auto& storage = src.storage;
  std::ostringstream out;
  out << "Controller " << c.id.ToString() << "  " << TEXT(c.name) << src.HealthOf(c.id) << "\n";
  out << "  type " << ControllerTypeName(c.type) << ", management version "
      << SpecificationVersion(c) << ", driver " << Version(c.osDriverVersion) << ", pre-OS driver "
      << Version(c.preosDriverVersion) << (c.preosDriverLoaded() ? " (loaded)" : "") << "\n";
  out << "  read patrol " << OnOff(c.readPatrolEnabled()) << ", ROHI " << OnOff(c.rohiEnabled())
      << ", limits: " << c.maxVolumesPerController << " volumes, " << c.maxVolumesPerArray
      << " per array, " << c.maxDrivesPerController << " drives, " << c.maxDrivesPerArray
      << " per array\n";
  out << "  RAID levels:";
  bool any = false;
  for (const auto& level : c.raidLevelDescriptors) {
    if (level.level == 0) continue;
    out << (any ? ", " : " ") << RaidLevelName(level.level) << " (" << level.minDrivesCount << "-"
        << level.maxDrivesCount << " drives)";
    any = true;
  }
  out << (any ? "\n" : " none\n");
  if (const auto gone = src.roster.SparesGone(storage, c.id); !gone.empty())
    out << "  no usable spare: it had " << gone.front() << "\n";
  out << details;
  for (const Array* a : Of(storage.GetArrays(), c.id)) out << ArrayLines(src, *a, "  ");
  bool header = false;
  for (const Drive* d : Of(storage.GetDrives(), c.id)) {
    // A drive forgotten is gone for good: it is not outside arrays, it is nowhere.
    if (!d->arrayId.IsEmpty() || src.roster.Forgotten(*d)) continue;
    if (!header) out << "  Drives outside arrays\n";
    header = true;
    out << "    Drive " << d->id.ToString() << "  " << DriveLine(*d) << "\n";
  }
  return out.str();
}

// "  label: value" lines of the detail views, the values lined up.
class Details {
 public:
  void operator()(const std::string& label, const std::string& value) {
    out << "  " << label << ":" << std::string(label.size() < 20 ? 20 - label.size() : 1, ' ')
        << value << "\n";
  }
  std::string str() const { return out.str(); }

 private:
  std::ostringstream out;
};

std::string Bytes(std::uint64_t bytes) {
  return HumanBytes(bytes) + " (" + std::to_string(bytes) + " bytes)";
}

std::string ElementName(const Vesk::Controller& c) {
  return c.id.ToString() + " \"" + TEXT(c.name) + "\"";
}

nlohmann::json DriveJson(Vesk::StorageManagement& storage, const Drive& d) {
  nlohmann::json j = {
      {"id", d.id.ToString()},
      {"controllerId", d.controllerId.ToString()},
      {"arrayId", IdJson(d.arrayId)},
      {"volumeIds", IdsJson(OnArray(storage.GetVolumes(), d.arrayId))},
      {"model", TEXT(d.modelNumber)},
      {"serial", TEXT(d.serialNumber)},
      {"firmware", TEXT(d.firmwareRevision)},
      {"serviceLabel", TEXT(d.serviceLabel)},
      {"blocks", Copy(d.size)},
      {"logicalBlockSize", Copy(d.logicalBlockSize)},
      {"physicalBlockSize", Copy(d.physicalBlockSize)},
      {"totalSize", Copy(d.totalSize)},
      {"type", Copy(d.type)},
      {"typeName", DriveTypeName(d.type)},
      {"status", Copy(d.status)},
      {"statusName", DriveStatusName(d.status)},
      {"usage", Copy(d.usage)},
      {"usageName", DriveUsageName(d.usage)},
      {"ledActive", d.ledActive()},
      {"activateLedSupport", d.activateLedSupport()},
      {"writeCacheEnabled", d.writeCacheEnabled()},
      {"containsPartition", d.containsPartition()},
      {"preBootVisible", d.preBootVisible()},
      {"systemDrive", d.systemDrive()},
      {"volumeLocation", {Copy(d.volumeLocation0), Copy(d.volumeLocation1)}},
      {"encryptionAbility", Copy(d.encryptionAbility)},
      {"encryptionStatus", Copy(d.encryptionStatus)},
      {"scsiAddress",
       {{"host", Copy(d.scsiAddress.host)},
        {"bus", Copy(d.scsiAddress.bus)},
        {"target", Copy(d.scsiAddress.target)},
        {"lun", Copy(d.scsiAddress.lun)}}},
  };
  if (d.type == Vesk::VESK_DRIVE_NVME) {
    j["nvme"] = {{"vendorId", d.vendorId()},
                 {"sbrAttached", d.sbrAttached()},
                 {"dualControllerNvme", d.dualControllerNvme()},
                 {"dualControllerOrder", d.dualControllerOrder()},
                 {"socket", d.socketNumber()},
                 {"dornController", d.dornControllerNumber()},
                 {"rootPortOffset", d.rootPortOffset()},
                 {"slot", d.physicalSlotNumber()},
                 {"linkRate", d.pciNegotiatedLinkRate()},
                 {"linkWidth", d.negotiatedLinkWidth()}};
  } else {
    j["sata"] = {{"port", d.portNumber()},
                 {"linkRate", d.ataNegotiatedLinkRate()},
                 {"ssd", d.isSsd()},
                 {"ncq", d.ncqSupport()}};
  }
  return j;
}

nlohmann::json VolumeJson(const Sources& src, const Volume& v) {
  auto& storage = src.storage;
  const Members members = src.MembersOf(v);
  nlohmann::json memberList = nlohmann::json::array(), advice = nlohmann::json::array();
  for (const Member& m : members.members) {
    memberList.push_back({{"driveId", m.id},
                          {"serial", m.drive ? nlohmann::json(TEXT(m.drive->serialNumber))
                                             : nlohmann::json(nullptr)},
                          {"role", m.role}});
  }
  for (const Advice& a : members.advice) advice.push_back({{"command", a.command}, {"why", a.why}});
  return {
      {"id", v.id.ToString()},
      {"controllerId", v.controllerId.ToString()},
      {"arrayId", v.arrayId.ToString()},
      {"arrayOrdinal", Copy(v.arrayOrdinal)},
      {"driveIds", IdsJson(OnArray(storage.GetDrives(), v.arrayId))},
      {"name", TEXT(v.name)},
      {"raidLevel", Copy(v.raidLevel)},
      {"raidLevelName", RaidLevelName(v.raidLevel)},
      {"size", Copy(v.size)},
      {"stripSize", StripBytes(v.stripSize)},
      {"state", Copy(v.state)},
      {"stateName", VolumeStateName(v.state)},
      {"numberOfDrives", Copy(v.numberOfDrives)},
      {"initialized", v.initialized()},
      {"systemVolume", v.systemVolume()},
      {"migrating", v.migrating()},
      {"progress",
       VolumeWorkRunning(v) ? nlohmann::json(Copy(v.migrationProgress)) : nlohmann::json(nullptr)},
      {"verifyErrors", Copy(v.verifyErrors)},
      {"verifyBadBlocks", Copy(v.verifyBadBlocks)},
      {"logicalBlockSize", Copy(v.logicalBlockSize)},
      {"cachePolicy", v.cachePolicy()},
      {"cachePolicyName", CachePolicyName(v.cachePolicy())},
      {"rwhPolicy", v.rwhPolicy()},
      {"rwhPolicyName", RwhPolicyName(v.rwhPolicy())},
      {"journalingDriveId", IdJson(v.journalingDriveId)},
      {"members", memberList},
      {"memberOrder", members.arrayOrder ? "array" : "identifier"},
      {"needsInitializing", !v.initialized() && !VolumeWorkRunning(v)},
      {"advice", advice},
  };
}

nlohmann::json ArrayJson(Vesk::StorageManagement& storage, const Array& a) {
  return {{"id", a.id.ToString()},
          {"controllerId", a.controllerId.ToString()},
          {"name", TEXT(a.name)},
          {"totalSize", Copy(a.totalSize)},
          {"freeSize", Copy(a.freeSize)},
          {"writeCacheEnabled", a.writeCacheEnabled()},
          {"driveIds", IdsJson(OnArray(storage.GetDrives(), a.id))},
          {"volumeIds", IdsJson(OnArray(storage.GetVolumes(), a.id))}};
}

nlohmann::json ControllerJson(const Sources& src, const Controller& c) {
  auto& storage = src.storage;
  nlohmann::json levels = nlohmann::json::array();
  for (const auto& level : c.raidLevelDescriptors) {
    if (level.level == 0) continue;
    nlohmann::json migrations = nlohmann::json::array();
    for (const auto& m : level.migrationDescriptors) {
      migrations.push_back({{"targetRaidLevel", Copy(m.targetRaidLevel)},
                            {"targetRaidLevelName", RaidLevelName(m.targetRaidLevel)},
                            {"minAdditionalDriveCount", Copy(m.minAdditionalDriveCount)}});
    }
    nlohmann::json strips = nlohmann::json::array();
    for (std::uint16_t code : OfferedStrips(level.supportedStripSizes))
      strips.push_back(StripBytes(code));
    levels.push_back({{"raidLevel", Copy(level.level)},
                      {"raidLevelName", RaidLevelName(level.level)},
                      {"minDrives", Copy(level.minDrivesCount)},
                      {"maxDrives", Copy(level.maxDrivesCount)},
                      {"oddDriveCount", level.oddDriveCount()},
                      {"evenDriveCount", level.evenDriveCount()},
                      {"defaultStripSize", StripBytes(level.defaultStripSize)},
                      {"supportedStripSizes", strips},
                      {"migrations", migrations}});
  }
  nlohmann::json arrays = nlohmann::json::array();
  for (const Array* a : Of(storage.GetArrays(), c.id)) arrays.push_back(ArrayJson(storage, *a));
  nlohmann::json volumes = nlohmann::json::array();
  for (const Volume* v : Of(storage.GetVolumes(), c.id)) volumes.push_back(VolumeJson(src, *v));
  nlohmann::json drives = nlohmann::json::array();
  for (const Drive* d : Of(storage.GetDrives(), c.id))
    if (!src.roster.Forgotten(*d)) drives.push_back(DriveJson(storage, *d));
  return {
      {"id", c.id.ToString()},
      {"name", TEXT(c.name)},
      {"type", Copy(c.type)},
      {"typeName", ControllerTypeName(c.type)},
      // The mode means something on SATA controllers only.
      {"mode",
       c.type == Vesk::VESK_CONTROLLER_SATA ? nlohmann::json(c.mode()) : nlohmann::json(nullptr)},
      {"deviceNumber", c.DeviceNumber()},
      {"vendorId", Copy(c.vendorId)},
      {"deviceId", Copy(c.deviceId)},
      {"subsystemId", Copy(c.subsystemId)},
      {"hardwareRevision", Copy(c.hardwareRevision)},
      {"apiVersion", Copy(c.apiVersion)},
      {"specificationVersion", SpecificationVersion(c)},
      {"osDriverVersion", Version(c.osDriverVersion)},
      {"preosDriverVersion", Version(c.preosDriverVersion)},
      {"preosDriverLoaded", c.preosDriverLoaded()},
      {"readPatrolEnabled", c.readPatrolEnabled()},
      {"rohiEnabled", c.rohiEnabled()},
      {"maxVolumesPerArray", Copy(c.maxVolumesPerArray)},
      {"maxVolumesPerController", Copy(c.maxVolumesPerController)},
      {"maxDrivesPerController", Copy(c.maxDrivesPerController)},
      {"maxDrivesPerArray", Copy(c.maxDrivesPerArray)},
      {"raidLevels", levels},
      {"arrays", arrays},
      {"volumes", volumes},
      {"drives", drives},
      {"sparesGone", src.roster.SparesGone(storage, c.id)},
  };
}

std::string ControllerDetails(const Sources& src, const Controller& c) {
  Details details;
  char pci[64];
  std::snprintf(pci, sizeof pci, "vendor 0x%04x, device 0x%04x, subsystem 0x%04x, revision %u",
                Copy(c.vendorId), Copy(c.deviceId), Copy(c.subsystemId), Copy(c.hardwareRevision));
  details("PCI", pci);
  details("device number", std::to_string(c.DeviceNumber()));
  if (c.type == Vesk::VESK_CONTROLLER_SATA) details("mode", std::to_string(c.mode()));
  for (const auto& level : c.raidLevelDescriptors) {
    if (level.level == 0) continue;
    std::string strips, migrations;
    for (std::uint16_t code : OfferedStrips(level.supportedStripSizes))
      strips += (strips.empty() ? "" : ", ") + StripSizeText(code);
    for (const auto& m : level.migrationDescriptors) {
      migrations += (migrations.empty() ? "" : ", ") + RaidLevelName(m.targetRaidLevel) +
                    (m.minAdditionalDriveCount
                         ? " (+" + std::to_string(m.minAdditionalDriveCount) + " drives)"
                         : "");
    }
    std::string counts = level.oddDriveCount() && !level.evenDriveCount()   ? ", odd counts"
                         : !level.oddDriveCount() && level.evenDriveCount() ? ", even counts"
                                                                            : "";
    details(RaidLevelName(level.level),
            std::to_string(level.minDrivesCount) + "-" + std::to_string(level.maxDrivesCount) +
                " drives" + counts + "; " +
                (strips.empty() ? "no strip"
                                : "strips " + strips + " (default " +
                                      StripSizeText(level.defaultStripSize) + ")") +
                "; migrates to " + (migrations.empty() ? "nothing" : migrations));
  }
  return ControllerLines(src, c, details.str());
}

std::string ArrayDetails(const Sources& src, const Array& a) {
  auto& storage = src.storage;
  const Controller& c = *storage.GetControllers().GetControllersById().at(a.controllerId);
  Details details;
  details("controller", ElementName(c));
  details("total size", Bytes(a.totalSize));
  details("free size", Bytes(a.freeSize));
  return ArrayLines(src, a, "", details.str());
}

std::string VolumeDetails(const Sources& src, const Volume& v) {
  auto& storage = src.storage;
  const Controller& c = *storage.GetControllers().GetControllersById().at(v.controllerId);
  const Members members = src.MembersOf(v);
  Details details;
  details("controller", ElementName(c));
  details("array", v.arrayId.ToString() + ", ordinal " + std::to_string(v.arrayOrdinal) + " in it");
  details("size", Bytes(v.size));
  details("logical block size", std::to_string(v.logicalBlockSize) + " bytes");
  if (VolumeWorkRunning(v)) {
    details("progress",
            std::to_string(v.migrationProgress) + "%" + (v.migrating() ? " (layout change)" : ""));
  }
  // The driver's counts are alike for a volume never verified and one found clean.
  const bool found = v.verifyErrors || v.verifyBadBlocks;
  details("last verify", found ? FoundText(v) : kNoVerifyKnown);
  return VolumeLines(v, members, "") + details.str();
}

std::string DriveDetails(Vesk::StorageManagement& storage, const Drive& d) {
  const Controller& c = *storage.GetControllers().GetControllersById().at(d.controllerId);
  std::string volumes;
  for (const Volume* v : OnArray(storage.GetVolumes(), d.arrayId))
    volumes += (volumes.empty() ? "" : ", ") + ("\"" + TEXT(v->name) + "\"");
  const std::string label = TEXT(d.serviceLabel);
  Details details;
  details("controller", ElementName(c));
  details("array", d.arrayId.IsEmpty() ? "none" : d.arrayId.ToString());
  details("volumes", volumes.empty() ? "none" : volumes);
  details("firmware", TEXT(d.firmwareRevision));
  details("service label", label.empty() ? "none" : label);
  details("size", Bytes(d.totalSize) + ", " + std::to_string(d.size) + " blocks of " +
                      std::to_string(d.logicalBlockSize) + " bytes, physical blocks of " +
                      std::to_string(d.physicalBlockSize) + " bytes");
  if (d.type == Vesk::VESK_DRIVE_NVME) {
    char vendor[16];
    std::snprintf(vendor, sizeof vendor, "0x%04x", d.vendorId());
    details("NVMe", "vendor " + std::string(vendor) + ", socket " +
                        std::to_string(d.socketNumber()) + ", Dorn controller " +
                        std::to_string(d.dornControllerNumber()) + ", root port offset " +
                        std::to_string(d.rootPortOffset()) + ", slot " +
                        std::to_string(d.physicalSlotNumber()));
    details("link", "rate code " + std::to_string(d.pciNegotiatedLinkRate()) + ", width x" +
                        std::to_string(d.negotiatedLinkWidth()));
    details("attachment",
            std::string(d.sbrAttached() ? "chipset" : "processor") +
                (d.dualControllerNvme()
                     ? ", dual controller (order " + std::to_string(d.dualControllerOrder()) + ")"
                     : ""));
  } else {
    details("SATA", "port " + std::to_string(d.portNumber()) + ", link rate code " +
                        std::to_string(d.ataNegotiatedLinkRate()) + ", " +
                        (d.isSsd() ? "SSD" : "rotating") + ", NCQ " + YesNo(d.ncqSupport()));
  }
  details("flags", "LED " + OnOff(d.ledActive()) + " (LED support " +
                       YesNo(d.activateLedSupport()) + "), write cache " +
                       OnOff(d.writeCacheEnabled()) + ", partitions " +
                       YesNo(d.containsPartition()) + ", system drive " + YesNo(d.systemDrive()) +
                       ", pre-boot visible " + YesNo(d.preBootVisible()));
  details("encryption", "ability " + std::to_string(d.encryptionAbility) + ", status " +
                            std::to_string(d.encryptionStatus));
  details("volume location",
          std::to_string(d.volumeLocation0) + ", " + std::to_string(d.volumeLocation1));
  return "Drive " + d.id.ToString() + "  " + DriveLine(d) + "\n" + details.str();
}

// What a volume that lost data keeps until it is deleted or the loss acknowledged. veskctl keeps
// the mark (in the state file), from the simulated driver's own or from what it saw.
nlohmann::json LossJson(const JobBook& jobs, const nlohmann::json& volume) {
  const auto* mark = jobs.DataLost(volume["id"].get<std::string>());
  if (!mark) return nullptr;
  const auto size = volume.value("size", std::uint64_t{0});
  return {{"members", mark->members},
          {"atMs", mark->atMs},
          {"bytes", mark->bytes != 0 ? nlohmann::json(mark->bytes) : nlohmann::json(nullptr)},
          {"failed", mark->failed},
          {"forced", mark->forced},
          {"text", DataLossText(*mark, size, volume.value("name", std::string()))}};
}

// Adds the marks to the volumes of a topology or an element, as JSON.
void AddLossMarks(const JobBook& jobs, nlohmann::json& controller) {
  for (auto& v : controller["volumes"]) v["dataLost"] = LossJson(jobs, v);
}

// Adds the marks under the first line of each marked volume in `text`.
std::string WithLossMarks(const JobBook& jobs, Vesk::StorageManagement& storage, std::string text) {
  for (const auto& [id, v] : storage.GetVolumes()) {
    const auto* mark = jobs.DataLost(id.ToString());
    const auto at = text.find("Volume " + id.ToString() + "  ");
    if (!mark || at == std::string::npos) continue;
    const auto lineStart = text.rfind('\n', at) == std::string::npos ? 0 : text.rfind('\n', at) + 1;
    const auto lineEnd = text.find('\n', at);
    if (lineEnd == std::string::npos) continue;
    text.insert(lineEnd + 1, text.substr(lineStart, at - lineStart) + "  " +
                                 DataLossText(*mark, v->size, TEXT(v->name)) + "\n");
  }
  return text;
}

// The last verification's results where a run of veskctl saw it end: whether it repaired what it
// found, and that one found nothing rather than none on record.
const JobBook::Verified* LastVerify(const JobBook& jobs, const Volume& v) {
  return jobs.LastVerify(v.id.ToString(), Copy(v.verifyErrors), Copy(v.verifyBadBlocks));
}

std::string WithVerifyResults(const JobBook& jobs, Vesk::StorageManagement& storage,
                              std::string text) {
  for (const auto& [id, v] : storage.GetVolumes()) {
    const auto* known = LastVerify(jobs, *v);
    const auto at = text.find("Volume " + id.ToString() + "  ");
    if (!known || at == std::string::npos) continue;
    const bool found = v->verifyErrors || v->verifyBadBlocks;
    const std::string was = found ? FoundText(*v) : kNoVerifyKnown;
    const std::string now = found
                                ? VerifyFoundText(known->errors, known->badBlocks, known->repaired)
                                : "no errors found";
    // The volume's line and its details, up to the next element.
    auto end = text.find("Volume ", at + 1);
    for (auto place = text.find(was, at); place < end; place = text.find(was, place)) {
      text.replace(place, was.size(), now);
      place += now.size();
      if (end != std::string::npos) end += now.size() - was.size();
    }
    // What a repair found is mended: its advice to repair goes.
    if (!known->repaired) continue;
    const auto advice = text.find("to do: veskctl verify-volume ", at);
    if (advice < end) {
      const auto lineStart = text.rfind('\n', advice) + 1;
      text.erase(lineStart, text.find('\n', advice) + 1 - lineStart);
    }
  }
  return text;
}

void AddVerifyResults(const JobBook& jobs, Vesk::StorageManagement& storage,
                      nlohmann::json& volume) {
  volume["verifyRepaired"] = nullptr;
  for (const auto& [id, v] : storage.GetVolumes())
    if (id.ToString() == volume["id"])
      if (const auto* known = LastVerify(jobs, *v)) volume["verifyRepaired"] = known->repaired;
  if (volume["verifyRepaired"] == true && volume["advice"].is_array()) {
    auto& advice = volume["advice"];
    for (auto it = advice.begin(); it != advice.end();)
      it = it->value("command", "").rfind("verify-volume ", 0) == 0 ? advice.erase(it) : it + 1;
  }
}

// The roll-ups of the controllers and arrays of `controllers` (TopologyJson's), added to it and
// returned by identifier for the text.
std::map<std::string, int> AddRollUps(nlohmann::json& controllers) {
  std::map<std::string, int> health;
  for (auto& c : controllers) {
    const int code = RollUp(c);
    c["health"] = HealthName(code);
    health[c["id"].get<std::string>()] = code;
    for (auto& a : c["arrays"]) {
      const int arrayCode = RollUp(c, a["id"].get<std::string>());
      a["health"] = HealthName(arrayCode);
      health[a["id"].get<std::string>()] = arrayCode;
    }
  }
  return health;
}

nlohmann::json ControllersJson(const Session& session, const Sources& src) {
  nlohmann::json controllers = nlohmann::json::array();
  for (const Controller* c : session.ControllersInOrder())
    controllers.push_back(ControllerJson(src, *c));
  for (auto& c : controllers) {
    AddLossMarks(session.Jobs(), c);
    for (auto& v : c["volumes"]) AddVerifyResults(session.Jobs(), src.storage, v);
  }
  return controllers;
}

}  // namespace

std::string TopologyTree(const Session& session) {
  auto& storage = const_cast<Session&>(session).Storage();
  const auto controllers = session.ControllersInOrder();
  if (controllers.empty()) return "No RAID controller found.\n";
  const auto machine = Machine(const_cast<Session&>(session));
  Sources src{storage, Pointer(machine), session.Remembered(), {}};
  nlohmann::json json = ControllersJson(session, src);
  src.health = AddRollUps(json);
  std::string out;
  for (const Controller* c : controllers) out += ControllerLines(src, *c);
  return WithVerifyResults(session.Jobs(), storage, WithLossMarks(session.Jobs(), storage, out));
}

nlohmann::json TopologyJson(const Session& session) {
  auto& storage = const_cast<Session&>(session).Storage();
  const auto machine = Machine(const_cast<Session&>(session));
  nlohmann::json controllers =
      ControllersJson(session, {storage, Pointer(machine), session.Remembered(), {}});
  AddRollUps(controllers);
  return {{"controllers", controllers}};
}

std::string ElementText(Session& session, const Element& e) {
  auto& storage = session.Storage();
  const auto machine = Machine(session);
  Sources src{storage, Pointer(machine), session.Remembered(), {}};
  if (e.controller || e.array) {
    nlohmann::json json = ControllersJson(session, src);
    src.health = AddRollUps(json);
  }
  auto marked = [&](std::string text) {
    return WithVerifyResults(session.Jobs(), storage,
                             WithLossMarks(session.Jobs(), storage, std::move(text)));
  };
  if (e.controller) return marked(ControllerDetails(src, *e.controller));
  if (e.array) return marked(ArrayDetails(src, *e.array));
  if (e.volume) return marked(VolumeDetails(src, *e.volume));
  return DriveDetails(storage, *e.drive);
}

nlohmann::json ElementJson(Session& session, const Element& e) {
  auto& storage = session.Storage();
  const auto machine = Machine(session);
  const Sources src{storage, Pointer(machine), session.Remembered(), {}};
  if (e.controller || e.array) {
    nlohmann::json controllers = ControllersJson(session, src);
    AddRollUps(controllers);
    const std::string id = (e.controller ? e.controller->id : e.array->controllerId).ToString();
    for (auto& c : controllers) {
      if (c["id"] != id) continue;
      if (e.controller) return {{"kind", "controller"}, {"controller", c}};
      for (auto& a : c["arrays"])
        if (a["id"] == e.array->id.ToString()) return {{"kind", "array"}, {"array", a}};
    }
    throw std::logic_error("a resolved element is not in the topology it was resolved from");
  }
  if (e.volume) {
    nlohmann::json volume = VolumeJson(src, *e.volume);
    volume["dataLost"] = LossJson(session.Jobs(), volume);
    AddVerifyResults(session.Jobs(), storage, volume);
    return {{"kind", "volume"}, {"volume", volume}};
  }
  return {{"kind", "drive"}, {"drive", DriveJson(storage, *e.drive)}};
}

Members VolumeMembers(Vesk::StorageManagement& storage, const Volume& v,
                      const vesk::sim::Topology* machine, const Roster* roster) {
  namespace sim = vesk::sim;
  Members out;
  const auto& drives = storage.GetDrives();
  auto record = [&](const Vesk::vesk_guid& id) -> const Drive* {
    const auto found = drives.find(id);
    return found == drives.end() ? nullptr : found->second;
  };
  const sim::Controller* controller = nullptr;
  const sim::Array* array = nullptr;
  const sim::Volume* volume = nullptr;
  for (std::size_t i = 0; machine && i < machine->controllers.size(); ++i) {
    const sim::Controller& c = machine->controllers[i];
    for (const auto& candidate : c.volumes)
      if (candidate.id == v.id) controller = &c, volume = &candidate;
  }
  for (std::size_t i = 0; controller && i < controller->arrays.size(); ++i)
    if (controller->arrays[i].id == volume->arrayId) array = &controller->arrays[i];
  auto among = [](const std::vector<Vesk::vesk_guid>& ids, const Vesk::vesk_guid& id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
  };
  if (array) {
    out.arrayOrder = true;
    const auto task = volume->task ? volume->task->kind : sim::Task::Kind::Initialize;
    for (const auto& id : array->drives) {
      Member m{record(id), id.ToString(), ""};
      const sim::Drive* d = nullptr;
      for (const auto& candidate : controller->drives)
        if (candidate.id == id) d = &candidate;
      m.role = LostRole(d ? d->status : sim::drive_status::kMissing);
      if (!m.role.empty()) {
      } else if (volume->task && task == sim::Task::Kind::Migration &&
                 among(volume->task->joiningDrives, id)) {
        m.role = "joining";
      } else if (among(volume->staleDrives, id)) {
        m.role = volume->task && task == sim::Task::Kind::Rebuild ? "rebuilding" : "stale";
      } else {
        m.role = "in sync";
      }
      out.members.push_back(m);
    }
  } else {
    // A normal volume, or one being verified, has every member in sync; otherwise only a member
    // that is gone tells what it is.
    const bool whole = v.state == sim::volume_state::kNormal ||
                       v.state == sim::volume_state::kVerifying ||
                       v.state == sim::volume_state::kVerifyingAndFixing;
    for (const Drive* d : OnArray(drives, v.arrayId)) {
      const std::string lost = LostRole(d->status);
      out.members.push_back({d, d->id.ToString(),
                             !lost.empty() ? lost
                             : whole       ? "in sync"
                                           : "not known"});
    }
  }
  out.advice = AdviceFor(storage, roster, v, out.members);
  return out;
}

}  // namespace veskctl
