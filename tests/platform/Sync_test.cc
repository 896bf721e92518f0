// Handles, events, mutexes and waits within one process.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "TestNames.h"
#include "platform/win32.h"
#include "tests/Watchdog.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using vesk::test::UniqueName;

long long ElapsedMs(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// Runs `body` on another thread and waits for it, so that a test can act as a second thread.
template <typename Body>
void OnOtherThread(Body body) {
  std::thread(body).join();
}

// Each call fails with ERROR_INVALID_HANDLE.
template <typename Call>
void ExpectBadHandle(Call call) {
  SetLastError(0);
  EXPECT_FALSE(call());
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Handles, ClosedBogusAndOtherKindsOfHandlesAreRefused) {
  HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(CloseHandle(first));
  ExpectBadHandle([&] { return CloseHandle(first); });
  ExpectBadHandle([&] { return CloseHandle(nullptr); });
  ExpectBadHandle([&] { return CloseHandle(reinterpret_cast<HANDLE>(0x7777)); });
  // A closed handle's value is not given to a new object.
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_NE(event, first);
  ExpectBadHandle([&] { return SetEvent(first); });
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  ExpectBadHandle([&] { return ReleaseMutex(event); });
  ExpectBadHandle([&] { return SetEvent(mutex); });
  ExpectBadHandle([&] { return ResetEvent(mutex); });
  CloseHandle(event);
  CloseHandle(mutex);
}

TEST(Events, ManualResetReleasesEveryWaitUntilReset) {
  SetLastError(ERROR_BUSY);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);  // creation clears the last error
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  CloseHandle(event);
}

TEST(Events, AutoResetReleasesOneWait) {
  HANDLE event = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  CloseHandle(event);
}

TEST(Events, SetFromAnotherThreadWakesAWaiter) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::thread setter([&] {
    std::this_thread::sleep_for(30ms);
    SetEvent(event);
  });
  EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
  setter.join();
  CloseHandle(event);
}

TEST(Events, WaitTimesOutNoEarlierThanItsTime) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const auto start = Clock::now();
  EXPECT_EQ(WaitForSingleObject(event, 60), WAIT_TIMEOUT);
  EXPECT_GE(ElapsedMs(start), 60);
  CloseHandle(event);
}

TEST(Mutexes, OwnerMayTakeItAgainAndMustReleaseAsOften) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  CloseHandle(mutex);
}

TEST(Mutexes, ReleaseByAThreadThatDoesNotOwnItFails) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
  OnOtherThread([&] {
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);
  });
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
}

TEST(Mutexes, ThreadThatEndsOwningItAbandonsIt) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  OnOtherThread([&] { EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0); });
  EXPECT_EQ(WaitForSingleObject(mutex, 1000), WAIT_ABANDONED);
  // The waiter now owns it, once.
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
}

TEST(Mutexes, ContendedWaitGetsItWhenTheOwnerReleases) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
  std::atomic<DWORD> result{0xDEAD};
  std::thread waiter([&] {
    result = WaitForSingleObject(mutex, 5000);
    if (result == WAIT_OBJECT_0) ReleaseMutex(mutex);
  });
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(result.load(), 0xDEADu);
  ReleaseMutex(mutex);
  waiter.join();
  EXPECT_EQ(result.load(), WAIT_OBJECT_0);
  CloseHandle(mutex);
}

TEST(NamedMutexes, SecondCreationOpensTheSameMutex) {
  const auto name = UniqueName();
  SetLastError(ERROR_BUSY);
  HANDLE first = CreateMutexW(nullptr, TRUE, name.c_str());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  HANDLE second = CreateMutexW(nullptr, TRUE, name.c_str());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_NE(first, second);
  // An opener gets no initial ownership: another thread still finds it owned by this one.
  OnOtherThread([&] { EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_TIMEOUT); });
  EXPECT_TRUE(ReleaseMutex(second));  // the owner thread may release through either handle
  OnOtherThread([&] {
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
    ReleaseMutex(second);
  });
  CloseHandle(first);
  CloseHandle(second);
}

TEST(NamedMutexes, NameOfAnEventIsRefusedWithInvalidHandle) {
  const auto name = UniqueName();
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(event);

  HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(mutex);
}

TEST(NamedMutexes, UnusableNamesAreRefused) {
  for (const wchar_t* name : {L"Global\\a\\b", L"Global\\", L"Other\\x", L"\\x", L"Local\\"}) {
    SCOPED_TRACE(vesk::test::Narrow(name));
    SetLastError(0);
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, name), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_BAD_PATHNAME);
  }
  const std::wstring tooLong = L"Global\\" + std::wstring(300, L'x');
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, tooLong.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), 206u);  // ERROR_FILENAME_EXCED_RANGE
}

TEST(NamedMutexes, NamesWithAnyOtherCharactersWork) {
  for (std::wstring suffix : {L"/slash", L"%percent", L"sp ace", L"\u00e9\u4e2d", L"?_Global"}) {
    const auto name = UniqueName() + suffix;
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    EXPECT_NE(mutex, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    CloseHandle(mutex);
  }
  // Long names are shortened for the file system without meeting each other.
  const std::wstring base = UniqueName() + std::wstring(220, L'y');
  HANDLE a = CreateMutexW(nullptr, FALSE, (base + L"a").c_str());
  HANDLE b = CreateMutexW(nullptr, FALSE, (base + L"b").c_str());
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  CloseHandle(a);
  CloseHandle(b);
}

TEST(NamedMutexes, NothingIsLeftInSharedMemoryAfterTheLastClose) {
  const auto name = UniqueName();
  const auto part = vesk::test::ShmPart(name);
  HANDLE first = CreateMutexW(nullptr, FALSE, name.c_str());
  HANDLE second = CreateMutexW(nullptr, FALSE, name.c_str());
  EXPECT_EQ(vesk::test::ShmEntries(part).size(), 1u);
  CloseHandle(first);
  EXPECT_EQ(vesk::test::ShmEntries(part).size(), 1u);
  CloseHandle(second);
  EXPECT_TRUE(vesk::test::ShmEntries(part).empty());
}

TEST(NamedMutexes, ClosingWhileOwnedKeepsItUsableForItsOwner) {
  const auto name = UniqueName();
  HANDLE mutex = CreateMutexW(nullptr, TRUE, name.c_str());
  CloseHandle(mutex);
  // The name is gone, a new mutex of that name is a new object.
  HANDLE again = CreateMutexW(nullptr, FALSE, name.c_str());
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  OnOtherThread([&] {
    EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);
    ReleaseMutex(again);
  });
  CloseHandle(again);
}

TEST(NamedMutexes, ThreadsTakingItThroughTheirOwnHandlesExcludeEachOther) {
  Vesk::test::Watchdog watchdog("four threads taking one named mutex");
  const auto name = UniqueName();
  HANDLE exitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  int counter = 0;  // deliberately not atomic: only the mutex protects it
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      HANDLE handles[2] = {CreateMutexW(nullptr, FALSE, name.c_str()), exitEvent};
      for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(WaitForMultipleObjects(2, handles, FALSE, 30000), WAIT_OBJECT_0);
        const int seen = counter;
        std::this_thread::yield();
        counter = seen + 1;
        ASSERT_TRUE(ReleaseMutex(handles[0]));
      }
      CloseHandle(handles[0]);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 2000);
  CloseHandle(exitEvent);
  EXPECT_TRUE(vesk::test::ShmEntries(vesk::test::ShmPart(name)).empty());
}

TEST(NamedEvents, HandlesOfOneNameShareTheEvent) {
  const auto name = UniqueName();
  HANDLE first = CreateEventW(nullptr, FALSE, FALSE, name.c_str());
  HANDLE second = CreateEventW(nullptr, TRUE, TRUE, name.c_str());  // reset mode and state ignored
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_TIMEOUT);
  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    SetEvent(first);
  });
  EXPECT_EQ(WaitForSingleObject(second, 5000), WAIT_OBJECT_0);
  // Auto-reset, as the creator asked: the wait consumed it.
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_TIMEOUT);
  setter.join();
  CloseHandle(first);
  CloseHandle(second);
}

class WaitAny : public ::testing::Test {
 protected:
  // The mutex holder waits without a time-out and is joined.
  Vesk::test::Watchdog watchdog{"a wait-any test's holder thread"};
  void SetUp() override {
    handles[0] = CreateMutexW(nullptr, FALSE, UniqueName().c_str());
    handles[1] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(handles[0], nullptr);
    ASSERT_NE(handles[1], nullptr);
  }
  void TearDown() override {
    CloseHandle(handles[0]);
    CloseHandle(handles[1]);
  }
  // Another thread takes the mutex and holds it until `release` is set.
  std::thread HoldMutex(std::atomic<bool>& held, std::atomic<bool>& release) {
    return std::thread([&, mutex = handles[0]] {
      WaitForSingleObject(mutex, INFINITE);
      held = true;
      while (!release) std::this_thread::sleep_for(1ms);
      ReleaseMutex(mutex);
    });
  }
  HANDLE handles[2] = {};
};

TEST_F(WaitAny, FreeMutexWinsOverASetEvent) {
  SetEvent(handles[1]);
  EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(handles[0]));
}

TEST_F(WaitAny, EventSetBeforeTheWaitEndsItWhileTheMutexIsHeld) {
  std::atomic<bool> held{false}, release{false};
  auto holder = HoldMutex(held, release);
  while (!held) std::this_thread::sleep_for(1ms);
  SetEvent(handles[1]);
  EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 5000), WAIT_OBJECT_0 + 1);
  release = true;
  holder.join();
}

// A wait blocked on the held mutex still looks at the event: it ends with the event, long before
// its time-out (it can only end with the mutex once the holder lets go, after the wait).
TEST_F(WaitAny, EventSetDuringTheWaitEndsIt) {
  std::atomic<bool> held{false}, release{false};
  auto holder = HoldMutex(held, release);
  while (!held) std::this_thread::sleep_for(1ms);
  std::thread setter([&] {
    std::this_thread::sleep_for(30ms);
    SetEvent(handles[1]);
  });
  EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 5000), WAIT_OBJECT_0 + 1);
  setter.join();
  release = true;
  holder.join();
}

TEST_F(WaitAny, MutexReleasedDuringTheWaitIsTaken) {
  std::atomic<bool> held{false}, release{false};
  auto holder = HoldMutex(held, release);
  while (!held) std::this_thread::sleep_for(1ms);
  std::thread releaser([&] {
    std::this_thread::sleep_for(30ms);
    release = true;
  });
  EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(handles[0]));
  releaser.join();
  holder.join();
}

TEST_F(WaitAny, TimesOutWhenNeitherComes) {
  std::atomic<bool> held{false}, release{false};
  auto holder = HoldMutex(held, release);
  while (!held) std::this_thread::sleep_for(1ms);
  const auto start = Clock::now();
  EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 50), WAIT_TIMEOUT);
  EXPECT_GE(ElapsedMs(start), 50);
  release = true;
  holder.join();
}

TEST_F(WaitAny, AbandonedMutexIsReportedWithItsIndex) {
  OnOtherThread([&] { WaitForSingleObject(handles[0], 0); });
  EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 1000), WAIT_ABANDONED_0);
  EXPECT_TRUE(ReleaseMutex(handles[0]));
  // The event first, the mutex second: indexes follow the array.
  HANDLE reversed[2] = {handles[1], handles[0]};
  OnOtherThread([&] { WaitForSingleObject(handles[0], 0); });
  EXPECT_EQ(WaitForMultipleObjects(2, reversed, FALSE, 1000), WAIT_ABANDONED_0 + 1);
  EXPECT_TRUE(ReleaseMutex(handles[0]));
}

TEST_F(WaitAny, BadHandleOrArgumentsFailTheWait) {
  HANDLE closed = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  CloseHandle(closed);
  HANDLE withClosed[2] = {handles[0], closed};
  EXPECT_EQ(WaitForMultipleObjects(2, withClosed, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForMultipleObjects(0, handles, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForMultipleObjects(65, handles, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

}  // namespace
