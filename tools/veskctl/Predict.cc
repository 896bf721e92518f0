#include "tools/veskctl/Predict.h"

#include <algorithm>
#include <set>

#include "tools/veskctl/Names.h"

namespace veskctl {

namespace {

bool Bad(const DriveModel& d) {
  return d.status == drive_status::kOffline || d.status == drive_status::kMissing ||
         d.status == drive_status::kFailed;
}

// Members a level survives losing. RAID 10 may survive one per mirror, but not surely.
std::size_t Tolerance(std::uint8_t raidLevel, std::size_t members) {
  if (raidLevel == Vesk::VESK_RAID_1) return members > 0 ? members - 1 : 0;
  return Redundant(raidLevel) ? 1 : 0;
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
};

std::vector<Field> Fields(const ControllerModel& c) {
  return {{"readPatrolEnabled", c.readPatrol, c.readPatrol ? "on" : "off"},
          {"rohiEnabled", c.rohi, c.rohi ? "on" : "off"}};
}

std::vector<Field> Fields(const ArrayModel& a) {
  return {{"totalSize", a.totalSize, HumanBytes(a.totalSize)},
          {"freeSize", a.freeSize, HumanBytes(a.freeSize)},
          {"writeCacheEnabled", a.writeCache, a.writeCache ? "on" : "off"}};
}

std::vector<Field> Fields(const VolumeModel& v) {
  return {{"name", v.name, "\"" + v.name + "\""},
          {"raidLevel", v.raidLevel, RaidLevelName(v.raidLevel), true},
          {"stripSize", StripBytes(v.stripSize), StripSizeText(v.stripSize)},
          {"size", v.size, HumanBytes(v.size)},
          {"state", v.state, VolumeStateName(v.state), true},
          // A new volume's cache policy is the driver's choice.
          {"cachePolicy", v.cachePolicy ? nlohmann::json(v.cachePolicy) : nlohmann::json(nullptr),
           v.cachePolicy ? CachePolicyName(v.cachePolicy) : "unknown", true},
          {"rwhPolicy", v.rwhPolicy, RwhPolicyName(v.rwhPolicy), true}};
}

std::vector<Field> Fields(const DriveModel& d) {
  return {{"status", d.status, DriveStatusName(d.status), true},
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

std::string IdText(const Vesk::vesk_guid& id) {
  return id == kNewElement ? "(new)" : id.ToString();
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
  for (const auto& [id, v] : storage.GetVolumes()) {
    m.volumes[id] = {v->controllerId,
                     v->arrayId,
                     DriverText(v->name, sizeof v->name),
                     v->raidLevel,
                     v->stripSize,
                     v->size,
                     v->state,
                     v->cachePolicy(),
                     v->rwhPolicy(),
                     v->systemVolume(),
                     v->initialized(),
                     v->logicalBlockSize,
                     v->migrationProgress,
                     v->migrating()};
  }
  for (const auto& [id, d] : storage.GetDrives()) {
    m.drives[id] = {d->controllerId,
                    d->arrayId,
                    DriverText(d->serialNumber, sizeof d->serialNumber),
                    d->status,
                    d->usage,
                    d->totalSize,
                    d->logicalBlockSize,
                    d->writeCacheEnabled(),
                    d->ledActive(),
                    d->containsPartition()};
  }
  return m;
}

std::vector<Vesk::vesk_guid> Model::MembersOf(const Vesk::vesk_guid& arrayId) const {
  std::vector<Vesk::vesk_guid> ids;
  for (const auto& [id, d] : drives)
    if (d.arrayId == arrayId) ids.push_back(id);
  return ids;
}

std::vector<Vesk::vesk_guid> Model::VolumesOf(const Vesk::vesk_guid& arrayId) const {
  std::vector<Vesk::vesk_guid> ids;
  for (const auto& [id, v] : volumes)
    if (v.arrayId == arrayId) ids.push_back(id);
  return ids;
}

std::uint64_t Model::SmallestMember(const Vesk::vesk_guid& arrayId) const {
  std::uint64_t smallest = 0;
  for (const auto& id : MembersOf(arrayId)) {
    const DriveModel& d = drives.at(id);
    if (d.status != drive_status::kMissing && (smallest == 0 || d.capacity < smallest))
      smallest = d.capacity;
  }
  return smallest;
}

void Model::UpdateHealth(const Vesk::vesk_guid& arrayId, std::size_t departed) {
  const auto members = MembersOf(arrayId);
  const std::size_t bad = departed + static_cast<std::size_t>(std::count_if(
                                         members.begin(), members.end(),
                                         [&](const auto& id) { return Bad(drives.at(id)); }));
  for (const auto& id : VolumesOf(arrayId)) {
    VolumeModel& v = volumes.at(id);
    const std::uint8_t health = bad == 0 ? state::kNormal
                                : bad <= Tolerance(v.raidLevel, members.size() + departed)
                                    ? state::kDegraded
                                    : state::kFailed;
    if (Severity(health) > Severity(v.state)) v.state = health;
  }
}

void Model::CreateVolume(const std::vector<Vesk::vesk_guid>& ids, VolumeModel volume,
                         bool initialize) {
  const std::set<Vesk::vesk_guid> wanted(ids.begin(), ids.end());
  volume.arrayId = kNewElement;
  for (const auto& [id, a] : arrays) {
    const auto members = MembersOf(id);
    if (std::set<Vesk::vesk_guid>(members.begin(), members.end()) == wanted) volume.arrayId = id;
  }
  if (volume.arrayId == kNewElement) {
    std::uint64_t smallest = 0;
    for (const auto& id : ids) {
      const std::uint64_t capacity = drives.at(id).capacity;
      smallest = smallest == 0 ? capacity : std::min(smallest, capacity);
    }
    arrays[kNewElement] = {volume.controllerId, "", smallest * ids.size(), smallest * ids.size(),
                           false};
    for (const auto& id : ids) {
      drives.at(id).arrayId = kNewElement;
      drives.at(id).usage = usage::kMember;
    }
  }
  ArrayModel& array = arrays.at(volume.arrayId);
  const std::uint64_t n = ids.size();
  const std::uint32_t block = std::max<std::uint32_t>(1, volume.logicalBlockSize);
  if (volume.size == 0)
    volume.size = (array.freeSize / n) * DataDrives(volume.raidLevel, n) / block * block;
  array.freeSize -= std::min(array.freeSize, Consumption(volume.raidLevel, volume.size, n));
  volume.state =
      initialize && volume.raidLevel != Vesk::VESK_RAID_0 ? state::kInitializing : state::kNormal;
  volumes[kNewElement] = volume;
}

void Model::DeleteVolume(const Vesk::vesk_guid& volumeId) {
  const VolumeModel v = volumes.at(volumeId);
  volumes.erase(volumeId);
  auto array = arrays.find(v.arrayId);
  if (array == arrays.end()) return;
  const auto members = MembersOf(v.arrayId);
  if (!VolumesOf(v.arrayId).empty()) {
    array->second.freeSize += Consumption(v.raidLevel, v.size, members.size());
    return;
  }
  arrays.erase(array);
  for (const auto& id : members) {  // a missing member stays listed as missing
    DriveModel& d = drives.at(id);
    d.arrayId = Vesk::vesk_invalid_guid;
    d.usage = usage::kPassThrough;
  }
}

void Model::ExpandVolume(const Vesk::vesk_guid& volumeId, std::uint64_t size) {
  VolumeModel& v = volumes.at(volumeId);
  const std::uint64_t n = MembersOf(v.arrayId).size();
  ArrayModel& a = arrays.at(v.arrayId);
  const std::uint64_t more =
      Consumption(v.raidLevel, size, n) - Consumption(v.raidLevel, v.size, n);
  a.freeSize -= std::min(a.freeSize, more);
  v.size = size;
}

void Model::RebuildVolume(const Vesk::vesk_guid& volumeId,
                          const std::vector<Vesk::vesk_guid>& ids) {
  const Vesk::vesk_guid arrayId = volumes.at(volumeId).arrayId;
  // The members replaced leave the array; a missing one stays listed, in its place.
  for (const auto& id : MembersOf(arrayId)) {
    DriveModel& d = drives.at(id);
    if (!Bad(d)) continue;
    d.arrayId = Vesk::vesk_invalid_guid;
    d.usage = usage::kPassThrough;
  }
  for (const auto& id : ids) {
    drives.at(id).arrayId = arrayId;
    drives.at(id).usage = usage::kMember;
  }
  // Only the volume named is rebuilt; the array's others keep their state.
  volumes.at(volumeId).state = state::kRebuilding;
}

void Model::Migrate(
    const Vesk::vesk_guid& arrayId, const std::vector<Vesk::vesk_guid>& added,
    const std::map<Vesk::vesk_guid, std::pair<std::uint8_t, std::uint16_t>>& layouts) {
  ArrayModel& a = arrays.at(arrayId);
  const std::uint64_t n = MembersOf(arrayId).size(), m = n + added.size();
  std::uint64_t smallest = SmallestMember(arrayId);
  for (const auto& id : added) {
    smallest = std::min(smallest, drives.at(id).capacity);
    drives.at(id).arrayId = arrayId;
    drives.at(id).usage = usage::kMember;
  }
  // Signed: a narrower layout gives room back, a wider one takes it.
  std::int64_t free = static_cast<std::int64_t>(a.freeSize);
  if (!added.empty()) {
    free += static_cast<std::int64_t>(smallest * m) - static_cast<std::int64_t>(a.totalSize);
    a.totalSize = smallest * m;
  }
  for (const auto& [id, layout] : layouts) {
    VolumeModel& v = volumes.at(id);
    free += static_cast<std::int64_t>(Consumption(v.raidLevel, v.size, n)) -
            static_cast<std::int64_t>(Consumption(layout.first, v.size, m));
    v.raidLevel = layout.first;
    v.stripSize = layout.second;
    v.state = state::kMigrating;
  }
  a.freeSize = free > 0 ? static_cast<std::uint64_t>(free) : 0;
}

void Model::RemoveDrive(const Vesk::vesk_guid& driveId) {
  // A drive that leaves stays listed as missing, in its place.
  DriveModel& d = drives.at(driveId);
  d.status = drive_status::kMissing;
  d.capacity = 0;
  d.writeCache = d.led = false;
  if (d.usage != usage::kMember || d.arrayId.IsEmpty()) {
    d.usage = usage::kPassThrough;
    return;
  }
  UpdateHealth(d.arrayId);
}

void Model::ClearMetadata(const Vesk::vesk_guid& driveId) {
  DriveModel& d = drives.at(driveId);
  const Vesk::vesk_guid arrayId = d.arrayId;
  const bool member = d.usage == usage::kMember && !arrayId.IsEmpty();
  d.arrayId = Vesk::vesk_invalid_guid;
  d.usage = usage::kPassThrough;
  if (member) UpdateHealth(arrayId, 1);
}

std::uint64_t DataDrives(std::uint8_t raidLevel, std::uint64_t members) {
  switch (raidLevel) {
    case Vesk::VESK_RAID_1:
      return 1;
    case Vesk::VESK_RAID_10:
      return members / 2;
    case Vesk::VESK_RAID_5:
    case Vesk::VESK_RAID_4:
      return members > 0 ? members - 1 : 0;
    default:
      return members;
  }
}

std::uint64_t Consumption(std::uint8_t raidLevel, std::uint64_t size, std::uint64_t members) {
  const std::uint64_t data = DataDrives(raidLevel, members);
  if (data == 0) return 0;
  return (size / data + (size % data != 0)) * members;
}

bool Redundant(std::uint8_t raidLevel) {
  return raidLevel == Vesk::VESK_RAID_1 || raidLevel == Vesk::VESK_RAID_10 ||
         raidLevel == Vesk::VESK_RAID_5 || raidLevel == Vesk::VESK_RAID_4;
}

std::vector<std::string> Losses(const Model& before, const Model& after) {
  std::vector<std::string> losses;
  for (const auto& [id, v] : before.volumes) {
    const std::string what = "volume \"" + v.name + "\" (" + id.ToString() + ")";
    const std::string system = v.systemVolume ? ", the system volume," : "";
    auto now = after.volumes.find(id);
    if (now == after.volumes.end()) {
      losses.push_back(what + system + " is deleted with its " + HumanBytes(v.size) + " of data");
    } else if (now->second.state == state::kFailed && v.state != state::kFailed) {
      losses.push_back(what + system + " fails: its " + HumanBytes(v.size) + " of data are lost");
    } else if (now->second.state == state::kDegraded && Severity(v.state) == 0) {
      losses.push_back(what + system + " loses its redundancy (degraded)");
    } else if (Redundant(v.raidLevel) && !Redundant(now->second.raidLevel)) {
      losses.push_back(what + system + " loses its redundancy (" + RaidLevelName(v.raidLevel) +
                       " to " + RaidLevelName(now->second.raidLevel) + ")");
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
  }
  return losses;
}

nlohmann::json PredictionJson(const Model& before, const Model& after) {
  nlohmann::json j = {{"controllers", nlohmann::json::array()},
                      {"arrays", nlohmann::json::array()},
                      {"volumes", nlohmann::json::array()},
                      {"drives", nlohmann::json::array()},
                      {"losses", Losses(before, after)}};
  ForEachChange(before, after,
                [&](const char* kind, const Vesk::vesk_guid& id, const std::string& label,
                    bool existed, bool remains, const auto& was, const auto& will) {
                  j[kind].push_back({{"id", id == kNewElement ? nlohmann::json(nullptr)
                                                              : nlohmann::json(id.ToString())},
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
                  text += "  " + label + " " + IdText(id) + ": ";
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
                  for (std::size_t i = 0; i < was.size(); ++i) {
                    text += (i ? ", " : "") + std::string(was[i].key) + " " + was[i].text + " -> " +
                            will[i].text;
                  }
                  text += "\n";
                });
  if (text.empty()) text = "  no change to the topology\n";
  return text;
}

}  // namespace veskctl
