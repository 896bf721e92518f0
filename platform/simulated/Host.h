// The internal seam between the platform layer and whatever plays the operating system behind
// its device-facing calls (the simulated machine, vesk::sim::Machine).
//
// The platform layer keeps the process-wide state of those calls itself: device handles,
// notification registrations, trace providers. What only a machine can know (which devices exist,
// what they answer, which calls must fail, where debugger output goes) it asks the current Host.
// On POSIX, with no host installed, the emulation behaves as a machine without devices; on
// Windows the calls then go to the SDK.
//
// The functions at the bottom are the other direction: the host calls them to raise notifications
// and to enable trace providers. The library (target vesk) never depends on the simulator; the
// simulator depends on this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

namespace vesk::platform {

// Functions whose failures a host can force. On Windows only the device-facing ones can be
// forced (CreateFile2, DeviceIoControl, CM_Register_Notification, SetupDi*, Event*); events,
// mutexes and security descriptors are the SDK's there.
enum class Api {
  CreateFile2,
  DeviceIoControl,
  CreateEventW,
  CreateMutexW,
  ReleaseMutex,
  ConvertStringSecurityDescriptor,
  CM_Register_Notification,
  SetupDiCreateDeviceInfoList,
  SetupDiGetClassDevsExW,
  SetupDiGetDevicePropertyW,
  EventRegister,
  EventSetInformation,
};

// One open file handle on a device, as the host sees it. Destroyed when the handle is closed.
// Control is called on the caller's thread, possibly from several threads at once.
class HostFile {
 public:
  virtual ~HostFile() = default;
  virtual std::uint32_t DeviceId() const = 0;
  // Returns false with `error` set when the call fails. On success `error` is the last error the
  // thread should see afterwards, or ERROR_SUCCESS to leave the thread's last error unchanged.
  virtual bool Control(DWORD code, const BYTE* in, DWORD inSize, BYTE* out, DWORD outSize,
                       DWORD& bytesReturned, DWORD& error) = 0;
};

// A present device as enumeration sees it, copied when a device information set is filled.
struct HostDeviceInfo {
  std::uint32_t id = 0;
  GUID setupClass{};
  std::optional<std::wstring> manufacturer;
  std::optional<std::wstring> service;
  std::optional<std::wstring> pdoName;
};

class Host {
 public:
  virtual ~Host() = default;
  // True (with the error to report) when this call of `api` must fail.
  virtual bool TakeFault(Api api, DWORD& error) = 0;
  // Present devices of a setup class, in the order they were added.
  virtual std::vector<HostDeviceInfo> Devices(const GUID& setupClass) = 0;
  // Opens the present device with this PDO name (compared case-insensitively). On failure
  // returns null with `error` set (ERROR_FILE_NOT_FOUND for an unknown device).
  virtual std::unique_ptr<HostFile> Open(std::wstring_view pdoName, DWORD& error) = 0;
  virtual void DebugOutput(std::wstring_view text) = 0;
};

// Installs the host the emulation talks to; false if another one is installed.
bool InstallHost(std::shared_ptr<Host> host);
// Removes `host` if it is the installed one.
void UninstallHost(const Host* host);
// The installed host, or null. Callers keep the returned share for the duration of one call.
std::shared_ptr<Host> CurrentHost();

// True (with the error) when the current host wants this call to fail; false without a host.
bool TakeFault(Api api, DWORD& error);
// The host says whether it has any fault switch set, so that calls need not ask it otherwise.
void SetFaultsArmed(bool armed);

// ---------------------------------------------------------------------------------------------
// Notifications, raised by the host on threads of its own. Each call runs the callbacks of the
// matching registrations one after the other and returns when all have returned. As on Windows,
// a registration hears only what was raised after it was made: the host takes a mark when it
// raises an event and delivers it, however late, with that mark.
// ---------------------------------------------------------------------------------------------
using NotificationMark = std::uint64_t;
// The mark of an event raised now: registrations made from here on do not hear it.
NotificationMark MarkNotification();
void DeliverInterfaceNotification(NotificationMark raised, const GUID& interfaceClass,
                                  CM_NOTIFY_ACTION action, std::wstring_view symbolicLink);
// To the registrations on handles that were opened on device `deviceId`. False when a callback
// answered ERROR_CANCELLED (a vetoed query-remove).
bool DeliverDeviceHandleNotification(NotificationMark raised, std::uint32_t deviceId,
                                     CM_NOTIFY_ACTION action);

// ---------------------------------------------------------------------------------------------
// What the process holds open: handles of every kind (events, mutexes, devices) and
// configuration-manager notification registrations. Fault loops compare them with a baseline to
// find what a failure left behind.
// ---------------------------------------------------------------------------------------------
std::size_t OpenHandleCount();
std::size_t NotificationRegistrationCount();

// ---------------------------------------------------------------------------------------------
// Trace consumers. A consumer enables one provider GUID (registered now or later) at a level and
// keywords; the provider's enable callback sees the combination of all consumers of its GUID.
// Events that pass the consumer's level and keywords are handed to its sink raw, on the writer's
// thread; decoding the self-describing metadata is the consumer's business.
// ---------------------------------------------------------------------------------------------
struct RawTraceEvent {
  const EVENT_DESCRIPTOR* descriptor;
  const EVENT_DATA_DESCRIPTOR* data;
  ULONG dataCount;
  // Provider traits set with EventSetInformation(EventProviderSetTraits); empty if none.
  const std::vector<BYTE>* providerTraits;
};
using TraceSink = std::function<void(const RawTraceEvent&)>;

std::uint64_t EnableProvider(const GUID& provider, UCHAR level, ULONGLONG matchAnyKeyword,
                             ULONGLONG matchAllKeyword, TraceSink sink);
// After this returns, the sink is not called again.
void DisableProvider(std::uint64_t consumer);

// ---------------------------------------------------------------------------------------------
// Text helpers shared by the emulation and the simulator.
// ---------------------------------------------------------------------------------------------
std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view text);
// UTF-16LE bytes of `text` followed by a zero unit.
std::vector<BYTE> ToUtf16Bytes(std::wstring_view text);
std::wstring FromUtf16(const char16_t* units, std::size_t count);

}  // namespace vesk::platform
