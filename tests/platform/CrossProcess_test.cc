// Named mutexes shared with a second process, and the process calls that start one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cwchar>

#include "ChildProcess.h"
#include "PlatformTestSupport.h"
#include "platform/win32.h"

namespace {

using vesk::test::ChildProcess;
using vesk::test::FailureOf;
using vesk::test::Narrow;
using vesk::test::ShmEntries;
using vesk::test::ShmPart;
using vesk::test::UniqueName;

// This program's second process.
[[maybe_unused]] const int childHook = vesk::test::RunChildIfAsked();

TEST(CrossProcess, MutexCreatedByTheChildDisappearsWithTheChild) {
  const auto name = UniqueName();
  {
    ChildProcess child("hold", Narrow(name));
    ASSERT_EQ(child.ReadLine(), "created 0");
    ASSERT_EQ(child.ReadLine(), "owned");
    EXPECT_EQ(ShmEntries(ShmPart(name)).size(), 1u);
  }
  // Killed, the child could not remove its segment; nobody else held the name, so on Windows the
  // mutex is gone and the next opener makes a new one: not "already exists", not abandoned.
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_OBJECT_0);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  EXPECT_TRUE(ShmEntries(ShmPart(name)).empty());

  // The same when the process that left the segment has the opener's own process id (a reused
  // one): its reference is not the opener's.
  ChildProcess again("hold-then-exec", Narrow(name));
  EXPECT_EQ(again.ReadLine(), "created 0");
  EXPECT_EQ(again.ReadLine(), "wait 0");
  EXPECT_EQ(again.Wait(), 0);
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

// The process calls refuse what the emulation does not do, and misuse.
TEST(Processes, UnsupportedArgumentsBadHandlesAndShortBuffersAreRefused) {
  const std::wstring self = L"/proc/self/exe";
  wchar_t directory[] = L"/";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  auto start = [&](LPCWSTR path, DWORD flags, LPVOID environment, LPCWSTR current) {
    return FailureOf(CreateProcessW(path, nullptr, nullptr, nullptr, FALSE, flags, environment,
                                    current, &startup, &info));
  };
  EXPECT_EQ(start(nullptr, 0, nullptr, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(start(self.c_str(), 0x10, nullptr, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(start(self.c_str(), 0, directory, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(start(self.c_str(), 0, nullptr, directory), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(start(L"/nonexistent/program", 0, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD code = 0;
  EXPECT_EQ(FailureOf(TerminateProcess(event, 1)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(FailureOf(GetExitCodeProcess(event, &code)), ERROR_INVALID_HANDLE);
  CloseHandle(event);
  // A child that has ended cannot be terminated; its exit code stays.
  SetEnvironmentVariableW(L"VESK_CHILD", L"none");
  ASSERT_EQ(start(self.c_str(), 0, nullptr, nullptr), 0u);
  SetEnvironmentVariableW(L"VESK_CHILD", nullptr);
  EXPECT_EQ(std::getenv("VESK_CHILD"), nullptr);
  // Polled, not waited for: the exit code alone must notice the end.
  for (int i = 0; i < 10000 && GetExitCodeProcess(info.hProcess, &code) && code == STILL_ACTIVE;
       ++i)
    Sleep(1);
  EXPECT_EQ(FailureOf(TerminateProcess(info.hProcess, 1)), ERROR_ACCESS_DENIED);
  EXPECT_EQ(FailureOf(GetExitCodeProcess(info.hProcess, nullptr)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(code, 99u);  // the child's answer to a scenario it does not know
  CloseHandle(info.hProcess);
  EXPECT_EQ(FailureOf(SetEnvironmentVariableW(L"", L"x")), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(FailureOf(SetEnvironmentVariableW(nullptr, L"x")), ERROR_INVALID_PARAMETER);
  // A short buffer gets the truncated, terminated path, its size and 122.
  wchar_t path[4096];
  const DWORD length = GetModuleFileNameW(nullptr, path, 4096);
  ASSERT_GT(length, 4u);
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameW(nullptr, path, length), length);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::wcslen(path), length - 1);
  EXPECT_EQ(FailureOf(GetModuleFileNameW(path, path, 4096) != 0), ERROR_INVALID_HANDLE);
}

}  // namespace
