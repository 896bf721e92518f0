// Executors: carry one management request to a controller device and back. Every request class
// derives from one of them, so a request and its executor are one object.
//
// SynchronousIoctl runs on the caller's thread under the device's named mutex, which serializes
// requests to one device across all threads and processes. AsynchronousIoctl runs the same
// sequence on a worker thread, checking only the device's exit event.
#pragma once

#include <cstdint>
#include <future>

#include "device/DeviceHandle.h"
#include "platform/win32.h"

namespace Vesk {

class IoctlInterface {
 public:
  // `deviceHandle` is not owned: the caller keeps a share of it for the life of this object.
  // Both buffer sizes start as `bufferLength`; the request class points the buffers at its own.
  IoctlInterface(DeviceHandle* deviceHandle, DWORD bufferLength);
  virtual ~IoctlInterface() = default;
  IoctlInterface(const IoctlInterface&) = delete;
  IoctlInterface& operator=(const IoctlInterface&) = delete;

  // Waits up to 30 s for the device's mutex or its exit event. Returns 0 once the mutex is owned;
  // throws TaluException when the device is going away, the wait times out or fails.
  virtual DWORD Lock();
  // One device call, its outcome kept in `sendError`; nonzero on success. A request class may
  // return 0 for a call that reached the driver, when it refuses the answer.
  virtual int Send() = 0;
  // Releases the device's mutex; throws TaluException when that fails.
  virtual void Unlock();
  // Lock, Send (repeated while the device call itself fails as busy, at most 100 times 100 ms
  // apart), Unlock. Returns the result of the last Send and leaves the request's own outcome in
  // the thread's last error: ERROR_SUCCESS on success, the device call's error when it failed,
  // ERROR_INVALID_DATA when the driver answered and the request refused the answer. Lock failures
  // are thrown.
  virtual int Invoke();

 protected:
  DeviceHandle* deviceHandle;
  DWORD controlCode;
  BYTE* inBuffer;
  DWORD inBufferSize;
  BYTE* outBuffer;
  DWORD outBufferSize;
  DWORD bytesReturned;
  // How the last device call ended: ERROR_SUCCESS once it reached the driver, otherwise the error
  // it failed with. The thread's last error cannot tell: a successful call leaves it as it was.
  DWORD sendError;
};

class SynchronousIoctl : public IoctlInterface {
 public:
  using IoctlInterface::IoctlInterface;

  // One DeviceIoControl with this object's parameters, recorded in `sendError`. Request classes
  // that override Send call this for the device call itself.
  int Send() override;

  // Nothing is ever pending on the caller's thread; see AsynchronousIoctl::WaitForCompletion.
  void WaitForCompletion() {}
};

class AsynchronousIoctl : public SynchronousIoctl {
 public:
  using SynchronousIoctl::SynchronousIoctl;
  // Waits for the pending call.
  ~AsynchronousIoctl() override;

  // Throws when the device's exit event is set; takes no mutex.
  DWORD Lock() override;
  void Unlock() override;
  // Starts the request on a worker and returns 1 at once. The worker yields the result of the
  // request, or 0 for any failure; nothing is thrown to the caller.
  int Invoke() override;

  // Waits for the call started by Invoke (if any). A class derived from this one whose Send uses
  // its own members must call this in its destructor: by the time this class's destructor runs,
  // the derived part of the object, which the worker is using, is already gone.
  void WaitForCompletion();
  // Waits for the call started by Invoke and returns what it yielded; 0 when none was started.
  int Result();

 private:
  std::future<int> pendingResult;
};

}  // namespace Vesk
