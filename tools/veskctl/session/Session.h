// One run of veskctl. Against the simulated machine the state file is locked and loaded, the
// simulated RAID driver is built from it (or from the demo topology), its controller devices are
// plugged into a simulated machine, and StorageManagement reads the topology through them exactly
// as it would on Windows. Against the RAID driver StorageManagement finds the controllers itself,
// and there is no state file.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "simulator/Machine.h"
#include "simulator/RaidDriver.h"
#include "tools/veskctl/journal/Journal.h"
#include "tools/veskctl/session/Jobs.h"
#include "tools/veskctl/session/Roster.h"
#include "tools/veskctl/session/StateFile.h"
#include "vesk/StorageManagement.h"

namespace veskctl {

// What a run against the RAID driver says when discovery found no controller.
inline constexpr char kNoRaidController[] =
    "no RAID controller found: the Vesk RAID driver is not installed or controls no controller on "
    "this computer (--simulate runs the simulated machine)";

// The demo topology compiled into veskctl.
const char* EmbeddedDemoTopology();

// VESK_SIM_CLOCK=manual keeps the simulated clock still except when a command moves it (`sim
// advance`, `wait`), so that a script or a test sees the same progress however long its runs take;
// unset or `real`, it follows real time. Any other value is a UsageError.
bool ClockFollowsRealTime();

// A driver for the machine `saved` read from `state` (the demo topology when nothing is saved).
// Background work goes on while nobody looks, so with `realTime` its clock is moved on by the time
// since the save. A saved machine that does not load is the state file's Unusable error.
std::shared_ptr<vesk::sim::RaidDriver> SavedDriver(const StateFile& state,
                                                   const std::optional<nlohmann::json>& saved,
                                                   bool realTime);

// How a session takes the machine saved in the state file.
enum class SavedMachine {
  Load,  // a machine that cannot be used is an error
  // The run starts the machine over, which is how a state file that cannot be used is mended: such
  // a machine is taken as unknown, and the session starts with no controller at all.
  StartingOver,
};

class Session {
 public:
  // Loads the saved machine, or the demo topology when there is none. Throws StateFileError.
  Session(const std::filesystem::path& statePath, const StateFile::Options& options,
          SavedMachine saved = SavedMachine::Load);
  // A session with the RAID driver, through the library's own discovery.
  struct RealDriver {};
  explicit Session(RealDriver);
  // A session with a private simulated driver that nobody else sees: commands are tried out on
  // it. No state file, and its clock moves only when a command moves it.
  explicit Session(std::shared_ptr<vesk::sim::RaidDriver> model);
  ~Session();

  // Replaces the saved machine with `topologyJson` (the demo when empty) and starts from it.
  void Reset(const std::string& topologyJson);
  // Reset was called: the machine is the topology's, not one made from the machine before.
  bool StartedOver() const { return startedOver; }
  // Why the saved machine could not be used, when it was taken as unknown (StartingOver).
  const std::optional<std::string>& UnknownMachine() const { return unknownMachine; }

  Vesk::StorageManagement& Storage() { return *storage; }
  // The simulated driver; a UsageError against the RAID driver.
  vesk::sim::RaidDriver& Driver();
  // The simulated driver, or null against the RAID driver.
  const vesk::sim::RaidDriver* SimulatedDriver() const { return driver.get(); }
  bool Simulated() const { return driver != nullptr; }

  // Reads the whole topology afresh into the facade's own snapshot. Against the RAID driver,
  // finding no controller is an error.
  void Refresh();
  // How long the last Refresh took (0 before the first).
  double LastRefreshSeconds() const { return refreshSeconds; }

  // The machine's clock, in milliseconds: background work and its readings are timed by it. The
  // simulated driver's clock follows real time and moves on with `sim advance`; the RAID driver's
  // is real time.
  std::uint64_t ClockMs() const;
  // Lets `ms` of the machine's time pass. Nothing real has to finish on the simulated machine,
  // so its clock is moved on at once, as `sim advance` does; the RAID driver is waited for.
  void Pass(std::uint64_t ms);
  // Lets the machine go while this run has nothing to do with it (`wait` between two looks), so
  // that other runs can work meanwhile: saves what this run changed, then gives up the state
  // file's lock and the driver's devices. TakeBack lets `ms` of the machine's time pass (Pass)
  // with nothing held, takes them again and reads the machine afresh, as a new run would: what
  // other runs did meanwhile is seen. Neither is for a private session.
  void LetGo();
  void TakeBack(std::uint64_t ms);
  JobBook& Jobs() { return jobs; }
  const JobBook& Jobs() const { return jobs; }
  // A private session starts with a copy of the roster of the session it tries a command out for.
  Roster& Remembered() { return roster; }
  const Roster& Remembered() const { return roster; }

  const Vesk::Controller& ControllerById(const Vesk::vesk_guid& id) const;
  // Controllers in the order of their device numbers (the order discovery found them).
  std::vector<const Vesk::Controller*> ControllersInOrder() const;

  // A process has one simulated machine at a time: Suspend takes the session's away (with the
  // facade and every record it read) while a private session tries a command out; Resume brings
  // it back and reads the topology afresh. Nothing against the RAID driver.
  void Suspend();
  void Resume();

  // The machine's journal: the ends of background work go there, and the roster is kept beside
  // it. Private sessions have none. Against the RAID driver, where no state file keeps the memory
  // of work between runs, what the journal's records say of the last verifications and of data
  // lost is taken from it.
  void JournalTo(std::optional<Journal> journal);
  const std::optional<Journal>& JournalOf() const { return journal; }

  // Writes the driver's state back to the state file (not in a read-only session); nothing
  // against the RAID driver or in a private session. The ends of background work found since the
  // last save go to the journal first. The roster, which the RAID driver needs too, is written
  // beside the journal; one that cannot be is said on stderr and does not hold the command back.
  void Save();
  // Writes the roster beside the journal now, when it changed (nothing in a private session).
  // Throws StateFileError: for a command whose whole work is the roster's.
  void SaveRoster();

 private:
  // Starts the saved machine (the demo when nothing is saved) with the memory of its work.
  void Load(SavedMachine how);
  void Start(std::shared_ptr<vesk::sim::RaidDriver> loaded);
  void Stop();

  std::unique_ptr<StateFile> state;  // none against the RAID driver
  bool realTime = true;              // the simulated clock follows real time (VESK_SIM_CLOCK)
  std::shared_ptr<vesk::sim::RaidDriver> driver;  // none against the RAID driver
  std::unique_ptr<vesk::sim::Machine> machine;
  std::unique_ptr<Vesk::StorageManagement> storage;
  JobBook jobs;
  Roster roster;
  std::optional<Journal> journal;
  double refreshSeconds = 0;
  bool startedOver = false;
  std::optional<std::string> unknownMachine;
};

}  // namespace veskctl
