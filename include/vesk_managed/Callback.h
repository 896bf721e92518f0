// Hands native code a plain void(*)() that calls back into one object (the role of
// Marshal.GetFunctionPointerForDelegate). Native code gets no context argument, so each binding
// takes one of a fixed pool of entry points, each with its own slot; several facades alive at
// once get distinct entry points and their own calls.
#pragma once

#include <cstddef>
#include <functional>

namespace VESK_Managed::System::Runtime::InteropServices {

inline constexpr std::size_t kCallbackEntryPoints = 64;

class CallbackBinding {
 public:
  using EntryPoint = void (*)();

  // Takes a free entry point; throws System::Exception "No free callback entry point." when all
  // kCallbackEntryPoints are bound.
  explicit CallbackBinding(std::function<void()> target);
  ~CallbackBinding() { Revoke(); }
  CallbackBinding(const CallbackBinding&) = delete;
  CallbackBinding& operator=(const CallbackBinding&) = delete;

  EntryPoint Get() const { return entryPoint; }

  // From the return on, a call of the entry point does nothing, and every call that was running
  // has returned (a call running on this very thread excepted). The entry point is then free for
  // another binding; a late native caller of the old binding may reach the new one. Idempotent.
  void Revoke();

 private:
  std::size_t slot;
  EntryPoint entryPoint;
  bool revoked = false;
};

}  // namespace VESK_Managed::System::Runtime::InteropServices
