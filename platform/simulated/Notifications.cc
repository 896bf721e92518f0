// Configuration-manager notifications: registrations for an interface class or a device handle,
// and their delivery on the host's threads.
//
// Like Windows, CM_Unregister_Notification returns only when no callback of that registration is
// running any more, so that the caller may free what the callback uses. Callbacks of one delivery
// run one after the other, and a registration's running count is raised only around its own
// callback, so unregistering one registration from another's callback does not wait for itself.
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/posix/Errors.h"
#include "platform/posix/Handles.h"
#include "platform/simulated/Host.h"

namespace vesk::platform {

namespace {

struct Registration {
  CM_NOTIFY_FILTER_TYPE type;
  bool allInterfaceClasses = false;
  GUID interfaceClass{};
  std::uint32_t deviceId = 0;
  PVOID context = nullptr;
  PCM_NOTIFY_CALLBACK callback = nullptr;
  HCMNOTIFICATION handle = nullptr;
  // Events marked before this were raised before the registration and never reach it.
  NotificationMark made = 0;
  // Both guarded by the registry's lock.
  bool unregistered = false;
  int running = 0;
};

struct Registry {
  std::mutex lock;
  std::condition_variable idle;
  std::map<std::uintptr_t, std::shared_ptr<Registration>> byHandle;
  std::uintptr_t next = 0x10;
  NotificationMark registrations = 0;
};
Registry& GetRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

// The registration whose callback this thread is running, if any.
thread_local const Registration* runningHere = nullptr;

template <typename Match>
std::vector<std::shared_ptr<Registration>> Matching(NotificationMark raised, Match&& match) {
  auto& registry = GetRegistry();
  std::lock_guard guard(registry.lock);
  std::vector<std::shared_ptr<Registration>> found;
  for (auto& [handle, registration] : registry.byHandle)
    if (registration->made < raised && match(*registration)) found.push_back(registration);
  return found;
}

// Calls each registration's callback with its own copy of the event data, which lives only for
// the duration of the callback. False when a callback answered ERROR_CANCELLED, the way a
// query-remove is vetoed.
bool Deliver(const std::vector<std::shared_ptr<Registration>>& targets, CM_NOTIFY_ACTION action,
             const std::vector<std::byte>& eventData) {
  auto& registry = GetRegistry();
  bool accepted = true;
  for (const auto& registration : targets) {
    {
      std::lock_guard guard(registry.lock);
      if (registration->unregistered) continue;
      ++registration->running;
    }
    auto* data = static_cast<std::byte*>(std::malloc(eventData.size()));
    std::memcpy(data, eventData.data(), eventData.size());
    const Registration* outer = runningHere;
    runningHere = registration.get();
    const DWORD answer = registration->callback(registration->handle, registration->context, action,
                                                reinterpret_cast<PCM_NOTIFY_EVENT_DATA>(data),
                                                static_cast<DWORD>(eventData.size()));
    if (answer == ERROR_CANCELLED) accepted = false;
    runningHere = outer;
    std::free(data);
    {
      std::lock_guard guard(registry.lock);
      --registration->running;
    }
    registry.idle.notify_all();
  }
  return accepted;
}

}  // namespace

NotificationMark MarkNotification() {
  auto& registry = GetRegistry();
  std::lock_guard guard(registry.lock);
  return registry.registrations + 1;
}

void DeliverInterfaceNotification(NotificationMark raised, const GUID& interfaceClass,
                                  CM_NOTIFY_ACTION action, std::wstring_view symbolicLink) {
  auto targets = Matching(raised, [&](const Registration& r) {
    return r.type == CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE &&
           (r.allInterfaceClasses || IsEqualGUID(r.interfaceClass, interfaceClass));
  });
  if (targets.empty()) return;
  const std::size_t linkOffset = offsetof(CM_NOTIFY_EVENT_DATA, u.DeviceInterface.SymbolicLink);
  std::vector<std::byte> data(linkOffset + (symbolicLink.size() + 1) * sizeof(WCHAR));
  CM_NOTIFY_EVENT_DATA header{};
  header.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
  header.u.DeviceInterface.ClassGuid = interfaceClass;
  std::memcpy(data.data(), &header, linkOffset);
  std::memcpy(data.data() + linkOffset, symbolicLink.data(), symbolicLink.size() * sizeof(WCHAR));
  Deliver(targets, action, data);
}

bool DeliverDeviceHandleNotification(NotificationMark raised, std::uint32_t deviceId,
                                     CM_NOTIFY_ACTION action) {
  auto targets = Matching(raised, [&](const Registration& r) {
    return r.type == CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE && r.deviceId == deviceId;
  });
  if (targets.empty()) return true;
  std::vector<std::byte> data(sizeof(CM_NOTIFY_EVENT_DATA));
  CM_NOTIFY_EVENT_DATA header{};
  header.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE;
  header.u.DeviceHandle.NameOffset = -1;  // no custom event name
  header.u.DeviceHandle.DataSize = 0;
  std::memcpy(data.data(), &header, sizeof header);
  return Deliver(targets, action, data);
}

std::size_t NotificationRegistrationCount() {
  auto& registry = GetRegistry();
  std::lock_guard guard(registry.lock);
  return registry.byHandle.size();
}

namespace simulated {

bool IsRegistration(HCMNOTIFICATION notifyContext) {
  auto& registry = GetRegistry();
  std::lock_guard guard(registry.lock);
  return registry.byHandle.count(reinterpret_cast<std::uintptr_t>(notifyContext)) != 0;
}

CONFIGRET CM_Register_Notification(PCM_NOTIFY_FILTER filter, PVOID context,
                                   PCM_NOTIFY_CALLBACK callback, PHCMNOTIFICATION notifyContext) {
  DWORD fault = ERROR_SUCCESS;
  if (TakeFault(Api::CM_Register_Notification, fault)) return fault;
  if (filter == nullptr || callback == nullptr || notifyContext == nullptr)
    return CR_INVALID_POINTER;
  if (filter->cbSize != sizeof(CM_NOTIFY_FILTER) || filter->Reserved != 0) return CR_INVALID_DATA;
  auto registration = std::make_shared<Registration>();
  registration->type = filter->FilterType;
  registration->context = context;
  registration->callback = callback;
  switch (filter->FilterType) {
    case CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE:
      if ((filter->Flags & ~CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES) != 0)
        return CR_INVALID_DATA;
      registration->allInterfaceClasses =
          (filter->Flags & CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES) != 0;
      registration->interfaceClass = filter->u.DeviceInterface.ClassGuid;
      break;
    case CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE: {
      if (filter->Flags != 0) return CR_INVALID_DATA;
      auto file = LookupDeviceHandle(filter->u.DeviceHandle.hTarget);
      if (!file) return CR_INVALID_DATA;
      registration->deviceId = file->DeviceId();
      break;
    }
    default:
      // Device-instance notifications are never raised by the simulated machine.
      return CR_INVALID_DATA;
  }
  auto& registry = GetRegistry();
  std::lock_guard guard(registry.lock);
  const std::uintptr_t value = registry.next;
  registry.next += 8;
  registration->handle = reinterpret_cast<HCMNOTIFICATION>(value);
  registration->made = ++registry.registrations;
  registry.byHandle.emplace(value, registration);
  *notifyContext = registration->handle;
  return CR_SUCCESS;
}

CONFIGRET CM_Unregister_Notification(HCMNOTIFICATION notifyContext) {
  auto& registry = GetRegistry();
  std::unique_lock lock(registry.lock);
  auto it = registry.byHandle.find(reinterpret_cast<std::uintptr_t>(notifyContext));
  if (it == registry.byHandle.end()) return CR_INVALID_POINTER;
  auto registration = it->second;
  registry.byHandle.erase(it);
  registration->unregistered = true;
  // From its own callback Windows would deadlock here; returning at once is kinder.
  if (runningHere == registration.get()) return CR_SUCCESS;
  registry.idle.wait(lock, [&] { return registration->running == 0; });
  return CR_SUCCESS;
}

}  // namespace simulated
}  // namespace vesk::platform
