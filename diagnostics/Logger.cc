#include "diagnostics/Logger.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace Vesk {

// {9eae9e62-1567-406f-b438-4da4e26c8f2f}, chosen once for this provider; never change it.
const GUID Logger::providerId = {
    0x9eae9e62, 0x1567, 0x406f, {0xb4, 0x38, 0x4d, 0xa4, 0xe2, 0x6c, 0x8f, 0x2f}};

namespace {

// TraceLogging keeps the provider GUID in the 16 bytes right before the provider metadata.
struct ProviderTraits {
  GUID id;
  std::uint16_t size;  // of the metadata: this field and the name
  char name[35];
};
static_assert(offsetof(ProviderTraits, size) == 16);
static_assert(offsetof(ProviderTraits, name) == 18);
static_assert(sizeof(ProviderTraits::name) == sizeof("TaluMiddlewareTraceLoggingProvider"));

constexpr ProviderTraits providerTraits = {
    {0x9eae9e62, 0x1567, 0x406f, {0xb4, 0x38, 0x4d, 0xa4, 0xe2, 0x6c, 0x8f, 0x2f}},
    37,
    "TaluMiddlewareTraceLoggingProvider"};
constexpr ULONG providerMetadataSize = 37;

#pragma pack(push, 1)
// TraceLogging event metadata of "PNP Event": one ANSI-string field "Message".
struct EventMetadata {
  std::uint16_t size;  // of the whole blob, this field included
  std::uint8_t tags;
  char name[10];
  char field[8];
  std::uint8_t fieldInType;
};
#pragma pack(pop)
static_assert(sizeof(EventMetadata) == 22);
static_assert(offsetof(EventMetadata, tags) == 2);
static_assert(offsetof(EventMetadata, name) == 3);
static_assert(offsetof(EventMetadata, field) == 13);
static_assert(offsetof(EventMetadata, fieldInType) == 21);

constexpr std::uint8_t inTypeAnsiString = 2;
constexpr EventMetadata eventMetadata = {22, 0, "PNP Event", "Message", inTypeAnsiString};

constexpr UCHAR channelTraceLogging = 11;
// EVENT_CONTROL_CODE_DISABLE_PROVIDER and _ENABLE_PROVIDER, which mingw's headers lack.
constexpr ULONG controlDisable = 0;
constexpr ULONG controlEnable = 1;
constexpr UCHAR levelVerbose = 5;

// The process-wide provider record. Constant-initialized, so it is ready before any static
// constructor runs. The level is changed by the enable callback while other threads read it.
struct ProviderState {
  std::atomic<std::uint32_t> levelPlusOne{0};
  const void* providerMetadata = &providerTraits.size;
  std::atomic<ULONGLONG> keywordAny{0};
  std::atomic<ULONGLONG> keywordAll{0};
  std::atomic<REGHANDLE> registrationHandle{0};
  PENABLECALLBACK enableCallback = nullptr;
  PVOID callbackContext = nullptr;
};

constinit ProviderState provider;

void NTAPI EnableCallback(LPCGUID, ULONG controlCode, UCHAR level, ULONGLONG matchAnyKeyword,
                          ULONGLONG matchAllKeyword, PEVENT_FILTER_DESCRIPTOR, PVOID context) {
  auto* state = static_cast<ProviderState*>(context);
  if (controlCode == controlEnable) {
    state->keywordAny = matchAnyKeyword;
    state->keywordAll = matchAllKeyword;
    state->levelPlusOne = level == 0 ? 256u : level + 1u;
  } else if (controlCode == controlDisable) {
    state->levelPlusOne = 0;
  }
}

EVENT_DATA_DESCRIPTOR DataItem(const void* data, ULONG size, UCHAR type) {
  EVENT_DATA_DESCRIPTOR item;
  item.Ptr = static_cast<ULONGLONG>(reinterpret_cast<std::uintptr_t>(data));
  item.Size = size;
  // The type is the low byte of Reserved; mingw's descriptor has no separate field for it.
  item.Reserved = type;
  return item;
}

}  // namespace

LoggerEntity Logger::logger;

LoggerEntity::LoggerEntity() {
  // Two registrations would share one provider record; that is a bug to stop at, not to survive.
  if (provider.registrationHandle != 0) std::abort();
  provider.enableCallback = nullptr;
  provider.callbackContext = nullptr;
  REGHANDLE handle = 0;
  // A failure of either call leaves the library running without tracing.
  if (EventRegister(&Logger::providerId, EnableCallback, &provider, &handle) != ERROR_SUCCESS)
    return;
  if (EventSetInformation(handle, EventProviderSetTraits,
                          const_cast<void*>(provider.providerMetadata),
                          providerMetadataSize) != ERROR_SUCCESS) {
    // A consumer already waiting for the provider has enabled it inside EventRegister.
    EventUnregister(handle);
    provider.levelPlusOne = 0;
    return;
  }
  provider.registrationHandle = handle;
}

LoggerEntity::~LoggerEntity() {
  provider.levelPlusOne = 0;
  REGHANDLE handle = provider.registrationHandle.exchange(0);
  EventUnregister(handle);
}

bool Logger::IsEnabled() { return provider.levelPlusOne.load(std::memory_order_relaxed) > 5; }

void Logger::Write(const char* message) {
  if (message == nullptr) message = "";
  const EVENT_DESCRIPTOR descriptor = {0, 0, channelTraceLogging, levelVerbose, 0, 0, 0};
  EVENT_DATA_DESCRIPTOR data[3] = {
      DataItem(provider.providerMetadata, providerMetadataSize,
               EVENT_DATA_DESCRIPTOR_TYPE_PROVIDER_METADATA),
      DataItem(&eventMetadata, sizeof eventMetadata, EVENT_DATA_DESCRIPTOR_TYPE_EVENT_METADATA),
      DataItem(message, static_cast<ULONG>(std::strlen(message) + 1),
               EVENT_DATA_DESCRIPTOR_TYPE_NONE),
  };
  EventWriteTransfer(provider.registrationHandle, &descriptor, nullptr, nullptr, 3, data);
}

}  // namespace Vesk
