// `veskctl service`: the monitor as a Windows service, `vesk-monitor`, that the service control
// manager starts at boot and restarts when it fails. One source talks to the service control
// manager (ServiceControlWindows), one is what it starts (ServiceRunWindows); elsewhere every
// subcommand says it is for Windows (ServiceElsewhere): systemd runs the monitor there.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/veskctl/monitor/Monitor.h"

namespace CLI {
class App;
}

namespace veskctl {

inline constexpr const char* kServiceName = "vesk-monitor";
inline constexpr const wchar_t* kServiceNameWide = L"vesk-monitor";  // for the system's calls
// The console inside the service listens on the loopback address only, on this port by default.
inline constexpr int kServiceConsolePort = 8743;

// What a service command could not do: its one-line message, the exit code (docs/cli.md) and the
// Windows error behind it (0: none).
class ServiceError : public std::runtime_error {
 public:
  ServiceError(const std::string& message, int exitCode, std::uint32_t errorCode = 0)
      : std::runtime_error(message), exitCode(exitCode), errorCode(errorCode) {}
  int exitCode;
  std::uint32_t errorCode;
};

struct ServiceCommand {
  CLI::App* install = nullptr;
  CLI::App* uninstall = nullptr;
  CLI::App* start = nullptr;
  CLI::App* stop = nullptr;
  CLI::App* status = nullptr;
  CLI::App* run = nullptr;  // hidden: what the service control manager starts
  // install and run: the monitor's options, and --console [--port N], as typed.
  std::vector<std::string> arguments;
};

// Adds `service` and its subcommands to `app`.
CLI::App* AddServiceCommand(CLI::App& app, ServiceCommand& command);

// What the service runs, read from the arguments `install` and `run` take. Throws UsageError.
struct ServiceSetup {
  MonitorOptions monitor;
  bool console = false;
  int port = kServiceConsolePort;
  // The same, as the service's command line records them: paths absolute.
  std::vector<std::string> arguments;
};
ServiceSetup ReadServiceSetup(const std::vector<std::string>& arguments);

// `install`: `globalArguments` are the global options the service runs with (paths absolute).
void InstallService(const std::vector<std::string>& globalArguments, const ServiceSetup& setup,
                    bool json);
void UninstallService(bool json);
void StartVeskService(bool json);
void StopVeskService(bool json);
// Returns the exit code: 0 installed, 2 not installed.
int ServiceStatus(bool json);

// `service run`: hands the process to the service control manager, and runs `work` as the
// service's body. `work` calls `running` once the monitor is going, and returns its exit code once
// a stop (RequestStop) ended it. Returns the exit code.
int RunAsService(const std::function<int(const std::function<void()>& running)>& work);

// The line every service command prints where there is no service control manager.
std::string ServiceElsewhereMessage();

}  // namespace veskctl
