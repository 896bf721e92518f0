// The installed host and its fault switches.
#include "platform/simulated/Host.h"

#include <atomic>
#include <mutex>

#include "platform/simulated/Simulated.h"

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

bool simulated::DebugOutput(LPCWSTR text) {
  auto host = CurrentHost();
  if (!host) return false;
  if (text != nullptr) host->DebugOutput(text);
  return true;
}

}  // namespace vesk::platform
