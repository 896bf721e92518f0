// Handles, events, mutexes and waits within one process.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "PlatformTestSupport.h"
#include "platform/win32.h"
#include "tests/Watchdog.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using vesk::test::FailureOf;
using vesk::test::ShmEntries;
using vesk::test::ShmPart;
using vesk::test::UniqueName;

// Runs `body` on another thread and waits for it, so that a test can act as a second thread.
template <typename Body>
void OnOtherThread(Body body) {
  std::thread(body).join();
}

TEST(Mutexes, OwnerMayTakeItAgainOnlyTheOwnerReleasesAndAnEndingOwnerAbandonsIt) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  OnOtherThread([&] {
    EXPECT_EQ(FailureOf(ReleaseMutex(mutex)), ERROR_NOT_OWNER);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);
  });
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(FailureOf(ReleaseMutex(mutex)), ERROR_NOT_OWNER);
  OnOtherThread([&] { EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0); });
  EXPECT_EQ(WaitForSingleObject(mutex, 1000), WAIT_ABANDONED);
  // The waiter now owns it, once.
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex));
  CloseHandle(mutex);
}

// The second creation opens the object; when the last handle goes, so does the name.
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
  EXPECT_EQ(ShmEntries(ShmPart(name)).size(), 1u);
  CloseHandle(second);
  EXPECT_TRUE(ShmEntries(ShmPart(name)).empty());
  // Closed while owned: the name is gone, a new mutex of that name is a new object.
  CloseHandle(CreateMutexW(nullptr, TRUE, name.c_str()));
  HANDLE again = CreateMutexW(nullptr, FALSE, name.c_str());
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  OnOtherThread([&] {
    EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);
    ReleaseMutex(again);
  });
  CloseHandle(again);
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

// Characters a file name cannot hold work, and long names are shortened for the file system
// without meeting each other.
TEST(NamedMutexes, AnyCharactersWorkAndLongNamesStayApart) {
  const std::wstring longName = UniqueName() + std::wstring(220, L'y');
  std::vector<HANDLE> mutexes;
  for (const auto& [name, error] : {std::pair<std::wstring, DWORD>{UniqueName() + L"/slash", 0},
                                    {UniqueName() + L"%percent", 0},
                                    {UniqueName() + L"sp ace", 0},
                                    {UniqueName() + L"\u00e9\u4e2d", 0},
                                    {UniqueName() + L"?_Global", 0},
                                    {longName + L"a", 0},
                                    {longName + L"b", 0}}) {
    SCOPED_TRACE(vesk::test::Narrow(name));
    mutexes.push_back(CreateMutexW(nullptr, FALSE, name.c_str()));
    EXPECT_EQ(mutexes.back() == nullptr, error != 0);
    EXPECT_EQ(GetLastError(), error);
  }
  for (HANDLE mutex : mutexes) CloseHandle(mutex);
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
  EXPECT_TRUE(ShmEntries(ShmPart(name)).empty());
}

// --- waiting for a mutex, or for a mutex and an event ---------------------------------------

enum class During { Nothing, SetEvent, ReleaseMutex };

struct WaitCase {
  const char* name;
  DWORD count;    // 1: the mutex alone; 2: the mutex and the event
  bool held;      // another thread holds the mutex when the wait starts
  bool eventSet;  // the event is set before the wait
  During during;  // what happens 30 ms into the wait
  DWORD milliseconds;
  DWORD result;
};

void PrintTo(const WaitCase& c, std::ostream* os) { *os << c.name; }

class WaitAny : public ::testing::TestWithParam<WaitCase> {};

TEST_P(WaitAny, EndsWithTheFirstObjectToComeOrTimesOut) {
  // The mutex holder waits without a time-out and is joined.
  Vesk::test::Watchdog watchdog("a wait test's holder thread");
  const WaitCase& c = GetParam();
  HANDLE handles[2] = {CreateMutexW(nullptr, FALSE, UniqueName().c_str()),
                       CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<bool> held{false}, release{false};
  std::thread holder;
  if (c.held) {
    holder = std::thread([&, mutex = handles[0]] {
      WaitForSingleObject(mutex, INFINITE);
      held = true;
      while (!release) std::this_thread::sleep_for(1ms);
      ReleaseMutex(mutex);
    });
    while (!held) std::this_thread::sleep_for(1ms);
  }
  if (c.eventSet) SetEvent(handles[1]);
  std::thread during([&] {
    std::this_thread::sleep_for(30ms);
    if (c.during == During::SetEvent) SetEvent(handles[1]);
    if (c.during == During::ReleaseMutex) release = true;
  });
  const auto start = Clock::now();
  EXPECT_EQ(WaitForMultipleObjects(c.count, handles, FALSE, c.milliseconds), c.result);
  if (c.result == WAIT_TIMEOUT) {
    EXPECT_GE(Clock::now() - start, 1ms * c.milliseconds);
  } else if (c.result == WAIT_OBJECT_0) {
    EXPECT_TRUE(ReleaseMutex(handles[0]));
  }
  during.join();
  release = true;
  if (holder.joinable()) holder.join();
  CloseHandle(handles[0]);
  CloseHandle(handles[1]);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WaitAny,
    ::testing::Values(
        WaitCase{"FreeMutexWinsOverASetEvent", 2, false, true, During::Nothing, 0, WAIT_OBJECT_0},
        WaitCase{"EventSetBeforeEndsItWhileTheMutexIsHeld", 2, true, true, During::Nothing, 5000,
                 WAIT_OBJECT_0 + 1},
        WaitCase{"EventSetDuringTheWaitEndsIt", 2, true, false, During::SetEvent, 5000,
                 WAIT_OBJECT_0 + 1},
        WaitCase{"MutexReleasedDuringTheWaitIsTaken", 2, true, false, During::ReleaseMutex, 5000,
                 WAIT_OBJECT_0},
        WaitCase{"MutexAloneIsTakenWhenReleased", 1, true, false, During::ReleaseMutex, 5000,
                 WAIT_OBJECT_0},
        WaitCase{"TimesOutWhenNeitherComes", 2, true, false, During::Nothing, 50, WAIT_TIMEOUT}),
    [](const auto& info) { return std::string(info.param.name); });

// Waiting for all objects at once is not emulated.
TEST(Waits, WaitAllIsRefused) {
  HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  HANDLE both[2] = {event, event};
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  CloseHandle(event);
}

}  // namespace
