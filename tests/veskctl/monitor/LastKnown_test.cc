// One last-known state for every watcher: whichever watches (a following monitor, `--once`) and
// however the one before it ended, each change is recorded once, with its kind.
#include "tools/veskctl/monitor/LastKnown.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <thread>

#include "VeskctlTest.h"
#include "Watchdog.h"
#include "simulator/Topology.h"
#include "tools/veskctl/base/Files.h"
#include "tools/veskctl/journal/Journal.h"
#include "tools/veskctl/monitor/Monitor.h"

namespace {

using nlohmann::json;
using veskctl::testing::ChildProcess;
using veskctl::testing::Result;
using veskctl::testing::VeskctlTest;
namespace fs = std::filesystem;

class LastKnownTest : public VeskctlTest {
 protected:
  void SetUp() override {
    VeskctlTest::SetUp();
    ::setenv("VESK_SIM_CLOCK", "manual", 1);
    journal = state.string() + ".journal";
  }
  void Do(const std::string& command) {
    const Result r = Run(command);
    ASSERT_EQ(r.exitCode, 0) << command << ": " << r.out;
  }
  std::vector<json> Journal(std::uint64_t after = 0) {
    return veskctl::Journal(journal).After(after).records;
  }
  std::uint64_t LastId() { return veskctl::Journal(journal).LastId(); }
  // The watchers' records after `after`, as "kind element [property old -> new]".
  std::vector<std::string> Watched(std::uint64_t after) {
    std::vector<std::string> seen;
    for (const auto& r : Journal(after)) {
      if (r["kind"] == "command" || r["kind"] == "job") continue;
      std::string text = r["kind"].get<std::string>() + " " +
                         (r["element"].is_object() ? r["element"]["name"].get<std::string>() : "");
      if (r["kind"] == "changed")
        text += " " + r["property"].get<std::string>() + " " + r["oldName"].get<std::string>() +
                " -> " + r["newName"].get<std::string>();
      seen.push_back(text);
    }
    return seen;
  }
  // A following monitor, its output thrown away (the journal is what is checked); with `under`,
  // run by that command (strace) instead of directly.
  std::unique_ptr<ChildProcess> Follow(const std::vector<std::string>& under = {},
                                       const std::vector<std::string>& command = {
                                           "monitor", "--interval", "0.02"}) {
    std::vector<std::string> words = under;
    for (const std::string& w : {Veskctl(), std::string("--state"), state.string()})
      words.push_back(w);
    words.insert(words.end(), command.begin(), command.end());
    return std::make_unique<ChildProcess>([words]() mutable {
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
      std::vector<char*> argv;
      for (auto& w : words) argv.push_back(w.data());
      argv.push_back(nullptr);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    });
  }
  // Waits until some monitor holds the watcher lock.
  void AwaitWatcher() {
    const std::string lock = journal.string() + ".watch.lock";
    for (;;) {
      const int file = ::open(lock.c_str(), O_RDWR | O_CLOEXEC);
      if (file >= 0) {
        const bool free = ::flock(file, LOCK_EX | LOCK_NB) == 0;
        ::close(file);
        if (!free) return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  // Waits until the journal holds a record `wanted` accepts after `after`.
  void AwaitRecord(std::uint64_t after, const std::function<bool(const json&)>& wanted) {
    for (;;) {
      const auto records = Journal(after);
      if (std::any_of(records.begin(), records.end(), wanted)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  static bool StraceWorks() { return Exec("strace -qq -o /dev/null true").exitCode == 0; }
  // strace words that kill the traced veskctl (SIGKILL) as it makes `call` the `nth` time; on
  // `path` only, when given (strace matches a file descriptor's path, not a renamed file's).
  static std::vector<std::string> KillAt(const std::string& call, int nth,
                                         const std::string& path = "") {
    std::vector<std::string> words = {
        "strace",
        "-f",
        "-qq",
        "-o",
        "/dev/null",
        "-e",
        "trace=" + call,
        "-e",
        "inject=" + call + ":signal=KILL:when=" + std::to_string(nth)};
    if (!path.empty()) words.insert(words.end(), {"-P", path});
    // The traced veskctl is strace's child: it dies with strace as strace dies with the test.
    words.insert(words.end(), {"setpriv", "--pdeathsig", "KILL"});
    return words;
  }
  static std::string Words(const std::vector<std::string>& words) {
    std::string line;
    for (const auto& w : words) line += "'" + w + "' ";
    return line;
  }

  fs::path journal;
};

// Changes made while no monitor ran are recorded with their kinds by the next watcher, whichever it
// is, and by no watcher after it; `present` only when nothing at all was known.
TEST_F(LastKnownTest, ChangesWhileNoWatcherRanAreRecordedOnceWithTheirKindsByTheNextWatcher) {
  Do("sim reset");
  Vesk::test::Watchdog watchdog("monitors started in turn", 60);
  auto first = Follow();
  AwaitRecord(0, [](const json& r) { return r["kind"] == "present"; });
  AwaitRecord(0, [](const json& r) {
    return r["element"].is_object() && r["element"]["name"] == "KS1A00000003";
  });
  first->Stop(SIGTERM);
  const std::uint64_t present = LastId();

  Do("sim fail-drive KN2K00004101");
  Do("rename-volume Scratch Scratch2");
  auto second = Follow();
  AwaitRecord(present, [](const json& r) { return r["kind"] == "drive-failed"; });
  AwaitRecord(present, [](const json& r) { return r["property"] == "Name"; });
  second->Stop(SIGTERM);
  EXPECT_EQ(Watched(present),
            (std::vector<std::string>{
                "volume-data-lost Scratch", "changed Data State normal -> degraded",
                "volume-degraded Data", "changed Scratch Name Scratch -> Scratch2",
                "changed Scratch2 State normal -> failed", "volume-failed Scratch2",
                "changed KN2K00004101 Status normal -> failed", "drive-failed KN2K00004101"}));
  const std::uint64_t followed = LastId();

  // `--once` after a following monitor: nothing new; a change after it: recorded from the state
  // the follower left (degraded, not the normal an older `--once` saw).
  const Result once = Run("monitor --once");
  EXPECT_EQ(once.exitCode, 0) << once.out;
  EXPECT_EQ(LastId(), followed);
  Do("sim fail-drive KN2K00004102");
  const std::uint64_t failed = LastId();
  ASSERT_EQ(Run("monitor --once").exitCode, 0);
  auto third = Follow();
  AwaitWatcher();
  // Counted from before the command: the follower may record the change before it exits.
  const std::uint64_t deleting = LastId();
  Do("delete-volume Scratch2 --force");
  AwaitRecord(deleting, [](const json& r) { return r["kind"] == "removed"; });
  third->Stop(SIGTERM);
  ASSERT_EQ(Run("monitor --once").exitCode, 0);
  EXPECT_EQ(Watched(failed),
            (std::vector<std::string>{
                "changed Data State degraded -> failed", "volume-failed Data",
                "changed KN2K00004102 Status normal -> failed", "drive-failed KN2K00004102",
                // the record of the delete command comes between
                "changed Array_0000 FreeSize 2.3 TiB -> 3.3 TiB", "removed Scratch2"}));
}

// A `--once` killed at any step of its commit loses nothing and repeats nothing: before it wrote
// the last-known state, between the state and the journal's records, and after both.
TEST_F(LastKnownTest, AWatcherKilledAtAnyStepOfItsCommitLosesNothingAndRepeatsNothing) {
  if (!StraceWorks()) GTEST_SKIP() << "strace cannot trace here";
  Do("sim reset");
  ASSERT_EQ(Run("monitor --once").exitCode, 0);
  const std::uint64_t start = LastId();
  // Its renames: the last-known state's, then the delivery cursors'.
  const std::vector<std::vector<std::string>> steps = {
      KillAt("rename", 1),
      KillAt("write", 1, journal.string()),
      KillAt("rename", 2),
  };
  Vesk::test::Watchdog watchdog("killed monitors", 60);
  int name = 0;
  for (const auto& kill : steps) {
    Do("rename-volume " + (name == 0 ? std::string("Data") : "D" + std::to_string(name)) + " D" +
       std::to_string(name + 1));
    ++name;
    const Result killed = Exec(Words(kill) + Command("monitor --once"));
    EXPECT_EQ(killed.exitCode, 128 + SIGKILL) << kill[7] << ": " << killed.out;
    ASSERT_EQ(Run("monitor --once").exitCode, 0);
  }
  // Each change recorded once, each from the value the one before left.
  EXPECT_EQ(Watched(start),
            (std::vector<std::string>{"changed Data Name Data -> D1", "changed D1 Name D1 -> D2",
                                      "changed D2 Name D2 -> D3"}));
}

// A following monitor that takes over from one killed as it committed (before its state, or with
// its records not yet in the journal) records what that one saw, once.
TEST_F(LastKnownTest, AMonitorTakingOverRecordsWhatTheKilledOneSawOnce) {
  if (!StraceWorks()) GTEST_SKIP() << "strace cannot trace here";
  Do("sim reset");
  ASSERT_EQ(Run("monitor --once").exitCode, 0);
  const std::uint64_t start = LastId();
  Vesk::test::Watchdog watchdog("monitors taking over", 60);
  struct Round {
    std::vector<std::string> kill;
    std::string command, last;
  };
  const std::vector<Round> rounds = {
      {KillAt("write", 1, journal.string()), "sim fail-drive KN2K00004101", "drive-failed"},
      // A follower without a program renames nothing but its last-known state.
      {KillAt("rename", 1), "rename-volume Scratch Scratch2", "changed"},
  };
  for (const auto& round : rounds) {
    auto recording = Follow(round.kill);
    AwaitWatcher();
    auto other = Follow();
    const std::uint64_t before = LastId();
    Do(round.command);
    // The first dies as it commits; the other takes over and records.
    const int status = recording->Wait();
    EXPECT_TRUE(WIFSIGNALED(status) || WIFEXITED(status)) << status;
    AwaitRecord(before, [&](const json& r) { return r["kind"] == round.last; });
    other->Stop(SIGTERM);
  }
  ASSERT_EQ(Run("monitor --once").exitCode, 0);
  EXPECT_EQ(Watched(start),
            (std::vector<std::string>{
                "volume-data-lost Scratch", "changed Data State normal -> degraded",
                "volume-degraded Data", "changed Scratch State normal -> failed",
                "volume-failed Scratch", "changed KN2K00004101 Status normal -> failed",
                "drive-failed KN2K00004101", "changed Scratch Name Scratch -> Scratch2"}));
}

// A drill with no monitor running — a drive failed, another pulled, a SMART event, a spare taking
// over — and then a following monitor, `--once` and the console, each started in turn after more
// changes: each change is recorded once with its kind, and a program that fails its first two runs
// gets every record once.
TEST_F(LastKnownTest, ADrillSeenByEachWatcherInTurnIsRecordedAndDeliveredOnce) {
  Do("sim reset");
  ASSERT_EQ(Run("monitor --once").exitCode, 0);
  const fs::path program = dir / "page", runs = dir / "runs", got = dir / "got";
  // Fails its first two runs (the pager is down), then notes each record's id.
  std::ofstream(program) << "#!/bin/sh\necho run >> " + runs.string() + "\nif [ $(wc -l < " +
                                runs.string() + ") -le 2 ]; then exit 1; fi\n" +
                                "sed -n 's/.*\"id\":\\([0-9]*\\).*/\\1/p' >> " + got.string() +
                                "\n";
  fs::permissions(program, fs::perms::owner_all);
  Vesk::test::Watchdog watchdog("the drill", 120);
  const std::uint64_t start = LastId();

  Do("sim fail-drive KN2K00004101");
  Do("sim pull-drive KS1A00000004");
  Do("sim smart-event KN2K00004104");
  Do("sim fail-drive KS1A00000001");  // the spare KS1A00000003 takes its place
  auto follower = Follow({}, {"monitor", "--interval", "0.02", "--program", program.string()});
  AwaitRecord(start, [](const json& r) { return r["kind"] == "spare-taken"; });
  // Delivered once the two failed attempts' backoff (1 s, then 2 s) is over: the program's
  // cursor has passed the last record it is given. (A program that noted its record but was
  // stopped before it exited is given the record again: at least once.)
  for (;;) {
    std::uint64_t deliverable = 0;  // a delivery failure is never given to a program
    for (const auto& r : Journal(start))
      if (r["kind"] != "program-failed") deliverable = r["id"];
    const json cursors = json::parse(
        veskctl::ReadFileShared(journal.string() + ".cursors", "the cursors").value_or("{}"),
        nullptr, false);
    if (cursors.is_object() && cursors.value(program.string(), std::uint64_t{0}) >= deliverable)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  follower->Stop(SIGTERM);

  Do("sim insert-drive KS1A00000004");
  ASSERT_EQ(Run("monitor --once --program " + program.string()).exitCode, 0);
  Do("rename-volume Data Data2");
  const std::uint64_t renamed = LastId();
  {
    auto console = Follow({}, {"serve", "--listen", "127.0.0.1:0"});
    AwaitRecord(renamed, [](const json& r) { return r["property"] == "Name"; });
  }
  ASSERT_EQ(Run("monitor --once --program " + program.string()).exitCode, 0);

  std::vector<std::string> derived;
  std::vector<std::uint64_t> expected;
  for (const auto& r : Journal(start)) {
    const std::string kind = r["kind"];
    if (kind != "changed" && kind != "command" && kind != "program-failed")
      derived.push_back(kind + " " + r["element"]["name"].get<std::string>());
    // The four drills' records and the data Scratch lost are there before the first watcher.
    if (kind != "program-failed" && r["id"].get<std::uint64_t>() > start + 5)
      expected.push_back(r["id"]);
  }
  // (The drive inserted again is a change of its Status: it never left the machine's list.)
  EXPECT_EQ(derived,
            (std::vector<std::string>{"volume-data-lost Scratch", "job-started System",
                                      "volume-degraded System", "volume-degraded Data",
                                      "volume-failed Scratch", "drive-failed KS1A00000001",
                                      "spare-taken KS1A00000003", "drive-missing KS1A00000004",
                                      "drive-failed KN2K00004101", "drive-smart KN2K00004104"}));
  std::vector<std::uint64_t> noted;
  std::istringstream lines(Slurp(got));
  for (std::string line; std::getline(lines, line);) noted.push_back(std::stoull(line));
  EXPECT_EQ(noted, expected);
}

// The first `--once` of this veskctl starts from the snapshot older ones kept, and removes it.
TEST_F(LastKnownTest, TheSnapshotOlderOnceRunsKeptIsTakenOverOnce) {
  Do("sim reset");
  const fs::path snapshot = state.string() + ".monitor";
  std::ofstream(snapshot) << json{{"format", "veskctl-monitor-snapshot"},
                                  {"formatVersion", 1},
                                  {"machine", json::parse(Slurp(state))["machine"]}}
                                 .dump();
  Do("rename-volume Data D1");
  const std::uint64_t renamed = LastId();
  const Result once = Run("monitor --once");
  EXPECT_EQ(once.exitCode, 0) << once.out;
  EXPECT_EQ(Watched(renamed), std::vector<std::string>{"changed Data Name Data -> D1"});
  EXPECT_FALSE(fs::exists(snapshot));
  EXPECT_EQ(Run("monitor --once").exitCode, 0);
  EXPECT_EQ(LastId(), renamed + 1);
}

// The pending records of a state are appended once: none that the journal holds (all of them, or
// those before a torn line), and all of them, marked, when the journal rotated past the state.
TEST_F(LastKnownTest, PendingRecordsAreAppendedOnceAndMarkedWhenTheJournalCannotTell) {
  const veskctl::Journal small(journal, 4000);
  const veskctl::LastKnownFile file(small);
  auto record = [](int n) {
    return json{{"time", "2026-12-08T07:00:00.00" + std::to_string(n) + "Z"},
                {"kind", "changed"},
                {"detail", "change " + std::to_string(n)}};
  };
  small.Append(json{{"kind", "command"}});
  veskctl::LastKnown state;
  state.machine = json{{"elements", json::array()}};
  EXPECT_EQ(file.Commit(state, {record(1), record(2)}), (std::vector<std::uint64_t>{2, 3}));
  const auto committed = file.Read();
  ASSERT_TRUE(committed);
  EXPECT_EQ(committed->journalId, 1u);
  EXPECT_EQ(committed->pending.size(), 2u);
  EXPECT_EQ(committed->machine, state.machine);
  EXPECT_TRUE(file.Recover(*committed).empty());

  // Died after the first of three went in, another run's record after it.
  state.journalId = small.LastId();
  state.pending = {record(3), record(4), record(5)};
  small.Append(record(3));
  small.Append(json{{"kind", "command"}});
  const auto appended = file.Recover(state);
  ASSERT_EQ(appended.size(), 2u);
  EXPECT_EQ(appended[0]["detail"], "change 4");
  EXPECT_EQ(appended[1]["id"], small.LastId());
  EXPECT_FALSE(appended[0].contains("maybeRepeated"));
  EXPECT_TRUE(file.Recover(state).empty());

  // Two rotations since: whether they went in cannot be told.
  state.journalId = small.LastId();
  state.pending = {record(6)};
  for (int i = 0; i < 80; ++i)
    small.Append(json{{"kind", "command"}, {"detail", std::string(60, 'x')}});
  ASSERT_TRUE(small.After(state.journalId).gap);
  const auto again = file.Recover(state);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0]["maybeRepeated"], true);
  EXPECT_EQ(small.After(small.LastId() - 1).records.at(0)["maybeRepeated"], true);

  // What is not a last-known state is said and taken as none.
  for (const char* other : {R"({"format":"something else","formatVersion":1})",
                            R"({"format":"veskctl-last-known"})", "[1]"}) {
    std::ofstream(file.Path()) << other;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(file.Read()) << other;
    EXPECT_EQ(
        testing::internal::GetCapturedStderr(),
        "veskctl: the last-known state " + file.Path().string() +
            " is not a last-known state of this veskctl; reporting the machine as it is now\n")
        << other;
  }
}

// A last-known state damaged in places (by hand, or by another veskctl) is read for what it holds:
// a property whose value cannot be read is told as changed from nothing, never a crash.
TEST(LastKnownFeed, ADamagedStateIsReadForWhatItHolds) {
  veskctl::Watcher watcher(veskctl::EventFeed::Mode::Quiet);
  watcher.Load(vesk::sim::LoadTopologyFile(VESK_TOPOLOGY_DIR "/demo.json"));
  watcher.Refresh();
  json known = watcher.Feed().Known();
  auto& elements = known["elements"];
  ASSERT_EQ(elements[2]["kind"], "array");
  const int first = static_cast<int>(elements[0]["values"].size()),
            second = static_cast<int>(elements[1]["values"].size());
  elements[0].erase("values");
  elements[1]["values"] = "none";
  elements[2]["values"]["Name"] = 7;
  elements[3]["values"]["Name"] = json::array({"Array_0000"});
  elements[4]["values"]["Name"] = json::array({"System", 5});
  watcher.Feed().Since(known);
  std::map<std::string, int> changed;  // by element id, changes with no old value
  for (const auto& e : watcher.Feed().Take()) {
    ASSERT_EQ(e.kind, "changed");
    EXPECT_FALSE(e.oldValue.has_value()) << e.elementName << " " << e.property;
    ++changed[e.elementId];
  }
  EXPECT_EQ(changed[elements[0]["id"]], first);
  EXPECT_EQ(changed[elements[1]["id"]], second);
  for (int i = 2; i < 5; ++i) EXPECT_EQ(changed[elements[i]["id"]], 1) << elements[i].dump();
}

}  // namespace
