// veskctl run as a process against a temporary state file, the way an administrator uses it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Result {
  int exitCode = -1;
  std::string out;
};

class VeskctlTest : public testing::Test {
 protected:
  void SetUp() override {
#ifndef VESKCTL_PATH
    GTEST_SKIP() << "veskctl is not built in this configuration";
#else
    dir =
        fs::temp_directory_path() / ("veskctl-test-" + std::to_string(::getpid()) + "-" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    state = dir / "state.json";
#endif
  }
  void TearDown() override {
    if (!dir.empty()) fs::remove_all(dir);
  }

  // Runs veskctl with the test's state file; stdout and stderr together.
  Result Run(const std::string& arguments) {
    Result result;
#ifdef VESKCTL_PATH
    const std::string command =
        std::string(VESKCTL_PATH) + " --state '" + state.string() + "' " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> buffer;
    std::size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
      result.out.append(buffer.data(), n);
    }
    const int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    return result;
  }

  nlohmann::json RunJson(const std::string& arguments, int expectedExit = 0) {
    Result r = Run("--json " + arguments);
    EXPECT_EQ(r.exitCode, expectedExit) << r.out;
    return nlohmann::json::parse(r.out, nullptr, false);
  }

  // Every element of `kind` ("volumes", "drives") of every controller.
  static std::vector<nlohmann::json> All(const nlohmann::json& topology, const char* kind) {
    std::vector<nlohmann::json> all;
    for (auto& c : topology["controllers"]) all.insert(all.end(), c[kind].begin(), c[kind].end());
    return all;
  }

  fs::path dir, state;
};

TEST_F(VeskctlTest, ShowCreateShowAgain) {
  Result first = Run("show");
  ASSERT_EQ(first.exitCode, 0) << first.out;
  EXPECT_NE(first.out.find("Controller "), std::string::npos);
  EXPECT_NE(first.out.find("Volume "), std::string::npos);
  EXPECT_NE(first.out.find("Drive "), std::string::npos);

  nlohmann::json topology = RunJson("show");
  ASSERT_FALSE(topology.is_discarded());
  // Global options may also follow the command.
  Result trailing = Run("show --json");
  EXPECT_EQ(trailing.exitCode, 0) << trailing.out;
  EXPECT_EQ(nlohmann::json::parse(trailing.out, nullptr, false), topology);
  EXPECT_EQ(topology["schemaVersion"], 1);
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
}

// After a rename the same text is one volume's name and the start of another's identifier.
TEST_F(VeskctlTest, ArgumentsThatFitSeveralElementsOrOnlyAnIdentifierPrefixAreRefused) {
  ASSERT_EQ(Run("rename-volume Scratch f0a7").exitCode, 0);
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

TEST_F(VeskctlTest, DriverRefusalExitsOneWithMessageStatusAndCode) {
  nlohmann::json topology = RunJson("show");
  ASSERT_FALSE(topology.is_discarded());
  // A member of an array cannot be marked as spare.
  std::string member;
  for (auto& d : All(topology, "drives")) {
    if (d["usageName"] == "array member") member = d["id"];
  }
  ASSERT_FALSE(member.empty());
  Result text = Run("mark-spare " + member);
  EXPECT_EQ(text.exitCode, 1);
  EXPECT_NE(text.out.find("Unable to mark drive as spare. IOCTL completed with error."),
            std::string::npos)
      << text.out;
  nlohmann::json refused = RunJson("mark-spare " + member, 1);
  EXPECT_EQ(refused["status"]["ok"], false);
  EXPECT_EQ(refused["status"]["message"],
            "Unable to mark drive as spare. IOCTL completed with error.");
  EXPECT_EQ(refused["status"]["status"], 8);  // the simulated driver's "drive in use"
  EXPECT_EQ(refused["status"]["errorCode"], 8);
}

TEST_F(VeskctlTest, UsageErrorsExitTwo) {
  EXPECT_EQ(Run("").exitCode, 2);
  EXPECT_EQ(Run("no-such-command").exitCode, 2);
  EXPECT_EQ(Run("create-volume --name x").exitCode, 2);  // required options missing
  Result unknown = Run("delete-volume ffffffff");
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_NE(unknown.out.find("no volume 'ffffffff'"), std::string::npos) << unknown.out;
  Result longName = Run("rename-volume " + std::string("0") + " abcdefghijklmnopq");
  EXPECT_EQ(longName.exitCode, 2);
  EXPECT_EQ(Run("--help").exitCode, 0);
  EXPECT_EQ(Run("create-volume --help").exitCode, 0);
}

TEST_F(VeskctlTest, ForeignOrCorruptStateFileIsRefusedAndLeftAlone) {
  {
    std::ofstream out(state);
    out << "{ not json";
  }
  Result corrupt = Run("show");
  EXPECT_EQ(corrupt.exitCode, 1);
  EXPECT_NE(corrupt.out.find("corrupt"), std::string::npos) << corrupt.out;
  {
    std::ifstream in(state);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text, "{ not json");
  }
  {
    std::ofstream out(state);
    out << R"({"format": "veskctl-state", "formatVersion": 99, "machine": ""})";
  }
  Result foreign = Run("show");
  EXPECT_EQ(foreign.exitCode, 1);
  EXPECT_NE(foreign.out.find("format version 99"), std::string::npos) << foreign.out;
  // Starting over replaces it.
  EXPECT_EQ(Run("sim reset").exitCode, 0);
  EXPECT_EQ(Run("show").exitCode, 0);
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

// After a drive leaves, no volume comes back from data that is lost, the missing drive takes no
// command and has an address of its own, and every other drive keeps its address.
TEST_F(VeskctlTest, ADriveThatLeavesTakesItsDataAndNothingElse) {
  auto show = [&] {
    std::map<std::string, nlohmann::json> bySerialOrName;
    nlohmann::json topology = RunJson("show");
    for (auto& d : All(topology, "drives")) bySerialOrName[d["serial"]] = d;
    for (auto& v : All(topology, "volumes")) bySerialOrName[v["name"]] = v;
    return bySerialOrName;
  };
  const auto before = show();
  for (const char* step : {"remove-drive KN2K00004102", "remove-drive KS1A00000004",
                           "rebuild-volume Data --drives KN2K00004104", "sim advance 60000"}) {
    Result r = Run(step);
    ASSERT_EQ(r.exitCode, 0) << step << "\n" << r.out;
  }
  auto after = show();
  EXPECT_EQ(after["Data"]["stateName"], "normal");
  EXPECT_EQ(after["Scratch"]["stateName"], "failed");

  Result refused = Run("write-cache KS1A00000004 off");
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.out.find("driver status 9"), std::string::npos) << refused.out;

  std::set<std::string> addresses;
  for (auto& [key, element] : after) {
    if (!element.contains("scsiAddress")) continue;
    EXPECT_TRUE(addresses.insert(element["scsiAddress"].dump()).second) << element.dump();
    if (element["statusName"] == "normal") {
      EXPECT_EQ(element["scsiAddress"], before.at(key)["scsiAddress"]) << key;
    }
  }
  EXPECT_EQ(after["KS1A00000004"]["statusName"], "missing");
  EXPECT_EQ(after["KS1A00000004"]["sata"]["port"], 3);
}

}  // namespace
