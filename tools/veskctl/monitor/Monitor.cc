#include "tools/veskctl/monitor/Monitor.h"

#include <CLI/CLI.hpp>
#include <deque>
#include <iostream>
#include <map>
#include <set>
#include <thread>

#include "platform/win32.h"
#include "simulator/Topology.h"
#include "tools/veskctl/base/NumberOption.h"
#include "tools/veskctl/base/Program.h"
#include "tools/veskctl/base/Stop.h"
#include "tools/veskctl/journal/Intent.h"
#include "tools/veskctl/journal/Undelivered.h"
#include "tools/veskctl/monitor/LastKnown.h"
#include "tools/veskctl/monitor/SystemLog.h"
#include "tools/veskctl/monitor/Webhook.h"
#include "tools/veskctl/session/Predict.h"
#include "tools/veskctl/session/Session.h"
#include "tools/veskctl/session/StateFile.h"

namespace veskctl {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

bool MonitorObserver::Pause(double seconds) { return SleepUnlessStopped(seconds); }

namespace {

constexpr int kSnapshotFormatVersion = 1;

// What `--once` kept between its runs before the last-known state did (PATH.monitor beside the
// state file): the machine as last reported, the faults that last, the failure of the last look and
// the machine's clock then. Read once, so that the first run after it reports the changes since.
struct Snapshot {
  std::optional<vesk::sim::Topology> machine;
  json faults;
  std::string failure;
  std::int64_t clockMs = 0;
};

// Nothing when there is none or it cannot be used (said on stderr).
Snapshot ReadSnapshot(const fs::path& path) {
  std::optional<std::string> text;
  std::string why;
  try {
    text = ReadFileShared(path, "the monitor snapshot");
    if (!text) return {};
    const auto document = nlohmann::json::parse(*text);
    if (document.value("format", "") == "veskctl-monitor-snapshot" &&
        document.value("formatVersion", 0) == kSnapshotFormatVersion &&
        document.contains("machine") && document["machine"].is_string()) {
      Snapshot snapshot;
      snapshot.machine = vesk::sim::LoadTopology(document["machine"].get<std::string>());
      snapshot.faults = document.value("faults", json::array());
      snapshot.failure = document.value("refreshFailure", "");
      snapshot.clockMs = document.value("clockMs", std::int64_t{0});
      return snapshot;
    }
    why = "is not a snapshot of this veskctl";
  } catch (const nlohmann::json::exception&) {
    why = "is not valid JSON";
  } catch (const StateFileError& e) {
    std::cerr << "veskctl: " << e.what() << "; reporting the machine as it is now\n";
    return {};
  } catch (const std::runtime_error& e) {
    why = std::string("holds a machine this veskctl cannot load (") + e.what() + ")";
  }
  std::cerr << "veskctl: the monitor snapshot " << path.string() << " " << why
            << "; reporting the machine as it is now\n";
  return {};
}

// A lock tried without waiting: the first byte of a file of its own, held until Release (or the
// end of the process, however it ends).
class TryLock {
 public:
  explicit TryLock(fs::path path) : path(std::move(path)) {}

  // True when this process holds the lock (now, or already); false when another holds it.
  bool Take() {
    if (file) return true;
    std::error_code ignored;
    if (path.has_parent_path()) fs::create_directories(path.parent_path(), ignored);
    auto opened = std::make_unique<SharedFile>(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    if (!opened->Open())
      throw StateFileError("cannot open the lock file " + path.string() + ": " +
                           FileErrorText(GetLastError()));
    KeepToOwner(path);
    OVERLAPPED firstByte = {};
    if (!LockFileEx(opened->handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &firstByte)) {
      const auto error = static_cast<std::uint32_t>(GetLastError());
      if (error != ERROR_LOCK_VIOLATION)
        throw StateFileError("cannot lock " + path.string() + ": " + FileErrorText(error));
      return false;
    }
    file = std::move(opened);
    return true;
  }
  void Release() { file.reset(); }  // closing the file lets the lock go

 private:
  fs::path path;
  std::unique_ptr<SharedFile> file;
};

// A record as the monitor's text line: the event's, as `monitor` has always printed it.
std::string Line(const json& record) { return EventText(RecordEvent(record)); }

std::string Describe(const Fault& f) {
  const std::string element = f.elementKind == "drive"
                                  ? "drive " + f.elementName
                                  : f.elementKind + " \"" + f.elementName + "\"";
  if (f.kind == "volume-degraded") return element + " is still degraded";
  if (f.kind == "volume-failed") return element + " has still failed";
  if (f.kind == "drive-missing") return element + " is still missing";
  if (f.kind == "drive-failed") return element + " has still failed";
  if (f.kind == "drive-smart") return element + " still reports a SMART event";
  if (f.kind == "delivery-failed")
    return "records could not be delivered to " + f.failure + " (veskctl events --undelivered)";
  return "the machine still cannot be read: " + f.failure;
}

// A clock that only moves forward, at the pace of time, whatever is done to the wall clock: the
// intervals between reminders are measured on it.
std::int64_t SteadyClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
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

// The monitor's loop: ticks, records, deliveries.
// The volumes with a data-loss mark: the simulated driver keeps its own marks; the RAID driver
// keeps none, so a volume it reports failed counts.
std::set<std::string> LostVolumes(Watcher& watcher) {
  std::set<std::string> lost;
  if (watcher.SimulatedMachine()) {
    for (const auto& c : watcher.Driver().Snapshot().controllers)
      for (const auto& v : c.volumes)
        if (v.dataLost) lost.insert(v.id.ToString());
    return lost;
  }
  for (const auto& [key, v] : watcher.Facade().Volumes().Snapshot())
    if (static_cast<int>(v->State()) == vesk::sim::volume_state::kFailed)
      lost.insert(Narrow(v->Id().ToString()));
  return lost;
}

class Monitor {
 public:
  explicit Monitor(const MonitorOptions& options)
      : options(options),
        realTime(ClockFollowsRealTime()),
        journal(Journal::PathFor(options.statePath, options.simulate), options.journalMaxBytes),
        watching(journal.Path().string() + ".watch.lock"),
        delivering(journal.Path().string() + ".deliver.lock") {
    if (!options.webhookSecret.empty() && options.webhook.empty())
      throw UsageError("--webhook-secret signs the posts of --webhook, which was not given");
    if (!options.webhook.empty())
      webhook = std::make_unique<Webhook>(options.webhook, options.webhookSecret,
                                          options.webhookTimeoutSeconds);
    if (options.syslog) systemLog = std::make_unique<SystemLog>();
    // Records given up before this run are a fault from its first look on.
    try {
      undelivered = DeliveryFailures(journal.Path()).UndeliveredNow().targets;
    } catch (const StateFileError&) {
    }
  }

  int Once() {
    // A target that has no cursor yet starts with what this run finds: nothing before it.
    const std::uint64_t start = options.dryRun ? 0 : journal.LastId();
    // The last-known state is read, compared and committed under the watcher lock. Against the
    // driver a first look finds the controllers before the lock is taken: a run that finds none
    // leaves nothing behind.
    Watcher watcher(EventFeed::Mode::Quiet, options.simulate);
    std::optional<vesk::sim::Topology> unused;
    if (!options.simulate) Look(watcher, options.lockTimeoutSeconds, unused);
    std::string failure;
    if (options.dryRun || watching.Take())
      failure = WatchOnce(watcher);
    else
      SayNotWatching();
    watching.Release();
    const bool delivered = options.dryRun || Deliver(start);
    if (!failure.empty()) return 1;
    return delivered ? 0 : kExitUndelivered;
  }

  int Follow() {
    Watcher watcher(EventFeed::Mode::Quiet, options.simulate);
    const std::uint64_t start = journal.LastId();
    std::uint64_t shown = start;
    do {
      // Look: a run that holds the lock is waited for a little only, the monitor looks again
      // next tick.
      std::optional<vesk::sim::Topology> now;
      const Sight sight = Look(watcher, std::min(options.intervalSeconds, 0.25), now);
      // Record: the first monitor to get the lock keeps it while it lives and records from the
      // last-known state on; the others only look, and take over from that state when it ends.
      std::vector<json> records;
      if (!holding && watching.Take()) holding = TakeOver();
      Watch(watcher, sight, records);
      if (holding) {
        CloseIntents();
        Record(std::move(records));
      }
      // Deliver: without a program the monitor shows every record as it comes, whoever wrote it.
      // A journal that cannot be read or a cursor that cannot be saved now is tried next tick.
      try {
        if (options.program.empty() && !options.quiet) shown = Show(shown);
        Deliver(start);
      } catch (const StateFileError& e) {
        std::cerr << "veskctl: cannot deliver the journal's records now: " << e.what() << "\n";
      }
      if (output.fail()) break;  // nobody reads the records any more
    } while (options.observer ? options.observer->Pause(options.intervalSeconds)
                              : SleepUnlessStopped(options.intervalSeconds));
    return 0;
  }

 private:
  // One look of `--once`: the changes since the last-known state recorded and the state committed.
  // A dry run prints what it would record instead, and writes nothing.
  std::string WatchOnce(Watcher& watcher) {
    if (!TakeOver()) return "the last-known state cannot be read";
    holding = !options.dryRun;
    // The first run after the snapshot `--once` kept before reports the changes since it.
    const fs::path snapshotPath = options.simulate ? SnapshotPath(options.statePath) : fs::path();
    if (!stateFound && options.simulate) FromSnapshot(watcher, snapshotPath);
    std::vector<json> records;
    std::optional<vesk::sim::Topology> now;
    const Sight sight = Look(watcher, options.lockTimeoutSeconds, now);
    Watch(watcher, sight, records);
    if (options.dryRun) {
      for (const auto& record : records) Print(record);
      return sight.failure;
    }
    CloseIntents();
    // Committed even when nothing changed: the state is then known from here on.
    Commit(std::move(records));
    holding = false;
    if (!snapshotPath.empty()) {
      std::error_code ignored;
      fs::remove(snapshotPath, ignored);
    }
    return sight.failure;
  }

  // A command whose run died after it acted, before its record was appended, is journaled (its
  // outcome unknown) as soon as a watcher notices, so that it is delivered with the rest. A
  // journal that cannot be written now leaves it for later.
  void CloseIntents() {
    try {
      CloseAbandonedIntents(journal);
    } catch (const StateFileError&) {
    }
  }

  // Takes the last-known state over as the watcher lock is had: its pending records are made sure
  // of, and its faults and failure go on from where the last watcher left them. False when it
  // cannot be read now (said on stderr): the lock is let go, to be taken again later.
  bool TakeOver() {
    try {
      auto state = lastKnown.Read();
      stateFound = state.has_value();
      if (!state) return true;
      if (!options.dryRun)
        for (auto& record : lastKnown.Recover(*state)) {
          if (options.observer) options.observer->Journaled(record);
        }
      state->pending.clear();
      known = std::move(*state);
      reminders.Load(known.faults);
      alerts.SetLasting(known.failure);
      clockMs = known.clockMs;
      return true;
    } catch (const StateFileError& e) {
      std::cerr << "veskctl: cannot take over the last-known state now: " << e.what() << "\n";
      watching.Release();
      return false;
    }
  }

  // Loads the machine of `--once`'s old snapshot into the watcher, as the state last known.
  void FromSnapshot(Watcher& watcher, const fs::path& path) {
    Snapshot saved = ReadSnapshot(path);
    if (!saved.machine) return;
    try {
      watcher.Load(std::move(*saved.machine));
      watcher.Refresh();
      known.machine = watcher.Feed().Known();
      watcher.Feed().Take();
      reminders.Load(saved.faults);
      alerts.SetLasting(saved.failure);
      clockMs = saved.clockMs;
      stateFound = true;
    } catch (const std::exception& e) {
      std::cerr << "veskctl: the monitor snapshot " << path.string() << " cannot be loaded ("
                << e.what() << "); reporting the machine as it is now\n";
    }
  }

  // What one look at the machine found.
  struct Sight {
    std::string failure;   // empty when the look succeeded
    bool skipped = false;  // another run held the machine: nothing was seen
    std::chrono::duration<double> took{};
  };

  // The records of a look: once the watcher records (it holds the lock), the first look that sees
  // the machine catches up with the last-known state, and from then on the feed's events; the
  // alerts of failed looks; and the reminders of the faults that last, when they are due.
  void Watch(Watcher& watcher, const Sight& sight, std::vector<json>& records) {
    const bool seen = sight.failure.empty() && !sight.skipped;
    if ((holding || options.dryRun) && !caughtUp && seen) {
      // `present` records only when nothing at all is known of the machine.
      if (known.machine.is_object())
        watcher.Feed().Since(known.machine);
      else
        watcher.Feed().Present();
      watcher.Feed().SetMode(EventFeed::Mode::Live);
      caughtUp = true;
    }
    Derive(watcher, sight, records);
    if (!sight.skipped) Remind(watcher, sight.failure, records);
  }

  // Refreshes the watcher's facade from the machine as it is now.
  Sight Look(Watcher& watcher, double lockTimeout, std::optional<vesk::sim::Topology>& now) {
    Sight sight;
    const auto start = Clock::now();
    try {
      if (options.simulate) {
        now = ReadSavedMachine(options.statePath, options.pathGiven, lockTimeout, realTime);
        clockMs = static_cast<std::int64_t>(now->clockMs);
        watcher.Load(*now);
      }
      watcher.Refresh();
      roster = Roster::Read(journal.Path());
      // A machine without the driver's controllers is a mistake to say at once, not a quiet
      // monitor; once it has had controllers, losing them is an event like any other.
      if (!options.simulate && !sawControllers && !watcher.KnowsControllers()) throw NoController();
      sawControllers = true;
    } catch (const NoController&) {
      throw;
    } catch (const StateFileBusy& e) {
      // Another run holds the lock: a monitor that follows looks again next time.
      if (options.once) sight.failure = e.what();
      sight.skipped = !options.once;
    } catch (const std::exception& e) {
      sight.failure = e.what();
    }
    sight.took = Clock::now() - start;
    return sight;
  }

  // The records of what the look saw change: the feed's events, refreshes that failed on the
  // notification thread, and the alert of a failed look. The state they leave is known from here.
  void Derive(Watcher& watcher, const Sight& sight, std::vector<json>& records) {
    json machine;
    auto events = watcher.Feed().Take(&machine);
    if (caughtUp && !machine.is_null()) known.machine = std::move(machine);
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
    if (!sight.skipped)
      if (auto alert = alerts.Look(sight.failure)) events.push_back(std::move(*alert));
    if (options.observer && !sight.skipped) {
      options.observer->Lost(LostVolumes(watcher));
      options.observer->Refreshed(watcher.Facade(), sight.took, sight.failure, roster);
    }
    for (const auto& event : events) {
      if (options.observer) options.observer->Reported(event);
      records.push_back(EventJson(event));
    }
  }

  // The reminders of the faults that last, when they are due.
  void Remind(Watcher& watcher, const std::string& failure, std::vector<json>& records) {
    for (auto& reminder : reminders.Look(Faults(watcher, failure), ReminderClockMs()))
      records.push_back(std::move(reminder));
  }

  void SayNotWatching() {
    std::cerr << "veskctl: another monitor is watching the machine; this run only delivers the "
                 "journal's records\n";
  }

  // The faults of this look. A look that failed tells nothing of the elements: their faults last
  // as they were last seen.
  std::vector<Fault> Faults(Watcher& watcher, const std::string& failure) {
    std::vector<Fault> faults = LookFaults(watcher, failure);
    for (const auto& target : undelivered)
      faults.push_back({"delivery-failed", "", "", "", target});
    return faults;
  }
  std::vector<Fault> LookFaults(Watcher& watcher, const std::string& failure) {
    if (failure.empty()) return FacadeFaults(watcher.Facade(), roster);
    std::vector<Fault> faults = reminders.Lasting();
    std::erase_if(faults, [](const Fault& f) {
      return f.kind == "refresh-failed" || f.kind == "delivery-failed";
    });
    faults.push_back({"refresh-failed", "", "", "", failure});
    return faults;
  }

  // Reminders keep the machine's time: the simulated clock when it stands still but for commands
  // that move it, otherwise a steady clock, so that setting the wall clock back or forth neither
  // silences reminders nor lets them pile up.
  std::int64_t ReminderClockMs() const {
    return options.simulate && !realTime ? clockMs : SteadyClockMs();
  }

  // Appends `records`. A following monitor keeps what the journal cannot take (a full disk, a
  // folder gone or not writable) in memory, at most kMaxUnwritten records (the oldest go first
  // past that), says so, and writes them, in order and before anything newer, once it can.
  void Record(std::vector<json> records) {
    if (options.once) {
      Commit(std::move(records));
      return;
    }
    for (auto& record : records) unwritten.push_back(std::move(record));
    for (; unwritten.size() > kMaxUnwritten; ++dropped) unwritten.pop_front();
    if (unwritten.empty()) return;
    try {
      Commit({unwritten.begin(), unwritten.end()});
      if (writeFailing)
        std::cerr << "veskctl: the journal is written again, with the " << unwritten.size()
                  << " records kept meanwhile"
                  << (dropped > 0 ? " (the " + std::to_string(dropped) +
                                        " oldest were dropped past the bound)"
                                  : std::string())
                  << "\n";
      unwritten.clear();
      writeFailing = false;
      dropped = 0;
    } catch (const StateFileError& e) {
      if (!writeFailing)
        std::cerr << "veskctl: cannot write the journal: " << e.what()
                  << "; its records are kept in memory (at most " << kMaxUnwritten
                  << ") until it can be written\n";
      writeFailing = true;
    }
    if (options.observer) options.observer->Unwritten(unwritten.size());
  }

  // Appends `records`: the watcher that holds the lock commits them with the state they leave
  // (LastKnown.h says in which order); any other run (delivery) only appends its own.
  void Commit(std::vector<json> records) {
    if (!holding) {
      Append(std::move(records));
      return;
    }
    LastKnown state = known;
    state.faults = reminders.Save();
    state.failure = alerts.Lasting();
    state.clockMs = clockMs;
    const auto ids = lastKnown.Commit(std::move(state), records);
    for (std::size_t i = 0; i < ids.size(); ++i) {
      records[i]["id"] = ids[i];
      if (options.observer) options.observer->Journaled(records[i]);
    }
  }

  void Append(std::vector<json> records) {
    if (records.empty()) return;
    const auto ids = journal.Append(records);
    for (std::size_t i = 0; i < records.size(); ++i) {
      records[i]["id"] = ids[i];
      if (options.observer) options.observer->Journaled(records[i]);
    }
  }

  void Print(const json& record) {
    output << (options.json ? record.dump(-1, ' ', false, json::error_handler_t::replace)
                            : Line(record))
           << "\n"
           << std::flush;
  }

  // Prints the records after `after`; returns the last one's identifier.
  std::uint64_t Show(std::uint64_t after) {
    for (;;) {
      const auto slice = journal.After(after, 1000);
      for (const auto& record : slice.records) Print(record);
      if (slice.records.empty()) return after;
      after = slice.records.back()["id"].get<std::uint64_t>();
    }
  }

  // The delivery lock: a follower tries it once a tick; `--once` waits for it as for the state
  // file's lock.
  bool TakeDeliveryLock() {
    const auto since = Clock::now();
    while (!delivering.Take()) {
      const std::chrono::duration<double> waited = Clock::now() - since;
      if (!options.once ||
          (options.lockTimeoutSeconds >= 0 && waited.count() >= options.lockTimeoutSeconds) ||
          !SleepUnlessStopped(0.02))
        return false;
    }
    return true;
  }

  enum class Target { Program, Print, SystemLog, Webhook };

  // Delivers to each target the records after its cursor (`start` for a target without one), the
  // cursor moving on with every record delivered. A record a target did not take stops that
  // target (the records after it wait, in order) until it is tried again: a following monitor
  // tries after a backoff, `--once` at its next run. After kDeliveryAttempts the record goes to
  // the list of undelivered records and the target goes on. Returns false when a record is left
  // waiting for another attempt.
  bool Deliver(std::uint64_t start) {
    // Each target's cursor is kept under its name: the program's command line, "" for the
    // printing of `--once`, "syslog", the webhook's URL.
    std::vector<std::pair<std::string, Target>> targets;
    if (!options.program.empty())
      targets.emplace_back(options.program, Target::Program);
    else if (options.once)
      targets.emplace_back("", Target::Print);
    if (systemLog) targets.emplace_back("syslog", Target::SystemLog);
    if (webhook) targets.emplace_back(options.webhook, Target::Webhook);
    if (targets.empty()) return true;
    if (!TakeDeliveryLock()) {
      if (options.once)
        std::cerr << "veskctl: another monitor is delivering the journal's records; this run "
                     "delivers none (the next one will)\n";
      return true;
    }
    const fs::path cursorsPath = journal.Path().string() + ".cursors";
    json cursors = ReadCursors(cursorsPath);
    // A new target's cursor is saved before anything is delivered to it: stopped before it got a
    // record, it still starts there next time.
    const std::size_t known = cursors.size();
    for (const auto& [target, kind] : targets) {
      auto cursor = cursors.find(target);
      if (cursor == cursors.end() || !cursor->is_number_unsigned()) cursors[target] = start;
    }
    if (cursors.size() != known)
      WriteFileAtomically(cursorsPath, cursors.dump(2) + "\n", "the delivery cursors");
    DeliveryFailures failures(journal.Path());
    bool allDelivered = true;
    for (const auto& [target, kind] : targets) {
      // A following monitor waits out the backoff of a target whose last attempt failed.
      if (auto wait = retryAt.find(target); wait != retryAt.end() && Clock::now() < wait->second)
        continue;
      std::uint64_t at = cursors[target].get<std::uint64_t>();
      bool going = true;
      while (going) {
        const auto slice = journal.After(at, 1000);
        if (slice.gap)
          std::cerr << "veskctl: records " << at + 1 << " to " << slice.oldestHeld - 1
                    << " rotated out of the journal before they were delivered"
                    << (target.empty() ? "" : " to " + target) << "\n";
        // Said once each: the lines after the cursor's record are read again at the next look.
        std::uint64_t& counted = damagedCounted[target];
        const std::uint64_t damaged = slice.damaged - std::min(slice.damaged, counted);
        counted = slice.records.empty() ? slice.damaged : slice.trailingDamaged;
        if (damaged > 0)
          std::cerr << "veskctl: passed over " << damaged << " damaged line"
                    << (damaged == 1 ? "" : "s") << " of the journal (not a record)"
                    << (target.empty() ? "" : " delivering to " + target) << "\n";
        if (slice.records.empty()) break;
        for (const auto& record : slice.records) {
          const Delivery delivery = DeliverTo(kind, record);
          if (delivery.stopped) {
            going = false;
            break;
          }
          const std::uint64_t id = record["id"].get<std::uint64_t>();
          if (delivery.failure && !Undeliverable(failures, target, record, *delivery.failure)) {
            allDelivered = false;
            going = false;
            break;
          }
          if (!delivery.failure) failures.Delivered(target);
          retryAt.erase(target);
          at = id;
          cursors[target] = at;
          // A program or a post may take long and the monitor may be killed meanwhile: what it
          // got stays got.
          if (kind == Target::Program || kind == Target::Webhook)
            WriteFileAtomically(cursorsPath, cursors.dump(2) + "\n", "the delivery cursors");
        }
      }
      WriteFileAtomically(cursorsPath, cursors.dump(2) + "\n", "the delivery cursors");
      if (StopRequested()) break;
    }
    failures.Save();
    auto now = failures.UndeliveredNow();
    undelivered = std::move(now.targets);
    if (options.observer) options.observer->Undelivered(now.count);
    delivering.Release();
    return allDelivered;
  }

  // Counts a failed attempt to deliver `record` to `target`. True when the record is given up
  // (its attempts used up, it is now on the list of undelivered records) and the target may go
  // on; false when it waits for another attempt.
  bool Undeliverable(DeliveryFailures& failures, const std::string& target, const json& record,
                     const std::string& why) {
    const std::uint64_t id = record["id"].get<std::uint64_t>();
    const int attempts = failures.Failed(target, id, why);
    const bool givenUp = attempts >= kDeliveryAttempts;
    Append({EventJson(
        Failure("program-failed", why + " (record #" + std::to_string(id) + ", attempt " +
                                      std::to_string(attempts) + " of " +
                                      std::to_string(kDeliveryAttempts) +
                                      (givenUp ? "; given up)" : "; it is tried again)")))});
    if (!givenUp) {
      retryAt[target] = Clock::now() + DeliveryBackoff(attempts);
      if (options.once)
        std::cerr << "veskctl: record #" << id << " could not be delivered to " << target << ": "
                  << why << "; the next run tries again (attempt " << attempts << " of "
                  << kDeliveryAttempts << ")\n";
      return false;
    }
    failures.GiveUp(target, record, attempts, why);
    MonitorEvent given = Failure(
        "delivery-failed", "record #" + std::to_string(id) + " (" +
                               record.value("kind", std::string()) + ") was not delivered to " +
                               target + " after " + std::to_string(attempts) + " attempts: " + why);
    Record({EventJson(given)});
    return true;
  }

  json ReadCursors(const fs::path& path) {
    const auto text = ReadFileShared(path, "the delivery cursors");
    if (!text) return json::object();
    auto cursors = json::parse(*text, nullptr, false);
    if (cursors.is_object()) return cursors;
    std::cerr << "veskctl: the delivery cursors " << path.string()
              << " are not a JSON object; every target starts with the records from now on\n";
    return json::object();
  }

  struct Delivery {
    bool stopped = false;                // the monitor was told to stop: given again next time
    std::optional<std::string> failure;  // what went wrong, when the target did not take it
  };

  // Gives `record` to `target`. A program takes it when it exits 0, a webhook when it answers 2xx.
  Delivery DeliverTo(Target target, const json& record) {
    if (StopRequested()) return {true, std::nullopt};
    if (target == Target::SystemLog) {
      systemLog->Write(SystemLogEntry(record));
      return {};
    }
    // A delivery failure is never given to a program or a webhook: a failing one would feed
    // itself.
    const std::string kind = record.value("kind", "");
    const bool aboutDelivery = kind == "program-failed" || kind == "delivery-failed";
    if (target == Target::Webhook) {
      if (aboutDelivery) return {};
      HttpPosted posted = webhook->Post(record);
      return {posted.stopped, std::move(posted.failure)};
    }
    Print(record);
    if (target == Target::Print || aboutDelivery) return {};
    const MonitorEvent e = RecordEvent(record);
    const auto failed =
        RunProgram(options.program, {e.kind, EventElement(e), EventDetail(e)},
                   record.dump(-1, ' ', false, json::error_handler_t::replace) + "\n",
                   options.programTimeoutSeconds, Stopped);
    if (StopRequested()) return {true, std::nullopt};  // killed as the monitor stops
    return {false, failed};
  }

  const MonitorOptions& options;
  const bool realTime;
  const Journal journal;
  TryLock watching, delivering;
  std::unique_ptr<SystemLog> systemLog;
  std::unique_ptr<Webhook> webhook;
  FailureAlerts alerts;
  Reminders reminders{options.failureReminderSeconds};
  Roster roster;             // as the last look read it
  std::int64_t clockMs = 0;  // the simulated machine's clock at the last look
  const LastKnownFile lastKnown{journal};
  LastKnown known;          // as last committed (its machine: as the feed last took it)
  bool stateFound = false;  // a last-known state was there to take over
  bool holding = false;     // this run holds the watcher lock and records
  bool caughtUp = false;    // the feed has caught up with the last-known state
  // What the journal could not take yet, oldest first, and how many went past the bound.
  static constexpr std::size_t kMaxUnwritten = 10000;
  std::deque<json> unwritten;
  std::size_t dropped = 0;
  bool writeFailing = false;
  // Per target: how many damaged lines after its cursor were said already.
  std::map<std::string, std::uint64_t> damagedCounted;
  // When each target whose last attempt failed is tried again (a following monitor's backoff).
  std::map<std::string, Clock::time_point> retryAt;
  // The targets with records on the list of undelivered records: a fault that lasts.
  std::vector<std::string> undelivered;
  bool sawControllers = false;
  std::ostream& output = std::cout;
};

}  // namespace

std::optional<MonitorEvent> FailureAlerts::Look(const std::string& failure) {
  const std::string before = std::exchange(lasting, failure);
  if (failure.empty()) {
    if (before.empty()) return std::nullopt;
    return Failure("refresh-recovered", before);
  }
  if (failure == before) return std::nullopt;
  return Failure("refresh-failed", failure);
}

std::vector<Fault> FacadeFaults(VESK_Managed::StorageManagementBase& facade, const Roster& roster) {
  std::vector<Fault> faults;
  auto& semaphore = facade.GetIoSemaphore();
  semaphore.Wait();
  for (const auto& [key, v] : facade.Volumes().Snapshot()) {
    const auto state = static_cast<std::uint8_t>(v->State());
    const char* kind = state == state::kDegraded ? "volume-degraded"
                       : state == state::kFailed ? "volume-failed"
                                                 : nullptr;
    if (kind) faults.push_back({kind, "volume", Narrow(v->Id().ToString()), Narrow(v->Name()), ""});
  }
  for (const auto& [key, d] : facade.Drives().Snapshot()) {
    const auto status = static_cast<std::uint8_t>(d->Status());
    if (roster.Forgotten(Narrow(d->Id().ToString()), status)) continue;
    const char* kind = status == drive_status::kMissing      ? "drive-missing"
                       : status == drive_status::kFailed     ? "drive-failed"
                       : status == drive_status::kSmartEvent ? "drive-smart"
                                                             : nullptr;
    if (kind)
      faults.push_back({kind, "drive", Narrow(d->Id().ToString()), Narrow(d->SerialNumber()), ""});
  }
  semaphore.Release();
  return faults;
}

std::vector<json> Reminders::Look(const std::vector<Fault>& faults, std::int64_t nowMs) {
  std::map<std::string, Seen> still;
  std::vector<json> due;
  for (const auto& fault : faults) {
    const std::string key = fault.Key();
    auto at = seen.find(key);
    if (at == seen.end()) {
      // First seen: its own event reports it.
      still[key] = {fault, EventTime(), nowMs};
      continue;
    }
    Seen s = at->second;
    s.fault = fault;  // a name may have changed
    // A time before the last report is another clock's (the steady clock starts again with the
    // computer): the fault is reminded of at once rather than after the difference.
    if (nowMs - s.reportedMs >= intervalMs || nowMs < s.reportedMs) {
      s.reportedMs = nowMs;
      MonitorEvent e = Failure("reminder", Describe(fault) + " (since " + s.since + ")");
      e.elementKind = fault.elementKind;
      e.elementId = fault.elementId;
      e.elementName = fault.elementName;
      json record = EventJson(e);
      record["fault"] = {{"kind", fault.kind}, {"since", s.since}};
      due.push_back(std::move(record));
    }
    still[key] = std::move(s);
  }
  seen = std::move(still);
  return due;
}

std::vector<Fault> Reminders::Lasting() const {
  std::vector<Fault> faults;
  for (const auto& [key, s] : seen) faults.push_back(s.fault);
  return faults;
}

json Reminders::Save() const {
  json saved = json::array();
  for (const auto& [key, s] : seen)
    saved.push_back({{"kind", s.fault.kind},
                     {"elementKind", s.fault.elementKind},
                     {"elementId", s.fault.elementId},
                     {"elementName", s.fault.elementName},
                     {"failure", s.fault.failure},
                     {"since", s.since},
                     {"reportedMs", s.reportedMs}});
  return saved;
}

void Reminders::Load(const json& saved) {
  seen.clear();
  if (!saved.is_array()) return;
  for (const auto& f : saved) {
    if (!f.is_object()) continue;
    Seen s{{f.value("kind", ""), f.value("elementKind", ""), f.value("elementId", ""),
            f.value("elementName", ""), f.value("failure", "")},
           f.value("since", ""),
           f.value("reportedMs", std::int64_t{0})};
    seen[s.fault.Key()] = std::move(s);
  }
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
      "Record every change of the machine in the journal as it happens and deliver the "
      "journal's records: one line (with --json one JSON object) per record; see docs/cli.md");
  monitor
      ->add_option("--interval", options.intervalSeconds, "Seconds between two looks (default 2)")
      ->option_text("S")
      ->check(NumberOption("a number of seconds", false, "2 or 0.5"));
  monitor
      ->add_option("--program", options.program,
                   "Run CMD once per journal record with its kind, element and detail as "
                   "arguments and its JSON on standard input (no shell); records are delivered "
                   "at least once, from a cursor saved per command line")
      ->option_text("CMD");
  monitor
      ->add_option("--failure-reminder", options.failureReminderSeconds,
                   "Repeat a fault that lasts (a degraded or failed volume; a missing, failed or "
                   "SMART-flagged drive; a failing refresh) as a reminder every S seconds "
                   "(default 300)")
      ->option_text("S")
      ->check(NumberOption("a number of seconds", false, "300 or 0.5"));
  monitor
      ->add_option("--program-timeout", options.programTimeoutSeconds,
                   "Kill a program still running after S seconds (default 10)")
      ->option_text("S")
      ->check(NumberOption("a number of seconds", false, "10 or 0.5"));
  monitor->add_flag("--once", options.once,
                    "Look once, record what changed since the last --once (the first time: "
                    "every element as present), deliver the journal's records not yet delivered "
                    "and exit");
  monitor
      ->add_option("--webhook", options.webhook,
                   "Post every journal record as JSON to URL (http:// only); a receiver that does "
                   "not answer 2xx within --webhook-timeout gets it again: at least once, from a "
                   "cursor saved per URL")
      ->option_text("URL");
  monitor
      ->add_option("--webhook-secret", options.webhookSecret,
                   "Sign each post with the secret on FILE's first line (the file must be yours "
                   "alone): X-Vesk-Signature: sha256=HMAC-SHA-256 of the body")
      ->option_text("FILE");
  monitor
      ->add_option("--webhook-timeout", options.webhookTimeoutSeconds,
                   "Count a post not answered within S seconds as failed (default 10)")
      ->option_text("S")
      ->check(NumberOption("a number of seconds", false, "10 or 0.5"));
  monitor->add_flag("--syslog", options.syslog,
                    "Deliver every journal record to the system log as well (syslog on POSIX, "
                    "the Application event log on Windows), at least once");
  return monitor;
}

int RunMonitor(const MonitorOptions& options) {
  CatchStopSignals();
  Monitor monitor(options);
  return options.once ? monitor.Once() : monitor.Follow();
}

}  // namespace veskctl
