#include "tools/veskctl/base/Stop.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>

#include "platform/win32.h"
#include "tools/veskctl/base/Program.h"

namespace veskctl {

namespace {

// The handler runs on a thread of its own: it only sets an event that every wait also waits for.
HANDLE stopEvent = nullptr;
std::atomic<bool> stopRequested{false};

BOOL OnStop(DWORD) {
  stopRequested = true;
  SetEvent(stopEvent);
  return TRUE;
}

}  // namespace

void CatchStopSignals() {
  if (stopEvent == nullptr) stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (stopEvent == nullptr || !SetConsoleCtrlHandler(OnStop, TRUE))
    throw std::runtime_error("cannot catch Ctrl+C (error " + std::to_string(GetLastError()) + ")");
  IgnoreBrokenPipes();
}

bool StopRequested() { return stopRequested; }

bool Stopped(long long milliseconds) {
  return stopRequested ||
         WaitForSingleObject(stopEvent, static_cast<DWORD>(milliseconds)) == WAIT_OBJECT_0;
}

bool SleepUnlessStopped(double seconds) {
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + std::chrono::duration<double>(seconds);
  while (!stopRequested) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return true;
    Stopped(std::min<long long>(left, 1000));
  }
  return false;
}

}  // namespace veskctl
