// A command carried out is journaled even when its run is killed right after: real veskctl runs
// are killed at each step, and the journal is read afterwards.
#include "tools/veskctl/journal/Intent.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>

#include <cstdio>
#include <regex>
#include <sstream>

#include "VeskctlTest.h"
#include "Watchdog.h"
#include "tools/veskctl/journal/Journal.h"

namespace veskctl::testing {
namespace {

using nlohmann::json;

class IntentTest : public VeskctlTest {
 protected:
  void SetUp() override {
    VeskctlTest::SetUp();
    ::setenv("VESK_SIM_CLOCK", "manual", 1);
    journal = state.string() + ".journal";
    intents = journal.string() + ".intents";
    said = dir / "said";
    ASSERT_EQ(Run("sim advance 1").exitCode, 0);  // a machine and a journal to start from
  }

  std::vector<json> Commands() const {
    std::vector<json> records;
    std::istringstream lines(Slurp(journal));
    std::string line;
    std::getline(lines, line);  // the header
    while (std::getline(lines, line))
      if (json record = json::parse(line); record["kind"] == "command") records.push_back(record);
    return records;
  }

  std::vector<fs::path> Intents() const {
    std::vector<fs::path> found;
    if (fs::exists(intents))
      for (const auto& entry : fs::directory_iterator(intents)) found.push_back(entry.path());
    return found;
  }

  // Takes a lock as veskctl does (LockFileEx is flock on POSIX); closing the descriptor lets go.
  static int Hold(const fs::path& lockFile) {
    const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0) << lockFile;
    EXPECT_EQ(::flock(fd, LOCK_EX), 0) << lockFile;
    return fd;
  }

  // veskctl with `arguments`, in the process the guard holds; what it says goes to `said`.
  std::unique_ptr<ChildProcess> Start(const std::string& arguments) {
    const std::string line = "exec " + Command(arguments) + " >" + said.string() + " 2>&1";
    return std::make_unique<ChildProcess>(
        [&line] { ::execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr)); });
  }

  // Runs `arguments` until it has acted and saved the state file and waits on the journal's
  // lock, then kills it. Returns its process id.
  pid_t KillAfterItActed(const std::string& arguments) {
    Vesk::test::Watchdog watchdog("a command's save of the state file", 60);
    const int saves = ::inotify_init1(IN_CLOEXEC);
    EXPECT_GE(::inotify_add_watch(saves, dir.c_str(), IN_MOVED_TO), 0);
    const int journalLock = Hold(journal.string() + ".lock");
    const std::size_t before = Intents().size();
    auto run = Start(arguments);
    const pid_t pid = run->pid;
    WaitForMoveTo(saves, state.filename().string());
    EXPECT_EQ(Intents().size(), before + 1) << Slurp(said);
    const int status = run->Stop(SIGKILL);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status << Slurp(said);
    ::close(journalLock);
    ::close(saves);
    return pid;
  }

  static void WaitForMoveTo(int watch, const std::string& name) {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(watch, buffer, sizeof buffer);
      ASSERT_GT(n, 0);
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0 && name == event->name) return;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }

  // The record a killed run's intent became.
  void ExpectUnknown(const json& record, pid_t pid, const std::string& from,
                     const std::string& to) {
    EXPECT_EQ(record["command"]["pid"], pid);
    EXPECT_EQ(record["command"]["argv"].back(), to);
    EXPECT_EQ(record["command"]["outcome"], "unknown");
    EXPECT_TRUE(record["command"]["exitCode"].is_null());
    EXPECT_EQ(record["command"]["status"]["ok"], false);
    EXPECT_EQ(record["element"]["name"], from);
    const std::string detail = record["detail"];
    EXPECT_TRUE(std::regex_match(
        detail,
        std::regex("rename-volume by " + Exec("id -un | tr -d '\\n'", true).out +
                   ": unknown: veskctl ended before it recorded how the command ended \\(it was "
                   "carried out from [0-9-]+T[0-9:.]+Z on\\); the machine may or may not have "
                   "changed: check with `veskctl show`")))
        << detail;
  }

  fs::path journal, intents, said;
};

TEST_F(IntentTest, ACommandKilledAfterItActedIsJournaledOnceAsUnknownByTheNextCommand) {
  const pid_t first = KillAfterItActed("rename-volume Data Data2");
  const pid_t second = KillAfterItActed("rename-volume Data2 Data3");
  // The machine changed; the journal does not know yet.
  EXPECT_FALSE(Volume("Data3").is_null());
  ASSERT_EQ(Commands().size(), 1u);
  EXPECT_EQ(Intents().size(), 2u);

  ASSERT_EQ(Run("sim advance 1").exitCode, 0);
  ASSERT_EQ(Run("sim advance 2").exitCode, 0);
  const std::vector<json> records = Commands();
  ASSERT_EQ(records.size(), 5u);
  ExpectUnknown(records[1], first, "Data", "Data2");
  ExpectUnknown(records[2], second, "Data2", "Data3");
  EXPECT_EQ(records[3]["command"]["argv"].back(), "1");
  EXPECT_EQ(records[3]["command"]["outcome"], "ok");
  EXPECT_EQ(records[4]["command"]["argv"].back(), "2");
  EXPECT_TRUE(Intents().empty());
}

// A watcher journals it as soon as it looks, and delivers it with the rest.
TEST_F(IntentTest, ACommandKilledAfterItActedIsJournaledOnceByTheNextWatcher) {
  const pid_t killed = KillAfterItActed("rename-volume Data Data2");
  const Result once = Run("monitor --once");
  EXPECT_EQ(once.exitCode, 0) << once.out;
  EXPECT_NE(once.out.find("  command  volume \"Data\""), std::string::npos) << once.out;
  EXPECT_NE(once.out.find(": unknown: veskctl ended before it recorded"), std::string::npos)
      << once.out;
  EXPECT_EQ(veskctl::CloseAbandonedIntents(veskctl::Journal(journal)), 0u);
  ASSERT_EQ(Run("sim advance 1").exitCode, 0);
  const std::vector<json> records = Commands();
  ASSERT_EQ(records.size(), 3u);
  ExpectUnknown(records[1], killed, "Data", "Data2");
  EXPECT_EQ(records[2]["command"]["name"], "sim advance");
  EXPECT_TRUE(Intents().empty());
  EXPECT_FALSE(Volume("Data2").is_null());
}

// Killed at the question, or while it waits for the machine's lock: it did nothing, and nothing
// says it did.
TEST_F(IntentTest, ACommandKilledBeforeItActedLeavesNoIntentAndNoRecord) {
  Vesk::test::Watchdog watchdog("commands killed before they acted", 60);
  {
    int terminal = -1, device = -1;
    ASSERT_EQ(::openpty(&terminal, &device, nullptr, nullptr, nullptr), 0);
    const std::string veskctl = Veskctl(), statePath = state.string();
    ChildProcess run([&] {
      for (int fd : {0, 1, 2}) ::dup2(device, fd);
      ::execl(veskctl.c_str(), "veskctl", "--state", statePath.c_str(), "delete-volume", "Scratch",
              static_cast<char*>(nullptr));
    });
    ::close(device);
    std::string shown;
    char buffer[4096];
    while (shown.find("Go on? Type yes or no: ") == std::string::npos) {
      const ssize_t n = ::read(terminal, buffer, sizeof buffer);
      ASSERT_GT(n, 0) << shown;
      shown.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_TRUE(Intents().empty());
    run.Stop(SIGKILL);
    ::close(terminal);
  }
  {
    const int stateLock = Hold(state.string() + ".lock");
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    const std::string line = Command("rename-volume Data Data2");
    ChildProcess run([&] {
      ::dup2(pipe[1], 2);
      ::execl("/bin/sh", "sh", "-c", ("exec " + line).c_str(), static_cast<char*>(nullptr));
    });
    ::close(pipe[1]);
    FILE* stderrOfRun = ::fdopen(pipe[0], "r");
    char text[512] = {};
    ASSERT_NE(std::fgets(text, sizeof text, stderrOfRun), nullptr);
    EXPECT_TRUE(std::string(text).starts_with("veskctl: waiting for another veskctl run")) << text;
    run.Stop(SIGKILL);
    std::fclose(stderrOfRun);
    ::close(stateLock);
  }
  EXPECT_TRUE(Intents().empty());
  EXPECT_EQ(veskctl::CloseAbandonedIntents(veskctl::Journal(journal)), 0u);
  EXPECT_FALSE(Volume("Scratch").is_null());
  EXPECT_FALSE(Volume("Data").is_null());
  ASSERT_EQ(Run("sim advance 1").exitCode, 0);
  EXPECT_EQ(Commands().size(), 2u);
}

// While its run lives an intent is its run's alone: no other writer journals it, and the run
// journals its own outcome and removes it.
TEST_F(IntentTest, ALiveRunsIntentIsNeverTakenForADeadRuns) {
  Vesk::test::Watchdog watchdog("a command held at its journal's lock", 60);
  const int saves = ::inotify_init1(IN_CLOEXEC);
  ASSERT_GE(::inotify_add_watch(saves, dir.c_str(), IN_MOVED_TO), 0);
  const int journalLock = Hold(journal.string() + ".lock");
  auto run = Start("rename-volume Data Data2");
  WaitForMoveTo(saves, state.filename().string());
  ::close(saves);
  ASSERT_EQ(Intents().size(), 1u);
  // (Were it taken, the helper would wait here for the journal's lock, which the test holds.)
  EXPECT_EQ(veskctl::CloseAbandonedIntents(veskctl::Journal(journal)), 0u);
  EXPECT_EQ(Intents().size(), 1u);
  ::close(journalLock);
  const int status = run->Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << Slurp(said);
  const std::vector<json> records = Commands();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1]["command"]["outcome"], "ok");
  EXPECT_EQ(records[1]["command"]["exitCode"], 0);
  EXPECT_TRUE(Intents().empty());
}

// A storage tool that cannot say beforehand what it is about to do does not do it.
TEST_F(IntentTest, ACommandWhoseIntentCannotBeWrittenIsNotCarriedOut) {
  fs::remove_all(intents);
  std::ofstream(intents) << "a file where the folder should be";
  const Result r = Run("rename-volume Data Data2");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out,
            "veskctl: cannot record rename-volume before carrying it out: cannot write the "
            "command's intent into " +
                intents.string() + ": no such folder (Windows error 3). Nothing was done.\n");
  EXPECT_FALSE(Volume("Data").is_null());
  const json record = Commands().back();
  EXPECT_EQ(record["command"]["outcome"], "failed");
  EXPECT_EQ(record["command"]["exitCode"], 1);
  EXPECT_EQ(record["command"]["status"]["kind"], "state");
  // A dry run writes none, and so still answers.
  EXPECT_EQ(Run("--dry-run rename-volume Data Data2").exitCode, 0);
}

// What is in the folder but no intent to journal: one written but never put in place (its run
// died before it acted) goes, unless it is still empty (its run may be making it); one that cannot
// be read as a record stays for a person to look at.
TEST_F(IntentTest, OnlyIntentsThatHoldARecordAreJournaled) {
  fs::create_directories(intents);
  std::ofstream(intents / "5-1.new") << "{\"kind\":\"command\"}";
  std::ofstream(intents / "5-2.new") << "";
  std::ofstream(intents / "6-1") << "{\"kind\":\"comm";
  std::ofstream(intents / "notes.txt") << "{\"kind\":\"command\"}";
  std::ofstream(intents / "1x-2") << "{\"kind\":\"command\"}";
  std::ofstream(intents / "7-1") << "";  // closed by another closer, not yet removed
  EXPECT_EQ(veskctl::CloseAbandonedIntents(veskctl::Journal(journal)), 0u);
  EXPECT_FALSE(fs::exists(intents / "5-1.new"));
  EXPECT_TRUE(fs::exists(intents / "5-2.new"));
  EXPECT_TRUE(fs::exists(intents / "6-1"));
  EXPECT_TRUE(fs::exists(intents / "notes.txt"));
  EXPECT_TRUE(fs::exists(intents / "1x-2"));
  EXPECT_FALSE(fs::exists(intents / "7-1"));
  EXPECT_EQ(Commands().size(), 1u);

  // In the order they were made (by time, then process), not in the order of their names.
  std::ofstream(intents / "10-1") << "{\"kind\":\"command\",\"detail\":\"second\"}";
  std::ofstream(intents / "9-2") << "{\"kind\":\"command\",\"detail\":\"first\"}";
  EXPECT_EQ(veskctl::CloseAbandonedIntents(veskctl::Journal(journal)), 2u);
  const auto records = Commands();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1]["detail"], "first");
  EXPECT_EQ(records[2]["detail"], "second");
}

}  // namespace
}  // namespace veskctl::testing
