// The simulated driver's commands, background work and events. Every command checks all of its
// inputs before it changes anything, so a refused command leaves the model as it was.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <set>

#include "simulator/DriverRecords.h"
#include "simulator/RaidDriver.h"
#include "simulator/RaidDriverRequest.h"

namespace vesk::sim {

using namespace wire;
using S = DriverStatus;

namespace {

constexpr std::size_t kTarget = 32;        // target identifier of a command
constexpr std::size_t kValue = 48;         // value byte / field after the target
constexpr std::size_t kTargetRecord = 48;  // target-only records
constexpr std::size_t kTargetByteRecord = 49;

template <typename T>
struct Found {
  Controller* controller = nullptr;
  T* object = nullptr;
};

Found<Drive> LocateDrive(Topology& t, const vesk_guid& id) {
  for (auto& c : t.controllers)
    if (Drive* d = c.FindDrive(id)) return {&c, d};
  return {};
}

Found<Volume> LocateVolume(Topology& t, const vesk_guid& id) {
  for (auto& c : t.controllers)
    if (Volume* v = c.FindVolume(id)) return {&c, v};
  return {};
}

Found<Array> LocateArray(Topology& t, const vesk_guid& id) {
  for (auto& c : t.controllers)
    if (Array* a = c.FindArray(id)) return {&c, a};
  return {};
}

bool Bad(std::uint8_t status) { return Unavailable(status); }
bool Bad(const Drive& d) { return Bad(d.status); }

bool Contains(const std::vector<vesk_guid>& ids, const vesk_guid& id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

int Severity(std::uint8_t state) {
  return state == volume_state::kFailed ? 2 : state == volume_state::kDegraded ? 1 : 0;
}

bool AnyBad(Controller& c, const std::vector<vesk_guid>& ids) {
  return std::any_of(ids.begin(), ids.end(), [&](const vesk_guid& id) {
    const Drive* d = c.FindDrive(id);
    return d == nullptr || Bad(*d);
  });
}

// A member that comes back after it failed or went offline holds data that may be out of date:
// every volume on it needs a rebuild before it counts again.
void MarkStale(Controller& c, const vesk_guid& driveId) {
  Array* a = c.ArrayOfDrive(driveId);
  if (a == nullptr) return;
  for (Volume* v : c.VolumesOf(a->id))
    if (!Contains(v->staleDrives, driveId)) v->staleDrives.push_back(driveId);
}

bool CountAllowed(const RaidLevelCapability& cap, std::size_t n) {
  if (n < cap.minDrives || n > cap.maxDrives) return false;
  return (n % 2 == 1) ? cap.oddCount : cap.evenCount;
}

bool StripAllowed(const RaidLevelCapability& cap, std::uint16_t strip) {
  return strip != 0 && (strip & (strip - 1)) == 0 && (strip & cap.stripSizeMask) != 0;
}

std::vector<vesk_guid> ReadIds(const std::uint8_t* buf, std::size_t at, std::size_t n) {
  std::vector<vesk_guid> ids;
  for (std::size_t i = 0; i < n; ++i) ids.push_back(GetGuid(buf, at + 16 * i));
  return ids;
}

S CheckName(Controller& c, const std::string& name, const Volume* self) {
  if (name.empty()) return S::InvalidName;
  for (char ch : name)
    if (ch < 0x20 || ch > 0x7E) return S::InvalidName;
  for (const auto& v : c.volumes)
    if (&v != self && v.name == name) return S::NameInUse;
  return S::Success;
}

std::uint64_t SmallestMember(Controller& c, const Array& a) {
  std::uint64_t smallest = 0;
  for (const auto& id : a.drives) {
    const Drive* d = c.FindDrive(id);
    if (d && d->status != drive_status::kMissing && (smallest == 0 || d->Capacity() < smallest))
      smallest = d->Capacity();
  }
  return smallest;
}

}  // namespace

// ------------------------------------------------------------------------------------------------
// Model helpers
// ------------------------------------------------------------------------------------------------

vesk_guid RaidDriver::NewIdentifier(std::uint8_t kind) {
  for (;;) {
    vesk_guid id{};
    id.group1 = topology.nextObjectNumber++;
    id.group2 = 0x5151;
    id.group3 = kind;
    id.group4 = 0x4b4f;
    const std::uint8_t tail[6] = {'R', 'V', 'A', 'S', 'I', 'M'};
    std::copy(tail, tail + 6, id.group5);
    bool used = subscriptions.count(id) != 0 || topology.FindController(id) != nullptr;
    for (auto& c : topology.controllers)
      used = used || c.FindDrive(id) || c.FindVolume(id) || c.FindArray(id);
    if (!used) return id;
  }
}

void RaidDriver::Post(const Controller& c, std::uint8_t type, const vesk_guid& id) {
  constexpr std::size_t kMaxPending = 256;
  for (auto& [subscriptionId, s] : subscriptions) {
    if (s.controllerId != c.id) continue;
    if (!s.types.empty() && std::find(s.types.begin(), s.types.end(), type) == s.types.end())
      continue;
    if (s.pending.size() == kMaxPending) s.pending.erase(s.pending.begin());
    s.pending.emplace_back(type, id);
  }
}

// Health only gets worse on its own: a failed volume stays failed until marked normal, a degraded
// one until it is rebuilt. Losing a member stops background work on the volume, except a rebuild
// that can still read the volume and still has the drives it writes. A layout change that had
// moved some of the data keeps it where it is: the joining drives stay members, and the change
// goes on once the volume is whole again.
void RaidDriver::UpdateHealth(Controller& c) {
  for (auto& v : c.volumes) {
    const std::uint8_t health = VolumeHealth(c, v);
    if (v.task && v.task->kind == Task::Kind::Rebuild) {
      if (health != volume_state::kFailed && !AnyBad(c, v.staleDrives)) continue;
    } else if (Severity(health) <= Severity(v.state)) {
      continue;
    }
    // Before the work stops: what a rebuild had written and a layout change had moved counts.
    if (health == volume_state::kFailed) LoseData(c, v);
    if (v.task && v.task->kind == Task::Kind::Migration) {
      if (v.task->elapsedMs == 0) {
        Array* a = c.FindArray(v.arrayId);
        for (const auto& id : v.task->joiningDrives) std::erase(a->drives, id);
      } else {
        v.stoppedMigration = *v.task;
      }
    }
    v.task.reset();
    v.state = health;
    Post(c, event_type::kVolumeChanged, v.id);
  }
  TakeOver(c);
}

// The members that held none of the data are those gone, broken or stale; the mark grows with
// every loss until it is acknowledged.
void RaidDriver::LoseData(Controller& c, Volume& v) {
  const std::uint64_t bytes = UnreadableBytes(c, v);
  if (bytes == 0) return;
  std::vector<vesk_guid> members;
  for (const auto& id : c.FindArray(v.arrayId)->drives)
    if (AnyBad(c, {id}) || Contains(v.staleDrives, id)) members.push_back(id);
  NoteLoss(v, bytes, members).failed = true;
}

DataLoss& RaidDriver::NoteLoss(Volume& v, std::uint64_t bytes,
                               const std::vector<vesk_guid>& members) {
  if (!v.dataLost) {
    v.dataLost.emplace();
    v.dataLost->atMs = topology.clockMs;
  }
  DataLoss& loss = *v.dataLost;
  loss.bytes = std::min(v.size, std::max(loss.bytes, bytes));
  for (const auto& id : members)
    if (!Contains(loss.members, id)) loss.members.push_back(id);
  return loss;
}

// Marked normal over members that hold none (or an out-of-date copy) of its data, the volume
// takes what they hold as its data: anything may read wrong, and the copies disagree until a
// repair or an initialization writes them alike.
void RaidDriver::Force(Volume& v) {
  if (v.staleDrives.empty()) return;
  v.inconsistentBytes = v.size;
  // A loss already marked says how much is gone; otherwise any of it may read wrong.
  NoteLoss(v, v.dataLost ? 0 : v.size, v.staleDrives).forced = true;
  v.staleDrives.clear();
}

void RaidDriver::Resume(Controller& c, Volume& v) {
  if (!v.stoppedMigration || v.task || v.state != volume_state::kNormal) return;
  v.task = *v.stoppedMigration;
  v.stoppedMigration.reset();
  v.state = volume_state::kMigrating;
  Post(c, event_type::kVolumeChanged, v.id);
}

void RaidDriver::StartTask(Controller& c, Volume& v, Task task) {
  task.elapsedMs = 0;
  task.durationMs = topology.taskDurationMs;
  v.state = WorkState(task);
  v.task = task;
  Post(c, event_type::kVolumeChanged, v.id);
}

void RaidDriver::Finish(Controller& c, Volume& v) {
  Task task = *v.task;
  v.task.reset();
  switch (task.kind) {
    case Task::Kind::Initialize:
      v.initialized = true;
      v.inconsistentBytes = 0;
      break;
    case Task::Kind::Verify: {
      // Copies that disagree are found stripe by stripe; a mirror or parity has something to
      // compare, RAID 0 has not.
      std::uint64_t errors = v.latentErrors;
      if (v.raidLevel != 1)
        errors += Stripes(v, c.FindArray(v.arrayId)->drives.size(), v.inconsistentBytes);
      v.verifyErrors = static_cast<std::uint32_t>(std::min<std::uint64_t>(errors, UINT32_MAX));
      v.verifyBadBlocks = v.latentBadBlocks;
      if (task.repair) {
        v.latentErrors = v.latentBadBlocks = 0;
        v.inconsistentBytes = 0;
      }
      break;
    }
    case Task::Kind::Rebuild:
      v.staleDrives.clear();
      break;
    case Task::Kind::Migration:
      v.raidLevel = task.targetLevel;
      v.stripSize = task.targetStripSize;
      break;
  }
  v.state = VolumeHealth(c, v);
  Post(c, event_type::kWorkFinished, v.id);
  Resume(c, v);
}

void RaidDriver::Advance(std::uint64_t milliseconds) {
  topology.clockMs += milliseconds;
  for (auto& c : topology.controllers) {
    for (auto& v : c.volumes) {
      if (!v.task) continue;
      v.task->elapsedMs = std::min(v.task->durationMs, v.task->elapsedMs + milliseconds);
      if (v.task->elapsedMs >= v.task->durationMs) Finish(c, v);
    }
    Patrol(c, milliseconds);
    // Work that ended may have freed an array a spare was waiting for.
    TakeOver(c);
  }
}

void RaidDriver::ChangeStatus(Controller& c, Drive& d, std::uint8_t status) {
  if (Bad(d) && !Bad(status)) MarkStale(c, d.id);
  d.status = status;
  Post(c, event_type::kDriveChanged, d.id);
  UpdateHealth(c);
}

bool RaidDriver::SetDriveStatus(const vesk_guid& driveId, std::uint8_t status) {
  std::lock_guard lock(mutex);
  auto found = LocateDrive(topology, driveId);
  if (!found.object) return false;
  ChangeStatus(*found.controller, *found.object, status);
  return true;
}

// A drive that leaves keeps its place in the list as missing, with the identity and the port or
// slot it was last seen at: the drives after it keep their places (an NVMe drive's SCSI target is
// its place), no missing drive looks like the one on port 0, and an array knows which member to
// rebuild. What only a present drive has goes, kept aside for the drive's return.
void RaidDriver::Detach(Controller& c, Drive& d) {
  d.pulled =
      Drive::Pulled{d.blocks, d.writeCacheEnabled, d.sataLinkRate, d.pciLinkRate, d.pciLinkWidth};
  d.status = drive_status::kMissing;
  d.blocks = 0;
  d.spare = false;
  d.ledActive = false;
  d.writeCacheEnabled = false;
  d.sataLinkRate = 0;
  d.pciLinkRate = 0;
  d.pciLinkWidth = 0;
  Post(c, event_type::kDriveChanged, d.id);
  UpdateHealth(c);
}

// ------------------------------------------------------------------------------------------------
// What the driver does on its own
// ------------------------------------------------------------------------------------------------

namespace {

// The first spare of the controller that can stand in for a member of `minCapacity` bytes.
Drive* UsableSpare(Controller& c, std::uint64_t minCapacity) {
  for (auto& d : c.drives)
    if (c.UsageOf(d) == drive_usage::kSpare && d.type != 0 && d.status == drive_status::kNormal &&
        d.Capacity() >= minCapacity)
      return &d;
  return nullptr;
}

// An array a rebuild can save now: a volume of it is degraded, and none has work running (a
// rebuild that replaces members needs the whole array).
bool Rebuildable(Controller& c, const Array& a) {
  bool degraded = false;
  for (const Volume* v : c.VolumesOf(a.id)) {
    if (v->task) return false;
    degraded = degraded || v->state == volume_state::kDegraded;
  }
  return degraded;
}

bool SameSlot(const Drive& a, const Drive& b) {
  if (a.type != b.type) return false;
  if (a.type != 3) return a.portNumber == b.portNumber;
  return a.socketNumber == b.socketNumber && a.dornControllerNumber == b.dornControllerNumber &&
         a.rootPortOffset == b.rootPortOffset && a.physicalSlotNumber == b.physicalSlotNumber;
}

}  // namespace

// `by` takes the member's place; it holds nothing yet for any volume of the array.
void RaidDriver::Replace(Controller& c, Array& a, std::size_t index, Drive& by) {
  const vesk_guid old = a.drives[index];
  a.drives[index] = by.id;
  by.spare = false;
  for (Volume* member : c.VolumesOf(a.id)) {
    std::erase(member->staleDrives, old);
    member->staleDrives.push_back(by.id);
    // A stopped layout change's new layout has the replacement where the drive was.
    for (auto* task : {&member->task, &member->stoppedMigration})
      if (*task)
        std::replace((*task)->joiningDrives.begin(), (*task)->joiningDrives.end(), old, by.id);
  }
  Post(c, event_type::kDriveChanged, by.id);
}

void RaidDriver::RebuildDegraded(Controller& c, const Array& a) {
  for (Volume* v : c.VolumesOf(a.id))
    if (v->state == volume_state::kDegraded && !v->task)
      StartTask(c, *v, Task{Task::Kind::Rebuild});
}

// Spares take the places of lost members, in member order, of every array a rebuild can save, and
// the degraded volumes are rebuilt onto them. A failed volume is not: no rebuild brings its data
// back, and the spare holds nothing for it until it is marked normal. An array whose volumes have
// all failed keeps its spares for one that can be saved.
void RaidDriver::TakeOver(Controller& c) {
  for (auto& a : c.arrays) {
    if (!Rebuildable(c, a)) continue;
    bool replaced = false;
    for (std::size_t i = 0; i < a.drives.size(); ++i) {
      const Drive* member = c.FindDrive(a.drives[i]);
      if (member != nullptr && !Bad(*member)) continue;
      Drive* spare = UsableSpare(c, SmallestMember(c, a));
      if (spare == nullptr) break;
      Replace(c, a, i, *spare);
      replaced = true;
    }
    if (!replaced) continue;
    Post(c, event_type::kArrayChanged, a.id);
    RebuildDegraded(c, a);
  }
}

// Read patrol reads the controller's volumes in turn, one for every taskDurationMs of the clock,
// without changing their state. It repairs the latent errors and bad blocks of a volume it reads
// that is normal, initialized, idle and redundant; it passes the others by in their turn.
void RaidDriver::Patrol(Controller& c, std::uint64_t milliseconds) {
  if (!c.readPatrolEnabled || c.volumes.empty()) return;
  c.patrolElapsedMs += milliseconds;
  // One round over every volume repairs all there is: a longer time reads nothing new.
  std::uint64_t turns =
      std::min<std::uint64_t>(c.patrolElapsedMs / topology.taskDurationMs, c.volumes.size());
  c.patrolElapsedMs %= topology.taskDurationMs;
  for (; turns > 0; --turns) {
    Volume& v = c.volumes[c.patrolVolume % c.volumes.size()];
    c.patrolVolume = (c.patrolVolume + 1) % c.volumes.size();
    if (v.state != volume_state::kNormal || v.task || !v.initialized ||
        v.raidLevel == 1 /* RAID 0 */)
      continue;
    // Nothing a client reads changes (the errors were never reported): no event.
    v.latentErrors = v.latentBadBlocks = 0;
  }
}

// ------------------------------------------------------------------------------------------------
// Drills
// ------------------------------------------------------------------------------------------------

DriverStatus RaidDriver::FailDrive(const vesk_guid& driveId) {
  std::lock_guard lock(mutex);
  auto found = LocateDrive(topology, driveId);
  if (!found.object) return S::DriveNotFound;
  if (found.object->status == drive_status::kMissing) return S::DriveUnusable;
  if (found.object->status == drive_status::kFailed) return S::InvalidState;
  ChangeStatus(*found.controller, *found.object, drive_status::kFailed);
  return S::Success;
}

DriverStatus RaidDriver::PullDrive(const vesk_guid& driveId) {
  std::lock_guard lock(mutex);
  auto found = LocateDrive(topology, driveId);
  if (!found.object) return S::DriveNotFound;
  if (found.object->status == drive_status::kMissing) return S::InvalidState;
  Detach(*found.controller, *found.object);
  return S::Success;
}

DriverStatus RaidDriver::SignalSmartEvent(const vesk_guid& driveId) {
  std::lock_guard lock(mutex);
  auto found = LocateDrive(topology, driveId);
  if (!found.object) return S::DriveNotFound;
  if (found.object->status == drive_status::kMissing) return S::DriveUnusable;
  if (found.object->status != drive_status::kNormal) return S::InvalidState;
  ChangeStatus(*found.controller, *found.object, drive_status::kSmartEvent);
  return S::Success;
}

DriverStatus RaidDriver::AcknowledgeDataLoss(const vesk_guid& volumeId) {
  std::lock_guard lock(mutex);
  auto found = LocateVolume(topology, volumeId);
  if (!found.object) return S::VolumeNotFound;
  if (!found.object->dataLost) return S::InvalidState;
  found.object->dataLost.reset();
  return S::Success;
}

DriverStatus RaidDriver::SetMediaErrors(const vesk_guid& volumeId, std::uint32_t errors,
                                        std::uint32_t badBlocks) {
  std::lock_guard lock(mutex);
  auto found = LocateVolume(topology, volumeId);
  if (!found.object) return S::VolumeNotFound;
  found.object->latentErrors = errors;
  found.object->latentBadBlocks = badBlocks;
  return S::Success;
}

// A drive returns to its slot: the drive that was pulled, or a new blank one. A returning member
// is stale for its volumes (see MarkStale). With ROHI on, a drive in the slot of a member the
// array still misses is rebuilt onto: the member itself, or the new drive in its place.
DriverStatus RaidDriver::InsertDrive(const vesk_guid& driveId, bool blank, vesk_guid* inserted) {
  std::lock_guard lock(mutex);
  auto found = LocateDrive(topology, driveId);
  if (!found.object) return S::DriveNotFound;
  Controller& c = *found.controller;
  if (found.object->status != drive_status::kMissing || !found.object->pulled)
    return S::InvalidState;
  for (const auto& d : c.drives)
    if (d.status != drive_status::kMissing && SameSlot(d, *found.object)) return S::InvalidState;

  Drive drive = *found.object;
  if (blank) {
    drive.id = NewIdentifier(4);
    char serial[21];
    std::snprintf(serial, sizeof serial, "BLANK%08u", drive.id.group1);
    drive.serialNumber = serial;
    drive.serviceLabel.clear();
    drive.foreignMetadata = drive.containsPartition = drive.systemDrive = false;
    drive.encryptionStatus = 0;
  }
  drive.blocks = drive.pulled->blocks;
  drive.writeCacheEnabled = drive.pulled->writeCacheEnabled;
  drive.sataLinkRate = drive.pulled->sataLinkRate;
  drive.pciLinkRate = drive.pulled->pciLinkRate;
  drive.pciLinkWidth = drive.pulled->pciLinkWidth;
  drive.pulled.reset();
  drive.status = drive_status::kNormal;
  // A new drive is listed after the others; the missing one keeps its place.
  Drive& in = blank ? c.drives.emplace_back(drive) : (*found.object = drive);
  if (inserted) *inserted = in.id;
  Post(c, event_type::kDriveChanged, in.id);

  Array* a = c.ArrayOfDrive(driveId);
  if (a == nullptr) return S::Success;
  if (!blank) MarkStale(c, in.id);
  if (!c.rohiEnabled || !Rebuildable(c, *a)) return S::Success;
  if (blank) {
    if (in.Capacity() < SmallestMember(c, *a)) return S::Success;
    const auto place = std::find(a->drives.begin(), a->drives.end(), driveId);
    Replace(c, *a, static_cast<std::size_t>(place - a->drives.begin()), in);
    Post(c, event_type::kArrayChanged, a->id);
  }
  RebuildDegraded(c, *a);
  return S::Success;
}

// Drives that may become members of an array: known to `c`, each named once, disks in good
// health without a role (spares only when allowed: a rebuild takes them), large enough.
S RaidDriver::CheckAvailable(Controller& c, const std::vector<vesk_guid>& drives,
                             std::uint64_t minCapacity, bool allowSpares) {
  std::set<vesk_guid> seen;
  for (const auto& id : drives) {
    Drive* d = c.FindDrive(id);
    if (d == nullptr) return S::DriveNotFound;
    if (!seen.insert(id).second) return S::DriveInUse;
    if (d->type == 0 || d->status != drive_status::kNormal) return S::DriveUnusable;
    std::uint8_t usage = c.UsageOf(*d);
    if (usage == drive_usage::kArrayMember || usage == drive_usage::kJournaling)
      return S::DriveInUse;
    if (usage == drive_usage::kSpare && !allowSpares) return S::DriveInUse;
    if (usage == drive_usage::kForeignMetadata) return S::DriveUnusable;
    if (d->Capacity() < minCapacity) return S::InsufficientSpace;
  }
  return S::Success;
}

// ------------------------------------------------------------------------------------------------
// Dispatch
// ------------------------------------------------------------------------------------------------

DriverStatus RaidDriver::Command(Request& r) {
  switch (r.function) {
    case function::kCreateVolume:
      return CreateVolume(r);
    case function::kMarkAsSpare:
    case function::kUnmarkSpare:
    case function::kClearDriveMetadata:
    case function::kMarkDriveAsNormal:
    case function::kSetVolatileWriteCache:
    case function::kResetSmartEvent:
    case function::kActivateDriveLed:
    case function::kRemoveDrive:
      return DriveCommand(r);
    case function::kMarkVolumeAsNormal:
    case function::kDeleteVolume:
    case function::kRebuildVolume:
    case function::kExpandVolume:
    case function::kChangeRaidLayout:
    case function::kRenameVolume:
    case function::kVerifyVolume:
    case function::kCancelVerification:
    case function::kInitializeVolume:
    case function::kSetVolumeCachePolicy:
    case function::kSetVolumeRwhPolicy:
      return VolumeCommand(r);
    case function::kAddDrivesToArray:
      return AddDrivesToArray(r);
    case function::kSetArrayCachePolicy: {
      if (r.size < kTargetByteRecord) return S::InvalidRequest;
      auto found = LocateArray(topology, GetGuid(r.buf, kTarget));
      if (!found.object) return S::ArrayNotFound;
      if (r.buf[kValue] & 0x7F) return S::InvalidParameter;
      found.object->writeCacheEnabled = (r.buf[kValue] & 0x80) != 0;
      Post(*found.controller, event_type::kArrayChanged, found.object->id);
      return S::Success;
    }
    case function::kSetRohiPolicy:
    case function::kSetReadPatrolPolicy:
    case function::kSetControllerRate:
      return ControllerCommand(r);
    case function::kCreateEventSubscription:
    case function::kCancelEventSubscription:
      return SubscriptionCommand(r);
    case function::kSanitizeDrive:
      return SanitizeDrive(r);
    default:
      return S::InvalidRequest;
  }
}

// ------------------------------------------------------------------------------------------------
// Volumes
// ------------------------------------------------------------------------------------------------

DriverStatus RaidDriver::CreateVolume(Request& r) {
  constexpr std::size_t kParameters = 34;
  constexpr std::size_t kDrives = 94;
  if (r.size < kDrives) return S::InvalidRequest;
  std::size_t n = Get16(r.buf, 32);
  if (r.size < kDrives + 16 * n) return S::InvalidRequest;
  const std::uint8_t* p = r.buf + kParameters;
  std::string name = GetText(p, 0, 16);
  std::uint16_t strip = Get16(p, 16);
  std::uint8_t level = p[18];
  std::uint64_t size = Get64(p, 19);
  std::uint8_t flags = p[27];
  vesk_guid keepId = GetGuid(p, 28);
  vesk_guid journalId = GetGuid(p, 44);
  bool initialize = (flags & 0x04) != 0, keep = (flags & 0x08) != 0;
  std::uint8_t rwh = flags >> 4;
  std::vector<vesk_guid> drives = ReadIds(r.buf, kDrives, n);
  Controller& c = *r.device;

  if (flags & 0x03) return S::InvalidParameter;
  const RaidLevelCapability* cap = c.Capability(level);
  if (cap == nullptr) return S::InvalidParameter;
  if (auto s = CheckName(c, name, nullptr); s != S::Success) return s;
  if (n == 0) return S::InvalidDriveCount;
  for (const auto& id : drives)
    if (!c.FindDrive(id)) return S::DriveNotFound;

  // The same drives as an existing array: a further volume in that array.
  Array* existing = nullptr;
  for (auto& a : c.arrays) {
    std::set<vesk_guid> members(a.drives.begin(), a.drives.end());
    if (members == std::set<vesk_guid>(drives.begin(), drives.end()) && a.drives.size() == n)
      existing = &a;
  }
  if (!existing) {
    if (auto s = CheckAvailable(c, drives, 0); s != S::Success) return s;
  }
  if (!CountAllowed(*cap, n)) return S::InvalidDriveCount;
  if (strip == 0)
    strip = cap->defaultStripSize;
  else if (!StripAllowed(*cap, strip))
    return S::InvalidParameter;
  if (rwh > kMaxRwhPolicy) return S::InvalidParameter;
  if (rwh != 0 && level != 4) return S::NotSupported;
  if (rwh == kRwhJournalingDrive) {
    if (journalId.IsEmpty()) return S::InvalidParameter;
    if (std::find(drives.begin(), drives.end(), journalId) != drives.end()) return S::DriveInUse;
    if (auto s = CheckAvailable(c, {journalId}, 0); s != S::Success) return s;
  } else if (!journalId.IsEmpty()) {
    return S::InvalidParameter;
  }
  if (keep) {
    if (initialize || existing) return S::InvalidParameter;
    if (std::find(drives.begin(), drives.end(), keepId) == drives.end()) return S::InvalidParameter;
  } else if (!keepId.IsEmpty()) {
    return S::InvalidParameter;
  }
  if (c.volumes.size() >= c.maxVolumesPerController) return S::LimitReached;
  if (existing && c.VolumesOf(existing->id).size() >= c.maxVolumesPerArray) return S::LimitReached;
  if (!existing && c.arrays.size() >= c.maxVolumesPerController) return S::LimitReached;
  if (existing) {
    for (Volume* v : c.VolumesOf(existing->id)) {
      if (v->task) return S::VolumeBusy;
      if (v->state != volume_state::kNormal) return S::InvalidState;
    }
  }

  std::uint64_t free = 0;
  std::uint32_t blockSize = c.FindDrive(drives[0])->logicalBlockSize;
  if (existing) {
    free = c.ArrayFreeSize(*existing);
  } else {
    std::uint64_t smallest = 0;
    for (const auto& id : drives) {
      std::uint64_t capacity = c.FindDrive(id)->Capacity();
      smallest = smallest == 0 ? capacity : std::min(smallest, capacity);
    }
    free = smallest * n;
  }
  if (size == 0) size = (free / n) * DataDrives(level, n) / blockSize * blockSize;
  if (size == 0 || RawConsumption(level, size, n) > free) return S::InsufficientSpace;

  if (!existing) {
    Array array;
    array.id = NewIdentifier(1);
    for (unsigned k = 0;; ++k) {
      char text[16];
      std::snprintf(text, sizeof text, "Array_%04u", k);
      bool used = false;
      for (const auto& a : c.arrays) used = used || a.name == text;
      if (!used) {
        array.name = text;
        break;
      }
    }
    array.drives = drives;
    c.arrays.push_back(array);
    existing = &c.arrays.back();
    Post(c, event_type::kArrayChanged, array.id);
  }
  Volume v;
  v.id = NewIdentifier(2);
  v.arrayId = existing->id;
  v.name = name;
  v.raidLevel = level;
  v.stripSize = strip;
  v.size = size;
  v.logicalBlockSize = blockSize;
  v.rwhPolicy = rwh;
  v.journalingDriveId = journalId;
  // RAID 0 has no redundancy to bring in line, and kept data is consistent by definition.
  v.initialized = level == 1 || keep;
  c.volumes.push_back(v);
  Volume& created = c.volumes.back();
  Post(c, event_type::kVolumeChanged, created.id);
  // A 1.0 driver does not know the initialize bit; its callers send an initialize command.
  if (initialize && !created.initialized && r.layout > 0)
    StartTask(c, created, Task{Task::Kind::Initialize});

  std::fill(r.buf + kPayloadOffset, r.buf + kPayloadOffset + 16, 0);
  PutGuid(r.buf, kPayloadOffset, created.id);
  return S::Success;
}

DriverStatus RaidDriver::VolumeCommand(Request& r) {
  std::size_t need = kTargetRecord;
  switch (r.function) {
    case function::kVerifyVolume:
    case function::kSetVolumeCachePolicy:
      need = kTargetByteRecord;
      break;
    case function::kExpandVolume:
      need = 56;
      break;
    case function::kRenameVolume:
      need = 64;
      break;
    case function::kSetVolumeRwhPolicy:
      need = 65;
      break;
    case function::kRebuildVolume:
      need = 50;
      break;
    case function::kChangeRaidLayout:
      need = 53;
      break;
  }
  if (r.size < need) return S::InvalidRequest;
  auto found = LocateVolume(topology, GetGuid(r.buf, kTarget));
  if (!found.object) return S::VolumeNotFound;
  Controller& c = *found.controller;
  Volume& v = *found.object;
  std::uint8_t value = need > kValue ? r.buf[kValue] : 0;  // target-only records end at 48

  switch (r.function) {
    case function::kMarkVolumeAsNormal:
      if (v.state != volume_state::kFailed && v.state != volume_state::kDegraded)
        return S::InvalidState;
      // Every member must be there; what they hold is taken as it is (data lost stays lost).
      if (AnyBad(c, c.FindArray(v.arrayId)->drives)) return S::InvalidState;
      Force(v);
      v.state = volume_state::kNormal;
      Post(c, event_type::kVolumeChanged, v.id);
      Resume(c, v);
      return S::Success;
    case function::kDeleteVolume: {
      if (v.task && v.task->kind == Task::Kind::Migration) return S::VolumeBusy;
      vesk_guid arrayId = v.arrayId, id = v.id;
      c.volumes.erase(c.volumes.begin() + (&v - c.volumes.data()));
      if (c.VolumesOf(arrayId).empty()) {
        c.arrays.erase(std::remove_if(c.arrays.begin(), c.arrays.end(),
                                      [&](const Array& a) { return a.id == arrayId; }),
                       c.arrays.end());
        Post(c, event_type::kArrayChanged, arrayId);
      }
      Post(c, event_type::kVolumeChanged, id);
      return S::Success;
    }
    case function::kRebuildVolume:
      return RebuildVolume(r, c, v);
    case function::kChangeRaidLayout:
      return ChangeRaidLayout(r, c, v);
    case function::kSetVolumeRwhPolicy:
      return SetRwhPolicy(r, c, v);
    case function::kExpandVolume: {
      std::uint64_t newSize = Get64(r.buf, kValue);
      if (v.task) return S::VolumeBusy;
      if (v.state != volume_state::kNormal) return S::InvalidState;
      if (newSize <= v.size) return S::InvalidParameter;
      Array& a = *c.FindArray(v.arrayId);
      std::size_t n = a.drives.size();
      if (RawConsumption(v.raidLevel, newSize, n) - RawConsumption(v.raidLevel, v.size, n) >
          c.ArrayFreeSize(a))
        return S::InsufficientSpace;
      v.size = newSize;
      break;
    }
    case function::kRenameVolume: {
      std::string name = GetText(r.buf, kValue, 16);
      if (auto s = CheckName(c, name, &v); s != S::Success) return s;
      v.name = name;
      break;
    }
    case function::kVerifyVolume:
      if (value > 1) return S::InvalidParameter;
      if (v.task) return S::VolumeBusy;
      if (v.state != volume_state::kNormal) return S::InvalidState;
      if (value == 1 && v.raidLevel == 1)
        return S::NotSupported;  // RAID 0 has nothing to repair from
      if (!v.initialized) return S::InvalidState;
      StartTask(c, v, Task{Task::Kind::Verify, value == 1});
      return S::Success;
    case function::kCancelVerification:
      if (!v.task || v.task->kind != Task::Kind::Verify) return S::InvalidState;
      v.task.reset();
      v.state = VolumeHealth(c, v);
      break;
    case function::kInitializeVolume:
      if (v.task) return S::VolumeBusy;
      if (v.state != volume_state::kNormal || v.initialized) return S::InvalidState;
      StartTask(c, v, Task{Task::Kind::Initialize});
      return S::Success;
    case function::kSetVolumeCachePolicy: {
      std::uint8_t policy = value >> 4;
      if ((value & 0x0F) != 0 || policy == 0 || policy > kMaxCachePolicy)
        return S::InvalidParameter;
      v.cachePolicy = policy;
      break;
    }
  }
  Post(c, event_type::kVolumeChanged, v.id);
  return S::Success;
}

DriverStatus RaidDriver::SetRwhPolicy(Request& r, Controller& c, Volume& v) {
  std::uint8_t value = r.buf[kValue];
  std::uint8_t policy = value >> 4;
  vesk_guid journal = GetGuid(r.buf, 49);
  if ((value & 0x0F) != 0 || policy > kMaxRwhPolicy) return S::InvalidParameter;
  if (policy != 0 && v.raidLevel != 4) return S::NotSupported;
  if (v.task) return S::VolumeBusy;
  if (policy == kRwhJournalingDrive) {
    if (journal.IsEmpty()) return S::InvalidParameter;
    bool current = v.rwhPolicy == kRwhJournalingDrive && v.journalingDriveId == journal;
    if (!current) {
      if (auto s = CheckAvailable(c, {journal}, 0); s != S::Success) return s;
    }
  } else if (!journal.IsEmpty()) {
    return S::InvalidParameter;
  }
  v.rwhPolicy = policy;
  v.journalingDriveId = journal;
  Post(c, event_type::kVolumeChanged, v.id);
  return S::Success;
}

// The listed drives take the places of the members that failed or are gone, in member order; a
// volume whose array already has every member (another volume's rebuild replaced them, or a
// member came back) names none. Only this volume is rebuilt: a replacement holds nothing for the
// array's other volumes until they are rebuilt themselves, and a failed one never is.
DriverStatus RaidDriver::RebuildVolume(Request& r, Controller& c, Volume& v) {
  std::size_t n = Get16(r.buf, kValue);
  if (r.size < 50 + 16 * n) return S::InvalidRequest;
  std::vector<vesk_guid> drives = ReadIds(r.buf, 50, n);
  if (v.task) return S::VolumeBusy;
  if (v.state != volume_state::kDegraded) return S::InvalidState;
  Array& a = *c.FindArray(v.arrayId);
  std::vector<std::size_t> bad;
  for (std::size_t i = 0; i < a.drives.size(); ++i) {
    const Drive* d = c.FindDrive(a.drives[i]);
    if (d == nullptr || Bad(*d)) bad.push_back(i);
  }
  if (n != bad.size()) return S::InvalidDriveCount;
  if (n > 0) {
    for (Volume* other : c.VolumesOf(a.id))
      if (other->task) return S::VolumeBusy;
  }
  if (auto s = CheckAvailable(c, drives, SmallestMember(c, a), true); s != S::Success) return s;

  // The members that are gone keep their places in the drive list (see RemoveDrive).
  for (std::size_t k = 0; k < n; ++k) Replace(c, a, bad[k], *c.FindDrive(drives[k]));
  if (n > 0) Post(c, event_type::kArrayChanged, a.id);
  StartTask(c, v, Task{Task::Kind::Rebuild});
  return S::Success;
}

// The listed drives that are not yet members join the array; members in the list are accepted
// and change nothing, so a caller may name either the added drives or the whole new set.
DriverStatus RaidDriver::ChangeRaidLayout(Request& r, Controller& c, Volume& v) {
  std::uint16_t strip = Get16(r.buf, kValue);
  std::uint8_t level = r.buf[50];
  std::size_t n = Get16(r.buf, 51);
  if (r.size < 53 + 16 * n) return S::InvalidRequest;
  Array& a = *c.FindArray(v.arrayId);
  std::vector<vesk_guid> added;
  for (const auto& id : ReadIds(r.buf, 53, n))
    if (std::find(a.drives.begin(), a.drives.end(), id) == a.drives.end()) added.push_back(id);

  if (v.task) return S::VolumeBusy;
  if (v.state != volume_state::kNormal) return S::InvalidState;
  const RaidLevelCapability* target = c.Capability(level);
  const RaidLevelCapability* current = c.Capability(v.raidLevel);
  if (target == nullptr || current == nullptr) return S::InvalidParameter;
  if (strip == 0)
    strip = level == v.raidLevel ? v.stripSize : target->defaultStripSize;
  else if (!StripAllowed(*target, strip))
    return S::InvalidParameter;
  if (level == v.raidLevel && added.empty()) {
    if (strip == v.stripSize) return S::InvalidParameter;  // nothing would change
  } else {
    bool allowed = false;
    for (const auto& m : current->migrations)
      allowed = allowed || (m.targetLevel == level && added.size() >= m.minAdditionalDrives);
    if (!allowed) return S::NotSupported;
  }
  if (!added.empty() && c.VolumesOf(a.id).size() > 1) return S::NotSupported;
  if (auto s = CheckAvailable(c, added, 0); s != S::Success) return s;
  std::size_t m = a.drives.size() + added.size();
  if (!CountAllowed(*target, m)) return S::InvalidDriveCount;
  std::uint64_t smallest = SmallestMember(c, a);
  for (const auto& id : added) smallest = std::min(smallest, c.FindDrive(id)->Capacity());
  if (RawConsumption(level, v.size, m) > smallest * m) return S::InsufficientSpace;

  for (const auto& id : added) {
    a.drives.push_back(id);
    c.FindDrive(id)->spare = false;
  }
  if (!added.empty()) Post(c, event_type::kArrayChanged, a.id);
  Task task{Task::Kind::Migration};
  task.targetLevel = level;
  task.targetStripSize = strip;
  task.joiningDrives = added;
  StartTask(c, v, task);
  return S::Success;
}

// Every volume of the array spreads over the added drives; each migrates to the wider layout.
DriverStatus RaidDriver::AddDrivesToArray(Request& r) {
  if (r.size < 50) return S::InvalidRequest;
  std::size_t n = Get16(r.buf, kValue);
  if (r.size < 50 + 16 * n) return S::InvalidRequest;
  auto found = LocateArray(topology, GetGuid(r.buf, kTarget));
  if (!found.object) return S::ArrayNotFound;
  Controller& c = *found.controller;
  Array& a = *found.object;
  std::vector<vesk_guid> drives = ReadIds(r.buf, 50, n);
  if (n == 0) return S::InvalidDriveCount;
  auto volumes = c.VolumesOf(a.id);
  for (Volume* v : volumes) {
    if (v->task) return S::VolumeBusy;
    if (v->state != volume_state::kNormal) return S::InvalidState;
  }
  if (auto s = CheckAvailable(c, drives, 0); s != S::Success) return s;
  std::size_t m = a.drives.size() + n;
  for (Volume* v : volumes) {
    const RaidLevelCapability* cap = c.Capability(v->raidLevel);
    if (cap == nullptr || !CountAllowed(*cap, m)) return S::InvalidDriveCount;
  }
  for (const auto& id : drives) {
    a.drives.push_back(id);
    c.FindDrive(id)->spare = false;
  }
  Post(c, event_type::kArrayChanged, a.id);
  for (Volume* v : volumes) {
    Task task{Task::Kind::Migration};
    task.targetLevel = v->raidLevel;
    task.targetStripSize = v->stripSize;
    task.joiningDrives = drives;
    StartTask(c, *v, task);
  }
  return S::Success;
}

// ------------------------------------------------------------------------------------------------
// Drives
// ------------------------------------------------------------------------------------------------

DriverStatus RaidDriver::DriveCommand(Request& r) {
  bool withValue =
      r.function == function::kSetVolatileWriteCache || r.function == function::kActivateDriveLed;
  if (r.size < (withValue ? kTargetByteRecord : kTargetRecord)) return S::InvalidRequest;
  auto found = LocateDrive(topology, GetGuid(r.buf, kTarget));
  if (!found.object) return S::DriveNotFound;
  Controller& c = *found.controller;
  Drive& d = *found.object;
  std::uint8_t value = withValue ? r.buf[kValue] : 0;
  std::uint8_t usage = c.UsageOf(d);
  bool busyRole = usage == drive_usage::kArrayMember || usage == drive_usage::kJournaling;
  if (d.status == drive_status::kMissing)
    return r.function == function::kRemoveDrive ? S::InvalidState : S::DriveUnusable;

  switch (r.function) {
    case function::kMarkAsSpare:
      if (d.type == 0 || d.status != drive_status::kNormal) return S::DriveUnusable;
      if (busyRole) return S::DriveInUse;
      if (usage == drive_usage::kForeignMetadata) return S::DriveUnusable;
      d.spare = true;
      Post(c, event_type::kDriveChanged, d.id);
      TakeOver(c);  // an array may be waiting for one
      return S::Success;
    case function::kUnmarkSpare:
      if (!d.spare) return S::InvalidState;
      d.spare = false;
      break;
    case function::kClearDriveMetadata:
      if (d.type == 0) return S::NotSupported;
      if (busyRole) return S::DriveInUse;
      d.foreignMetadata = false;
      d.spare = false;
      break;
    case function::kMarkDriveAsNormal:
      if (d.status != drive_status::kFailed && d.status != drive_status::kOffline)
        return S::InvalidState;
      MarkStale(c, d.id);
      d.status = drive_status::kNormal;
      break;
    case function::kSetVolatileWriteCache:
      if (value & 0x7F) return S::InvalidParameter;
      if (d.type == 0) return S::NotSupported;
      d.writeCacheEnabled = (value & 0x80) != 0;
      break;
    case function::kResetSmartEvent:
      if (d.status != drive_status::kSmartEvent) return S::InvalidState;
      d.status = drive_status::kNormal;
      break;
    case function::kActivateDriveLed:
      if (!d.activateLedSupport) return S::NotSupported;
      if (r.layout == 0) {
        d.ledActive = true;  // the legacy form only switches the LED on
      } else {
        if (value > 1) return S::InvalidParameter;
        d.ledActive = value == 1;
      }
      break;
    case function::kRemoveDrive: {
      if (usage == drive_usage::kJournaling) return S::DriveInUse;
      if (usage == drive_usage::kArrayMember) {
        for (Volume* v : c.VolumesOf(c.ArrayOfDrive(d.id)->id))
          if (v->task && v->task->kind == Task::Kind::Migration) return S::VolumeBusy;
      }
      Detach(c, d);
      return S::Success;
    }
  }
  Post(c, event_type::kDriveChanged, d.id);
  return S::Success;
}

DriverStatus RaidDriver::SanitizeDrive(Request& r) {
  if (r.size < 73) return S::InvalidRequest;
  bool current = std::all_of(r.buf + 32, r.buf + 49, [](std::uint8_t b) { return b == 0; });
  vesk_guid id;
  std::uint32_t action = 0;
  if (current) {
    id = GetGuid(r.buf, 49);
    std::uint32_t word = Get32(r.buf, 65);
    if (word & 0xFFFFFC00u) return S::InvalidParameter;
    action = word & 0x07;
  } else {
    id = GetGuid(r.buf, 32);
    if (r.buf[48] & 0x1F) return S::InvalidParameter;
    action = r.buf[48] >> 5;
  }
  auto found = LocateDrive(topology, id);
  if (!found.object) return S::DriveNotFound;
  // Actions 1 to 3: cryptographic erase, block erase, overwrite.
  if (action == 0 || action > 3) return S::InvalidParameter;
  Drive& d = *found.object;
  if (d.type == 0) return S::NotSupported;
  std::uint8_t usage = found.controller->UsageOf(d);
  if (usage == drive_usage::kArrayMember || usage == drive_usage::kJournaling) return S::DriveInUse;
  if (d.status != drive_status::kNormal) return S::DriveUnusable;
  d.containsPartition = false;
  d.foreignMetadata = false;
  d.spare = false;
  Post(*found.controller, event_type::kDriveChanged, d.id);
  return S::Success;
}

// ------------------------------------------------------------------------------------------------
// Controllers and subscriptions
// ------------------------------------------------------------------------------------------------

DriverStatus RaidDriver::ControllerCommand(Request& r) {
  bool rate = r.function == function::kSetControllerRate;
  if (r.size < (rate ? 52 : kTargetByteRecord)) return S::InvalidRequest;
  Controller* c = topology.FindController(GetGuid(r.buf, kTarget));
  if (c == nullptr) return S::ControllerNotFound;
  if (rate) {
    std::uint32_t value = Get32(r.buf, kValue);
    if (value > 100) return S::InvalidParameter;  // percent of the full background-work rate
    c->rate = value;
    return S::Success;
  }
  std::uint8_t value = r.buf[kValue];
  if (value & 0x7F) return S::InvalidParameter;
  (r.function == function::kSetRohiPolicy ? c->rohiEnabled : c->readPatrolEnabled) =
      (value & 0x80) != 0;
  return S::Success;
}

DriverStatus RaidDriver::SubscriptionCommand(Request& r) {
  if (r.function == function::kCancelEventSubscription) {
    if (r.size < kTargetRecord) return S::InvalidRequest;
    return subscriptions.erase(GetGuid(r.buf, kTarget)) ? S::Success : S::SubscriptionNotFound;
  }
  if (r.size < 50) return S::InvalidRequest;
  std::size_t n = r.buf[49];
  if (r.size < 50 + n) return S::InvalidRequest;
  vesk_guid target = GetGuid(r.buf, kTarget);
  Controller* c = target.IsEmpty() ? r.device : topology.FindController(target);
  if (c == nullptr) return S::ControllerNotFound;
  Subscription s;
  s.controllerId = c->id;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint8_t type = r.buf[50 + i];
    if (type < event_type::kVolumeChanged || type > event_type::kWorkFinished)
      return S::InvalidParameter;
    s.types.push_back(type);
  }
  vesk_guid id = NewIdentifier(3);
  subscriptions[id] = s;
  std::fill(r.buf + kPayloadOffset, r.buf + kPayloadOffset + 16, 0);
  PutGuid(r.buf, kPayloadOffset, id);
  return S::Success;
}

}  // namespace vesk::sim
