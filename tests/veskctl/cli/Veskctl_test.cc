// veskctl run as a process against a temporary state file, the way an administrator uses it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "VeskctlTest.h"
#include "Watchdog.h"
#include "simulator/Machine.h"
#include "simulator/RaidDriver.h"
#include "tools/veskctl/base/Names.h"
#include "tools/veskctl/monitor/Metrics.h"
#include "tools/veskctl/service/Service.h"

bool VerifyAndRepair(const std::string& name);  // the README's example (ReadmeExample.cc)

namespace {

using veskctl::testing::Result;
using veskctl::testing::VeskctlTest;
namespace fs = std::filesystem;

TEST_F(VeskctlTest, ShowCreateShowAgain) {
  Result first = Run("show");
  ASSERT_EQ(first.exitCode, 0) << first.out;
  EXPECT_NE(first.out.find("Controller "), std::string::npos);
  EXPECT_NE(first.out.find("Volume "), std::string::npos);
  EXPECT_NE(
      first.out.find("  Drives outside arrays\n    Drive 5a7a0000-0000-4000-8000-000000000002 "
                     " Korva KS1000 1TB  serial KS1A00000003  931.5 GiB  SATA disk  normal "
                     " spare  SCSI 0:2:0:0  port 2  write cache on\n    Drive 5a7a"),
      std::string::npos)
      << first.out;

  nlohmann::json topology = RunJson("show");
  ASSERT_FALSE(topology.is_discarded());
  // Global options may also follow the command.
  Result trailing = Run("show --json");
  EXPECT_EQ(trailing.exitCode, 0) << trailing.out;
  EXPECT_EQ(nlohmann::json::parse(trailing.out, nullptr, false), topology);
  EXPECT_EQ(topology["schemaVersion"], 3);
  EXPECT_EQ(topology["status"]["ok"], true);
  ASSERT_EQ(topology["controllers"].size(), 2u);

  // Two pass-through disks make a new RAID 1 volume.
  std::vector<std::string> free;
  for (auto& d : All(topology, "drives")) {
    if (d["usageName"] == "pass-through" && d["typeName"] == "NVMe") free.push_back(d["id"]);
  }
  ASSERT_GE(free.size(), 2u) << topology.dump(2);
  // A prefix that names several drives is refused before anything is sent.
  Result ambiguous = Run("create-volume --name backup --level 1 --drives d0e1," + free[1]);
  EXPECT_EQ(ambiguous.exitCode, 2);
  EXPECT_NE(ambiguous.out.find("is ambiguous"), std::string::npos) << ambiguous.out;
  // A unique prefix is enough.
  nlohmann::json created = RunJson(
      "create-volume --controller c0d0 --name backup --level 1 "
      "--drives " +
      free[0] + "," + free[1]);
  ASSERT_FALSE(created.is_discarded());
  const std::string volumeId = created["result"]["volumeId"];

  nlohmann::json after = RunJson("show");
  bool found = false;
  for (auto& v : All(after, "volumes")) {
    if (v["id"] != volumeId) continue;
    found = true;
    EXPECT_EQ(v["name"], "backup");
    EXPECT_EQ(v["raidLevelName"], "RAID 1");
  }
  EXPECT_TRUE(found) << after.dump(2);
  EXPECT_NE(Run("show").out.find("\"backup\""), std::string::npos);

  // Each controller policy reaches the controller named, and only that policy.
  ASSERT_EQ(Run("set-rohi c0d0 on").exitCode, 0);
  ASSERT_EQ(Run("set-read-patrol c0a7 on").exitCode, 0);
  const nlohmann::json controllers = RunJson("show")["controllers"];
  EXPECT_EQ(controllers[0]["readPatrolEnabled"], true);
  EXPECT_EQ(controllers[0]["rohiEnabled"], false);
  EXPECT_EQ(controllers[1]["readPatrolEnabled"], false);
  EXPECT_EQ(controllers[1]["rohiEnabled"], true);
}

// A name another tool gave is one volume's name and the start of another's identifier.
TEST_F(VeskctlTest, ArgumentsThatFitSeveralElementsOrOnlyAnIdentifierPrefixAreRefused) {
  nlohmann::json topology = nlohmann::json::parse(Slurp(VESK_TOPOLOGY_DIR "/demo.json"));
  topology["controllers"][1]["volumes"][1]["name"] = "f0a7";
  std::ofstream(dir / "named.json") << topology.dump();
  ASSERT_EQ(Run("sim reset --topology " + (dir / "named.json").string()).exitCode, 0);
  const std::string system = "f0a7a000-0000-4000-8000-000000000001";
  const std::string scratch = "f0d0e100-0000-4000-8000-000000000002";
  const struct {
    std::string arguments, message;
  } cases[] = {
      {"delete-volume f0a7", "volume \"System\"  " + system +
                                 "  (by identifier prefix)\n  volume \"f0a7\"  " + scratch +
                                 "  (by name)"},
      {"rename-volume f0 Other", "'f0' is ambiguous: it fits 3 volumes"},
      {"delete-volume " + system.substr(0, 35),
       "is only the beginning of the identifier of volume \"System\""},
      {"remove-drive d0e10000-0000-4000-8000-00000000000", "fits 6 drives"},
      {"clear-metadata 5a7a0000-0000-4000-8000-0000000000f",
       "only the beginning of the identifier of drive \"KD24000917\""},
      {"change-layout Data --level 0 --drives d0e10000-0000-4000-8000-00000000000",
       "'d0e10000-0000-4000-8000-00000000000' is ambiguous"},
  };
  for (const auto& c : cases) {
    Result r = Run(c.arguments);
    EXPECT_EQ(r.exitCode, 2) << c.arguments << "\n" << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.arguments << "\n" << r.out;
  }
  nlohmann::json refused = RunJson("delete-volume f0a7", 2);
  EXPECT_EQ(refused["status"]["candidates"].size(), 2u) << refused.dump(2);
  EXPECT_EQ(All(RunJson("show"), "volumes").size(), 3u);
}

// One element in detail, named like any element argument; a name two arrays share names neither.
TEST_F(VeskctlTest, ShowOneElementInDetail) {
  const nlohmann::json topology = RunJson("show");
  const std::string dorn =
      "c0d0e100-0000-4000-8000-000000000002 \"Korva Dorn NVMe RAID Controller\"";
  const struct {
    std::string argument, kind;
    std::vector<std::string> lines;
    nlohmann::json element;  // as the whole topology gives it
  } cases[] = {
      {"c0a7",
       "controller",
       {"  RAID levels: RAID 0 (2-6 drives), RAID 1 (2-2 drives), RAID 10 (4-4 drives), RAID 5 "
        "(3-6 drives)\n  PCI:                 vendor 0x1d6a, device 0x2822, subsystem 0x7a30, "
        "revision 3\n  device number:       0\n  mode:                2\n",
        "\n  RAID 1:              2-2 drives; no strip; migrates to RAID 0, RAID 5 (+1 drives)\n"},
       topology["controllers"][0]},
      {"a0d0e100-0000-4000-8000-000000000001",
       "array",
       {"\n  controller:          " + dorn + "\n",
        "\n  total size:          7.3 TiB (8001595736064 bytes)\n  free size:           2.3 TiB "
        "(2504037597184 bytes)\n"},
       topology["controllers"][1]["arrays"][0]},
      {"Scratch",
       "volume",
       {"\n  array:               a0d0e100-0000-4000-8000-000000000001, ordinal 1 in it\n",
        "\n  members in array order: 1 KN2K00004100 in sync, 2 KN2K00004101 in sync, 3 "
        "KN2K00004102 in sync, 4 KN2K00004103 in sync\n",
        "\n  logical block size:  512 bytes\n"},
       Volume("Scratch")},
      {"KS1A00000001",
       "drive",
       {"\n  flags:               LED off (LED support yes), write cache on, partitions yes, "
        "system "
        "drive yes, pre-boot visible yes\n"},
       topology["controllers"][0]["drives"][0]},
      {"KN2K00004102",
       "drive",
       {"\n  volumes:             \"Data\", \"Scratch\"\n",
        "\n  NVMe:                vendor 0x1d6a, socket 0, Dorn controller 0, root port offset 2, "
        "slot 12\n"},
       topology["controllers"][1]["drives"][2]},
  };
  for (const auto& c : cases) {
    Result text = Run("show " + c.argument);
    EXPECT_EQ(text.exitCode, 0) << text.out;
    for (const auto& line : c.lines) EXPECT_NE(text.out.find(line), std::string::npos) << text.out;
    nlohmann::json shown = RunJson("show " + c.argument);
    EXPECT_EQ(shown["kind"], c.kind);
    EXPECT_EQ(shown[c.kind], c.element) << shown.dump(2);
  }
  EXPECT_EQ(topology["controllers"][0]["specificationVersion"], "4.0");
  EXPECT_TRUE(topology["controllers"][1]["mode"].is_null());  // a Dorn controller has none
  // Strip sizes in bytes, the offered ones as a list; members and volumes by identifier.
  const auto& raid0 = topology["controllers"][0]["raidLevels"][0];
  EXPECT_EQ(raid0["raidLevelName"], "RAID 0");
  EXPECT_EQ(raid0["supportedStripSizes"],
            nlohmann::json({4096, 8192, 16384, 32768, 65536, 131072}));
  EXPECT_EQ(Volume("Scratch")["stripSize"], 131072);
  EXPECT_TRUE(Volume("Scratch")["progress"].is_null());  // no work runs
  EXPECT_EQ(Volume("Scratch")["driveIds"].size(), 4u);
  EXPECT_EQ(topology["controllers"][1]["arrays"][0]["volumeIds"].size(), 2u);

  nlohmann::json ambiguous = RunJson("show Array_0000", 2);
  EXPECT_EQ(ambiguous["status"]["candidates"].size(), 2u) << ambiguous.dump(2);
  EXPECT_EQ(Run("show nothing").out, "veskctl: no element 'nothing' (see 'veskctl show')\n");
}

// The driver names the first array of each controller Array_0000: text that names an array gives
// its identifier as well, so that the two are told apart.
TEST_F(VeskctlTest, ArraysThatShareANameAreToldApartWhereverTextNamesThem) {
  EXPECT_EQ(Run("wait a0a7").out,
            "No background work runs on array \"Array_0000\" "
            "(a0a7a000-0000-4000-8000-000000000001).\n");
  EXPECT_EQ(Run("wait a0d0").out,
            "No background work runs on array \"Array_0000\" "
            "(a0d0e100-0000-4000-8000-000000000001).\n");
  const std::string elsewhere =
      "drive KS1A00000004 is on controller \"Korva SATA RAID Controller\" but array "
      "\"Array_0000\" (a0d0e100-0000-4000-8000-000000000001) is on controller \"Korva Dorn NVMe "
      "RAID Controller\"; an array's drives share one controller";
  Result r = Run("add-drives a0d0 --drives KS1A00000004");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out, "veskctl: " + elsewhere + "\n");
  EXPECT_EQ(RunJson("add-drives a0d0 --drives KS1A00000004", 2)["status"]["message"], elsewhere);
}

// A driver refusal says the status's name and what it means, in text and JSON.
TEST_F(VeskctlTest, DriverRefusalExitsOneWithTheStatusInWords) {
  const std::string words =
      "DriveInUse \u2014 drive is a member of another array, a spare, a "
      "journaling drive, or listed twice";
  Result text = Run("mark-spare KN2K00004100");  // an array member
  EXPECT_EQ(text.exitCode, 1);
  EXPECT_NE(text.out.find("Unable to mark drive as spare. IOCTL completed with error. (driver "
                          "status 8: " +
                          words + ")"),
            std::string::npos)
      << text.out;
  nlohmann::json refused = RunJson("mark-spare KN2K00004100", 1);
  EXPECT_EQ(refused["status"]["kind"], "VeskException");
  EXPECT_EQ(refused["status"]["message"],
            "Unable to mark drive as spare. IOCTL completed with error.");
  EXPECT_EQ(refused["status"]["status"], 8);
  EXPECT_EQ(refused["status"]["errorCode"], 8);
  EXPECT_EQ(refused["status"]["statusName"], "DriveInUse");
  EXPECT_EQ(refused["status"]["statusText"], words.substr(words.find(' ') + 5));
}

// veskctl's words for the driver's statuses are those of the simulator's documentation.
TEST(DriverStatusWordsTest, AreTheStatusTableOfTheSimulatorDocument) {
  std::ifstream doc(VESK_DOCS_DIR "/simulator.md");
  const std::regex row(R"(\| (\d+) \| (\w+) \| (.*) \|)");
  bool inTable = false;
  std::size_t rows = 0;
  for (std::string line; std::getline(doc, line);) {
    if (line.rfind("## ", 0) == 0) inTable = line == "## Status codes";
    std::smatch m;
    if (!inTable || !std::regex_match(line, m, row)) continue;
    ++rows;
    const auto words = veskctl::WordsForDriverStatus(std::stoul(m[1]));
    EXPECT_EQ(words.name, m[2].str());
    EXPECT_EQ(words.text, m[3].str());
  }
  EXPECT_EQ(rows, veskctl::DriverStatusTable().size());
}

// Built without prometheus-cpp, metrics say why they are missing (veskctl exits 1 with it).
TEST(MetricsTest, WithoutPrometheusCppSayTheyAreNotBuiltIn) {
  try {
    veskctl::Metrics metrics;
    ADD_FAILURE() << "metrics were made";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "metrics are not built in: this veskctl was built without prometheus-cpp "
                 "(Debian's prometheus-cpp-dev; scripts/setup.sh installs it)");
  }
}

// Without a service control manager every service command points to systemd, changing nothing;
// install's arguments are checked first, as they are on Windows.
TEST_F(VeskctlTest, TheServiceIsWindowsOnlyAndSaysWhereToLookElsewhere) {
  const std::string elsewhere =
      "veskctl: service: the monitor runs as a Windows service on Windows only; here let systemd "
      "run it, with the unit in docs/monitoring.md\n";
  for (const char* words : {"install --program /bin/true --console --port 9000", "uninstall",
                            "start", "stop", "status", "run --syslog"}) {
    const Result r = Run(std::string("service ") + words);
    EXPECT_EQ(r.exitCode, 2) << words;
    EXPECT_EQ(r.out, elsewhere) << words;
  }
  const nlohmann::json j = RunJson("service status", 2);
  EXPECT_EQ(j["status"]["kind"], "service");
  EXPECT_FALSE(fs::exists(state));
  const struct {
    const char* words;
    const char* message;
  } refused[] = {
      {"install --once",
       "veskctl: service: --once is not for a service, which runs until it is "
       "stopped\n"},
      {"install --port 9000", "veskctl: service: --port requires --console\n"},
      {"install --port 0 --console", "veskctl: service: --port: Value 0 not in range 1 to 65535\n"},
      {"install --colour", "veskctl: service: The following argument was not expected: --colour\n"},
  };
  for (const auto& c : refused) {
    const Result r = Run(std::string("service ") + c.words);
    EXPECT_EQ(r.exitCode, 2) << c.words;
    EXPECT_EQ(r.out, c.message) << c.words;
  }
}

// The service's command line records what was checked: flags bare, values as typed, and the
// program's path absolute, since the service starts in another folder.
TEST(ServiceSetupTest, RecordsTheMonitorsOptionsAsTheServiceRunsThem) {
  const auto setup = veskctl::ReadServiceSetup(
      {"--syslog", "--console", "--program", "bin/page", "--port", "9000", "--interval", "0.5"});
  EXPECT_EQ(setup.arguments, (std::vector<std::string>{"--interval", "0.5", "--program",
                                                       fs::absolute("bin/page").string(),
                                                       "--syslog", "--console", "--port", "9000"}));
  EXPECT_TRUE(setup.monitor.syslog && setup.console);
  EXPECT_EQ(setup.port, 9000);
  EXPECT_EQ(veskctl::ReadServiceSetup({}).port, veskctl::kServiceConsolePort);
  // A program named bare is looked for in PATH; a secret is always a file.
  EXPECT_EQ(veskctl::ReadServiceSetup({"--program", "vesk-page-nowhere", "--webhook",
                                       "http://127.0.0.1:9/", "--webhook-secret", "hook.secret"})
                .arguments,
            (std::vector<std::string>{"--program", "vesk-page-nowhere", "--webhook",
                                      "http://127.0.0.1:9/", "--webhook-secret",
                                      fs::absolute("hook.secret").string()}));
}

// Whatever goes wrong, --json prints exactly one JSON object on stdout and never aborts.
TEST_F(VeskctlTest, JsonIsOneObjectWhateverHappens) {
  const struct {
    std::string arguments;
    int exitCode;
    const char* kind;
  } cases[] = {
      {"shwo", 2, "UsageError"},
      {"create-volume --name x", 2, "UsageError"},
      {"delete-volume \xff\xfe", 2, "UsageError"},
      {"rename-volume Data \xff", 2, "UsageError"},
      {"initialize-volume Data --force", 1, "VeskException"},
  };
  for (const auto& c : cases) {
    nlohmann::json j = RunJson(c.arguments, c.exitCode);
    ASSERT_TRUE(j.is_object()) << c.arguments;
    EXPECT_EQ(j["status"]["kind"], c.kind) << j.dump(2);
  }
  EXPECT_NE(RunJson("--help")["help"].get<std::string>().find("create-volume"), std::string::npos);
  {
    std::ofstream out(state);
    out << "{\"format\": \"\xff\"}";
  }
  EXPECT_EQ(RunJson("show", 1)["status"]["kind"], "state");
}

// Each case is refused with exit 2 and a message saying what is wrong; nothing is sent or saved.
TEST_F(VeskctlTest, WhatTheUserTypedIsCheckedBeforeAnythingIsSent) {
  ASSERT_EQ(Run("sim reset").exitCode, 0);
  const std::string saved = Slurp(state);
  const std::string create = "create-volume --name x --drives KN2K00004104,KN2K00004105 --level ";
  const struct {
    std::string arguments, message;
  } cases[] = {
      {"no-such-command", "unknown command 'no-such-command' (see 'veskctl --help')"},
      {"create-volume --name x", "--level is required"},
      {"delete-volume ffffffff", "no volume 'ffffffff'"},
      {"create-volume --name x --level 1 --drives KS1A00000004,KN2K00004104",
       "drive KN2K00004104 is on controller \"Korva Dorn NVMe RAID Controller\" but drive "
       "KS1A00000004 is on controller \"Korva SATA RAID Controller\""},
      {"rebuild-volume Data --drives KS1A00000004", "but volume \"Data\""},
      {"create-volume --name x --level 1 --drives KN2K00004104,KN2K00004104", "is named twice"},
      {"change-layout Data --level 5 --strip 64", "change-layout would change nothing"},
      {create + "1 --size 0", "the size cannot be 0 bytes"},
      {create + "1 --size 1.5", "the size '1.5' is 1.5 bytes, not a whole number"},
      {create + "1 --size 0x1000", "cannot read the size '0x1000'"},
      {create + "1 --size 1000", "is not a whole number of 512-byte blocks"},
      {create + "1 --size 16E", "the size '16E' is 2^64 bytes or more"},
      {"expand-volume System 200G", "must be larger than the volume's 274877906944 bytes"},
      {"sim advance -1", "a whole number of milliseconds, not '-1'"},
      {"sim advance 9223372036854775808", "cannot move past 2^63 ms"},
      {"rename-volume Data ' Data'", "cannot begin or end with a blank"},
      {"rename-volume Data '   '", "cannot be only blanks"},
      {"rename-volume Data ''", "cannot be empty"},
      {"rename-volume Data "
       "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9",
       "has 18 bytes (9 characters)"},
      {create + "-1", "unknown RAID level '-1'"},
      {create + "4", "does not offer RAID 4 (it offers RAID 0, RAID 1, RAID 10, RAID 5)"},
      {create + "0 --strip 65536",
       "strip size '65536' is not offered for RAID 0; the controller offers 4 KiB, 8 KiB"},
  };
  for (const auto& c : cases) {
    Result r = Run(c.arguments);
    EXPECT_EQ(r.exitCode, 2) << c.arguments << "\n" << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.arguments << "\n" << r.out;
  }
  EXPECT_EQ(Slurp(state), saved);
  // What is right passes: fractions of larger units, and strip sizes with a unit.
  EXPECT_EQ(Run(create + "0 --size 1.5GiB --strip 128K").exitCode, 0);
}

// An empty argument or list item (a shell variable never set, a comma too many) is refused, never
// taken as no argument at all: `show ''` would print everything, `--drives A,` act on A alone.
TEST_F(VeskctlTest, AnEmptyNameOrListItemIsAUsageError) {
  ASSERT_EQ(Run("sim reset").exitCode, 0);
  const std::string saved = Slurp(state);
  const std::string named =
      " name ('') names nothing; elements are named by identifier, name or "
      "serial number (see 'veskctl show')";
  const std::string items =
      " is empty; separate the names by single commas, with none at either end";
  const std::string create = "create-volume --name x --level 1 --drives ";
  const std::pair<std::string, std::string> cases[] = {
      {"show ''", "an empty element" + named},
      {"wait ''", "an empty element" + named},
      {create + "KN2K00004104,KN2K00004105,",
       "--drives 'KN2K00004104,KN2K00004105,': item 3 of 3" + items},
      {create + "KN2K00004104 --drives KN2K00004105,,KN2K00004103",
       "--drives 'KN2K00004105,,KN2K00004103': item 2 of 3" + items},
      {"add-drives a0d0 --drives ''", "--drives '': item 1 of 1" + items},
  };
  for (const auto& [arguments, message] : cases) {
    Result r = Run(arguments);
    EXPECT_EQ(r.exitCode, 2) << arguments;
    EXPECT_EQ(r.out, "veskctl: " + message + "\n") << arguments;
    const nlohmann::json json = RunJson(arguments, 2);
    EXPECT_EQ(json["status"], nlohmann::json({{"ok", false},
                                              {"kind", "UsageError"},
                                              {"message", message},
                                              {"status", 0},
                                              {"errorCode", 0}}))
        << arguments;
  }
  EXPECT_EQ(Slurp(state), saved);
  // A list in pieces is one list.
  EXPECT_EQ(Run(create + "KN2K00004104 --drives KN2K00004105").exitCode, 0);
  EXPECT_FALSE(Volume("x").is_null());
}

// Off a terminal, and with --json, destructive work needs --force; on a terminal it asks.
TEST_F(VeskctlTest, DestructiveCommandsAskFirstOrNeedForce) {
  Result refused = Run("delete-volume System");
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_NE(refused.out.find("refused to delete volume \"System\""), std::string::npos);
  EXPECT_NE(refused.out.find("the system (boot) volume, is deleted with its 256.0 GiB of data"),
            std::string::npos)
      << refused.out;
  EXPECT_NE(refused.out.find("run it again with --system"), std::string::npos);
  nlohmann::json json = RunJson("delete-volume System", 2);
  EXPECT_EQ(json["status"]["kind"], "UsageError");
  EXPECT_EQ(json["status"]["losses"].size(), 1u) << json.dump(2);

  for (const char* answer : {"no\n", "\n", "yess\n"}) {
    Result cancelled = RunOnTerminal("remove-drive KN2K00004102", answer);
    EXPECT_EQ(cancelled.exitCode, 1) << cancelled.out;
    EXPECT_NE(cancelled.out.find("\"Scratch\" (f0d0e100-0000-4000-8000-000000000002) fails"),
              std::string::npos)
        << cancelled.out;
    EXPECT_NE(cancelled.out.find("Cancelled."), std::string::npos) << cancelled.out;
  }
  EXPECT_EQ(Volume("Scratch")["stateName"], "normal");
  Result agreed = RunOnTerminal("remove-drive KN2K00004102", "yes\n");
  EXPECT_EQ(agreed.exitCode, 0) << agreed.out;
  EXPECT_EQ(Volume("Scratch")["stateName"], "failed");
  // The plain --force of any other deletion is not enough for the volume the computer starts
  // from.
  Result plain = Run("delete-volume System --force");
  EXPECT_EQ(plain.exitCode, 2);
  EXPECT_NE(plain.out.find("it endangers the system (boot) volume"), std::string::npos)
      << plain.out;
  EXPECT_FALSE(Volume("System").is_null());
  EXPECT_EQ(Run("delete-volume System --force --system").exitCode, 0);
  EXPECT_TRUE(Volume("System").is_null());
  // A drive the computer starts from is given another role only with --system.
  Result spare = Run("mark-spare KS1A00000001 --force");
  EXPECT_EQ(spare.exitCode, 2);
  EXPECT_NE(spare.out.find("drive KS1A00000001 (5a7a0000-0000-4000-8000-000000000000) is a system "
                           "drive with partitions: given another role, what the system keeps on "
                           "it can be overwritten"),
            std::string::npos)
      << spare.out;
  // Its drives are pass-through now, and one holds partitions: taking it asks first.
  Result partitioned = Run("create-volume --name y --level 1 --drives KS1A00000001,KS1A00000002");
  EXPECT_EQ(partitioned.exitCode, 2);
  EXPECT_NE(partitioned.out.find("drive KS1A00000001 (5a7a0000-0000-4000-8000-000000000000) holds "
                                 "partitions; its contents are overwritten"),
            std::string::npos)
      << partitioned.out;
}

// Starting over is predicted like any command, from the machine as it is: what was made since is
// lost, so it asks first; a start over that loses nothing asks nothing.
TEST_F(VeskctlTest, StartingOverSaysWhatItLosesAndAsksFirst) {
  const nlohmann::json same = RunJson("--dry-run sim reset");
  EXPECT_EQ(same["asksFirst"], false);
  const auto none = nlohmann::json::array();
  EXPECT_EQ(same["prediction"], (nlohmann::json{{"controllers", none},
                                                {"arrays", none},
                                                {"volumes", none},
                                                {"drives", none},
                                                {"losses", none},
                                                {"stopsWork", none},
                                                {"refusal", nullptr},
                                                {"notKnown", none}}));
  ASSERT_EQ(Run("sim reset").exitCode, 0);

  const std::string id = RunJson(
      "create-volume --name bk --level 1 --drives "
      "KN2K00004104,KN2K00004105 --size 1T")["result"]["volumeId"];
  ASSERT_EQ(Run("rename-volume Scratch Temp").exitCode, 0);
  const std::string saved = Slurp(state);
  const std::string loss = "volume \"bk\" (" + id + ") is deleted with its 1.0 TiB of data";
  const nlohmann::json dry = RunJson("--dry-run sim reset");
  EXPECT_EQ(dry["asksFirst"], true);
  EXPECT_EQ(dry["prediction"]["losses"], nlohmann::json::array({loss}));
  // The volume goes with its array, its drives are pass-through again, and the renamed volume
  // gets its name back, which loses nothing.
  std::map<std::string, nlohmann::json> after;
  for (const char* kind : {"arrays", "volumes", "drives"})
    for (const auto& e : dry["prediction"][kind]) after[e["label"]] = e["after"];
  EXPECT_EQ(after, (std::map<std::string, nlohmann::json>{
                       {"array \"Array_0001\"", nullptr},
                       {"volume \"bk\"", nullptr},
                       {"volume \"Scratch\"", {{"name", "Scratch"}}},
                       {"drive KN2K00004104", {{"usage", 0}, {"usageName", "pass-through"}}},
                       {"drive KN2K00004105", {{"usage", 0}, {"usageName", "pass-through"}}}}))
      << dry.dump(2);
  EXPECT_NE(Run("--dry-run sim reset").out.find("\n  lost: " + loss + "\n"), std::string::npos);

  const std::string refused =
      "refused to start the simulated machine over from the demo topology without --force (";
  const std::string losing = "). It would lose:\n  - " + loss +
                             "\nNothing was sent. Run it again with --force to go ahead.";
  const Result text = Run("sim reset");
  EXPECT_EQ(text.exitCode, 2);
  EXPECT_EQ(text.out,
            "veskctl: " + refused + "not on a terminal, so nothing could be asked" + losing + "\n");
  const nlohmann::json json = RunJson("sim reset", 2);
  EXPECT_EQ(json["status"]["kind"], "UsageError");
  EXPECT_EQ(json["status"]["message"], refused + "--json never asks" + losing);
  EXPECT_EQ(json["status"]["losses"], nlohmann::json::array({loss}));
  EXPECT_EQ(Slurp(state), saved);

  EXPECT_EQ(Run("sim reset --force").out,
            "The simulated machine was reset to the demo topology.\n");
  EXPECT_TRUE(Volume("bk").is_null());
}

// A volume the topology lays out otherwise under the same identifier is replaced: its data are
// lost as surely as a deleted volume's. Starting over is the simulated machine's own business, so
// the system volume among the losses asks for --force, not --system.
TEST_F(VeskctlTest, StartingOverReplacesAVolumeLaidOutOtherwise) {
  ASSERT_EQ(Run("expand-volume System 300G").exitCode, 0);
  const std::string loss =
      "volume \"System\" (f0a7a000-0000-4000-8000-000000000001), the system (boot) volume, is "
      "replaced by the topology's volume (RAID 1 of 256.0 GiB; now RAID 1 of 300.0 GiB): its "
      "300.0 GiB of data are lost";
  nlohmann::json dry = RunJson("--dry-run sim reset");
  EXPECT_EQ(dry["prediction"]["losses"], nlohmann::json::array({loss})) << dry.dump(2);
  EXPECT_EQ(dry["asksFirst"], true);
  EXPECT_EQ(dry["needsSystem"], false);
  EXPECT_EQ(RunJson("sim reset", 2)["status"]["losses"], nlohmann::json::array({loss}));
  EXPECT_EQ(Run("sim reset --force").exitCode, 0);
  EXPECT_EQ(Volume("System")["size"], 256ull << 30);
}

// Giving a drive of the system volume's array another role needs --system even where nothing is
// predicted lost (here a member that came back stale): the refusal says why rather than list
// nothing.
TEST_F(VeskctlTest, TheSystemGuardSaysWhyWhenNothingIsPredictedLost) {
  for (const char* step : {"unmark-spare KS1A00000003", "sim pull-drive KS1A00000001",
                           "sim insert-drive KS1A00000001"})
    ASSERT_EQ(Run(step).exitCode, 0) << step;
  const std::string message =
      "refused to remove drive KS1A00000001 (5a7a0000-0000-4000-8000-000000000000): it endangers "
      "the system (boot) volume, which the computer starts from. Nothing is predicted lost, but it "
      "gives a drive that holds the system volume (a member of its array, or a drive the driver "
      "flags as a system drive) another role, and the computer may not start without that "
      "drive.\nNothing was sent. To go ahead all the same, run it again with --system (and "
      "--force where nothing can be asked).";
  Result r = Run("remove-drive KS1A00000001 --force");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out, "veskctl: " + message + "\n");
  EXPECT_EQ(RunJson("remove-drive KS1A00000001 --force", 2)["status"],
            nlohmann::json({{"ok", false},
                            {"kind", "UsageError"},
                            {"message", message},
                            {"losses", nlohmann::json::array()},
                            {"status", 0},
                            {"errorCode", 0}}));
  EXPECT_EQ(Run("remove-drive KS1A00000001 --force --system").exitCode, 0);
}

// A member of the system volume that failed or is gone holds nothing the computer starts from:
// putting a drive in its place mends the system volume and needs no --system.
TEST_F(VeskctlTest, ReplacingALostMemberOfTheSystemVolumeNeedsNoSystem) {
  for (const char* lose : {"sim fail-drive KS1A00000002", "sim pull-drive KS1A00000002"}) {
    ASSERT_EQ(Run("sim reset --force").exitCode, 0);
    ASSERT_EQ(Run("unmark-spare KS1A00000003").exitCode, 0);
    ASSERT_EQ(Run(lose).exitCode, 0) << lose;
    EXPECT_FALSE(
        RunJson("--dry-run rebuild-volume System --drives KS1A00000004")["needsSystem"].get<bool>())
        << lose;
    const Result r = Run("rebuild-volume System --drives KS1A00000004 --force");
    EXPECT_EQ(r.exitCode, 0) << lose << ": " << r.out;
    EXPECT_EQ(Volume("System")["stateName"], "rebuilding") << lose;
  }
}

// A failure the library raises itself (here an answer that breaks its limits) carries no driver
// status, and its error code is the library's.
TEST_F(VeskctlTest, ALibraryFailureHasNoDriverStatusAndItsOwnErrorCode) {
  ASSERT_EQ(Run("sim reset").exitCode, 0);
  nlohmann::json saved = nlohmann::json::parse(Slurp(state));
  nlohmann::json machine = nlohmann::json::parse(saved["machine"].get<std::string>());
  machine["controllers"][0]["limits"]["maxVolumesPerArray"] = 0;
  saved["machine"] = machine.dump();
  std::ofstream(state) << saved.dump();
  const std::string message = "Controller returned maximum volumes per array with the value of 0.";
  EXPECT_EQ(RunJson("show", 1)["status"], nlohmann::json({{"ok", false},
                                                          {"kind", "TaluException"},
                                                          {"message", message},
                                                          {"status", 0},
                                                          {"errorCode", 13}}));
  const Result r = Run("rename-volume Data D2");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "veskctl: " + message + " (error code 13)\n");
}

// A dry run sends and saves nothing and predicts from the records the library read.
TEST_F(VeskctlTest, DryRunPrintsTheRequestAndThePredictionOnly) {
  ASSERT_EQ(Run("sim reset").exitCode, 0);
  const std::string saved = Slurp(state);
  nlohmann::json removal = RunJson("--dry-run remove-drive KN2K00004102");
  EXPECT_EQ(removal["dryRun"], true);
  EXPECT_EQ(removal["asksFirst"], true);
  EXPECT_EQ(removal["request"]["operation"], "RemoveDrive");
  EXPECT_EQ(removal["request"]["driveId"], "d0e10000-0000-4000-8000-000000000002");
  const auto& volumes = removal["prediction"]["volumes"];
  ASSERT_EQ(volumes.size(), 2u) << removal.dump(2);
  EXPECT_EQ(volumes[0]["after"]["stateName"], "degraded");  // Data, RAID 5
  EXPECT_EQ(volumes[1]["after"]["stateName"], "failed");    // Scratch, RAID 0
  EXPECT_EQ(removal["prediction"]["losses"].size(), 2u);

  // The driver offers RAID 5 no way to RAID 0: the dry run gives its refusal, not a layout.
  nlohmann::json refused = RunJson("--dry-run change-layout Data --level 0", 1);
  EXPECT_EQ(refused["request"]["raidLevel"], 1);
  EXPECT_EQ(refused["status"]["status"], 16) << refused.dump(2);
  EXPECT_EQ(refused["prediction"]["refusal"]["status"], 16);
  EXPECT_TRUE(refused["prediction"]["volumes"].empty());
  nlohmann::json layout = RunJson("--dry-run change-layout Data --strip 128K");
  const auto& migrating = layout["prediction"]["volumes"][0]["after"];
  EXPECT_EQ(migrating["stateName"], "migrating") << layout.dump(2);
  EXPECT_EQ(migrating["targetLayout"]["raidLevelName"], "RAID 5");
  EXPECT_EQ(migrating["targetLayout"]["stripSize"], 128 << 10);

  nlohmann::json create = RunJson(
      "--dry-run create-volume --name bk --level 1 --drives KN2K00004104,KN2K00004105 --size 1T");
  const auto& created = create["prediction"]["arrays"][0]["after"];
  EXPECT_TRUE(create["prediction"]["volumes"][0]["id"].is_null());
  EXPECT_EQ(created["totalSize"].get<std::uint64_t>() - created["freeSize"].get<std::uint64_t>(),
            2ull << 40);
  EXPECT_EQ(create["asksFirst"], false);

  nlohmann::json verify = RunJson("--dry-run verify-volume Data --repair");
  EXPECT_EQ(verify["request"]["repair"], true);
  EXPECT_EQ(verify["prediction"]["volumes"][0]["after"]["stateName"], "verifying and fixing");

  // RAID 1 over two drives: 44 GiB more of the volume take 88 GiB of the array.
  const auto grown = RunJson("--dry-run expand-volume System 300G")["prediction"]["arrays"][0];
  EXPECT_EQ(grown["before"]["freeSize"].get<std::uint64_t>() -
                grown["after"]["freeSize"].get<std::uint64_t>(),
            88ull << 30);
  // A size says its bytes where its rounded text alone would show no change.
  EXPECT_NE(Run("--dry-run expand-volume System 300G")
                .out.find("a0a7a000-0000-4000-8000-000000000001: freeSize 1.3 TiB -> 1.2 TiB\n"),
            std::string::npos);
  Result small =
      Run("--dry-run create-volume --name v --level 1 --drives KS1A00000001,KS1A00000002 --size "
          "10G");
  EXPECT_NE(small.out.find("a0a7a000-0000-4000-8000-000000000001: freeSize 1.3 TiB (1450653958144 "
                           "bytes) -> 1.3 TiB (1429179121664 bytes)\n"),
            std::string::npos)
      << small.out;

  Result text = Run("delete-volume System --dry-run");
  EXPECT_EQ(text.exitCode, 0) << text.out;
  EXPECT_NE(text.out.find("Request: DeleteVolume controllerId=c0a7a000-0000-4000-8000-000000000001 "
                          "volumeId=f0a7a000-0000-4000-8000-000000000001"),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("drive KS1A00000001 5a7a0000-0000-4000-8000-000000000000: usage array "
                          "member -> pass-through"),
            std::string::npos)
      << text.out;
  EXPECT_EQ(Slurp(state), saved);
  EXPECT_FALSE(Volume("System").is_null());
}

// A state file that cannot be used is refused in one line that names it and says how to start
// over with the same --state, and is left as it was.
TEST_F(VeskctlTest, UnusableStateFileIsRefusedInOneLineAndLeftAlone) {
  ASSERT_EQ(Run("sim advance 1").exitCode, 0);
  std::string machine = nlohmann::json::parse(Slurp(state))["machine"];
  machine.replace(machine.find("\"sizeBlocks\": "), 14, "\"sizeBlocks\": -");
  const std::string file = "veskctl: the state file " + state.string();
  const std::string hint = "; it was left untouched. Run 'veskctl --state " + state.string() +
                           " sim reset' to start over.\n";
  const std::pair<std::string, std::string> cases[] = {
      {"{ not json", file + " is not valid JSON (line 1, column 4)" + hint},
      {R"({"format": "veskctl-state", "formatVersion": 99, "machine": ""})",
       file + " has format version 99, this veskctl reads version 1" + hint},
      {nlohmann::json{{"formatVersion", 1}, {"machine", machine}}.dump(),
       file + " holds a machine this veskctl cannot load (topology: controllers[0].drives[0]." +
           "sizeBlocks: -1953525168 is out of range (0 to 18446744073709551615))" + hint},
  };
  for (const auto& [text, message] : cases) {
    std::ofstream(state) << text;
    Result r = Run("show");
    EXPECT_EQ(r.exitCode, 1) << text;
    EXPECT_EQ(r.out, message);
    EXPECT_EQ(Slurp(state), text);
  }
  // Starting over replaces it. What it held is not known, so nothing is counted lost and nothing
  // is asked: the machine starting over is predicted from no machine at all.
  nlohmann::json unknown = RunJson("--dry-run sim reset");
  EXPECT_EQ(unknown["asksFirst"], false);
  EXPECT_EQ(unknown["prediction"]["notKnown"],
            nlohmann::json::array(
                {"the state file " + state.string() +
                 " holds a machine this veskctl cannot load (topology: controllers[0].drives[0]."
                 "sizeBlocks: -1953525168 is out of range (0 to 18446744073709551615)): what "
                 "starting over replaces is not known"}))
      << unknown.dump(2);
  EXPECT_TRUE(unknown["prediction"]["volumes"][0]["before"].is_null());
  EXPECT_EQ(Run("sim reset").exitCode, 0);
  EXPECT_EQ(Run("show").exitCode, 0);
  // The hint quotes a path as a shell needs it.
  state = dir / "my state.json";
  std::ofstream(state) << "{";
  EXPECT_TRUE(Run("show").out.ends_with("Run 'veskctl --state '" + state.string() +
                                        "' sim reset' to start over.\n"));

  fs::create_directory(dir / "folder");
  state = dir / "folder";
  EXPECT_EQ(Run("sim advance 1").out, "veskctl: the state file " + state.string() +
                                          " is a directory; name a file, such as " +
                                          (state / "veskctl.json").string() + "\n");
  EXPECT_FALSE(fs::exists(dir / "folder.lock"));
}

// show reads with read access only and creates nothing; without HOME there is no state file.
TEST_F(VeskctlTest, ShowCreatesNothingAndNoHomeMeansNoStateFile) {
  state = dir / "not" / "yet" / "state.json";
  ASSERT_EQ(Run("show").exitCode, 0);
  EXPECT_FALSE(fs::exists(dir / "not"));

  state = dir / "ro" / "state.json";
  ASSERT_EQ(Run("sim advance 1").exitCode, 0);
  fs::remove(state.string() + ".lock");
  fs::permissions(state, fs::perms::owner_read);
  fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec);
  const auto files = std::distance(fs::directory_iterator(dir / "ro"), {});
  Result shown = Run("show");
  EXPECT_EQ(shown.exitCode, 0) << shown.out;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "ro"), {}), files);
  fs::permissions(dir / "ro", fs::perms::owner_all);

  const std::string noHomeOrXdg = "env -u HOME -u XDG_STATE_HOME -u VESK_STATE ";
  Result noHome = Exec(noHomeOrXdg + "-u LOCALAPPDATA " + Veskctl() + " show");
  EXPECT_EQ(noHome.exitCode, 1);
  EXPECT_EQ(noHome.out,
            "veskctl: there is no place for the state file: HOME is not set (nor VESK_STATE, "
            "XDG_STATE_HOME or LOCALAPPDATA); name the file with --state PATH or VESK_STATE\n");
  // Windows has no HOME, but the user's own application data.
  EXPECT_EQ(Exec(noHomeOrXdg + "LOCALAPPDATA=" + dir.string() + " " + Veskctl() + " sim advance 1")
                .exitCode,
            0);
  EXPECT_TRUE(fs::exists(dir / "vesk" / "veskctl.json"));
}

// Against the RAID driver (the default on Windows) there is no state file; where no driver
// controls a controller, as here, the run says so and fails; so does the monitor at its first
// look rather than watch nothing.
TEST_F(VeskctlTest, TheDriverFoundNoControllerAndNothingIsCreated) {
  state = dir / "none" / "state.json";
  const std::string noController =
      "no RAID controller found: the Vesk RAID driver is not installed or controls no controller "
      "on this computer (--simulate runs the simulated machine)";
  for (const char* command : {"show", "sim advance 1", "metrics", "monitor --once", "monitor"}) {
    SCOPED_TRACE(command);
    Result r = Run(std::string("--driver ") + command);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "veskctl: " + noController + "\n");
  }
  EXPECT_EQ(RunJson("--driver show", 1)["status"]["message"], noController);
  EXPECT_EQ(Run("--driver --simulate show").exitCode, 2);
  EXPECT_FALSE(fs::exists(dir / "none"));
  EXPECT_EQ(Run("--simulate show").exitCode, 0);
}

// A run that finds the state file locked says so after a second, then waits or, with
// --lock-timeout, gives up. (timeout(1) ends a run that would wait for ever.)
TEST_F(VeskctlTest, ARunWaitingForTheLockSaysSoAndHonoursTheTimeout) {
  const std::string lock = state.string() + ".lock";
  const int held = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  const std::string waiting = "veskctl: waiting for another veskctl run to finish with " +
                              state.string() + " (lock " + lock + ")\n";
  Result gaveUp = Exec("timeout 10 " + Veskctl() + " --state " + state.string() +
                       " --lock-timeout 1.5 sim advance 1");
  EXPECT_EQ(gaveUp.exitCode, 1);
  EXPECT_EQ(gaveUp.out, waiting + "veskctl: another veskctl run still holds " + lock +
                            "; gave up after 1.5 s (--lock-timeout)\n");

  FILE* run = ::popen(
      ("timeout 10 " + Veskctl() + " --state " + state.string() + " sim advance 1 2>&1").c_str(),
      "r");
  ASSERT_NE(run, nullptr);
  std::array<char, 512> line{};
  EXPECT_NE(std::fgets(line.data(), line.size(), run), nullptr);
  EXPECT_EQ(std::string(line.data()), waiting);
  ::close(held);
  EXPECT_NE(std::fgets(line.data(), line.size(), run), nullptr);
  EXPECT_EQ(std::string(line.data()), "The clock moved 1 ms.\n");
  EXPECT_EQ(::pclose(run), 0);
}

// The new state is on disk before it replaces the old one, and the rename is flushed too; so is
// the command's intent, which comes before it acts.
TEST_F(VeskctlTest, SavingFlushesTheFileBeforeAndTheFolderAfterTheRename) {
  const fs::path trace = dir / "trace";
  // (LeakSanitizer cannot work under ptrace.)
  Result traced =
      Exec("ASAN_OPTIONS=detect_leaks=0 strace -f -qq -e trace=fsync,rename -o " + trace.string() +
           " " + Veskctl() + " --state " + state.string() + " sim advance 1");
  if (traced.exitCode != 0) GTEST_SKIP() << "strace cannot trace here: " << traced.out;
  // One call a line, without the process id, blanks shortened to one.
  const std::string calls = std::regex_replace(
      std::regex_replace(Slurp(trace), std::regex("(^|\n)[0-9]+ +"), "$1"), std::regex(" +"), " ");
  // (The roster's write, when it changed, and the journal's own writes, each flushed, follow.)
  const std::string intents = state.string() + ".journal.intents/[0-9]+-[0-9]+";
  const std::string roster = state.string() + ".journal.roster";
  EXPECT_TRUE(std::regex_match(
      calls, std::regex("fsync\\([0-9]+\\) = 0\nrename\\(\"" + intents + "\\.new\", \"" + intents +
                        "\"\\) = 0\nfsync\\([0-9]+\\) = 0\n"
                        "fsync\\([0-9]+\\) = 0\nrename\\(\"" +
                        state.string() + ".new\\.[0-9]+\\.[0-9]+\", \"" + state.string() +
                        "\"\\) = 0\nfsync\\([0-9]+\\) = 0\n(fsync\\([0-9]+\\) = 0\nrename\\(\"" +
                        roster + "\\.new\\.[0-9]+\\.[0-9]+\", \"" + roster +
                        "\"\\) = 0\nfsync\\([0-9]+\\) = 0\n)?(fsync\\([0-9]+\\) = 0\n)*")))
      << calls;
}

// A topology file is checked before anything changes; the message names the file and the field.
TEST_F(VeskctlTest, TopologyFileErrorsNameTheField) {
  const fs::path topology = dir / "bad.json";
  std::ofstream(topology)
      << R"({"controllers": [{"id": "c0000000-0000-4000-8000-000000000001", "type": "sata",
             "drives": [{"id": "d0000000-0000-4000-8000-000000000001", "type": "sata",
                         "sizeBlocks": -1}]}]})";
  Result r = Run("sim reset --topology " + topology.string());
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out, "veskctl: " + topology.string() +
                       ": topology: controllers[0].drives[0].sizeBlocks: -1 is out of range (0 "
                       "to 18446744073709551615)\n");
  EXPECT_FALSE(fs::exists(state));
}

TEST_F(VeskctlTest, BackgroundWorkShowsProgress) {
  nlohmann::json topology = RunJson("show");
  ASSERT_FALSE(topology.is_discarded());
  std::string volume;
  for (auto& v : All(topology, "volumes")) {
    if (v["raidLevelName"] != "RAID 0" && v["stateName"] == "normal") volume = v["id"];
  }
  ASSERT_FALSE(volume.empty()) << topology.dump(2);
  ASSERT_EQ(Run("verify-volume " + volume).exitCode, 0);
  ASSERT_EQ(Run("sim advance 30000").exitCode, 0);
  int seen = 0;
  for (auto& v : All(RunJson("show"), "volumes")) {
    if (v["id"] != volume) continue;
    ++seen;
    EXPECT_EQ(v["stateName"], "verifying");
    ASSERT_TRUE(v["progress"].is_number()) << v.dump();
    EXPECT_GE(v["progress"].get<int>(), 50);
    EXPECT_LT(v["progress"].get<int>(), 100);
  }
  EXPECT_EQ(seen, 1);
}

// Work veskctl started is followed from its start, with the layout a migration goes to; rate and
// time left come from readings on the machine's clock, and wait says how the work ended.
TEST_F(VeskctlTest, JobsShowProgressRateAndTargetAndWaitSaysHowTheWorkEnded) {
  ::setenv("VESK_SIM_CLOCK", "manual", 1);  // progress independent of how long each run takes
  for (const char* start :
       {"change-layout System --level 5 --drives KS1A00000004 --force", "verify-volume Scratch",
        "verify-volume Data", "cancel-verify Data", "sim advance 30000"})
    ASSERT_EQ(Run(start).exitCode, 0) << start;
  const nlohmann::json jobs = RunJson("jobs")["result"]["jobs"];
  ASSERT_EQ(jobs.size(), 2u) << jobs.dump(2);
  EXPECT_EQ(jobs[0]["volumeName"], "System");
  EXPECT_EQ(jobs[0]["kind"], "layout change");
  EXPECT_EQ(jobs[0]["target"]["raidLevelName"], "RAID 5");
  EXPECT_EQ(jobs[0]["target"]["stripSize"], 65536);
  EXPECT_EQ(jobs[1]["kind"], "verify");
  for (const auto& job : jobs) {
    EXPECT_EQ(job["elapsedFrom"], "start");
    EXPECT_EQ(job["percent"], 50) << job.dump();
    EXPECT_EQ(job["ratePercentPerMinute"], 100) << job.dump();
    EXPECT_EQ(job["remainingMs"], 30000) << job.dump();
  }
  const struct {
    std::string arguments;
    int exitCode;
    std::string line;
  } waits[] = {
      {"wait Data", 1,
       "veskctl: background work on volume \"Data\" did not finish; volume \"Data\" "
       "(f0d0e100-0000-4000-8000-000000000001)  verify: cancelled at 0%\n"},
      {"wait System --timeout 10", 3, "veskctl: timed out after 10 s; still running on System\n"},
      {"remove-drive KN2K00004102 --force", 0, "Removed drive"},
      // Scratch (RAID 0)
      {"wait a0d0", 1,
       "verify: interrupted at 66% (KN2K00004102 went missing; the volume is failed)"},
      {"wait --all", 0, "layout change to RAID 5, strip 64 KiB: finished after 1 min 0"},
      {"wait c0a7", 0, "No background work runs on controller \"Korva SATA RAID Controller\".\n"},
  };
  for (const auto& w : waits) {
    Result r = Run(w.arguments);
    EXPECT_EQ(r.exitCode, w.exitCode) << w.arguments << "\n" << r.out;
    EXPECT_NE(r.out.find(w.line), std::string::npos) << w.arguments << "\n" << r.out;
  }
  EXPECT_EQ(Volume("System")["raidLevelName"], "RAID 5");
  EXPECT_EQ(RunJson("wait --all --timeout 0")["result"]["outcome"], "nothing");
}

// A wait on work that takes hours holds the machine only while it looks and saves: another run
// gets the lock meanwhile, and the wait sees what it did. On a terminal whose output is stopped
// (Ctrl+S) the wait stands still with the machine let go; off a terminal the simulated machine's
// looks, which follow each other at once, let it go now and then. (The other run would give up
// after --lock-timeout if the wait held the lock all along.)
TEST_F(VeskctlTest, AWaitLetsOtherRunsInBetweenItsLooks) {
  Vesk::test::Watchdog watchdog("a wait and a run between its looks", 120);
  ::setenv("VESK_SIM_CLOCK", "manual", 1);
  nlohmann::json topology = nlohmann::json::parse(Slurp(VESK_TOPOLOGY_DIR "/demo.json"));
  topology["taskDurationMs"] = 100ull * 3600 * 1000;  // a hundred hours
  std::ofstream(dir / "slow.json") << topology.dump();
  ASSERT_EQ(Run("sim reset --topology " + (dir / "slow.json").string()).exitCode, 0);
  const std::string cancel = "--lock-timeout 30 cancel-verify Data";
  const std::string cancelled =
      "volume \"Data\" (f0d0e100-0000-4000-8000-000000000001)  verify: "
      "cancelled at 0%";

  ASSERT_EQ(Run("verify-volume Data").exitCode, 0);
  int terminal = -1;
  const pid_t test = ::getpid();
  const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) {
    veskctl::testing::DieWithTheTest(test);
    ::execl("/bin/sh", "sh", "-c", Command("wait Data").c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_GT(pid, 0);
  std::string shown;
  char buffer[4096];
  auto read = [&] {
    const ssize_t n = ::read(terminal, buffer, sizeof buffer);
    if (n > 0) shown.append(buffer, n);
    return n > 0;
  };
  while (shown.find("] 0%  Data verify") == std::string::npos && read()) {
  }
  ASSERT_EQ(::write(terminal, "\x13", 1), 1);  // Ctrl+S
  const Result stopped = Run(cancel);
  EXPECT_EQ(stopped.exitCode, 0) << stopped.out;
  if (stopped.exitCode != 0) ::kill(pid, SIGKILL);
  ASSERT_EQ(::write(terminal, "\x11", 1), 1);  // Ctrl+Q
  while (read()) {
  }
  ::close(terminal);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << shown;
  EXPECT_NE(shown.find(cancelled), std::string::npos) << shown;

  ASSERT_EQ(Run("verify-volume Data").exitCode, 0);
  FILE* wait = ::popen((Command("wait Data") + " 2>&1").c_str(), "r");
  ASSERT_NE(wait, nullptr);
  std::array<char, 512> line{};
  ASSERT_NE(std::fgets(line.data(), line.size(), wait), nullptr);
  EXPECT_NE(std::string(line.data()).find("verify  0%"), std::string::npos) << line.data();
  const Result piped = Run(cancel);
  EXPECT_EQ(piped.exitCode, 0) << piped.out;
  std::string rest;
  while (std::fgets(line.data(), line.size(), wait) != nullptr) rest += line.data();
  EXPECT_EQ(WEXITSTATUS(::pclose(wait)), 1);
  EXPECT_EQ(rest, cancelled + "\nveskctl: background work on volume \"Data\" did not finish; " +
                      cancelled + "\n");
}

// A dry run of wait waits for nothing (against the RAID driver that could take hours): it says,
// marked as a dry run, what it would follow, and moves no clock.
TEST_F(VeskctlTest, ADryRunOfWaitSaysWhatItWouldWaitForAndWaitsForNothing) {
  ::setenv("VESK_SIM_CLOCK", "manual", 1);
  const std::string dryRun = "Dry run: nothing was waited for and nothing was saved.\n";
  EXPECT_EQ(Run("--dry-run wait Data").out,
            dryRun + "No background work runs on volume \"Data\": it would end at once.\n");
  for (const char* step : {"verify-volume Data", "sim advance 30000"})
    ASSERT_EQ(Run(step).exitCode, 0) << step;
  const std::string saved = Slurp(state);
  Result text = Run("--dry-run wait a0d0");
  EXPECT_EQ(text.exitCode, 0);
  EXPECT_EQ(text.out, dryRun +
                          "It would follow the background work on array \"Array_0000\" "
                          "(a0d0e100-0000-4000-8000-000000000001) until it ends; as it stands "
                          "now:\n  volume \"Data\" (f0d0e100-0000-4000-8000-000000000001)  "
                          "verify  50%  rate 100.0 %/min  elapsed 30 s  left 30 s\n");
  const nlohmann::json json = RunJson("--dry-run wait --all");
  EXPECT_EQ(json["status"], nlohmann::json({{"ok", true}}));
  EXPECT_EQ(json["dryRun"], true);
  ASSERT_EQ(json["result"]["jobs"].size(), 1u) << json.dump(2);
  EXPECT_EQ(json["result"]["jobs"][0]["percent"], 50);
  EXPECT_EQ(json["result"]["jobs"][0]["remainingMs"], 30000);
  EXPECT_EQ(Slurp(state), saved);
  EXPECT_EQ(RunJson("jobs")["result"]["jobs"][0]["percent"], 50);
}

// Work veskctl did not start (another tool, a run before this one) has its rate from the next look.
TEST_F(VeskctlTest, WorkFirstSeenRunningHasARateFromTheNextLook) {
  ::setenv("VESK_SIM_CLOCK", "manual", 1);
  nlohmann::json topology = nlohmann::json::parse(Slurp(VESK_TOPOLOGY_DIR "/demo.json"));
  auto& system = topology["controllers"][0]["volumes"][0];
  system["state"] = "verifying";
  system["task"] = {{"kind", "verify"}, {"elapsedMs", 6000}};
  std::ofstream(dir / "busy.json") << topology.dump();
  ASSERT_EQ(Run("sim reset --topology " + (dir / "busy.json").string()).exitCode, 0);
  Result first = Run("jobs");
  EXPECT_NE(first.out.find("verify  10%  rate not known yet  elapsed at least 0 s  left not known"),
            std::string::npos)
      << first.out;
  ASSERT_EQ(Run("sim advance 6000").exitCode, 0);
  const nlohmann::json next = RunJson("jobs")["result"]["jobs"][0];
  EXPECT_EQ(next["elapsedFrom"], "firstSeen");
  EXPECT_EQ(next["ratePercentPerMinute"], 100) << next.dump();
  ::setenv("VESK_SIM_CLOCK", "manuel", 1);
  Result typo = Run("jobs");
  EXPECT_EQ(typo.exitCode, 2);
  EXPECT_EQ(typo.out, "veskctl: VESK_SIM_CLOCK is 'real' or 'manual', not 'manuel'\n");
}

// --version, the command a typo meant, and bash completion all come from the command table.
TEST_F(VeskctlTest, VersionSuggestionsAndCompletionComeFromTheCommandTable) {
  EXPECT_TRUE(std::regex_match(Run("--version").out, std::regex("veskctl \\d+\\.\\d+\\.\\d+\n")));
  const std::pair<std::string, std::string> typos[] = {
      {"shwo", "veskctl: unknown command 'shwo'; did you mean 'show'? (see 'veskctl --help')\n"},
      {"--state x sim advanse 5",
       "veskctl: unknown command 'advanse'; did you mean 'advance'? (see 'veskctl sim --help')\n"},
      {"mark", "did you mean 'mark-volume-normal', 'mark-spare' or 'mark-normal'?"},
  };
  for (const auto& [arguments, message] : typos) {
    Result r = Run(arguments);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.out.find(message), std::string::npos) << r.out;
  }
  EXPECT_NE(RunJson("creat", 2)["status"]["message"].get<std::string>().find(
                "did you mean 'create-volume'?"),
            std::string::npos);
  Result completion = Exec(
      "bash -c 'source <(" + Veskctl() +
      " completion bash); c() { COMP_WORDS=(veskctl \"$@\"); COMP_CWORD=$#; _veskctl; echo "
      "\"${COMPREPLY[*]}\"; }; c wai; c sim a; c create-volume --le; c wait --t; c show --js'");
  EXPECT_EQ(completion.out, "wait\nadvance\n--level\n--timeout\n--json\n");
}

// The README's library example is ReadmeExample.cc word for word and works; its veskctl lines
// run as they stand, one after the other.
TEST_F(VeskctlTest, ReadmeExamplesWorkAsTheyStand) {
  const std::string readme = Slurp(VESK_DOCS_DIR "/../README.md");
  EXPECT_NE(readme.find("```cpp\n" + Slurp(VESK_DOCS_DIR "/../tests/veskctl/cli/ReadmeExample.cc") +
                        "```"),
            std::string::npos);
  {
    auto driver = vesk::sim::RaidDriver::FromFile(VESK_TOPOLOGY_DIR "/demo.json");
    vesk::sim::Machine machine;
    vesk::sim::AddControllerDevices(machine, driver);
    EXPECT_FALSE(VerifyAndRepair("Dat"));
    EXPECT_TRUE(VerifyAndRepair("Data"));
    // Held by name: a range-for over part of a temporary reads freed memory.
    const nlohmann::json saved = nlohmann::json::parse(driver->Save());
    for (const auto& v : saved["controllers"][1]["volumes"])
      EXPECT_EQ(v.value("task", nlohmann::json::object()).value("repair", false),
                v["name"] == "Data")
          << v.dump();
  }
  std::istringstream lines(readme);
  int run = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("scripts/veskctl.sh ", 0) != 0) continue;
    const std::string arguments = line.substr(19, line.find('#') - 19);
    EXPECT_EQ(Run(arguments).exitCode, 0) << arguments;
    ++run;
  }
  EXPECT_EQ(run, 11);
}

// After a drive leaves, no volume comes back from data that is lost, the missing drive takes no
// command and has an address of its own, and every other drive keeps its address.
TEST_F(VeskctlTest, ADriveThatLeavesTakesItsDataAndNothingElse) {
  auto show = [&] {  // drives by serial number, volumes by name
    std::map<std::string, nlohmann::json> elements;
    nlohmann::json topology = RunJson("show");
    for (auto& d : All(topology, "drives")) elements[d["serial"]] = d;
    for (auto& v : All(topology, "volumes")) elements[v["name"]] = v;
    return elements;
  };
  const auto before = show();
  for (const char* step : {"remove-drive KN2K00004102 --force", "remove-drive KS1A00000004 --force",
                           "rebuild-volume Data --drives KN2K00004104", "sim advance 60000"})
    ASSERT_EQ(Run(step).exitCode, 0) << step;
  auto after = show();
  EXPECT_EQ(after["Data"]["stateName"], "normal");
  EXPECT_EQ(after["Scratch"]["stateName"], "failed");
  EXPECT_NE(Run("write-cache KS1A00000004 off").out.find("driver status 9"), std::string::npos);
  std::set<std::string> addresses;
  for (auto& [key, element] : after) {
    if (!element.contains("scsiAddress")) continue;
    EXPECT_TRUE(addresses.insert(element["scsiAddress"].dump()).second) << element.dump();
    if (element["statusName"] == "normal") {
      EXPECT_EQ(element["scsiAddress"], before.at(key)["scsiAddress"]) << key;
    }
  }
  EXPECT_EQ(after["KS1A00000004"]["sata"]["port"], 3);  // where it was, missing
}

// Giving someone a way in through the console, and taking it away, are journaled as commands.
TEST_F(VeskctlTest, ConsoleUsersAddedAndRemovedAreJournaled) {
  ASSERT_EQ(Run("--simulate console-user add alice", true).exitCode, 0);
  ASSERT_EQ(Run("--simulate console-user remove alice").exitCode, 0);
  const Result events = Run("--simulate events --kind command", true);
  std::vector<std::string> details;
  std::istringstream lines(events.out);
  for (std::string line; std::getline(lines, line);)
    if (line.find("console-user") != std::string::npos)
      details.push_back(line.substr(line.find("console-user")));
  ASSERT_EQ(details.size(), 2u) << events.out;
  EXPECT_EQ(details[0].substr(0, 25), "console-user add alice by");
  EXPECT_EQ(details[1].substr(0, 28), "console-user remove alice by");
}

}  // namespace
