#include "tools/veskctl/cli/Operation.h"

#include <unistd.h>

#include <iostream>
#include <memory>
#include <optional>

#include "tools/veskctl/base/Names.h"
#include "tools/veskctl/base/Secrets.h"
#include "tools/veskctl/base/Stop.h"
#include "tools/veskctl/cli/Explain.h"
#include "tools/veskctl/cli/Health.h"
#include "tools/veskctl/cli/Render.h"
#include "tools/veskctl/cli/Validate.h"
#include "tools/veskctl/journal/Intent.h"
#include "vesk/Exceptions.h"

namespace veskctl {

namespace {

// A destructive command that was not confirmed.
class NotConfirmed : public UsageError {
 public:
  NotConfirmed(const std::string& message, std::vector<std::string> losses)
      : UsageError(message), losses(std::move(losses)) {}
  std::vector<std::string> losses;
};

// The console's confirmation is missing, or is not for what the command would do now.
class NotConfirmedNow : public UsageError {
 public:
  using UsageError::UsageError;
};

// Ctrl+C or SIGTERM came before the command was carried out: nothing was done.
class Interrupted : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ChangedSinceDryRun : public NotConfirmedNow {
 public:
  explicit ChangedSinceDryRun(const std::string& command)
      : NotConfirmedNow("refused to " + command +
                        ": what it acts on changed since the dry run (renamed, or its state moved "
                        "on). Nothing was done. Dry run it again.") {}
};

// "CreateVolume controllerId=... parameters.name=x driveIds=a,b"
std::string RequestText(const nlohmann::json& request, const std::string& prefix = "") {
  std::string text;
  for (const auto& [key, value] : request.items()) {
    if (prefix.empty() && key == "operation") continue;
    if (value.is_object()) {
      text += RequestText(value, prefix + key + ".");
      continue;
    }
    std::string shown;
    if (value.is_array()) {
      for (const auto& item : value)
        shown +=
            (shown.empty() ? "" : ",") + (item.is_string() ? item.get<std::string>() : item.dump());
    } else {
      shown = value.is_string() ? value.get<std::string>() : value.dump();
    }
    text += " " + prefix + key + "=" + shown;
  }
  return prefix.empty() ? request.value("operation", "") + text : text;
}

// The driver's refusal as the real run reports it on stderr, for the dry run's prediction.
std::string RefusalText(const Refusal& r) {
  if (r.kind == "VeskException") {
    const DriverStatusWords words = WordsForDriverStatus(r.status);
    return r.message + " (driver status " + std::to_string(r.status) + ": " + words.name +
           " \u2014 " + words.text + ")";
  }
  if (r.kind == "TaluException")
    return r.message + " (error code " + std::to_string(r.errorCode) + ")";
  return r.message;
}

int RefusalExitCode(const Refusal& r) { return r.kind == "UsageError" ? kExitUsage : kExitFailed; }

// Whether the work needs --system: it destroys or endangers the system volume. Starting the
// simulated machine over endangers no computer: the system volume it replaces is as simulated as
// the rest, and the loss is asked about like any other.
bool NeedsSystem(const Plan& plan, const Prediction& p) {
  return !plan.drill && !p.refusal && !p.startsOver && !plan.request.is_null() &&
         EndangersSystem(p.before, p.after);
}

// Whether the command destroys something, so that it asks first (or needs --force). A command
// that loses nothing asks nothing, `sim reset` too: starting a machine over that holds nothing
// made since is no decision to confirm.
bool AsksFirst(const Plan& plan, const Prediction& p) {
  return !plan.drill && !p.refusal && (plan.destructive || !Losses(p).empty());
}

// The console's confirm value goes with the prediction it was made from: given for what would now
// be refused, or no longer destroys anything, or destroys something else, it was given for
// something else. A page that named a volume since renamed must not act on another by that name.
void CheckConsoleConfirmation(const RunOptions& options, const Plan& plan,
                              const std::optional<Prediction>& p) {
  const bool asks = p && AsksFirst(plan, *p);
  if (!options.confirm.empty()) {
    if (!asks || !SameSecret(options.confirm, ConfirmValue(plan.request, PredictionJson(*p),
                                                           options.system, options.consoleKey)))
      throw ChangedSinceDryRun(options.command);
  } else if (asks) {
    throw NotConfirmedNow("refused to " + options.command +
                          " without confirmation: it destroys data. Dry run it first and send the "
                          "confirm value it returned. Nothing was done.");
  }
}

// The dry run answers as the real run would: the driver's refusal fails it the same way.
int PrintDryRun(const RunOptions& options, const Plan& plan, const Prediction& p) {
  const bool asks = AsksFirst(plan, p);
  const int exitCode = p.refusal ? RefusalExitCode(*p.refusal) : kExitOk;
  if (options.json) {
    nlohmann::json status = p.refusal ? FailureStatus(p.refusal->kind, p.refusal->message,
                                                      p.refusal->status, p.refusal->errorCode)
                                      : SuccessStatus();
    if (p.refusal)
      if (const std::string why = ExplainRefusal(p.before, plan.request); !why.empty())
        status["explanation"] = why;
    nlohmann::json body = {{"dryRun", true},
                           {"request", plan.request},
                           {"prediction", PredictionJson(p)},
                           {"asksFirst", asks},
                           {"needsSystem", NeedsSystem(plan, p)}};
    if (options.console && asks)
      body["confirm"] =
          ConfirmValue(plan.request, body["prediction"], options.system, options.consoleKey);
    PrintJson(status, body);
    return exitCode;
  }
  std::cout << "Dry run: nothing was sent and nothing was saved.\n"
            << "Request: " << RequestText(plan.request) << "\n";
  if (p.refusal) {
    std::cout << "Predicted: the driver refuses it: " << RefusalText(*p.refusal) << "\n";
    if (const std::string why = ExplainRefusal(p.before, plan.request); !why.empty())
      std::cout << "Why: " << why << "\n";
    return exitCode;
  }
  std::cout << "Predicted:\n" << PredictionText(p);
  if (NeedsSystem(plan, p))
    std::cout << "It endangers the system (boot) volume: without --dry-run it needs --system as "
                 "well.\n";
  if (asks) std::cout << "Without --dry-run it asks first (or needs --force).\n";
  return kExitOk;
}

// Destructive work goes ahead only when the user says so at a terminal, or with --force; work
// that endangers the system volume needs --system as well. Returns false when the user declined.
bool Confirm(const RunOptions& options, const Plan& plan, const std::optional<Prediction>& p) {
  // Asking about what the driver will refuse would only be noise, where that is certain.
  if (options.console) CheckConsoleConfirmation(options, plan, p);
  if (plan.drill || (p && p->refusal && p->exact)) return true;
  const auto losses = p && !p->refusal ? Losses(*p) : std::vector<std::string>{};
  std::string consequences;
  for (const auto& loss : losses) consequences += "\n  - " + loss;
  if (p && NeedsSystem(plan, *p) && !options.system) {
    // Work on the system volume itself always loses something; without a loss, a drive it is
    // kept on changes role.
    const std::string why =
        losses.empty()
            ? " Nothing is predicted lost, but it gives a drive that holds the system volume (a "
              "member of its array, or a drive the driver flags as a system drive) another role, "
              "and the computer may not start without that drive."
            : " It would lose:" + consequences;
    throw NotConfirmed("refused to " + plan.action +
                           ": it endangers the system (boot) volume, which the computer starts "
                           "from." +
                           why +
                           "\nNothing was sent. To go ahead all the same, run it again with "
                           "--system (and --force where nothing can be asked).",
                       losses);
  }
  if (options.force || options.console || (!plan.destructive && losses.empty())) return true;
  if (consequences.empty()) consequences = "\n  - no data, as far as the topology tells";
  if (options.json || !::isatty(STDIN_FILENO) || !::isatty(STDERR_FILENO)) {
    throw NotConfirmed("refused to " + plan.action + " without --force" +
                           (options.json ? " (--json never asks)"
                                         : " (not on a terminal, so nothing could be asked)") +
                           ". It would lose:" + consequences +
                           "\nNothing was sent. Run it again with --force to go ahead.",
                       losses);
  }
  std::cerr << "veskctl is about to " << plan.action << ". This loses:" << consequences
            << "\nGo on? Type yes or no: " << std::flush;
  const auto line = ReadLineUnlessStopped();
  if (!line) {
    std::cerr << "\n";
    throw Interrupted("cancelled: stopped at the question (Ctrl+C or SIGTERM); nothing was done");
  }
  std::string answer = *line;
  answer.erase(0, answer.find_first_not_of(" \t\r"));
  answer.erase(answer.find_last_not_of(" \t\r") + 1);
  for (auto& c : answer) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (answer == "yes" || answer == "y") return true;
  std::cerr << "Cancelled.\n";
  return false;
}

// Work the command started is remembered from its start, with the layout it was predicted to
// reach. The command was carried out whatever happens here: a reading that fails is left to the
// next run, which sees the work as running since then.
void FollowStartedWork(Session& session, const Model& predicted) {
  try {
    session.Refresh();
    session.Jobs().Observe(Model::Of(session), session.ClockMs(), &predicted);
  } catch (const std::exception&) {
  }
}

// What the command lost is marked at once, not at the next look: the simulated driver's marks as
// it keeps them; against the RAID driver, which keeps none, a volume failed, or forced online
// over members the prediction says held none of its data. A machine started over is the
// topology's, with nothing lost.
void MarkLosses(Session& session, const Prediction& p) {
  try {
    session.Refresh();
    const Model now = Model::Of(session);
    session.Jobs().FollowLosses(now, session.ClockMs());
    if (p.startsOver) return;
    for (const auto& [id, v] : p.before.volumes) {
      auto after = p.after.volumes.find(id);
      auto seen = now.volumes.find(id);
      if (after == p.after.volumes.end() || seen == now.volumes.end() ||
          seen->second.membersKnown || !Forced(v, after->second))
        continue;
      JobBook::DataLossMark mark;
      for (const auto& driveId : v.noData) {
        auto d = p.before.drives.find(driveId);
        mark.members.push_back(d != p.before.drives.end() ? d->second.serial : driveId.ToString());
      }
      mark.atMs = session.ClockMs();
      mark.forced = true;
      session.Jobs().MarkDataLost(id.ToString(), v.name, v.size, std::move(mark));
    }
  } catch (const std::exception&) {
    // The command was carried out; the next look marks what this one could not read.
  }
}

// The machine's journal; none where there is no place for it (against the RAID driver, without a
// home folder), which leaves the ends of work unjournaled but the command free to run.
std::optional<Journal> JournalFor(const RunOptions& options) {
  try {
    return Journal(Journal::PathFor(StatePath(options), options.simulate), options.journalMaxBytes);
  } catch (const StateFileError&) {
    return std::nullopt;
  }
}

// One run of CarryOut. The session, and with it the machine's lock, lives as long as the
// operation, so that the journal record is written before another run can change the machine.
class Operation {
 public:
  Operation(const RunOptions& options, CommandAudit* audit) : options(options), audit(audit) {}

  int Run(const Planner& planner, bool startsOver) {
    if (audit) audit->status = SuccessStatus();
    const int exitCode = Guard([&] { return Steps(planner, startsOver); });
    JournalOutcome(exitCode);
    return exitCode;
  }

 private:
  int Steps(const Planner& planner, bool startsOver) {
    // A journaled command that is stopped (Ctrl+C, SIGTERM) before it acts is recorded as
    // cancelled; once it acts, it runs to its end and its record.
    if (audit) CatchStopSignals();
    Session& session = Open(startsOver);
    const Model before = Model::Of(session);
    // A run that could not open the machine and read it (the state file locked or unusable, no
    // controller found) acted on nothing and leaves no record.
    reached = audit;
    if (!options.readOnly) session.Jobs().Observe(before, session.ClockMs());
    const Plan plan = planner(session, before);
    // What a refusal is explained from: the machine as this run read it.
    explainFrom = before;
    refusedRequest = plan.request;
    if (reached) {
      reached->request = plan.request;
      reached->element = RequestElement(plan.request, nullptr, before);
    }
    std::optional<Prediction> prediction;
    if (!plan.request.is_null())
      prediction = Predict(session, [&plan](Session& trial) { plan.send(trial); });
    if (options.dryRun && prediction) return PrintDryRun(options, plan, *prediction);
    if (!Confirm(options, plan, prediction)) {
      if (reached) {
        reached->outcome = "cancelled";
        reached->status = FailureStatus("error", "cancelled: the answer was not yes", 0, 0);
      }
      return kExitFailed;
    }
    if (audit && StopRequested())
      throw Interrupted("cancelled: stopped before it was carried out (Ctrl+C or SIGTERM)");
    if (reached) Intend();
    acting = true;
    const Outcome outcome = plan.send(session);
    // A volume it created is known from here on.
    if (reached) reached->element = RequestElement(plan.request, outcome.result, before);
    // A dry run of a command that sends nothing (jobs, wait) saves nothing either.
    if (outcome.changed && !options.readOnly && !options.dryRun) {
      if (prediction && plan.startsWork) FollowStartedWork(session, prediction->after);
      if (prediction) MarkLosses(session, *prediction);
      session.Save();
    }
    return Report(outcome);
  }

  // Before it acts, the command leaves its record as it stands (outcome unknown), so that a run
  // killed between acting and journaling is still journaled by the next writer. A command that
  // cannot leave it is not carried out: a storage tool that changes a machine where its journal
  // cannot follow leaves a change nobody can trace, while a refusal only costs a retry once the
  // folder can be written. Where there is no journal (the RAID driver without a home folder)
  // there is nothing to leave it in, and the command runs unjournaled, as it always has.
  void Intend() {
    const auto journal = JournalFor(options);
    if (!journal) return;
    try {
      intent = std::make_unique<Intent>(*journal, *reached);
    } catch (const StateFileError& e) {
      throw StateFileError("cannot record " + options.command +
                           " before carrying it out: " + e.what() + ". Nothing was done.");
    }
  }

  Session& Open(bool startsOver) {
    opened = options.simulate ? std::make_unique<Session>(
                                    StatePath(options),
                                    StateFile::Options{options.readOnly, !options.statePath.empty(),
                                                       options.lockTimeoutSeconds},
                                    startsOver ? SavedMachine::StartingOver : SavedMachine::Load)
                              : std::make_unique<Session>(Session::RealDriver{});
    opened->JournalTo(JournalFor(options));
    opened->Refresh();
    return *opened;
  }

  int Report(const Outcome& outcome) {
    if (outcome.exitCode != kExitOk) {
      if (reached) {
        reached->outcome = "failed";
        reached->status = FailureStatus(outcome.failureKind, outcome.failureMessage, 0, 0);
        reached->message = outcome.failureMessage;
      }
      if (!options.json)
        return Fail(options, outcome.failureKind, outcome.failureMessage, 0, 0, outcome.exitCode);
      PrintJson(FailureStatus(outcome.failureKind, outcome.failureMessage, 0, 0),
                {{"result", outcome.result}});
      return outcome.exitCode;
    }
    if (outcome.quiet) {
    } else if (options.json) {
      nlohmann::json body = nlohmann::json::object();
      if (outcome.view) {
        body = outcome.result;
      } else if (!outcome.result.is_null()) {
        body["result"] = outcome.result;
      }
      PrintJson(SuccessStatus(), body);
    } else if (!outcome.text.empty()) {
      std::cout << outcome.text;
      if (outcome.text.back() != '\n') std::cout << "\n";
    }
    return outcome.verdict >= 0 ? outcome.verdict : kExitOk;
  }

  // Runs `steps`, turning what they throw into the failure the user sees.
  int Guard(const std::function<int()>& steps) {
    const auto none = nlohmann::json::object();
    try {
      return steps();
    } catch (const Interrupted& e) {
      if (reached) reached->outcome = "cancelled";
      return Fail(options, "error", e.what(), 0, 0, kExitFailed, none, reached);
    } catch (const NotConfirmedNow& e) {
      if (reached) reached->outcome = "refused";
      return Fail(options, "UsageError", e.what(), 0, 0, kExitNotConfirmed, none, reached);
    } catch (const AmbiguousElement& e) {
      if (ConfirmedForSomethingElse()) return Changed();
      return Fail(options, "UsageError", e.what(), 0, 0, kExitUsage, {{"candidates", e.candidates}},
                  reached);
    } catch (const NotConfirmed& e) {
      if (reached) reached->outcome = "refused";
      return Fail(options, "UsageError", e.what(), 0, 0, kExitUsage, {{"losses", e.losses}},
                  reached);
    } catch (const UsageError& e) {
      if (ConfirmedForSomethingElse()) return Changed();
      return Fail(options, "UsageError", e.what(), 0, 0, kExitUsage, none, reached);
    } catch (const Vesk::VeskException& e) {
      nlohmann::json extra = nlohmann::json::object();
      if (explainFrom)
        if (const std::string why = ExplainRefusal(*explainFrom, refusedRequest); !why.empty())
          extra["explanation"] = why;
      return Fail(options, "VeskException", std::string(e.Message()), e.Status(), e.ErrorCode(),
                  kExitFailed, extra, reached);
    } catch (const Vesk::TaluException& e) {
      return Fail(options, "TaluException", std::string(e.Message()), 0, e.ErrorCode(), kExitFailed,
                  none, reached);
    } catch (const StateFileError& e) {
      return Fail(options, "state", e.what(), 0, 0, kExitFailed, none, reached);
    } catch (const std::exception& e) {
      return Fail(options, "error", e.what(), 0, 0, kExitFailed, none, reached);
    } catch (...) {
      return Fail(options, "error", "unexpected failure", 0, 0, kExitFailed, none, reached);
    }
  }

  // A confirm value given for a command whose names no longer resolve was given for something
  // else: the dry run it came from named other elements.
  bool ConfirmedForSomethingElse() const {
    return options.console && !options.confirm.empty() && !acting;
  }
  int Changed() {
    if (reached) reached->outcome = "refused";
    return Fail(options, "UsageError", ChangedSinceDryRun(options.command).what(), 0, 0,
                kExitNotConfirmed, nlohmann::json::object(), reached);
  }

  // Journals a configuration command with its outcome, while the machine is still held, after
  // the commands of runs that died before they could (made before this one). The journal failing
  // does not change what the command did, nor its exit code; its intent then stays, to be
  // journaled by the next writer.
  void JournalOutcome(int exitCode) {
    if (!reached) return;
    reached->exitCode = exitCode;
    try {
      const Journal journal(Journal::PathFor(StatePath(options), options.simulate),
                            options.journalMaxBytes);
      CloseAbandonedIntents(journal);
      journal.Append(CommandRecord(*reached));
      if (intent) intent->Close();
    } catch (const std::exception& e) {
      std::cerr << "veskctl: the command was carried out but not journaled: " << e.what() << "\n";
      if (intent)
        std::cerr << "veskctl: its record stays beside the journal, and is journaled with the "
                     "outcome unknown by the next run that can write the journal\n";
    }
  }

  const RunOptions& options;
  CommandAudit* const audit;
  CommandAudit* reached = nullptr;  // `audit`, once the run has read the machine
  bool acting = false;              // the request is being carried out
  std::optional<Model> explainFrom;
  nlohmann::json refusedRequest;
  std::unique_ptr<Session> opened;
  std::unique_ptr<Intent> intent;  // held from just before it acts until its record is journaled
};

}  // namespace

std::filesystem::path StatePath(const RunOptions& options) {
  return options.statePath.empty() ? StateFile::DefaultPath()
                                   : std::filesystem::path(options.statePath);
}

void PrintJson(const nlohmann::json& status, const nlohmann::json& body) {
  nlohmann::json document = {{"schemaVersion", kJsonSchemaVersion}, {"status", status}};
  for (auto& [key, value] : body.items()) document[key] = value;
  // Driver texts, arguments and messages may hold bytes that are not UTF-8; they are replaced
  // rather than allowed to end the run.
  std::cout << document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

int Fail(const RunOptions& options, const std::string& kind, const std::string& message,
         std::uint32_t status, std::uint32_t errorCode, int exitCode, const nlohmann::json& extra,
         CommandAudit* audit) {
  // A health check that cannot tell says so as checkers expect, whatever kept it from telling.
  if (options.healthCheck) {
    if (options.json && !options.quiet) {
      nlohmann::json failure = FailureStatus(kind, message, status, errorCode);
      failure.update(extra);
      PrintJson(failure, {{"health", "unknown"}, {"exitCode", kHealthUnknown}});
    } else if (!options.quiet) {
      std::cout << "UNKNOWN: " << message << "\n";
    }
    return kHealthUnknown;
  }
  nlohmann::json failure = FailureStatus(kind, message, status, errorCode);
  failure.update(extra);
  if (audit) {
    if (audit->outcome == "ok") audit->outcome = kind == "VeskException" ? "refused" : "failed";
    audit->status = failure;
    audit->message = message;
  }
  if (options.json) {
    PrintJson(failure, nlohmann::json::object());
  } else if (kind == "VeskException") {
    const DriverStatusWords words = WordsForDriverStatus(status);
    std::cerr << "veskctl: " << message << " (driver status " << status << ": " << words.name
              << " \u2014 " << words.text << ")\n";
    if (extra.contains("explanation"))
      std::cerr << "veskctl: " << extra["explanation"].get<std::string>() << "\n";
  } else if (kind == "TaluException") {
    std::cerr << "veskctl: " << message << " (error code " << errorCode << ")\n";
  } else {
    std::cerr << "veskctl: " << message << "\n";
  }
  return exitCode;
}

int Guarded(const RunOptions& options, const std::function<int()>& body) {
  try {
    return body();
  } catch (const UsageError& e) {
    return Fail(options, "UsageError", e.what(), 0, 0, kExitUsage);
  } catch (const StateFileError& e) {
    return Fail(options, "state", e.what(), 0, 0, kExitFailed);
  } catch (const std::exception& e) {
    return Fail(options, "error", e.what(), 0, 0, kExitFailed);
  }
}

int CarryOut(const RunOptions& options, const Planner& planner, bool startsOver,
             CommandAudit* audit) {
  return Operation(options, audit).Run(planner, startsOver);
}

std::string ConfirmValue(const nlohmann::json& request, const nlohmann::json& prediction,
                         bool system, const std::string& key) {
  return Sha1Hex(request.dump() + "\n" + prediction.dump() + "\n" + (system ? "--system" : "") +
                 "\n" + key);
}

}  // namespace veskctl
