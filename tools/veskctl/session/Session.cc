#include "tools/veskctl/session/Session.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "simulator/Topology.h"
#include "tools/veskctl/journal/Audit.h"

namespace veskctl {

namespace {

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool ClockFollowsRealTime() {
  const char* mode = std::getenv("VESK_SIM_CLOCK");
  if (mode == nullptr || *mode == '\0' || std::string(mode) == "real") return true;
  if (std::string(mode) == "manual") return false;
  throw UsageError(std::string("VESK_SIM_CLOCK is 'real' or 'manual', not '") + mode + "'");
}

std::shared_ptr<vesk::sim::RaidDriver> SavedDriver(const StateFile& state,
                                                   const std::optional<nlohmann::json>& saved,
                                                   bool realTime) {
  if (!saved) {
    return std::make_shared<vesk::sim::RaidDriver>(vesk::sim::LoadTopology(EmbeddedDemoTopology()));
  }
  std::shared_ptr<vesk::sim::RaidDriver> driver;
  try {
    driver =
        std::make_shared<vesk::sim::RaidDriver>(vesk::sim::LoadTopology(saved->get<std::string>()));
  } catch (const std::runtime_error& e) {
    throw state.Unusable(std::string("holds a machine this veskctl cannot load (") + e.what() +
                         ")");
  }
  const long long elapsed = NowMs() - state.SavedAtMs();
  if (realTime && state.SavedAtMs() > 0 && elapsed > 0)
    driver->AdvanceClock(static_cast<std::uint64_t>(elapsed));
  return driver;
}

Session::Session(const std::filesystem::path& statePath, const StateFile::Options& options,
                 SavedMachine how)
    : state(std::make_unique<StateFile>(statePath, options)), realTime(ClockFollowsRealTime()) {
  Load(how);
}

void Session::Load(SavedMachine how) {
  std::optional<nlohmann::json> saved;
  std::shared_ptr<vesk::sim::RaidDriver> loaded;
  try {
    saved = state->Load();
    loaded = SavedDriver(*state, saved, realTime);
  } catch (const StateFileError& e) {
    if (how != SavedMachine::StartingOver) throw;
    const auto* unusable = dynamic_cast<const StateFileUnusable*>(&e);
    unknownMachine = unusable ? unusable->reason : e.what();
    saved.reset();
    loaded = std::make_shared<vesk::sim::RaidDriver>(vesk::sim::Topology{});
  }
  Start(std::move(loaded));
  jobs = saved ? JobBook(state->SavedJobs()) : JobBook();
}

Session::Session(RealDriver) : storage(std::make_unique<Vesk::StorageManagement>()) {}

Session::Session(std::shared_ptr<vesk::sim::RaidDriver> model) : realTime(false) {
  Start(std::move(model));
}

Session::~Session() { Stop(); }

void Session::Start(std::shared_ptr<vesk::sim::RaidDriver> loaded) {
  driver = std::move(loaded);
  driver->UseRealTime(realTime);
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

void Session::Suspend() {
  if (!driver) return;
  storage.reset();
  machine.reset();
}

void Session::Resume() {
  if (!driver || machine) return;
  Start(driver);
  Refresh();
}

vesk::sim::RaidDriver& Session::Driver() {
  if (!driver) throw UsageError("this command is for the simulated machine only (--simulate)");
  return *driver;
}

std::uint64_t Session::ClockMs() const {
  if (driver) return driver->ClockMs();
  return static_cast<std::uint64_t>(NowMs());
}

void Session::Pass(std::uint64_t ms) {
  if (driver) {
    driver->AdvanceClock(ms);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
}

void Session::LetGo() {
  if (driver && !state) throw std::logic_error("a private session is never let go");
  Save();
  Stop();
  if (state) state->Unlock();
}

void Session::TakeBack(std::uint64_t ms) {
  if (state) {
    state->Lock();
    Load(SavedMachine::Load);
    Pass(ms);
  } else {
    Pass(ms);
    storage = std::make_unique<Vesk::StorageManagement>();
  }
  Refresh();
}

void Session::Reset(const std::string& topologyJson) {
  Driver();  // only the simulated machine starts over
  Stop();
  jobs.Clear();
  roster.Clear();
  Start(std::make_shared<vesk::sim::RaidDriver>(vesk::sim::LoadTopology(
      topologyJson.empty() ? std::string(EmbeddedDemoTopology()) : topologyJson)));
  startedOver = true;
  unknownMachine.reset();
}

void Session::Refresh() {
  const auto start = std::chrono::steady_clock::now();
  auto& storageRef = *storage;
  Vesk::ClearMap(storageRef.GetArrays(), storageRef.GetVolumes(), storageRef.GetDrives());
  Vesk::ClearMap(storageRef.GetControllers().GetControllersById());
  storageRef.GetControllers().clear();
  storageRef.SetControllers();
  if (!driver && storageRef.GetControllers().GetControllersById().empty()) {
    throw std::runtime_error(kNoRaidController);
  }
  for (const auto& [id, controller] : storageRef.GetControllers().GetControllersById()) {
    storageRef.SetArrays(*controller, storageRef.GetArrays());
    storageRef.SetVolumes(*controller, storageRef.GetVolumes());
    storageRef.SetDrives(*controller, storageRef.GetDrives());
  }
  refreshSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
    return a->DeviceNumber() < b->DeviceNumber();
  });
  return ordered;
}

void Session::JournalTo(std::optional<Journal> to) {
  journal = std::move(to);
  if (journal) roster = Roster::Read(journal->Path());
  if (driver || !journal) return;
  try {
    jobs.LearnVerified(JobHistory(*journal));
    jobs.LearnLosses(journal->After(0).records);
  } catch (const StateFileError&) {
    // Nothing learnt: the counts read as not known to be repaired.
  }
}

void Session::Save() {
  // Before the state file stops showing the work as running: a run that dies in between leaves
  // the end for the next run to find and journal again, so no end is lost. One that cannot be
  // journaled does not hold the command's own change back.
  std::vector<nlohmann::json> ended;
  for (const Job& job : jobs.TakeEnded()) ended.push_back(JobRecord(job));
  for (auto& loss : jobs.TakeNewLosses()) ended.push_back(std::move(loss));
  if (journal && !ended.empty()) {
    try {
      journal->Append(std::move(ended));
    } catch (const StateFileError& e) {
      std::cerr << "veskctl: the end of background work was not journaled: " << e.what() << "\n";
    }
  }
  if (driver && state) state->Save(driver->Save(), jobs.Save());
  try {
    SaveRoster();
  } catch (const StateFileError& e) {
    std::cerr << "veskctl: the roster was not written: " << e.what() << "\n";
  }
}

void Session::SaveRoster() {
  if (!journal) return;
  roster.Observe(*storage);
  roster.Write(journal->Path());
}

}  // namespace veskctl
