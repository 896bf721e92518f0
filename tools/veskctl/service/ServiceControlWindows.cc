// The service control manager's side of `veskctl service`: install, uninstall, start, stop, status.
#include <chrono>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "platform/win32.h"
#include "tools/veskctl/base/Json.h"
#include "tools/veskctl/base/WindowsText.h"
#include "tools/veskctl/service/Service.h"

namespace veskctl {

namespace {

const wchar_t* const kEventSourceKey =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\veskctl";

// One argument as CommandLineToArgvW reads it back, bare where it can be: the service's command
// line is shown to people (status, the Services console).
std::wstring Quoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
    return argument;
  return QuotedArgument(argument);
}

std::wstring ThisProgram() {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path;
}

struct CloseService {
  void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using Handle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, CloseService>;

// What the service control manager refused, as one line; `doing` says what was being done.
[[noreturn]] void Refused(const std::string& doing, DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
      throw ServiceError("service: administrator rights are needed to " + doing, 1, error);
    case ERROR_SERVICE_DOES_NOT_EXIST:
      throw ServiceError(std::string("service: ") + kServiceName +
                             " is not installed (veskctl service install installs it)",
                         2, error);
    case ERROR_SERVICE_EXISTS:
    case ERROR_DUPLICATE_SERVICE_NAME:
      throw ServiceError(std::string("service: ") + kServiceName +
                             " is installed already (veskctl service uninstall removes it)",
                         2, error);
    case ERROR_SERVICE_MARKED_FOR_DELETE:
      throw ServiceError(std::string("service: ") + kServiceName +
                             " is being removed: close what holds it open (the Services window) "
                             "and try again",
                         1, error);
    default:
      throw ServiceError("service: cannot " + doing + " (error " + std::to_string(error) + ")", 1,
                         error);
  }
}

Handle Manager(DWORD access) {
  Handle manager(OpenSCManagerW(nullptr, nullptr, access));
  if (!manager) Refused("reach the service control manager", GetLastError());
  return manager;
}

Handle Open(SC_HANDLE manager, DWORD access, const std::string& doing) {
  Handle service(OpenServiceW(manager, kServiceNameWide, access));
  if (!service) Refused(doing, GetLastError());
  return service;
}

SERVICE_STATUS_PROCESS Query(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                            sizeof status, &needed))
    Refused("read the service's state", GetLastError());
  return status;
}

std::string StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "stopped";
    case SERVICE_START_PENDING:
      return "starting";
    case SERVICE_STOP_PENDING:
      return "stopping";
    case SERVICE_RUNNING:
      return "running";
    case SERVICE_CONTINUE_PENDING:
      return "continuing";
    case SERVICE_PAUSE_PENDING:
      return "pausing";
    case SERVICE_PAUSED:
      return "paused";
    default:
      return "unknown";
  }
}

// Waits while the service is in `pending`, as long as it keeps its checkpoints moving within its
// wait hints, and at most two minutes in all. Returns the state it settled in; throws on a
// time-out.
SERVICE_STATUS_PROCESS Settle(SC_HANDLE service, DWORD pending, const std::string& doing) {
  using Clock = std::chrono::steady_clock;
  const auto giveUp = Clock::now() + std::chrono::minutes(2);
  SERVICE_STATUS_PROCESS status = Query(service);
  DWORD checkpoint = status.dwCheckPoint;
  auto moved = Clock::now();
  while (status.dwCurrentState == pending) {
    const DWORD hint = std::max<DWORD>(status.dwWaitHint, 1000);
    const auto now = Clock::now();
    if (now > giveUp || now - moved > std::chrono::milliseconds(hint) + std::chrono::seconds(10))
      throw ServiceError(
          "service: " + std::string(kServiceName) + " is still " + StateName(pending) + " after " +
              std::to_string(
                  std::chrono::duration_cast<std::chrono::seconds>(now - moved).count()) +
              " s without progress: gave up waiting to " + doing,
          3);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::clamp<DWORD>(hint / 10, 100, 1000)));
    status = Query(service);
    if (status.dwCheckPoint != checkpoint) {
      checkpoint = status.dwCheckPoint;
      moved = Clock::now();
    }
  }
  return status;
}

void PrintDone(bool json, const std::string& text, const nlohmann::json& service) {
  if (json) {
    nlohmann::json document = {
        {"schemaVersion", kJsonSchemaVersion}, {"status", SuccessStatus()}, {"service", service}};
    std::cout << document.dump(2) << std::endl;
  } else {
    std::cout << text << std::endl;
  }
}

// Stops the service, when it runs, and waits until it stopped.
SERVICE_STATUS_PROCESS StopAndWait(SC_HANDLE service, bool refuseStopped) {
  SERVICE_STATUS_PROCESS status = Query(service);
  if (status.dwCurrentState == SERVICE_STOPPED) {
    if (refuseStopped)
      throw ServiceError(std::string("service: ") + kServiceName + " is not running", 2,
                         ERROR_SERVICE_NOT_ACTIVE);
    return status;
  }
  if (status.dwCurrentState != SERVICE_STOP_PENDING) {
    SERVICE_STATUS plain{};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &plain)) {
      const DWORD error = GetLastError();
      // It stopped meanwhile, or is still starting: wait for either.
      if (error == ERROR_SERVICE_NOT_ACTIVE) return Query(service);
      if (error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL) {
        Settle(service, SERVICE_START_PENDING, "stop it");
        return StopAndWait(service, refuseStopped);
      }
      Refused("stop " + std::string(kServiceName), error);
    }
  }
  return Settle(service, SERVICE_STOP_PENDING, "stop it");
}

void RemoveEventSource() {
  const LSTATUS removed = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
  if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND)
    Refused("remove the event source of the Application log", static_cast<DWORD>(removed));
}

// The Application log names veskctl's records by the message table compiled into this program.
// True when the key was made here (and so is the install's to take back).
bool AddEventSource(const std::wstring& program) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  LSTATUS result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0,
                                   KEY_SET_VALUE, nullptr, &key, &disposition);
  if (result != ERROR_SUCCESS)
    Refused("register the event source of the Application log", static_cast<DWORD>(result));
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  result = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                          reinterpret_cast<const BYTE*>(program.c_str()),
                          static_cast<DWORD>((program.size() + 1) * sizeof(wchar_t)));
  if (result == ERROR_SUCCESS)
    result = RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&types), sizeof types);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) {
    if (disposition == REG_CREATED_NEW_KEY) RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
    Refused("register the event source of the Application log", static_cast<DWORD>(result));
  }
  return disposition == REG_CREATED_NEW_KEY;
}

// A setting that the system does not know (ERROR_INVALID_LEVEL: Wine's service control manager,
// say, which lacks some of the hardening ones) is left out with a warning, rather than keep the
// monitor from running at all; Windows knows them all.
void Configure(SC_HANDLE service, DWORD level, void* info, const std::string& what,
               bool hardening = false) {
  if (ChangeServiceConfig2W(service, level, info)) return;
  const DWORD error = GetLastError();
  if (hardening && error == ERROR_INVALID_LEVEL) {
    std::cerr << "veskctl: warning: this system does not take the service's " << what << " (error "
              << error << "): the service runs without it" << std::endl;
    return;
  }
  Refused("set the service's " + what, error);
}

// Everything but the service itself, which the caller deletes when this throws.
void ConfigureService(SC_HANDLE service) {
  std::wstring description =
      L"Follows the Vesk RAID machine: records every change in veskctl's journal and delivers it "
      L"(veskctl monitor).";
  SERVICE_DESCRIPTIONW text{description.data()};
  Configure(service, SERVICE_CONFIG_DESCRIPTION, &text, "description");

  // Restarted after 10 s, 60 s and then every 5 min; a day without failing starts the count anew.
  SC_ACTION actions[] = {{SC_ACTION_RESTART, 10 * 1000},
                         {SC_ACTION_RESTART, 60 * 1000},
                         {SC_ACTION_RESTART, 5 * 60 * 1000}};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = 24 * 60 * 60;
  failure.cActions = 3;
  failure.lpsaActions = actions;
  Configure(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure, "recovery actions");
  // A monitor that ends with an exit code other than 0 failed too, not only one that crashed.
  SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
  Configure(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag, "recovery on failure exits", true);

  // LocalSystem opens the RAID driver's device; of its privileges the monitor needs none but
  // the one every process has.
  wchar_t privileges[] = L"SeChangeNotifyPrivilege\0";
  SERVICE_REQUIRED_PRIVILEGES_INFOW required{privileges};
  Configure(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &required, "privileges", true);
  SERVICE_SID_INFO sid{SERVICE_SID_TYPE_UNRESTRICTED};
  Configure(service, SERVICE_CONFIG_SERVICE_SID_INFO, &sid, "service SID", true);
  SERVICE_PRESHUTDOWN_INFO preshutdown{30 * 1000};
  Configure(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown, "shutdown time", true);
}

// The process's start time, as ISO 8601 UTC, or empty.
std::string StartedAt(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return {};
  FILETIME created{}, exited{}, kernel{}, user{};
  SYSTEMTIME utc{};
  const bool read = GetProcessTimes(process, &created, &exited, &kernel, &user) &&
                    FileTimeToSystemTime(&created, &utc);
  CloseHandle(process);
  if (!read) return {};
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", utc.wYear, utc.wMonth,
                utc.wDay, utc.wHour, utc.wMinute, utc.wSecond);
  return text;
}

std::string CommandLineOf(SC_HANDLE service) {
  DWORD needed = 0;
  QueryServiceConfigW(service, nullptr, 0, &needed);
  std::vector<unsigned char> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (needed == 0 || !QueryServiceConfigW(service, config, needed, &needed))
    Refused("read the service's configuration", GetLastError());
  return Utf8(config->lpBinaryPathName ? config->lpBinaryPathName : L"");
}

}  // namespace

void InstallService(const std::vector<std::string>& globalArguments, const ServiceSetup& setup,
                    bool json) {
  const std::wstring program = ThisProgram();
  std::wstring line = Quoted(program);
  std::vector<std::string> arguments = globalArguments;
  arguments.insert(arguments.end(), {"service", "run"});
  arguments.insert(arguments.end(), setup.arguments.begin(), setup.arguments.end());
  for (const auto& argument : arguments) line += L" " + Quoted(Utf16(argument));

  Handle manager = Manager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
  // The account is LocalSystem (no name): see docs/monitoring.md.
  Handle service(CreateServiceW(manager.get(), kServiceNameWide, L"Vesk monitor",
                                SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                SERVICE_ERROR_NORMAL, line.c_str(), nullptr, nullptr, nullptr,
                                nullptr, nullptr));
  if (!service) Refused("install " + std::string(kServiceName), GetLastError());
  // A failed install changes nothing: what was done is taken back.
  bool madeSource = false;
  try {
    ConfigureService(service.get());
    madeSource = AddEventSource(program);
  } catch (...) {
    if (madeSource) RemoveEventSource();
    DeleteService(service.get());
    throw;
  }
  const std::string recorded = Utf8(line);
  PrintDone(json,
            std::string("Installed ") + kServiceName +
                " (starts at boot; veskctl service start starts it now): " + recorded,
            {{"name", kServiceName}, {"installed", true}, {"commandLine", recorded}});
}

void UninstallService(bool json) {
  Handle manager = Manager(SC_MANAGER_CONNECT);
  Handle service = Open(manager.get(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE,
                        "uninstall " + std::string(kServiceName));
  StopAndWait(service.get(), false);
  if (!DeleteService(service.get()))
    Refused("uninstall " + std::string(kServiceName), GetLastError());
  RemoveEventSource();
  PrintDone(json, std::string("Uninstalled ") + kServiceName + ".",
            {{"name", kServiceName}, {"installed", false}});
}

void StartVeskService(bool json) {
  Handle manager = Manager(SC_MANAGER_CONNECT);
  Handle service = Open(manager.get(), SERVICE_START | SERVICE_QUERY_STATUS,
                        "start " + std::string(kServiceName));
  if (!StartServiceW(service.get(), 0, nullptr)) {
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_ALREADY_RUNNING)
      throw ServiceError(std::string("service: ") + kServiceName + " is running already", 2, error);
    Refused("start " + std::string(kServiceName), error);
  }
  const SERVICE_STATUS_PROCESS status = Settle(service.get(), SERVICE_START_PENDING, "start it");
  if (status.dwCurrentState != SERVICE_RUNNING) {
    const DWORD code = status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR
                           ? status.dwServiceSpecificExitCode
                           : status.dwWin32ExitCode;
    throw ServiceError(std::string("service: ") + kServiceName + " did not start: it is " +
                           StateName(status.dwCurrentState) + " (exit code " +
                           std::to_string(code) +
                           "; veskctl monitor with the same options says why)",
                       1, status.dwWin32ExitCode);
  }
  PrintDone(json, std::string("Started ") + kServiceName + ".",
            {{"name", kServiceName}, {"state", "running"}, {"pid", status.dwProcessId}});
}

void StopVeskService(bool json) {
  Handle manager = Manager(SC_MANAGER_CONNECT);
  Handle service =
      Open(manager.get(), SERVICE_STOP | SERVICE_QUERY_STATUS, "stop " + std::string(kServiceName));
  const SERVICE_STATUS_PROCESS status = StopAndWait(service.get(), true);
  PrintDone(json, std::string("Stopped ") + kServiceName + ".",
            {{"name", kServiceName}, {"state", StateName(status.dwCurrentState)}});
}

int ServiceStatus(bool json) {
  Handle manager = Manager(SC_MANAGER_CONNECT);
  Handle service(
      OpenServiceW(manager.get(), kServiceNameWide, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
  if (!service) {
    const DWORD error = GetLastError();
    if (error != ERROR_SERVICE_DOES_NOT_EXIST) Refused("read the service's state", error);
    PrintDone(json, std::string("Service ") + kServiceName + " is not installed.",
              {{"name", kServiceName}, {"installed", false}});
    return 2;
  }
  const SERVICE_STATUS_PROCESS status = Query(service.get());
  const std::string line = CommandLineOf(service.get());
  const std::string since =
      status.dwCurrentState == SERVICE_STOPPED ? "" : StartedAt(status.dwProcessId);
  nlohmann::json body = {
      {"name", kServiceName}, {"installed", true}, {"state", StateName(status.dwCurrentState)},
      {"commandLine", line},  {"pid", nullptr},    {"since", nullptr}};
  std::string text =
      std::string("Service ") + kServiceName + ": installed, " + StateName(status.dwCurrentState);
  if (status.dwCurrentState != SERVICE_STOPPED) {
    body["pid"] = status.dwProcessId;
    text += " (process " + std::to_string(status.dwProcessId) + ")";
  }
  if (!since.empty()) {
    body["since"] = since;
    text += " since " + since;
  }
  PrintDone(json, text + "\nCommand line: " + line, body);
  return 0;
}

}  // namespace veskctl
