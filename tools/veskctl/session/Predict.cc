#include "tools/veskctl/session/Predict.h"

#include <algorithm>
#include <set>

#include "simulator/RaidDriver.h"
#include "tools/veskctl/base/Names.h"
#include "tools/veskctl/journal/Audit.h"
#include "tools/veskctl/session/Jobs.h"
#include "vesk/Exceptions.h"

namespace veskctl {

namespace {

bool Bad(const DriveModel& d) {
  return d.status == drive_status::kOffline || d.status == drive_status::kMissing ||
         d.status == drive_status::kFailed;
}

int Severity(std::uint8_t volumeState) {
  return volumeState == state::kFailed ? 2 : volumeState == state::kDegraded ? 1 : 0;
}

// One shown property of an element: its JSON value, and for enumerations the name as well.
struct Field {
  const char* key;
  nlohmann::json value;
  std::string text;
  bool named = false;
  // What tells two values apart when their texts are alike: a size's bytes, which its text
  // rounds to a tenth of its unit.
  std::string exact;
};

Field Bytes(const char* key, std::uint64_t bytes) {
  return {key, bytes, HumanBytes(bytes), false, std::to_string(bytes) + " bytes"};
}

// A change as people read it: a size that rounds to the same text either side says its bytes.
std::string ChangeText(const Field& was, const Field& will) {
  if (was.text != will.text || was.exact.empty())
    return std::string(was.key) + " " + was.text + " -> " + will.text;
  return std::string(was.key) + " " + was.text + " (" + was.exact + ") -> " + will.text + " (" +
         will.exact + ")";
}

std::vector<Field> Fields(const ControllerModel& c) {
  return {{"readPatrolEnabled", c.readPatrol, c.readPatrol ? "on" : "off"},
          {"rohiEnabled", c.rohi, c.rohi ? "on" : "off"}};
}

std::vector<Field> Fields(const ArrayModel& a) {
  return {Bytes("totalSize", a.totalSize),
          Bytes("freeSize", a.freeSize),
          {"writeCacheEnabled", a.writeCache, a.writeCache ? "on" : "off"}};
}

std::vector<Field> Fields(const VolumeModel& v) {
  return {
      {"name", v.name, "\"" + v.name + "\""},
      {"raidLevel", v.raidLevel, RaidLevelName(v.raidLevel), true},
      {"stripSize", StripBytes(v.stripSize), StripSizeText(v.stripSize)},
      Bytes("size", v.size),
      {"state", v.state, VolumeStateName(v.state), true},
      // A new volume's cache policy is the driver's choice.
      {"cachePolicy", v.cachePolicy ? nlohmann::json(v.cachePolicy) : nlohmann::json(nullptr),
       v.cachePolicy ? CachePolicyName(v.cachePolicy) : "unknown", true},
      {"rwhPolicy", v.rwhPolicy, RwhPolicyName(v.rwhPolicy), true},
      {"targetLayout",
       v.target ? nlohmann::json({{"raidLevel", v.target->first},
                                  {"raidLevelName", RaidLevelName(v.target->first)},
                                  {"stripSize", StripBytes(v.target->second)}})
                : nlohmann::json(nullptr),
       v.target ? RaidLevelName(v.target->first) + ", " + StripSizeText(v.target->second) + " strip"
                : "none"}};
}

std::vector<Field> Fields(const DriveModel& d) {
  return {{"status", d.status, DriveStatusName(d.status), true},
          Bytes("totalSize", d.capacity),
          {"usage", d.usage, DriveUsageName(d.usage), true},
          {"writeCacheEnabled", d.writeCache, d.writeCache ? "on" : "off"},
          {"ledActive", d.led, d.led ? "on" : "off"}};
}

std::string Label(const ControllerModel& c) { return "controller \"" + c.name + "\""; }
std::string Label(const ArrayModel& a) {
  return a.name.empty() ? "array" : "array \"" + a.name + "\"";
}
std::string Label(const VolumeModel& v) { return "volume \"" + v.name + "\""; }
std::string Label(const DriveModel& d) { return "drive " + d.serial; }

std::string IdText(const Vesk::vesk_guid& id, bool existed) {
  return existed ? id.ToString() : "(new)";
}

nlohmann::json FieldsJson(const std::vector<Field>& fields) {
  nlohmann::json j = nlohmann::json::object();
  for (const auto& f : fields) {
    j[f.key] = f.value;
    if (f.named) j[std::string(f.key) + "Name"] = f.text;
  }
  return j;
}

// Calls `each(kind, id, label, before fields, after fields)` for every element that differs;
// the fields are those that differ, or all of them for an element that comes or goes.
template <typename Each>
void ForEachChange(const Model& before, const Model& after, Each each) {
  auto compare = [&](const char* kind, const auto& oldMap, const auto& newMap) {
    std::map<Vesk::vesk_guid, bool> ids;
    for (const auto& [id, e] : oldMap) ids[id] = true;
    for (const auto& [id, e] : newMap) ids[id] = true;
    for (const auto& [id, unused] : ids) {
      auto o = oldMap.find(id);
      auto n = newMap.find(id);
      std::vector<Field> was, will;
      if (o == oldMap.end()) {
        will = Fields(n->second);
      } else if (n == newMap.end()) {
        was = Fields(o->second);
      } else {
        const auto a = Fields(o->second), b = Fields(n->second);
        for (std::size_t i = 0; i < a.size(); ++i) {
          if (a[i].value == b[i].value) continue;
          was.push_back(a[i]);
          will.push_back(b[i]);
        }
        if (was.empty()) continue;
      }
      const std::string label = n != newMap.end() ? Label(n->second) : Label(o->second);
      each(kind, id, label, o != oldMap.end(), n != newMap.end(), was, will);
    }
  };
  compare("controllers", before.controllers, after.controllers);
  compare("arrays", before.arrays, after.arrays);
  compare("volumes", before.volumes, after.volumes);
  compare("drives", before.drives, after.drives);
}

}  // namespace

Model Model::Of(Session& session) {
  Model m;
  auto& storage = session.Storage();
  for (const auto& [id, c] : storage.GetControllers().GetControllersById()) {
    m.controllers[id] = {DriverText(c->name, sizeof c->name), c->readPatrolEnabled(),
                         c->rohiEnabled()};
  }
  for (const auto& [id, a] : storage.GetArrays()) {
    m.arrays[id] = {a->controllerId, DriverText(a->name, sizeof a->name), a->totalSize, a->freeSize,
                    a->writeCacheEnabled()};
  }
  for (const auto& [id, d] : storage.GetDrives()) {
    // A drive the administrator forgot is gone for good: no command changes it.
    if (session.Remembered().Forgotten(*d)) continue;
    DriveModel& dm = m.drives[id];
    dm = {d->controllerId,
          d->arrayId,
          DriverText(d->serialNumber, sizeof d->serialNumber),
          d->status,
          d->usage,
          d->totalSize,
          d->logicalBlockSize,
          d->writeCacheEnabled(),
          d->ledActive(),
          d->containsPartition(),
          d->systemDrive()};
  }
  for (const auto& [id, v] : storage.GetVolumes()) {
    VolumeModel& vm = m.volumes[id];
    vm.controllerId = v->controllerId;
    vm.arrayId = v->arrayId;
    vm.name = DriverText(v->name, sizeof v->name);
    vm.raidLevel = v->raidLevel;
    vm.stripSize = v->stripSize;
    vm.size = v->size;
    vm.state = v->state;
    vm.cachePolicy = v->cachePolicy();
    vm.rwhPolicy = v->rwhPolicy();
    vm.systemVolume = v->systemVolume();
    vm.initialized = v->initialized();
    vm.logicalBlockSize = v->logicalBlockSize;
    vm.progress = v->migrationProgress;
    vm.migrating = v->migrating();
    vm.verifyErrors = v->verifyErrors;
    vm.verifyBadBlocks = v->verifyBadBlocks;
    for (const auto& [driveId, d] : m.drives)
      if (d.arrayId == v->arrayId && Bad(d)) vm.noData.push_back(driveId);
  }
  // Which members are stale, and where a layout change goes, only the simulated driver says.
  if (const auto* driver = session.SimulatedDriver()) {
    for (const auto& c : driver->Snapshot().controllers) {
      for (const auto& v : c.volumes) {
        auto found = m.volumes.find(v.id);
        if (found == m.volumes.end()) continue;
        VolumeModel& vm = found->second;
        vm.membersKnown = true;
        for (const auto& id : v.staleDrives)
          if (std::find(vm.noData.begin(), vm.noData.end(), id) == vm.noData.end())
            vm.noData.push_back(id);
        std::sort(vm.noData.begin(), vm.noData.end());
        if (v.task && v.task->kind == vesk::sim::Task::Kind::Migration)
          vm.target = {{v.task->targetLevel, v.task->targetStripSize}};
        if (v.dataLost)
          vm.loss = VolumeModel::Loss{v.dataLost->bytes, v.dataLost->atMs, v.dataLost->members,
                                      v.dataLost->failed, v.dataLost->forced};
      }
    }
  }
  return m;
}

std::vector<Vesk::vesk_guid> Model::VolumesOf(const Vesk::vesk_guid& arrayId) const {
  std::vector<Vesk::vesk_guid> ids;
  for (const auto& [id, v] : volumes)
    if (v.arrayId == arrayId) ids.push_back(id);
  return ids;
}

namespace {

vesk::sim::Drive DriveOf(const Vesk::Drive& d) {
  vesk::sim::Drive s;
  s.id = d.id;
  s.type = d.type;
  s.serialNumber = DriverText(d.serialNumber, sizeof d.serialNumber);
  s.modelNumber = DriverText(d.modelNumber, sizeof d.modelNumber);
  s.firmwareRevision = DriverText(d.firmwareRevision, sizeof d.firmwareRevision);
  s.serviceLabel = DriverText(d.serviceLabel, sizeof d.serviceLabel);
  s.blocks = d.size;
  s.logicalBlockSize = d.logicalBlockSize;
  s.physicalBlockSize = d.physicalBlockSize;
  s.status = d.status;
  s.spare = d.usage == usage::kSpare;
  s.foreignMetadata = d.usage == usage::kForeign;
  s.containsPartition = d.containsPartition();
  s.ledActive = d.ledActive();
  s.writeCacheEnabled = d.writeCacheEnabled();
  s.preBootVisible = d.preBootVisible();
  s.activateLedSupport = d.activateLedSupport();
  s.systemDrive = d.systemDrive();
  s.encryptionAbility = d.encryptionAbility;
  s.encryptionStatus = d.encryptionStatus;
  if (d.type == 3) {
    s.pciVendorId = d.vendorId();
    s.sbrAttached = d.sbrAttached();
    s.dualControllerOrder = static_cast<std::uint8_t>(d.dualControllerOrder());
    s.dualControllerNvme = d.dualControllerNvme();
    s.socketNumber = d.socketNumber();
    s.dornControllerNumber = d.dornControllerNumber();
    s.rootPortOffset = d.rootPortOffset();
    s.physicalSlotNumber = d.physicalSlotNumber();
    s.pciLinkRate = static_cast<std::uint8_t>(d.pciNegotiatedLinkRate());
    s.pciLinkWidth = d.negotiatedLinkWidth();
  } else {
    s.portNumber = d.portNumber();
    s.sataLinkRate = static_cast<std::uint8_t>(d.ataNegotiatedLinkRate());
    s.isSsd = d.isSsd();
    s.ncqSupport = d.ncqSupport();
  }
  return s;
}

// Work the driver reports running, from its start: how far it has gone is the driver's secret
// except as a percent, and the layout a change goes to is not reported at all.
std::optional<vesk::sim::Task> TaskOf(const Vesk::Volume& v, std::uint64_t durationMs) {
  using Kind = vesk::sim::Task::Kind;
  vesk::sim::Task task;
  switch (v.state) {
    case state::kInitializing:
      task.kind = Kind::Initialize;
      break;
    case state::kVerifying:
    case state::kVerifyingAndFixing:
      task.kind = Kind::Verify;
      task.repair = v.state == state::kVerifyingAndFixing;
      break;
    case state::kRebuilding:
      task.kind = Kind::Rebuild;
      break;
    case state::kMigrating:
      task.kind = Kind::Migration;
      task.targetLevel = v.raidLevel;
      task.targetStripSize = v.stripSize;
      break;
    default:
      return std::nullopt;
  }
  task.durationMs = durationMs;
  task.elapsedMs = durationMs * std::min<std::uint64_t>(v.migrationProgress, 100) / 100;
  return task;
}

}  // namespace

vesk::sim::Topology TopologyOf(Session& session) {
  vesk::sim::Topology topology;
  auto& storage = session.Storage();
  unsigned number = 0;
  for (const Vesk::Controller* record : session.ControllersInOrder()) {
    vesk::sim::Controller c;
    c.id = record->id;
    c.pdoName = L"\\Device\\VeskTrial" + std::to_wstring(number++);
    c.service = L"zrDiskE";
    c.name = DriverText(record->name, sizeof record->name);
    c.type = static_cast<std::uint8_t>(record->type);
    c.specMajor =
        static_cast<std::uint8_t>(std::min(static_cast<std::uint32_t>(record->apiVersion), 3u) + 1);
    c.vendorId = record->vendorId;
    c.deviceId = record->deviceId;
    c.subsystemId = record->subsystemId;
    c.hardwareRevision = record->hardwareRevision;
    c.preosDriverLoaded = record->preosDriverLoaded();
    c.osDriverVersion = record->osDriverVersion;
    c.preosDriverVersion = record->preosDriverVersion;
    c.maxVolumesPerArray = record->maxVolumesPerArray;
    c.maxVolumesPerController = record->maxVolumesPerController;
    c.maxDrivesPerController = record->maxDrivesPerController;
    c.readPatrolEnabled = record->readPatrolEnabled();
    c.rohiEnabled = record->rohiEnabled();
    c.mode = static_cast<std::uint8_t>(record->modeByte >> 5);
    for (const auto& descriptor : record->raidLevelDescriptors) {
      if (descriptor.level == 0) continue;
      vesk::sim::RaidLevelCapability capability;
      capability.level = static_cast<std::uint8_t>(descriptor.level);
      capability.minDrives = descriptor.minDrivesCount;
      capability.maxDrives = descriptor.maxDrivesCount;
      capability.oddCount = descriptor.oddDriveCount();
      capability.evenCount = descriptor.evenDriveCount();
      capability.defaultStripSize = static_cast<std::uint16_t>(descriptor.defaultStripSize);
      capability.stripSizeMask = descriptor.supportedStripSizes;
      for (const auto& m : descriptor.migrationDescriptors)
        capability.migrations.push_back(
            {static_cast<std::uint8_t>(m.targetRaidLevel), m.minAdditionalDriveCount});
      c.raidLevels.push_back(capability);
    }
    // The driver's own order of its drives is the order of their SCSI addresses.
    std::vector<const Vesk::Drive*> drives;
    for (const auto& [id, d] : storage.GetDrives())
      if (d->controllerId == c.id) drives.push_back(d);
    std::stable_sort(drives.begin(), drives.end(), [](const auto* a, const auto* b) {
      return std::pair(a->scsiAddress.bus, a->scsiAddress.target) <
             std::pair(b->scsiAddress.bus, b->scsiAddress.target);
    });
    for (const auto* d : drives) c.drives.push_back(DriveOf(*d));
    for (const auto& [id, a] : storage.GetArrays()) {
      if (a->controllerId != c.id) continue;
      vesk::sim::Array array;
      array.id = a->id;
      array.name = DriverText(a->name, sizeof a->name);
      array.writeCacheEnabled = a->writeCacheEnabled();
      for (const auto* d : drives)
        if (d->arrayId == a->id) array.drives.push_back(d->id);
      c.arrays.push_back(array);
    }
    for (const auto& [id, v] : storage.GetVolumes()) {
      if (v->controllerId != c.id) continue;
      vesk::sim::Volume volume;
      volume.id = v->id;
      volume.arrayId = v->arrayId;
      volume.name = DriverText(v->name, sizeof v->name);
      volume.raidLevel = static_cast<std::uint8_t>(v->raidLevel);
      volume.stripSize = static_cast<std::uint16_t>(v->stripSize);
      volume.size = v->size;
      volume.state = v->state;
      volume.systemVolume = v->systemVolume();
      volume.initialized = v->initialized();
      volume.verifyErrors = v->verifyErrors;
      volume.verifyBadBlocks = v->verifyBadBlocks;
      volume.logicalBlockSize = v->logicalBlockSize;
      volume.cachePolicy = v->cachePolicy();
      volume.rwhPolicy = v->rwhPolicy();
      volume.journalingDriveId = v->journalingDriveId;
      volume.task = TaskOf(*v, topology.taskDurationMs);
      c.volumes.push_back(volume);
    }
    topology.controllers.push_back(std::move(c));
  }
  return topology;
}

namespace {

// What the records of the RAID driver do not tell, for the volumes where it matters.
std::vector<std::string> NotKnown(const Model& model) {
  std::vector<std::string> lines;
  for (const auto& [id, v] : model.volumes) {
    const std::string what = "volume \"" + v.name + "\" (" + id.ToString() + ")";
    if (v.state != state::kNormal && Redundant(v.raidLevel))
      lines.push_back("which members of " + what +
                      " hold its data: the driver does not say, so every present member is "
                      "taken as in sync");
    if (WorkRunning(v))
      lines.push_back("the layout or progress of the work running on " + what +
                      ": the driver reports only its percent done");
  }
  return lines;
}

// One simulated machine serves a process at a time, so the session's own goes while the trial
// runs and comes back (read afresh) after it, whatever happens.
class Suspension {
 public:
  explicit Suspension(Session& session) : session(session) { session.Suspend(); }
  ~Suspension() noexcept(false) {
    if (std::uncaught_exceptions() > 0) {
      try {
        session.Resume();
      } catch (...) {
      }
      return;
    }
    session.Resume();
  }
  Suspension(const Suspension&) = delete;
  Suspension& operator=(const Suspension&) = delete;

 private:
  Session& session;
};

}  // namespace

Prediction Predict(Session& session, const std::function<void(Session&)>& send, bool fromRecords) {
  Prediction p;
  const auto* live = fromRecords ? nullptr : session.SimulatedDriver();
  vesk::sim::Topology topology = live ? live->Snapshot() : TopologyOf(session);
  {
    Suspension suspended(session);
    Session trial(std::make_shared<vesk::sim::RaidDriver>(std::move(topology)));
    trial.Remembered() = session.Remembered();
    trial.Refresh();
    p.before = Model::Of(trial);
    try {
      send(trial);
    } catch (const Vesk::VeskException& e) {
      p.refusal = Refusal{"VeskException", std::string(e.Message()), e.Status(), e.ErrorCode()};
    } catch (const Vesk::TaluException& e) {
      p.refusal = Refusal{"TaluException", std::string(e.Message()), 0, e.ErrorCode()};
    } catch (const UsageError& e) {
      p.refusal = Refusal{"UsageError", e.what(), 0, 0};
    }
    trial.Refresh();
    p.after = Model::Of(trial);
    p.startsOver = trial.StartedOver();
  }
  p.exact = live != nullptr;
  if (!live) {
    // The layout of work already running is not in the records; the command's own is the trial's.
    for (auto& [id, v] : p.after.volumes) {
      auto was = p.before.volumes.find(id);
      if (was != p.before.volumes.end() && WorkRunning(was->second) && was->second.state == v.state)
        v.target.reset();
      v.membersKnown = false;
    }
    for (auto& [id, v] : p.before.volumes) {
      v.membersKnown = false;
      v.target.reset();
    }
    p.notKnown = NotKnown(p.before);
  }
  if (session.UnknownMachine())
    p.notKnown.push_back(*session.UnknownMachine() + ": what starting over replaces is not known");
  return p;
}

std::uint64_t DataDrives(std::uint8_t raidLevel, std::uint64_t members) {
  return vesk::sim::DataDrives(raidLevel, members);
}

std::uint64_t Consumption(std::uint8_t raidLevel, std::uint64_t size, std::uint64_t members) {
  return vesk::sim::RawConsumption(raidLevel, size, members);
}

bool Redundant(std::uint8_t raidLevel) {
  return raidLevel == Vesk::VESK_RAID_1 || raidLevel == Vesk::VESK_RAID_10 ||
         raidLevel == Vesk::VESK_RAID_5 || raidLevel == Vesk::VESK_RAID_4;
}

namespace {

std::string Serials(const Model& model, const std::vector<Vesk::vesk_guid>& ids) {
  std::string text;
  for (const auto& id : ids) {
    auto d = model.drives.find(id);
    text +=
        (text.empty() ? "" : ", ") + (d != model.drives.end() ? d->second.serial : id.ToString());
  }
  return text;
}

// A drive the computer may start from: a system drive, or a member of the system volume's array.
// One that is missing or failed holds nothing the system can still use, so replacing it is safe.
bool HoldsSystem(const Model& model, const DriveModel& d) {
  if (d.status == drive_status::kMissing || d.status == drive_status::kFailed) return false;
  if (d.systemDrive) return true;
  for (const auto& [id, v] : model.volumes)
    if (v.systemVolume && !d.arrayId.IsEmpty() && v.arrayId == d.arrayId) return true;
  return false;
}

// The RAID level a volume ends at: a migration's target once it has run.
std::uint8_t LevelReached(const VolumeModel& v) { return v.target ? v.target->first : v.raidLevel; }

// Where a volume's data lie: a volume of the same identifier laid out otherwise holds other data.
bool LaidOutOtherwise(const VolumeModel& was, const VolumeModel& now) {
  return was.arrayId != now.arrayId || was.raidLevel != now.raidLevel ||
         was.stripSize != now.stripSize || was.size != now.size ||
         was.logicalBlockSize != now.logicalBlockSize || was.target != now.target;
}

// "RAID 5 of 3.0 TiB, 64 KiB strip, going to RAID 5, 128 KiB strip"
std::string Layout(const VolumeModel& v) {
  auto strip = [](std::uint16_t code) {
    return code ? ", " + StripSizeText(code) + " strip" : std::string();
  };
  std::string text = RaidLevelName(v.raidLevel) + " of " + HumanBytes(v.size) + strip(v.stripSize);
  if (v.target) text += ", going to " + RaidLevelName(v.target->first) + strip(v.target->second);
  return text;
}

bool RoleChanges(const DriveModel& was, const DriveModel& now) {
  return was.usage != now.usage || was.arrayId != now.arrayId ||
         (now.status == drive_status::kMissing && was.status != drive_status::kMissing);
}

}  // namespace

bool Forced(const VolumeModel& was, const VolumeModel& now) {
  return !was.noData.empty() && now.noData.empty() && now.state != state::kRebuilding &&
         Severity(was.state) > 0 && Severity(now.state) == 0;
}

std::vector<std::string> Losses(const Model& before, const Model& after, bool startsOver) {
  std::vector<std::string> losses;
  for (const auto& [id, v] : before.volumes) {
    const std::string what = "volume \"" + v.name + "\" (" + id.ToString() + ")";
    const std::string system = v.systemVolume ? ", the system (boot) volume," : "";
    auto now = after.volumes.find(id);
    if (now == after.volumes.end()) {
      losses.push_back(what + system + " is deleted with its " + HumanBytes(v.size) + " of data");
      continue;
    }
    const VolumeModel& n = now->second;
    if (startsOver && LaidOutOtherwise(v, n)) {
      losses.push_back(what + system + " is replaced by the topology's volume (" + Layout(n) +
                       "; now " + Layout(v) + "): its " + HumanBytes(v.size) + " of data are lost");
    } else if (n.state == state::kFailed && v.state != state::kFailed) {
      // The simulated driver knows which parts too few members hold.
      const std::uint64_t lost = n.loss ? n.loss->bytes - (v.loss ? v.loss->bytes : 0) : v.size;
      losses.push_back(what + system + " fails: " +
                       (lost < v.size && lost > 0 ? HumanBytes(lost) + " of its " : "its ") +
                       HumanBytes(v.size) + " of data are lost");
    } else if (!startsOver && Forced(v, n)) {
      losses.push_back(
          what + system + " is forced online while " +
          (v.membersKnown ? "members " + Serials(before, v.noData) + " hold none of its data"
                          : "members " + Serials(before, v.noData) +
                                " are gone or broken, and which others hold its data is not "
                                "known") +
          ": what they hold is taken as its data, and reads of it may return wrong data");
    } else if (n.state == state::kDegraded && Severity(v.state) == 0) {
      losses.push_back(what + system + " loses its redundancy (degraded)");
    } else if (Redundant(LevelReached(v)) && !Redundant(LevelReached(n))) {
      losses.push_back(what + system + " loses its redundancy (" + RaidLevelName(LevelReached(v)) +
                       " to " + RaidLevelName(LevelReached(n)) + ")");
    } else if (n.state != state::kFailed && n.noData.size() > v.noData.size()) {
      losses.push_back(what + system +
                       " loses more of its redundancy: " + std::to_string(n.noData.size()) +
                       " member(s) will hold none of its data (" + Serials(after, n.noData) + ")");
    }
  }
  for (const auto& [id, d] : before.drives) {
    auto now = after.drives.find(id);
    if (now == after.drives.end()) continue;
    const std::string what = "drive " + d.serial + " (" + id.ToString() + ")";
    if (d.usage != usage::kMember && now->second.usage == usage::kMember && d.containsPartition)
      losses.push_back(what + " holds partitions; its contents are overwritten");
    if (d.usage == usage::kForeign && now->second.usage != usage::kForeign)
      losses.push_back(what + ": the RAID metadata of another system on it is erased");
    if (d.systemDrive && d.usage != usage::kMember && RoleChanges(d, now->second))
      losses.push_back(what + " is a system drive" +
                       (d.containsPartition ? " with partitions" : "") +
                       ": given another role, what the system keeps on it can be overwritten");
  }
  return losses;
}

std::vector<std::string> Losses(const Prediction& p) {
  return Losses(p.before, p.after, p.startsOver);
}

bool EndangersSystem(const Model& before, const Model& after) {
  for (const auto& [id, v] : before.volumes) {
    if (!v.systemVolume) continue;
    auto now = after.volumes.find(id);
    // Losing redundancy alone is a loss like any other: the computer still starts.
    if (now == after.volumes.end() || Forced(v, now->second) ||
        (now->second.state == state::kFailed && v.state != state::kFailed))
      return true;
  }
  for (const auto& [id, d] : before.drives) {
    auto now = after.drives.find(id);
    if (now != after.drives.end() && HoldsSystem(before, d) && RoleChanges(d, now->second))
      return true;
  }
  return false;
}

std::vector<StoppedWork> WorkStopped(const Model& before, const Model& after) {
  std::vector<StoppedWork> stopped;
  for (const auto& [id, v] : before.volumes) {
    if (!WorkRunning(v)) continue;
    auto now = after.volumes.find(id);
    const std::string kind = WorkKind(v);
    auto stop = WorkEndedBy(v.state, kind, v.target, after,
                            now == after.volumes.end() ? nullptr : &now->second);
    if (stop) stopped.push_back({id, v.name, kind, v.progress, stop->outcome, stop->why});
  }
  return stopped;
}

std::string StoppedWorkText(const StoppedWork& w) {
  return "the " + w.kind + " of volume \"" + w.volumeName + "\" at " + std::to_string(w.percent) +
         "% (" + w.why + ")";
}

nlohmann::json PredictionJson(const Model& before, const Model& after) {
  nlohmann::json j = {
      {"controllers", nlohmann::json::array()}, {"arrays", nlohmann::json::array()},
      {"volumes", nlohmann::json::array()},     {"drives", nlohmann::json::array()},
      {"losses", Losses(before, after)},        {"stopsWork", nlohmann::json::array()}};
  for (const StoppedWork& w : WorkStopped(before, after))
    j["stopsWork"].push_back({{"volumeId", w.volumeId.ToString()},
                              {"volumeName", w.volumeName},
                              {"kind", w.kind},
                              {"percent", w.percent},
                              {"outcome", w.outcome},
                              {"why", w.why}});
  ForEachChange(before, after,
                [&](const char* kind, const Vesk::vesk_guid& id, const std::string& label,
                    bool existed, bool remains, const auto& was, const auto& will) {
                  // A new element's identifier is the private driver's, not the one the
                  // driver will give it.
                  j[kind].push_back(
                      {{"id", existed ? nlohmann::json(id.ToString()) : nlohmann::json(nullptr)},
                       {"label", label},
                       {"before", existed ? FieldsJson(was) : nullptr},
                       {"after", remains ? FieldsJson(will) : nullptr}});
                });
  return j;
}

std::string PredictionText(const Model& before, const Model& after) {
  std::string text;
  ForEachChange(before, after,
                [&](const char*, const Vesk::vesk_guid& id, const std::string& label, bool existed,
                    bool remains, const auto& was, const auto& will) {
                  text += "  " + label + " " + IdText(id, existed) + ": ";
                  if (!existed || !remains) {
                    text += existed ? "goes (" : "is created (";
                    const auto& fields = existed ? was : will;
                    std::string shown;
                    for (const auto& f : fields) {
                      if (!f.value.is_null())
                        shown += (shown.empty() ? "" : ", ") + std::string(f.key) + " " + f.text;
                    }
                    text += shown;
                    text += ")\n";
                    return;
                  }
                  for (std::size_t i = 0; i < was.size(); ++i)
                    text += (i ? ", " : "") + ChangeText(was[i], will[i]);
                  text += "\n";
                });
  if (text.empty()) text = "  no change to the topology\n";
  for (const StoppedWork& w : WorkStopped(before, after))
    text += "  stops: " + StoppedWorkText(w) + "\n";
  return text;
}

nlohmann::json PredictionJson(const Prediction& p) {
  nlohmann::json j = PredictionJson(p.before, p.after);
  j["losses"] = Losses(p);
  j["refusal"] = nullptr;
  if (p.refusal) {
    j["refusal"] = {{"kind", p.refusal->kind},
                    {"message", p.refusal->message},
                    {"status", p.refusal->status},
                    {"errorCode", p.refusal->errorCode}};
  }
  j["notKnown"] = p.notKnown;
  return j;
}

std::string PredictionText(const Prediction& p) {
  std::string text = p.refusal ? "  the driver refuses it: " + p.refusal->message + "\n"
                               : PredictionText(p.before, p.after);
  for (const auto& loss : Losses(p)) text += "  lost: " + loss + "\n";
  for (const auto& line : p.notKnown) text += "  not known: " + line + "\n";
  return text;
}

namespace {

// The name `map` (of the model) gives the element whose identifier is `id`.
template <typename Map, typename Name>
std::string NameIn(const Map& map, const std::string& id, Name name) {
  for (const auto& [guid, element] : map)
    if (guid.ToString() == id) return name(element);
  return "";
}

}  // namespace

nlohmann::json RequestElement(const nlohmann::json& request, const nlohmann::json& result,
                              const Model& before) {
  if (!request.is_object()) return nullptr;
  const auto text = RecordField;
  if (const std::string id = text(request, "volumeId"); !id.empty())
    return RecordElement("volume", id, NameIn(before.volumes, id, [](auto& v) { return v.name; }));
  if (const std::string id = text(request, "arrayId"); !id.empty())
    return RecordElement("array", id, NameIn(before.arrays, id, [](auto& a) { return a.name; }));
  if (const std::string id = text(request, "driveId"); !id.empty())
    return RecordElement("drive", id, NameIn(before.drives, id, [](auto& d) { return d.serial; }));
  if (result.is_object()) {
    if (const std::string id = text(result, "volumeId"); !id.empty())
      return RecordElement("volume", id,
                           text(request.value("parameters", nlohmann::json::object()), "name"));
  }
  if (const std::string id = text(request, "controllerId"); !id.empty())
    return RecordElement("controller", id,
                         NameIn(before.controllers, id, [](auto& c) { return c.name; }));
  return nullptr;
}

}  // namespace veskctl
