// The managed-runtime stand-ins: the semaphore, the observable dictionary, callback entry points,
// ANSI conversion and the owner of the native facade.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "ManagedTestSupport.h"
#include "vesk_managed/Callback.h"
#include "vesk_managed/ObservableConcurrentDictionary.h"
#include "vesk_managed/SemaphoreSlim.h"
#include "vesk_managed/System.h"
#include "vesk_managed/VeskManaged.h"

namespace VESK_Managed {
namespace {

using namespace std::chrono_literals;
using System::Runtime::InteropServices::CallbackBinding;
using System::Runtime::InteropServices::kCallbackEntryPoints;
using testing::ExpectThrows;

TEST(SemaphoreSlimTest, OneSlotIsHandedOutAtATimeAndCannotBeOverReleased) {
  System::Threading::SemaphoreSlim semaphore(1, 1);
  semaphore.Wait();
  EXPECT_FALSE(semaphore.Wait(10ms));
  auto waiter = std::async(std::launch::async, [&] { semaphore.Wait(); });
  EXPECT_EQ(waiter.wait_for(50ms), std::future_status::timeout);
  EXPECT_EQ(semaphore.Release(), 0);
  EXPECT_EQ(waiter.wait_for(5s), std::future_status::ready);
  semaphore.Release();
  ExpectThrows<System::SemaphoreFullException>(
      [&] { semaphore.Release(); },
      "Adding the specified count to the semaphore would cause it to exceed its maximum count.");
  EXPECT_EQ(semaphore.CurrentCount(), 1);
}

// A handler may read the dictionary it is raised from; the facade's users do.
TEST(ObservableConcurrentDictionaryTest,
     AddOfAPresentKeyAndReadsOfAnAbsentOneThrowAndChangeNothing) {
  Components::ObservableConcurrentDictionary<int, std::string> dictionary;
  int raised = 0;
  dictionary.CollectionChanged.Subscribe(
      [&](auto&, auto& e) { raised += dictionary.ContainsKey(e.ChangedKey) ? 1 : 100; });
  dictionary.Add(7, "first");
  ExpectThrows<System::ArgumentException>([&] { dictionary.Add(7, "second"); },
                                          "An item with the same key has already been added.");
  EXPECT_EQ(dictionary[7], "first");
  EXPECT_EQ(raised, 1);
  ExpectThrows<System::KeyNotFoundException>([&] { (void)dictionary[3]; },
                                             "The given key was not present in the dictionary.");
  std::string value = "untouched";
  EXPECT_FALSE(dictionary.TryGetValue(3, value));
  EXPECT_EQ(value, "untouched");
}

TEST(CallbackBindingTest, EveryBindingGetsItsOwnEntryPointUntilNoneIsFree) {
  std::vector<int> calls(kCallbackEntryPoints);
  std::vector<std::unique_ptr<CallbackBinding>> all;
  for (std::size_t i = 0; i < kCallbackEntryPoints; ++i) {
    all.push_back(std::make_unique<CallbackBinding>([&calls, i] { ++calls[i]; }));
  }
  ExpectThrows<System::Exception>([] { CallbackBinding extra([] {}); },
                                  "No free callback entry point.");
  for (auto& binding : all) binding->Get()();
  EXPECT_EQ(calls, std::vector<int>(kCallbackEntryPoints, 1));
  all.pop_back();
  CallbackBinding again([] {});  // a released entry point is reusable
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

TEST(StringToAnsiTest, KeepsLatin1AndReplacesEverythingElse) {
  using System::Runtime::InteropServices::StringToAnsi;
  EXPECT_EQ(StringToAnsi(L"Vol\u007f\u0080\u009f\u00a0\u00ff\u0100\u20ac"), "Vol\x7f??\xa0\xff??");
}

struct Refusing {
  Refusing() { throw std::runtime_error("no facade today"); }
};

TEST(VeskManagedTest, ANativeConstructorFailureBecomesNativeException) {
  ExpectThrows<NativeException>([] { VeskManaged<Refusing> owner; }, "no facade today");
}

}  // namespace
}  // namespace VESK_Managed
