// veskctl: see and manage the RAID topology of a Vesk machine, through the RAID driver or an
// embedded simulated machine whose state persists in a state file between runs.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

#include "tools/veskctl/base/Names.h"
#include "tools/veskctl/cli/CommandLine.h"
#include "tools/veskctl/cli/Commands.h"
#include "tools/veskctl/cli/Render.h"
#include "tools/veskctl/cli/Validate.h"
#include "tools/veskctl/console/Console.h"
#include "tools/veskctl/journal/Audit.h"
#include "tools/veskctl/journal/EventsCommand.h"
#include "tools/veskctl/journal/Journal.h"
#include "tools/veskctl/monitor/Metrics.h"
#include "tools/veskctl/monitor/Monitor.h"
#include "vesk/Exceptions.h"

namespace veskctl {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Options {
  std::string statePath;
  bool json = false;
  bool dryRun = false;
  bool force = false;
  bool system = false;             // work that endangers the system volume is confirmed on purpose
  double lockTimeoutSeconds = -1;  // wait for the state file's lock as long as it takes
  bool readOnly = false;           // the command only reads: no lock, nothing created
  std::uint64_t journalMaxBytes = Journal::kDefaultMaxBytes;
  // The simulated machine, or the RAID driver (the default where there can be one: Windows).
  bool simulate = !VESKCTL_DRIVER_BY_DEFAULT;
};

// A destructive command that was not confirmed.
class NotConfirmed : public UsageError {
 public:
  NotConfirmed(const std::string& message, std::vector<std::string> losses)
      : UsageError(message), losses(std::move(losses)) {}
  std::vector<std::string> losses;
};

void PrintJson(const nlohmann::json& status, const nlohmann::json& body) {
  nlohmann::json document = {{"schemaVersion", kJsonSchemaVersion}, {"status", status}};
  for (auto& [key, value] : body.items()) document[key] = value;
  // Driver texts, arguments and messages may hold bytes that are not UTF-8; they are replaced
  // rather than allowed to end the run.
  std::cout << document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

// `audit`, when the run is journaled, gets the failure as --json shows it; a driver's refusal is
// the outcome "refused", any other failure "failed" unless the run said otherwise.
int Fail(const Options& options, const std::string& kind, const std::string& message,
         std::uint32_t status, std::uint32_t errorCode, int exitCode,
         const nlohmann::json& extra = nlohmann::json::object(), CommandAudit* audit = nullptr) {
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
  } else if (kind == "TaluException") {
    std::cerr << "veskctl: " << message << " (error code " << errorCode << ")\n";
  } else {
    std::cerr << "veskctl: " << message << "\n";
  }
  return exitCode;
}

std::filesystem::path StatePath(const Options& options) {
  return options.statePath.empty() ? StateFile::DefaultPath()
                                   : std::filesystem::path(options.statePath);
}

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

// Whether the work needs --system: it destroys or endangers the system volume.
bool NeedsSystem(const Plan& plan, const Prediction& p) {
  return !plan.drill && !p.refusal && !plan.request.is_null() && EndangersSystem(p.before, p.after);
}

// The dry run answers as the real run would: the driver's refusal fails it the same way.
int PrintDryRun(const Options& options, const Plan& plan, const Prediction& p) {
  const auto losses = Losses(p.before, p.after);
  const bool asks = !plan.drill && !p.refusal && (plan.destructive || !losses.empty());
  const int exitCode = p.refusal ? RefusalExitCode(*p.refusal) : kExitOk;
  if (options.json) {
    const nlohmann::json status = p.refusal ? FailureStatus(p.refusal->kind, p.refusal->message,
                                                            p.refusal->status, p.refusal->errorCode)
                                            : SuccessStatus();
    PrintJson(status, {{"dryRun", true},
                       {"request", plan.request},
                       {"prediction", PredictionJson(p)},
                       {"asksFirst", asks},
                       {"needsSystem", NeedsSystem(plan, p)}});
    return exitCode;
  }
  std::cout << "Dry run: nothing was sent and nothing was saved.\n"
            << "Request: " << RequestText(plan.request) << "\n";
  if (p.refusal) {
    std::cout << "Predicted: the driver refuses it: " << RefusalText(*p.refusal) << "\n";
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
bool Confirm(const Options& options, const Plan& plan, const std::optional<Prediction>& p) {
  // Asking about what the driver will refuse would only be noise, where that is certain.
  if (plan.drill || (p && p->refusal && p->exact)) return true;
  const auto losses = p && !p->refusal ? Losses(p->before, p->after) : std::vector<std::string>{};
  std::string consequences;
  for (const auto& loss : losses) consequences += "\n  - " + loss;
  if (p && NeedsSystem(plan, *p) && !options.system) {
    throw NotConfirmed(
        "refused to " + plan.action +
            ": it endangers the system (boot) volume, which the computer starts "
            "from. It would lose:" +
            consequences +
            "\nNothing was sent. To go ahead all the same, run it again with --system "
            "(and --force where nothing can be asked).",
        losses);
  }
  if (options.force || (!plan.destructive && losses.empty())) return true;
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
  std::string answer;
  std::getline(std::cin, answer);
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

// A volume the command forced online over members holding none of its data keeps a mark of it.
void MarkForced(Session& session, const Prediction& p) {
  for (const auto& [id, v] : p.before.volumes) {
    auto now = p.after.volumes.find(id);
    if (now == p.after.volumes.end() || !Forced(v, now->second)) continue;
    JobBook::ForcedMark mark;
    for (const auto& driveId : v.noData) {
      auto d = p.before.drives.find(driveId);
      mark.members.push_back(d != p.before.drives.end() ? d->second.serial : driveId.ToString());
    }
    mark.atMs = session.ClockMs();
    session.Jobs().MarkForced(id.ToString(), std::move(mark));
  }
}

// The machine's journal; none where there is no place for it (against the RAID driver, without a
// home folder), which leaves the ends of work unjournaled but the command free to run.
std::optional<Journal> JournalFor(const Options& options) {
  try {
    return Journal(Journal::PathFor(StatePath(options), options.simulate), options.journalMaxBytes);
  } catch (const StateFileError&) {
    return std::nullopt;
  }
}

// Opens the session, reads the topology, plans, asks where needed, sends, saves and reports.
// `audit` (null: the run is not journaled) is filled in once the run reaches the machine: a run
// that cannot open the state file or finds no controller acted on nothing.
int Run(const Options& options, const Planner& planner, bool loadState,
        CommandAudit* audit = nullptr) {
  CommandAudit* reached = nullptr;
  try {
    auto opened = options.simulate
                      ? std::make_unique<Session>(
                            StatePath(options),
                            StateFile::Options{options.readOnly, !options.statePath.empty(),
                                               options.lockTimeoutSeconds},
                            loadState)
                      : std::make_unique<Session>(Session::RealDriver{});
    Session& session = *opened;
    session.JournalTo(JournalFor(options));
    session.Refresh();
    const Model before = Model::Of(session);
    if (audit) {
      audit->reached = true;
      reached = audit;
    }
    if (!options.readOnly) session.Jobs().Observe(before, session.ClockMs());
    const Plan plan = planner(session, before);
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
    const Outcome outcome = plan.send(session);
    // A volume it created is known from here on.
    if (reached) reached->element = RequestElement(plan.request, outcome.result, before);
    // A dry run of a command that sends nothing (wait) may move the simulated clock, but saves
    // nothing.
    if (outcome.changed && !options.readOnly && !options.dryRun) {
      if (prediction && plan.startsWork) FollowStartedWork(session, prediction->after);
      if (prediction) MarkForced(session, *prediction);
      session.Save();
    }
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
    if (options.json) {
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
    return kExitOk;
  } catch (const AmbiguousElement& e) {
    return Fail(options, "UsageError", e.what(), 0, 0, kExitUsage, {{"candidates", e.candidates}},
                reached);
  } catch (const NotConfirmed& e) {
    if (reached) reached->outcome = "refused";
    return Fail(options, "UsageError", e.what(), 0, 0, kExitUsage, {{"losses", e.losses}}, reached);
  } catch (const UsageError& e) {
    return Fail(options, "UsageError", e.what(), 0, 0, kExitUsage, nlohmann::json::object(),
                reached);
  } catch (const Vesk::VeskException& e) {
    return Fail(options, "VeskException", std::string(e.Message()), e.Status(), e.ErrorCode(),
                kExitFailed, nlohmann::json::object(), reached);
  } catch (const Vesk::TaluException& e) {
    return Fail(options, "TaluException", std::string(e.Message()), 0, e.ErrorCode(), kExitFailed,
                nlohmann::json::object(), reached);
  } catch (const StateFileError& e) {
    return Fail(options, "state", e.what(), 0, 0, kExitFailed, nlohmann::json::object(), reached);
  } catch (const std::exception& e) {
    return Fail(options, "error", e.what(), 0, 0, kExitFailed, nlohmann::json::object(), reached);
  } catch (...) {
    return Fail(options, "error", "unexpected failure", 0, 0, kExitFailed, nlohmann::json::object(),
                reached);
  }
}

// Runs a configuration command and journals it with its outcome, once that is known. The
// journal failing does not change what the command did, nor its exit code.
int RunJournaled(const Options& options, const Planner& planner, bool loadState,
                 CommandAudit audit) {
  audit.status = SuccessStatus();
  const int exitCode = Run(options, planner, loadState, &audit);
  if (!audit.reached) return exitCode;
  audit.exitCode = exitCode;
  try {
    Journal(Journal::PathFor(StatePath(options), options.simulate), options.journalMaxBytes)
        .Append(CommandRecord(audit));
  } catch (const std::exception& e) {
    std::cerr << "veskctl: the command was carried out but not journaled: " << e.what() << "\n";
  }
  return exitCode;
}

// The commands that run their own loop rather than the one answer of Run (monitor, events) fail
// the same way.
int Guarded(const Options& options, const std::function<int()>& body) {
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

// The monitor runs until it is stopped and prints events, not one answer: it has its own loop.
int Monitor(const Options& options, MonitorOptions monitor, const std::string& metricsListen) {
  return Guarded(options, [&] {
    monitor.simulate = options.simulate;
    monitor.statePath = StatePath(options);
    monitor.pathGiven = !options.statePath.empty();
    monitor.json = options.json;
    monitor.lockTimeoutSeconds = options.lockTimeoutSeconds;
    monitor.dryRun = options.dryRun;
    monitor.journalMaxBytes = options.journalMaxBytes;
    std::unique_ptr<MetricsListener> metrics;
    if (!metricsListen.empty()) {
      metrics = std::make_unique<MetricsListener>(metricsListen);
      monitor.observer = metrics.get();
      std::cerr << "veskctl: serving metrics at http://" << metrics->Address() << "/metrics"
                << std::endl;
    }
    return RunMonitor(monitor);
  });
}

// `events` lists records as they are written, with --follow until it is stopped: not one answer.
int Events(const Options& options, EventsOptions events) {
  return Guarded(options, [&] {
    events.journal = Journal::PathFor(StatePath(options), options.simulate);
    events.json = options.json;
    return RunEvents(events);
  });
}

// The console runs until it is stopped, as the monitor does.
int Serve(const Options& options, ConsoleOptions console, const CLI::App& app) {
  return Guarded(options, [&] {
    console.simulate = options.simulate;
    console.statePath = StatePath(options);
    console.pathGiven = !options.statePath.empty();
    console.journalMaxBytes = options.journalMaxBytes;
    return RunServe(console, app);
  });
}

// --json must hold for a command line that does not parse, so it is looked for by hand.
bool JsonRequested(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--") break;
    if (argument == "--json") return true;
  }
  return false;
}

}  // namespace
}  // namespace veskctl

int main(int argc, char** argv) {
  using namespace veskctl;
  Options options;

  CLI::App app{
      "veskctl - see and manage the RAID topology of a Vesk machine.\n"
      "Talks to the RAID driver (--driver, the default on Windows) or runs against an embedded\n"
      "simulated machine (--simulate, the default elsewhere: the demo topology at first) whose\n"
      "state is kept in a state file between runs. Elements are named by full identifier, by exact "
      "name\n"
      "(drives: serial number) or by a unique identifier prefix (not for commands that destroy\n"
      "data). An argument that fits several elements is refused.\n"
      "Exit codes: 0 success, 1 refused by the driver, failed in the library or cancelled,\n"
      "2 usage error (also: ambiguous element, invalid input, destructive work not confirmed),\n"
      "3 wait timed out, 4 wait: the work finished and a verification found errors or bad "
      "blocks."};
  app.set_help_all_flag("--help-all", "Show help for every command");
  app.set_version_flag("--version", std::string("veskctl ") + VESKCTL_VERSION);
  app.require_subcommand(1);
  // Global options may follow the command too ("veskctl show --json"); subcommands created
  // after this inherit it.
  app.fallthrough();
  app.add_option("--state", options.statePath,
                 "State file of the simulated machine (default: $VESK_STATE, else "
                 "$XDG_STATE_HOME/vesk/veskctl.json or ~/.local/state/vesk/veskctl.json)");
  auto* simulate = app.add_flag("--simulate", options.simulate,
                                std::string("Run against the simulated machine") +
                                    (VESKCTL_DRIVER_BY_DEFAULT ? "" : " (the default)"));
  app.add_flag("--driver{false}", options.simulate,
               std::string("Talk to the RAID driver through device discovery") +
                   (VESKCTL_DRIVER_BY_DEFAULT ? " (the default)" : ""))
      ->excludes(simulate);
  app.add_flag("--json", options.json, "Print JSON (see docs/cli.md) instead of text");
  app.add_flag("--dry-run", options.dryRun,
               "Send nothing and save nothing: print the request and the predicted result");
  app.add_flag("--force", options.force,
               "Do destructive work without asking (needed off a terminal and with --json)");
  app.add_flag("--system", options.system,
               "Allow work that destroys or endangers the system (boot) volume, or gives a drive "
               "that holds it another role (with --force, or a yes at a terminal)");
  app.add_option("--lock-timeout", options.lockTimeoutSeconds,
                 "Give up after S seconds when another run holds the state file (default: wait)")
      ->option_text("S")
      ->check(NumberOption("a number of seconds", true, "0, 5 or 0.5"));
  std::string journalSize;
  app.add_option("--journal-size", journalSize,
                 "Let the journal grow to SIZE before it rotates (it keeps one older file, so "
                 "up to about twice SIZE; default 16MiB)")
      ->option_text("SIZE")
      ->check([](const std::string& text) {
        try {
          ParseByteSize(text);
          return std::string();
        } catch (const UsageError& e) {
          return std::string(e.what());
        }
      });

  Commands commands(app);
  MonitorOptions monitorOptions;
  CLI::App* monitor = AddMonitorCommand(app, monitorOptions);
  std::string metricsListen;
  monitor
      ->add_option("--metrics-listen", metricsListen,
                   "Serve Prometheus metrics at http://ADDR:PORT/metrics while monitoring (ADDR: "
                   "an IPv4 address or an IPv6 address in brackets; PORT 0: any free port, "
                   "named on stderr; see docs/monitoring.md)")
      ->option_text("ADDR:PORT")
      ->excludes("--once");
  EventsOptions eventsOptions;
  CLI::App* events = AddEventsCommand(app, eventsOptions);
  ConsoleOptions consoleOptions;
  CLI::App* serve = AddServeCommand(app, consoleOptions);
  // Hidden (no group): the script is made at build time and installed with veskctl.
  std::string shell;
  auto* completion = app.add_subcommand("completion", "Print a shell completion script")->group("");
  completion->add_option("shell", shell, "bash")->required()->check(CLI::IsMember({"bash"}));

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    if (!JsonRequested(argc, argv)) return app.exit(e);
    PrintJson(SuccessStatus(), {{"help", app.help()}});
    return kExitOk;
  } catch (const CLI::CallForAllHelp& e) {
    if (!JsonRequested(argc, argv)) return app.exit(e);
    PrintJson(SuccessStatus(), {{"help", app.help("", CLI::AppFormatMode::All)}});
    return kExitOk;
  } catch (const CLI::CallForVersion& e) {
    if (!JsonRequested(argc, argv)) return app.exit(e);
    PrintJson(SuccessStatus(), {{"version", VESKCTL_VERSION}});
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    const std::string unknown = UnknownCommand(app, argc, argv);
    options.json = JsonRequested(argc, argv);
    if (!options.json && unknown.empty()) {
      app.exit(e);
      return kExitUsage;
    }
    return Fail(options, "UsageError", unknown.empty() ? e.what() : unknown, 0, 0, kExitUsage);
  }
  if (completion->parsed()) {
    std::cout << BashCompletion(app);
    return kExitOk;
  }
  if (!journalSize.empty()) options.journalMaxBytes = ParseByteSize(journalSize);
  if (monitor->parsed()) return Monitor(options, monitorOptions, metricsListen);
  if (events->parsed()) return Events(options, eventsOptions);
  if (serve->parsed()) return Serve(options, consoleOptions, app);
  options.readOnly = commands.ReadsOnly();
  if (!commands.Configures() || options.dryRun)
    return Run(options, commands.Parsed(), !commands.StartsOver());
  CommandAudit audit;
  audit.argv.assign(argv + 1, argv + argc);
  audit.name = commands.Name();
  return RunJournaled(options, commands.Parsed(), !commands.StartsOver(), std::move(audit));
}
