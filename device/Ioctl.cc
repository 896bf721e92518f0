#include "device/Ioctl.h"

#include <string>
#include <utility>

#include "vesk/Exceptions.h"

namespace Vesk {

namespace {
constexpr DWORD lockTimeoutMs = 30000;
constexpr int busyRetries = 100;
constexpr DWORD busyRetryDelayMs = 100;
}  // namespace

IoctlInterface::IoctlInterface(DeviceHandle* handle, DWORD bufferLength)
    : deviceHandle(handle),
      controlCode(IOCTL_SCSI_MINIPORT),
      inBuffer(nullptr),
      inBufferSize(bufferLength),
      outBuffer(nullptr),
      outBufferSize(bufferLength),
      bytesReturned(0),
      sendError(ERROR_SUCCESS) {}

DWORD IoctlInterface::Lock() {
  if (deviceHandle == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    throw TaluException("Unable to release mutex. Device handle is invalid.");
  }
  // Mutex first: result 0 is the mutex, 1 the exit event. A handle whose exit event could not be
  // created still serializes on its mutex; it only loses the early wake-up on removal.
  const HANDLE objects[2] = {deviceHandle->mutex, deviceHandle->exitEvent};
  const DWORD count = objects[1] != nullptr ? 2 : 1;
  const DWORD result = WaitForMultipleObjects(count, objects, FALSE, lockTimeoutMs);
  switch (result) {
    case WAIT_OBJECT_0:
      // A wait for any object reports the lowest signaled index, so a free mutex wins over an
      // exit event that is already set: look at the event once the mutex is ours.
      if (count == 2 && WaitForSingleObject(objects[1], 0) == WAIT_OBJECT_0) {
        ReleaseMutex(objects[0]);
        throw TaluException("Mutex wait for device was signaled to exit.");
      }
      return 0;
    case WAIT_OBJECT_0 + 1:
      throw TaluException("Mutex wait for device was signaled to exit.");
    case WAIT_ABANDONED_0: {
      // The wait made this thread the owner of a mutex whose last owner ended without releasing
      // it. Give it back, or the device stays locked for every process until this thread ends.
      const DWORD error = GetLastError();
      ReleaseMutex(deviceHandle->mutex);
      throw TaluException("Mutex wait for device failed. Device handle is invalid.", error);
    }
    case WAIT_ABANDONED_0 + 1:
      throw TaluException("Mutex wait for device failed. Exit handle is invalid.");
    case WAIT_TIMEOUT:
      throw TaluException("Mutex was not released by the thread that owned the mutex object.");
    case WAIT_FAILED:
      throw TaluException("Unable to release device's mutex");
    default:
      return result;
  }
}

void IoctlInterface::Unlock() {
  if (deviceHandle == nullptr) return;
  if (!ReleaseMutex(deviceHandle->mutex)) {
    const DWORD error = GetLastError();
    std::string message = "Unable to release device's mutex";
    if (deviceHandle->device) {
      for (wchar_t unit : deviceHandle->device->path) {
        message.push_back(static_cast<char>(static_cast<unsigned char>(unit & 0xFF)));
      }
    }
    throw TaluException::Owning(std::move(message), error);
  }
}

int IoctlInterface::Invoke() {
  Lock();
  int result = 0;
  try {
    result = Send();
    // Only a device call that itself failed as busy is repeated. One that reached the driver has
    // been carried out, whatever the thread's last error reads afterwards (a successful call
    // leaves an earlier ERROR_BUSY in place) and whatever the request made of its answer.
    for (int remaining = busyRetries; sendError == ERROR_BUSY && remaining > 0; --remaining) {
      Sleep(busyRetryDelayMs);
      result = Send();
    }
  } catch (...) {
    // A request that throws must not keep the device locked for every other process.
    try {
      Unlock();
    } catch (...) {
    }
    throw;
  }
  Unlock();
  // The caller reports a failure with the last error, so it must be this request's own and not
  // what an earlier call or an earlier busy attempt left behind.
  if (result != 0) {
    SetLastError(ERROR_SUCCESS);
  } else {
    SetLastError(sendError != ERROR_SUCCESS ? sendError : ERROR_INVALID_DATA);
  }
  return result;
}

int SynchronousIoctl::Send() {
  if (deviceHandle == nullptr) {
    sendError = ERROR_INVALID_HANDLE;
    SetLastError(sendError);
    return 0;
  }
  const BOOL sent = deviceHandle->IoControl(controlCode, inBuffer, inBufferSize, outBuffer,
                                            outBufferSize, &bytesReturned);
  sendError = sent ? ERROR_SUCCESS : GetLastError();
  return sent;
}

AsynchronousIoctl::~AsynchronousIoctl() { WaitForCompletion(); }

DWORD AsynchronousIoctl::Lock() {
  if (deviceHandle == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  const DWORD result = WaitForSingleObject(deviceHandle->exitEvent, 0);
  if (result == WAIT_OBJECT_0) throw TaluException("Mutex wait for device was signaled to exit.");
  return result;
}

void AsynchronousIoctl::Unlock() {}

int AsynchronousIoctl::Invoke() {
  // One call at a time per object: the previous one ends before the next starts.
  WaitForCompletion();
  try {
    pendingResult = std::async(std::launch::async, [this]() -> int {
      try {
        return IoctlInterface::Invoke();
      } catch (...) {
        return 0;
      }
    });
  } catch (...) {
    // No worker could be started: nothing runs, and saying otherwise would report a failure as
    // success.
    return 0;
  }
  return 1;
}

void AsynchronousIoctl::WaitForCompletion() {
  if (pendingResult.valid()) pendingResult.wait();
}

int AsynchronousIoctl::Result() { return pendingResult.valid() ? pendingResult.get() : 0; }

}  // namespace Vesk
