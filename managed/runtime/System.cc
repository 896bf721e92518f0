#include "vesk_managed/System.h"

#include "vesk_managed/SemaphoreSlim.h"

namespace VESK_Managed::System {

std::string Version::ToString() const {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build) + "." +
         std::to_string(revision);
}

namespace Runtime::InteropServices {

std::string StringToAnsi(const std::wstring& text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (wchar_t c : text) {
    const auto code = static_cast<std::uint32_t>(c);
    const bool shared = code <= 0x7F || (code >= 0xA0 && code <= 0xFF);
    narrow.push_back(shared ? static_cast<char>(code) : '?');
  }
  return narrow;
}

}  // namespace Runtime::InteropServices

namespace Threading {

SemaphoreSlim::SemaphoreSlim(int initialCount, int maxCount)
    : count(initialCount), maxCount(maxCount) {
  if (initialCount < 0 || maxCount <= 0 || initialCount > maxCount) {
    throw ArgumentException("initialCount must lie between 0 and maxCount.");
  }
}

void SemaphoreSlim::Wait() {
  std::unique_lock lock(guard);
  available.wait(lock, [this] { return count > 0; });
  --count;
}

bool SemaphoreSlim::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock lock(guard);
  if (!available.wait_for(lock, timeout, [this] { return count > 0; })) return false;
  --count;
  return true;
}

int SemaphoreSlim::Release() {
  std::lock_guard lock(guard);
  if (count == maxCount) throw SemaphoreFullException();
  const int before = count++;
  available.notify_one();
  return before;
}

int SemaphoreSlim::CurrentCount() const {
  std::lock_guard lock(guard);
  return count;
}

}  // namespace Threading

}  // namespace VESK_Managed::System
