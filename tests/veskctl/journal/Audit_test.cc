// What veskctl's own runs leave in the journal: one record per configuration command, whatever
// became of it, and one per end of background work, which `jobs --history` lists.
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "VeskctlTest.h"
#include "tools/veskctl/journal/Journal.h"

namespace veskctl::testing {
namespace {

using nlohmann::json;

// The account the test, and so veskctl, runs as, as the system's own tool names it (not as
// veskctl does: a veskctl that named the wrong account would then agree with itself).
const std::string me = [] {
  std::string name(256, '\0');
  FILE* id = ::popen("id -un", "r");
  name.resize(id ? std::fread(name.data(), 1, name.size(), id) : 0);
  if (id) ::pclose(id);
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}();

class AuditTest : public VeskctlTest {
 protected:
  void SetUp() override {
    VeskctlTest::SetUp();
    ::setenv("VESK_SIM_CLOCK", "manual", 1);
    // The environment says alice; the record says who the process is.
    ::setenv("USER", "alice", 1);
    ::setenv("USERNAME", "alice", 1);
    ::unsetenv("SUDO_USER");
  }
  void TearDown() override {
    ::unsetenv("USER");
    ::unsetenv("USERNAME");
    ::unsetenv("SUDO_USER");
    VeskctlTest::TearDown();
  }

  // The records of `kind` in the journal's files, oldest first (the header line is not one).
  std::vector<json> Records(const std::string& kind) const {
    std::vector<json> records;
    for (const std::string suffix : {".journal.1", ".journal"}) {
      std::istringstream lines(Slurp(state.string() + suffix));
      std::string line;
      std::getline(lines, line);
      while (std::getline(lines, line)) {
        const json record = json::parse(line);
        if (record["kind"] == kind) records.push_back(record);
      }
    }
    return records;
  }
};

TEST_F(AuditTest, EveryConfigurationCommandIsJournaledOnceWithItsOutcomeAndNeverADryRun) {
  const json data = {
      {"kind", "volume"}, {"id", "f0d0e100-0000-4000-8000-000000000001"}, {"name", "Data"}};
  const json spare = {
      {"kind", "drive"}, {"id", "5a7a0000-0000-4000-8000-000000000002"}, {"name", "KS1A00000003"}};
  const struct {
    std::string arguments;
    int exitCode;
    std::string detail;  // how it starts
    json element;
  } cases[] = {
      {"rename-volume Data Data2", 0, "rename-volume by " + me + ": ok", data},
      {"mark-normal KS1A00000003", 1,
       "mark-normal by " + me + ": refused: Unable to mark drive as normal.", spare},
      {"delete-volume nothing", 2,
       "delete-volume by " + me + ": failed: no volume 'nothing' (see 'veskctl show')", nullptr},
      {"delete-volume Scratch",
       2,
       "delete-volume by " + me +
           ": refused: refused to delete volume \"Scratch\" "
           "(f0d0e100-0000-4000-8000-000000000002) without --force",
       {{"kind", "volume"}, {"id", "f0d0e100-0000-4000-8000-000000000002"}, {"name", "Scratch"}}},
      {"sim pull-drive KS1A00000003", 0, "sim pull-drive by " + me + ": ok", spare},
  };
  for (const auto& c : cases) ASSERT_EQ(Run(c.arguments).exitCode, c.exitCode) << c.arguments;
  // Nothing for dry runs, views, `jobs` and `wait`, nor for what did not parse.
  for (const char* other :
       {"--dry-run delete-volume Scratch --force", "--dry-run sim reset", "show", "jobs",
        "jobs --history", "wait --all", "delete-volume", "metrics"})
    Run(other);

  const std::vector<json> records = Records("command");
  ASSERT_EQ(records.size(), std::size(cases));
  for (std::size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(cases[i].arguments);
    const json& command = records[i]["command"];
    const std::string detail = records[i]["detail"];
    EXPECT_TRUE(detail.starts_with(cases[i].detail)) << detail;
    EXPECT_TRUE(detail.starts_with(command["name"].get<std::string>() + " by " + me + ": " +
                                   command["outcome"].get<std::string>()))
        << detail;
    EXPECT_EQ(records[i]["element"], cases[i].element);
    EXPECT_EQ(command["exitCode"], cases[i].exitCode);
    EXPECT_EQ(command["status"]["ok"], cases[i].exitCode == 0);
    EXPECT_EQ(command["user"], me);
    EXPECT_NE(me, "alice");
    EXPECT_TRUE(command["sudoUser"].is_null());
    EXPECT_EQ(command["via"], "command line");
    EXPECT_EQ(command["argv"].back(), cases[i].arguments.substr(cases[i].arguments.rfind(' ') + 1));
  }
  EXPECT_EQ(records[0]["command"]["request"]["operation"], "RenameVolume");
  EXPECT_EQ(records[1]["command"]["status"]["status"], 15);  // as --json prints it
  EXPECT_TRUE(records[2]["command"]["request"].is_null());
  EXPECT_EQ(records[3]["command"]["status"]["losses"].size(), 1u);

  // A volume it created is what a command acts on.
  const json created =
      RunJson("create-volume --name bk --level 1 --drives KN2K00004104,KN2K00004105 --size 1T");
  EXPECT_EQ(Records("command").back()["element"],
            (json{{"kind", "volume"}, {"id", created["result"]["volumeId"]}, {"name", "bk"}}));

  // The answer no at the question cancels it.
  const Result declined = RunOnTerminal("delete-volume Scratch", "no\n");
  EXPECT_EQ(declined.exitCode, 1) << declined.out;
  const json cancelled = Records("command").back();
  EXPECT_EQ(cancelled["command"]["outcome"], "cancelled");
  EXPECT_EQ(cancelled["command"]["exitCode"], 1);
  EXPECT_EQ(cancelled["detail"], "delete-volume by " + me + ": cancelled");
  EXPECT_EQ(cancelled["command"]["status"]["message"], "cancelled: the answer was not yes");

  // A journal that cannot be written leaves the command's result as it was, and says so.
  fs::remove(state.string() + ".journal");
  fs::create_directory(state.string() + ".journal");
  const Result unjournaled = Run("rename-volume Data2 Data");
  EXPECT_EQ(unjournaled.exitCode, 0);
  EXPECT_EQ(unjournaled.out,
            "Renamed volume f0d0e100-0000-4000-8000-000000000001.\n"
            "veskctl: the command was carried out but not journaled: cannot "
            "open the journal " +
                state.string() +
                ".journal: access denied (Windows error 5)\n"
                "veskctl: its record stays beside the journal, and is journaled with the outcome "
                "unknown by the next run that can write the journal\n");
  EXPECT_NE(Volume("Data"), nullptr);
  // Once the journal can be written again, the next command's run journals it first.
  fs::remove(state.string() + ".journal");
  ASSERT_EQ(Run("sim advance 1").exitCode, 0);
  const std::vector<json> after = Records("command");
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0]["command"]["argv"].back(), "Data");
  EXPECT_EQ(after[0]["command"]["outcome"], "unknown");
  EXPECT_EQ(after[1]["command"]["name"], "sim advance");
}

TEST_F(AuditTest, TheJournalSizeIsABoundItRotatesAt) {
  const json bad = RunJson("--journal-size 12x sim advance 1", 2);
  EXPECT_EQ(
      bad["status"]["message"],
      "--journal-size: cannot read the size '12x': give a whole number of bytes, or a number "
      "with a unit: KB, MB, GB, TB, PB, EB (powers of 1000) or K, M, G, T, P, E, also written "
      "KiB, MiB, ... (powers of 1024), such as 100GiB, 1.5T or 500GB");
  EXPECT_FALSE(fs::exists(state.string() + ".journal"));
  for (int i = 0; i < 6; ++i) ASSERT_EQ(Run("--journal-size 1K sim advance 1").exitCode, 0);
  EXPECT_LE(fs::file_size(state.string() + ".journal"), 1024u);
  // Two files of one record each are all that is kept; the identifiers go on.
  EXPECT_EQ(Records("command").size(), 2u);
  EXPECT_EQ(Records("command").back()["id"], 6);
}

TEST_F(AuditTest, WorkThatEndsIsJournaledOnceAndListedByJobsHistory) {
  for (const char* step : {"sim media-errors Data 3 --bad-blocks 1", "verify-volume Data"})
    ASSERT_EQ(Run(step).exitCode, 0) << step;
  EXPECT_EQ(Run("wait Data").exitCode, 4);
  // Later runs find nothing more to journal.
  for (const char* step : {"jobs", "wait --all", "sim advance 60000"}) Run(step);
  // Work that is gone with its volume failed; the end comes before the command that caused it.
  ASSERT_EQ(Run("verify-volume Scratch").exitCode, 0);
  ASSERT_EQ(Run("delete-volume Scratch --force").exitCode, 0);

  const std::vector<json> jobs = Records("job");
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[0]["detail"],
            "verify of Data finished: 3 errors, 1 bad block found, none repaired");
  EXPECT_EQ(jobs[0]["job"].dump(),
            R"({"drives":[],"endedMs":60000,"kind":"verify","outcome":"finished","startedMs":0,)"
            R"("verifyBadBlocks":1,"verifyErrors":3,"verifyRepaired":false,)"
            R"("volumeId":"f0d0e100-0000-4000-8000-000000000001",)"
            R"("volumeName":"Data","why":null})");
  EXPECT_EQ(jobs[1]["detail"], "verify of Scratch failed: the volume is gone");
  EXPECT_TRUE(jobs[1]["job"]["verifyErrors"].is_null());
  EXPECT_EQ(Records("command").back()["id"], jobs[1]["id"].get<int>() + 1);

  const json history = RunJson("jobs --history")["result"];
  ASSERT_EQ(history.size(), 2u);
  json listed = jobs[0]["job"];
  listed.update({{"id", jobs[0]["id"]}, {"time", jobs[0]["time"]}});
  EXPECT_EQ(history[0], listed);
  EXPECT_EQ(Run("jobs --history").out,
            jobs[0]["time"].get<std::string>() +
                "  volume \"Data\" (f0d0e100-0000-4000-8000-000000000001)  verify  finished  3 "
                "errors, 1 bad block found, none repaired\n" +
                jobs[1]["time"].get<std::string>() +
                "  volume \"Scratch\" (f0d0e100-0000-4000-8000-000000000002)  verify  failed "
                "(the volume is gone)\n");

  // An end that cannot be journaled is said, and the run goes on.
  ASSERT_EQ(Run("verify-volume Data").exitCode, 0);
  ASSERT_EQ(Run("sim advance 600000").exitCode, 0);
  fs::remove(state.string() + ".journal");
  fs::create_directory(state.string() + ".journal");
  const Result unjournaled = Run("jobs");
  EXPECT_EQ(unjournaled.exitCode, 0);
  EXPECT_NE(unjournaled.out.find("veskctl: the end of background work was not journaled: cannot "
                                 "open the journal " +
                                 state.string() + ".journal: access denied (Windows error 5)\n"),
            std::string::npos)
      << unjournaled.out;
}

// Who ran a command comes from the process, never from what the environment claims: sudo's word
// for who asked is kept beside it, and no text of a record can start a line of its own.
TEST_F(AuditTest, TheUserIsTheProcesssOwnAndNoTextBreaksItsLine) {
  ::setenv("USER", "root\n#99  2026-01-01T00:00:00.000Z  command  forged", 1);
  ::setenv("SUDO_USER", "bob", 1);
  ASSERT_EQ(Run("rename-volume Data Data2").exitCode, 0);
  const json record = Records("command").back();
  EXPECT_EQ(record["command"]["user"], me);
  EXPECT_EQ(record["command"]["sudoUser"], "bob");
  EXPECT_EQ(record["detail"], "rename-volume by " + me + " (sudo for bob): ok");

  // Whatever a record holds, its text is one line.
  veskctl::Journal(state.string() + ".journal")
      .Append(json{{"kind", "changed"},
                   {"element", {{"kind", "volume"}, {"id", "v1"}, {"name", "a\nb"}}},
                   {"detail", "c\r\x1b[2J\u2028d\u202ee"}});
  const Result text = Run("events --since " + std::to_string(record["id"].get<int>() + 1));
  EXPECT_EQ(std::count(text.out.begin(), text.out.end(), '\n'), 1) << text.out;
  EXPECT_NE(text.out.find("volume \"a\\nb\" (v1)  c\\r\\x1b[2J\\u2028d\\u202ee\n"),
            std::string::npos)
      << text.out;
}

// The journal and the files beside it are the owner's alone.
TEST_F(AuditTest, TheJournalAndItsSideFilesAreTheOwnersAlone) {
  ::umask(022);
  ASSERT_EQ(Run("rename-volume Data Data2").exitCode, 0);
  ASSERT_EQ(Run("monitor --once").exitCode, 0);
  int files = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("state.json", 0) != 0) continue;
    ++files;
    EXPECT_EQ(entry.status().permissions() & (fs::perms::group_all | fs::perms::others_all),
              fs::perms::none)
        << name;
  }
  EXPECT_GE(files, 6);  // the state, its lock, the journal, its lock, cursors, watch lock, ...
}

// Ctrl+C or SIGTERM at the question cancels the command, and the journal says so.
TEST_F(AuditTest, AStopAtTheQuestionIsRecordedAsCancelled) {
  for (const char* stop : {"\x03", "SIGTERM"}) {
    SCOPED_TRACE(stop);
    Vesk::test::Watchdog watchdog("a command stopped at its question", 60);
    int terminal = -1;
    const pid_t test = ::getpid();
    const std::string veskctl = Veskctl(), statePath = state.string();
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
      DieWithTheTest(test);
      ::execl(veskctl.c_str(), "veskctl", "--state", statePath.c_str(), "delete-volume", "Scratch",
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    std::string shown;
    char buffer[4096];
    while (shown.find("Go on? Type yes or no: ") == std::string::npos) {
      const ssize_t n = ::read(terminal, buffer, sizeof buffer);
      ASSERT_GT(n, 0) << shown;
      shown.append(buffer, static_cast<std::size_t>(n));
    }
    if (std::string(stop) == "SIGTERM")
      ::kill(pid, SIGTERM);
    else
      ASSERT_EQ(::write(terminal, stop, 1), 1);  // the terminal makes it SIGINT
    for (ssize_t n; (n = ::read(terminal, buffer, sizeof buffer)) > 0;)
      shown.append(buffer, static_cast<std::size_t>(n));
    int status = -1;
    ::waitpid(pid, &status, 0);
    ::close(terminal);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << shown;
    EXPECT_NE(shown.find("veskctl: cancelled: stopped at the question (Ctrl+C or SIGTERM); nothing "
                         "was done"),
              std::string::npos)
        << shown;
    const json cancelled = Records("command").back();
    EXPECT_EQ(cancelled["command"]["outcome"], "cancelled");
    EXPECT_EQ(cancelled["command"]["exitCode"], 1);
    EXPECT_FALSE(Volume("Scratch").is_null());
  }
}

}  // namespace
}  // namespace veskctl::testing
