// System.Threading.SemaphoreSlim with the one shape the facade uses: a count that starts at 1 and
// never exceeds its maximum.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace VESK_Managed::System::Threading {

class SemaphoreSlim {
 public:
  SemaphoreSlim(int initialCount, int maxCount);
  SemaphoreSlim(const SemaphoreSlim&) = delete;
  SemaphoreSlim& operator=(const SemaphoreSlim&) = delete;

  // Blocks until the count is above zero, then takes one.
  void Wait();
  // False when the count stayed zero for `timeout`.
  bool Wait(std::chrono::milliseconds timeout);
  // Gives one back and returns the count before; SemaphoreFullException beyond the maximum.
  int Release();
  int CurrentCount() const;

 private:
  mutable std::mutex guard;
  std::condition_variable available;
  int count;
  const int maxCount;
};

}  // namespace VESK_Managed::System::Threading
