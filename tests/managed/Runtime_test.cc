// The managed-runtime stand-ins: events, the semaphore, the observable dictionary, callback entry
// points, ANSI conversion and the owner of the native facade.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "vesk_managed/Callback.h"
#include "vesk_managed/ObservableConcurrentDictionary.h"
#include "vesk_managed/SemaphoreSlim.h"
#include "vesk_managed/System.h"
#include "vesk_managed/VeskManaged.h"

namespace VESK_Managed {
namespace {

using namespace std::chrono_literals;
using System::Runtime::InteropServices::CallbackBinding;

struct Args {
  int value;
};

TEST(EventTest, TokensUnsubscribeOnlyTheirOwnHandlerAndAHandlerMayUnsubscribeItself) {
  System::Event<Args> event;
  System::Object sender;
  std::vector<int> calls;
  System::Event<Args>::Token self = 0;
  auto first =
      event.Subscribe([&](const System::Object&, const Args& a) { calls.push_back(a.value); });
  self = event.Subscribe([&](const System::Object&, const Args& a) {
    calls.push_back(a.value * 10);
    event.Unsubscribe(self);
  });
  event.Raise(sender, Args{1});
  event.Raise(sender, Args{2});
  EXPECT_EQ(calls, (std::vector<int>{1, 10, 2}));
  EXPECT_TRUE(event.Unsubscribe(first));
  EXPECT_FALSE(event.Unsubscribe(first));
  EXPECT_FALSE(event.HasHandlers());
}

TEST(SemaphoreSlimTest, OneSlotIsHandedOutAtATimeAndCannotBeOverReleased) {
  System::Threading::SemaphoreSlim semaphore(1, 1);
  semaphore.Wait();
  EXPECT_FALSE(semaphore.Wait(10ms));
  auto waiter = std::async(std::launch::async, [&] { semaphore.Wait(); });
  EXPECT_EQ(waiter.wait_for(50ms), std::future_status::timeout);
  EXPECT_EQ(semaphore.Release(), 0);
  EXPECT_EQ(waiter.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(semaphore.CurrentCount(), 0);
  semaphore.Release();
  try {
    semaphore.Release();
    FAIL() << "released beyond the maximum";
  } catch (const System::SemaphoreFullException& e) {
    EXPECT_STREQ(e.what(),
                 "Adding the specified count to the semaphore would cause it to exceed its "
                 "maximum count.");
  }
  EXPECT_EQ(semaphore.CurrentCount(), 1);
}

using Dictionary = Components::ObservableConcurrentDictionary<int, std::string>;
using Action = Components::NotifyCollectionChangedAction;

struct Change {
  Action action;
  int key;
  std::string newValue;
  std::string oldValue;
  bool operator==(const Change&) const = default;
};

std::vector<Change>& Record(Dictionary& dictionary, std::vector<Change>& changes) {
  dictionary.CollectionChanged.Subscribe([&](const System::Object&,
                                             const Dictionary::ChangedArgs& e) {
    changes.push_back({e.Action, e.ChangedKey, e.NewValue.value_or(""), e.OldValue.value_or("")});
  });
  return changes;
}

TEST(ObservableConcurrentDictionaryTest, RaisesAddReplaceAndRemoveInOrder) {
  Dictionary dictionary;
  std::vector<Change> changes;
  Record(dictionary, changes);
  dictionary.Add(1, "one");
  dictionary.Set(1, "uno");
  dictionary.Set(2, "two");
  EXPECT_TRUE(dictionary.Remove(1));
  EXPECT_FALSE(dictionary.Remove(1));
  EXPECT_EQ(changes, (std::vector<Change>{{Action::Add, 1, "one", ""},
                                          {Action::Replace, 1, "uno", "one"},
                                          {Action::Add, 2, "two", ""},
                                          {Action::Remove, 1, "", "uno"}}));
  EXPECT_EQ(dictionary.Count(), 1u);
  EXPECT_EQ(dictionary[2], "two");
}

TEST(ObservableConcurrentDictionaryTest,
     AddOfAPresentKeyAndReadsOfAnAbsentOneThrowAndChangeNothing) {
  Dictionary dictionary;
  dictionary.Add(7, "first");
  std::vector<Change> changes;
  Record(dictionary, changes);
  try {
    dictionary.Add(7, "second");
    ADD_FAILURE() << "duplicate key accepted";
  } catch (const System::ArgumentException& e) {
    EXPECT_STREQ(e.what(), "An item with the same key has already been added.");
  }
  EXPECT_EQ(dictionary[7], "first");
  EXPECT_TRUE(changes.empty());
  try {
    (void)dictionary[3];
    ADD_FAILURE() << "read an absent key";
  } catch (const System::KeyNotFoundException& e) {
    EXPECT_STREQ(e.what(), "The given key was not present in the dictionary.");
  }
  std::string value = "untouched";
  EXPECT_FALSE(dictionary.TryGetValue(3, value));
  EXPECT_EQ(value, "untouched");
}

TEST(ObservableConcurrentDictionaryTest, AHandlerMayReadTheDictionaryAndWritersOnManyThreadsAgree) {
  Dictionary dictionary;
  std::atomic<int> seen{0};
  dictionary.CollectionChanged.Subscribe(
      [&](const System::Object&, const Dictionary::ChangedArgs& e) {
        if (e.Action == Action::Add && dictionary.ContainsKey(e.ChangedKey)) ++seen;
      });
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) dictionary.Add(t * 1000 + i, "x");
    });
  }
  for (auto& writer : writers) writer.join();
  EXPECT_EQ(dictionary.Count(), 800u);
  EXPECT_EQ(seen.load(), 800);
}

TEST(CallbackBindingTest, EachBindingGetsItsOwnEntryPointAndATargetMayRevokeItsOwn) {
  int first = 0;
  int second = 0;
  std::unique_ptr<CallbackBinding> b;
  CallbackBinding a([&] { ++first; });
  b = std::make_unique<CallbackBinding>([&] {
    ++second;
    b->Revoke();
  });
  ASSERT_NE(a.Get(), b->Get());
  a.Get()();
  a.Get()();
  b->Get()();
  b->Get()();
  EXPECT_EQ(first, 2);
  EXPECT_EQ(second, 1);
}

TEST(CallbackBindingTest, RevokeWaitsForARunningCallAndSilencesLaterOnes) {
  std::promise<void> entered;
  std::promise<void> proceed;
  std::shared_future<void> proceedFuture = proceed.get_future().share();
  std::atomic<int> calls{0};
  auto binding = std::make_unique<CallbackBinding>([&] {
    if (++calls == 1) {
      entered.set_value();
      proceedFuture.wait();
    }
  });
  auto entry = binding->Get();
  std::thread caller([entry] { entry(); });
  entered.get_future().wait();
  auto revoker = std::async(std::launch::async, [&] { binding->Revoke(); });
  EXPECT_EQ(revoker.wait_for(50ms), std::future_status::timeout);
  proceed.set_value();
  EXPECT_EQ(revoker.wait_for(5s), std::future_status::ready);
  caller.join();
  entry();
  EXPECT_EQ(calls.load(), 1);
}

TEST(CallbackBindingTest, RunningOutOfEntryPointsFailsWithAClearText) {
  std::vector<std::unique_ptr<CallbackBinding>> all;
  try {
    for (std::size_t i = 0; i <= System::Runtime::InteropServices::kCallbackEntryPoints; ++i) {
      all.push_back(std::make_unique<CallbackBinding>([] {}));
    }
    FAIL() << "more bindings than entry points";
  } catch (const System::Exception& e) {
    EXPECT_STREQ(e.what(), "No free callback entry point.");
  }
  EXPECT_EQ(all.size(), System::Runtime::InteropServices::kCallbackEntryPoints);
  all.clear();
  CallbackBinding again([] {});  // released entry points are reusable
}

TEST(StringToAnsiTest, KeepsLatin1AndReplacesEverythingElse) {
  EXPECT_EQ(System::Runtime::InteropServices::StringToAnsi(L"Vol\u00e9\u20ac\u0080x"),
            std::string("Vol\xe9??x"));
}

struct Counted {
  static inline int alive = 0;
  Counted() { ++alive; }
  ~Counted() { --alive; }
};

struct Refusing {
  Refusing() { throw std::runtime_error("no facade today"); }
};

TEST(VeskManagedTest, OwnsAndReleasesTheNativeObjectOnce) {
  {
    VeskManaged<Counted> owner;
    EXPECT_FALSE(owner.IsInvalid());
    EXPECT_EQ(Counted::alive, 1);
    EXPECT_TRUE(owner.ReleaseHandle());
    EXPECT_TRUE(owner.IsInvalid());
    EXPECT_EQ(Counted::alive, 0);
    EXPECT_TRUE(owner.ReleaseHandle());
  }
  { VeskManaged<Counted> adopted(new Counted); }
  EXPECT_EQ(Counted::alive, 0);
}

TEST(VeskManagedTest, ANativeConstructorFailureBecomesNativeException) {
  try {
    VeskManaged<Refusing> owner;
    FAIL() << "constructed";
  } catch (const NativeException& e) {
    EXPECT_STREQ(e.what(), "no facade today");
  }
}

}  // namespace
}  // namespace VESK_Managed
