// Trace providers, their enablement by a trace session, and the decoding of TraceLogging events.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulator/Machine.h"

namespace {

using vesk::sim::Machine;

constexpr GUID kProvider = {0x1a2b3c4d, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

struct EnableState {
  std::vector<ULONG> codes;
  UCHAR level = 0xFF;
  ULONGLONG any = 0;
  ULONGLONG all = 0;
};

void EnableCallback(LPCGUID, ULONG code, UCHAR level, ULONGLONG any, ULONGLONG all,
                    PEVENT_FILTER_DESCRIPTOR, PVOID context) {
  auto* state = static_cast<EnableState*>(context);
  state->codes.push_back(code);
  state->level = level;
  state->any = any;
  state->all = all;
}

// Metadata blobs laid out as TraceLogging lays them out.
std::vector<BYTE> Blob(const std::vector<BYTE>& body) {
  const auto size = static_cast<std::uint16_t>(body.size() + 2);
  std::vector<BYTE> blob = {static_cast<BYTE>(size & 0xFF), static_cast<BYTE>(size >> 8)};
  blob.insert(blob.end(), body.begin(), body.end());
  return blob;
}
void Append(std::vector<BYTE>& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
}
EVENT_DATA_DESCRIPTOR Data(const std::vector<BYTE>& bytes, UCHAR type) {
  EVENT_DATA_DESCRIPTOR d{};
  d.Ptr = reinterpret_cast<std::uintptr_t>(bytes.data());
  d.Size = static_cast<ULONG>(bytes.size());
  d.Reserved = type;
  return d;
}

class Tracing : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(EventRegister(&kProvider, EnableCallback, &enable, &handle), ERROR_SUCCESS);
    std::vector<BYTE> name;
    Append(name, "TaluMiddlewareTraceLoggingProvider");
    providerMetadata = Blob(name);
    ASSERT_EQ(providerMetadata.size(), 37u);
    ASSERT_EQ(EventSetInformation(handle, EventProviderSetTraits, providerMetadata.data(), 37),
              ERROR_SUCCESS);
  }
  void TearDown() override { EventUnregister(handle); }

  // The library's one event: "PNP Event" with one ANSI string field "Message".
  ULONG WritePnpEvent(const std::string& message, UCHAR level = 5) {
    std::vector<BYTE> body = {0};
    Append(body, "PNP Event");
    Append(body, "Message");
    body.push_back(2);
    const auto eventMetadata = Blob(body);
    EXPECT_EQ(eventMetadata.size(), 22u);
    std::vector<BYTE> payload;
    Append(payload, message);
    EVENT_DATA_DESCRIPTOR data[3] = {Data(providerMetadata, 2), Data(eventMetadata, 1),
                                     Data(payload, 0)};
    const EVENT_DESCRIPTOR descriptor{0, 0, 11, level, 0, 0, 0};
    return EventWriteTransfer(handle, &descriptor, nullptr, nullptr, 3, data);
  }

  Machine machine;
  EnableState enable;
  REGHANDLE handle = 0;
  std::vector<BYTE> providerMetadata;
};

TEST_F(Tracing, SessionEnablesTheProviderAndDisablesItWhenDestroyed) {
  EXPECT_TRUE(enable.codes.empty());
  {
    auto session = machine.StartTrace(kProvider, 5, 0x10, 0x20);
    EXPECT_EQ(enable.codes, std::vector<ULONG>{EVENT_CONTROL_CODE_ENABLE_PROVIDER});
    EXPECT_EQ(enable.level, 5);
    EXPECT_EQ(enable.any, 0x10u);
    EXPECT_EQ(enable.all, 0x20u);
  }
  EXPECT_EQ(enable.codes.back(), EVENT_CONTROL_CODE_DISABLE_PROVIDER);
}

TEST_F(Tracing, ProviderRegisteredWhileASessionRunsIsEnabledAtOnce) {
  const GUID later = {0x99, 0, 0, {0}};
  auto session = machine.StartTrace(later, 0);
  EnableState state;
  REGHANDLE other = 0;
  ASSERT_EQ(EventRegister(&later, EnableCallback, &state, &other), ERROR_SUCCESS);
  EXPECT_EQ(state.codes, std::vector<ULONG>{EVENT_CONTROL_CODE_ENABLE_PROVIDER});
  EXPECT_EQ(state.level, 0);
  EventUnregister(other);
}

TEST_F(Tracing, TwoSessionsCombineAndTheLastOneDisables) {
  auto verbose = machine.StartTrace(kProvider, 5);
  auto errors = machine.StartTrace(kProvider, 2);
  EXPECT_EQ(enable.level, 5);
  verbose.reset();
  EXPECT_EQ(enable.codes.back(), EVENT_CONTROL_CODE_ENABLE_PROVIDER);
  EXPECT_EQ(enable.level, 2);
  errors.reset();
  EXPECT_EQ(enable.codes.back(), EVENT_CONTROL_CODE_DISABLE_PROVIDER);
}

TEST_F(Tracing, EventIsDecodedFromItsMetadata) {
  auto session = machine.StartTrace(kProvider, 5);
  ASSERT_EQ(WritePnpEvent("New device detected."), ERROR_SUCCESS);
  const auto events = session->Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].provider, "TaluMiddlewareTraceLoggingProvider");
  EXPECT_EQ(events[0].name, "PNP Event");
  EXPECT_EQ(events[0].level, 5);
  EXPECT_EQ(events[0].channel, 11);
  EXPECT_EQ(events[0].tags, 0u);
  ASSERT_EQ(events[0].fields.size(), 1u);
  EXPECT_EQ(events[0].fields[0].name, "Message");
  EXPECT_EQ(events[0].fields[0].inType, 2);
  EXPECT_EQ(events[0].fields[0].value, "New device detected.");
  session->Clear();
  EXPECT_TRUE(session->Events().empty());
}

TEST_F(Tracing, SessionSeesOnlyEventsWithinItsLevel) {
  auto level4 = machine.StartTrace(kProvider, 4);
  auto all = machine.StartTrace(kProvider, 0);
  WritePnpEvent("verbose", 5);
  WritePnpEvent("warning", 3);
  ASSERT_EQ(level4->Events().size(), 1u);
  EXPECT_EQ(level4->Events()[0].fields[0].value, "warning");
  EXPECT_EQ(all->Events().size(), 2u);
}

TEST_F(Tracing, WritesWithoutSessionOrToBadHandlesGoNowhere) {
  EXPECT_EQ(WritePnpEvent("nobody listens"), ERROR_SUCCESS);
  const EVENT_DESCRIPTOR descriptor{};
  EXPECT_EQ(EventWriteTransfer(0, &descriptor, nullptr, nullptr, 0, nullptr), ERROR_INVALID_HANDLE);
  EXPECT_EQ(EventWriteTransfer(handle, nullptr, nullptr, nullptr, 0, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(EventUnregister(0xDEAD), ERROR_INVALID_HANDLE);
  BYTE wrongSize[4] = {9, 0, 'a', 0};
  EXPECT_EQ(EventSetInformation(handle, EventProviderSetTraits, wrongSize, 4),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(EventSetInformation(0xDEAD, EventProviderSetTraits, wrongSize, 4),
            ERROR_INVALID_HANDLE);
}

}  // namespace
