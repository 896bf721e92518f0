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
#include "tools/veskctl/cli/Health.h"
#include "tools/veskctl/cli/Operation.h"
#include "tools/veskctl/cli/Render.h"
#include "tools/veskctl/cli/Validate.h"
#include "tools/veskctl/console/Console.h"
#include "tools/veskctl/console/ConsoleUsers.h"
#include "tools/veskctl/journal/Audit.h"
#include "tools/veskctl/journal/EventsCommand.h"
#include "tools/veskctl/journal/Journal.h"
#include "tools/veskctl/monitor/Metrics.h"
#include "tools/veskctl/monitor/Monitor.h"
#include "tools/veskctl/service/Service.h"
#include "vesk/Exceptions.h"

namespace veskctl {
namespace {

// The monitor runs until it is stopped and prints events, not one answer: it has its own loop.
int Monitor(const RunOptions& options, MonitorOptions monitor, const std::string& metricsListen) {
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
      metrics = std::make_unique<MetricsListener>(
          metricsListen, Journal::PathFor(monitor.statePath, monitor.simulate));
      monitor.observer = metrics.get();
      std::cerr << "veskctl: serving metrics at http://" << metrics->Address() << "/metrics"
                << std::endl;
    }
    return RunMonitor(monitor);
  });
}

// `events` lists records as they are written, with --follow until it is stopped: not one answer.
int Events(const RunOptions& options, EventsOptions events) {
  return Guarded(options, [&] {
    events.journal = Journal::PathFor(StatePath(options), options.simulate);
    events.json = options.json;
    return RunEvents(events);
  });
}

// The console runs until it is stopped, as the monitor does.
int Serve(const RunOptions& options, ConsoleOptions console, const CLI::App& app) {
  return Guarded(options, [&] {
    console.simulate = options.simulate;
    console.statePath = StatePath(options);
    console.pathGiven = !options.statePath.empty();
    console.journalMaxBytes = options.journalMaxBytes;
    return RunServe(console, app);
  });
}

// The monitor's first look tells the service control manager that the service runs.
class ServiceStarted : public MonitorObserver {
 public:
  explicit ServiceStarted(const std::function<void()>& running) : running(running) {}
  void Refreshed(VESK_Managed::StorageManagementBase&, std::chrono::duration<double>,
                 const std::string&, const Roster&) override {
    if (!told) running();
    told = true;
  }
  void Reported(const MonitorEvent&) override {}

 private:
  const std::function<void()>& running;
  bool told = false;
};

// The global options the service runs with, its paths absolute: it starts in System32, as another
// account, whose default state file is not the one this run sees.
std::vector<std::string> ServiceGlobalArguments(const RunOptions& options,
                                                const std::string& journalSize) {
  std::vector<std::string> arguments = {options.simulate ? "--simulate" : "--driver", "--state",
                                        std::filesystem::absolute(StatePath(options)).string()};
  if (options.lockTimeoutSeconds >= 0) {
    std::ostringstream seconds;
    seconds << options.lockTimeoutSeconds;
    arguments.insert(arguments.end(), {"--lock-timeout", seconds.str()});
  }
  if (!journalSize.empty()) arguments.insert(arguments.end(), {"--journal-size", journalSize});
  return arguments;
}

// `service run`: the monitor, or the console with it. The console runs the monitor itself, as
// its observer, and one process has one monitor (one simulated machine), so with the console the
// service's monitor is the console's, delivering what the service's would. In-process, one stop
// from the service control manager ends both, and the service has no child to lose. Its command
// line is read once the manager has the process, so that one that does not parse stops the
// service with exit code 2 rather than leave the manager waiting.
int RunService(const RunOptions& options, const std::vector<std::string>& arguments,
               ConsoleOptions console, const CLI::App& app) {
  return RunAsService([&](const std::function<void()>& running) {
    return Guarded(options, [&] {
      const ServiceSetup setup = ReadServiceSetup(arguments);
      MonitorOptions monitor = setup.monitor;
      monitor.quiet = true;  // nobody reads the service's output
      if (setup.console) {
        console.listen = "127.0.0.1:" + std::to_string(setup.port);
        console.intervalSeconds = monitor.intervalSeconds;
        console.delivery = monitor;
        console.serving = running;
        return Serve(options, console, app);
      }
      ServiceStarted started(running);
      monitor.observer = &started;
      return Monitor(options, monitor, "");
    });
  });
}

int Service(const RunOptions& options, const ServiceCommand& command,
            const std::string& journalSize, const ConsoleOptions& console, const CLI::App& app) {
  return Guarded(options, [&] {
    try {
      if (command.run->parsed()) return RunService(options, command.arguments, console, app);
      if (command.status->parsed()) return ServiceStatus(options.json);
      if (command.install->parsed())
        InstallService(ServiceGlobalArguments(options, journalSize),
                       ReadServiceSetup(command.arguments), options.json);
      else if (command.uninstall->parsed())
        UninstallService(options.json);
      else if (command.start->parsed())
        StartVeskService(options.json);
      else
        StopVeskService(options.json);
      return kExitOk;
    } catch (const ServiceError& e) {
      return Fail(options, "service", e.what(), 0, e.errorCode, e.exitCode);
    }
  });
}

// `console-user add|remove|list NAME`: people's own tokens for the console.
struct ConsoleUserCommand {
  CLI::App* add = nullptr;
  CLI::App* remove = nullptr;
  CLI::App* list = nullptr;
  std::string name;
};

CLI::App* AddConsoleUserCommand(CLI::App& app, ConsoleUserCommand& command) {
  auto* users = app.add_subcommand(
      "console-user",
      "Give people tokens of their own for the web console (serve), so that the journal names "
      "who did what through it; see docs/console.md");
  users->require_subcommand(1);
  command.add = users->add_subcommand(
      "add", "Make a token for NAME and print it, this once: only a hash of it is kept");
  command.remove =
      users->add_subcommand("remove", "Remove NAME: their token and sessions end at once");
  for (auto* sub : {command.add, command.remove})
    sub->add_option("name", command.name,
                    "A short plain name: up to 32 letters, digits, '.', '_' and '-'")
        ->required();
  command.list =
      users->add_subcommand("list", "List the console's users, with when each was added");
  return users;
}

// Who may act through the console is as much the journal's business as what they did there.
void JournalConsoleUser(const RunOptions& options, const std::string& verb,
                        const std::string& name) {
  CommandAudit audit;
  audit.argv = {"console-user", verb, name};
  audit.name = "console-user " + verb;
  audit.status = SuccessStatus();
  nlohmann::json record = CommandRecord(audit);
  record["detail"] = "console-user " + verb + " " + name + " by " +
                     record["command"]["user"].get<std::string>() + ": ok";
  try {
    Journal(Journal::PathFor(StatePath(options), options.simulate), options.journalMaxBytes)
        .Append(record);
  } catch (const std::exception& e) {
    std::cerr << "veskctl: the journal could not record it: " << e.what() << std::endl;
  }
}

int ConsoleUsers(const RunOptions& options, const ConsoleUserCommand& command) {
  return Guarded(options, [&] {
    if (options.dryRun && !command.list->parsed())
      throw UsageError(
          "console-user: --dry-run is not taken: add and remove change only the "
          "users file, and list changes nothing");
    const auto path = ConsoleUsersPath(ConsoleTokenPath(StatePath(options), options.simulate));
    auto entry = [](const ConsoleUser& user) {
      return nlohmann::json{{"name", user.name}, {"added", user.added}};
    };
    if (command.add->parsed()) {
      const auto [user, token] = AddConsoleUser(path, command.name);
      JournalConsoleUser(options, "add", user.name);
      if (options.json) {
        PrintJson(SuccessStatus(), {{"user", entry(user)}, {"token", token}});
      } else {
        std::cout << token << std::endl;
        std::cerr << "veskctl: " << user.name
                  << " may open the console with the token above, shown this once: the address "
                     "serve prints with this token in place of its own, or the page's sign-in "
                     "form"
                  << std::endl;
      }
    } else if (command.remove->parsed()) {
      const ConsoleUser user = RemoveConsoleUser(path, command.name);
      JournalConsoleUser(options, "remove", user.name);
      if (options.json)
        PrintJson(SuccessStatus(), {{"removed", entry(user)}});
      else
        std::cout << "Removed console user " << user.name << ": their token and sessions end now."
                  << std::endl;
    } else {
      const auto users = ReadConsoleUsers(path);
      nlohmann::json list = nlohmann::json::array();
      for (const auto& user : users) list.push_back(entry(user));
      if (options.json) {
        PrintJson(SuccessStatus(), {{"users", list}});
      } else if (users.empty()) {
        std::cout << "No console users: the console opens with its own token alone." << std::endl;
      } else {
        for (const auto& user : users) std::cout << user.name << "  added " << user.added << "\n";
        std::cout << std::flush;
      }
    }
    return kExitOk;
  });
}

// The options every command takes, before or after its name.
void AddGlobalOptions(CLI::App& app, RunOptions& options, std::string& journalSize) {
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
               "Send nothing and save nothing: print the request and the predicted result "
               "(wait: the work it would wait for, waiting for nothing)");
  app.add_flag("--force", options.force,
               "Do destructive work without asking (needed off a terminal and with --json)");
  app.add_flag("--system", options.system,
               "Allow work that destroys or endangers the system (boot) volume, or gives a drive "
               "that holds it another role (with --force, or a yes at a terminal)");
  app.add_option("--lock-timeout", options.lockTimeoutSeconds,
                 "Give up after S seconds when another run holds the state file (default: wait)")
      ->option_text("S")
      ->check(NumberOption("a number of seconds", true, "0, 5 or 0.5"));
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
}

// The options the console runs its commands with (docs/console.md), taken off the command line
// before it is parsed, so that neither help nor completion offers them to people: --console (the
// first line of standard input is the console's key) and --confirm=VALUE (the confirm value of the
// same command's dry run). Returns the rest.
std::vector<char*> TakeConsoleOptions(int argc, char** argv, RunOptions& options) {
  std::vector<char*> rest(argv, argv + argc);
  for (auto it = rest.begin() + 1; it != rest.end();) {
    const std::string argument = *it;
    // `service install --console` is the service's own option.
    if (argument == "--" || argument == "service") break;
    if (argument == "--console") {
      options.console = true;
    } else if (argument.rfind("--confirm=", 0) == 0) {
      options.confirm = argument.substr(10);
    } else {
      ++it;
      continue;
    }
    it = rest.erase(it);
  }
  return rest;
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
  RunOptions options;
  options.simulate = !VESKCTL_DRIVER_BY_DEFAULT;

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
      "3 wait timed out, 4 wait: the work finished and a verification left errors or bad "
      "blocks,\n5 the console's confirmation missing or stale, 6 monitor --once: a record not "
      "delivered.\ncheck: 0 all well, 1 at risk, 2 failed, 3 could not tell."};
  std::string journalSize;
  AddGlobalOptions(app, options, journalSize);

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
  consoleOptions.destroys = [&commands](const CLI::App& command) {
    return commands.Destroys(command);
  };
  CLI::App* serve = AddServeCommand(app, consoleOptions);
  ConsoleUserCommand consoleUser;
  CLI::App* consoleUsers = AddConsoleUserCommand(app, consoleUser);
  ServiceCommand serviceCommand;
  CLI::App* service = AddServiceCommand(app, serviceCommand);
  // Hidden (no group): the script is made at build time and installed with veskctl.
  std::string shell;
  auto* completion = app.add_subcommand("completion", "Print a shell completion script")->group("");
  completion->add_option("shell", shell, "bash")->required()->check(CLI::IsMember({"bash"}));

  std::vector<char*> arguments = TakeConsoleOptions(argc, argv, options);
  argc = static_cast<int>(arguments.size());
  argv = arguments.data();
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
    options.healthCheck = commands.Checks();
    options.json = JsonRequested(argc, argv);
    if (!options.json && unknown.empty()) {
      app.exit(e);
      // A checker that was given the wrong words cannot tell either.
      return options.healthCheck ? kHealthUnknown : kExitUsage;
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
  if (consoleUsers->parsed()) return ConsoleUsers(options, consoleUser);
  if (service->parsed()) {
    for (auto* takes : {serviceCommand.install, serviceCommand.run})
      if (takes->parsed()) serviceCommand.arguments = takes->remaining();
    return Service(options, serviceCommand, journalSize, consoleOptions, app);
  }
  options.readOnly = commands.ReadsOnly();
  options.healthCheck = commands.Checks();
  options.quiet = commands.Quiet();
  options.command = commands.Name();
  if (!options.confirm.empty() && !options.console)
    return Fail(options, "UsageError", "--confirm is the console's: it needs --console", 0, 0,
                kExitUsage);
  if (options.console) {
    std::getline(std::cin, options.consoleKey);
    if (options.consoleKey.empty())
      return Fail(options, "UsageError",
                  "--console needs the console's key as the first line of standard input", 0, 0,
                  kExitUsage);
    std::getline(std::cin, options.consoleUser);
  }
  if (!commands.Configures() || options.dryRun)
    return CarryOut(options, commands.Parsed(), commands.StartsOver());
  CommandAudit audit;
  audit.argv.assign(argv + 1, argv + argc);
  audit.name = commands.Name();
  audit.console = options.console;
  audit.consoleUser = options.consoleUser;
  return CarryOut(options, commands.Parsed(), commands.StartsOver(), &audit);
}
