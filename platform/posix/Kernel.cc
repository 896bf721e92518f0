// The small kernel32 functions that keep no state of their own.
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/simulated/Simulated.h"

bool IsEqualGUID(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  // INFINITE is about 49 days here, as good as forever for a test process.
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Without a machine there is no debugger to hear it.
void OutputDebugStringW(LPCWSTR text) { vesk::platform::simulated::DebugOutput(text); }
