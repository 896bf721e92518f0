#include "vesk_managed/Callback.h"

#include <array>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

#include "vesk_managed/System.h"

namespace VESK_Managed::System::Runtime::InteropServices {
namespace {

struct Slot {
  std::mutex guard;
  std::condition_variable idle;
  std::function<void()> target;  // empty: unbound or revoked
  int running = 0;
};

std::array<Slot, kCallbackEntryPoints> slots;

std::mutex poolGuard;
// Free slots, least recently released first, so that a freed entry point is reused as late as
// possible (a native caller may still hold it for a moment).
std::deque<std::size_t> freeSlots = [] {
  std::deque<std::size_t> all;
  for (std::size_t i = 0; i < kCallbackEntryPoints; ++i) all.push_back(i);
  return all;
}();

// The slot whose target this thread is running, for a target that revokes its own binding.
thread_local const Slot* runningHere = nullptr;

void Invoke(std::size_t index) {
  Slot& slot = slots[index];
  std::function<void()> target;
  {
    std::lock_guard lock(slot.guard);
    if (!slot.target) return;
    target = slot.target;
    ++slot.running;
  }
  const Slot* outer = std::exchange(runningHere, &slot);
  try {
    target();
  } catch (...) {
    // Native code cannot take an exception through a plain function pointer.
  }
  runningHere = outer;
  std::lock_guard lock(slot.guard);
  --slot.running;
  slot.idle.notify_all();
}

template <std::size_t... I>
constexpr std::array<void (*)(), sizeof...(I)> MakeEntryPoints(std::index_sequence<I...>) {
  return {+[] { Invoke(I); }...};
}

constexpr auto entryPoints = MakeEntryPoints(std::make_index_sequence<kCallbackEntryPoints>());

}  // namespace

CallbackBinding::CallbackBinding(std::function<void()> target) {
  {
    std::lock_guard lock(poolGuard);
    if (freeSlots.empty()) throw System::Exception("No free callback entry point.");
    slot = freeSlots.front();
    freeSlots.pop_front();
  }
  entryPoint = entryPoints[slot];
  std::lock_guard lock(slots[slot].guard);
  slots[slot].target = std::move(target);
}

void CallbackBinding::Revoke() {
  if (revoked) return;
  revoked = true;
  Slot& own = slots[slot];
  {
    std::unique_lock lock(own.guard);
    own.target = nullptr;
    const int self = runningHere == &own ? 1 : 0;
    own.idle.wait(lock, [&] { return own.running <= self; });
  }
  std::lock_guard lock(poolGuard);
  freeSlots.push_back(slot);
}

}  // namespace VESK_Managed::System::Runtime::InteropServices
