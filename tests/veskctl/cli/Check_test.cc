// veskctl check: one line of health and the exit code a checker acts on, for each state.
#include <fstream>

#include "VeskctlTest.h"

namespace veskctl::testing {
namespace {

class CheckTest : public VeskctlTest {
 protected:
  void SetUp() override {
    VeskctlTest::SetUp();
    ::setenv("VESK_SIM_CLOCK", "manual", 1);
    ASSERT_EQ(Run("sim reset").exitCode, 0);
  }
  void Do(const std::string& command) {
    const Result r = Run(command);
    ASSERT_EQ(r.exitCode, 0) << command << ": " << r.out;
  }
  void ExpectCheck(int exitCode, const std::string& line) {
    const Result r = Run("check");
    EXPECT_EQ(r.exitCode, exitCode) << r.out;
    EXPECT_EQ(r.out, line + "\n");
    // `show` starts with the same line.
    const Result shown = Run("show");
    EXPECT_EQ(shown.out.substr(0, shown.out.find('\n') + 1), line + "\n");
    const Result quiet = Run("check --quiet");
    EXPECT_EQ(quiet.exitCode, exitCode);
    EXPECT_EQ(quiet.out, "");
  }
};

TEST_F(CheckTest, EachStateHasItsLineAndItsExitCode) {
  ExpectCheck(0, "OK: 2 controllers, 2 arrays, 3 volumes, 11 drives");
  Do("sim smart-event KN2K00004104");
  ExpectCheck(1, "AT RISK: drive KN2K00004104 reports a SMART event");
  Do("reset-smart KN2K00004104");
  Do("sim fail-drive KS1A00000001");  // the spare takes over: System rebuilds
  ExpectCheck(1,
              "AT RISK: volume \"System\" is rebuilding: not redundant until it ends; drive "
              "KS1A00000001 has failed");
  Do("wait System");
  ExpectCheck(1, "AT RISK: drive KS1A00000001 has failed");
  Do("sim fail-drive KN2K00004101");
  ExpectCheck(2,
              "FAILED: volume \"Scratch\" has failed; volume \"Scratch\" lost 1.0 TiB of its data; "
              "drive KS1A00000001 has failed; volume \"Data\" is degraded; drive KN2K00004101 "
              "has failed");
  EXPECT_NE(Run("show Scratch")
                .out.find("to do: veskctl delete-volume Scratch  (its data cannot "
                          "be read: delete it, create it again (create-volume) "
                          "and restore its data from a backup)\n"),
            std::string::npos);
  const nlohmann::json answer = RunJson("check", 2);
  EXPECT_EQ(answer["health"], "failed");
  EXPECT_EQ(answer["exitCode"], 2);
  EXPECT_EQ(answer["status"]["ok"], true);
  EXPECT_EQ(answer["problems"][0]["severity"], "failed");
  EXPECT_EQ(answer["problems"][0]["element"]["name"], "Scratch");
  EXPECT_EQ(answer["problems"].size(), 5u);
}

TEST_F(CheckTest, VerificationErrorsAreARisk) {
  Do("sim media-errors Data 3");
  Do("verify-volume Data");
  const Result waited = Run("wait Data");
  ASSERT_EQ(waited.exitCode, 4) << waited.out;
  ExpectCheck(1, "AT RISK: volume \"Data\" had 3 errors at its last verification");
  EXPECT_NE(
      Run("show Data")
          .out.find("to do: veskctl verify-volume Data --repair  (the last verification found 3 "
                    "errors: a repairing one makes the volume's redundancy consistent)\n"),
      std::string::npos);
}

// Whatever keeps it from telling is "could not tell": exit 3, UNKNOWN, never a usage error's 2
// (which a checker would read as failed).
TEST_F(CheckTest, WhatKeepsItFromTellingIsUnknown) {
  std::ofstream(state) << "{";
  const Result broken = Run("check");
  EXPECT_EQ(broken.exitCode, 3);
  EXPECT_EQ(broken.out, "UNKNOWN: the state file " + state.string() +
                            " is not valid JSON (line 1, column 2); it was left untouched. Run "
                            "'veskctl --state " +
                            state.string() + " sim reset' to start over.\n");
  EXPECT_EQ(Run("check --quiet").out, "");
  EXPECT_EQ(Run("check --quiet").exitCode, 3);
  const nlohmann::json answer = RunJson("check", 3);
  EXPECT_EQ(answer["health"], "unknown");
  EXPECT_EQ(answer["status"]["kind"], "state");
  EXPECT_EQ(Run("check --now").exitCode, 3);
  EXPECT_EQ(RunJson("check --now", 3)["status"]["kind"], "UsageError");
  const Result driver = Run("--driver check");
  EXPECT_EQ(driver.exitCode, 3);
  EXPECT_EQ(driver.out.rfind("UNKNOWN: no RAID controller found", 0), 0u) << driver.out;
}

}  // namespace
}  // namespace veskctl::testing
