#include "tools/veskctl/base/Stop.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/win32.h"
#include "tools/veskctl/base/Program.h"

namespace veskctl {

namespace {

// The handler runs on a thread of its own: it only sets an event that every wait also waits for.
HANDLE stopEvent = nullptr;
std::atomic<bool> stopRequested{false};

std::once_flag eventMade;

void MakeStopEvent() {
  std::call_once(eventMade, [] { stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); });
}

BOOL OnStop(DWORD) {
  stopRequested = true;
  SetEvent(stopEvent);
  return TRUE;
}

}  // namespace

void RequestStop() {
  MakeStopEvent();
  OnStop(0);
}

void CatchStopSignals() {
  MakeStopEvent();
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

std::optional<std::string> ReadLineUnlessStopped() {
  auto answer = std::make_shared<std::promise<std::string>>();
  auto line = answer->get_future();
  std::thread([answer] {
    std::string text;
    std::getline(std::cin, text);
    answer->set_value(text);
  }).detach();
  while (line.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
    if (StopRequested()) return std::nullopt;
    Stopped(50);
  }
  return line.get();
}

}  // namespace veskctl
