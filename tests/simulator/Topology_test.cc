// Loading and saving simulated topologies.
#include "simulator/Topology.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "tests/simulator/RequestBytes.h"

namespace vesk::sim::test {
namespace {

std::string Minimal(const std::string& controllerExtra) {
  return R"({"controllers": [{"id": "c0000000-0000-4000-8000-000000000001", "type": "sata")" +
         controllerExtra + "}]}";
}

void ExpectRefused(const std::string& json, const std::string& message) {
  try {
    LoadTopology(json);
    FAIL() << "loaded: " << json;
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "topology: " + message);
  }
}

// Every value the file names, saved again from the loaded model; a value that is no object or
// list is compared whole.
void ExpectSavedAsNamed(const nlohmann::json& saved, const nlohmann::json& named,
                        const std::string& at) {
  if (named.is_object()) {
    for (const auto& [key, value] : named.items()) {
      ASSERT_TRUE(saved.contains(key)) << at << "/" << key;
      ExpectSavedAsNamed(saved.at(key), value, at + "/" + key);
    }
  } else if (named.is_array() && saved.is_array() && saved.size() == named.size()) {
    for (std::size_t i = 0; i < named.size(); ++i) {
      ExpectSavedAsNamed(saved.at(i), named.at(i), at + "/" + std::to_string(i));
    }
  } else {
    EXPECT_EQ(saved, named) << at;
  }
}

TEST(TopologyFiles, ShippedTopologiesLoadEveryValueTheyName) {
  for (const char* name : {"demo", "legacy"}) {
    const std::string path = std::string(VESK_TOPOLOGY_DIR) + "/" + name + ".json";
    std::ifstream file(path);
    ExpectSavedAsNamed(nlohmann::json::parse(SaveTopology(LoadTopologyFile(path))),
                       nlohmann::json::parse(file), name);
  }
  Topology large = LoadTopologyFile(std::string(VESK_TOPOLOGY_DIR) + "/large.json");
  ASSERT_EQ(large.controllers[0].drives.size(), 600u);
  // A repeated drive entry counts identifiers, serial numbers and slots up.
  EXPECT_EQ(large.controllers[0].drives[599].id, Id("d0e1a000-0000-4000-8000-000000000257"));
  EXPECT_EQ(large.controllers[0].drives[599].serialNumber, "KN2KL599");
  EXPECT_EQ(large.controllers[0].drives[599].physicalSlotNumber, 609u);
  EXPECT_EQ(large.controllers[0].volumes.size(), 16u);
}

// Every refusal names the field as the file spells it, with its path, in one line.
TEST(TopologyFiles, MalformedInputIsRefusedWithItsReason) {
  const std::string drive =
      R"(, "drives": [{"id": "d0000000-0000-4000-8000-000000000001", "type": "sata")";
  const std::pair<std::string, std::string> cases[] = {
      {R"({"controllers": [{"id": "nonsense", "type": "sata"}]})",
       "controllers[0].id: \"nonsense\" is not an identifier xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx "
       "(not all zero)"},
      {R"({"controllers": {}})", "controllers: {} is not a list"},
      {R"([1, 2])", "the document: [1,2] is not an object"},
      {R"({"clockMs": 0})", "controllers is missing"},
      {Minimal(R"(, "specVersion": "5.0")"),
       "controllers[0].specVersion: \"5.0\" is not 1.0, 2.0, 3.0 or 4.0"},
      {Minimal(R"(, "type": "scsi")"), "controllers[0].type: \"scsi\" is not one of sata, dorn"},
      {Minimal(R"(, "raidLevels": [{"level": "raid0", "stripSizes": [4, 48]}])"),
       "controllers[0].raidLevels[0].stripSizes[1]: 48 is not a strip-size code 2^k with k from 0 "
       "to 14"},
      {Minimal(R"(, "raidLevels": [{"level": "raid0", "stripSizes": [32768]}])"),
       "controllers[0].raidLevels[0].stripSizes[0]: 32768 is not a strip-size code 2^k with k "
       "from 0 to 14"},
      {Minimal(R"(, "limits": {"maxVolumesPerArray": 70000})"),
       "controllers[0].limits.maxVolumesPerArray: 70000 is out of range (0 to 65535)"},
      {Minimal(drive + R"(, "sizeBlocks": -1}])"),
       "controllers[0].drives[0].sizeBlocks: -1 is out of range (0 to 18446744073709551615)"},
      {Minimal(drive + R"(, "port": 1.5}])"),
       "controllers[0].drives[0].port: 1.5 is not a whole number"},
      {Minimal(drive + R"(, "pciLinkRate": 8}])"),
       "controllers[0].drives[0].pciLinkRate: 8 is out of range (0 to 7)"},
      {Minimal(drive + R"(, "spare": "yes"}])"),
       "controllers[0].drives[0].spare: \"yes\" is not true or false"},
      {Minimal(drive + R"(, "model": "12345678901234567890123456789012345678901"}])"),
       "controllers[0].drives[0].model: \"12345678901234567890123456789012345678901\" is longer "
       "than 40 bytes"},
      {Minimal(drive + R"(, "status": "missing", "sizeBlocks": 8}])"),
       "controllers[0].drives[0].sizeBlocks: 8 given for a missing drive, which has no size"},
      {Minimal(
           R"(, "volumes": [{"id": "f0000000-0000-4000-8000-000000000001", "level": "raid0"}])"),
       "controllers[0].volumes[0].array is missing"},
      {Minimal(
           R"(, "arrays": [{"id": "a0000000-0000-4000-8000-000000000001", "drives": ["d0000000-0000-4000-8000-000000000001"]}])"),
       "array member d0000000-0000-4000-8000-000000000001 is not a drive of its controller"},
      {Minimal(drive + R"(}],
          "arrays": [{"id": "a0000000-0000-4000-8000-000000000001", "drives": ["d0000000-0000-4000-8000-000000000001"]},
                     {"id": "a0000000-0000-4000-8000-000000000002", "drives": ["d0000000-0000-4000-8000-000000000001"]}])"),
       "controllers[0].arrays[1].drives[0]: \"d0000000-0000-4000-8000-000000000001\" is a member "
       "of array a0000000-0000-4000-8000-000000000001 too"},
      {Minimal(
           R"(, "volumes": [{"id": "f0000000-0000-4000-8000-000000000001", "array": "a0000000-0000-4000-8000-000000000009", "level": "raid0"}])"),
       "volume f0000000-0000-4000-8000-000000000001 names an unknown array"},
      {Minimal(R"(, "drives": [{"id": "c0000000-0000-4000-8000-000000000001", "type": "sata"}])"),
       "identifier c0000000-0000-4000-8000-000000000001 is used twice"},
      // A serial number names one drive of the machine: the CLI and the console name drives by it.
      {R"({"controllers": [{"id": "c0000000-0000-4000-8000-000000000001", "type": "sata",
            "drives": [{"id": "d0000000-0000-4000-8000-000000000001", "type": "sata", "serial": "K1"}]},
          {"id": "c0000000-0000-4000-8000-000000000002", "type": "sata",
            "drives": [{"id": "d0000000-0000-4000-8000-000000000002", "type": "sata", "serial": "K"},
                       {"id": "d0000000-0000-4000-8000-000000000003", "type": "sata", "serial": "K",
                        "count": 2}]}]})",
       "controllers[1].drives[1].serial: \"K1\" is the serial number of controllers[0].drives[0] "
       "too"},
      {"{\"controllers\": [\n  {\"id\": 1,,", "not valid JSON (line 2, column 12)"},
  };
  for (const auto& [json, message] : cases) ExpectRefused(json, message);
  // The ends of a range are in it.
  EXPECT_EQ(LoadTopology(Minimal(R"(, "limits": {"maxVolumesPerArray": 65535},
                                    "osDriverVersion": "65535.65535.65535.65535")"))
                .controllers[0]
                .maxVolumesPerArray,
            65535);
  EXPECT_THROW(LoadTopologyFile("/nonexistent/topology.json"), std::runtime_error);
}

// A file may only describe a machine the driver could have come to: each refusal names the field.
TEST(TopologyFiles, InconsistentStatesAreRefusedWithTheFieldsPath) {
  const std::string drives = R"(, "drives": [
      {"id": "d0000000-0000-4000-8000-000000000001", "type": "sata", "sizeBlocks": 1000},
      {"id": "d0000000-0000-4000-8000-000000000002", "type": "sata", "sizeBlocks": 1000},
      {"id": "d0000000-0000-4000-8000-000000000003", "type": "sata", "status": "failed",
       "sizeBlocks": 1000}],
      "arrays": [{"id": "a0000000-0000-4000-8000-000000000001",
                  "drives": ["d0000000-0000-4000-8000-000000000001",
                             "d0000000-0000-4000-8000-000000000003"]}])";
  auto volume = [&](const std::string& fields) {
    return Minimal(drives + R"(, "volumes": [{"id": "f0000000-0000-4000-8000-000000000001",
        "array": "a0000000-0000-4000-8000-000000000001", )" +
                   fields + "}]");
  };
  const std::pair<std::string, std::string> cases[] = {
      {volume(R"("level": "raid0", "size": 4096)"),
       "controllers[0].volumes[0].state: \"normal\" claims better health than its members give "
       "(failed)"},
      {volume(R"("level": "raid1", "size": 4096, "state": "verifying",
                  "task": {"kind": "verify"})"),
       "controllers[0].volumes[0].state: \"verifying\" claims better health than its members "
       "give (degraded)"},
      {volume(R"("level": "raid1", "size": 4096, "state": "rebuilding")"),
       "controllers[0].volumes[0].state: \"rebuilding\" is work in progress, but the volume has "
       "no task"},
      {volume(
           R"("level": "raid1", "size": 4096, "state": "degraded", "task": {"kind": "rebuild"})"),
       "controllers[0].volumes[0].task.kind: \"rebuild\" is not the work of a volume in state "
       "\"degraded\""},
      {volume(R"("level": "raid1", "size": 4096, "state": "degraded",
                  "staleDrives": ["d0000000-0000-4000-8000-000000000002"])"),
       "controllers[0].volumes[0].staleDrives[0]: \"d0000000-0000-4000-8000-000000000002\" is "
       "not a member of the volume's array"},
      {volume(R"("level": "raid1", "size": 1000000000000000000, "state": "degraded")"),
       "controllers[0].volumes[0].size: 1000000000000000000 does not fit its array: its volumes "
       "take 2000000000000000000 bytes of the array's 1024000"},
      {Minimal(R"(, "drives": [{"id": "d0000000-0000-4000-8000-000000000001", "type": "sata",
                                "pulled": {"sizeBlocks": 8}}])"),
       "controllers[0].drives[0].pulled: {\"sizeBlocks\":8} given for a drive that is there"},
  };
  for (const auto& [json, message] : cases) ExpectRefused(json, message);
  // The degraded mirror the members give, and work that may run on it, load.
  EXPECT_NO_THROW(LoadTopology(volume(R"("level": "raid1", "size": 512000, "state": "degraded")")));
  EXPECT_NO_THROW(LoadTopology(volume(R"("level": "raid1", "size": 4096, "state": "rebuilding",
                                         "task": {"kind": "rebuild"})")));
}

TEST(TopologyFiles, SaveAndLoadRoundTripEverythingIncludingWork) {
  Topology demo = LoadTopologyFile(std::string(VESK_TOPOLOGY_DIR) + "/demo.json");
  Task task{Task::Kind::Migration};
  task.targetLevel = 4;
  task.targetStripSize = 32;
  task.elapsedMs = 1234;
  task.durationMs = 5000;
  task.joiningDrives = {Nvme(3)};
  demo.controllers[1].volumes[0].task = task;
  demo.controllers[1].volumes[0].state = volume_state::kMigrating;
  demo.controllers[1].volumes[1].staleDrives = {Nvme(1)};
  demo.controllers[1].volumes[1].state = volume_state::kFailed;
  demo.controllers[1].volumes[0].latentErrors = 3;
  demo.controllers[0].drives[3].status = drive_status::kSmartEvent;
  demo.controllers[0].drives[3].ledActive = true;
  demo.clockMs = 777;
  demo.nextObjectNumber = 42;

  std::string saved = SaveTopology(demo);
  Topology again = LoadTopology(saved);
  EXPECT_EQ(SaveTopology(again), saved);
  ASSERT_TRUE(again.controllers[1].volumes[0].task);
  EXPECT_EQ(again.controllers[1].volumes[0].task->elapsedMs, 1234u);
  EXPECT_EQ(again.controllers[1].volumes[0].task->targetStripSize, 32u);
  EXPECT_EQ(again.controllers[1].volumes[0].task->joiningDrives, task.joiningDrives);
  EXPECT_EQ(again.controllers[1].volumes[1].staleDrives,
            demo.controllers[1].volumes[1].staleDrives);
  EXPECT_EQ(again.controllers[1].volumes[0].latentErrors, 3u);
  EXPECT_EQ(again.controllers[0].drives[3].status, drive_status::kSmartEvent);
  EXPECT_EQ(again.clockMs, 777u);
  EXPECT_EQ(again.nextObjectNumber, 42u);
}

// Every member counts as large as the smallest present one, wherever it stands in the array.
TEST(TopologyModel, ArrayOfUnequalDrivesIsSizedByTheSmallest) {
  Controller c;
  c.drives.resize(4);
  Array array;
  for (int i = 0; i < 4; ++i) {
    c.drives[i].id = Nvme(i);
    c.drives[i].blocks = i == 1 ? 1000 : 3000;
    if (i < 3) array.drives.push_back(c.drives[i].id);
  }
  c.drives[3].blocks = 500;  // not a member
  EXPECT_EQ(c.ArrayTotalSize(array), 3 * 1000 * 512u);
}

TEST(Guids, OnlyTheFullTextFormParses) {
  EXPECT_EQ(Id("0123abcd-4567-89ef-0a1b-2c3d4e5f6a7b").group4, 0x0a1b);
  EXPECT_FALSE(ParseGuid("0123abcd-4567-89ef-0a1b-2c3d4e5f6a7"));
  EXPECT_FALSE(ParseGuid("0123abcd+4567-89ef-0a1b-2c3d4e5f6a7b"));
  EXPECT_FALSE(ParseGuid("0123abcd-4567-89ef-0a1b-2c3d4e5f6a7g"));
}

}  // namespace
}  // namespace vesk::sim::test
