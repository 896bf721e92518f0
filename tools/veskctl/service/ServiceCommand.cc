#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>

#include "tools/veskctl/base/Files.h"
#include "tools/veskctl/service/Service.h"

namespace veskctl {

CLI::App* AddServiceCommand(CLI::App& app, ServiceCommand& command) {
  auto* service = app.add_subcommand(
      "service",
      std::string("Run the monitor as the Windows service ") + kServiceName +
          ", started at boot and restarted when it fails (elsewhere systemd does it; see "
          "docs/monitoring.md)");
  service->require_subcommand(1);
  command.install = service->add_subcommand(
      "install",
      "Install the service to run `veskctl monitor` with the global options given before "
      "`service` and the monitor's options given after `install` (--interval, --program, "
      "--program-timeout, --webhook, --webhook-secret, --webhook-timeout, --failure-reminder, "
      "--syslog; see monitor --help); --console [--port "
      "N] serves the web console inside it as well, on 127.0.0.1:N (default " +
          std::to_string(kServiceConsolePort) + "). Needs administrator rights");
  command.uninstall =
      service->add_subcommand("uninstall", "Stop the service if it runs, and remove it");
  command.start = service->add_subcommand("start", "Start the service and wait until it runs");
  command.stop = service->add_subcommand(
      "stop", "Stop the service and wait until it stopped (the journal whole, deliveries saved)");
  command.status = service->add_subcommand(
      "status",
      "Whether the service is installed, its state, the command line it runs and since when it "
      "runs (exit 2 when it is not installed)");
  // Hidden (no group): the service control manager starts it, nobody else.
  command.run =
      service->add_subcommand("run", "What the service control manager starts")->group("");
  // Their options are the monitor's, read by ReadServiceSetup, global ones included: those go
  // before `service`, where the service's command line records them.
  for (auto* takes : {command.install, command.run}) takes->prefix_command()->fallthrough(false);
  return service;
}

ServiceSetup ReadServiceSetup(const std::vector<std::string>& arguments) {
  ServiceSetup setup;
  CLI::App parser{"veskctl service install"};
  parser.name("service install");
  CLI::App* monitor = AddMonitorCommand(parser, setup.monitor);
  CLI::Option* console = monitor->add_flag("--console", setup.console);
  monitor->add_option("--port", setup.port)
      ->check(CLI::Range(1, 65535).description(""))
      ->needs(console);
  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
  reversed.push_back("monitor");
  try {
    parser.parse(reversed);
  } catch (const CLI::ParseError& e) {
    throw UsageError(std::string("service: ") + e.what());
  }
  if (setup.monitor.once)
    throw UsageError("service: --once is not for a service, which runs until it is stopped");
  // Recorded as parsed, so that the service runs what was checked here; a relative path (a
  // program's, the webhook's secret's) would be looked for in the service's own working folder
  // (System32).
  for (const CLI::Option* option : monitor->get_options()) {
    if (option->count() == 0) continue;
    const std::string name = option->get_name();
    setup.arguments.push_back(name);
    if (option->get_expected_max() == 0) continue;  // a flag
    std::string value = option->results().front();
    std::error_code ignored;
    // A program named bare, found nowhere here, is looked for in PATH, as `monitor` does.
    if ((name == "--program" && (value.find_first_of("/\\") != std::string::npos ||
                                 std::filesystem::exists(value, ignored))) ||
        name == "--webhook-secret")
      value = std::filesystem::absolute(value).string();
    setup.arguments.push_back(value);
  }
  return setup;
}

}  // namespace veskctl
