#include "device/Event.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace Vesk {
namespace {

// A handler that throws ends the raise: the handlers after it do not see the argument.
TEST(Event, CallsHandlersInTheOrderTheyWereAddedAndSkipsThoseWithoutAFunction) {
  Event<int> event;
  std::vector<std::string> calls;
  event.AddHandler(
      EventHandler<int>([&](int value) { calls.push_back("a" + std::to_string(value)); }));
  event.AddHandler(EventHandler<int>(nullptr));
  event.AddHandler(
      EventHandler<int>([&](int value) { calls.push_back("b" + std::to_string(value)); }));
  event.AddHandler(EventHandler<int>([](int value) {
    if (value == 1) throw std::runtime_error("handler failed");
  }));
  event.AddHandler(EventHandler<int>([&](int) { calls.push_back("c"); }));

  event.Raise(7);
  EXPECT_THROW(event.Raise(1), std::runtime_error);

  EXPECT_EQ(calls, (std::vector<std::string>{"a7", "b7", "c", "a1", "b1"}));
}

TEST(Event, RemovingByIdRemovesEveryCopyOfTheHandler) {
  Event<int> event;
  int calls = 0;
  EventHandler<int> counted([&](int) { ++calls; });
  EventHandler<int> other([&](int) { calls += 100; });
  const std::uint32_t id = event.AddHandler(counted);
  event.AddHandler(counted);
  event.AddHandler(other);

  EXPECT_EQ(id, counted.id);
  event.RemoveHandler(id);
  event.Raise(0);
  EXPECT_EQ(calls, 100);

  event.RemoveHandler(other);
  event.Raise(0);
  EXPECT_EQ(calls, 100);
}

// The plug-and-play listener's owner may be destroyed by one of its handlers, events and all.
TEST(Event, HandlerMayDestroyTheEventItIsRaisedFrom) {
  auto event = std::make_unique<Event<int>>();
  int calls = 0;
  event->AddHandler(EventHandler<int>([&](int) { event.reset(); }));
  event->AddHandler(EventHandler<int>([&](int value) { calls += value; }));

  Event<int>& raised = *event;
  raised.Raise(3);

  EXPECT_EQ(event, nullptr);
  EXPECT_EQ(calls, 3) << "the handlers after it still run";
}

TEST(EventHandlerDeathTest, IdsStartAtOneAndGrowAcrossEveryEventType) {
  // A fresh process: the threadsafe style re-runs this test alone in a new program.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        EventHandler<int> first([](int) {});
        EventHandler<const char*> second([](const char*) {});
        EventHandler<int> copy = first;
        std::exit(first.id == 1 && second.id == 2 && copy.id == 1 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace Vesk
