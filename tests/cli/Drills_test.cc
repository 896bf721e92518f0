// Drills on the simulated machine: hardware fails under the driver the way it would on a real
// computer, and the driver's own answer (a spare taking over, a rebuild) is what the user sees.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

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
  // The volumes with running work, by name, and what kind of work.
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
};

// The Dorn controller's drives are freed, then carry a RAID 5 and a RAID 1 volume and a spare.
TEST_F(Drills, AFailedMemberIsReplacedByTheSpareAndRebuiltAndAPulledOneByANewDriveWithRohi) {
  for (const char* step :
       {"delete-volume Data --force", "delete-volume Scratch --force",
        "create-volume --name Parity --level 5 --size 100G "
        "--drives KN2K00004100,KN2K00004101,KN2K00004102",
        "create-volume --name Mirror --level 1 --size 100G --drives KN2K00004103,KN2K00004104",
        "mark-spare KN2K00004105"})
    Step(step);

  Step("sim fail-drive KN2K00004101");
  const nlohmann::json parity = Volume("Parity");
  EXPECT_EQ(parity["stateName"], "rebuilding");
  const std::vector<std::string> parityMembers = parity["driveIds"];
  EXPECT_EQ(std::count(parityMembers.begin(), parityMembers.end(), Drive("KN2K00004105")["id"]), 1);
  EXPECT_EQ(std::count(parityMembers.begin(), parityMembers.end(), Drive("KN2K00004101")["id"]), 0);
  EXPECT_EQ(Drive("KN2K00004101")["statusName"], "failed");
  EXPECT_EQ(Jobs(), (std::map<std::string, std::string>{{"Parity", "rebuild"}}));
  Step("wait Parity");
  EXPECT_EQ(Volume("Parity")["stateName"], "normal");
  EXPECT_TRUE(Jobs().empty());

  // No spare is left: the mirror stays degraded until a new drive goes into the pulled one's slot,
  // which ROHI rebuilds onto.
  Step("set-rohi c0d0 on");
  Step("sim pull-drive KN2K00004104");
  EXPECT_EQ(Volume("Mirror")["stateName"], "degraded");
  const nlohmann::json inserted = RunJson("sim insert-drive KN2K00004104 --blank");
  const std::string newId = inserted["result"]["driveId"];
  EXPECT_NE(newId, Drive("KN2K00004104")["id"]);
  const nlohmann::json mirror = Volume("Mirror");
  const std::set<std::string> mirrorMembers(mirror["driveIds"].begin(), mirror["driveIds"].end());
  EXPECT_EQ(mirrorMembers, (std::set<std::string>{Drive("KN2K00004103")["id"], newId}));
  EXPECT_EQ(Jobs(), (std::map<std::string, std::string>{{"Mirror", "rebuild"}}));
  Step("sim advance 60000");
  EXPECT_EQ(Volume("Mirror")["stateName"], "normal");
}

// The next verification finds the media errors given; a read patrol repairs them first.
TEST_F(Drills, MediaErrorsAreFoundByAVerificationUnlessThePatrolRepairedThem) {
  Step("sim media-errors Data 3 --bad-blocks 1");
  Step("verify-volume Data");
  Step("wait Data");
  EXPECT_EQ(Volume("Data")["verifyErrors"], 3);
  EXPECT_EQ(Volume("Data")["verifyBadBlocks"], 1);

  Step("set-read-patrol c0d0 on");
  Step("sim media-errors Data 2");
  Step("sim advance 60000");  // Data is the first volume the patrol reads
  Step("verify-volume Data");
  Step("wait Data");
  EXPECT_EQ(Volume("Data")["verifyErrors"], 0);
}

TEST_F(Drills, ADrillTheDriveCannotTakeIsRefusedWithTheDriversStatus) {
  const std::string invalidState =
      "the object is not in a state the command applies to (initialize an initialized volume, "
      "rebuild a volume that is not degraded, cancel a verification that is not running, ...)";
  Step("sim smart-event KS1A00000004");
  EXPECT_EQ(Drive("KS1A00000004")["statusName"], "SMART event");
  Result r = Run("sim smart-event KS1A00000004");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out,
            "veskctl: the simulated drive cannot report a SMART event now (driver status "
            "15: InvalidState \u2014 " +
                invalidState + ")\n");
  Step("sim fail-drive KS1A00000004");
  nlohmann::json refused = RunJson("sim fail-drive KS1A00000004", 1);
  EXPECT_EQ(refused["status"]["kind"], "VeskException");
  EXPECT_EQ(refused["status"]["status"], 15);
  EXPECT_EQ(refused["status"]["message"], "the simulated drive cannot fail now");
  refused = RunJson("sim insert-drive KS1A00000004", 1);
  EXPECT_EQ(refused["status"]["status"], 15);
  EXPECT_EQ(refused["status"]["message"],
            "no drive can go into the simulated drive's slot: it was not pulled, or the slot is "
            "taken");
  Step("sim pull-drive KS1A00000004");
  refused = RunJson("sim pull-drive KS1A00000004", 1);
  EXPECT_EQ(refused["status"]["status"], 15);
  EXPECT_EQ(refused["status"]["message"], "the simulated drive cannot be pulled: it is not there");
  EXPECT_EQ(RunJson("sim fail-drive KS1A00000004", 1)["status"]["status"], 9);  // missing
  Step("sim insert-drive KS1A00000004");
  EXPECT_EQ(Drive("KS1A00000004")["statusName"], "normal");

  for (const auto& [arguments, message] : std::map<std::string, std::string>{
           {"sim media-errors Data x",
            "the number of errors is a whole number from 0 to "
            "4294967295, not 'x'"},
           {"sim media-errors Data 1 --bad-blocks 4294967296",
            "the number of bad blocks is a whole number from 0 to 4294967295, not '4294967296'"},
           {"sim media-errors Data -1",
            "the number of errors is a whole number from 0 to "
            "4294967295, not '-1'"},
       }) {
    r = Run(arguments);
    EXPECT_EQ(r.exitCode, 2) << arguments;
    EXPECT_EQ(r.out, "veskctl: " + message + "\n") << arguments;
  }
}

// A dry run says what it would do and leaves the machine as it was; a real run saves the change.
TEST_F(Drills, DryRunSendsAndSavesNothing) {
  Step("sim advance 1");
  const std::string saved = Slurp(state);
  const std::map<std::string, std::string> drills = {
      {"sim fail-drive KS1A00000001",
       "sim fail-drive driveId=5a7a0000-0000-4000-8000-000000000000"},
      {"sim pull-drive KS1A00000001",
       "sim pull-drive driveId=5a7a0000-0000-4000-8000-000000000000"},
      {"sim insert-drive KS1A00000001 --blank",
       "sim insert-drive blank=true driveId=5a7a0000-0000-4000-8000-000000000000"},
      {"sim smart-event KS1A00000001",
       "sim smart-event driveId=5a7a0000-0000-4000-8000-000000000000"},
      {"sim media-errors System 4",
       "sim media-errors badBlocks=0 errors=4 volumeId=f0a7a000-0000-4000-8000-000000000001"}};
  for (const auto& [drill, request] : drills) {
    const Result r = Run("--dry-run " + drill);
    EXPECT_EQ(r.exitCode, 0) << drill;
    EXPECT_EQ(r.out,
              "Dry run: nothing was sent and nothing was saved.\nRequest: " + request + "\n");
  }
  EXPECT_EQ(Slurp(state), saved);
  Step("sim smart-event KS1A00000001");
  EXPECT_NE(Slurp(state), saved);
  EXPECT_EQ(Drive("KS1A00000001")["statusName"], "SMART event");
}

}  // namespace
}  // namespace veskctl::testing
