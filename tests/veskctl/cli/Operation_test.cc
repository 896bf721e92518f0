// The one path from a request to its outcome as the console drives it: a veskctl run with
// --console makes confirm values from its dry runs and acts only on a value that fits its own
// prediction, made under the machine's lock, and journals what it did before it lets the lock go.
#include "tools/veskctl/cli/Operation.h"

#include <gtest/gtest.h>

#include "VeskctlTest.h"

namespace {

using nlohmann::json;
using veskctl::testing::Result;
using veskctl::testing::VeskctlTest;
namespace fs = std::filesystem;

class ConsoleRun : public VeskctlTest {
 protected:
  // veskctl run as the console runs it: the key on the first line of standard input.
  veskctl::testing::Result RunForConsole(const std::string& arguments,
                                         const std::string& key = "k3y") {
    return Exec("printf '%s\\n' '" + key + "' | " + Command("--json --console " + arguments), true);
  }
  json JsonOf(const veskctl::testing::Result& r) { return json::parse(r.out, nullptr, false); }

  std::vector<json> CommandRecords() {
    std::vector<json> records;
    std::istringstream lines(Run("--json events --kind command", true).out);
    for (std::string line; std::getline(lines, line);) records.push_back(json::parse(line));
    return records;
  }
};

TEST_F(ConsoleRun, ADryRunOfDestructiveWorkGivesTheValueThatCarriesItOutAndNothingElseDoes) {
  const json dry = JsonOf(RunForConsole("--dry-run delete-volume Data"));
  ASSERT_TRUE(dry["asksFirst"].get<bool>()) << dry;
  EXPECT_EQ(dry["confirm"], veskctl::ConfirmValue(dry["request"], dry["prediction"], false, "k3y"));
  // Work that destroys nothing needs no value, and is given none.
  const json rename = JsonOf(RunForConsole("--dry-run rename-volume Data Data2"));
  EXPECT_FALSE(rename["asksFirst"].get<bool>());
  EXPECT_FALSE(rename.contains("confirm")) << rename;
  // The command line's own dry run never says one.
  EXPECT_FALSE(RunJson("--dry-run delete-volume Data").contains("confirm"));

  // Another key, or the same value for another command, is refused; nothing is deleted.
  for (const auto& [arguments, key] : std::vector<std::pair<std::string, std::string>>{
           {"delete-volume Data", "other"}, {"delete-volume Scratch", "k3y"}}) {
    const auto r =
        RunForConsole("--confirm=" + dry["confirm"].get<std::string>() + " " + arguments, key);
    EXPECT_EQ(r.exitCode, veskctl::kExitNotConfirmed) << r.out;
    EXPECT_EQ(JsonOf(r)["status"]["message"],
              "refused to delete-volume: what it acts on changed since the dry run (renamed, or "
              "its state moved on). Nothing was done. Dry run it again.");
  }
  EXPECT_FALSE(Volume("Data").is_null());
  EXPECT_FALSE(Volume("Scratch").is_null());

  const auto done =
      RunForConsole("--confirm=" + dry["confirm"].get<std::string>() + " delete-volume Data");
  EXPECT_EQ(done.exitCode, 0) << done.out;
  EXPECT_TRUE(Volume("Data").is_null());
  // The value was for a volume that is gone now.
  const auto again =
      RunForConsole("--confirm=" + dry["confirm"].get<std::string>() + " delete-volume Data");
  EXPECT_EQ(again.exitCode, veskctl::kExitNotConfirmed) << again.out;

  const auto records = CommandRecords();
  ASSERT_EQ(records.size(), 4u);
  for (int i : {0, 1, 3}) EXPECT_EQ(records[i]["command"]["outcome"], "refused") << records[i];
  EXPECT_EQ(records[2]["command"]["outcome"], "ok");
  EXPECT_EQ(records[2]["command"]["via"], "console");
  EXPECT_NE(records[2]["detail"].get<std::string>().find(" via the console: ok"), std::string::npos)
      << records[2];
  EXPECT_EQ(records[3]["command"]["exitCode"], veskctl::kExitNotConfirmed);
}

TEST_F(ConsoleRun, DestructiveWorkWithoutAValueAndAValueForHarmlessWorkAreRefused) {
  auto r = RunForConsole("delete-volume Data");
  EXPECT_EQ(r.exitCode, veskctl::kExitNotConfirmed) << r.out;
  EXPECT_EQ(JsonOf(r)["status"]["message"],
            "refused to delete-volume without confirmation: it destroys data. Dry run it first "
            "and send the confirm value it returned. Nothing was done.");
  r = RunForConsole("--confirm=" + std::string(40, '0') + " rename-volume Data Data2");
  EXPECT_EQ(r.exitCode, veskctl::kExitNotConfirmed) << r.out;
  EXPECT_FALSE(Volume("Data").is_null());
  // Work that destroys nothing goes ahead at once, as on the command line.
  EXPECT_EQ(RunForConsole("rename-volume Data Data2").exitCode, 0);
  EXPECT_FALSE(Volume("Data2").is_null());
}

TEST_F(ConsoleRun, TheConsolesOptionsAreRefusedWithoutTheConsole) {
  auto r = Run("--json --confirm=abc delete-volume Data", true);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(JsonOf(r)["status"]["message"], "--confirm is the console's: it needs --console");
  r = Exec("true | " + Command("--json --console delete-volume Data"), true);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(JsonOf(r)["status"]["message"],
            "--console needs the console's key as the first line of standard input");
  EXPECT_FALSE(Volume("Data").is_null());
  EXPECT_TRUE(CommandRecords().empty());
}

// The record of a command is in the journal before the machine's lock is let go: no other run can
// change the machine between a command and its record.
TEST_F(ConsoleRun, ACommandIsJournaledBeforeTheMachineIsLetGo) {
  ASSERT_EQ(Run("sim advance 1").exitCode, 0);
  const fs::path trace = dir / "trace";
  const auto traced = Exec("ASAN_OPTIONS=detect_leaks=0 strace -f -qq -y -e trace=flock,close -o " +
                           trace.string() + " " + Command("rename-volume Data Data2"));
  if (traced.exitCode != 0) GTEST_SKIP() << "strace cannot trace here: " << traced.out;
  std::istringstream lines(Slurp(trace));
  int line = 0, journaled = 0, released = 0;
  for (std::string text; std::getline(lines, text);) {
    ++line;
    if (text.find("state.json.journal.lock>, LOCK_EX") != std::string::npos) journaled = line;
    if (text.find("close(") != std::string::npos &&
        text.find("state.json.lock>") != std::string::npos)
      released = line;
  }
  ASSERT_GT(journaled, 0) << Slurp(trace);
  ASSERT_GT(released, 0) << Slurp(trace);
  EXPECT_LT(journaled, released) << Slurp(trace);
}

// A dry run answers as the run would: a refusal in the driver's words and with its exit code,
// and --system asked for only where the system volume is what the command endangers, not for a
// drill of the simulated machine nor for what the driver refuses anyway.
TEST_F(VeskctlTest, ADryRunSaysTheRefusalInWordsAndAsksForSystemOnlyWhereItIsNeeded) {
  const Result refused = Run("--dry-run mark-spare KN2K00004101");
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.out.find(
                "Predicted: the driver refuses it: Unable to mark drive as spare. IOCTL completed "
                "with error. (driver status 8: DriveInUse \u2014 drive is a member of another "
                "array, a spare, a journaling drive, or listed twice)\n"),
            std::string::npos)
      << refused.out;
  EXPECT_FALSE(RunJson("--dry-run sim fail-drive KS1A00000001")["needsSystem"].get<bool>());
  EXPECT_FALSE(RunJson("--dry-run mark-spare KS1A00000001", 1)["needsSystem"].get<bool>());
  EXPECT_TRUE(RunJson("--dry-run delete-volume System")["needsSystem"].get<bool>());
}

}  // namespace
