// Event tracing: a process-wide table of registered providers and of the consumers (trace
// sessions of the host) that enable them by GUID. Enabling and disabling call the provider's
// enable callback with the combination of all its consumers, as ETW does; written events go to
// every consumer whose level and keywords they pass, raw, on the writer's thread.
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/posix/Errors.h"
#include "platform/simulated/Host.h"

namespace vesk::platform {

namespace {

constexpr ULONG kMaxEventDataDescriptors = 128;

struct Provider {
  GUID guid{};
  PENABLECALLBACK callback = nullptr;
  PVOID context = nullptr;
  std::shared_ptr<const std::vector<BYTE>> traits;  // replaced whole, under the table lock
};

struct Consumer {
  GUID guid{};
  UCHAR level = 0;
  ULONGLONG matchAny = 0;
  ULONGLONG matchAll = 0;
  TraceSink sink;
  bool disabled = false;  // guarded by the table lock, like running
  int running = 0;
};

struct TraceTable {
  // Serializes registering, enabling and disabling, so that enable callbacks see changes in
  // order. Recursive: an enable callback may register or write.
  std::recursive_mutex control;
  std::mutex lock;  // guards the maps and the consumers' counts
  std::condition_variable idle;
  std::map<REGHANDLE, std::shared_ptr<Provider>> providers;
  std::map<std::uint64_t, std::shared_ptr<Consumer>> consumers;
  REGHANDLE nextHandle = 1;
  std::uint64_t nextConsumer = 1;
};

TraceTable& Table() {
  static TraceTable* table = new TraceTable;
  return *table;
}

struct Combined {
  bool enabled = false;
  UCHAR level = 0;
  ULONGLONG matchAny = 0;
  ULONGLONG matchAll = 0;
};

// Called with the table lock held.
Combined CombineConsumers(TraceTable& table, const GUID& guid) {
  Combined combined;
  bool allLevels = false;
  for (const auto& [id, consumer] : table.consumers) {
    if (!IsEqualGUID(consumer->guid, guid)) continue;
    combined.matchAll =
        combined.enabled ? (combined.matchAll & consumer->matchAll) : consumer->matchAll;
    combined.enabled = true;
    allLevels = allLevels || consumer->level == 0;
    if (consumer->level > combined.level) combined.level = consumer->level;
    combined.matchAny |= consumer->matchAny;
  }
  if (allLevels) combined.level = 0;
  return combined;
}

// Tells every provider registered for `guid` its new enable state. Called with `control` held
// and the table lock not held.
void NotifyProviders(TraceTable& table, const GUID& guid) {
  std::vector<std::shared_ptr<Provider>> providers;
  Combined combined;
  {
    std::lock_guard guard(table.lock);
    combined = CombineConsumers(table, guid);
    for (const auto& [handle, provider] : table.providers)
      if (IsEqualGUID(provider->guid, guid) && provider->callback) providers.push_back(provider);
  }
  const GUID source{};
  for (const auto& provider : providers) {
    provider->callback(
        &source,
        combined.enabled ? EVENT_CONTROL_CODE_ENABLE_PROVIDER : EVENT_CONTROL_CODE_DISABLE_PROVIDER,
        combined.level, combined.matchAny, combined.matchAll, nullptr, provider->context);
  }
}

bool Passes(const Consumer& consumer, const EVENT_DESCRIPTOR& event) {
  if (consumer.level != 0 && event.Level != 0 && event.Level > consumer.level) return false;
  if (event.Keyword == 0) return true;
  if (consumer.matchAny != 0 && (event.Keyword & consumer.matchAny) == 0) return false;
  return (event.Keyword & consumer.matchAll) == consumer.matchAll;
}

}  // namespace

std::uint64_t EnableProvider(const GUID& provider, UCHAR level, ULONGLONG matchAnyKeyword,
                             ULONGLONG matchAllKeyword, TraceSink sink) {
  auto& table = Table();
  std::lock_guard control(table.control);
  auto consumer = std::make_shared<Consumer>();
  consumer->guid = provider;
  consumer->level = level;
  consumer->matchAny = matchAnyKeyword;
  consumer->matchAll = matchAllKeyword;
  consumer->sink = std::move(sink);
  std::uint64_t id;
  {
    std::lock_guard guard(table.lock);
    id = table.nextConsumer++;
    table.consumers.emplace(id, consumer);
  }
  NotifyProviders(table, provider);
  return id;
}

void DisableProvider(std::uint64_t consumerId) {
  auto& table = Table();
  std::lock_guard control(table.control);
  GUID guid;
  {
    std::unique_lock lock(table.lock);
    auto it = table.consumers.find(consumerId);
    if (it == table.consumers.end()) return;
    auto consumer = it->second;
    table.consumers.erase(it);
    consumer->disabled = true;
    guid = consumer->guid;
    table.idle.wait(lock, [&] { return consumer->running == 0; });
  }
  NotifyProviders(table, guid);
}

namespace simulated {

ULONG EventRegister(LPCGUID providerId, PENABLECALLBACK enableCallback, PVOID callbackContext,
                    PREGHANDLE regHandle) {
  DWORD fault = ERROR_SUCCESS;
  if (TakeFault(Api::EventRegister, fault)) {
    if (regHandle != nullptr) *regHandle = 0;
    return fault;
  }
  if (providerId == nullptr || regHandle == nullptr) return ERROR_INVALID_PARAMETER;
  auto& table = Table();
  std::lock_guard control(table.control);
  auto provider = std::make_shared<Provider>();
  provider->guid = *providerId;
  provider->callback = enableCallback;
  provider->context = callbackContext;
  bool enabled;
  {
    std::lock_guard guard(table.lock);
    *regHandle = table.nextHandle++;
    table.providers.emplace(*regHandle, provider);
    enabled = CombineConsumers(table, *providerId).enabled;
  }
  // A provider that registers while a consumer already wants it learns so at once.
  if (enabled) NotifyProviders(table, *providerId);
  return ERROR_SUCCESS;
}

ULONG EventUnregister(REGHANDLE regHandle) {
  auto& table = Table();
  std::lock_guard control(table.control);
  std::lock_guard guard(table.lock);
  return table.providers.erase(regHandle) == 1 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

ULONG EventSetInformation(REGHANDLE regHandle, EVENT_INFO_CLASS informationClass, PVOID information,
                          ULONG informationLength) {
  DWORD fault = ERROR_SUCCESS;
  if (TakeFault(Api::EventSetInformation, fault)) return fault;
  auto& table = Table();
  std::lock_guard guard(table.lock);
  auto it = table.providers.find(regHandle);
  if (it == table.providers.end()) return ERROR_INVALID_HANDLE;
  switch (informationClass) {
    case EventProviderSetTraits: {
      // The traits blob starts with its own total size, which must be the length given.
      if (information == nullptr || informationLength < 3) return ERROR_INVALID_PARAMETER;
      const auto* bytes = static_cast<const BYTE*>(information);
      if (static_cast<ULONG>(bytes[0] | (bytes[1] << 8)) != informationLength)
        return ERROR_INVALID_PARAMETER;
      it->second->traits =
          std::make_shared<const std::vector<BYTE>>(bytes, bytes + informationLength);
      return ERROR_SUCCESS;
    }
    case EventProviderUseDescriptorType:
      if (information == nullptr || informationLength != 1) return ERROR_INVALID_PARAMETER;
      return ERROR_SUCCESS;
    default:
      return ERROR_NOT_SUPPORTED;
  }
}

ULONG EventWriteTransfer(REGHANDLE regHandle, PCEVENT_DESCRIPTOR descriptor, LPCGUID /*activityId*/,
                         LPCGUID /*relatedActivityId*/, ULONG userDataCount,
                         PEVENT_DATA_DESCRIPTOR userData) {
  if (descriptor == nullptr || userDataCount > kMaxEventDataDescriptors ||
      (userData == nullptr && userDataCount != 0))
    return ERROR_INVALID_PARAMETER;
  auto& table = Table();
  std::shared_ptr<const std::vector<BYTE>> traits;
  std::vector<std::shared_ptr<Consumer>> targets;
  {
    std::lock_guard guard(table.lock);
    auto it = table.providers.find(regHandle);
    if (it == table.providers.end()) return ERROR_INVALID_HANDLE;
    traits = it->second->traits;
    for (const auto& [id, consumer] : table.consumers) {
      if (IsEqualGUID(consumer->guid, it->second->guid) && Passes(*consumer, *descriptor)) {
        ++consumer->running;
        targets.push_back(consumer);
      }
    }
  }
  static const std::vector<BYTE> noTraits;
  const RawTraceEvent event{descriptor, userData, userDataCount, traits ? traits.get() : &noTraits};
  for (const auto& consumer : targets) {
    consumer->sink(event);
    {
      std::lock_guard guard(table.lock);
      --consumer->running;
    }
    table.idle.notify_all();
  }
  return ERROR_SUCCESS;
}

}  // namespace simulated
}  // namespace vesk::platform
