// What every veskctl command stands on: the state file's lock and format, how an element named on
// the command line is found, and the numbers a failure reports.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "VeskctlTest.h"
#include "tools/veskctl/session/Jobs.h"
#include "tools/veskctl/session/Predict.h"
#include "tools/veskctl/session/StateFile.h"

namespace {

using nlohmann::json;
using veskctl::testing::Result;
using veskctl::testing::VeskctlTest;

// The lock is exclusive: a run (or another StateFile in this process) that wants it while this
// process holds it waits and gives up, whatever lock the holder asked for first.
TEST_F(VeskctlTest, TheStateFileLockKeepsEveryOtherWriterOut) {
  ASSERT_EQ(Run("sim reset").exitCode, 0);
  const std::string saved = Slurp(state);
  const std::string lock = state.string() + ".lock";
  {
    veskctl::StateFile held(state, {false, true, -1});
    try {
      veskctl::StateFile second(state, {false, true, 0});
      ADD_FAILURE() << "two holders of the lock at once";
    } catch (const veskctl::StateFileBusy& e) {
      EXPECT_EQ(std::string(e.what()),
                "another veskctl run still holds " + lock + "; gave up after 0 s (--lock-timeout)");
    }
    const Result other = Run("--lock-timeout 0.2 rename-volume Data Other");
    EXPECT_EQ(other.exitCode, 1);
    EXPECT_EQ(other.out, "veskctl: another veskctl run still holds " + lock +
                             "; gave up after 0.2 s (--lock-timeout)\n");
    const json refused = RunJson("--lock-timeout 0 rename-volume Data Other", 1);
    EXPECT_EQ(refused["status"], (json{{"ok", false},
                                       {"kind", "state"},
                                       {"message", "another veskctl run still holds " + lock +
                                                       "; gave up after 0 s (--lock-timeout)"},
                                       {"status", 0},
                                       {"errorCode", 0}}));
    EXPECT_EQ(Slurp(state), saved);
    // Readers take no lock.
    EXPECT_EQ(Run("show Data").exitCode, 0);
  }
  EXPECT_EQ(Run("--lock-timeout 0 rename-volume Data Other").exitCode, 0);
}

// A state file of any format version but this veskctl's is refused, by readers and writers
// alike, and left as it was.
TEST_F(VeskctlTest, AStateFileOfAnotherFormatVersionIsRefused) {
  ASSERT_EQ(Run("sim reset").exitCode, 0);
  json document = json::parse(Slurp(state));
  ASSERT_EQ(document["formatVersion"], 1);
  for (const int version : {0, 2, -1}) {
    SCOPED_TRACE(version);
    document["formatVersion"] = version;
    const std::string text = document.dump();
    std::ofstream(state) << text;
    const std::string message = "the state file " + state.string() + " has format version " +
                                std::to_string(version) +
                                ", this veskctl reads version 1; it was left untouched. Run "
                                "'veskctl --state " +
                                state.string() + " sim reset' to start over.";
    for (const char* command : {"show", "sim advance 1", "monitor --once"}) {
      const Result r = Run(command);
      EXPECT_EQ(r.exitCode, 1) << command;
      if (std::string(command) == "monitor --once") {
        EXPECT_NE(r.out.find("  refresh-failed  " + message + "\n"), std::string::npos) << r.out;
      } else {
        EXPECT_EQ(r.out, "veskctl: " + message + "\n") << command;
      }
    }
    EXPECT_EQ(RunJson("show", 1)["status"]["kind"], "state");
    EXPECT_EQ(Slurp(state), text);
  }
}

// Names and serial numbers match whole, case and all: the beginning of one names nothing, and a
// name that begins another element's name names only its own element.
TEST_F(VeskctlTest, NamesAndSerialsMatchWholeNeverByTheirBeginning) {
  ASSERT_EQ(Run("sim reset").exitCode, 0);
  ASSERT_EQ(Run("rename-volume Scratch Data2").exitCode, 0);
  json document = json::parse(Slurp(state));
  json machine = json::parse(document["machine"].get<std::string>());
  for (auto& d : machine["controllers"][1]["drives"])
    if (d["serial"] == "KN2K00004105") d["serial"] = "KN2K0000410";
  document["machine"] = machine.dump();
  std::ofstream(state) << document.dump();

  const struct {
    std::string argument, kind, name;
  } found[] = {
      {"Data", "volume", "Data"},
      {"Data2", "volume", "Data2"},
      {"KN2K0000410", "drive", "KN2K0000410"},
      {"KN2K00004101", "drive", "KN2K00004101"},
  };
  for (const auto& f : found) {
    json shown = RunJson("show " + f.argument);
    EXPECT_EQ(shown["kind"], f.kind) << f.argument;
    EXPECT_EQ(shown[f.kind][f.kind == "drive" ? "serial" : "name"], f.name);
  }
  for (const char* argument : {"Dat", "data", "KN2K000041", "KN2K00004"}) {
    const Result r = Run(std::string("show ") + argument);
    EXPECT_EQ(r.exitCode, 2) << argument;
    EXPECT_EQ(r.out, std::string("veskctl: no element '") + argument + "' (see 'veskctl show')\n");
  }
  const Result led = Run("locate KN2K000041 on");
  EXPECT_EQ(led.exitCode, 2);
  EXPECT_EQ(led.out, "veskctl: no drive 'KN2K000041' (see 'veskctl show')\n");
  const Result deleted = Run("delete-volume Dat --force");
  EXPECT_EQ(deleted.exitCode, 2);
  EXPECT_EQ(deleted.out, "veskctl: no volume 'Dat' (see 'veskctl show')\n");
  EXPECT_FALSE(Volume("Data").is_null());
}

// A failure's status block carries the driver's own status number, the kind of failure and the
// exit code that goes with it: 1 for what the driver refused, 2 for what the user typed.
TEST_F(VeskctlTest, AFailureReportsTheDriverStatusItsKindAndItsExitCode) {
  ASSERT_EQ(Run("sim reset").exitCode, 0);
  const std::string saved = Slurp(state);
  const struct {
    std::string arguments, message;
    int status;
    std::string name, text;
  } refusals[] = {
      {"create-volume --name x --level 1 --size 10G --drives KN2K00004104,KN2K00004100",
       "Unable to create volume. IOCTL completed with error.", 8, "DriveInUse",
       "drive is a member of another array, a spare, a journaling drive, or listed twice"},
      {"cancel-verify Data", "Unable to cancel verify volume. IOCTL completed with error.", 15,
       "InvalidState", ""},
      {"change-layout Data --level 0 --force",
       "Unable to change RAID layout. IOCTL completed with error.", 16, "NotSupported", ""},
  };
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.arguments);
    json failed = RunJson(r.arguments, 1);
    json& status = failed["status"];
    EXPECT_EQ(status["ok"], false);
    EXPECT_EQ(status["kind"], "VeskException");
    EXPECT_EQ(status["message"], r.message);
    EXPECT_EQ(status["status"], r.status);
    EXPECT_EQ(status["errorCode"], r.status);
    EXPECT_EQ(status["statusName"], r.name);
    if (!r.text.empty()) {
      EXPECT_EQ(status["statusText"], r.text);
    }
    const Result text = Run(r.arguments);
    EXPECT_EQ(text.exitCode, 1);
    EXPECT_EQ(text.out.rfind("veskctl: " + r.message + " (driver status " +
                                 std::to_string(r.status) + ": " + r.name + " \u2014 ",
                             0),
              0u)
        << text.out;
  }
  EXPECT_EQ(Slurp(state), saved);
  // What the user typed wrong is no driver status.
  const json usage = RunJson("cancel-verify NoSuchVolume", 2);
  EXPECT_EQ(usage["status"], (json{{"ok", false},
                                   {"kind", "UsageError"},
                                   {"message", "no volume 'NoSuchVolume' (see 'veskctl show')"},
                                   {"status", 0},
                                   {"errorCode", 0}}));
}

// Against the RAID driver nothing but the journal remembers whether a verification repaired what
// it found: the last finished one of each volume counts, and only for the counts it left.
TEST(JobBookTest, TheJournalTellsWhetherTheLastVerificationRepaired) {
  const json history = json::parse(R"([
    {"kind": "verify", "volumeId": "v1", "outcome": "finished", "verifyErrors": 7,
     "verifyBadBlocks": 2},
    {"kind": "verify and repair", "volumeId": "v1", "outcome": "finished", "verifyErrors": 7,
     "verifyBadBlocks": 2, "verifyRepaired": true},
    {"kind": "verify and repair", "volumeId": "v1", "outcome": "interrupted",
     "verifyErrors": null, "verifyBadBlocks": null},
    {"kind": "rebuild", "volumeId": "v2", "outcome": "finished", "verifyErrors": null},
    {"kind": "verify", "volumeId": "v3", "outcome": "finished", "verifyErrors": 1,
     "verifyBadBlocks": 0}
  ])");
  veskctl::JobBook book;
  book.LearnVerified(history);
  const auto* repaired = book.LastVerify("v1", 7, 2);
  ASSERT_NE(repaired, nullptr);
  EXPECT_TRUE(repaired->repaired);
  EXPECT_EQ(book.LastVerify("v1", 7, 0), nullptr);  // another verification's counts
  EXPECT_EQ(book.LastVerify("v2", 0, 0), nullptr);
  ASSERT_NE(book.LastVerify("v3", 1, 0), nullptr);
  EXPECT_FALSE(book.LastVerify("v3", 1, 0)->repaired);
  // The memory is kept with the jobs in the state file.
  EXPECT_TRUE(veskctl::JobBook(book.Save()).LastVerify("v1", 7, 2)->repaired);
}

// Against the RAID driver the journal is where a data-loss mark lasts: the last record of each
// volume counts until an acknowledgement that went through, and a volume acknowledged while it
// is failed is not marked again by the next look that sees it failed.
TEST(JobBookTest, TheJournalKeepsDataLossMarksUntilAcknowledged) {
  auto lost = [](const char* id, json bytes, bool failed) {
    return json{{"kind", "volume-data-lost"},
                {"element", {{"kind", "volume"}, {"id", id}, {"name", id}}},
                {"dataLost",
                 {{"members", {"X1"}},
                  {"atMs", 5},
                  {"bytes", bytes},
                  {"failed", failed},
                  {"forced", !failed}}}};
  };
  auto acknowledged = [](const char* id, const char* outcome) {
    return json{{"kind", "command"},
                {"command",
                 {{"outcome", outcome},
                  {"request", {{"operation", "acknowledge-data-loss"}, {"volumeId", id}}}}}};
  };
  veskctl::JobBook book;
  book.LearnLosses({lost("v1", nullptr, true), lost("v2", 100, false), lost("v3", 7, true),
                    acknowledged("v1", "ok"), acknowledged("v2", "refused"),
                    json{{"kind", "volume-data-lost"}, {"element", nullptr}}});
  EXPECT_EQ(book.DataLost("v1"), nullptr);
  ASSERT_NE(book.DataLost("v2"), nullptr);
  EXPECT_EQ(book.DataLost("v2")->bytes, 100u);
  EXPECT_TRUE(book.DataLost("v2")->forced);
  EXPECT_EQ(book.DataLost("v3")->members, std::vector<std::string>{"X1"});
  EXPECT_TRUE(book.TakeNewLosses().empty());

  veskctl::Model model;
  model.volumes[Vesk::vesk_guid{}].state = 2;  // failed, as the RAID driver reports it
  model.volumes[Vesk::vesk_guid{}].name = "v0";
  const std::string v0 = Vesk::vesk_guid{}.ToString();
  book.LearnLosses({lost(v0.c_str(), nullptr, true), acknowledged(v0.c_str(), "ok")});
  book.FollowLosses(model, 9);
  EXPECT_EQ(book.DataLost(v0), nullptr);
  EXPECT_TRUE(book.TakeNewLosses().empty());
}

}  // namespace
