// The owner of a native object for the managed face (the SafeHandle role): it holds the native
// object's address as its handle, zero meaning none, and destroys the object when released.
#pragma once

#include <atomic>
#include <exception>

#include "vesk_managed/NativeExceptions.h"

namespace VESK_Managed {

template <typename Native>
class VeskManaged {
 public:
  // Creates the native object. A native standard exception from its constructor becomes a
  // NativeException with the same text; no native object exists then.
  VeskManaged() : handle(Create()) {}
  // Takes ownership of an existing native object (null: an invalid handle).
  explicit VeskManaged(Native* native) : handle(native) {}
  VeskManaged(const VeskManaged&) = delete;
  VeskManaged& operator=(const VeskManaged&) = delete;
  virtual ~VeskManaged() { ReleaseHandle(); }

  // System::ObjectDisposedException once the handle is released.
  Native& GetInstance() const {
    Native* native = handle.load();
    if (native == nullptr) throw System::ObjectDisposedException();
    return *native;
  }
  bool IsInvalid() const { return handle.load() == nullptr; }

  // Destroys the native object once; later calls find the handle invalid. Always true. The
  // handle may be released on another thread than the one that reads it.
  bool ReleaseHandle() {
    delete handle.exchange(nullptr);
    return true;
  }

  // Disposal as the runtime starts it. Safe to call more than once.
  void Dispose() { Dispose(true); }

 protected:
  virtual void Dispose(bool /*disposing*/) { ReleaseHandle(); }

 private:
  static Native* Create() {
    try {
      return new Native();
    } catch (const System::Exception&) {
      throw;
    } catch (const std::exception& native) {
      throw NativeException(native);
    }
  }

  std::atomic<Native*> handle;
};

}  // namespace VESK_Managed
