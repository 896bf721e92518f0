// An opened controller device: its file handle, the machine-wide named mutex that serializes
// requests to it across processes, the exit event that releases every waiter when the device goes
// away, and the listener that watches the device for removal.
//
// Handles are created with std::make_shared and shared by the discovery result and the controller
// records; executors use a plain pointer while a share is held elsewhere.
#pragma once

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>

#include "device/PnpListener.h"
#include "platform/win32.h"
#include "vesk/Types.h"

namespace Vesk {

// What discovery learned about a device.
struct Device {
  Device(std::wstring&& path, std::uint16_t id);
  explicit Device(std::wstring&& path);
  virtual ~Device();

  // "\\?\Global\GlobalRoot" followed by the device's physical device object name.
  std::wstring path;
  // During discovery the matching row of the driver table; afterwards the controller device
  // number.
  std::uint16_t id;
};

class DeviceHandle {
 public:
  // Takes over `handle` at once, also when construction fails: the caller must not close it.
  // Throws TaluException when the named mutex cannot be created or opened.
  DeviceHandle(HANDLE handle, std::unique_ptr<Device> device);
  virtual ~DeviceHandle();
  DeviceHandle(const DeviceHandle&) = delete;
  DeviceHandle& operator=(const DeviceHandle&) = delete;

  // vesk_invalid_guid for a device that is not a controller.
  virtual const vesk_guid& GetControllerId() const;

  // One DeviceIoControl on the open device. Holds off the removal reaction for its duration, so
  // the file handle is never closed under a running call; fails with ERROR_INVALID_HANDLE once
  // the device has been removed.
  BOOL IoControl(DWORD controlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                 DWORD outBufferSize, LPDWORD bytesReturned);

  // "Global\KorvaTALU_" followed by the device path with every backslash made an underscore.
  static std::wstring MutexName(const std::wstring& devicePath);

  std::unique_ptr<Device> device;
  // The open device; null once the removal reaction has closed it, and open again (a new handle)
  // when that removal was refused. Read it only through IoControl while the device may be
  // removed concurrently.
  HANDLE handle;
  // Waited on together, mutex first: wait result 0 is the mutex, 1 the exit event.
  HANDLE mutex;
  HANDLE exitEvent;
  PnpListener listener;

 private:
  void OnRemoval();
  void OnRemovalCancelled();

  // Shared by running IoControl calls, exclusive for closing `handle` on removal, for opening it
  // again and for `destroying`.
  std::shared_mutex handleGuard;
  // Set once destruction has begun: a refused removal then opens nothing again.
  bool destroying = false;
};

class VeskControllerHandle : public DeviceHandle {
 public:
  VeskControllerHandle(HANDLE handle, std::unique_ptr<Device> device);

  const vesk_guid& GetControllerId() const override;

  // The driver's identifier of the controller behind this device; filled in by discovery.
  vesk_guid controllerId;
};

}  // namespace Vesk
