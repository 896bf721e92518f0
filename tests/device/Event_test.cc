#include "device/Event.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace Vesk {
namespace {

// A handler that throws ends the raise: the handlers after it do not see the argument. Removing
// a handler, by id or by itself, removes every copy of it.
TEST(Event, CallsHandlersInTheOrderTheyWereAddedAndSkipsThoseWithoutAFunction) {
  Event<int> event;
  std::vector<std::string> calls;
  auto named = [&calls](const char* name) {
    return EventHandler<int>(
        [&calls, name](int value) { calls.push_back(name + std::to_string(value)); });
  };
  const EventHandler<int> b = named("b"), c = named("c");
  event.AddHandler(named("a"));
  event.AddHandler(EventHandler<int>(nullptr));
  EXPECT_EQ(event.AddHandler(b), b.id);
  event.AddHandler(EventHandler<int>([](int value) {
    if (value == 1) throw std::runtime_error("handler failed");
  }));
  event.AddHandler(b);
  event.AddHandler(c);

  event.Raise(7);
  EXPECT_THROW(event.Raise(1), std::runtime_error);
  event.RemoveHandler(b.id);
  event.RemoveHandler(c);
  event.Raise(2);

  EXPECT_EQ(calls, (std::vector<std::string>{"a7", "b7", "b7", "c7", "a1", "b1", "a2"}));
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
