// The installed host, and the small kernel32 functions that only forward to it.
#include "platform/posix/Host.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

namespace vesk::platform {

namespace {

std::atomic<bool> faultsArmed{false};

struct Installed {
  std::mutex lock;
  std::shared_ptr<Host> host;
};

// Constructed on first use: the library's trace provider registers from a static constructor,
// before any ordering among this file's globals could be relied on.
Installed& GetInstalled() {
  static Installed* installed = new Installed;
  return *installed;
}

}  // namespace

bool InstallHost(std::shared_ptr<Host> host) {
  auto& installed = GetInstalled();
  std::lock_guard guard(installed.lock);
  if (installed.host) return false;
  installed.host = std::move(host);
  return true;
}

void UninstallHost(const Host* host) {
  std::shared_ptr<Host> old;  // released outside the lock
  auto& installed = GetInstalled();
  std::lock_guard guard(installed.lock);
  if (installed.host.get() == host) {
    old = std::move(installed.host);
    faultsArmed = false;
  }
}

std::shared_ptr<Host> CurrentHost() {
  auto& installed = GetInstalled();
  std::lock_guard guard(installed.lock);
  return installed.host;
}

void SetFaultsArmed(bool armed) { faultsArmed.store(armed); }

bool TakeFault(Api api, DWORD& error) {
  if (!faultsArmed.load(std::memory_order_relaxed)) return false;
  auto host = CurrentHost();
  return host && host->TakeFault(api, error);
}

}  // namespace vesk::platform

bool IsEqualGUID(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  // INFINITE is about 49 days here, as good as forever for a test process.
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void OutputDebugStringW(LPCWSTR text) {
  if (text == nullptr) return;
  if (auto host = vesk::platform::CurrentHost()) host->DebugOutput(text);
}
