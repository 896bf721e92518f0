// The program `monitor --program` runs, on POSIX and (under Wine) on Windows: how it ends is what
// the monitor reports. The program is this test program itself, running one of the disabled
// ProgramChild cases below.
#include "tools/veskctl/base/Program.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "Watchdog.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// What the child does, chosen by the program's first argument.
TEST(ProgramChild, DISABLED_ExitsWithThree) { std::exit(3); }
TEST(ProgramChild, DISABLED_Hangs) { std::this_thread::sleep_for(std::chrono::minutes(2)); }
#ifndef _WIN32
TEST(ProgramChild, DISABLED_SaysItsDescriptors) {
  std::string open;
  for (int fd = 3; fd < 1024; ++fd)
    if (::fcntl(fd, F_GETFD) != -1) open += " " + std::to_string(fd);
  std::cout << "open:" << open << "." << std::endl;
}
TEST(ProgramChild, DISABLED_ExitsWithItsDescriptorCount) {
  int open = 0;
  for (int fd = 3; fd < 1024; ++fd) open += ::fcntl(fd, F_GETFD) != -1;
  std::exit(open);
}
#endif

// This test program, running the child case `name`.
std::string Self() { return ::testing::internal::GetArgvs().front(); }
std::vector<std::string> Child(const std::string& name) {
  return {"--gtest_filter=ProgramChild.DISABLED_" + name, "--gtest_also_run_disabled_tests",
          "--gtest_brief=1"};
}

// The monitor is not stopped meanwhile: the wait is the time asked for.
bool NeverStopped(long long milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  return false;
}

TEST(Program, AFailedProgramIsSaidWithItsStatus) {
  Vesk::test::Watchdog watchdog("a program that exits with 3", 60);
  EXPECT_EQ(veskctl::RunProgram(Self(), Child("ExitsWithThree"), "{}\n", 30, NeverStopped),
            "'" + Self() + "' exited with status 3");
}

// A program still running at its time-out is killed and said to be; a stop kills it silently.
// Also when it could not be put in the job that the time-out kills: then it is killed by itself.
TEST(Program, AProgramThatHangsIsKilledAtItsTimeOutInAJobOrNot) {
  struct Assignment {
    ~Assignment() { veskctl::AssignToJobForTests(nullptr); }
  } restore;
  for (const bool inJob : {true, false}) {
    SCOPED_TRACE(inJob ? "in its job" : "outside any job");
    veskctl::AssignToJobForTests(inJob ? nullptr : +[](void*, void*) { return 0; });
    Vesk::test::Watchdog watchdog("a program that hangs", 60);
    EXPECT_EQ(veskctl::RunProgram(Self(), Child("Hangs"), "{}\n", 0.5, NeverStopped),
              "'" + Self() + "' did not finish within 0.5 s and was killed");
    EXPECT_EQ(
        veskctl::RunProgram(Self(), Child("Hangs"), "{}\n", 30, [](long long) { return true; }),
        std::nullopt);
  }
}

// The console's end ends its commands in flight, and any it starts after, at once rather than
// at their time-out.
TEST(Program, EndingTheRunsKillsTheOnesInFlightAndAnyStartedAfter) {
  Vesk::test::Watchdog watchdog("runs that were ended", 60);
  veskctl::RunningCommands running;
  std::thread end([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    running.EndAll();
  });
  const auto started = std::chrono::steady_clock::now();
  const auto inFlight = veskctl::RunSelf(Child("Hangs"), 50, "", &running);
  end.join();
  const auto after = veskctl::RunSelf(Child("Hangs"), 50, "", &running);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
#ifdef _WIN32
  const int killed = 1;  // TerminateJobObject's exit code
#else
  const int killed = -1;  // a signal
#endif
  EXPECT_EQ(inFlight.exitCode, killed) << inFlight.err;
  EXPECT_EQ(after.exitCode, killed) << after.err;
}

#ifndef _WIN32
// A descriptor another thread opened without close-on-exec (as Asio opens its sockets) does not
// reach the command: a command that outlives its console must not keep the console's port.
TEST(Program, ACommandGetsNoDescriptorButItsStandardOnes) {
  const int inheritable = ::dup(STDERR_FILENO);
  ASSERT_GT(inheritable, 2);
  const auto run = veskctl::RunSelf(Child("SaysItsDescriptors"), 30);
  ::close(inheritable);
  EXPECT_NE(run.out.find("open:."), std::string::npos) << run.out;
  // Nor does it reach a program the monitor delivers to.
  const int another = ::dup(STDERR_FILENO);
  ASSERT_GT(another, 2);
  EXPECT_EQ(
      veskctl::RunProgram(Self(), Child("ExitsWithItsDescriptorCount"), "{}\n", 30, NeverStopped),
      std::nullopt);
  ::close(another);
}
#endif

}  // namespace
