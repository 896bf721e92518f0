// The journal shared by every veskctl process of a machine: appends from several processes at
// once, appends cut short, rotation, and `veskctl events` reading it.
#include "tools/veskctl/journal/Journal.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "VeskctlTest.h"
#include "tools/veskctl/session/StateFile.h"

namespace {

using nlohmann::json;
using veskctl::Journal;
using veskctl::testing::Result;
using veskctl::testing::VeskctlTest;
namespace fs = std::filesystem;

class JournalTest : public VeskctlTest {
 protected:
  fs::path JournalPath() const { return state.string() + ".journal"; }

  // The records `events --json ARGS` lists, each line parsed.
  std::vector<json> Listed(const std::string& arguments) {
    const Result r = Run("--json events " + arguments, true);
    EXPECT_EQ(r.exitCode, 0) << r.out;
    std::vector<json> records;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) records.push_back(json::parse(line));
    return records;
  }

  static std::vector<std::uint64_t> Ids(const std::vector<json>& records) {
    std::vector<std::uint64_t> ids;
    for (const auto& r : records) ids.push_back(r["id"].get<std::uint64_t>());
    return ids;
  }

  // A child process that appends `count` records, one at a time, marked with `writer`.
  static std::unique_ptr<veskctl::testing::ChildProcess> StartWriter(const fs::path& journal,
                                                                     int writer, int count) {
    return std::make_unique<veskctl::testing::ChildProcess>([=] {
      const Journal j(journal);
      for (int i = 0; i < count; ++i)
        j.Append(json{{"kind", "changed"},
                      {"detail", std::to_string(writer) + ":" + std::to_string(i)}});
      ::_exit(0);
    });
  }
};

TEST_F(JournalTest, TwoWritersAndAFollowerLoseDuplicateAndTearNothing) {
  Vesk::test::Watchdog watchdog("two writers and a follower", 240);
  constexpr int kEach = 10000;
  const fs::path followed = dir / "followed.jsonl";
  veskctl::testing::ChildProcess follower([&] {
    std::freopen(followed.c_str(), "w", stdout);
    ::execl(Veskctl().c_str(), "veskctl", "--state", state.c_str(), "--json", "events", "--follow",
            static_cast<char*>(nullptr));
  });
  const auto a = StartWriter(JournalPath(), 1, kEach), b = StartWriter(JournalPath(), 2, kEach);
  for (auto* writer : {a.get(), b.get()}) {
    const int status = writer->Wait();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  // The follower ends on SIGTERM with 0, once it has caught up.
  auto lines = [&] {
    std::ifstream in(followed);
    return std::count(std::istreambuf_iterator<char>(in), {}, '\n');
  };
  while (lines() < 2 * kEach) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const int status = follower.Stop(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  const auto listed = Listed("");
  std::vector<json> seen;
  std::ifstream in(followed);
  for (std::string line; std::getline(in, line);) seen.push_back(json::parse(line));
  for (const std::vector<json>* records : {&listed, const_cast<const std::vector<json>*>(&seen)}) {
    ASSERT_EQ(records->size(), 2u * kEach);
    // Identifiers 1..N in order, and each writer's records all there, in its own order.
    std::map<std::string, int> next;
    for (std::size_t i = 0; i < records->size(); ++i) {
      const auto& r = (*records)[i];
      ASSERT_EQ(r["id"], i + 1);
      const std::string detail = r["detail"];
      const std::string writer = detail.substr(0, detail.find(':'));
      ASSERT_EQ(detail, writer + ":" + std::to_string(next[writer]++));
    }
  }
}

TEST_F(JournalTest, AnAppendCutShortIsSkippedByReadersAndRepairedByTheNextWriter) {
  const Journal journal(JournalPath());
  journal.Append(json{{"kind", "changed"}});
  // A writer SIGKILLed in the middle of its appends: whatever it left must be usable.
  const auto writer = StartWriter(JournalPath(), 1, 1000000);
  while (journal.LastId() < 50) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  writer->Stop(SIGKILL);
  const std::uint64_t last = journal.LastId();
  // A line damaged on disk, and one that never got its newline (cut short between two writes).
  std::ofstream(JournalPath(), std::ios::app) << R"({"kind":"damaged"})"
                                              << "\n";
  { std::ofstream(JournalPath(), std::ios::app) << R"({"id":)" << last + 1 << R"(,"kind":"cha)"; }

  EXPECT_EQ(journal.LastId(), last);
  EXPECT_EQ(Listed("").size(), last);
  EXPECT_EQ(journal.Append(json{{"kind", "job"}}), last + 1);
  const auto after = Listed("--since " + std::to_string(last));
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[1]["kind"], "job");
  EXPECT_EQ(Slurp(JournalPath()).find("\"cha\n"), std::string::npos);
}

TEST_F(JournalTest, RotationKeepsIdentifiersGoingAndSaysWhatRotatedAway) {
  const Journal journal(JournalPath(), 4096);
  for (int i = 0; i < 200; ++i)
    journal.Append(json{{"kind", "changed"}, {"detail", std::string(40, 'x')}});
  const fs::path older = JournalPath().string() + ".1";
  ASSERT_TRUE(fs::exists(older));
  EXPECT_LE(fs::file_size(JournalPath()), 4096u);
  EXPECT_LE(fs::file_size(older), 4096u);
  const auto held = Journal(JournalPath()).After(0);
  ASSERT_TRUE(held.gap);
  ASSERT_FALSE(held.records.empty());
  EXPECT_EQ(held.records.front()["id"], held.oldestHeld);
  EXPECT_EQ(held.records.back()["id"], 200);
  EXPECT_EQ(Ids(held.records).size(), 200 - held.oldestHeld + 1);

  // Asked for records that are gone, `events` says so and lists what it holds.
  const Result r = Run("events --since 3");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("veskctl: the records from #3 to #" + std::to_string(held.oldestHeld - 1) +
                       " have rotated out of the journal; listing from #" +
                       std::to_string(held.oldestHeld)),
            std::string::npos)
      << r.out;
  // A journal whose current file was lost after a rotation starts again after the older one.
  fs::remove(JournalPath());
  EXPECT_EQ(journal.Append(json{{"kind", "job"}}), 201u);
}

TEST_F(JournalTest, AFileThatIsNoJournalIsLeftAlone) {
  std::ofstream(JournalPath()) << "{\"format\":\"something else\"}\nmore\n";
  const std::string before = Slurp(JournalPath());
  try {
    Journal(JournalPath()).Append(json{{"kind", "job"}});
    ADD_FAILURE() << "appended to a file that is no journal";
  } catch (const veskctl::StateFileError& e) {
    EXPECT_EQ(std::string(e.what()),
              "the journal " + JournalPath().string() +
                  " does not start as a veskctl journal does; it was left untouched. Move it "
                  "away to start a new one.");
  }
  EXPECT_EQ(Slurp(JournalPath()), before);
  fs::remove(JournalPath());
  fs::create_directories(JournalPath());
  const Result r = Run("events");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "veskctl: cannot read the journal " + JournalPath().string() +
                       ": access denied (Windows error 5)\n");
}

TEST_F(JournalTest, EventsFilterByKindElementAndTime) {
  const Journal journal(JournalPath());
  journal.Append(std::vector<json>{
      json{{"kind", "volume-degraded"},
           {"time", "2026-01-01T00:00:00.000Z"},
           {"element", {{"kind", "volume"}, {"id", "0a1b2c3d-0000"}, {"name", "r5"}}}},
      json{{"kind", "command"},
           {"time", "2026-01-02T00:00:00.000Z"},
           {"command", {{"request", {{"volumeId", "0a1b2c3d-0000"}}}}}},
      json{{"kind", "job"},
           {"time", "2026-01-03T00:00:00.000Z"},
           {"element", {{"kind", "volume"}, {"id", "99"}, {"name", "other"}}}}});
  EXPECT_EQ(Ids(Listed("--kind command,job")), (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(Ids(Listed("--element r5")), (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(Ids(Listed("--element 0a1b")), (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(Ids(Listed("--element 0a1b2c3d-0000")), (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(Ids(Listed("--since 2026-01-02T00:00:00Z")), (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(Ids(Listed("--since 2026-01-02T00:00:00.001Z")), (std::vector<std::uint64_t>{3}));
  EXPECT_EQ(Ids(Listed("--since 2")), (std::vector<std::uint64_t>{2, 3}));
  EXPECT_TRUE(Listed("--since 1h").empty());  // all of them older than that
  EXPECT_EQ(Listed("--since 1000d").size(), 3u);
  const Result text = Run("events --since 3");
  EXPECT_EQ(text.out, "#3  2026-01-03T00:00:00.000Z  job  volume \"other\" (99)\n");
  const Result bad = Run("--json events --since 2026-13-01T00:00:00Z", true);
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_EQ(json::parse(bad.out)["status"]["message"],
            "--since takes a record number (42), a UTC time (2026-12-07T14:00:00Z) or a duration "
            "(90s, 10m, 2h, 7d), not '2026-13-01T00:00:00Z'");
  for (const char* since : {"5x", ".5h", "1e20d", "-5m"})
    EXPECT_EQ(Run(std::string("events --since ") + since).exitCode, 2) << since;
}

// A record larger than every window the reader reads with is tested like any other: found by
// `--since` its own id, and never stepped over by a reader looking for what comes after another.
TEST_F(JournalTest, ARecordLargerThanEveryBufferIsFoundLikeAnyOther) {
  const Journal journal(JournalPath());
  journal.Append(json{{"kind", "changed"}});
  const std::uint64_t big =
      journal.Append(json{{"kind", "command"}, {"detail", std::string(300000, 'x')}});
  journal.Append(json{{"kind", "job"}});
  EXPECT_EQ(Ids(journal.After(big - 1).records), (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(Ids(journal.After(0).records), (std::vector<std::uint64_t>{1, 2, 3}));
  EXPECT_EQ(Ids(journal.After(big).records), (std::vector<std::uint64_t>{3}));
  EXPECT_EQ(Ids(Listed("--since " + std::to_string(big))), (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(journal.LastId(), 3u);
}

// A damaged line is passed over alone, in the middle of a journal or at its end: the records
// before and after it are all read, wherever a reader starts, and `events` says what it passed
// over. (The journal is larger than a reader's chunk, so that no line is read twice.)
TEST_F(JournalTest, ADamagedLineIsPassedOverAloneAndSaid) {
  const Journal journal(JournalPath());
  for (int i = 0; i < 400; ++i)
    journal.Append(json{{"kind", "changed"}, {"detail", std::string(3000, 'a' + i % 26)}});
  // Records 200 and 400 overwritten in place, their newlines kept.
  std::string text = Slurp(JournalPath());
  ASSERT_GT(text.size(), 1u << 20);
  for (const char* damaged : {"\"id\":200,", "\"id\":400,"}) {
    const auto found = text.find(damaged);
    ASSERT_NE(found, std::string::npos);
    const auto at = text.rfind('\n', found) + 1, end = text.find('\n', found);
    text.replace(at, end - at, std::string(end - at, '#'));
  }
  std::ofstream(JournalPath(), std::ios::binary | std::ios::trunc) << text;

  for (std::uint64_t after : {0, 1, 150, 198, 199, 200, 201, 398, 399, 400}) {
    const auto slice = journal.After(after);
    std::vector<std::uint64_t> expected;
    for (std::uint64_t id = after + 1; id < 400; ++id)
      if (id != 200) expected.push_back(id);
    EXPECT_EQ(Ids(slice.records), expected) << "after " << after;
    // Whoever reads past a damaged line is told of it: after 200 too, since what it held is not
    // known.
    EXPECT_EQ(slice.damaged, after <= 200 ? 2u : 1u) << "after " << after;
    EXPECT_EQ(slice.trailingDamaged, 1u) << "after " << after;  // the last line
  }
  EXPECT_EQ(journal.LastId(), 399u);
  const Result r = Run("events --since 0");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("veskctl: passed over 2 damaged lines of the journal (not a record)\n"),
            std::string::npos)
      << r.out.substr(r.out.size() - 200);
  EXPECT_EQ(Listed("--since 0").size(), 398u);
  // A follower reads the lines after its last record again at every look: said once all the same.
  const Result followed = Exec("timeout -s INT 1 " + Command("events --since 400 --follow"));
  EXPECT_EQ(followed.out, "veskctl: passed over 1 damaged line of the journal (not a record)\n");

  // A journal whose one record is damaged holds none; an identifier once given is not given again.
  const fs::path other = dir / "other.journal";
  const Journal second(other);
  second.Append(json{{"kind", "changed"}});
  std::string one = Slurp(other);
  one.replace(one.find('\n') + 1, 5, "#####");  // the line after the header
  std::ofstream(other, std::ios::binary | std::ios::trunc) << one;
  EXPECT_EQ(second.LastId(), 0u);
  EXPECT_EQ(second.Append(json{{"kind", "job"}}), 2u);
}

}  // namespace
