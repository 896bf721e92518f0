#include "tools/veskctl/Session.h"

#include <algorithm>
#include <cctype>
#include <chrono>

#include "device/DeviceHandle.h"
#include "simulator/Topology.h"

namespace veskctl {

namespace {

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string FixedText(const char* field, std::size_t width) {
  std::string text(field, width);
  text.erase(std::find(text.begin(), text.end(), '\0'), text.end());
  return text;
}

// Finds one record of `map` by identifier prefix or by exact name.
template <typename Map, typename NameOf>
const typename Map::mapped_type Find(const Map& map, const std::string& text, const char* kind,
                                     NameOf nameOf) {
  const std::string wanted = Lower(text);
  std::vector<typename Map::mapped_type> byPrefix, byName;
  for (const auto& [id, record] : map) {
    if (!wanted.empty() && id.ToString().rfind(wanted, 0) == 0) byPrefix.push_back(record);
    if (nameOf(*record) == text) byName.push_back(record);
  }
  if (byPrefix.size() == 1) return byPrefix.front();
  if (byPrefix.size() > 1) {
    throw UsageError(std::string("the ") + kind + " identifier prefix '" + text +
                     "' is not unique; give more of the identifier");
  }
  if (byName.size() == 1) return byName.front();
  if (byName.size() > 1) {
    throw UsageError(std::string("more than one ") + kind + " is named '" + text +
                     "'; use its identifier");
  }
  throw UsageError(std::string("no ") + kind + " '" + text + "' (see 'veskctl show')");
}

}  // namespace

Session::Session(const std::filesystem::path& statePath, bool loadState) : state(statePath) {
  auto saved = loadState ? state.Load() : std::nullopt;
  if (saved) {
    Start(saved->get<std::string>());
    // Background work goes on while nobody looks: move the clock by the time since the save.
    const long long elapsed = NowMs() - state.SavedAtMs();
    if (state.SavedAtMs() > 0 && elapsed > 0)
      driver->AdvanceClock(static_cast<std::uint64_t>(elapsed));
  } else {
    Start(EmbeddedDemoTopology());
  }
}

Session::~Session() { Stop(); }

void Session::Start(const std::string& topologyJson) {
  driver = std::make_shared<vesk::sim::RaidDriver>(vesk::sim::LoadTopology(topologyJson));
  driver->UseRealTime(true);
  machine = std::make_unique<vesk::sim::Machine>();
  vesk::sim::AddControllerDevices(*machine, driver);
  storage = std::make_unique<Vesk::StorageManagement>();
}

void Session::Stop() {
  // The facade holds the device handles; it goes before the machine that serves them.
  storage.reset();
  machine.reset();
  driver.reset();
}

void Session::Reset(const std::string& topologyJson) {
  Stop();
  Start(topologyJson.empty() ? std::string(EmbeddedDemoTopology()) : topologyJson);
}

void Session::Refresh() {
  auto& storageRef = *storage;
  Vesk::ClearMap(storageRef.GetArrays(), storageRef.GetVolumes(), storageRef.GetDrives());
  Vesk::ClearMap(storageRef.GetControllers().GetControllersById());
  storageRef.GetControllers().clear();
  storageRef.SetControllers();
  for (const auto& [id, controller] : storageRef.GetControllers().GetControllersById()) {
    storageRef.SetArrays(*controller, storageRef.GetArrays());
    storageRef.SetVolumes(*controller, storageRef.GetVolumes());
    storageRef.SetDrives(*controller, storageRef.GetDrives());
  }
}

const Vesk::Controller& Session::FindController(const std::string& text) const {
  return *Find(storage->GetControllers().GetControllersById(), text, "controller",
               [](const Vesk::Controller& c) { return FixedText(c.name, sizeof c.name); });
}

const Vesk::Array& Session::FindArray(const std::string& text) const {
  return *Find(storage->GetArrays(), text, "array",
               [](const Vesk::Array& a) { return FixedText(a.name, sizeof a.name); });
}

const Vesk::Volume& Session::FindVolume(const std::string& text) const {
  return *Find(storage->GetVolumes(), text, "volume",
               [](const Vesk::Volume& v) { return FixedText(v.name, sizeof v.name); });
}

const Vesk::Drive& Session::FindDrive(const std::string& text) const {
  return *Find(storage->GetDrives(), text, "drive", [](const Vesk::Drive& d) {
    return FixedText(d.serialNumber, sizeof d.serialNumber);
  });
}

std::vector<Vesk::vesk_guid> Session::FindDrives(const std::vector<std::string>& texts) const {
  std::vector<Vesk::vesk_guid> ids;
  for (const auto& text : texts) ids.push_back(FindDrive(text).id);
  return ids;
}

const Vesk::Controller& Session::ControllerById(const Vesk::vesk_guid& id) const {
  const auto& controllers = storage->GetControllers().GetControllersById();
  auto found = controllers.find(id);
  if (found == controllers.end()) {
    throw UsageError("the controller " + id.ToString() + " of this element is not present");
  }
  return *found->second;
}

std::vector<const Vesk::Controller*> Session::ControllersInOrder() const {
  std::vector<const Vesk::Controller*> ordered;
  for (const auto& [id, controller] : storage->GetControllers().GetControllersById()) {
    ordered.push_back(controller);
  }
  std::stable_sort(ordered.begin(), ordered.end(), [](const auto* a, const auto* b) {
    return a->GetDeviceHandle()->device->id < b->GetDeviceHandle()->device->id;
  });
  return ordered;
}

void Session::Save() { state.Save(driver->Save()); }

}  // namespace veskctl
