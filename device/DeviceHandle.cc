#include "device/DeviceHandle.h"

#include <mutex>
#include <utility>

#include "device/DeviceBuilder.h"
#include "vesk/Exceptions.h"

namespace Vesk {

namespace {

// Full access for Everyone and anonymous logons; high mandatory integrity label, no write-up.
constexpr wchar_t mutexSecurity[] = L"D:(A;;GA;;;WD)(A;;GA;;;AN)S:(ML;;NW;;;HI)";

[[noreturn]] void ThrowMutexFailure(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
      throw TaluException("Access denied. Insufficient privileges to obtain a mutex.", error);
    case ERROR_INVALID_HANDLE:
      throw TaluException("Mutex is used by an object of another type.", error);
    case ERROR_BAD_PATHNAME:
      throw TaluException("Bad pathname. Mutex name contains unsupported characters.", error);
    default:
      throw TaluException("Unknown failure during mutex creation.", error);
  }
}

void CloseIfOpen(HANDLE& object) {
  if (object != nullptr) CloseHandle(object);
  object = nullptr;
}

}  // namespace

Device::Device(std::wstring&& path, std::uint16_t id) : path(std::move(path)), id(id) {}
Device::Device(std::wstring&& path) : Device(std::move(path), 0) {}
Device::~Device() = default;

std::wstring DeviceHandle::MutexName(const std::wstring& devicePath) {
  std::wstring name = L"Global\\KorvaTALU_";
  name.reserve(name.size() + devicePath.size());
  for (wchar_t c : devicePath) name.push_back(c == L'\\' ? L'_' : c);
  return name;
}

DeviceHandle::DeviceHandle(HANDLE openHandle, std::unique_ptr<Device> openedDevice)
    : device(std::move(openedDevice)), handle(openHandle), mutex(nullptr), exitEvent(nullptr) {
  try {
    // Without the event a removal cannot wake waiters early; they still end after 30 seconds.
    exitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);

    const std::wstring name = MutexName(device->path);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(mutexSecurity, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
      ThrowMutexFailure(GetLastError());
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    // The first process to create the mutex sets its descriptor; later ones open the same one.
    mutex = CreateMutexW(&attributes, FALSE, name.c_str());
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    if (mutex == nullptr) ThrowMutexFailure(error);

    listener.removal.AddHandler(
        EventHandler<_CM_NOTIFY_EVENT_DATA*>([this](_CM_NOTIFY_EVENT_DATA*) { OnRemoval(); }));
    listener.removalCancelled.AddHandler(EventHandler<_CM_NOTIFY_EVENT_DATA*>(
        [this](_CM_NOTIFY_EVENT_DATA*) { OnRemovalCancelled(); }));
    // A handle whose registration failed never sees its removal; requests then fail at the
    // device call instead of at the lock.
    listener.Register(handle);
  } catch (...) {
    // The destructor does not run for a half-built handle, and the caller has handed `handle`
    // over: close everything here.
    listener.Unregister();
    CloseIfOpen(handle);
    CloseIfOpen(mutex);
    CloseIfOpen(exitEvent);
    throw;
  }
}

DeviceHandle::~DeviceHandle() {
  {
    std::unique_lock<std::shared_mutex> guard(handleGuard);
    destroying = true;
  }
  // After this no removal reaction runs or will run on this object.
  listener.Unregister();
  CloseIfOpen(handle);
  CloseIfOpen(mutex);
  CloseIfOpen(exitEvent);
}

const vesk_guid& DeviceHandle::GetControllerId() const { return vesk_invalid_guid; }

BOOL DeviceHandle::IoControl(DWORD controlCode, LPVOID inBuffer, DWORD inBufferSize,
                             LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned) {
  std::shared_lock<std::shared_mutex> guard(handleGuard);
  if (handle == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return DeviceIoControl(handle, controlCode, inBuffer, inBufferSize, outBuffer, outBufferSize,
                         bytesReturned, nullptr);
}

void DeviceHandle::OnRemoval() {
  // Release every waiter first; the event stays set, so every later lock ends at once too.
  SetEvent(exitEvent);
  // A call already past its lock finishes on the open handle before it is closed. Query-remove
  // and remove-complete both arrive here; only the first closes.
  std::unique_lock<std::shared_mutex> guard(handleGuard);
  CloseIfOpen(handle);
}

void DeviceHandle::OnRemovalCancelled() {
  // The removal reaction closed the handle on the query; the device stays, so open it again, as
  // Windows expects of a handle closed on a query-remove. Requests may go out once the event is
  // reset: by then a new handle and its registration are in place.
  HCMNOTIFICATION replaced = nullptr;
  {
    std::unique_lock<std::shared_mutex> guard(handleGuard);
    if (handle != nullptr || destroying) return;
    HANDLE reopened = DeviceBuilder::Open(device->path);
    // The device went meanwhile: the handle stays removed.
    if (reopened == nullptr || reopened == INVALID_HANDLE_VALUE) return;
    handle = reopened;
    // If the new registration fails, the one on the closed handle still follows the device.
    replaced = listener.Reregister(handle);
    ResetEvent(exitEvent);
  }
  listener.EndReplaced(replaced);
}

VeskControllerHandle::VeskControllerHandle(HANDLE openHandle, std::unique_ptr<Device> openedDevice)
    : DeviceHandle(openHandle, std::move(openedDevice)), controllerId(vesk_invalid_guid) {}

const vesk_guid& VeskControllerHandle::GetControllerId() const { return controllerId; }

}  // namespace Vesk
