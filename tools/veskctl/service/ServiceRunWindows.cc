// `service run`: what the service control manager starts. ServiceMain runs the monitor on a thread
// of its own and tells the manager how it goes; a STOP, SHUTDOWN or PRESHUTDOWN asks the monitor
// to stop (RequestStop), which ends its tick, keeps the journal whole and saves its delivery
// cursors, and the service reports STOPPED only once it did.
#include <atomic>
#include <future>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <thread>

#include "platform/win32.h"
#include "tools/veskctl/base/Stop.h"
#include "tools/veskctl/service/Service.h"

namespace veskctl {

namespace {

// Takes every character, and keeps none.
class Discard : public std::streambuf {
 protected:
  int overflow(int c) override { return c == traits_type::eof() ? 0 : c; }
};

// The monitor's exit code when it ended without being asked to, yet with 0.
constexpr DWORD kEndedByItself = 1;

const std::function<int(const std::function<void()>&)>* work = nullptr;
int exitCode = 0;

SERVICE_STATUS_HANDLE statusHandle = nullptr;
std::mutex statusMutex;
SERVICE_STATUS status{};
std::atomic<bool> stopping{false};

void Report(DWORD state, DWORD waitHint = 0, DWORD exit = NO_ERROR, DWORD specific = 0) {
  std::lock_guard lock(statusMutex);
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING
          ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN
          : 0;
  status.dwWin32ExitCode = exit;
  status.dwServiceSpecificExitCode = specific;
  status.dwWaitHint = waitHint;
  status.dwCheckPoint =
      state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ? status.dwCheckPoint + 1 : 0;
  SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
      stopping = true;
      Report(SERVICE_STOP_PENDING, 5000);
      RequestStop();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  // A service has no standard output or error. What the monitor prints is dropped rather than
  // fail: the monitor takes output that fails for a reader that went away, and ends.
  static Discard discard;
  std::cout.rdbuf(&discard);
  std::cerr.rdbuf(&discard);
  std::cout.clear();
  std::cerr.clear();
  statusHandle = RegisterServiceCtrlHandlerExW(kServiceNameWide, OnControl, nullptr);
  if (statusHandle == nullptr) {
    exitCode = 1;
    return;
  }
  Report(SERVICE_START_PENDING, 5000);
  std::promise<void> began;
  auto running = began.get_future();
  std::once_flag told;
  std::future<int> ended = std::async(std::launch::async, [&] {
    return (*work)([&] { std::call_once(told, [&] { began.set_value(); }); });
  });
  // The first look of the monitor may take a while against a busy driver: the checkpoints show the
  // manager that the start goes on.
  while (running.wait_for(std::chrono::seconds(1)) != std::future_status::ready &&
         ended.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
    if (!stopping) Report(SERVICE_START_PENDING, 5000);
  if (ended.wait_for(std::chrono::seconds(0)) != std::future_status::ready && !stopping)
    Report(SERVICE_RUNNING);
  while (ended.wait_for(std::chrono::seconds(1)) != std::future_status::ready)
    if (stopping) Report(SERVICE_STOP_PENDING, 5000);
  exitCode = ended.get();
  // A monitor that ended on its own failed, whatever its code: the recovery actions restart it.
  const DWORD code = exitCode != 0 ? static_cast<DWORD>(exitCode) : stopping ? 0 : kEndedByItself;
  if (code == 0)
    Report(SERVICE_STOPPED);
  else
    Report(SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR, code);
}

}  // namespace

int RunAsService(const std::function<int(const std::function<void()>& running)>& body) {
  work = &body;
  std::wstring name = kServiceNameWide;  // the table wants it writable
  SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    const DWORD error = GetLastError();
    if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
      throw ServiceError(
          "service run is for the service control manager, which starts it: use veskctl service "
          "start, or veskctl monitor to follow the machine here",
          2, error);
    throw ServiceError("service run: cannot reach the service control manager (error " +
                           std::to_string(error) + ")",
                       1, error);
  }
  return exitCode;
}

}  // namespace veskctl
