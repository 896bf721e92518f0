// Drills on the simulated machine: hardware fails under the driver the way it would on a real
// computer, and the driver's own answer (a spare taking over, a rebuild) is what the user sees.
#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include "VeskctlTest.h"

namespace veskctl::testing {
namespace {

class Drills : public VeskctlTest {
 protected:
  void SetUp() override {
    VeskctlTest::SetUp();
    ::setenv("VESK_SIM_CLOCK", "manual", 1);  // the clock moves only when a command moves it
  }
  void Step(const std::string& arguments) {
    const Result r = Run(arguments);
    ASSERT_EQ(r.exitCode, 0) << arguments << "\n" << r.out;
  }
  // The volumes with running work, by name, and its kind.
  std::map<std::string, std::string> Jobs() {
    std::map<std::string, std::string> jobs;
    const nlohmann::json listed = RunJson("jobs");
    for (auto& job : listed["result"]["jobs"]) jobs[job["volumeName"]] = job["kind"];
    return jobs;
  }
  nlohmann::json Drive(const std::string& serial) {
    for (auto& d : All(RunJson("show"), "drives"))
      if (d["serial"] == serial) return d;
    return nullptr;
  }
  std::set<std::string> Members(const std::string& volume) {
    const nlohmann::json v = Volume(volume);
    return {v["driveIds"].begin(), v["driveIds"].end()};
  }
};

TEST_F(Drills, AFailedMemberIsReplacedByTheSpareAndAPulledOneByANewDriveWithRohi) {
  // The next verification finds the media errors given.
  for (const char* step : {"sim media-errors Data 3 --bad-blocks 1", "verify-volume Data"})
    Step(step);
  EXPECT_EQ(Run("wait Data").exitCode, 4);  // finished with errors
  EXPECT_EQ(Volume("Data")["verifyErrors"], 3);
  EXPECT_EQ(Volume("Data")["verifyBadBlocks"], 1);

  for (const char* step :
       {"delete-volume Data --force", "delete-volume Scratch --force",
        "create-volume --name Parity --level 5 --size 100G "
        "--drives KN2K00004100,KN2K00004101,KN2K00004102",
        "create-volume --name Mirror --level 1 --size 100G --drives KN2K00004103,KN2K00004104",
        "mark-spare KN2K00004105", "sim fail-drive KN2K00004101"})
    Step(step);
  EXPECT_EQ(Volume("Parity")["stateName"], "rebuilding");
  EXPECT_EQ(Members("Parity"),
            (std::set<std::string>{Drive("KN2K00004100")["id"], Drive("KN2K00004102")["id"],
                                   Drive("KN2K00004105")["id"]}));
  EXPECT_EQ(Jobs(), (std::map<std::string, std::string>{{"Parity", "rebuild"}}));
  Step("wait Parity");
  EXPECT_EQ(Volume("Parity")["stateName"], "normal");
  // The journal names the drive the rebuild wrote.
  const nlohmann::json rebuilt = RunJson("jobs --history")["result"].back();
  EXPECT_EQ(rebuilt["kind"], "rebuild");
  EXPECT_EQ(rebuilt["drives"], nlohmann::json::array({"KN2K00004105"}));
  EXPECT_TRUE(rebuilt["verifyErrors"].is_null());  // counts belong to verifications only

  // No spare is left: the mirror stays degraded until a new drive goes into the pulled one's
  // slot, which ROHI rebuilds onto.
  Step("set-rohi c0d0 on");
  Step("sim pull-drive KN2K00004104");
  EXPECT_EQ(Volume("Mirror")["stateName"], "degraded");
  const std::string added = RunJson("sim insert-drive KN2K00004104 --blank")["result"]["driveId"];
  EXPECT_EQ(Members("Mirror"), (std::set<std::string>{Drive("KN2K00004103")["id"], added}));
  EXPECT_EQ(Jobs(), (std::map<std::string, std::string>{{"Mirror", "rebuild"}}));
  Step("sim advance 60000");
  EXPECT_EQ(Volume("Mirror")["stateName"], "normal");
}

TEST_F(Drills, WhatTheDriveCannotTakeIsRefusedAndADryRunChangesNothing) {
  Step("sim smart-event KS1A00000004");
  EXPECT_EQ(Drive("KS1A00000004")["statusName"], "SMART event");
  const Result r = Run("sim smart-event KS1A00000004");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out.substr(0, r.out.find("\u2014")),
            "veskctl: the simulated drive cannot report a SMART event now (driver status 15: "
            "InvalidState ");
  for (const char* step : {"sim fail-drive KS1A00000001", "sim fail-drive KS1A00000004",
                           "sim pull-drive KS1A00000004"})
    Step(step);
  const std::map<std::string, std::pair<int, std::string>> refusals = {
      {"sim fail-drive KS1A00000001", {15, "the simulated drive cannot fail now"}},
      {"sim insert-drive KS1A00000003",
       {15,
        "no drive can go into the simulated drive's slot: it was not pulled, or the slot is "
        "taken"}},
      {"sim pull-drive KS1A00000004",
       {15, "the simulated drive cannot be pulled: it is not there"}},
      {"sim smart-event KS1A00000004", {9, "the simulated drive cannot report a SMART event now"}}};
  for (const auto& [command, refusal] : refusals) {
    const nlohmann::json refused = RunJson(command, 1);
    EXPECT_EQ(refused["status"]["kind"], "VeskException") << command;
    EXPECT_EQ(refused["status"]["status"], refusal.first) << command;
    EXPECT_EQ(refused["status"]["message"], refusal.second) << command;
  }
  for (const char* count : {"x", "-1", "4294967296"}) {
    const Result usage = Run(std::string("sim media-errors Data 1 --bad-blocks ") + count);
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_EQ(usage.out, std::string("veskctl: the number of bad blocks is a whole number from 0 "
                                     "to 4294967295, not '") +
                             count + "'\n");
  }

  const std::string saved = Slurp(state);
  const Result dry = Run("--dry-run sim insert-drive KS1A00000004 --blank");
  EXPECT_EQ(dry.out,
            "Dry run: nothing was sent and nothing was saved.\nRequest: sim insert-drive "
            "blank=true driveId=5a7a0000-0000-4000-8000-000000000003\nPredicted:\n  drive "
            "BLANK00000001 (new): is created (status normal, totalSize 931.5 GiB, usage "
            "pass-through, "
            "writeCacheEnabled on, ledActive off)\n");
  EXPECT_EQ(RunJson("--dry-run sim media-errors Data 4")["request"],
            (nlohmann::json{{"operation", "sim media-errors"},
                            {"volumeId", "f0d0e100-0000-4000-8000-000000000001"},
                            {"errors", 4},
                            {"badBlocks", 0}}));
  EXPECT_EQ(Slurp(state), saved);
  Step("sim insert-drive KS1A00000004");
  EXPECT_EQ(Drive("KS1A00000004")["statusName"], "normal");
}

// Work the driver drops for other work is not finished: the dry run of what stops it says so, as
// do wait, the history and the journal's record.
TEST_F(Drills, WorkThatAnotherTookThePlaceOfIsInterruptedNotFinished) {
  Step("verify-volume System");
  Step("sim advance 20000");
  const Result dry = Run("--dry-run sim fail-drive KS1A00000002");
  EXPECT_NE(dry.out.find("\n  stops: the verify of volume \"System\" at 33% (a rebuild onto "
                         "KS1A00000003 took its place)\n"),
            std::string::npos)
      << dry.out;
  Step("sim fail-drive KS1A00000002");
  const Result wait = Run("wait System");
  EXPECT_EQ(wait.exitCode, 1);
  EXPECT_NE(wait.out.find("\nveskctl: background work on volume \"System\" did not finish; "
                          "volume \"System\" (f0a7a000-0000-4000-8000-000000000001)  verify: "
                          "interrupted at 33% (a rebuild onto KS1A00000003 took its place)\n"),
            std::string::npos)
      << wait.out;
  const nlohmann::json history = RunJson("jobs --history")["result"];
  ASSERT_EQ(history.size(), 2u) << history.dump(2);
  EXPECT_EQ(history[0]["kind"], "verify");
  EXPECT_EQ(history[0]["outcome"], "interrupted");
  EXPECT_EQ(history[0]["why"], "a rebuild onto KS1A00000003 took its place");
  EXPECT_EQ(history[1]["kind"], "rebuild");
  EXPECT_EQ(history[1]["outcome"], "finished");

  // Half way through a layout change the prediction and the outcome agree, whatever the driver
  // makes of the member's loss: the change does not finish.
  Step("sim reset --force");
  Step("--force change-layout System --level 0");
  Step("sim advance 30000");
  const nlohmann::json stops =
      RunJson("--dry-run sim fail-drive KS1A00000002")["prediction"]["stopsWork"];
  ASSERT_EQ(stops.size(), 1u) << stops.dump(2);
  EXPECT_EQ(stops[0]["kind"], "layout change");
  EXPECT_EQ(stops[0]["percent"], 50);
  Step("--force --system sim fail-drive KS1A00000002");
  EXPECT_EQ(Run("wait System").exitCode, 1);
  const nlohmann::json afterwards = RunJson("jobs --history")["result"];
  nlohmann::json ended;
  for (const auto& job : afterwards)
    if (job["kind"] == "layout change") ended = job;
  EXPECT_EQ(ended["outcome"], stops[0]["outcome"]) << ended.dump(2);
  EXPECT_EQ(ended["why"], stops[0]["why"]);
}

}  // namespace
}  // namespace veskctl::testing
