#include "diagnostics/Logger.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <vector>

#include "platform/simulated/Host.h"
#include "simulator/Machine.h"

namespace Vesk {
namespace {

class LoggerTest : public ::testing::Test {
 protected:
  vesk::sim::Machine machine;
};

// {9eae9e62-1567-406f-b438-4da4e26c8f2f} as a GUID lies in memory: the first three groups
// little-endian, the last eight bytes as written. Consumers enable the provider by these bytes.
constexpr std::uint8_t kProviderGuid[16] = {0x62, 0x9e, 0xae, 0x9e, 0x67, 0x15, 0x6f, 0x40,
                                            0xb4, 0x38, 0x4d, 0xa4, 0xe2, 0x6c, 0x8f, 0x2f};

TEST_F(LoggerTest, ProviderIsFoundByItsFixedGuidWhichAlsoPrecedesItsMetadata) {
  ASSERT_EQ(std::memcmp(&Logger::providerId, kProviderGuid, 16), 0);
  GUID guid;
  std::memcpy(&guid, kProviderGuid, sizeof guid);
  std::vector<std::uint8_t> guidBeforeMetadata, traits;
  const auto consumer = vesk::platform::EnableProvider(
      guid, 5, 0, 0, [&](const vesk::platform::RawTraceEvent& event) {
        // TraceLogging keeps the provider GUID in the 16 bytes before the provider metadata.
        const auto* metadata = reinterpret_cast<const std::uint8_t*>(event.data[0].Ptr);
        guidBeforeMetadata.assign(metadata - 16, metadata);
        traits = *event.providerTraits;
      });
  EXPECT_TRUE(Logger::IsEnabled());
  Logger::Write("New controller detected.");
  vesk::platform::DisableProvider(consumer);

  EXPECT_EQ(guidBeforeMetadata, std::vector<std::uint8_t>(kProviderGuid, kProviderGuid + 16));
  const char name[] = "TaluMiddlewareTraceLoggingProvider";
  std::vector<std::uint8_t> expected = {37, 0};
  expected.insert(expected.end(), name, name + sizeof name);
  EXPECT_EQ(traits, expected);
}

// Takes the library's provider out of service (its registration is once per process) and
// registers it afresh at the end, as when the library is loaded again.
class ProviderOutOfService {
 public:
  ProviderOutOfService() { Logger::logger.~LoggerEntity(); }
  ~ProviderOutOfService() { new (&Logger::logger) LoggerEntity; }
};

class LoggerRegistrationFailureTest : public LoggerTest,
                                      public ::testing::WithParamInterface<vesk::sim::Api> {};

TEST_P(LoggerRegistrationFailureTest, LeavesTheLibraryWorkingWithoutTracing) {
  auto waiting = machine.StartTrace(Logger::providerId, 5);  // enables the provider as it registers
  {
    ProviderOutOfService outOfService;
    machine.FailCalls(GetParam(), ERROR_NOT_SUPPORTED);
    LoggerEntity failed;
    EXPECT_FALSE(Logger::IsEnabled());
    auto later = machine.StartTrace(Logger::providerId, 0);
    EXPECT_FALSE(Logger::IsEnabled());
    Logger::Write("New device detected.");
    EXPECT_TRUE(waiting->Events().empty());
    EXPECT_TRUE(later->Events().empty());
  }
  // A later registration works, and is not taken for a second one.
  EXPECT_TRUE(Logger::IsEnabled());
  Logger::Write("Device removed.");
  const auto events = waiting->Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].fields.at(0).value, "Device removed.");
}

INSTANTIATE_TEST_SUITE_P(Calls, LoggerRegistrationFailureTest,
                         ::testing::Values(vesk::sim::Api::EventRegister,
                                           vesk::sim::Api::EventSetInformation));

// Only a consumer at verbose level or of all levels (0) enables the provider, and only while its
// session lasts. The event describes itself.
TEST_F(LoggerTest, OnlyAVerboseConsumerEnablesTheProviderAndSeesTheSelfDescribedEvent) {
  {
    auto below = machine.StartTrace(Logger::providerId, 4);
    EXPECT_FALSE(Logger::IsEnabled());
    Logger::Write("New device detected.");
    EXPECT_TRUE(below->Events().empty());
  }
  auto all = machine.StartTrace(Logger::providerId, 0);
  ASSERT_TRUE(Logger::IsEnabled());
  Logger::Write(nullptr);  // the empty text
  Logger::Write("Controller removed.");
  const auto events = all->Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].fields.at(0).value, "");
  all.reset();
  EXPECT_FALSE(Logger::IsEnabled());

  const auto& event = events[1];
  EXPECT_EQ(event.provider, "TaluMiddlewareTraceLoggingProvider");
  EXPECT_EQ(event.name, "PNP Event");
  EXPECT_EQ(event.level, 5);
  EXPECT_EQ(event.channel, 11);
  EXPECT_EQ(event.opcode, 0);
  EXPECT_EQ(event.keyword, 0u);
  EXPECT_EQ(event.tags, 0);
  ASSERT_EQ(event.fields.size(), 1u);
  EXPECT_EQ(event.fields[0].name, "Message");
  EXPECT_EQ(event.fields[0].inType, 2);
  EXPECT_EQ(event.fields[0].value, "Controller removed.");
}

TEST(LoggerDeathTest, SecondRegistrationStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH({ LoggerEntity second; }, "");
}

}  // namespace
}  // namespace Vesk
