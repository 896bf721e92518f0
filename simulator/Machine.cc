#include "simulator/Machine.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cwctype>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "simulator/TraceDecoder.h"

namespace vesk::sim {

namespace {

std::atomic<Machine*> current{nullptr};
// Device ids are unique in the process, so that a registration made on one machine's device is
// never reached by a later machine's device.
std::atomic<DeviceId> nextDeviceId{1};

bool EqualNoCase(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
           return std::towlower(static_cast<wint_t>(x)) == std::towlower(static_cast<wint_t>(y));
         });
}

std::wstring GuidText(const GUID& g) {
  wchar_t text[40];
  std::swprintf(text, 40, L"{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2,
                g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                g.Data4[6], g.Data4[7]);
  return text;
}

struct Device {
  DeviceId id = 0;
  DeviceSpec description;
  std::atomic<bool> present{true};
  std::atomic<std::size_t> openHandles{0};
};

// One open handle. Holds the device, not the machine, so a handle may outlive its machine (and
// then fails like a handle of a removed device).
class File final : public platform::HostFile {
 public:
  explicit File(std::shared_ptr<Device> device) : device(std::move(device)) {
    ++this->device->openHandles;
  }
  ~File() override { --device->openHandles; }

  std::uint32_t DeviceId() const override { return device->id; }

  bool Control(DWORD code, const BYTE* in, DWORD inSize, BYTE* out, DWORD outSize,
               DWORD& bytesReturned, DWORD& error) override {
    if (!device->present.load()) {
      error = ERROR_DEVICE_NOT_CONNECTED;
      return false;
    }
    if (!device->description.backend) {
      error = ERROR_INVALID_FUNCTION;
      return false;
    }
    IoControl call;
    call.pdoName = device->description.pdoName.value_or(std::wstring());
    call.controlCode = code;
    call.in = in;
    call.inSize = inSize;
    call.out = out;
    call.outSize = outSize;
    const IoResult result = device->description.backend->Control(call);
    bytesReturned = result.bytesReturned;
    error = result.lastError;
    return result.ok;
  }

 private:
  std::shared_ptr<Device> device;
};

// What a trace session collected; shared with the sink, which may run on any writer's thread.
struct TraceStore {
  mutable std::mutex lock;
  std::vector<TraceEvent> events;
};

class Session final : public TraceSession {
 public:
  Session(const GUID& provider, UCHAR level, ULONGLONG matchAny, ULONGLONG matchAll)
      : store(std::make_shared<TraceStore>()) {
    consumer = platform::EnableProvider(provider, level, matchAny, matchAll,
                                        [store = store](const platform::RawTraceEvent& raw) {
                                          TraceEvent event = DecodeTraceEvent(raw);
                                          std::lock_guard guard(store->lock);
                                          store->events.push_back(std::move(event));
                                        });
  }
  ~Session() override { platform::DisableProvider(consumer); }

  std::vector<TraceEvent> Events() const override {
    std::lock_guard guard(store->lock);
    return store->events;
  }
  void Clear() override {
    std::lock_guard guard(store->lock);
    store->events.clear();
  }

 private:
  std::shared_ptr<TraceStore> store;
  std::uint64_t consumer = 0;
};

}  // namespace

struct Machine::State final : platform::Host {
  mutable std::mutex lock;
  std::vector<std::shared_ptr<Device>> devices;  // in the order they were added

  struct Fault {
    DWORD error;
    int count;  // -1: until cleared
    int after;  // calls that succeed before the first failure
  };
  std::map<Api, Fault> faults;  // the emulation asks only while this is not empty

  std::vector<std::wstring> debugOutput;
  bool echoDebugOutput = false;

  // The notification thread and its queue.
  std::condition_variable queued;
  std::condition_variable drained;
  std::deque<std::function<void()>> notifications;
  bool delivering = false;
  bool stopping = false;
  std::thread notifier;

  std::shared_ptr<Device> Find(DeviceId id) const {
    for (const auto& device : devices)
      if (device->id == id) return device;
    throw std::out_of_range("vesk::sim::Machine: unknown device id " + std::to_string(id));
  }

  void Post(std::function<void()> notification) {
    {
      std::lock_guard guard(lock);
      notifications.push_back(std::move(notification));
    }
    queued.notify_one();
  }

  void RunNotifications() {
    std::unique_lock guard(lock);
    for (;;) {
      queued.wait(guard, [&] { return stopping || !notifications.empty(); });
      if (notifications.empty()) return;  // stopping, and everything delivered
      auto next = std::move(notifications.front());
      notifications.pop_front();
      delivering = true;
      guard.unlock();
      next();
      guard.lock();
      delivering = false;
      if (notifications.empty()) drained.notify_all();
    }
  }

  static std::wstring SymbolicLink(const Device& device, const GUID& interfaceClass) {
    return L"\\\\?\\SIM#Device#" + std::to_wstring(device.id) + L"#" + GuidText(interfaceClass);
  }

  // An event is raised when posted: registrations made before its delivery do not hear it.
  void PostInterface(const std::shared_ptr<Device>& device, CM_NOTIFY_ACTION action) {
    Post([device, action, raised = platform::MarkNotification()] {
      for (const auto& interfaceClass : device->description.interfaceClasses)
        platform::DeliverInterfaceNotification(raised, interfaceClass, action,
                                               SymbolicLink(*device, interfaceClass));
    });
  }

  void PostHandles(DeviceId id, CM_NOTIFY_ACTION action) {
    Post([id, action, raised = platform::MarkNotification()] {
      platform::DeliverDeviceHandleNotification(raised, id, action);
    });
  }

  // What follows a removal that happened: the handles hear it is pending, then complete, and the
  // interface classes lose the device.
  void PostRemoved(const std::shared_ptr<Device>& device) {
    PostHandles(device->id, CM_NOTIFY_ACTION_DEVICEREMOVEPENDING);
    PostHandles(device->id, CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE);
    PostInterface(device, CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL);
  }

  // --- platform::Host ---

  bool TakeFault(Api api, DWORD& error) override {
    std::lock_guard guard(lock);
    auto it = faults.find(api);
    if (it == faults.end()) return false;
    if (it->second.after > 0) {
      --it->second.after;
      return false;
    }
    error = it->second.error;
    if (it->second.count > 0 && --it->second.count == 0) faults.erase(it);
    if (faults.empty()) platform::SetFaultsArmed(false);
    return true;
  }

  std::vector<platform::HostDeviceInfo> Devices(const GUID& setupClass) override {
    std::lock_guard guard(lock);
    std::vector<platform::HostDeviceInfo> found;
    for (const auto& device : devices) {
      if (!device->present || !IsEqualGUID(device->description.setupClass, setupClass)) continue;
      found.push_back({device->id, device->description.setupClass, device->description.manufacturer,
                       device->description.service, device->description.pdoName});
    }
    return found;
  }

  std::unique_ptr<platform::HostFile> Open(std::wstring_view pdoName, DWORD& error) override {
    std::lock_guard guard(lock);
    for (const auto& device : devices) {
      if (!device->present || !device->description.pdoName ||
          !EqualNoCase(*device->description.pdoName, pdoName))
        continue;
      if (device->description.openError != ERROR_SUCCESS) {
        error = device->description.openError;
        return nullptr;
      }
      return std::make_unique<File>(device);
    }
    error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }

  void DebugOutput(std::wstring_view text) override {
    std::lock_guard guard(lock);
    debugOutput.emplace_back(text);
    if (echoDebugOutput) std::fputs(platform::ToUtf8(text).c_str(), stderr);
  }
};

Machine::Machine() : state(std::make_shared<State>()) {
  Machine* expected = nullptr;
  if (!current.compare_exchange_strong(expected, this) || !platform::InstallHost(state)) {
    if (expected == nullptr) current = nullptr;
    throw std::logic_error("vesk::sim::Machine: another machine is current");
  }
  state->notifier = std::thread([s = state.get()] { s->RunNotifications(); });
}

Machine::~Machine() {
  platform::UninstallHost(state.get());
  {
    std::lock_guard guard(state->lock);
    for (const auto& device : state->devices) device->present = false;
    state->stopping = true;
  }
  // Notifications raised before are still delivered; then the thread ends.
  state->queued.notify_one();
  if (state->notifier.joinable()) {
    if (state->notifier.get_id() == std::this_thread::get_id())
      state->notifier.detach();
    else
      state->notifier.join();
  }
  current = nullptr;
}

Machine* Machine::Current() { return current.load(); }

DeviceId Machine::AddDevice(DeviceSpec description) {
  auto device = std::make_shared<Device>();
  device->id = nextDeviceId++;
  device->description = std::move(description);
  {
    std::lock_guard guard(state->lock);
    state->devices.push_back(device);
  }
  state->PostInterface(device, CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL);
  return device->id;
}

void Machine::RemoveDevice(DeviceId id, Removal removal) {
  std::shared_ptr<Device> device;
  {
    std::lock_guard guard(state->lock);
    device = state->Find(id);
    if (removal == Removal::Surprise && !device->present.exchange(false)) return;
  }
  if (removal == Removal::Surprise) {
    state->PostRemoved(device);
    return;
  }
  // The query is decided on the notification thread, after the callbacks have answered: a handle
  // a callback closes counts as closed, one it leaves open keeps the device.
  state->Post([s = state.get(), device, raised = platform::MarkNotification()] {
    if (!device->present.load()) return;
    const bool accepted = platform::DeliverDeviceHandleNotification(
        raised, device->id, CM_NOTIFY_ACTION_DEVICEQUERYREMOVE);
    if (!accepted || device->openHandles.load() != 0 || !device->present.exchange(false)) {
      platform::DeliverDeviceHandleNotification(platform::MarkNotification(), device->id,
                                                CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED);
      return;
    }
    s->PostRemoved(device);
  });
}

bool Machine::IsPresent(DeviceId id) const {
  std::lock_guard guard(state->lock);
  return state->Find(id)->present.load();
}

void Machine::NotifyDeviceHandles(DeviceId id, CM_NOTIFY_ACTION action) {
  {
    std::lock_guard guard(state->lock);
    state->Find(id);
  }
  state->PostHandles(id, action);
}

void Machine::NotifyInterface(DeviceId id, CM_NOTIFY_ACTION action) {
  std::shared_ptr<Device> device;
  {
    std::lock_guard guard(state->lock);
    device = state->Find(id);
  }
  state->PostInterface(device, action);
}

void Machine::WaitForNotifications() {
  if (std::this_thread::get_id() == state->notifier.get_id()) return;
  std::unique_lock guard(state->lock);
  state->drained.wait(guard, [&] { return state->notifications.empty() && !state->delivering; });
}

std::size_t Machine::OpenHandleCount(DeviceId id) const {
  std::lock_guard guard(state->lock);
  return state->Find(id)->openHandles.load();
}

std::shared_ptr<DeviceBackend> Machine::Backend(DeviceId id) const {
  std::lock_guard guard(state->lock);
  return state->Find(id)->description.backend;
}

void Machine::FailCalls(Api api, DWORD error, int count, int after) {
  std::lock_guard guard(state->lock);
  if (count == 0)
    state->faults.erase(api);
  else
    state->faults[api] = {error, count < 0 ? -1 : count, after < 0 ? 0 : after};
  platform::SetFaultsArmed(!state->faults.empty());
}

bool Machine::FaultPending(Api api) const {
  std::lock_guard guard(state->lock);
  return state->faults.count(api) != 0;
}

void Machine::ClearFaults() {
  std::lock_guard guard(state->lock);
  state->faults.clear();
  platform::SetFaultsArmed(false);
}

std::unique_ptr<TraceSession> Machine::StartTrace(const GUID& provider, UCHAR level,
                                                  ULONGLONG matchAnyKeyword,
                                                  ULONGLONG matchAllKeyword) {
  return std::make_unique<Session>(provider, level, matchAnyKeyword, matchAllKeyword);
}

std::vector<std::wstring> Machine::DebugOutput() const {
  std::lock_guard guard(state->lock);
  return state->debugOutput;
}

void Machine::ClearDebugOutput() {
  std::lock_guard guard(state->lock);
  state->debugOutput.clear();
}

std::vector<std::wstring> Machine::TakeDebugOutput() {
  std::lock_guard guard(state->lock);
  return std::exchange(state->debugOutput, {});
}

void Machine::EchoDebugOutput(bool echo) {
  std::lock_guard guard(state->lock);
  state->echoDebugOutput = echo;
}

}  // namespace vesk::sim
