// What veskctl says a command will do, against what the command then does: on drill machines
// where disks have failed, every mutating command is run with --dry-run and then for real.
#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "VeskctlTest.h"
#include "tools/veskctl/cli/Commands.h"
#include "tools/veskctl/session/Predict.h"
#include "tools/veskctl/session/Session.h"

namespace veskctl::testing {
namespace {

using nlohmann::json;

// The fields a prediction shows, as `show --json` names them.
const char* const kCompared[] = {"name",      "raidLevel",         "stripSize",  "size",
                                 "state",     "cachePolicy",       "rwhPolicy",  "totalSize",
                                 "freeSize",  "writeCacheEnabled", "status",     "usage",
                                 "ledActive", "readPatrolEnabled", "rohiEnabled"};
const char* const kKinds[] = {"controllers", "arrays", "volumes", "drives"};

// The demo machine with eight more free NVMe drives, X0 to X7, on the NVMe controller.
std::string DrillTopology() {
  std::ifstream demo(VESK_TOPOLOGY_DIR "/demo.json");
  json topology = json::parse(demo);
  json& drives = topology["controllers"][1]["drives"];
  json free = drives[4];
  for (int i = 0; i < 8; ++i) {
    free["id"] = "d0e10000-0000-4000-8000-00000000010" + std::to_string(i);
    free["serial"] = "X" + std::to_string(i);
    free["physicalSlot"] = 20 + i;
    drives.push_back(free);
  }
  return topology.dump();
}

class Predictions : public VeskctlTest {
 protected:
  void SetUp() override {
    VeskctlTest::SetUp();
    ::setenv("VESK_SIM_CLOCK", "manual", 1);  // nothing moves between the dry run and the run
    std::ofstream(dir / "drill.json") << DrillTopology();
  }
  void Step(const std::string& arguments) {
    const Result r = Run(arguments);
    ASSERT_EQ(r.exitCode, 0) << arguments << "\n" << r.out;
  }
  // Two RAID 5 volumes on X0-X2 and a RAID 1 on X3, X4, then what the drill does to them, in
  // place of the machine of the case before.
  void Machine(const std::vector<std::string>& drill) {
    Step("sim reset --force --topology " + (dir / "drill.json").string());
    for (const char* step : {"create-volume --name r5 --level 5 --size 100G --drives X0,X1,X2",
                             "create-volume --name r5b --level 5 --size 100G --drives X0,X1,X2",
                             "create-volume --name m1 --level 1 --size 100G --drives X3,X4"})
      Step(step);
    for (const auto& step : drill) Step(step);
  }
  // Every element's shown fields, by kind and identifier.
  std::map<std::string, json> Shown() {
    std::map<std::string, json> shown;
    const json topology = RunJson("show");
    for (const char* kind : kKinds) {
      std::vector<json> elements =
          std::string(kind) == "controllers"
              ? std::vector<json>(topology["controllers"].begin(), topology["controllers"].end())
              : All(topology, kind);
      for (const auto& e : elements) {
        json fields = json::object();
        for (const char* f : kCompared)
          if (e.contains(f)) fields[f] = e[f];
        shown[std::string(kind) + " " + e["id"].get<std::string>()] = fields;
      }
    }
    return shown;
  }
};

// What changed between two readings, in the prediction's form: the fields that differ, after.
std::map<std::string, json> Changes(const std::map<std::string, json>& was,
                                    const std::map<std::string, json>& now) {
  std::map<std::string, json> changes;
  for (const auto& [key, fields] : now) {
    auto before = was.find(key);
    if (before == was.end()) {
      changes[key] = fields;
      continue;
    }
    json differs = json::object();
    for (const auto& [name, value] : fields.items())
      if (before->second.value(name, json()) != value) differs[name] = value;
    if (!differs.empty()) changes[key] = differs;
  }
  for (const auto& [key, fields] : was)
    if (!now.contains(key)) changes[key] = nullptr;
  return changes;
}

// The predicted changes of existing elements, and how many new ones, in the same form.
std::map<std::string, json> Predicted(const json& prediction, int& created) {
  std::map<std::string, json> changes;
  created = 0;
  for (const char* kind : kKinds)
    for (const auto& c : prediction[kind]) {
      if (c["id"].is_null()) {
        ++created;
        continue;
      }
      json after = c["after"];
      if (!after.is_null()) {
        json shown = json::object();
        for (const char* f : kCompared)
          if (after.contains(f)) shown[f] = after[f];
        if (shown.empty()) continue;  // a field show does not list (a migration's target)
        after = shown;
      }
      changes[std::string(kind) + " " + c["id"].get<std::string>()] = after;
    }
  return changes;
}

struct Drill {
  const char* name;
  std::vector<std::string> steps;
};

const Drill kDrills[] = {
    {"Normal", {}},
    {"Degraded", {"remove-drive X1 --force", "remove-drive X4 --force"}},
    {"Rebuilding", {"remove-drive X1 --force", "rebuild-volume r5 --drives X5"}},
    // r5's rebuild ended; r5b's new member X5 holds none of its data.
    {"StaleSibling", {"remove-drive X1 --force", "rebuild-volume r5 --drives X5", "wait r5"}},
    {"Failed", {"remove-drive X1 --force", "remove-drive X2 --force"}},
    {"Migrating", {"change-layout m1 --level 0 --force"}},
    // Half of m1 is striped: a lost member loses that half; half of r5 is rebuilt onto X5.
    {"MigratingHalfWay", {"change-layout m1 --level 0 --force", "sim advance 30000"}},
    {"RebuildingHalfWay",
     {"remove-drive X1 --force", "rebuild-volume r5 --drives X5", "sim advance 30000"}},
    // r5 and r5b taken back over two members that came back: their data is marked lost.
    {"Forced",
     {"sim fail-drive X1", "sim fail-drive X2", "mark-normal X1", "mark-normal X2",
      "mark-volume-normal r5 --force", "mark-volume-normal r5b --force"}},
    {"Initializing", {"initialize-volume r5"}},
};

// Every mutating command, on the drill's elements ({A} is r5's array, {T} the drill's topology).
const char* const kCommands[] = {
    "create-volume --name n1 --level 1 --size 10G --drives X6,X7",
    "create-volume --name n10 --level 10 --drives X5,X6,X7",
    "create-volume --name big --level 1 --size 15E --drives X6,X7",
    "create-volume --name cd --level 1 --drives X7,KD24000917",
    "delete-volume r5",
    "delete-volume m1",
    "rename-volume r5 r5x",
    "expand-volume r5 200G",
    "initialize-volume r5",
    "verify-volume r5",
    "verify-volume m1 --repair",
    "cancel-verify r5",
    "mark-volume-normal r5",
    "mark-volume-normal r5b",
    "rebuild-volume r5 --drives X6",
    "rebuild-volume r5b --drives X6",
    "rebuild-volume m1",
    "change-layout m1 --level 0",
    "change-layout r5 --strip 128K",
    "set-volume-cache r5 write-back",
    "set-volume-rwh r5 off",
    "add-drives {A} --drives X7",
    "set-array-cache {A} on",
    "locate X0 on",
    "write-cache X0 off",
    "clear-metadata X0",
    "clear-metadata X7",
    "mark-spare X0",
    "mark-spare X7",
    "unmark-spare X7",
    "mark-normal X0",
    "reset-smart X0",
    "remove-drive X0",
    "remove-drive X2",
    "remove-drive X3",
    "set-read-patrol c0d0 on",
    "set-rohi c0d0 on",
    "sim fail-drive X0",
    "sim pull-drive X4",
    "sim reset",                 // the demo machine: the X drives go, with the volumes on them
    "sim reset --topology {T}",  // the drill's machine as it was: its volumes go
};

class PredictThenAct : public Predictions, public ::testing::WithParamInterface<Drill> {};

// The dry run's answer is the run's: the changes field by field, a refusal with its status and
// exit code, and the losses the run asks about.
TEST_P(PredictThenAct, EveryCommandDoesWhatItsDryRunSaid) {
  Machine(GetParam().steps);
  const std::string machine = Slurp(state);
  const std::map<std::string, json> before = Shown();
  const std::string array = Volume("r5")["arrayId"];
  for (std::string command : kCommands) {
    if (auto at = command.find("{A}"); at != std::string::npos) command.replace(at, 3, array);
    if (auto at = command.find("{T}"); at != std::string::npos)
      command.replace(at, 3, (dir / "drill.json").string());
    SCOPED_TRACE(command);
    std::ofstream(state, std::ios::trunc) << machine;
    const Result dry = Run("--json --dry-run " + command, true);
    const json predicted = json::parse(dry.out, nullptr, false);
    ASSERT_TRUE(predicted.is_object()) << dry.out;
    EXPECT_EQ(Slurp(state), machine);
    if (!predicted.contains("dryRun")) {  // refused before anything was predicted
      EXPECT_EQ(predicted["status"]["kind"], "UsageError") << dry.out;
      EXPECT_EQ(Run("--json " + command, true).out, dry.out);
      continue;
    }
    Result real = Run("--json " + command, true);
    json outcome = json::parse(real.out, nullptr, false);
    const auto& losses = predicted["prediction"]["losses"];
    if (predicted["asksFirst"] == true || predicted["needsSystem"] == true) {
      EXPECT_EQ(real.exitCode, 2) << real.out;
      EXPECT_EQ(outcome["status"]["losses"], losses) << real.out;
      EXPECT_EQ(Slurp(state), machine);
      real = Run("--json " + command + " --force --system", true);
      outcome = json::parse(real.out, nullptr, false);
    } else if (!command.starts_with("sim ")) {  // what happens to the machine asks no one
      EXPECT_TRUE(losses.empty()) << dry.out;
    }
    EXPECT_EQ(real.exitCode, dry.exitCode) << dry.out << "\n" << real.out;
    if (predicted["prediction"]["refusal"].is_null()) {
      EXPECT_EQ(outcome["status"]["ok"], true) << real.out;
    } else {
      for (const char* field : {"kind", "message", "status", "errorCode"})
        EXPECT_EQ(outcome["status"][field], predicted["status"][field]) << real.out;
      EXPECT_EQ(Slurp(state), machine);
    }
    int created = 0;
    const auto expected = Predicted(predicted["prediction"], created);
    auto actual = Changes(before, Shown());
    int appeared = 0;
    for (auto it = actual.begin(); it != actual.end();)
      if (!before.contains(it->first)) {
        ++appeared;
        it = actual.erase(it);
      } else {
        ++it;
      }
    EXPECT_EQ(actual, expected) << dry.out;
    EXPECT_EQ(appeared, created) << dry.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Drills, PredictThenAct, ::testing::ValuesIn(kDrills),
                         [](const auto& info) { return std::string(info.param.name); });

// What the driver refuses, the dry run refuses the same way, with the run's exit code and status.
TEST_F(Predictions, TheDryRunOfWhatTheDriverRefusesFailsAsTheRunDoes) {
  const struct {
    std::vector<std::string> drill;
    std::string command;
    int exitCode, status;
  } cases[] = {
      {{"remove-drive X4 --force"}, "rebuild-volume m1", 1, 7},  // no drive named, no spare
      {{"remove-drive X1 --force", "remove-drive X2 --force"},
       "rebuild-volume r5 --drives X6",
       1,
       15},
      {{"remove-drive X1 --force", "remove-drive X2 --force"},
       "mark-volume-normal r5 --force",
       1,
       15},
      {{"initialize-volume r5"}, "change-layout r5 --strip 128K --force", 1, 14},
      {{}, "create-volume --name big --level 1 --size 15E --drives X6,X7", 2, 0},
      {{}, "create-volume --name n10 --level 10 --drives X5,X6,X7", 1, 7},
      {{}, "create-volume --name cd --level 1 --drives KS1A00000004,KD24000917", 1, 9},
      {{}, "mark-spare X0 --force", 1, 8},
      {{}, "clear-metadata X0 --force", 1, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    Machine(c.drill);
    const std::string machine = Slurp(state);
    const json dry = RunJson("--dry-run " + c.command, c.exitCode);
    const json real = RunJson(c.command, c.exitCode);
    EXPECT_EQ(dry["status"]["status"], c.status) << dry.dump(2);
    EXPECT_EQ(dry["status"], real["status"]);
    EXPECT_EQ(Slurp(state), machine);
  }
}

// Losing a member of an array fails or degrades every volume on it, and a member that holds none
// of a volume's data counts as lost for it.
TEST_F(Predictions, ARemovalCountsEveryVolumeOfTheArray) {
  Machine({"remove-drive X1 --force", "rebuild-volume r5 --drives X5"});
  const auto r5 = Volume("r5")["id"].get<std::string>();
  const auto r5b = Volume("r5b")["id"].get<std::string>();
  Result during = Run("--dry-run remove-drive X2");
  EXPECT_NE(
      during.out.find("lost: volume \"r5\" (" + r5 + ") fails: its 100.0 GiB of data are lost"),
      std::string::npos)
      << during.out;
  EXPECT_NE(
      during.out.find("lost: volume \"r5b\" (" + r5b + ") fails: its 100.0 GiB of data are lost"),
      std::string::npos)
      << during.out;

  // A migration to a level without redundancy loses it; one between redundant levels does not.
  const auto m1 = Volume("m1")["id"].get<std::string>();
  EXPECT_EQ(RunJson("--dry-run change-layout m1 --level 0")["prediction"]["losses"],
            json{"volume \"m1\" (" + m1 + ") loses its redundancy (RAID 1 to RAID 0)"});

  // r5's rebuild has ended: X5 holds r5's data, none of r5b's.
  Step("wait r5");
  const json after = RunJson("--dry-run remove-drive X2");
  EXPECT_EQ(after["prediction"]["losses"],
            (json{"volume \"r5\" (" + r5 + ") loses its redundancy (degraded)",
                  "volume \"r5b\" (" + r5b + ") fails: its 100.0 GiB of data are lost"}))
      << after.dump(2);
}

// Forcing a volume online over members that hold none of its data asks, says which, and leaves a
// mark that outlives the run until the volume is written whole again.
TEST_F(Predictions, ForcingAVolumeOnlineOverStaleMembersAsksAndIsRemembered) {
  Machine({"remove-drive X1 --force", "rebuild-volume r5 --drives X5", "wait r5",
           "remove-drive X2 --force", "rebuild-volume r5 --drives X6", "wait r5"});
  ASSERT_EQ(Volume("r5b")["stateName"], "failed");
  const auto r5b = Volume("r5b")["id"].get<std::string>();
  const json refused = RunJson("mark-volume-normal r5b", 2);
  EXPECT_EQ(refused["status"]["losses"],
            json{"volume \"r5b\" (" + r5b +
                 ") is forced online while members X5, X6 hold none of its data: what they hold "
                 "is taken as its data, and reads of it may return wrong data"})
      << refused.dump(2);
  EXPECT_EQ(Volume("r5b")["stateName"], "failed");
  Step("mark-volume-normal r5b --force");
  EXPECT_EQ(Volume("r5b")["stateName"], "normal");
  const std::string mark =
      "data lost: 100.0 GiB when it failed (members X5, X2, X6 held none of it), then forced "
      "online; no rebuild or repair brings lost data back: restore it from a backup, then "
      "acknowledge with `veskctl acknowledge-data-loss r5b`";
  EXPECT_EQ(Volume("r5b")["dataLost"]["members"], (json{"X5", "X2", "X6"}));
  EXPECT_EQ(RunJson("show r5b")["volume"]["dataLost"]["text"], mark);
  EXPECT_TRUE(Volume("r5")["dataLost"].is_null());
  EXPECT_NE(Run("show").out.find("\n      " + mark + "\n"), std::string::npos) << Run("show").out;
  EXPECT_NE(Run("show r5b").out.find("\n  " + mark + "\n"), std::string::npos);
  // Writing it whole (an initialization) does not bring the data back: the mark stays until
  // it is acknowledged, which is journaled.
  Step("initialize-volume r5b");
  Step("wait r5b");
  EXPECT_EQ(Volume("r5b")["dataLost"]["text"], mark);
  Step("acknowledge-data-loss r5b");
  EXPECT_TRUE(Volume("r5b")["dataLost"].is_null());
  const Result again = Run("acknowledge-data-loss r5b");
  EXPECT_EQ(again.exitCode, 2);
  EXPECT_EQ(again.out,
            "veskctl: volume \"r5b\" (" + r5b + ") has no data-loss mark to acknowledge\n");
}

// What a failure loses is what the members held: the prediction, the outcome, a verify's count
// and `check` agree, and the loss outlasts forcing and repair.
TEST_F(Predictions, ALossFollowsWhatTheMembersHeldAndLastsThroughForcingAndRepair) {
  Step("sim reset --force");
  Step("sim fail-drive KS1A00000001");  // the spare rebuilds System
  const json predicted = RunJson("--dry-run sim fail-drive KS1A00000002");
  const auto system = Volume("System")["id"].get<std::string>();
  EXPECT_EQ(predicted["prediction"]["losses"][0],
            "volume \"System\" (" + system +
                "), the system (boot) volume, fails: its 256.0 GiB of data are lost");
  Step("sim fail-drive KS1A00000002");
  Step("mark-normal KS1A00000002");
  Step("--force --system mark-volume-normal System");
  Step("verify-volume System --repair");
  const Result waited = Run("wait System");
  EXPECT_NE(waited.out.find("found 4194304 errors"), std::string::npos) << waited.out;
  EXPECT_EQ(Volume("System")["dataLost"]["bytes"], 274877906944u);
  EXPECT_EQ(Volume("System")["dataLost"]["failed"], true);
  EXPECT_EQ(Run("check").exitCode, 2);
  // Journaled as it failed and as it was forced, and by no run after that.
  std::vector<json> records;
  std::istringstream lines(Run("--json events --kind volume-data-lost", true).out);
  for (std::string line; std::getline(lines, line);) records.push_back(json::parse(line));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["dataLost"]["forced"], false);
  EXPECT_EQ(records[1]["dataLost"]["forced"], true);

  // Half way through RAID 1 -> RAID 0 the moved half is on both disks without redundancy.
  Step("sim reset --force");
  Step("--force change-layout System --level 0");
  Step("sim advance 30000");
  const json half = RunJson("--dry-run sim fail-drive KS1A00000002");
  EXPECT_EQ(half["prediction"]["losses"][0],
            "volume \"System\" (" + system +
                "), the system (boot) volume, fails: 128.0 GiB of its 256.0 GiB of data are lost");
  Step("sim fail-drive KS1A00000002");
  EXPECT_EQ(Volume("System")["stateName"], "failed");
  EXPECT_EQ(Volume("System")["dataLost"]["bytes"], 137438953472u);

  // A drive pulled while it is being added takes the moved part of the RAID 0 with it.
  Step("sim reset --force");
  Step("add-drives a0d0e100 --drives KN2K00004104");
  Step("sim advance 20000");
  const json pulled = RunJson("--dry-run sim pull-drive KN2K00004104");
  const auto scratch = Volume("Scratch")["id"].get<std::string>();
  const auto data = Volume("Data")["id"].get<std::string>();
  EXPECT_EQ(pulled["prediction"]["losses"],
            (json{"volume \"Data\" (" + data + ") loses its redundancy (degraded)",
                  "volume \"Scratch\" (" + scratch +
                      ") fails: 341.3 GiB of its 1.0 TiB of data are lost"}));
  Step("sim pull-drive KN2K00004104");
  EXPECT_EQ(Volume("Scratch")["dataLost"]["bytes"], 366503875925u);
  EXPECT_EQ(Volume("Data")["stateName"], "degraded");
}

// A dry run saves nothing, not even the clock a wait moves or the monitor's last look.
TEST_F(Predictions, ADryRunSavesNothing) {
  Machine({"initialize-volume r5"});
  const std::string machine = Slurp(state);
  EXPECT_EQ(Run("--dry-run wait r5").exitCode, 0);
  EXPECT_EQ(Run("--dry-run monitor --once").exitCode, 0);
  EXPECT_EQ(Slurp(state), machine);
  EXPECT_EQ(Volume("r5")["stateName"], "initializing");
}

// Against the real driver a prediction starts from the records the library read. On a machine
// whose members all hold their data those say everything, and the prediction is the same.
TEST_F(Predictions, FromTheRecordsTheLibraryReadThePredictionIsTheSame) {
  Machine({});
  Session session(state, StateFile::Options{true, true, 0});
  session.Refresh();
  for (const char* command : {"delete-volume r5", "remove-drive X1", "change-layout m1 --level 0",
                              "create-volume --name n1 --level 1 --size 10G --drives X6,X7",
                              "create-volume --name n10 --level 10 --drives X5,X6,X7",
                              "rebuild-volume m1", "mark-spare X0", "expand-volume r5 200G"}) {
    SCOPED_TRACE(command);
    CLI::App app;
    Commands commands(app);
    std::vector<std::string> arguments;
    for (std::istringstream words(command); !words.eof();) {
      std::string word;
      words >> word;
      arguments.push_back(word);
    }
    std::reverse(arguments.begin(), arguments.end());
    app.parse(arguments);
    const Plan plan = commands.Parsed()(session, Model::Of(session));
    const auto send = [&plan](Session& trial) { plan.send(trial); };
    json live = PredictionJson(Predict(session, send));
    json read = PredictionJson(Predict(session, send, true));
    EXPECT_TRUE(read["notKnown"].empty()) << read.dump(2);
    EXPECT_EQ(read, live);
  }
}

// The records do not tell the layout a running migration goes to: the prediction does not invent
// one, and says so.
TEST_F(Predictions, FromTheRecordsWhatTheyDoNotTellIsNotKnown) {
  Machine({"change-layout m1 --level 0 --force"});
  const std::string m1 = Volume("m1")["id"];
  Session session(state, StateFile::Options{true, true, 0});
  session.Refresh();
  CLI::App app;
  Commands commands(app);
  app.parse(
      std::vector<std::string>{"m1x", "m1", "rename-volume"});  // reversed, as CLI11 takes them
  const Plan plan = commands.Parsed()(session, Model::Of(session));
  const auto send = [&plan](Session& trial) { plan.send(trial); };
  json live = PredictionJson(Predict(session, send));
  json read = PredictionJson(Predict(session, send, true));
  ASSERT_EQ(read["volumes"].size(), 1u) << read.dump(2);
  // Only the name changes: no layout made up for the migration shows as changed.
  EXPECT_EQ(read["volumes"][0]["after"], (json{{"name", "m1x"}})) << read.dump(2);
  EXPECT_EQ(live["volumes"], read["volumes"]);
  const std::string what = "volume \"m1\" (" + m1 + ")";
  EXPECT_EQ(read["notKnown"],
            (json{"which members of " + what +
                      " hold its data: the driver does not say, so every present member is taken "
                      "as in sync",
                  "the layout or progress of the work running on " + what +
                      ": the driver reports only its percent done"}));
  EXPECT_TRUE(live["notKnown"].empty());
}

}  // namespace
}  // namespace veskctl::testing
