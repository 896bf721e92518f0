// Named mutexes shared with a second process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "ChildProcess.h"
#include "PlatformTestSupport.h"
#include "platform/win32.h"

namespace {

using vesk::test::ChildProcess;
using vesk::test::Narrow;
using vesk::test::ShmEntries;
using vesk::test::ShmPart;
using vesk::test::UniqueName;

// This program's second process.
[[maybe_unused]] const int childHook = vesk::test::RunChildIfAsked();

// Another process opens the mutex this one holds and gets it once it is released. While it holds
// the mutex, waits here time out and the exit event still ends them; killed, it abandons the
// mutex to the next waiter, with ownership.
TEST(CrossProcess, OwnerKilledWhileHoldingAbandonsTheMutexToTheNextWaiter) {
  const auto name = UniqueName();
  HANDLE mutex = CreateMutexW(nullptr, TRUE, name.c_str());
  HANDLE exitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ChildProcess child("hold", Narrow(name));
  ASSERT_EQ(child.ReadLine(), "created " + std::to_string(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(child.ReadLine(200), "");  // blocked while this thread owns it
  EXPECT_TRUE(ReleaseMutex(mutex));
  ASSERT_EQ(child.ReadLine(), "owned");
  EXPECT_EQ(WaitForSingleObject(mutex, 50), WAIT_TIMEOUT);
  HANDLE both[2] = {mutex, exitEvent};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 50), WAIT_TIMEOUT);
  SetEvent(exitEvent);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 5000), WAIT_OBJECT_0 + 1);
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  ResetEvent(exitEvent);
  child.Kill();
  child.Wait();
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 5000), WAIT_ABANDONED_0);
  // With ownership: this thread may release it, and another process could take it again.
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
  CloseHandle(exitEvent);
  // The dead process never closed its handle; its share of the segment is dropped anyway.
  EXPECT_TRUE(ShmEntries(ShmPart(name)).empty());
}

TEST(CrossProcess, MutexCreatedByTheChildDisappearsWithTheChild) {
  const auto name = UniqueName();
  {
    ChildProcess child("hold", Narrow(name));
    ASSERT_EQ(child.ReadLine(), "created 0");
    ASSERT_EQ(child.ReadLine(), "owned");
    EXPECT_EQ(ShmEntries(ShmPart(name)).size(), 1u);
  }
  // The killed child left its segment behind; the next opener finds it without live users,
  // takes it over as abandoned, and removes it at its own last close.
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_ABANDONED);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  EXPECT_TRUE(ShmEntries(ShmPart(name)).empty());
}

TEST(CrossProcess, ForeignSegmentOfTheNameIsRefused) {
  // Something else of that name in shared memory, not made by the emulation.
  const auto name = UniqueName();
  const std::string path = "/vesk.global" + ShmPart(name);
  const int fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 10), 0);
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  close(fd);
  shm_unlink(path.c_str());
}

}  // namespace
