#include "tools/veskctl/Monitor.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <iostream>
#include <thread>

#include "platform/win32.h"
#include "simulator/Topology.h"
#include "tools/veskctl/Program.h"
#include "tools/veskctl/Session.h"
#include "tools/veskctl/StateFile.h"
#include "tools/veskctl/Validate.h"

namespace veskctl {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kSnapshotFormatVersion = 1;

// Ctrl+C (SIGINT) or a request to close (SIGTERM) ends the monitor: the handler, which runs on
// a thread of its own, only sets an event that every wait of the monitor also waits for.
HANDLE stopEvent = nullptr;
std::atomic<bool> stopRequested{false};

BOOL OnStop(DWORD) {
  stopRequested = true;
  SetEvent(stopEvent);
  return TRUE;
}

void CatchStopSignals() {
  if (stopEvent == nullptr) stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (stopEvent == nullptr || !SetConsoleCtrlHandler(OnStop, TRUE))
    throw std::runtime_error("cannot catch Ctrl+C (error " + std::to_string(GetLastError()) + ")");
  IgnoreBrokenPipes();
}

// Waits up to `milliseconds` for a stop; true when one came.
bool Stopped(long long milliseconds) {
  return stopRequested ||
         WaitForSingleObject(stopEvent, static_cast<DWORD>(milliseconds)) == WAIT_OBJECT_0;
}

// Sleeps up to `seconds`; false when a stop came meanwhile.
bool SleepUnlessStopped(double seconds) {
  const auto until = Clock::now() + std::chrono::duration<double>(seconds);
  while (!stopRequested) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return true;
    Stopped(std::min<long long>(left, 1000));
  }
  return false;
}

// The topology a snapshot holds; nothing when there is none or it cannot be used (said on stderr:
// the snapshot only saves reporting again what was reported before).
std::optional<vesk::sim::Topology> ReadSnapshot(const fs::path& path) {
  std::optional<std::string> text;
  std::string why;
  try {
    // As the state file is read: another `--once` may replace the snapshot meanwhile.
    text = ReadFileShared(path, "the monitor snapshot");
    if (!text) return std::nullopt;
    const auto document = nlohmann::json::parse(*text);
    if (document.value("format", "") == "veskctl-monitor-snapshot" &&
        document.value("formatVersion", 0) == kSnapshotFormatVersion &&
        document.contains("machine") && document["machine"].is_string())
      return vesk::sim::LoadTopology(document["machine"].get<std::string>());
    why = "is not a snapshot of this veskctl";
  } catch (const nlohmann::json::exception&) {
    why = "is not valid JSON";
  } catch (const StateFileError& e) {
    std::cerr << "veskctl: " << e.what() << "; reporting the machine as it is now\n";
    return std::nullopt;
  } catch (const std::runtime_error& e) {
    why = std::string("holds a machine this veskctl cannot load (") + e.what() + ")";
  }
  std::cerr << "veskctl: the monitor snapshot " << path.string() << " " << why
            << "; reporting the machine as it is now\n";
  return std::nullopt;
}

void WriteSnapshot(const fs::path& path, const vesk::sim::Topology& topology) {
  const nlohmann::json document = {{"format", "veskctl-monitor-snapshot"},
                                   {"formatVersion", kSnapshotFormatVersion},
                                   {"machine", vesk::sim::SaveTopology(topology)}};
  WriteFileAtomically(path, document.dump(2) + "\n", "the monitor snapshot");
}

// A controller's device stays while the same controller, with the same driver, sits behind its PDO
// name; another driver version or type comes with a new device, as a driver update on Windows
// reloads the device.
std::string ControllerKey(const vesk::sim::Controller& c) {
  const std::wstring& service = c.service;
  return c.id.ToString() + "/" + std::to_string(c.type) + "/" + std::to_string(c.specMajor) + "/" +
         std::to_string(c.vendorId) + ":" + std::to_string(c.deviceId) + "/" +
         std::string(service.begin(), service.end());
}

MonitorEvent Failure(const char* kind, const std::string& what) {
  MonitorEvent e;
  e.time = EventTime();
  e.kind = kind;
  e.detail = what;
  return e;
}

struct NoController : std::runtime_error {
  NoController() : std::runtime_error(kNoRaidController) {}
};

// The monitor's loop: ticks, reports, programs.
class Monitor {
 public:
  explicit Monitor(const MonitorOptions& options)
      : options(options), realTime(ClockFollowsRealTime()) {}

  int Once() {
    // Against the driver there is no state file to keep a snapshot beside: every look starts
    // from nothing and reports the machine as present.
    const fs::path snapshot = options.simulate ? SnapshotPath(options.statePath) : fs::path();
    auto before = options.simulate ? ReadSnapshot(snapshot) : std::nullopt;
    Watcher watcher(before ? EventFeed::Mode::Quiet : EventFeed::Mode::Present, options.simulate);
    std::optional<vesk::sim::Topology> now;
    const std::string failure = Tick(watcher, std::move(before), options.lockTimeoutSeconds, now);
    if (!failure.empty()) return 1;
    if (options.simulate && !options.dryRun) WriteSnapshot(snapshot, *now);
    return 0;
  }

  int Follow() {
    Watcher watcher(EventFeed::Mode::Present, options.simulate);
    bool started = false;
    do {
      std::optional<vesk::sim::Topology> now;
      // A run that holds the lock is waited for a little only: the monitor looks again next tick.
      const std::string failure =
          Tick(watcher, std::nullopt, std::min(options.intervalSeconds, 0.25), now);
      if (failure.empty() && (now || !options.simulate) && !started) {
        watcher.Feed().SetMode(EventFeed::Mode::Live);
        started = true;
      }
      if (output.fail()) break;  // nobody reads the events any more
    } while (SleepUnlessStopped(options.intervalSeconds));
    return 0;
  }

 private:
  // One refresh and its report. `earlier`, when given, is loaded quietly first (the snapshot of
  // `--once`). `now` is what the state file held (nothing when the lock was not had). Returns
  // what went wrong, empty when nothing did.
  std::string Tick(Watcher& watcher, std::optional<vesk::sim::Topology> earlier, double lockTimeout,
                   std::optional<vesk::sim::Topology>& now) {
    std::string failure;
    bool skipped = false;
    const auto start = Clock::now();
    try {
      if (earlier) {
        watcher.Load(std::move(*earlier));
        watcher.Refresh();
        watcher.Feed().Take();
        watcher.Feed().SetMode(EventFeed::Mode::Live);
      }
      if (options.simulate) {
        now = ReadSavedMachine(options.statePath, options.pathGiven, lockTimeout, realTime);
        watcher.Load(*now);
      }
      watcher.Refresh();
      // A machine without the driver's controllers is a mistake to say at once, not a quiet
      // monitor; once it has had controllers, losing them is an event like any other.
      if (!options.simulate && !sawControllers && !watcher.KnowsControllers()) throw NoController();
      sawControllers = true;
    } catch (const NoController&) {
      throw;
    } catch (const StateFileBusy& e) {
      // Another run holds the lock: a monitor that follows looks again next time.
      if (options.once) failure = e.what();
      skipped = !options.once;
    } catch (const std::exception& e) {
      failure = e.what();
    }
    auto events = watcher.Feed().Take();
    // A refresh after a controller arrived or left runs on the notification thread, which can
    // only say on the debugger output that it failed.
    // (On Windows the debugger output belongs to the debugger.)
    if (auto* machine = watcher.SimulatedMachine()) {
      for (const auto& line : machine->TakeDebugOutput()) {
        if (line.find(L"refresh after a device notification failed") == std::wstring::npos)
          continue;
        std::string text = Narrow(line);
        std::erase(text, '\n');
        events.push_back(Failure("refresh-failed", text));
      }
    }
    if (!skipped)
      if (auto alert = alerts.Look(failure, Clock::now())) events.push_back(std::move(*alert));
    if (options.observer && !skipped)
      options.observer->Refreshed(watcher.Facade(), Clock::now() - start, failure);
    for (const auto& event : events) Report(event, true);
    return failure;
  }

  void Report(const MonitorEvent& event, bool runProgram) {
    const std::string record =
        EventJson(event).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    output << (options.json ? record : EventText(event)) << "\n" << std::flush;
    if (options.observer) options.observer->Reported(event);
    if (!runProgram || options.program.empty() || stopRequested) return;
    if (auto failed =
            RunProgram(options.program, {event.kind, EventElement(event), EventDetail(event)},
                       record + "\n", options.programTimeoutSeconds, Stopped))
      Report(Failure("program-failed", *failed), false);
  }

  const MonitorOptions& options;
  const bool realTime;
  FailureAlerts alerts{std::chrono::duration<double>(options.failureReminderSeconds)};
  bool sawControllers = false;
  std::ostream& output = std::cout;
};

}  // namespace

std::optional<MonitorEvent> FailureAlerts::Look(const std::string& failure, Clock::time_point now) {
  const std::string before = std::exchange(lasting, failure);
  if (failure.empty()) {
    if (before.empty()) return std::nullopt;
    return Failure("refresh-recovered", before);
  }
  if (failure == before && now - reported < reminder) return std::nullopt;
  reported = now;
  return Failure("refresh-failed", failure);
}

fs::path SnapshotPath(const fs::path& statePath) { return statePath.string() + ".monitor"; }

vesk::sim::Topology ReadSavedMachine(const fs::path& statePath, bool pathGiven,
                                     double lockTimeoutSeconds, bool realTime,
                                     std::chrono::duration<double>* lockHeld) {
  StateFile state(statePath, StateFile::Options{false, pathGiven, lockTimeoutSeconds});
  const auto locked = Clock::now();
  const auto text = state.Read();
  state.Unlock();
  if (lockHeld) *lockHeld = Clock::now() - locked;
  return SavedDriver(state, state.Parse(text), realTime)->Snapshot();
}

Watcher::Watcher(EventFeed::Mode mode, bool simulate)
    : driver(simulate ? std::make_shared<vesk::sim::RaidDriver>(vesk::sim::Topology{}) : nullptr),
      machine(simulate ? std::make_unique<vesk::sim::Machine>() : nullptr),
      facade(std::make_unique<VESK_Managed::StorageManagementBase>()),
      feed(std::make_unique<EventFeed>(*facade)) {
  feed->SetMode(mode);
}

Watcher::~Watcher() {
  // The facade stops notifying first: its disposal waits for a refresh after hot-plug that may
  // still be raising events into the feed. The feed then lets go of the facade's objects (its
  // collections outlive the disposal), and the facade goes before the machine that serves its
  // device handles.
  facade->Dispose();
  feed.reset();
  facade.reset();
  machine.reset();
}

void Watcher::Load(vesk::sim::Topology topology) {
  struct Wanted {
    std::string controller;
    vesk::sim::DeviceSpec device;
  };
  std::map<std::wstring, Wanted> wanted;
  std::vector<std::wstring> order;  // the topology's: the order discovery finds them in
  std::set<std::string> next;
  for (const auto& c : topology.controllers) {
    vesk::sim::DeviceSpec device;
    device.manufacturer = L"Korva Corporation";
    device.service = c.service;
    device.pdoName = c.pdoName;
    device.backend = driver;
    wanted[c.pdoName] = {ControllerKey(c), std::move(device)};
    order.push_back(c.pdoName);
    next.insert(c.id.ToString());
  }
  // The facade's refreshes after hot-plug wait for its I/O semaphore: holding it while the devices
  // change lets them see only the finished change, so that no controller seems to come and go.
  WaitForControllers(controllers);
  driver->Edit([&](vesk::sim::Topology& model) { model = std::move(topology); });
  // A device goes when its controller left, or another controller (or driver) took its PDO name.
  // A controller that stays under a new driver is found again on its new device, and the facade
  // reads it as that driver says.
  std::vector<vesk::sim::DeviceId> gone;
  for (auto it = devices.begin(); it != devices.end();) {
    auto found = wanted.find(it->first);
    if (found != wanted.end() && found->second.controller == it->second.first) {
      ++it;
      continue;
    }
    machine->RemoveDevice(it->second.second);
    gone.push_back(it->second.second);
    it = devices.erase(it);
  }
  // The facade's device handles hear of a removal on threads of their own. Once they have let the
  // device go, whichever of the facade's refreshes comes first sees that a controller found again
  // has moved, instead of sending to the device that left. A handle that never hears of it (its
  // registration failed) costs the next look a failed refresh, after a while.
  const auto giveUp = Clock::now() + std::chrono::seconds(2);
  for (const auto id : gone) {
    while (machine->OpenHandleCount(id) != 0 && Clock::now() < giveUp)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (const auto& pdo : order) {
    if (devices.contains(pdo)) continue;
    Wanted& w = wanted[pdo];
    devices[pdo] = {w.controller, machine->AddDevice(std::move(w.device))};
  }
  controllers = std::move(next);
  machine->WaitForNotifications();
  facade->GetIoSemaphore().Release();
}

void Watcher::WaitForControllers(const std::set<std::string>& expected) {
  // The facade hears of controllers that came or went on worker threads of its own, and refreshes
  // them there under its I/O semaphore. Waiting for them keeps the events in the order of the
  // changes. Should one of them fail (it says so on the debugger output), the wait ends after a
  // while and the polling refresh rediscovers the controllers itself.
  auto& semaphore = facade->GetIoSemaphore();
  const auto giveUp = Clock::now() + std::chrono::seconds(2);
  for (;;) {
    semaphore.Wait();
    std::set<std::string> known;
    for (const auto& [id, deviceId] : facade->ControllerGuidToDeviceId()) {
      const std::wstring text = id.ToString();
      known.insert(std::string(text.begin(), text.end()));
    }
    if (known == expected || Clock::now() >= giveUp) return;
    semaphore.Release();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool Watcher::KnowsControllers() {
  auto& semaphore = facade->GetIoSemaphore();
  semaphore.Wait();
  const bool known = !facade->ControllerGuidToDeviceId().empty();
  semaphore.Release();
  return known;
}

void Watcher::Refresh() {
  auto& semaphore = facade->GetIoSemaphore();
  if (machine)
    WaitForControllers(controllers);
  else
    semaphore.Wait();
  try {
    // Against the driver nothing has plugged the controllers in for the facade: the first look
    // loads them as a user interface does when it opens.
    if (!machine && !loaded) {
      facade->SetAllControllersInfo();
      facade->SetAllArraysInfo();
      facade->SetAllVolumesInfo();
      facade->SetAllDrivesInfo();
      loaded = true;
    }
    facade->UpdateAllControllers();
    facade->UpdateAllArrays();
    facade->UpdateAllVolumes();
    facade->UpdateAllDrives();
    facade->SynchronizeStorageData();
  } catch (...) {
    facade->ClearUpdatesData();
    semaphore.Release();
    throw;
  }
  facade->ClearUpdatesData();
  semaphore.Release();
}

CLI::App* AddMonitorCommand(CLI::App& app, MonitorOptions& options) {
  auto* monitor = app.add_subcommand(
      "monitor",
      "Report every change of the machine as it happens: one line (with --json one JSON "
      "object) per event; see docs/cli.md");
  monitor
      ->add_option("--interval", options.intervalSeconds, "Seconds between two looks (default 2)")
      ->option_text("S")
      ->check(NumberOption("a number of seconds", false, "2 or 0.5"));
  monitor
      ->add_option("--program", options.program,
                   "Run CMD once per event with the event kind, element and detail as "
                   "arguments and the event's JSON on standard input (no shell)")
      ->option_text("CMD");
  monitor
      ->add_option("--failure-reminder", options.failureReminderSeconds,
                   "Report a failure that lasts again every S seconds (default 300)")
      ->option_text("S")
      ->check(NumberOption("a number of seconds", false, "300 or 0.5"));
  monitor
      ->add_option("--program-timeout", options.programTimeoutSeconds,
                   "Kill a program still running after S seconds (default 10)")
      ->option_text("S")
      ->check(NumberOption("a number of seconds", false, "10 or 0.5"));
  monitor->add_flag("--once", options.once,
                    "Look once, print what changed since the last --once (the first time: "
                    "every element as present) and exit");
  return monitor;
}

int RunMonitor(const MonitorOptions& options) {
  CatchStopSignals();
  Monitor monitor(options);
  return options.once ? monitor.Once() : monitor.Follow();
}

}  // namespace veskctl
