#include "tools/veskctl/monitor/EventFeed.h"

#include <algorithm>
#include <chrono>
#include <ctime>

#include "tools/veskctl/base/Names.h"
#include "tools/veskctl/journal/Journal.h"
#include "tools/veskctl/session/Jobs.h"

namespace veskctl {

// The managed face decodes driver texts as ASCII (anything else is already '?').
std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (wchar_t c : text) narrow += static_cast<unsigned long>(c) < 128 ? static_cast<char>(c) : '?';
  return narrow;
}

namespace {

using namespace VESK_Managed;
using Properties = std::map<std::string, EventValue>;

EventValue Number(std::uint64_t n) { return {n, std::to_string(n)}; }
EventValue Bytes(std::uint64_t n) { return {n, HumanBytes(n)}; }
EventValue Flag(bool on) { return {on, on ? "yes" : "no"}; }
EventValue Text(const std::wstring& text) { return {Narrow(text), Narrow(text)}; }
EventValue Enumeration(std::uint64_t n, std::string name) { return {n, std::move(name), true}; }
EventValue Identifier(const Guid& id) {
  if (id.IsEmpty()) return {nullptr, "none"};
  return {Narrow(id.ToString()), Narrow(id.ToString())};
}
EventValue VersionValue(const System::Version& v) { return {v.ToString(), v.ToString()}; }
template <typename E>
std::uint8_t Raw(E value) {
  return static_cast<std::uint8_t>(value);
}

// Every property an object shows, under the names it raises. Names that only echo another change
// (PreviousState with State, RaidLevelNumeric with RaidLevel, CacheEnabled with CachePolicy, a
// drive's Size in blocks with its TotalSize in bytes) are left out, so that one change is one
// event, and every size is in bytes.
Properties Read(const Controller& c) {
  Properties p = {
      {"Name", Text(c.Name())},
      {"VendorId", Number(c.VendorId())},
      {"DeviceId", Number(c.DeviceId())},
      {"SubsystemId", Number(c.SubsystemId())},
      {"HardwareRevision", Number(c.HardwareRevision())},
      {"PreosDriverLoaded", Flag(c.PreosDriverLoaded())},
      {"OsDriverVersion", VersionValue(c.OsDriverVersion())},
      {"PreosDriverVersion", VersionValue(c.PreosDriverVersion())},
      {"MaxVolumesPerArray", Number(c.MaxVolumesPerArray())},
      {"MaxVolumesPerController", Number(c.MaxVolumesPerController())},
      {"MaxDrivesPerController", Number(c.MaxDrivesPerController())},
      {"ReadPatrolEnabled", Flag(c.ReadPatrolEnabled())},
      {"RohiEnabled", Flag(c.RohiEnabled())},
      {"Type", Enumeration(Raw(c.Type()), ControllerTypeName(Raw(c.Type())))},
  };
  if (auto* sata = dynamic_cast<const SataController*>(&c)) p["Mode"] = Number(Raw(sata->Mode()));
  return p;
}

Properties Read(const Array& a) {
  return {{"ControllerId", Identifier(a.ControllerId())},
          {"Name", Text(a.Name())},
          {"TotalSize", Bytes(a.TotalSize())},
          {"FreeSize", Bytes(a.FreeSize())},
          {"WriteCacheEnabled", Flag(a.WriteCacheEnabled())}};
}

Properties Read(const Volume& v) {
  const auto strip = static_cast<std::uint16_t>(v.StripSize());
  return {
      {"ArrayId", Identifier(v.ArrayId())},
      {"ControllerId", Identifier(v.ControllerId())},
      {"ArrayOrdinal", Number(v.ArrayOrdinal())},
      {"Name", Text(v.Name())},
      {"State", Enumeration(Raw(v.State()), VolumeStateName(Raw(v.State())))},
      {"RaidLevel", Enumeration(Raw(v.RaidLevel()), RaidLevelName(Raw(v.RaidLevel())))},
      {"Size", Bytes(v.Size())},
      {"StripSize", {StripBytes(strip), StripSizeText(strip)}},
      {"NumberOfDrives", Number(v.NumberOfDrives())},
      {"MigrationProgress", Number(v.MigrationProgress())},
      {"RwhPolicy", Enumeration(Raw(v.RwhPolicy()), RwhPolicyName(Raw(v.RwhPolicy())))},
      {"CachePolicy", Enumeration(Raw(v.CachePolicy()), CachePolicyName(Raw(v.CachePolicy())))},
      {"SystemVolume", Flag(v.SystemVolume())},
      {"Migrating", Flag(v.Migrating())},
      {"Initialized", Flag(v.Initialized())},
      {"VerifyErrors", Number(v.VerifyErrors())},
      {"VerifyBadBlocks", Number(v.VerifyBadBlocks())},
      {"LogicalBlockSize", Number(v.LogicalBlockSize())},
      {"JournalingDriveId", Identifier(v.JournalingDriveId())},
  };
}

std::string ScsiText(const Scsi* s) {
  if (s == nullptr) return "none";
  return std::to_string(s->Host()) + ":" + std::to_string(s->Bus()) + ":" +
         std::to_string(s->Target()) + ":" + std::to_string(s->Lun());
}

Properties Read(const Drive& d) {
  const std::string scsi = ScsiText(d.ScsiAddress().get());
  Properties p = {
      {"ArrayId", Identifier(d.ArrayId())},
      {"ControllerId", Identifier(d.ControllerId())},
      {"ScsiAddress", {scsi, scsi}},
      {"SerialNumber", Text(d.SerialNumber())},
      {"ServiceLabel", Text(d.ServiceLabel())},
      {"ModelNumber", Text(d.ModelNumber())},
      {"FirmwareRevision", Text(d.FirmwareRevision())},
      {"LogicalBlockSize", Number(d.LogicalBlockSize())},
      {"PhysicalBlockSize", Number(d.PhysicalBlockSize())},
      {"TotalSize", Bytes(d.TotalSize())},
      {"Status", Enumeration(Raw(d.Status()), DriveStatusName(Raw(d.Status())))},
      {"EncryptionAbility", Number(Raw(d.EncryptionAbility()))},
      {"EncryptionStatus", Number(Raw(d.EncryptionStatus()))},
      {"Usage", Enumeration(Raw(d.Usage()), DriveUsageName(Raw(d.Usage())))},
      {"ContainsPartition", Flag(d.ContainsPartition())},
      {"LedActive", Flag(d.LedActive())},
      {"WriteCacheEnabled", Flag(d.WriteCacheEnabled())},
      {"PreBootVisible", Flag(d.PreBootVisible())},
      {"ActivateLedSupport", Flag(d.ActivateLedSupport())},
      {"SystemDrive", Flag(d.SystemDrive())},
      {"VolumeLocation0", Number(d.VolumeLocation0())},
      {"VolumeLocation1", Number(d.VolumeLocation1())},
      {"Type", Enumeration(Raw(d.Type()), DriveTypeName(Raw(d.Type())))},
  };
  if (auto* sata = dynamic_cast<const SataDrive*>(&d)) {
    p["PortNumber"] = Number(sata->PortNumber());
    p["NegotiatedLinkRate"] = Number(Raw(sata->NegotiatedLinkRate()));
    p["NcqSupport"] = Flag(sata->NcqSupport());
    p["IsSsd"] = Flag(sata->IsSsd());
  } else if (auto* optical = dynamic_cast<const SataOpticalDrive*>(&d)) {
    p["PortNumber"] = Number(optical->PortNumber());
  } else if (auto* nvme = dynamic_cast<const DornDrive*>(&d)) {
    p["NegotiatedLinkRate"] = Number(Raw(nvme->NegotiatedLinkRate()));
    p["SbrAttached"] = Flag(nvme->SbrAttached());
    p["VendorId"] = Number(nvme->VendorId());
    p["NegotiatedLinkWidth"] = Number(nvme->NegotiatedLinkWidth());
    p["DualControllerOrder"] = Number(Raw(nvme->DualControllerOrder()));
    p["DualControllerNvme"] = Flag(nvme->DualControllerNvme());
    p["SocketNumber"] = Number(nvme->SocketNumber());
    p["DornControllerNumber"] = Number(nvme->DornControllerNumber());
    p["RootPortOffset"] = Number(nvme->RootPortOffset());
    p["PhysicalSlotNumber"] = Number(nvme->PhysicalSlotNumber());
  }
  return p;
}

Properties Read(const System::Object& object) {
  if (auto* c = dynamic_cast<const Controller*>(&object)) return Read(*c);
  if (auto* a = dynamic_cast<const Array*>(&object)) return Read(*a);
  if (auto* v = dynamic_cast<const Volume*>(&object)) return Read(*v);
  if (auto* d = dynamic_cast<const Drive*>(&object)) return Read(*d);
  return {};
}

std::string NameOf(const System::Object& object) {
  if (auto* c = dynamic_cast<const Controller*>(&object)) return Narrow(c->Name());
  if (auto* a = dynamic_cast<const Array*>(&object)) return Narrow(a->Name());
  if (auto* v = dynamic_cast<const Volume*>(&object)) return Narrow(v->Name());
  if (auto* d = dynamic_cast<const Drive*>(&object)) return Narrow(d->SerialNumber());
  return "";
}

std::string IdOf(const System::Object& object) {
  if (auto* c = dynamic_cast<const Controller*>(&object)) return Narrow(c->Id().ToString());
  if (auto* a = dynamic_cast<const Array*>(&object)) return Narrow(a->Id().ToString());
  if (auto* v = dynamic_cast<const Volume*>(&object)) return Narrow(v->Id().ToString());
  if (auto* d = dynamic_cast<const Drive*>(&object)) return Narrow(d->Id().ToString());
  return "";
}

bool Working(const std::optional<EventValue>& state) {
  if (!state) return false;
  const auto s = state->value.get<std::uint64_t>();
  return s >= state::kInitializing && s <= state::kMigrating;
}

bool Impaired(const EventValue& state) {
  const auto s = state.value.get<std::uint64_t>();
  return s == state::kDegraded || s == state::kFailed;
}

}  // namespace

EventFeed::EventFeed(StorageManagementBase& facade) {
  WatchCollection(facade.Controllers(), "controller");
  WatchCollection(facade.Arrays(), "array");
  WatchCollection(facade.Volumes(), "volume");
  WatchCollection(facade.Drives(), "drive");
}

EventFeed::~EventFeed() {
  for (auto& stop : collectionSubscriptions) stop();
  for (auto& [object, w] : watched) Forget(w);
}

template <typename Dictionary>
void EventFeed::WatchCollection(Dictionary& dictionary, const char* kind) {
  for (auto& [key, object] : dictionary.Snapshot()) Add(object, kind, mode == Mode::Present);
  const auto token = dictionary.CollectionChanged.Subscribe([this, kind](auto&, auto& e) {
    using Action = Components::NotifyCollectionChangedAction;
    if (e.Action != Action::Add) Remove(e.OldValue->get());
    if (e.Action != Action::Remove) Add(*e.NewValue, kind, false);
  });
  collectionSubscriptions.push_back(
      [&dictionary, token] { dictionary.CollectionChanged.Unsubscribe(token); });
}

void EventFeed::SetMode(Mode newMode) {
  std::lock_guard hold(lock);
  mode = newMode;
}

std::vector<MonitorEvent> EventFeed::Take(nlohmann::json* known) {
  std::lock_guard hold(lock);
  if (known && !queued.empty()) *known = KnownLocked();
  return std::exchange(queued, {});
}

std::vector<const EventFeed::Watched*> EventFeed::InOrder() const {
  std::vector<const Watched*> all;
  for (const auto& [object, w] : watched) all.push_back(&w);
  std::sort(all.begin(), all.end(),
            [](const Watched* a, const Watched* b) { return a->order < b->order; });
  return all;
}

// A value as the last-known state keeps it: [value, name], and 1 after them for an enumeration.
static nlohmann::json KnownValue(const EventValue& v) {
  auto saved = nlohmann::json::array({v.value, v.name});
  if (v.enumeration) saved.push_back(1);
  return saved;
}

static std::optional<EventValue> ValueOf(const nlohmann::json& saved) {
  if (!saved.is_array() || saved.size() < 2 || !saved[1].is_string()) return std::nullopt;
  return EventValue{saved[0], saved[1].get<std::string>(), saved.size() > 2};
}

nlohmann::json EventFeed::Known() const {
  std::lock_guard hold(lock);
  return KnownLocked();
}

nlohmann::json EventFeed::KnownLocked() const {
  auto elements = nlohmann::json::array();
  for (const Watched* w : InOrder()) {
    auto values = nlohmann::json::object();
    for (const auto& [property, value] : w->values) values[property] = KnownValue(value);
    elements.push_back({{"kind", w->kind}, {"id", w->id}, {"name", w->name}, {"values", values}});
  }
  return {{"elements", std::move(elements)},
          {"impaired", std::vector<std::string>(impairedVolumes.begin(), impairedVolumes.end())}};
}

void EventFeed::Present() {
  std::lock_guard hold(lock);
  for (const Watched* w : InOrder()) Appeared(*w, true);
}

void EventFeed::Since(const nlohmann::json& known) {
  std::lock_guard hold(lock);
  // What was known of each element, by kind and identifier; anything unreadable is as unknown.
  std::map<std::pair<std::string, std::string>, Watched> before;
  std::vector<std::pair<std::string, std::string>> knownOrder;
  if (const auto elements = known.find("elements");
      elements != known.end() && elements->is_array()) {
    for (const auto& e : *elements) {
      if (!e.is_object()) continue;
      Watched w;
      w.kind = RecordField(e, "kind");
      w.id = RecordField(e, "id");
      w.name = RecordField(e, "name");
      if (const auto values = e.find("values"); values != e.end() && values->is_object())
        for (const auto& [property, saved] : values->items())
          if (auto value = ValueOf(saved)) w.values[property] = *value;
      const auto key = std::make_pair(w.kind, w.id);
      if (before.emplace(key, std::move(w)).second) knownOrder.push_back(key);
    }
  }
  impairedVolumes.clear();
  if (const auto impaired = known.find("impaired"); impaired != known.end() && impaired->is_array())
    for (const auto& id : *impaired)
      if (id.is_string()) impairedVolumes.insert(id.get<std::string>());
  std::set<std::pair<std::string, std::string>> now;
  for (const Watched* w : InOrder()) now.insert({w->kind, w->id});
  for (const auto& key : knownOrder)
    if (!now.contains(key)) Gone(before[key]);
  for (const Watched* w : InOrder()) {
    auto was = before.find({w->kind, w->id});
    if (was == before.end()) {
      Appeared(*w, false);
      continue;
    }
    for (const auto& [property, value] : w->values) {
      auto old = was->second.values.find(property);
      if (old != was->second.values.end() && old->second == value) continue;
      MonitorEvent e = About(*w, "changed");
      e.property = property;
      // A property the known state did not hold (another veskctl's) has no old value to tell.
      if (old != was->second.values.end()) e.oldValue = old->second;
      e.newValue = value;
      // As when it is seen happen, a new name is told under the old one.
      if (property == "Name" || property == "SerialNumber") e.elementName = was->second.name;
      queued.push_back(e);
      Derive(*w, property, e.oldValue, value);
    }
  }
  // A volume no longer there is no longer impaired.
  std::erase_if(impairedVolumes, [&](const std::string& id) {
    return !now.contains({"volume", id});
  });
}

MonitorEvent EventFeed::About(const Watched& w, const std::string& kind) const {
  MonitorEvent e;
  e.time = EventTime();
  e.kind = kind;
  e.elementKind = w.kind;
  e.elementId = w.id;
  e.elementName = w.name;
  return e;
}

void EventFeed::Add(const std::shared_ptr<Observable>& object, const std::string& kind,
                    bool present) {
  std::lock_guard hold(lock);
  if (watched.contains(object.get())) return;
  Watched& w = watched[object.get()];
  w.object = object;
  w.kind = kind;
  w.id = IdOf(*object);
  w.name = NameOf(*object);
  w.values = Read(*object);
  w.order = ++added;
  // A volume found degraded, failed or rebuilding: its return to normal is an event.
  if (kind == "volume" &&
      (Impaired(w.values["State"]) || w.values["State"].value == std::uint64_t{state::kRebuilding}))
    impairedVolumes.insert(w.id);
  const Observable* key = object.get();
  w.token = object->PropertyChanged.Subscribe(
      [this, key](const System::Object&, const auto& e) { Changed(key, e.PropertyName); });
  if (auto* drive = dynamic_cast<const Drive*>(object.get()); drive && drive->ScsiAddress()) {
    w.scsi = drive->ScsiAddress();
    w.scsiToken =
        w.scsi->PropertyChanged.Subscribe([this, key](const System::Object&, const auto& e) {
          if (e.PropertyName == "ScsiAddress") Changed(key, e.PropertyName);
        });
  }
  if (mode == Mode::Quiet) return;
  Appeared(w, present || mode == Mode::Present);
}

void EventFeed::Appeared(const Watched& w, bool present) {
  // A new element shows its health: the state of a volume, the status of a drive.
  const char* health = w.kind == "volume" ? "State" : w.kind == "drive" ? "Status" : nullptr;
  MonitorEvent e = About(w, present ? "present" : "added");
  if (health) {
    e.property = health;
    e.newValue = w.values.at(health);
  }
  queued.push_back(e);
  if (present) return;
  if (w.kind == "controller") queued.push_back(About(w, "controller-arrived"));
  // A new element had no state before: what it comes in (degraded, initializing, failed) is
  // derived from nothing, never from a normal state it was not in.
  if (health) Derive(w, health, std::nullopt, w.values.at(health));
}

void EventFeed::Remove(const Observable* object) {
  std::lock_guard hold(lock);
  auto at = watched.find(object);
  if (at == watched.end()) return;
  Watched& w = at->second;
  if (mode != Mode::Quiet) Gone(w);
  impairedVolumes.erase(w.id);
  Forget(w);
  watched.erase(at);
}

void EventFeed::Gone(const Watched& w) {
  queued.push_back(About(w, "removed"));
  if (w.kind == "controller") queued.push_back(About(w, "controller-removed"));
  auto state = w.values.find("State");
  if (w.kind == "volume" && state != w.values.end() && Working(state->second)) {
    MonitorEvent e = About(w, "job-failed");
    e.detail = WorkKind(state->second.value.get<std::uint8_t>()) + ": the volume is gone";
    queued.push_back(e);
  }
}

void EventFeed::Forget(Watched& w) {
  w.object->PropertyChanged.Unsubscribe(w.token);
  if (w.scsi) w.scsi->PropertyChanged.Unsubscribe(w.scsiToken);
}

void EventFeed::Changed(const Observable* object, const std::string& property) {
  std::lock_guard hold(lock);
  auto at = watched.find(object);
  if (at == watched.end()) return;
  Watched& w = at->second;
  Properties now = Read(*w.object);
  auto fresh = now.find(property);
  if (fresh == now.end()) return;  // an echo of another change
  const EventValue old = w.values[property];
  w.values = std::move(now);
  const EventValue& value = w.values[property];
  if (old == value) return;
  if (mode != Mode::Quiet) {
    MonitorEvent e = About(w, "changed");
    e.property = property;
    e.oldValue = old;
    e.newValue = value;
    queued.push_back(e);
    Derive(w, property, old, value);
  }
  if (property == "Name" || property == "SerialNumber") w.name = NameOf(*w.object);
}

void EventFeed::Derive(const Watched& w, const std::string& property,
                       const std::optional<EventValue>& oldValue, const EventValue& newValue) {
  auto derived = [&](const char* kind, std::string detail = "") {
    MonitorEvent e = About(w, kind);
    e.property = property;
    e.oldValue = oldValue;
    e.newValue = newValue;
    e.detail = std::move(detail);
    queued.push_back(e);
  };
  if (w.kind == "volume" && property == "State") {
    const auto to = newValue.value.get<std::uint8_t>();
    // Only a value that differs gets here (an element added has none before).
    if (Working(oldValue))
      derived(Impaired(newValue) ? "job-failed" : "job-finished",
              WorkKind(oldValue->value.get<std::uint8_t>()));
    if (Working(newValue)) derived("job-started", WorkKind(to));
    if (to == state::kDegraded) derived("volume-degraded");
    // A rebuild that starts by itself (a spare took a lost member's place) means the volume lost
    // its redundancy as surely as a degraded one; it has it back when the rebuild ends.
    if (to == state::kRebuilding && impairedVolumes.count(w.id) == 0) {
      derived("volume-degraded", "rebuilding: not redundant until the rebuild ends");
      impairedVolumes.insert(w.id);
    }
    if (to == state::kFailed) derived("volume-failed");
    if (to == state::kNormal && impairedVolumes.erase(w.id) > 0) derived("volume-normal");
    if (Impaired(newValue)) impairedVolumes.insert(w.id);
  }
  if (w.kind == "drive" && property == "Status") {
    const auto to = newValue.value.get<std::uint8_t>();
    if (to == drive_status::kFailed) derived("drive-failed");
    if (to == drive_status::kMissing) derived("drive-missing");
    if (to == drive_status::kSmartEvent) derived("drive-smart");
  }
  if (w.kind == "drive" && property == "Usage" && oldValue && oldValue->value == usage::kSpare &&
      newValue.value == usage::kMember)
    derived("spare-taken");
}

}  // namespace veskctl
