// A driver's refusal comes with what in the machine stood in the way, and what to do first.
#include "VeskctlTest.h"

namespace veskctl::testing {
namespace {

class ExplainTest : public VeskctlTest {
 protected:
  void SetUp() override {
    VeskctlTest::SetUp();
    ::setenv("VESK_SIM_CLOCK", "manual", 1);
    Do("sim reset");
  }
  void Do(const std::string& command) {
    const Result r = Run(command);
    ASSERT_EQ(r.exitCode, 0) << command << ": " << r.out;
  }
  // The line after the driver's status, and the same in the JSON status block and a dry run.
  void ExpectExplained(const std::string& command, const std::string& why) {
    SCOPED_TRACE(command);
    const Result dry = Run("--dry-run " + command);
    EXPECT_NE(dry.out.find("\nWhy: " + why + "\n"), std::string::npos) << dry.out;
    EXPECT_EQ(RunJson("--dry-run " + command, 1)["status"]["explanation"], why);
    const Result refused = Run(command);
    EXPECT_EQ(refused.exitCode, 1);
    const auto line = refused.out.find(")\nveskctl: ");
    ASSERT_NE(line, std::string::npos) << refused.out;
    EXPECT_EQ(refused.out.substr(line + 2), "veskctl: " + why + "\n");
    EXPECT_EQ(RunJson(command, 1)["status"]["explanation"], why);
  }
};

TEST_F(ExplainTest, ARefusalSaysWhatStoodInTheWayAndWhatToDoFirst) {
  Do("sim fail-drive KN2K00004101");
  ExpectExplained("--force change-layout Data --level 0",
                  "volume \"Data\" is degraded (KN2K00004101 holds none of its data): the driver "
                  "changes it only once it is whole again; rebuild it first (veskctl "
                  "rebuild-volume Data --drives DRIVE)");
  ExpectExplained("mark-volume-normal Data",
                  "volume \"Data\" has a failed member, KN2K00004101, which the driver does not "
                  "take back into a volume: mark it normal first (veskctl mark-normal "
                  "KN2K00004101)");
  ExpectExplained("create-volume --name x --level 1 --drives KN2K00004101,KN2K00004104 --size 10G",
                  "drive KN2K00004101 has failed: choose another drive");
  Do("sim reset --force");
  Do("verify-volume Data");
  ExpectExplained("expand-volume Data 4T",
                  "volume \"Data\" is busy: verify at 0%; wait for it first (veskctl wait Data)");
  // The first and the last kinds of work.
  Do("--force change-layout System --level 0");
  ExpectExplained("verify-volume System",
                  "volume \"System\" is busy: layout change at 0%; wait "
                  "for it first (veskctl wait System)");
  Do("create-volume --name n --level 1 --drives KN2K00004104,KN2K00004105 --size 10G "
     "--initialize");
  ExpectExplained("verify-volume n",
                  "volume \"n\" is busy: initialize at 0%; wait for it first (veskctl wait n)");
}

// A refusal nothing in the machine explains says the driver's words alone.
TEST_F(ExplainTest, ARefusalNothingExplainsHasTheDriversWordsAlone) {
  const Result r = Run("cancel-verify Data");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out.find(")\nveskctl: "), std::string::npos) << r.out;
  EXPECT_FALSE(RunJson("cancel-verify Data", 1)["status"].contains("explanation"));
}

}  // namespace
}  // namespace veskctl::testing
