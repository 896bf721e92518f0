// veskctl check: one line of health and the exit code a checker acts on, for each state.
#include <fstream>
#include <sstream>

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
  const std::string noSpare =
      "controller \"Korva SATA RAID Controller\" has no usable spare: KS1A00000003 was one";
  ExpectCheck(1, "AT RISK: " + noSpare +
                     "; volume \"System\" is rebuilding: not redundant until it ends; drive "
                     "KS1A00000001 has failed");
  Do("wait System");
  ExpectCheck(1, "AT RISK: " + noSpare + "; drive KS1A00000001 has failed");
  Do("sim fail-drive KN2K00004101");
  ExpectCheck(
      2, "FAILED: volume \"Scratch\" has failed; volume \"Scratch\" lost 1.0 TiB of its data; " +
             noSpare +
             "; drive KS1A00000001 has failed; volume \"Data\" is degraded; drive "
             "KN2K00004101 has failed");
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
  EXPECT_EQ(answer["problems"].size(), 6u);
  // Controllers and arrays roll their elements' health up: the SATA array is whole again, its
  // controller is not (a spare gone, a failed drive outside the array).
  const Result shown = Run("show");
  for (const char* line :
       {"Controller c0a7a000-0000-4000-8000-000000000001  Korva SATA RAID Controller  AT RISK\n",
        "  no usable spare: it had KS1A00000003\n",
        "  Array a0a7a000-0000-4000-8000-000000000001  Array_0000  OK  ",
        "Controller c0d0e100-0000-4000-8000-000000000002  Korva Dorn NVMe RAID Controller  "
        "FAILED\n",
        "  Array a0d0e100-0000-4000-8000-000000000001  Array_0000  FAILED  "})
    EXPECT_NE(shown.out.find(line), std::string::npos) << line << shown.out;
  const nlohmann::json topology = RunJson("show");
  EXPECT_EQ(topology["controllers"][0]["health"], "at-risk");
  EXPECT_EQ(topology["controllers"][0]["sparesGone"], nlohmann::json::array({"KS1A00000003"}));
  EXPECT_EQ(topology["controllers"][0]["arrays"][0]["health"], "ok");
  EXPECT_EQ(topology["controllers"][1]["health"], "failed");
  EXPECT_EQ(RunJson("show a0d0")["array"]["health"], "failed");
  EXPECT_EQ(RunJson("show c0a7")["controller"]["health"], "at-risk");
}

// A spare used up or lost leaves the controller at risk until another is marked; one taken away
// on purpose does not. A member that warns of its end is replaced through a spare.
TEST_F(CheckTest, ASpareGoneIsARiskAndASmartMemberIsToBeReplaced) {
  Do("sim smart-event KS1A00000002");
  EXPECT_NE(Run("show System")
                .out.find("to do: veskctl remove-drive KS1A00000002  (drive KS1A00000002 reports "
                          "a SMART event and may fail soon: removed, spare KS1A00000003 takes its "
                          "place and the volume is rebuilt onto it)\n"),
            std::string::npos);
  Do("sim pull-drive KS1A00000003");
  ExpectCheck(1,
              "AT RISK: controller \"Korva SATA RAID Controller\" has no usable spare: "
              "KS1A00000003 was one; drive KS1A00000002 reports a SMART event; drive KS1A00000003 "
              "is missing");
  const std::string shown = Run("show System").out;
  EXPECT_NE(shown.find("to do: veskctl mark-spare DRIVE  (drive KS1A00000002 reports a SMART "
                       "event and may fail soon: mark a free drive of at least the members' size "
                       "as spare, then run remove-drive KS1A00000002 and the spare is rebuilt in "
                       "its place)\n"),
            std::string::npos)
      << shown;
  Do("sim insert-drive KS1A00000003");  // back, but no spare until it is marked again
  Do("reset-smart KS1A00000002");
  EXPECT_NE(Run("show System")
                .out.find("to do: veskctl mark-spare DRIVE  (its controller had a spare "
                          "(KS1A00000003) and has none usable now: a free drive of at least the "
                          "members' size marked as spare takes the place of a member that "
                          "fails)\n"),
            std::string::npos);
  ExpectCheck(1,
              "AT RISK: controller \"Korva SATA RAID Controller\" has no usable spare: "
              "KS1A00000003 was one");
  Do("mark-spare KS1A00000003");
  ExpectCheck(0, "OK: 2 controllers, 2 arrays, 3 volumes, 11 drives");
  // A machine started over has had no spare yet.
  nlohmann::json machine =
      nlohmann::json::parse(nlohmann::json::parse(Slurp(state))["machine"].get<std::string>());
  for (auto& d : machine["controllers"][0]["drives"]) d["spare"] = false;
  std::ofstream(dir / "spareless.json") << machine.dump();
  Do("sim reset --force --topology " + (dir / "spareless.json").string());
  ExpectCheck(0, "OK: 2 controllers, 2 arrays, 3 volumes, 11 drives");
  Do("sim reset --force");
  Do("unmark-spare KS1A00000003");
  ExpectCheck(0, "OK: 2 controllers, 2 arrays, 3 volumes, 11 drives");
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

// A drive gone for good is forgotten with a journaled command and then counts nowhere: not in
// check, show or metrics. Only a drive that is gone, and no longer holds a member's place.
TEST_F(CheckTest, ADriveGoneForGoodIsForgottenAndCountsNoMore) {
  Do("sim pull-drive KS1A00000002");  // the spare takes its place
  const std::string present =
      "drive KS1A00000001 (5a7a0000-0000-4000-8000-000000000000) is present (normal): only a "
      "drive that is gone (missing) can be forgotten";
  EXPECT_EQ(Run("forget-drive KS1A00000001").out, "veskctl: " + present + "\n");
  const nlohmann::json refused = RunJson("forget-drive KS1A00000001", 2);
  EXPECT_EQ(refused["status"]["kind"], "UsageError");
  EXPECT_EQ(refused["status"]["message"], present);
  Do("sim pull-drive KS1A00000003");
  const Result holding = Run("forget-drive KS1A00000003");
  EXPECT_EQ(holding.exitCode, 2);
  EXPECT_EQ(holding.out,
            "veskctl: drive KS1A00000003 (5a7a0000-0000-4000-8000-000000000002) holds the place "
            "of a missing member of its array (a0a7a000-0000-4000-8000-000000000001): put a drive "
            "in its place first (veskctl rebuild-volume System --drives DRIVE), then forget it\n");

  const Result dry = Run("--dry-run forget-drive KS1A00000002");
  EXPECT_EQ(dry.exitCode, 0);
  EXPECT_NE(dry.out.find("Request: ForgetDrive controllerId=c0a7a000-0000-4000-8000-000000000001 "
                         "driveId=5a7a0000-0000-4000-8000-000000000001\nPredicted:\n  drive "
                         "KS1A00000002 5a7a0000-0000-4000-8000-000000000001: goes (status missing"),
            std::string::npos)
      << dry.out;
  const std::string risk =
      "AT RISK: controller \"Korva SATA RAID Controller\" has no usable spare: KS1A00000003 was "
      "one; volume \"System\" is degraded; drive ";
  ExpectCheck(1, risk + "KS1A00000002 is missing; drive KS1A00000003 is missing");
  EXPECT_EQ(Run("forget-drive KS1A00000002").out,
            "Forgot drive 5a7a0000-0000-4000-8000-000000000001.\n");
  ExpectCheck(1, risk + "KS1A00000003 is missing");
  EXPECT_EQ(Run("show").out.find("KS1A00000002"), std::string::npos);
  EXPECT_EQ(Run("metrics").out.find("KS1A00000002"), std::string::npos);
  std::istringstream journaled(Run("--json events --kind command", true).out);
  nlohmann::json record;
  for (std::string line; std::getline(journaled, line);) record = nlohmann::json::parse(line);
  EXPECT_EQ(record["command"]["name"], "forget-drive");
  EXPECT_EQ(record["command"]["outcome"], "ok");
  // A roster that cannot be used is said, and the drive counts as missing again; one that cannot
  // be written fails the forgetting.
  const std::string roster = state.string() + ".journal.roster";
  const std::string forgottenAgain =
      "; veskctl starts it afresh: forgotten drives count as missing again\n";
  std::ofstream(roster) << "{";
  EXPECT_EQ(Run("check").out, "veskctl: the roster " + roster + " is not one of this veskctl" +
                                  forgottenAgain +
                                  "AT RISK: volume \"System\" is degraded; drive KS1A00000002 is "
                                  "missing; drive KS1A00000003 is missing\n");
  std::filesystem::remove(roster);
  std::filesystem::create_directories(roster + "/in");
  const Result unwritten = Run("forget-drive KS1A00000002");
  EXPECT_EQ(unwritten.exitCode, 1);
  EXPECT_EQ(unwritten.out, "veskctl: cannot read the roster " + roster +
                               ": access denied (Windows error 5)" + forgottenAgain +
                               "veskctl: cannot replace the roster " + roster +
                               ": access denied (Windows error 5)\n");
  std::filesystem::remove_all(roster);
  // A drive that comes back is a drive like any other again.
  Do("sim insert-drive KS1A00000002");
  EXPECT_NE(Run("show").out.find("KS1A00000002"), std::string::npos);
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
