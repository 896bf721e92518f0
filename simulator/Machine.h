// The simulated machine: the operating system that the POSIX emulation of platform/win32.h talks
// to. It holds the device tree (devices with setup class, properties, presence and a backend),
// raises configuration-manager notifications for hot-plug on its own threads, runs trace sessions
// that enable providers and decode their events, and collects debugger output.
//
// One Machine is current in a process at a time; tests make a fresh one per test. Every member
// is safe to call from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/simulated/Host.h"
#include "platform/win32.h"

namespace vesk::sim {

// One DeviceIoControl call as a backend sees it. `in` and `out` may point at the same bytes.
struct IoControl {
  std::wstring pdoName;  // the device the handle was opened on
  DWORD controlCode = 0;
  const BYTE* in = nullptr;
  DWORD inSize = 0;
  BYTE* out = nullptr;
  DWORD outSize = 0;
};

struct IoResult {
  bool ok = true;
  DWORD bytesReturned = 0;
  // The thread's last error after the call. A failed call with ERROR_SUCCESS here reports
  // ERROR_GEN_FAILURE; a successful call with ERROR_SUCCESS leaves the thread's last error as it
  // was, as Windows does, and one with any other value sets it (a driver that succeeds while the
  // last error reads ERROR_BUSY).
  DWORD lastError = ERROR_SUCCESS;
};

// What sits behind a device's DeviceIoControl: the simulated RAID driver, a scripted fake, a
// recorder of wire bytes. Called on the caller's thread, possibly from several threads at once.
class DeviceBackend {
 public:
  virtual ~DeviceBackend() = default;
  virtual IoResult Control(const IoControl& call) = 0;
};

struct DeviceSpec {
  GUID setupClass = GUID_DEVCLASS_SCSIADAPTER;
  // An absent property cannot be read (SetupDiGetDevicePropertyW fails with ERROR_NOT_FOUND).
  std::optional<std::wstring> manufacturer;
  std::optional<std::wstring> service;
  std::optional<std::wstring> pdoName;  // e.g. L"\\Device\\00000031"
  // Interface classes the device exposes; arrivals and removals are reported to registrations
  // for these classes.
  std::vector<GUID> interfaceClasses = {GUID_DEVINTERFACE_STORAGEPORT};
  std::shared_ptr<DeviceBackend> backend;
  // When not ERROR_SUCCESS, CreateFile2 on this device fails with this error.
  DWORD openError = ERROR_SUCCESS;
};

using DeviceId = std::uint32_t;

// Emulated Windows functions whose failures tests can force (see Machine::FailCalls):
// CreateFile2, DeviceIoControl, CreateEventW, CreateMutexW, ReleaseMutex,
// ConvertStringSecurityDescriptor, CM_Register_Notification (fails with the error as its
// CONFIGRET), SetupDiCreateDeviceInfoList, SetupDiGetClassDevsExW, SetupDiGetDevicePropertyW,
// EventRegister and EventSetInformation (return the error).
using Api = vesk::platform::Api;

struct TraceField {
  std::string name;
  UCHAR inType = 0;  // TraceLogging input type without its flag bits (2 = ANSI string)
  UCHAR outType = 0;
  // The value as text: strings as UTF-8, integers in decimal (HEXINT types as 0x...), GUIDs in
  // their registry form, binary as hex digits. A field whose type the decoder does not know reads
  // "<unknown in-type N>", and every field after it "<not decoded>", since its size is unknown;
  // a value cut short by the end of the data reads "<truncated>".
  std::string value;
};

struct TraceEvent {
  std::string provider;  // provider name from its metadata
  std::string name;      // event name from the event metadata
  UCHAR level = 0;
  UCHAR channel = 0;
  UCHAR opcode = 0;
  ULONGLONG keyword = 0;
  ULONG tags = 0;  // the 28 event-tag bits
  std::vector<TraceField> fields;
};

// A consumer that enabled one provider. Destroying it disables the provider again.
class TraceSession {
 public:
  virtual ~TraceSession() = default;
  virtual std::vector<TraceEvent> Events() const = 0;
  virtual void Clear() = 0;
};

class Machine {
 public:
  Machine();  // becomes the process's current machine; throws if another is current
  // Removes every device (without notifications), delivers the notifications raised before, and
  // stops being current. Handles still open on its devices fail like those of removed devices.
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  static Machine* Current();

  // Hot-plug. AddDevice makes the device present and reports an interface arrival (action 0) to
  // the registrations for its interface classes. RemoveDevice removes it the way Windows does
  // (below); once gone the device is out of enumeration, CreateFile2 on it fails with
  // ERROR_FILE_NOT_FOUND and every handle still open on it fails DeviceIoControl with
  // ERROR_DEVICE_NOT_CONNECTED. Notifications are delivered in order on the machine's
  // notification thread, each to the registrations made before it was raised (as on Windows, a
  // registration made while an event waits for its delivery does not hear it). Unknown ids throw
  // std::out_of_range (here and in every member taking a DeviceId); removing a removed device does
  // nothing.
  //
  // Surprise (the device was pulled): gone at once; remove-pending (4) and remove-complete (5) to
  // the registrations on its handles, then an interface removal (1) to the class registrations.
  // Orderly (the device is asked for): query-remove (2) to the handle registrations; when every
  // callback has returned, a callback that answered ERROR_CANCELLED or any handle still open on
  // the device refuses the removal, which query-remove-failed (3) reports and the device stays.
  // Otherwise it goes: remove-pending, remove-complete and the interface removal, as above.
  enum class Removal { Surprise, Orderly };
  DeviceId AddDevice(DeviceSpec description);
  void RemoveDevice(DeviceId id, Removal removal = Removal::Surprise);
  bool IsPresent(DeviceId id) const;
  // Report any action to the registrations on open handles of a device, or to its interface
  // class registrations, without changing the device.
  void NotifyDeviceHandles(DeviceId id, CM_NOTIFY_ACTION action);
  void NotifyInterface(DeviceId id, CM_NOTIFY_ACTION action);
  // Returns once every notification raised so far has been delivered (callbacks returned).
  // Called from a notification callback it returns at once (it cannot wait for itself).
  void WaitForNotifications();
  // Handles open on the device now, including those whose device has been removed.
  std::size_t OpenHandleCount(DeviceId id) const;
  std::shared_ptr<DeviceBackend> Backend(DeviceId id) const;

  // The next `count` calls of `api` fail with `error` (count -1: every call until cleared,
  // count 0 clears the switch of `api`), after `after` calls that still succeed: a fault loop
  // fails call 1, 2, 3, ... of a run with after = N - 1.
  void FailCalls(Api api, DWORD error, int count = 1, int after = 0);
  // True while the switch of `api` has failures left to give. A fault loop stops at the first N
  // whose fault never fired.
  bool FaultPending(Api api) const;
  void ClearFaults();

  // Enables the provider with this GUID at `level` (0 = all levels) for as long as the session
  // lives; its events are decoded from their self-describing metadata. The provider's enable
  // callback has run when this returns (and again, with code 0, when the session is destroyed).
  std::unique_ptr<TraceSession> StartTrace(const GUID& provider, UCHAR level,
                                           ULONGLONG matchAnyKeyword = 0,
                                           ULONGLONG matchAllKeyword = 0);

  // Debugger output (OutputDebugStringW), in call order.
  std::vector<std::wstring> DebugOutput() const;
  void ClearDebugOutput();
  // The output so far, cleared in the same step: a line written meanwhile is in this take or the
  // next, never lost between a copy and a clear.
  std::vector<std::wstring> TakeDebugOutput();
  // When set, debugger output is also written to stderr as UTF-8 (tools use this on request).
  void EchoDebugOutput(bool echo);

  struct State;

 private:
  std::shared_ptr<State> state;
};

}  // namespace vesk::sim
