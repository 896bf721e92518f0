// `veskctl monitor`: follows the machine through the managed face, records every change as an
// event (Events.h) in the machine's journal (Journal.h), and delivers the journal's records — a
// text line, a JSON Lines record, a program run per record, a line of the system log.
//
// One monitor at a time derives events: the one that holds the watcher lock (JOURNAL.watch.lock).
// The others only deliver what the journal holds, each delivery target (a program, the system log,
// the printing of `--once`) from a cursor of its own saved in JOURNAL.cursors, under the delivery
// lock (JOURNAL.deliver.lock). A cursor moves on only once its record was delivered, so a monitor
// stopped in the middle delivers that record again next time: at least once, never lost.
//
// Against the RAID driver the monitor only refreshes the managed facade each tick; controllers that
// come and go reach it through the facade's own plug-and-play refresh. Against the simulated
// machine it keeps one simulated machine and driver for its whole life. Each tick it takes the
// state file's lock only while it reads the file's bytes, lets the lock go, parses them, loads the
// saved machine into its own driver (controllers that came or went are added to or removed from
// its machine, so the library hears of them as of hot-plug), and then refreshes the managed
// facade. It never writes the state file, and never holds its lock while it parses, refreshes,
// sleeps or runs a program, so other runs are held up by at most the time one read of the file
// takes.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "simulator/Machine.h"
#include "simulator/RaidDriver.h"
#include "tools/veskctl/journal/Journal.h"
#include "tools/veskctl/monitor/EventFeed.h"
#include "tools/veskctl/session/Roster.h"
#include "vesk_managed/StorageManagementBase.h"

namespace CLI {
class App;
}

namespace veskctl {

// What else follows the monitor (metrics) hooks in here. Called on the monitor's thread, in this
// order each tick: Refreshed, then Reported for each event of the tick, then Journaled for each
// record the monitor appended to the journal.
class MonitorObserver {
 public:
  virtual ~MonitorObserver() = default;
  // After each tick's refresh, with the facade it brought in line and how long the refresh took.
  // `failure` is empty when it succeeded; after a failure the facade holds what earlier refreshes
  // left. The facade is the monitor's: read it during the call, under its I/O semaphore if need
  // be (free at this point). `roster`: the drives forgotten, which count nowhere.
  virtual void Refreshed(VESK_Managed::StorageManagementBase& facade,
                         std::chrono::duration<double> took, const std::string& failure,
                         const Roster& roster) = 0;
  // Every event, as it is reported (its kind: event.kind).
  virtual void Reported(const MonitorEvent& event) = 0;
  // Before Refreshed each tick: the volumes (identifiers) that carry a data-loss mark — the
  // simulated driver's own marks, or against the RAID driver, which keeps none, the volumes it
  // reports failed.
  virtual void Lost(const std::set<std::string>& volumeIds) { (void)volumeIds; }
  // Every record this monitor appended to the journal (with its `id`).
  virtual void Journaled(const nlohmann::json& record) { (void)record; }
  // After each delivery: how many records are on the list of undelivered records.
  virtual void Undelivered(std::size_t count) { (void)count; }
  // After each attempt to record: how many records wait in memory for the journal to take them.
  virtual void Unwritten(std::size_t count) { (void)count; }
  // Between two looks: waits up to `seconds`, or less when the observer knows the machine has
  // just changed. False when a stop came meanwhile.
  virtual bool Pause(double seconds);
};

// `monitor --once`: a record could not be delivered to a target; the next run tries again.
inline constexpr int kExitUndelivered = 6;

struct MonitorOptions {
  double intervalSeconds = 2;
  double failureReminderSeconds = 300;  // a fault that lasts is reported again this often
  bool once = false;
  std::string program;                // run once per record; empty: none
  double programTimeoutSeconds = 10;  // a program still running then is killed
  bool syslog = false;                // deliver every record to the system log as well
  std::string webhook;                // post every record to this http:// URL; empty: none
  std::string webhookSecret;          // a file whose first line signs the posts; empty: unsigned
  double webhookTimeoutSeconds = 10;  // no answer by then: a failed delivery
  bool quiet = false;                 // print nothing: the console shows the records itself
  // Set by main from the global options.
  bool simulate = true;  // false: the RAID driver, with no state file and no snapshot
  std::filesystem::path statePath;
  bool pathGiven = false;
  bool json = false;
  double lockTimeoutSeconds = -1;  // --once: wait for the lock as long as it takes
  bool dryRun = false;             // --once: the snapshot is left as it was
  std::uint64_t journalMaxBytes = Journal::kDefaultMaxBytes;  // --journal-size
  MonitorObserver* observer = nullptr;
};

// Adds the `monitor` command and its options to `app`.
CLI::App* AddMonitorCommand(CLI::App& app, MonitorOptions& options);

// Runs the monitor until SIGINT or SIGTERM, or for one refresh with `once`. Returns the exit code:
// 0, or 1 when `once` could not refresh. Throws UsageError and StateFileError for what keeps it
// from starting.
int RunMonitor(const MonitorOptions& options);

// What the looks' failures are reported as, so that a failure that lasts is no alert storm (and no
// storm of programs run): `refresh-failed` when it starts and `refresh-recovered` once when a look
// succeeds again (while it lasts, Reminders repeats it). A failure with another text while one
// lasts is a new failure.
class FailureAlerts {
 public:
  // The event to report for a look that failed with `failure` (empty: it succeeded), or nothing.
  std::optional<MonitorEvent> Look(const std::string& failure);
  // The failure of the last look (empty: it succeeded), as a `--once` run finds it in its snapshot.
  const std::string& Lasting() const { return lasting; }
  void SetLasting(std::string failure) { lasting = std::move(failure); }

 private:
  std::string lasting;
};

// A fault that lasts while it is seen: a volume failed or degraded, a drive missing, failed or
// SMART-flagged, a refresh failing.
struct Fault {
  // volume-degraded, volume-failed, drive-missing, drive-failed, drive-smart, refresh-failed
  std::string kind;
  std::string elementKind, elementId, elementName;  // empty for refresh-failed
  std::string failure;                              // refresh-failed: what the refresh said
  std::string Key() const { return kind + "|" + elementId + "|" + failure; }
};

// The faults of the managed face as it stands (read under its I/O semaphore).
std::vector<Fault> FacadeFaults(VESK_Managed::StorageManagementBase& facade,
                                const Roster& roster = Roster());

// Repeats lasting faults: the first sighting of a fault is reported by its own event, and a
// `reminder` record is due whenever the last report of the fault is at least the interval old.
// Times are the machine's clock in milliseconds.
class Reminders {
 public:
  explicit Reminders(double intervalSeconds) : intervalMs(intervalSeconds * 1000) {}
  // The reminder records (JSON, without `id`) due for the faults seen at `nowMs`; faults no longer
  // seen are forgotten.
  std::vector<nlohmann::json> Look(const std::vector<Fault>& faults, std::int64_t nowMs);
  // The faults and their last reports, as the `--once` snapshot keeps them.
  nlohmann::json Save() const;
  void Load(const nlohmann::json& saved);
  // The faults seen at the last look.
  std::vector<Fault> Lasting() const;

 private:
  struct Seen {
    Fault fault;
    std::string since;  // when first seen (ISO 8601)
    std::int64_t reportedMs = 0;
  };
  double intervalMs;
  std::map<std::string, Seen> seen;  // by Fault::Key
};

// The snapshot `monitor --once` keeps beside the state file.
std::filesystem::path SnapshotPath(const std::filesystem::path& statePath);

// The simulated machine as the state file holds it now (the demo machine when there is none):
// the file's bytes are read under the state file's lock, which is let go before they are parsed.
// StateFileBusy when another run holds the lock for longer than `lockTimeoutSeconds`. `lockHeld`,
// when given, is set to how long this run held the lock.
vesk::sim::Topology ReadSavedMachine(const std::filesystem::path& statePath, bool pathGiven,
                                     double lockTimeoutSeconds, bool realTime,
                                     std::chrono::duration<double>* lockHeld = nullptr);

// The managed facade the monitor follows, with the feed of its events; with `simulate`, over the
// monitor's own simulated machine, otherwise over whatever devices discovery finds.
class Watcher {
 public:
  explicit Watcher(EventFeed::Mode mode, bool simulate = true);
  ~Watcher();
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

  // Makes the driver hold `topology`: controllers that are gone are removed from the machine,
  // new ones added, each raising the notifications of hot-plug. Simulated machine only.
  void Load(vesk::sim::Topology topology);
  // A polling refresh of the facade, once the notifications of Load have been handled. Library
  // failures are thrown; the facade keeps what it had.
  void Refresh();
  // Whether the facade knows a controller now (under its I/O semaphore: a refresh after hot-plug
  // changes what it knows on a thread of its own).
  bool KnowsControllers();

  EventFeed& Feed() { return *feed; }
  VESK_Managed::StorageManagementBase& Facade() { return *facade; }
  // Simulated machine only.
  vesk::sim::RaidDriver& Driver() { return *driver; }
  vesk::sim::Machine* SimulatedMachine() { return machine.get(); }

 private:
  // Returns holding the facade's I/O semaphore, once the facade knows exactly the controllers
  // `expected` (identifiers) or a while has passed.
  void WaitForControllers(const std::set<std::string>& expected);

  std::shared_ptr<vesk::sim::RaidDriver> driver;
  std::unique_ptr<vesk::sim::Machine> machine;
  std::unique_ptr<VESK_Managed::StorageManagementBase> facade;
  std::unique_ptr<EventFeed> feed;
  std::map<std::wstring, std::pair<std::string, vesk::sim::DeviceId>> devices;  // by PDO name
  std::set<std::string> controllers;  // the identifiers of the controllers last loaded
  bool loaded = false;                // against the driver: the first look has loaded the facade
};

}  // namespace veskctl
