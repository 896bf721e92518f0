// veskctl's commands. Each command, once its arguments are parsed, plans its work from the
// topology the library read: it resolves and checks what the user typed, states the request it
// will send and says whether it destroys data. Main.cc runs the plan: the sending is tried out on
// a private simulated driver first (Predict.h) for the dry run and the question before
// destructive work, and only then, when the run goes ahead, carried out.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/veskctl/cli/Resolve.h"
#include "tools/veskctl/session/Predict.h"
#include "tools/veskctl/session/Session.h"

namespace veskctl {

// `wait` gave up before the work ended (0, 1 and 2 keep their meaning: see Main.cc).
inline constexpr int kExitTimedOut = 3;
// `wait`: the work finished, and a verification among it found errors or bad blocks it did not
// repair.
inline constexpr int kExitFoundErrors = 4;

// What a command did: its result for JSON output (null when there is none) and a line for people.
struct Outcome {
  Outcome() = default;
  Outcome(nlohmann::json result, std::string text, bool changed = true, bool view = false)
      : result(std::move(result)), text(std::move(text)), changed(changed), view(view) {}

  nlohmann::json result;
  std::string text;
  bool changed = true;  // the simulated machine's state must be saved
  bool view = false;    // a view: the result's fields are the JSON answer's own, not "result"
  // A run that did its part but reports a failure (`wait`): exit code, status kind and message.
  int exitCode = 0;
  std::string failureKind, failureMessage;
  // A view whose answer is also its exit code (`check`): printed as any view, then the run ends
  // with it. -1: none.
  int verdict = -1;
  bool quiet = false;  // nothing printed, --json included
};

// What a command will do, worked out from the topology before anything is sent.
struct Plan {
  nlohmann::json request;    // operation and arguments as they will be sent; null: sends nothing
  std::string action;        // what it does to what, for the question before destructive work
  bool destructive = false;  // destroys data whatever the prediction says
  // Work running after it is the command's own, followed from its start; moving the simulated
  // clock or starting the machine over starts nothing of the command's own.
  bool startsWork = true;
  // What happens to the simulated machine (a drive fails, the clock moves) is no administrator's
  // decision: it is predicted, but nothing is asked. Starting it over is one, and is no drill.
  bool drill = false;
  // Carries the command out on the session it is given: the machine's, or a private one that
  // tries it out. It names elements by identifier only, since the records the plan was made
  // from do not outlive the trial.
  std::function<Outcome(Session&)> send;
};
using Planner = std::function<Plan(Session&, const Model&)>;

class Commands {
 public:
  explicit Commands(CLI::App& app);
  Commands(const Commands&) = delete;
  Commands& operator=(const Commands&) = delete;

  // The plan of the command on the command line, once it is parsed.
  const Planner& Parsed() const { return planner; }
  // `sim reset` starts over, also from a state file whose machine cannot be used.
  bool StartsOver() const { return reset->parsed(); }
  // `show`, `metrics` and `jobs --history` only read: no lock, nothing created.
  bool ReadsOnly() const {
    return show->parsed() || metrics->parsed() || check->parsed() || (jobs->parsed() && history);
  }
  // `check`: its exit code is the machine's health, and a run that cannot tell exits 3.
  bool Checks() const { return check->parsed(); }
  bool Quiet() const { return quiet; }
  // The command changes the machine's configuration (the simulated machine's drills and reset
  // too), so the journal records who ran it. `jobs` and `wait` remember readings, nothing more.
  bool Configures() const { return !ReadsOnly() && !jobs->parsed() && !wait->parsed(); }
  // The command as typed, subcommands and all: "delete-volume", "sim fail-drive".
  std::string Name() const;
  // The command destroys data whatever the prediction says: it asks first, and the console marks
  // it before anything is dry run. Its plans take `destructive` from here, so the mark and the
  // question cannot drift apart.
  bool Destroys(const CLI::App& command) const { return destroying.count(&command) > 0; }

 private:
  using VolumePlanner = std::function<Plan(Session&, const Model&, const Vesk::Volume&)>;
  using DriveCall = std::function<void(Session&, const Vesk::Drive&)>;

  void AddViewCommands(CLI::App& app);   // show, metrics
  void AddHealthCommand(CLI::App& app);  // check
  void AddSimCommands(CLI::App& app);
  Plan PlanReset();
  Plan PlanMediaErrors(Session& s);
  void AddVolumeCommands(CLI::App& app);  // VolumeCommands.cc
  void AddCreateVolume(CLI::App& app);
  Plan PlanCreateVolume(Session& s, const CLI::App& create);
  Plan PlanDeleteVolume(Session& s, const Model& before, const Vesk::Volume& v);
  Plan PlanRenameVolume(Session& s, const Model& before, const Vesk::Volume& v);
  Plan PlanExpandVolume(Session& s, const Model& before, const Vesk::Volume& v);
  Plan PlanRebuildVolume(Session& s, const Model& before, const Vesk::Volume& v);
  Plan PlanAcknowledgeDataLoss(Session& s, const Model& before, const Vesk::Volume& v);
  Plan PlanChangeLayout(Session& s, const Model& before, const Vesk::Volume& v);
  Plan PlanSetVolumeCache(Session& s, const Model& before, const Vesk::Volume& v);
  Plan PlanSetVolumeRwh(Session& s, const Model& before, const Vesk::Volume& v);
  void AddElementCommands(CLI::App& app);  // ElementCommands.cc: arrays, drives, controllers
  void AddJobCommands(CLI::App& app);      // JobCommands.cc: jobs, wait
  // `destroys`: the command destroys data (see Destroys).
  CLI::App* VolumeCommand(CLI::App& app, const char* name, const char* help, VolumePlanner plan,
                          Naming naming = Naming::AllowPrefix, bool destroys = false);
  // A command that starts or stops background work, or forces a volume's state.
  CLI::App* WorkCommand(
      CLI::App& app, const char* name, const char* help, const char* operation,
      std::function<void(Session&, const Vesk::DeviceHandle*, const Vesk::vesk_guid&)> call,
      std::function<std::string()> done);
  // `destroys` (the action's verb) makes the command destructive.
  CLI::App* DriveCommand(CLI::App& app, const char* name, const char* help, const char* operation,
                         DriveCall call, std::function<std::string()> done,
                         Naming naming = Naming::AllowPrefix, const char* destroys = nullptr);
  void ControllerCommand(CLI::App& app, const char* name, const char* help, bool rohi);
  // Something that happens to a drive of the simulated machine: `drill` makes it happen and sets
  // the drive now in the drive's place; a status other than Success is the driver refusing with
  // `refused`.
  using Drill = std::function<vesk::sim::DriverStatus(
      vesk::sim::RaidDriver&, const Vesk::vesk_guid& drive, Vesk::vesk_guid& now)>;
  CLI::App* DrillCommand(CLI::App& sim, const char* name, const char* help, const char* refused,
                         Drill drill, const char* done);
  // Follows the work on `volumes` (every volume with `all`) until it ends or --timeout passes.
  Outcome Wait(Session& s, const std::string& label, const std::set<std::string>& volumes,
               bool all);

  Planner planner;
  std::set<const CLI::App*> destroying;
  CLI::App* root = nullptr;
  CLI::App* reset = nullptr;
  CLI::App* show = nullptr;
  CLI::App* metrics = nullptr;
  CLI::App* check = nullptr;
  bool quiet = false;  // check --quiet
  CLI::App* jobs = nullptr;
  CLI::App* wait = nullptr;
  bool history = false;
  std::string topologyFile, advanceText, elementText;
  std::string errorsText, badBlocksText = "0";
  bool blank = false;
  std::string controllerText, volumeText, arrayText, driveText, nameText, levelText, sizeText,
      stripText, policyText, journalText, onOffText;
  std::vector<std::string> driveTexts;
  bool initialize = false, repair = false;
  std::string waitText;
  bool waitAll = false;
  double waitTimeoutSeconds = -1;
};

// Helpers the command files share.
const Vesk::DeviceHandle* DeviceOf(Session& session, const Vesk::vesk_guid& controllerId);
std::string Done(const std::string& what, const Vesk::vesk_guid& id);
std::string Serial(const Vesk::Drive& d);
std::string VolumeLabel(const Vesk::Volume& v);  // volume "Data" (f0d0...)
std::string DriveLabel(const Vesk::Drive& d);    // drive KN2K00004102 (d0e1...)
// array "Array_0000" (a0d0...): the driver names the first array of every controller alike.
std::string ArrayLabel(const Vesk::Array& a);
std::vector<Vesk::vesk_guid> Ids(const std::vector<const Vesk::Drive*>& drives);
nlohmann::json IdTexts(const std::vector<Vesk::vesk_guid>& ids);
nlohmann::json Request(const char* operation, const Vesk::vesk_guid& controllerId);

// The drive `id` as `session` read it; a UsageError when it is gone.
const Vesk::Drive& DriveIn(Session& session, const Vesk::vesk_guid& id);

// The plan of a command that sends one request.
template <typename Send>
Plan Simple(nlohmann::json request, Send send) {
  Plan plan;
  plan.request = std::move(request);
  plan.send = send;
  return plan;
}

}  // namespace veskctl
