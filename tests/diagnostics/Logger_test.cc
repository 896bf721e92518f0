#include "diagnostics/Logger.h"

#include <gtest/gtest.h>

#include "simulator/Machine.h"

namespace Vesk {
namespace {

class LoggerTest : public ::testing::Test {
 protected:
  vesk::sim::Machine machine;
};

TEST_F(LoggerTest, IsDisabledWithoutAConsumer) { EXPECT_FALSE(Logger::IsEnabled()); }

TEST_F(LoggerTest, ConsumerBelowVerboseSeesNothing) {
  auto session = machine.StartTrace(Logger::providerId, 4);

  EXPECT_FALSE(Logger::IsEnabled());
  Logger::Write("New device detected.");
  EXPECT_TRUE(session->Events().empty());
}

TEST_F(LoggerTest, VerboseConsumerSeesTheSelfDescribedPnpEvent) {
  auto session = machine.StartTrace(Logger::providerId, 5);

  ASSERT_TRUE(Logger::IsEnabled());
  Logger::Write("Controller removed.");

  const auto events = session->Events();
  ASSERT_EQ(events.size(), 1u);
  const auto& event = events[0];
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

TEST_F(LoggerTest, ConsumerOfAllLevelsSeesTheEventAndNullIsTheEmptyText) {
  auto session = machine.StartTrace(Logger::providerId, 0);

  ASSERT_TRUE(Logger::IsEnabled());
  Logger::Write(nullptr);

  const auto events = session->Events();
  ASSERT_EQ(events.size(), 1u);
  ASSERT_EQ(events[0].fields.size(), 1u);
  EXPECT_EQ(events[0].fields[0].value, "");
}

TEST_F(LoggerTest, EndOfTheLastSessionDisablesTheProvider) {
  auto session = machine.StartTrace(Logger::providerId, 5);
  ASSERT_TRUE(Logger::IsEnabled());

  session.reset();

  EXPECT_FALSE(Logger::IsEnabled());
}

TEST(LoggerDeathTest, SecondRegistrationStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH({ LoggerEntity second; }, "");
}

}  // namespace
}  // namespace Vesk
