// veskctl monitor: run as a process beside other veskctl runs, and its refresh in this process.
#include "tools/veskctl/monitor/Monitor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "VeskctlTest.h"
#include "Watchdog.h"
#include "simulator/Topology.h"
#include "tools/veskctl/base/Secrets.h"
#include "tools/veskctl/http/HttpServer.h"
#include "tools/veskctl/journal/Journal.h"
#include "tools/veskctl/journal/Undelivered.h"
#include "tools/veskctl/monitor/SystemLog.h"
#include "tools/veskctl/session/StateFile.h"

namespace {

using nlohmann::json;
using veskctl::testing::Result;
using veskctl::testing::VeskctlTest;
namespace fs = std::filesystem;

// A monitor running as a child process (`veskctl --state STATE --json monitor ARGS`), its JSON
// Lines read as they come. Ended, with the programs it runs, however the test ends.
class MonitorProcess {
 public:
  // `errors`, when given, takes the monitor's standard error.
  MonitorProcess(const std::string& veskctl, const fs::path& state,
                 const std::vector<std::string>& arguments, const fs::path& errors = {})
      : words(Words(veskctl, state, arguments)), out(Pipe()), child([this, &errors] {
          if (!errors.empty()) {
            const int file = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(file, STDERR_FILENO);
          }
          ::dup2(out[1], STDOUT_FILENO);
          ::close(out[0]);
          std::vector<char*> argv;
          for (auto& w : words) argv.push_back(w.data());
          argv.push_back(nullptr);
          ::execv(argv[0], argv.data());
        }) {
    ::close(out[1]);
    lines = ::fdopen(out[0], "r");
  }
  ~MonitorProcess() {
    if (child.pid > 0) child.Stop(SIGKILL);
    if (lines) std::fclose(lines);
  }

  // The events up to and including the first that `last` accepts (all of them at the end of
  // the output).
  std::vector<json> Until(const std::function<bool(const json&)>& last) {
    std::vector<json> events;
    char* line = nullptr;
    std::size_t size = 0;
    while (::getline(&line, &size, lines) > 0) {
      auto record = json::parse(line, nullptr, false);
      // The records of the commands that change the machine come with it; watched here are the
      // monitor's own.
      if (record.is_object() && (record["kind"] == "command" || record["kind"] == "job")) continue;
      events.push_back(std::move(record));
      if (last(events.back())) break;
    }
    std::free(line);
    return events;
  }
  std::vector<json> Rest() {
    return Until([](const json&) { return false; });
  }
  // Sends `signal` and returns the exit status as waitpid gives it.
  int Stop(int signal) { return child.Stop(signal); }
  pid_t Pid() const { return child.pid; }

 private:
  static std::vector<std::string> Words(const std::string& veskctl, const fs::path& state,
                                        const std::vector<std::string>& arguments) {
    std::vector<std::string> words = {veskctl, "--state", state.string(), "--json", "monitor"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    return words;
  }
  static std::array<int, 2> Pipe() {
    std::array<int, 2> ends{-1, -1};
    EXPECT_EQ(::pipe(ends.data()), 0);
    return ends;
  }

  std::vector<std::string> words;
  std::array<int, 2> out;
  veskctl::testing::ChildProcess child;
  FILE* lines = nullptr;
};

// "kind element-name [property old -> new]", the way the assertions read.
std::string Brief(const json& e) {
  std::string text = e["kind"].get<std::string>();
  if (!e["element"].is_null()) text += " " + e["element"]["name"].get<std::string>();
  if (!e["property"].is_null() && (e["kind"] == "changed" || e["old"].is_null()))
    text += " " + e["property"].get<std::string>() + " " + e["oldName"].dump() + " -> " +
            e["newName"].get<std::string>();
  return text;
}

std::function<bool(const json&)> Is(const std::string& brief) {
  return [brief](const json& e) { return Brief(e) == brief; };
}

class MonitorTest : public VeskctlTest {
 protected:
  void SetUp() override {
    VeskctlTest::SetUp();
    ::setenv("VESK_SIM_CLOCK", "manual", 1);
  }
  MonitorProcess Start(const std::vector<std::string>& arguments, const fs::path& errors = {}) {
    return MonitorProcess(Veskctl(), state, arguments, errors);
  }
  void Do(const std::string& command) {
    const Result r = Run(command);
    ASSERT_EQ(r.exitCode, 0) << command << ": " << r.out;
  }
  // Every record of the machine's journal after `after`, oldest first.
  // A monitor's output without the records of the commands (and their work) that changed the
  // machine meanwhile, which the monitor delivers too.
  Result Run(const std::string& arguments, bool stdoutOnly = false) {
    Result r = VeskctlTest::Run(arguments, stdoutOnly);
    if (arguments.find("monitor") == std::string::npos) return r;
    std::string kept;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      const bool own = line.find("  command  ") != std::string::npos ||
                       line.find("  job  ") != std::string::npos ||
                       line.find(R"("kind":"command")") != std::string::npos ||
                       line.find(R"("kind":"job")") != std::string::npos;
      if (!own) kept += line + "\n";
    }
    r.out = kept;
    return r;
  }
  std::vector<json> Journal(std::uint64_t after = 0) {
    return veskctl::Journal(state.string() + ".journal").After(after).records;
  }
  // The JSON Lines of `--json ARGUMENTS`, its exit code checked.
  std::vector<json> Records(const std::string& arguments, int exitCode = 0) {
    const Result r = Run("--json " + arguments);
    EXPECT_EQ(r.exitCode, exitCode) << arguments << ": " << r.out;
    std::vector<json> records;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) records.push_back(json::parse(line));
    return records;
  }
};

// Waits until `path` exists (a program said it started).
void AwaitFile(const fs::path& path) {
  while (!fs::exists(path)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// A test that dies at once (as a watchdog's abort ends it) leaves no monitor running: the
// monitor it started ends with it.
TEST_F(MonitorTest, AMonitorEndsWithTheTestThatStartedItHoweverThatTestEnds) {
  Do("sim reset");
  Vesk::test::Watchdog watchdog("the monitor of a test that died", 30);
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t test = ::fork();
  if (test == 0) {
    MonitorProcess monitor = Start({"--interval", "0.02"});
    const pid_t pid = monitor.Pid();
    monitor.Until([](const json& e) { return e["kind"] == "present"; });
    [[maybe_unused]] auto written = ::write(report[1], &pid, sizeof pid);
    ::_exit(3);  // no destructor runs
  }
  ::close(report[1]);
  pid_t monitor = -1;
  ASSERT_EQ(::read(report[0], &monitor, sizeof monitor), static_cast<ssize_t>(sizeof monitor));
  ::close(report[0]);
  int status = -1;
  ::waitpid(test, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
  // Gone, or a zombie waiting for whoever adopted it.
  const auto ended = [monitor] {
    std::ifstream stat("/proc/" + std::to_string(monitor) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    return text.empty() || text.substr(text.rfind(')') + 2, 1) == "Z";
  };
  for (int i = 0; i < 500 && !ended(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(ended()) << "the monitor " << monitor << " runs on";
  if (!ended()) ::kill(monitor, SIGKILL);
}

TEST_F(MonitorTest, EveryChangeOfOtherRunsIsReportedOnceInOrderAndSigtermEndsItWithZero) {
  Do("sim reset");
  Vesk::test::Watchdog watchdog("the monitor's events", 30);
  MonitorProcess monitor = Start({"--interval", "0.02"});
  int present = 0;
  std::vector<json> events =
      monitor.Until([&](const json& e) { return e["kind"] == "present" && ++present == 18; });
  // Each step waits for its last event, so that no two steps fall into one look.
  const std::vector<std::pair<std::string, std::string>> steps = {
      {"remove-drive KN2K00004102 --force", "drive-missing KN2K00004102"},
      {"rebuild-volume Data --drives KN2K00004104",
       "changed KN2K00004104 Usage \"pass-through\" -> array member"},
      {"sim advance 30000", "changed Data MigrationProgress \"0\" -> 50"},
      {"sim advance 40000", "changed Data MigrationProgress \"50\" -> 0"},
      {"create-volume --name bk --level 1 --drives KS1A00000001,KS1A00000002 --size 100G",
       "added bk State null -> normal"},
      // The spare takes the member's place by itself and both volumes of the array rebuild.
      {"remove-drive KS1A00000002 --force --system", "spare-taken KS1A00000003"},
      {"delete-volume bk --force", "removed bk"},
  };
  for (const auto& [command, last] : steps) {
    Do(command);
    auto more = monitor.Until(Is(last));
    ASSERT_FALSE(more.empty()) << command;
    ASSERT_EQ(Brief(more.back()), last) << command;
    events.insert(events.end(), more.begin(), more.end());
  }
  const int status = monitor.Stop(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const auto after = monitor.Rest();
  events.insert(events.end(), after.begin(), after.end());

  // What an administrator acts on, in the order it happened, each once.
  std::vector<std::string> derived;
  for (const auto& e : events)
    if (e["kind"] != "changed" && e["kind"] != "present") derived.push_back(Brief(e));
  EXPECT_EQ(derived, (std::vector<std::string>{
                         "volume-data-lost Scratch",
                         "volume-degraded Data",
                         "volume-failed Scratch",
                         "drive-missing KN2K00004102",
                         "job-started Data",
                         "job-finished Data",
                         "volume-normal Data",
                         "added bk State null -> normal",
                         // A spare took the member's place: both volumes of the array rebuild,
                         // and neither survives another loss until they are done.
                         "job-started bk",
                         "volume-degraded bk",
                         "job-started System",
                         "volume-degraded System",
                         "drive-missing KS1A00000002",
                         "spare-taken KS1A00000003",
                         "removed bk",
                         "job-failed bk",
                     }));
  // Each property's changes chain up, old to new, from what was first reported to what `show`
  // says now: nothing missed, nothing twice.
  std::map<std::string, json> last;
  for (const auto& e : events) {
    if (e["element"].is_null() || e["property"].is_null()) continue;
    const std::string key =
        e["element"]["id"].get<std::string>() + e["property"].get<std::string>();
    if (e["kind"] == "changed" && last.contains(key)) {
      EXPECT_EQ(e["old"], last[key]) << e.dump();
    }
    if (e["kind"] == "changed" || e["kind"] == "present" || e["kind"] == "added")
      last[key] = e["new"];
  }
  const json topology = RunJson("show");
  for (const auto& v : All(topology, "volumes"))
    EXPECT_EQ(last[v["id"].get<std::string>() + "State"], v["state"]) << v["name"];
  for (const auto& d : All(topology, "drives")) {
    const std::string id = d["id"];
    EXPECT_EQ(last[id + "Status"], d["status"]) << d["serialNumber"];
    if (last.contains(id + "Usage")) {
      EXPECT_EQ(last[id + "Usage"], d["usage"]) << id;
    }
  }
}

// A state file that cannot be read on one look is reported, and the monitor looks again.
TEST_F(MonitorTest, AFailedLookIsAnEventAndTheMonitorGoesOn) {
  Do("sim reset");
  Vesk::test::Watchdog watchdog("the monitor's events", 30);
  MonitorProcess monitor = Start({"--interval", "0.02"});
  int present = 0;
  monitor.Until([&](const json&) { return ++present == 18; });
  std::ofstream(state) << "{";
  const auto failed = monitor.Until(Is("refresh-failed"));
  EXPECT_EQ(failed.back()["detail"],
            "the state file " + state.string() +
                " is not valid JSON (line 1, column 2); it was left untouched. Run 'veskctl "
                "--state " +
                state.string() + " sim reset' to start over.");
  Do("sim reset");
  // Said once while it lasts (no storm of one event a look), and once when it ends.
  const auto recovered = monitor.Until(Is("refresh-recovered"));
  EXPECT_EQ(recovered.size(), 1u) << recovered.front().dump();
  EXPECT_EQ(recovered.back()["detail"], failed.back()["detail"]);
  Do("rename-volume Data Data2");
  const auto renamed = monitor.Until(Is("changed Data Name \"Data\" -> Data2"));
  EXPECT_EQ(Brief(renamed.back()), "changed Data Name \"Data\" -> Data2");
  // Later events carry the new name.
  Do("set-volume-cache Data2 off");
  const auto after = monitor.Until([](const json& e) { return e["property"] == "CachePolicy"; });
  EXPECT_EQ(after.back()["element"]["name"], "Data2");
  EXPECT_TRUE(WIFEXITED(monitor.Stop(SIGINT)));
}

TEST_F(MonitorTest, OnceReportsWhatChangedSinceTheLastOnce) {
  // The first look reports every element as present.
  Result first = Run("monitor --once");
  ASSERT_EQ(first.exitCode, 0) << first.out;
  EXPECT_EQ(std::count(first.out.begin(), first.out.end(), '\n'), 18) << first.out;
  EXPECT_NE(first.out.find("  present  volume \"Data\" (f0d0e100-0000-4000-8000-000000000001)  "
                           "State: normal (0)\n"),
            std::string::npos)
      << first.out;
  const fs::path known = state.string() + ".journal.last-known";
  EXPECT_TRUE(fs::exists(known));
  EXPECT_FALSE(fs::exists(known.string() + ".new"));
  EXPECT_EQ(fs::status(known).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(Run("monitor --once").out, "");  // nothing changed

  Do("set-volume-cache Data off");
  const Result changed = Run("monitor --once");
  EXPECT_EQ(changed.out.substr(changed.out.find("  ")),
            "  changed  volume \"Data\" (f0d0e100-0000-4000-8000-000000000001)  CachePolicy: "
            "write-back (3) -> off (1)\n");
  EXPECT_EQ(Run("monitor --once").out, "");

  // A last-known state that cannot be used is said and taken as absent.
  std::ofstream(known) << "not json";
  const Result again = Run("monitor --once");
  EXPECT_EQ(again.exitCode, 0);
  EXPECT_EQ(again.out.substr(0, again.out.find('\n') + 1),
            "veskctl: the last-known state " + known.string() +
                " is not valid JSON; reporting the machine as it is now\n");
  EXPECT_EQ(std::count(again.out.begin(), again.out.end(), '\n'), 19) << again.out;
  EXPECT_EQ(Run("monitor --once").out, "");

  // --once waits for the lock as other runs do and gives up as they do: a failed look, the
  // machine last known as it was.
  auto machineOf = [&] { return json::parse(Slurp(known))["machine"]; };
  const json before = machineOf();
  Do("rename-volume Data Data2");
  const int held = ::open((state.string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  const Result busy = Run("--lock-timeout 0 monitor --once");
  ::close(held);
  EXPECT_EQ(busy.exitCode, 1);
  EXPECT_EQ(busy.out.substr(busy.out.find("  ")),
            "  refresh-failed  another veskctl run still holds " + state.string() +
                ".lock; gave up after 0 s (--lock-timeout)\n");
  EXPECT_EQ(machineOf(), before);
}

// Runs that overlap each write their snapshot aside under a name of their own and rename it over:
// every run succeeds, and a reader meanwhile sees one whole snapshot or another.
TEST_F(MonitorTest, OverlappingOnceRunsAllSucceedAndReadersSeeWholeSnapshots) {
  Do("sim reset");
  const fs::path snapshot = state.string() + ".monitor";
  Vesk::test::Watchdog watchdog("overlapping monitor runs", 60);
  std::vector<Result> runs(4);
  {
    std::vector<std::thread> threads;
    for (auto& r : runs) threads.emplace_back([&] { r = Run("monitor --once"); });
    for (auto& t : threads) t.join();
  }
  for (const auto& r : runs) EXPECT_EQ(r.exitCode, 0) << r.out;

  // The same file written by several writers at once, many times, as by the monitor's runs.
  const std::string a = json{{"machine", std::string(100000, 'a')}}.dump(),
                    b = json{{"machine", std::string(200000, 'b')}}.dump();
  veskctl::WriteFileAtomically(snapshot, a, "the monitor snapshot");
  std::atomic<int> failures{0}, torn{0}, writersLeft{4};
  std::vector<std::thread> threads;
  for (int w = 0; w < 4; ++w)
    threads.emplace_back([&, w] {
      for (int i = 0; i < 50; ++i) {
        try {
          veskctl::WriteFileAtomically(snapshot, w % 2 ? a : b, "the monitor snapshot");
        } catch (const veskctl::StateFileError& e) {
          ADD_FAILURE() << e.what();
          ++failures;
        }
      }
      --writersLeft;
    });
  while (writersLeft > 0) {
    const auto text = veskctl::ReadFileShared(snapshot, "the monitor snapshot");
    if (!text || (*text != a && *text != b)) ++torn;
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(torn, 0);
  // A write that fails leaves nothing aside either.
  const fs::path folder = dir / "folder";
  fs::create_directories(folder / "in");
  try {
    veskctl::WriteFileAtomically(folder, a, "the monitor snapshot");
    ADD_FAILURE() << "a folder was replaced";
  } catch (const veskctl::StateFileError& e) {
    EXPECT_EQ(std::string(e.what()), "cannot replace the monitor snapshot " + folder.string() +
                                         ": access denied (Windows error 5)");
  }
  fs::remove_all(folder);
  // Nothing written aside is left behind.
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir)) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{
                      "state.json", "state.json.journal", "state.json.journal.cursors",
                      "state.json.journal.deliver.lock", "state.json.journal.intents",
                      "state.json.journal.last-known", "state.json.journal.lock",
                      "state.json.journal.roster", "state.json.journal.watch.lock",
                      "state.json.lock", "state.json.monitor"}));
  EXPECT_TRUE(fs::is_empty(state.string() + ".journal.intents"));
}

// The program gets each event's words as arguments, never through a shell, and its JSON on
// standard input. While it runs, and while the monitor sleeps, other runs get the lock at once;
// a monitor killed meanwhile leaves the state file as it was.
TEST_F(MonitorTest, AProgramGetsEachEventAndNobodyWaitsForTheMonitor) {
  Do("sim reset");
  Do("rename-volume Scratch '$(touch pwn7)'");
  const fs::path script = dir / "program", go = dir / "go";
  // The records of the commands that run meanwhile come when they come: the program passes them.
  std::ofstream(script) << "#!/bin/sh\n[ \"$1\" = command ] && exec cat >/dev/null\n"
                           "printf '%s|%s|%s\\n' \"$1\" \"$2\" \"$3\" >> " +
                               (dir / "arguments").string() + "\ncat >> " +
                               (dir / "input").string() + "\nwhile [ ! -e " + go.string() +
                               " ]; do sleep 0.01; done\n";
  fs::permissions(script, fs::perms::owner_all);
  Vesk::test::Watchdog watchdog("the monitor and its program", 30);
  MonitorProcess monitor = Start({"--program", script.string(), "--interval", "1000"});
  monitor.Until([](const json&) { return true; });  // the first program now waits for `go`
  Do("--lock-timeout 0 set-array-cache a0a7 on");
  std::ofstream(go) << "";
  int present = 1;
  auto events = monitor.Until([&](const json&) { return ++present == 18; });
  // Asleep for a long interval now.
  Do("--lock-timeout 0 set-array-cache a0a7 off");
  const std::string saved = Slurp(state);
  const int status = monitor.Stop(SIGKILL);
  EXPECT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(Slurp(state), saved);

  EXPECT_FALSE(fs::exists("pwn7"));
  std::istringstream arguments(Slurp(dir / "arguments")), input(Slurp(dir / "input"));
  std::string line;
  std::vector<std::string> argumentLines, inputLines;
  while (std::getline(arguments, line)) argumentLines.push_back(line);
  while (std::getline(input, line)) inputLines.push_back(line);
  ASSERT_EQ(argumentLines.size(), 18u);
  ASSERT_EQ(inputLines.size(), 18u);
  EXPECT_EQ(argumentLines[6],
            "present|volume:f0d0e100-0000-4000-8000-000000000002|State: normal (0)");
  EXPECT_EQ(json::parse(inputLines[6])["element"]["name"], "$(touch pwn7)");
  for (std::size_t i = 1; i < 18; ++i) EXPECT_EQ(json::parse(inputLines[i]), events[i - 1]);
}

// A program that cannot be run, fails or hangs did not take its record: the failure is an event
// of its own, the record waits for the next run, and `--once` says so in its exit code.
TEST_F(MonitorTest, AProgramThatFailsIsReportedAndItsRecordWaits) {
  Do("sim reset");
  ASSERT_EQ(Run("monitor --once").exitCode, 0);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"exit 3", "exited with status 3"},
      {"kill -9 $$", "was killed by signal 9"},
      {"sleep 10", "did not finish within 0.2 s and was killed"},
      {"", ""},
  };
  Vesk::test::Watchdog watchdog("the failing programs", 30);
  bool on = false;
  int n = 0;
  for (const auto& [body, failure] : cases) {
    // A program of its own each time: a new target, which starts with this run's records.
    const fs::path script = dir / ("program" + std::to_string(++n));
    const std::string detail =
        body.empty() ? "cannot run '" + script.string() + "': No such file or directory"
                     : "'" + script.string() + "' " + failure;
    if (!body.empty()) {
      std::ofstream(script) << "#!/bin/sh\n[ \"$1\" = changed ] || exit 0\n" << body << "\n";
      fs::permissions(script, fs::perms::owner_all);
    }
    Do(std::string("locate KS1A00000004 ") + ((on = !on) ? "on" : "off"));
    const std::uint64_t changed = Journal().back()["id"].get<std::uint64_t>() + 1;
    const Result r = Run("monitor --once --program-timeout 0.2 --program " + script.string());
    EXPECT_EQ(r.exitCode, veskctl::kExitUndelivered) << r.out;
    EXPECT_NE(r.out.find("  changed  drive KS1A00000004"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("veskctl: record #" + std::to_string(changed) +
                         " could not be delivered to " + script.string() + ": " + detail +
                         "; the next run tries again (attempt 1 of 10)\n"),
              std::string::npos)
        << r.out;
    const auto failed = Journal(changed);
    ASSERT_FALSE(failed.empty());
    EXPECT_EQ(failed.back()["kind"], "program-failed");
    EXPECT_EQ(failed.back()["detail"], detail + " (record #" + std::to_string(changed) +
                                           ", attempt 1 of 10; it is tried again)");
  }
}

// A record a program did not take is given again, in order, until it takes it: every record
// reaches it once. One it never takes is given up after ten attempts, listed by `events
// --undelivered` and reminded of until an administrator clears the list.
TEST_F(MonitorTest, AFailedDeliveryIsTriedAgainInOrderAndGivenUpOnlyAfterEveryAttempt) {
  Do("sim reset");
  ASSERT_EQ(Run("monitor --once").exitCode, 0);
  const fs::path script = dir / "program", got = dir / "got", down = dir / "down";
  std::ofstream(script) << "#!/bin/sh\n[ \"$1\" = changed ] && [ -e " << down.string()
                        << " ] && exit 3\ncat >> " << got.string() << "\n";
  fs::permissions(script, fs::perms::owner_all);
  const std::string once = "monitor --once --failure-reminder 0.001 --program " + script.string();
  ASSERT_EQ(Run(once).exitCode, 0);  // the program's cursor starts here
  const std::uint64_t from = Journal().back()["id"].get<std::uint64_t>();

  // The mail server is down for two runs.
  std::ofstream(down) << "";
  Do("locate KS1A00000004 on");
  Do("locate KS1A00000003 on");
  EXPECT_EQ(Run(once).exitCode, veskctl::kExitUndelivered);
  EXPECT_EQ(Run(once).exitCode, veskctl::kExitUndelivered);
  fs::remove(down);
  EXPECT_EQ(Run(once).exitCode, 0);
  std::vector<std::uint64_t> delivered, expected;
  {
    std::ifstream lines(got);
    for (std::string line; std::getline(lines, line);)
      delivered.push_back(json::parse(line)["id"].get<std::uint64_t>());
  }
  for (const auto& r : Journal(from)) {
    const std::string kind = r["kind"];
    if (kind != "program-failed" && r["id"].get<std::uint64_t>() <= delivered.back())
      expected.push_back(r["id"].get<std::uint64_t>());
  }
  EXPECT_EQ(delivered, expected);
  std::size_t changes = 0;
  for (const auto& id : delivered)
    if (Journal(id - 1).front()["kind"] == "changed") ++changes;
  EXPECT_EQ(changes, 2u);

  // Down for good: ten attempts, then the record is given up and the rest go on.
  std::ofstream(down) << "";
  Do("locate KS1A00000004 off");
  for (int attempt = 1; attempt < veskctl::kDeliveryAttempts; ++attempt)
    ASSERT_EQ(Run(once).exitCode, veskctl::kExitUndelivered) << attempt;
  const Result last = Run(once);
  EXPECT_EQ(last.exitCode, 0) << last.out;
  const auto given = Records("events --undelivered");
  ASSERT_EQ(given.size(), 1u);
  EXPECT_EQ(given[0]["target"], script.string());
  EXPECT_EQ(given[0]["kind"], "changed");
  EXPECT_EQ(given[0]["attempts"], 10);
  EXPECT_EQ(given[0]["error"], "'" + script.string() + "' exited with status 3");
  const auto failedRecords = Records("events --kind delivery-failed");
  ASSERT_EQ(failedRecords.size(), 1u);
  EXPECT_EQ(failedRecords[0]["detail"],
            "record #" + std::to_string(given[0]["record"].get<std::uint64_t>()) +
                " (changed) was not delivered to " + script.string() + " after 10 attempts: '" +
                script.string() + "' exited with status 3");
  // A fault while the list holds anything: its record of kind delivery-failed is its first
  // report, reminders follow.
  ASSERT_EQ(Run(once).exitCode, 0);
  Do("sim advance 1000");  // the reminders' clock here: the simulated machine's
  bool reminded = false;
  for (const auto& r :
       Records("monitor --once --json --failure-reminder 0.001 --program " + script.string()))
    if (r["kind"] == "reminder" && r["fault"]["kind"] == "delivery-failed")
      reminded = r["detail"].get<std::string>().starts_with("records could not be delivered to " +
                                                            script.string() +
                                                            " (veskctl events --undelivered)");
  EXPECT_TRUE(reminded);
  EXPECT_EQ(Run("events --undelivered --clear").out, "Cleared the list of 1 undelivered record.\n");
  EXPECT_EQ(Run("events --undelivered").out, "Every record was delivered.\n");
}

// A receiver that fails, hangs and goes away gets each record again until it answers 2xx: every
// record reaches it in order, and none it took is posted twice. Each post is signed.
TEST_F(MonitorTest, AWebhookGetsEveryRecordOnceItTakesThemThroughFailureHangAndRecovery) {
  Do("sim reset");
  ASSERT_EQ(Run("monitor --once").exitCode, 0);
  std::mutex lock;
  std::string mode = "take";
  std::vector<veskctl::HttpRequest> took;
  const auto receive = [&](const veskctl::HttpRequest& request, veskctl::HttpExchange& exchange) {
    std::unique_lock<std::mutex> held(lock);
    if (mode == "fail") return exchange.Answer({503, "text/plain", "down for maintenance\n", {}});
    if (mode == "hang") {
      held.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(600));
      return exchange.Answer({200, "text/plain", "", {}});  // too late: not taken
    }
    took.push_back(request);
    exchange.Answer({204, "text/plain", "", {}});
  };
  auto receiver = std::make_unique<veskctl::HttpServer>("127.0.0.1:0", receive);
  const std::string where = receiver->Address(), url = "http://" + where + "/hooks/vesk";
  const fs::path secret = dir / "secret";
  std::ofstream(secret) << "s3cret\n";
  fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::replace);
  const std::string once = "monitor --once --webhook-timeout 0.3 --webhook-secret " +
                           secret.string() + " --webhook " + url;
  ASSERT_EQ(Run(once).exitCode, 0);  // the webhook's cursor starts here
  const std::uint64_t from = Journal().back()["id"].get<std::uint64_t>();

  Do("locate KS1A00000004 on");
  const auto failsWith = [&](const std::string& why, int attempt) {
    const Result r = Run(once);
    EXPECT_EQ(r.exitCode, veskctl::kExitUndelivered) << r.out;
    EXPECT_NE(
        r.out.find("veskctl: record #" + std::to_string(from + 1) + " could not be delivered to " +
                   url + ": " + why + "; the next run tries again (attempt " +
                   std::to_string(attempt) + " of 10)\n"),
        std::string::npos)
        << r.out;
  };
  mode = "fail";
  failsWith(where + " answered 503 Service Unavailable", 1);
  mode = "hang";
  failsWith("no answer from " + where + " within 0.3 s", 2);
  receiver.reset();
  failsWith("cannot connect to " + where + ": Connection refused", 3);
  mode = "take";
  receiver = std::make_unique<veskctl::HttpServer>(where, receive);
  Do("locate KS1A00000004 off");
  ASSERT_EQ(Run(once).exitCode, 0);

  std::vector<std::uint64_t> expected, got;
  for (const auto& r : Journal(from))
    if (r["kind"] != "program-failed") expected.push_back(r["id"].get<std::uint64_t>());
  {
    std::lock_guard<std::mutex> held(lock);
    for (const auto& post : took) {
      const json body = json::parse(post.body);
      got.push_back(body["id"].get<std::uint64_t>());
      EXPECT_EQ(post.target, "/hooks/vesk");
      EXPECT_EQ(post.Header("host"), where);
      EXPECT_EQ(post.Header("content-type"), "application/json");
      EXPECT_TRUE(
          std::regex_match(post.Header("user-agent"), std::regex(R"(veskctl/\d+\.\d+\.\d+)")))
          << post.Header("user-agent");
      EXPECT_EQ(post.Header("x-vesk-record"), std::to_string(got.back()));
      EXPECT_EQ(post.Header("x-vesk-kind"), body["kind"]);
      EXPECT_EQ(post.Header("x-vesk-signature"),
                "sha256=" + veskctl::HmacSha256Hex("s3cret", post.body));
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(json::parse(took.at(1).body), Journal(from + 1).front());
    took.clear();
  }

  // A receiver at an IPv6 address, where the machine has one.
  std::unique_ptr<veskctl::HttpServer> six;
  try {
    six = std::make_unique<veskctl::HttpServer>("[::1]:0", receive);
  } catch (const std::runtime_error&) {
    return;
  }
  Do("locate KS1A00000004 on");
  const Result r = Run("monitor --once --webhook http://" + six->Address() + "/six");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  std::lock_guard<std::mutex> again(lock);
  ASSERT_EQ(took.size(), 1u);
  EXPECT_EQ(took[0].Header("host"), six->Address());
}

// What keeps a webhook from being posted to is said before the monitor starts, and nothing runs.
TEST_F(MonitorTest, AWebhookThatCannotBeUsedIsRefusedWithItsReason) {
  const fs::path secret = dir / "secret";
  std::ofstream(secret) << "\n";
  fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::replace);
  const std::string hook = " --webhook http://127.0.0.1:9/";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"--webhook-secret " + secret.string(),
       "--webhook-secret signs the posts of --webhook, which was not given"},
      {"--webhook-secret " + secret.string() + hook,
       "--webhook-secret: " + secret.string() + " holds no secret on its first line"},
      {"--webhook-secret " + (dir / "none").string() + hook,
       "--webhook-secret: " + (dir / "none").string() + " does not exist"},
      {"--webhook https://alerts.example/",
       "--webhook: 'https://alerts.example/' is https: veskctl "
       "posts plain HTTP only; reach a TLS receiver through "
       "a local relay"},
      {"--webhook http://user:pw@alerts.example/",
       "--webhook: 'http://user:pw@alerts.example/' has user information (USER@): put a secret "
       "in --webhook-secret instead"},
      {"--webhook http:///x", "--webhook: 'http:///x' has no host, or a host that is not one"},
      {"--webhook http://alerts.example:70000/",
       "--webhook: 'http://alerts.example:70000/' has a port outside 1 to 65535"},
      {"--webhook http://alerts.example/#x",
       "--webhook: 'http://alerts.example/#x' has a fragment (#...), which HTTP never sends"},
      {"--webhook 'http://alerts.example/a b'",
       "--webhook: 'http://alerts.example/a b' has a space or control character in its path"},
      {"--webhook alerts.example",
       "--webhook: 'alerts.example' is not a URL (http://HOST[:PORT][/PATH])"},
  };
  for (const auto& [arguments, message] : cases) {
    const Result r = Run("monitor --once " + arguments);
    EXPECT_EQ(r.exitCode, 2) << arguments;
    EXPECT_EQ(r.out, "veskctl: " + message + "\n") << arguments;
  }
  std::ofstream(secret) << "s3cret\n";
  fs::permissions(secret, fs::perms::group_read, fs::perm_options::add);
  const Result open = Run("monitor --once --webhook-secret " + secret.string() + hook);
  EXPECT_EQ(open.exitCode, 2);
  EXPECT_EQ(open.out, "veskctl: --webhook-secret: " + secret.string() +
                          " is another user's, or others may read it: make it yours alone (chmod "
                          "600)\n");
  EXPECT_FALSE(fs::exists(state.string() + ".journal"));
}

// Against the driver the monitor reads whatever discovery finds, here a machine the test plugs
// devices into, and hears of a controller that leaves through plug-and-play.
TEST(MonitorWatcher, AgainstTheDriverItFollowsWhatDiscoveryFinds) {
  vesk::sim::Machine machine;
  auto topology = vesk::sim::LoadTopologyFile(VESK_TOPOLOGY_DIR "/demo.json");
  // Names of this process only: the device mutexes are machine-wide, and other tests run the
  // demo machine at the same time.
  for (auto& c : topology.controllers) c.pdoName += L"_" + std::to_wstring(getpid());
  auto driver = std::make_shared<vesk::sim::RaidDriver>(topology);
  const std::vector<vesk::sim::DeviceId> devices = vesk::sim::AddControllerDevices(machine, driver);
  machine.WaitForNotifications();  // the arrivals happened before the monitor started
  veskctl::Watcher watcher(veskctl::EventFeed::Mode::Present, false);
  EXPECT_EQ(watcher.SimulatedMachine(), nullptr);
  watcher.Refresh();
  EXPECT_EQ(watcher.Feed().Take().size(), 18u);
  watcher.Feed().SetMode(veskctl::EventFeed::Mode::Live);

  ASSERT_TRUE(driver->SetDriveStatus(*vesk::sim::ParseGuid("d0e10000-0000-4000-8000-000000000002"),
                                     vesk::sim::drive_status::kFailed));
  watcher.Refresh();
  std::vector<std::string> kinds;
  for (const auto& e : watcher.Feed().Take()) kinds.push_back(e.kind + " " + e.elementName);
  EXPECT_EQ(kinds, (std::vector<std::string>{"changed Data", "volume-degraded Data",
                                             "changed Scratch", "volume-failed Scratch",
                                             "changed KN2K00004102", "drive-failed KN2K00004102"}));

  // The facade's own plug-and-play refresh takes the controllers away; the next look reports it.
  Vesk::test::Watchdog watchdog("the removal of the controllers", 30);
  for (auto id : devices) machine.RemoveDevice(id);
  machine.WaitForNotifications();
  std::size_t removed = 0;
  while (removed < devices.size()) {
    // A look may still meet a controller whose device is gone before the facade's own refresh
    // dropped it: the monitor reports that look as failed and goes on.
    try {
      watcher.Refresh();
    } catch (const std::exception&) {
    }
    for (const auto& e : watcher.Feed().Take()) removed += e.kind == "controller-removed";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// A driver update: the controller stays behind its PDO name under another management-specification
// version, which comes with a new device. The monitor reports the controller leaving and coming
// back, and goes on reading it in the new driver's layout. (A 1.0 driver states less of its drives,
// which the monitor reports as changes of its own.)
TEST(MonitorWatcher, AControllerUnderAnotherDriverIsReportedAgainAndReadInItsLayout) {
  veskctl::Watcher watcher(veskctl::EventFeed::Mode::Present);
  auto topology = vesk::sim::LoadTopologyFile(VESK_TOPOLOGY_DIR "/demo.json");
  watcher.Load(topology);
  watcher.Refresh();
  EXPECT_EQ(watcher.Feed().Take().size(), 18u);
  watcher.Feed().SetMode(veskctl::EventFeed::Mode::Live);

  const std::string sata = topology.controllers[0].name;
  for (const int specMajor : {2, 4, 3}) {
    SCOPED_TRACE("driver " + std::to_string(specMajor) + ".0");
    topology.controllers[0].specMajor = static_cast<std::uint8_t>(specMajor);
    watcher.Load(topology);
    ASSERT_NO_THROW(watcher.Refresh());
    std::vector<std::string> kinds;
    for (const auto& e : watcher.Feed().Take())
      kinds.push_back(e.kind + " " + e.elementName + (e.property.empty() ? "" : " " + e.property));
    EXPECT_EQ(kinds, (std::vector<std::string>{"removed " + sata, "controller-removed " + sata,
                                               "added " + sata, "controller-arrived " + sata}));
  }
}

// A refresh after hot-plug may still raise events when the monitor ends: the facade stops
// notifying (and waits for that refresh) before the feed it raises into goes.
TEST(MonitorWatcher, TheFeedOutlivesEveryRefreshAfterHotPlug) {
  auto watcher = std::make_unique<veskctl::Watcher>(veskctl::EventFeed::Mode::Present);
  auto topology = vesk::sim::LoadTopologyFile(VESK_TOPOLOGY_DIR "/demo.json");
  watcher->Load(topology);
  watcher->Refresh();
  auto& facade = watcher->Facade();
  auto& feedSubscribed = facade.Drives().CollectionChanged;  // only the feed watches the drives
  ASSERT_TRUE(feedSubscribed.HasHandlers());
  std::mutex lock;
  std::condition_variable changed;
  bool entered = false;
  std::optional<bool> feedAlive;
  facade.Controllers().CollectionChanged.Subscribe([&](const auto&, const auto& e) {
    using Action = VESK_Managed::Components::NotifyCollectionChangedAction;
    if (e.Action != Action::Remove || entered) return;
    {
      std::lock_guard hold(lock);
      entered = true;
    }
    changed.notify_all();
    // Holds the refresh until the watcher's destruction has begun: the feed going, or the
    // facade's disposal (after which ClearUpdatesData throws; until then it has nothing to do).
    bool alive = true;
    for (;;) {
      if (!feedSubscribed.HasHandlers()) {
        alive = false;
        break;
      }
      try {
        facade.ClearUpdatesData();
      } catch (const VESK_Managed::System::ObjectDisposedException&) {
        alive = feedSubscribed.HasHandlers();
        break;
      }
      std::this_thread::yield();
    }
    std::lock_guard hold(lock);
    feedAlive = alive;
  });
  Vesk::test::Watchdog watchdog("a watcher destroyed during a refresh after hot-plug", 30);
  topology.controllers.pop_back();
  watcher->Load(topology);
  {
    std::unique_lock hold(lock);
    changed.wait(hold, [&] { return entered; });
  }
  watcher.reset();
  ASSERT_TRUE(feedAlive.has_value());
  EXPECT_TRUE(*feedAlive) << "the feed went while a refresh after hot-plug raised events";
}

// A failure is reported when it starts and once when a look succeeds again; the same failure
// again is no news, another failure meanwhile is a new one.
TEST(MonitorFailures, ALastingFailureIsReportedWhenItStartsAndWhenItEnds) {
  veskctl::FailureAlerts alerts;
  auto look = [&](const std::string& failure) {
    const auto e = alerts.Look(failure);
    return e ? e->kind + ": " + e->detail : std::string();
  };
  EXPECT_EQ(look(""), "");
  EXPECT_EQ(look("corrupt"), "refresh-failed: corrupt");
  EXPECT_EQ(look("corrupt"), "");
  EXPECT_EQ(look("busy"), "refresh-failed: busy");
  EXPECT_EQ(look(""), "refresh-recovered: busy");
  EXPECT_EQ(look(""), "");
  // As a `--once` run resumes it from its snapshot.
  alerts.SetLasting("busy");
  EXPECT_EQ(look("busy"), "");
  EXPECT_EQ(look(""), "refresh-recovered: busy");
}

// A fault's first sighting is its own event; a reminder is due once the last report is the
// interval old, and a fault that went and came back is new again. What `--once` saves brings the
// last reports back.
TEST(MonitorFailures, AFaultThatLastsIsRemindedAtTheInterval) {
  using veskctl::Fault;
  const Fault degraded{"volume-degraded", "volume", "f0", "r5", ""},
      missing{"drive-missing", "drive", "d2", "KN2", ""},
      failing{"refresh-failed", "", "", "", "corrupt"};
  veskctl::Reminders reminders(60);
  auto due = [&](const std::vector<Fault>& faults, std::int64_t ms) {
    std::vector<std::string> kinds;
    for (const auto& r : reminders.Look(faults, ms))
      kinds.push_back(r["fault"]["kind"].get<std::string>() + " " + r["detail"].get<std::string>());
    for (auto& k : kinds) k = k.substr(0, k.find(" (since"));
    return kinds;
  };
  using List = std::vector<std::string>;
  EXPECT_EQ(due({degraded}, 1000), List{});
  EXPECT_EQ(due({degraded, missing}, 30000), List{});
  EXPECT_EQ(due({degraded, missing}, 60999), List{});
  EXPECT_EQ(due({degraded, missing}, 61000),
            List{"volume-degraded volume \"r5\" is still degraded"});
  EXPECT_EQ(due({degraded, missing}, 90000), List{"drive-missing drive KN2 is still missing"});
  EXPECT_EQ(due({degraded, missing}, 120999), List{});
  EXPECT_EQ(due({missing, failing}, 121000), List{});  // the volume recovered
  EXPECT_EQ(due({missing, degraded, failing}, 150000),
            (List{"drive-missing drive KN2 is still missing"}));
  const auto record = reminders.Look({missing, degraded, failing}, 210000);
  ASSERT_EQ(record.size(), 3u);
  EXPECT_EQ(record[2]["kind"], "reminder");
  EXPECT_EQ(record[2]["element"], nullptr);
  EXPECT_EQ(record[2]["detail"].get<std::string>(),
            "the machine still cannot be read: corrupt (since " +
                record[2]["fault"]["since"].get<std::string>() + ")");
  EXPECT_EQ(record[1]["element"], (json{{"kind", "volume"}, {"id", "f0"}, {"name", "r5"}}));

  // A volume renamed is the same fault, kept under its new name.
  Fault renamed = degraded;
  renamed.elementName = "r6";
  EXPECT_TRUE(reminders.Look({missing, renamed, failing}, 210001).empty());
  EXPECT_EQ(reminders.Save()[2]["elementName"], "r6");

  veskctl::Reminders resumed(60);
  resumed.Load(reminders.Save());
  EXPECT_TRUE(resumed.Look({missing, degraded, failing}, 269999).empty());
  EXPECT_EQ(resumed.Look({missing, degraded, failing}, 270000).size(), 3u);
  resumed.Load(json("not a list"));
  EXPECT_TRUE(resumed.Look({missing}, 1000000).empty());
  // A time before the last report is another clock's (the computer started again): due at once.
  EXPECT_EQ(resumed.Look({missing}, 5).size(), 1u);
  EXPECT_TRUE(resumed.Look({missing}, 6).empty());
}

// A SMART event is a warning of its own, with its own reminder, and a volume a spare took over is
// degraded until its rebuild ends.
TEST_F(MonitorTest, ASmartEventAndASparesTakeoverAreRisksOfTheirOwn) {
  Do("sim reset");
  ASSERT_EQ(Run("monitor --once").exitCode, 0);
  Do("sim smart-event KN2K00004104");
  Do("sim fail-drive KS1A00000001");  // the spare KS1A00000003 takes its place in System's array
  std::vector<std::string> derived;
  for (const auto& r : Records("monitor --once"))
    if (r["kind"] != "changed") derived.push_back(Brief(r));
  EXPECT_EQ(derived,
            (std::vector<std::string>{"job-started System", "volume-degraded System",
                                      "drive-failed KS1A00000001", "spare-taken KS1A00000003",
                                      "drive-smart KN2K00004104"}));
  const auto records = Journal();
  const auto smart = std::find_if(records.begin(), records.end(),
                                  [](const json& r) { return r["kind"] == "drive-smart"; });
  ASSERT_NE(smart, records.end());
  EXPECT_EQ(veskctl::SystemLogEntry(*smart).severity, veskctl::LogSeverity::Warning);
  Do("wait System");
  derived.clear();
  for (const auto& r : Records("monitor --once"))
    if (r["kind"] != "changed") derived.push_back(Brief(r));
  EXPECT_EQ(derived, (std::vector<std::string>{"job-finished System", "volume-normal System"}));
}

// A following monitor that cannot write the journal (here its lock file became a folder, as a
// full disk or a folder gone would fail it) goes on: it says so, keeps the records, and writes
// them once it can, each once.
TEST_F(MonitorTest, AMonitorKeepsGoingWhileTheJournalCannotBeWrittenAndLosesNothing) {
  Do("sim reset");
  Vesk::test::Watchdog watchdog("a monitor whose journal cannot be written", 60);
  const fs::path errors = dir / "errors", lock = state.string() + ".journal.lock";
  MonitorProcess monitor = Start({"--interval", "0.02"}, errors);
  int present = 0;
  monitor.Until([&](const json& e) { return e["kind"] == "present" && ++present == 18; });
  fs::remove(lock);
  fs::create_directory(lock);
  Run("sim fail-drive KN2K00004101");  // carried out; its own record cannot be journaled either
  while (Slurp(errors).find("veskctl: cannot write the journal: ") == std::string::npos)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_NE(Slurp(errors).find("; its records are kept in memory (at most 10000) until it can be "
                               "written\n"),
            std::string::npos)
      << Slurp(errors);
  fs::remove(lock);
  const auto seen = monitor.Until(Is("drive-failed KN2K00004101"));
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(Brief(seen.back()), "drive-failed KN2K00004101");
  while (Slurp(errors).find("veskctl: the journal is written again, with the ") ==
         std::string::npos)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const int status = monitor.Stop(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << Slurp(errors);
  std::size_t failed = 0;
  for (const auto& r : Journal())
    if (Brief(r) == "drive-failed KN2K00004101") ++failed;
  EXPECT_EQ(failed, 1u);
}

// Reminders keep their pace on a steady clock: the wall clock set back an hour, then on two hours,
// neither silences them nor lets them pile up. (libfaketime moves the monitor's wall clock alone.)
TEST_F(MonitorTest, RemindersKeepTheirPaceWhenTheWallClockSteps) {
  const fs::path faketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
  if (!fs::exists(faketime))
    GTEST_SKIP() << "libfaketime is not installed (scripts/setup.sh installs Debian's faketime)";
  ::unsetenv("VESK_SIM_CLOCK");  // real time: the wall clock is the machine's
  Do("sim fail-drive KN2K00004101");
  const fs::path offset = dir / "wall-clock";
  std::ofstream(offset) << "+0\n";
  const std::vector<std::pair<const char*, std::string>> environment = {
      {"LD_PRELOAD", faketime.string()},
      {"FAKETIME_TIMESTAMP_FILE", offset.string()},
      {"FAKETIME_NO_CACHE", "1"},
      {"DONT_FAKE_MONOTONIC", "1"},
      {"ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0"}};
  for (const auto& [name, value] : environment) ::setenv(name, value.c_str(), 1);
  MonitorProcess monitor = Start({"--interval", "0.05", "--failure-reminder", "0.25"});
  for (const auto& [name, value] : environment) ::unsetenv(name);
  Vesk::test::Watchdog watchdog("the reminders of a failed drive", 90);
  const auto reminders = [&] {
    std::size_t n = 0;
    for (const auto& r : Journal())
      if (r["kind"] == "reminder" && r["element"].is_object() &&
          r["element"]["name"] == "KN2K00004101")
        ++n;
    return n;
  };
  using Clock = std::chrono::steady_clock;
  for (const char* step : {"+0", "-3600s", "+7200s"}) {
    SCOPED_TRACE(step);
    std::ofstream(offset) << step << "\n";
    const std::size_t before = reminders();
    const auto start = Clock::now();
    while (reminders() < before + 4 && Clock::now() - start < std::chrono::seconds(15))
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::chrono::duration<double> took = Clock::now() - start;
    // Four more at a quarter of a second each: not silenced, and not all at once.
    EXPECT_GE(reminders(), before + 4) << "in " << took.count() << " s";
    EXPECT_GE(took.count(), 0.5) << reminders() - before << " reminders";
  }
}

// Parsing a large saved machine takes far longer than reading it: a look holds the lock only for
// the read.
TEST_F(MonitorTest, ALookHoldsTheLockForTheReadNotForTheParse) {
  // A valid state file whose parse is slow: much background work remembered.
  json jobs = json::array();
  for (int i = 0; i < 50000; ++i) jobs.push_back(json{{"n", i}});
  std::ofstream(state) << json{
      {"format", "veskctl-state"},
      {"formatVersion", 1},
      {"savedAtMs", 0},
      {"machine",
       vesk::sim::SaveTopology(vesk::sim::LoadTopologyFile(VESK_TOPOLOGY_DIR "/demo.json"))},
      {"jobs", jobs}}.dump();
  std::chrono::duration<double> held{}, busy{};
  // Another run tries the lock all along: it finds it taken for no longer than the look said.
  std::atomic<bool> looking{true};
  std::thread other([&] {
    for (auto last = std::chrono::steady_clock::now(); looking;) {
      const auto tried = std::chrono::steady_clock::now();
      try {
        veskctl::StateFile(state, {false, true, 0});
      } catch (const veskctl::StateFileBusy&) {
        busy += tried - last;  // taken since the last try, as far as this run can tell
      }
      last = tried;
      std::this_thread::yield();
    }
  });
  const auto start = std::chrono::steady_clock::now();
  const auto machine = veskctl::ReadSavedMachine(state, true, -1, false, &held);
  const std::chrono::duration<double> look = std::chrono::steady_clock::now() - start;
  looking = false;
  other.join();
  EXPECT_EQ(machine.controllers.size(), 2u);
  EXPECT_LT(held.count(), look.count() / 4) << held.count() << " s of " << look.count() << " s";
  EXPECT_LT(busy.count(), look.count() / 4) << busy.count() << " s of " << look.count() << " s";
}

// A refresh that the library fails leaves the facade as it was; the next one catches up with
// every change, once.
TEST(MonitorWatcher, ALibraryFailureOnOneLookLosesNothing) {
  veskctl::Watcher watcher(veskctl::EventFeed::Mode::Present);
  watcher.Load(vesk::sim::LoadTopologyFile(VESK_TOPOLOGY_DIR "/demo.json"));
  watcher.Refresh();
  EXPECT_EQ(watcher.Feed().Take().size(), 18u);
  watcher.Feed().SetMode(veskctl::EventFeed::Mode::Live);

  auto& driver = watcher.Driver();
  ASSERT_TRUE(driver.SetDriveStatus(*vesk::sim::ParseGuid("d0e10000-0000-4000-8000-000000000002"),
                                    vesk::sim::drive_status::kFailed));
  driver.InjectFault({vesk::sim::Fault::Kind::DeviceFailure, vesk::sim::function::kGetDriveInfo});
  try {
    watcher.Refresh();
    ADD_FAILURE() << "the refresh did not fail";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Unable to retrieve drive information. IOCTL was unsuccessful.");
  }
  EXPECT_TRUE(watcher.Feed().Take().empty());
  watcher.Refresh();
  std::vector<std::string> kinds;
  for (const auto& e : watcher.Feed().Take())
    kinds.push_back(e.kind + " " + e.elementName + " " + e.property);
  EXPECT_EQ(kinds, (std::vector<std::string>{"changed Data State", "volume-degraded Data State",
                                             "changed Scratch State", "volume-failed Scratch State",
                                             "changed KN2K00004102 Status",
                                             "drive-failed KN2K00004102 Status"}));
}

// One change is one event, and sizes are in bytes: a drive that grows is one TotalSize change (not
// its block count as well), and a volume created with its initialization running is added in that
// state and starts the work from no state at all, never from a normal one it was not in.
TEST_F(MonitorTest, OneChangeIsOneEventInBytes) {
  Do("sim reset");
  ASSERT_EQ(Run("monitor --once").exitCode, 0);
  auto look = [&](const std::string& name) {
    const Result r = Run("--json monitor --once");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    std::vector<json> about;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      const json e = json::parse(line);
      if (!e["element"].is_null() && e["element"]["name"] == name) about.push_back(e);
    }
    return about;
  };

  json document = json::parse(Slurp(state));
  json machine = json::parse(document["machine"].get<std::string>());
  for (auto& d : machine["controllers"][1]["drives"])
    if (d["serial"] == "KN2K00004104") d["sizeBlocks"] = 2 * 3907029168ull;
  document["machine"] = machine.dump();
  std::ofstream(state) << document.dump();
  std::vector<std::string> grown;
  for (const auto& e : look("KN2K00004104"))
    grown.push_back(e["kind"].get<std::string>() + " " + e["property"].get<std::string>() + " " +
                    e["old"].dump() + " -> " + e["new"].dump());
  EXPECT_EQ(grown, std::vector<std::string>{"changed TotalSize 2000398934016 -> 4000797868032"});

  Do("create-volume --name bk --level 1 --drives KN2K00004104,KN2K00004105 --size 100G "
     "--initialize");
  std::vector<std::string> created;
  for (const auto& e : look("bk")) created.push_back(Brief(e) + " " + e["detail"].dump());
  EXPECT_EQ(created, (std::vector<std::string>{
                         "added bk State null -> initializing null",
                         "job-started bk State null -> initializing \"initialize\"",
                     }));
}

// A record is delivered at least once whatever stops the monitor: the record whose program was
// killed because the monitor stopped (SIGTERM), or that the monitor died over (SIGKILL), is given
// again by the next run, and a record a program got to its end is never given twice.
TEST_F(MonitorTest, ARecordIsDeliveredAtLeastOnceWhateverStopsTheMonitor) {
  Do("sim reset");
  ASSERT_EQ(Run("monitor --once").exitCode, 0);
  Do("set-volume-cache Data off");  // for the follower below to record
  const std::uint64_t before = Journal().back()["id"];
  const fs::path script = dir / "program", block = dir / "block", started = dir / "started",
                 got = dir / "got";
  // Says it started (with its process group), waits while `block` is there, then notes the id of
  // the record it got.
  std::ofstream(script)
      << "#!/bin/sh\necho $$ > " + started.string() + ".new && mv " + started.string() + ".new " +
             started.string() + "\nwhile [ -e " + block.string() +
             " ]; do sleep 0.01; done\nsed -n 's/.*\"id\":\\([0-9]*\\).*/\\1/p' >> " +
             got.string() + "\n";
  fs::permissions(script, fs::perms::owner_all);
  Vesk::test::Watchdog watchdog("the stopped monitors and their programs", 60);

  std::ofstream(block) << "";
  MonitorProcess follower = Start({"--program", script.string(), "--interval", "0.05"});
  AwaitFile(started);
  const int status = follower.Stop(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(fs::exists(got));  // its program was killed before it noted anything
  fs::remove(block);
  fs::remove(started);
  ASSERT_EQ(Run("monitor --once --program " + script.string()).exitCode, 0);

  Do("set-volume-cache Data write-back");
  std::ofstream(block) << "";
  MonitorProcess once = Start({"--once", "--program", script.string()});
  AwaitFile(started);
  const int status2 = once.Stop(SIGKILL);
  EXPECT_TRUE(WIFSIGNALED(status2)) << status2;
  // The program dies with its monitor (it had its own process group).
  ::kill(-std::stoi(Slurp(started)), SIGKILL);
  fs::remove(block);
  ASSERT_EQ(Run("monitor --once --program " + script.string()).exitCode, 0);

  // Every record since, once each, in order: the change the follower recorded, the next command and
  // the change it made.
  std::vector<std::uint64_t> expected, noted;
  for (const auto& r : Journal(before)) expected.push_back(r["id"]);
  std::istringstream lines(Slurp(got));
  for (std::string line; std::getline(lines, line);) noted.push_back(std::stoull(line));
  EXPECT_EQ(expected.size(), 3u);
  EXPECT_EQ(noted, expected);
  EXPECT_EQ(Journal(before).back()["property"], "CachePolicy");
}

// One watcher at a time: `--once` runs at the same time record each change once, and print each
// record once between them.
TEST_F(MonitorTest, OnceRunsAtTheSameTimeRecordEachChangeOnce) {
  Do("sim reset");
  ASSERT_EQ(Run("monitor --once").exitCode, 0);
  Vesk::test::Watchdog watchdog("monitor runs at the same time", 120);
  std::size_t printed = 0;
  for (int round = 0; round < 6; ++round) {
    Do(std::string("set-volume-cache Data ") + (round % 2 ? "write-back" : "off"));
    std::vector<Result> runs(3);
    std::vector<std::thread> threads;
    for (auto& r : runs) threads.emplace_back([&] { r = Run("monitor --once"); });
    for (auto& t : threads) t.join();
    for (const auto& r : runs) {
      EXPECT_EQ(r.exitCode, 0) << r.out;
      for (auto at = r.out.find("CachePolicy"); at != std::string::npos;
           at = r.out.find("CachePolicy", at + 1))
        ++printed;
    }
  }
  std::size_t changes = 0;
  for (const auto& r : Journal()) changes += r["property"] == "CachePolicy";
  EXPECT_EQ(changes, 6u);
  EXPECT_EQ(printed, 6u);
}

// A fault that lasts is reminded of every interval of the machine's clock (the simulated clock
// stands still here but for the commands that move it), from `--once` to `--once`; a refresh
// that keeps failing as well.
TEST_F(MonitorTest, AFaultThatLastsIsRemindedEveryInterval) {
  Do("sim reset");
  auto reminders = [&](int exitCode = 0) {
    std::vector<std::string> due;
    for (const auto& r : Records("monitor --once --failure-reminder 60", exitCode)) {
      if (r["kind"] != "reminder") continue;
      EXPECT_EQ(r["detail"].get<std::string>().substr(r["detail"].get<std::string>().find(" (")),
                " (since " + r["fault"]["since"].get<std::string>() + ")");
      due.push_back(r["fault"]["kind"].get<std::string>() + " " +
                    (r["element"].is_null() ? "" : r["element"]["name"].get<std::string>()));
    }
    std::sort(due.begin(), due.end());
    return due;
  };
  using List = std::vector<std::string>;
  EXPECT_EQ(reminders(), List{});
  Do("remove-drive KN2K00004102 --force");
  EXPECT_EQ(reminders(), List{});  // the events tell it first
  Do("sim advance 59999");
  EXPECT_EQ(reminders(), List{});
  Do("sim advance 1");
  const List all = {"drive-missing KN2K00004102", "volume-degraded Data", "volume-failed Scratch"};
  EXPECT_EQ(reminders(), all);
  EXPECT_EQ(reminders(), List{});
  Do("sim advance 60000");
  EXPECT_EQ(reminders(), all);
  const json last = Journal().back();
  EXPECT_EQ(last["detail"].get<std::string>().substr(0, 45),
            "drive KN2K00004102 is still missing (since 20");
  // A drive forgotten once its place is taken is reminded of no more.
  Do("rebuild-volume Data --drives KN2K00004104");
  Do("forget-drive KN2K00004102");
  Do("sim advance 60000");
  EXPECT_EQ(reminders(), List{"volume-failed Scratch"});

  // A refresh that keeps failing, on the real clock (the faults of the elements last meanwhile, as
  // last seen).
  ::setenv("VESK_SIM_CLOCK", "real", 1);
  std::ofstream(state) << "{";
  auto machineWide = [&](int exitCode) {
    std::vector<json> found;
    for (const auto& r : Records("monitor --once --failure-reminder 0.001", exitCode))
      if (r["element"].is_null()) found.push_back(r);
    return found;
  };
  const auto failed = machineWide(1);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0]["kind"], "refresh-failed");
  const auto again = machineWide(1);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0]["fault"]["kind"], "refresh-failed");
  EXPECT_EQ(again[0]["detail"].get<std::string>().substr(0, 34),
            "the machine still cannot be read: ");
  Do("sim reset");
  const auto recovered = machineWide(0);
  ASSERT_EQ(recovered.size(), 1u);
  EXPECT_EQ(recovered[0]["kind"], "refresh-recovered");

  // The system log is one more target with a cursor of its own, from the records of now on.
  ASSERT_EQ(Run("monitor --once --syslog").exitCode, 0);
  Do("set-volume-cache Data off");
  ASSERT_EQ(Run("monitor --once --syslog").exitCode, 0);
  const json cursors = json::parse(Slurp(state.string() + ".journal.cursors"));
  EXPECT_EQ(cursors["syslog"], Journal().back()["id"]);
}

// What keeps a monitor from recording or delivering is said, and costs no record: a watcher lock
// held by another monitor (this run only delivers), a lock file that cannot be opened, cursors
// that are not an object, records that rotated away before they were delivered.
TEST_F(MonitorTest, WhatKeepsAMonitorFromRecordingOrDeliveringIsSaid) {
  Do("sim reset");
  const std::string journal = state.string() + ".journal";
  // A dry run prints what it would record, and records, delivers and keeps nothing.
  const std::size_t commands = Journal().size();
  const Result dry = Run("--dry-run monitor --once");
  EXPECT_EQ(dry.exitCode, 0);
  EXPECT_EQ(std::count(dry.out.begin(), dry.out.end(), '\n'), 18) << dry.out;
  EXPECT_EQ(Journal().size(), commands);
  for (const char* left : {".cursors", ".watch.lock", ".deliver.lock", ".last-known"})
    EXPECT_FALSE(fs::exists(journal + left)) << left;
  EXPECT_FALSE(fs::exists(state.string() + ".monitor"));
  ASSERT_EQ(Run("monitor --once").exitCode, 0);
  Do("set-volume-cache Data off");
  const std::size_t held = Journal().size();
  {
    const int lock = ::open((journal + ".watch.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    const Result r = Run("monitor --once");
    ::close(lock);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out,
              "veskctl: another monitor is watching the machine; this run only delivers the "
              "journal's records\n");
    EXPECT_EQ(Journal().size(), held);
  }
  // The change is still to be recorded, by the next run that watches.
  const Result next = Run("monitor --once");
  EXPECT_NE(next.out.find("  changed  volume \"Data\""), std::string::npos) << next.out;
  EXPECT_EQ(Journal().size(), held + 1);

  std::ofstream(journal + ".cursors") << "[1]";
  Do("set-volume-cache Data write-back");
  const Result reset = Run("monitor --once");
  EXPECT_EQ(reset.exitCode, 0);
  EXPECT_EQ(reset.out.substr(0, reset.out.find('\n') + 1),
            "veskctl: the delivery cursors " + journal +
                ".cursors are not a JSON object; every target starts with the records from now "
                "on\n");
  EXPECT_NE(reset.out.find("  changed  volume \"Data\""), std::string::npos) << reset.out;
  EXPECT_EQ(json::parse(Slurp(journal + ".cursors")), (json{{"", Journal().back()["id"]}}));

  // A cursor behind what the journal still holds.
  const veskctl::Journal small(journal, 2000);
  for (int i = 0; i < 40; ++i) small.Append(json{{"kind", "present"}, {"detail", "filler"}});
  const auto oldest = small.After(1).oldestHeld;
  ASSERT_GT(oldest, 2u);
  std::ofstream(journal + ".cursors") << json{{"", 1}}.dump();
  const Result gap = Run("monitor --once");
  EXPECT_EQ(gap.exitCode, 0);
  EXPECT_EQ(gap.out.substr(0, gap.out.find('\n') + 1),
            "veskctl: records 2 to " + std::to_string(oldest - 1) +
                " rotated out of the journal before they were delivered\n");

  // `--once` waits for the delivery lock as for the state file's, up to --lock-timeout: then it
  // has recorded what changed, and the next run delivers it.
  Do("rename-volume Data Data2");
  const int delivering =
      ::open((journal + ".deliver.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(::flock(delivering, LOCK_EX), 0);
  const Result busy = Run("--lock-timeout 0 monitor --once");
  EXPECT_EQ(busy.exitCode, 0);
  EXPECT_EQ(busy.out,
            "veskctl: another monitor is delivering the journal's records; this run delivers none "
            "(the next one will)\n");
  const json recorded = Journal().back();
  EXPECT_EQ(recorded["newName"], "Data2");
  Do("rename-volume Data2 Data3");
  Result waited;
  std::thread run([&] { waited = Run("monitor --once"); });
  // Once it recorded the second change it waits to deliver.
  while (Journal().back()["id"] == recorded["id"])
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ::close(delivering);
  run.join();
  EXPECT_EQ(waited.exitCode, 0);
  EXPECT_NE(waited.out.find("Name: \"Data\" -> \"Data2\"\n"), std::string::npos) << waited.out;
  EXPECT_NE(waited.out.find("Name: \"Data2\" -> \"Data3\"\n"), std::string::npos) << waited.out;

  // A lock file that cannot be opened fails the run.
  fs::remove(journal + ".deliver.lock");
  fs::create_directories(journal + ".deliver.lock/in");
  const Result broken = Run("monitor --once");
  EXPECT_EQ(broken.exitCode, 1);
  EXPECT_EQ(broken.out, "veskctl: cannot open the lock file " + journal +
                            ".deliver.lock: access denied (Windows error 5)\n");
}

}  // namespace
