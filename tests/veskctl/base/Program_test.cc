// The program `monitor --program` runs, on POSIX and (under Wine) on Windows: how it ends is what
// the monitor reports. The program is this test program itself, running one of the disabled
// ProgramChild cases below.
#include "tools/veskctl/base/Program.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Watchdog.h"

namespace {

// What the child does, chosen by the program's first argument.
TEST(ProgramChild, DISABLED_ExitsWithThree) { std::exit(3); }
TEST(ProgramChild, DISABLED_Hangs) { std::this_thread::sleep_for(std::chrono::minutes(2)); }

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

}  // namespace
