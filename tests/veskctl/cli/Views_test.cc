// What the administrator is shown about volumes and their work, and what veskctl takes as input
// before it sends anything: names, sizes and numeric options.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "VeskctlTest.h"
#include "tools/veskctl/cli/Render.h"
#include "tools/veskctl/cli/Validate.h"
#include "tools/veskctl/session/Session.h"

namespace {

using veskctl::testing::Result;
using veskctl::testing::VeskctlTest;

class ViewsTest : public VeskctlTest {
 protected:
  // Starts the machine from the demo topology as `change` leaves it, whatever that loses of the
  // demo machine.
  template <typename Change>
  void Start(Change change) {
    nlohmann::json topology = nlohmann::json::parse(Slurp(VESK_TOPOLOGY_DIR "/demo.json"));
    change(topology);
    std::ofstream(dir / "topology.json") << topology.dump();
    const Result reset = Run("sim reset --force --topology " + (dir / "topology.json").string());
    ASSERT_EQ(reset.exitCode, 0) << reset.out;
  }
  void ExpectRefused(const std::string& arguments, const std::string& message) {
    const Result r = Run(arguments);
    EXPECT_EQ(r.exitCode, 2) << arguments << "\n" << r.out;
    EXPECT_NE(r.out.find(message), std::string::npos) << arguments << "\n" << r.out;
  }
};

// The demo's NVMe array lists its members out of identifier order, one of them gone; the SATA
// mirror has a member that came back and holds none of the data.
void Degrade(nlohmann::json& t) {
  auto& dorn = t["controllers"][1];
  dorn["arrays"][0]["drives"] = {
      "d0e10000-0000-4000-8000-000000000003", "d0e10000-0000-4000-8000-000000000001",
      "d0e10000-0000-4000-8000-000000000000", "d0e10000-0000-4000-8000-000000000002"};
  dorn["drives"][2]["status"] = "missing";
  dorn["drives"][2].erase("sizeBlocks");
  dorn["volumes"].erase(1);  // a RAID 0 would be failed
  dorn["volumes"][0]["state"] = "degraded";
  auto& system = t["controllers"][0]["volumes"][0];
  system["state"] = "degraded";
  system["staleDrives"] = {"5a7a0000-0000-4000-8000-000000000001"};
}

TEST_F(ViewsTest, MembersAreShownInArrayOrderWithTheirRolesAndWhatToDo) {
  ::setenv("VESK_SIM_CLOCK", "manual", 1);
  Start(Degrade);
  const Result tree = Run("show");
  EXPECT_NE(tree.out.find("      members in array order: 1 KN2K00004103 in sync, 2 KN2K00004101 in "
                          "sync, 3 KN2K00004100 in sync, 4 KN2K00004102 missing\n      to do: "
                          "veskctl rebuild-volume Data --drives DRIVE  (a free drive of at least "
                          "the members' size takes the place of KN2K00004102 (missing))\n"),
            std::string::npos)
      << tree.out;
  const Result system = Run("show System");
  EXPECT_NE(system.out.find("\n  members in array order: 1 KS1A00000001 in sync, 2 KS1A00000002 "
                            "stale\n  to do: veskctl rebuild-volume System  (writes the volume's "
                            "data onto KS1A00000002, which holds none of it)\n"),
            std::string::npos)
      << system.out;

  nlohmann::json data = RunJson("show Data")["volume"];
  EXPECT_EQ(data["memberOrder"], "array");
  ASSERT_EQ(data["members"].size(), 4u) << data.dump(2);
  EXPECT_EQ(data["members"][0], nlohmann::json({{"driveId", "d0e10000-0000-4000-8000-000000000003"},
                                                {"serial", "KN2K00004103"},
                                                {"role", "in sync"}}));
  EXPECT_EQ(data["members"][3]["role"], "missing");
  EXPECT_EQ(data["advice"][0]["command"], "rebuild-volume Data --drives DRIVE");
  EXPECT_EQ(Volume("System")["members"][1]["role"], "stale");

  // While the rebuild runs the stale member is being written; afterwards all are in sync.
  ASSERT_EQ(Run("rebuild-volume System").exitCode, 0);
  nlohmann::json rebuilding = Volume("System");
  EXPECT_EQ(rebuilding["members"][1]["role"], "rebuilding") << rebuilding.dump(2);
  EXPECT_TRUE(rebuilding["advice"].empty());
  ASSERT_EQ(Run("wait System").exitCode, 0);
  EXPECT_NE(Run("show System")
                .out.find("members in array order: 1 KS1A00000001 in sync, 2 "
                          "KS1A00000002 in sync\n  controller:"),
            std::string::npos);

  // A failed or offline member takes a drive of its own, as a missing one does.
  Start([](nlohmann::json& t) {
    auto& dorn = t["controllers"][1];
    dorn["drives"][1]["status"] = "offline";
    dorn["volumes"].erase(1);
    dorn["volumes"][0]["state"] = "degraded";
    t["controllers"][0]["drives"][1]["status"] = "failed";
    t["controllers"][0]["volumes"][0]["state"] = "degraded";
  });
  EXPECT_EQ(Volume("System")["members"][1]["role"], "failed");
  EXPECT_EQ(Volume("Data")["members"][1]["role"], "offline");
  EXPECT_EQ(Volume("Data")["advice"][0]["command"], "rebuild-volume Data --drives DRIVE");
}

// Against the RAID driver the library reads no array order and no stale member: the members come
// by identifier, and what a drive's status does not tell is not known.
TEST_F(ViewsTest, WithoutTheSimulatorsOwnTopologyOnlyDriveStatusTellsRoles) {
  Start(Degrade);
  veskctl::Session session(state, {});
  session.Refresh();
  auto members = [&](const std::string& name) {
    for (const auto& [id, v] : session.Storage().GetVolumes())
      if (std::string(v->name) == name)
        return veskctl::VolumeMembers(session.Storage(), *v, nullptr);
    return veskctl::Members{};
  };
  const veskctl::Members data = members("Data");
  EXPECT_FALSE(data.arrayOrder);
  std::string roles;
  for (const auto& m : data.members) roles += m.id.substr(34) + " " + m.role + "; ";
  EXPECT_EQ(roles, "00 not known; 01 not known; 02 missing; 03 not known; ");
  EXPECT_EQ(data.advice.at(0).command, "rebuild-volume Data --drives DRIVE");
  const veskctl::Members mirror = members("System");
  EXPECT_EQ(mirror.members.at(1).role, "not known");
  EXPECT_EQ(mirror.advice.at(0).why, "writes the volume's data back onto its stale member");
}

TEST_F(ViewsTest, AVerificationSaysWhatItFoundAndRepairedAndWaitExitsFourForWhatIsLeft) {
  ::setenv("VESK_SIM_CLOCK", "manual", 1);
  Start([](nlohmann::json& t) {
    auto& data = t["controllers"][1]["volumes"][0];
    data["latentErrors"] = 7;
    data["latentBadBlocks"] = 2;
    t["controllers"][1]["volumes"][1]["initialized"] = false;
  });
  // The driver's counts are 0 before any verification: nothing tells of one yet.
  EXPECT_NE(Run("show Data").out.find("\n  last verify:         none on record\n"),
            std::string::npos);
  ASSERT_EQ(Run("verify-volume Data").exitCode, 0);
  ASSERT_EQ(Run("sim advance 60000").exitCode, 0);
  // Ended verification shows in jobs with what it found, and stays there for wait.
  nlohmann::json jobs = RunJson("jobs")["result"]["jobs"];
  ASSERT_EQ(jobs.size(), 1u) << jobs.dump(2);
  EXPECT_EQ(jobs[0]["verifyErrors"], 7);
  EXPECT_EQ(jobs[0]["verifyBadBlocks"], 2);
  EXPECT_EQ(jobs[0]["verifyRepaired"], false);
  const Result wait = Run("wait Data");
  EXPECT_EQ(wait.exitCode, 4) << wait.out;
  EXPECT_EQ(wait.out,
            "volume \"Data\" (f0d0e100-0000-4000-8000-000000000001)  verify: finished after 1 min "
            "00 s, found 7 errors and 2 bad blocks, none repaired\nveskctl: background work on "
            "volume \"Data\" finished, and a verification found errors it did not repair; volume "
            "\"Data\" (f0d0e100-0000-4000-8000-000000000001)  verify: finished after 1 min 00 s, "
            "found 7 errors and 2 bad blocks, none repaired\n");
  EXPECT_NE(Run("show Data")
                .out.find("\n  last verify:         7 errors, 2 bad blocks found, "
                          "none repaired\n"),
            std::string::npos);
  EXPECT_EQ(Volume("Data")["advice"][0]["command"], "verify-volume Data --repair");
  const auto lines = [](const std::string& text) {
    return std::count(text.begin(), text.end(), '\n');
  };
  const auto unrepaired = lines(Run("show Data").out);

  // A repairing verification mends what it finds: no error left to report, and the next one
  // finds nothing.
  ASSERT_EQ(Run("verify-volume Data --repair").exitCode, 0);
  nlohmann::json repaired = RunJson("wait --all");
  EXPECT_EQ(repaired["result"]["outcome"], "finished");
  EXPECT_EQ(repaired["result"]["jobs"][0]["verifyErrors"], 7);
  EXPECT_EQ(repaired["result"]["jobs"][0]["verifyRepaired"], true);
  const nlohmann::json record = RunJson("jobs --history")["result"].back();
  EXPECT_EQ(record["verifyRepaired"], true);
  EXPECT_EQ(Volume("Data")["verifyRepaired"], true);
  EXPECT_EQ(Volume("Data")["advice"], nlohmann::json::array());  // nothing left to repair
  const Result shown = Run("show Data");
  EXPECT_NE(shown.out.find(", last verify: 7 errors, 2 bad blocks found, all repaired\n"),
            std::string::npos)
      << shown.out;
  EXPECT_EQ(shown.out.find("verify-volume"), std::string::npos) << shown.out;
  // The advice's line goes whole, and nothing else.
  EXPECT_EQ(lines(shown.out), unrepaired - 1) << shown.out;
  EXPECT_EQ(shown.out.find("\n\n"), std::string::npos) << shown.out;
  EXPECT_EQ(Run("check --quiet").exitCode, 0);
  ASSERT_EQ(Run("verify-volume Data").exitCode, 0);
  const Result waited = Run("wait Data");
  EXPECT_EQ(waited.exitCode, 0) << waited.out;
  EXPECT_NE(waited.out.find("finished after 1 min 00 s, found no errors\nAll background work on "
                            "volume \"Data\" finished.\n"),
            std::string::npos)
      << waited.out;
  EXPECT_NE(Run("show Data").out.find("\n  last verify:         no errors found\n"),
            std::string::npos);
  // Other work has no counts, and its end is no error.
  ASSERT_EQ(Run("initialize-volume Scratch").exitCode, 0);
  nlohmann::json initialized = RunJson("wait Scratch");
  EXPECT_EQ(initialized["result"]["outcome"], "finished");
  EXPECT_FALSE(initialized["result"]["jobs"][0].contains("verifyErrors"));
}

TEST_F(ViewsTest, AVolumeThatWasNeverInitializedSaysSoAndIsNotVerified) {
  ::setenv("VESK_SIM_CLOCK", "manual", 1);
  ASSERT_EQ(
      Run("create-volume --name 'new one' --level 1 --drives KN2K00004104,KN2K00004105").exitCode,
      0);
  EXPECT_NE(Run("show 'new one'")
                .out.find(", not initialized\n  members in array order: 1 KN2K00004104 in sync, 2 "
                          "KN2K00004105 in sync\n  to do: veskctl initialize-volume 'new one'  (a "
                          "verification needs an initialized volume)\n"),
            std::string::npos);
  EXPECT_EQ(Volume("new one")["needsInitializing"], true);
  const std::string saved = Slurp(state);
  const Result refused = Run("verify-volume 'new one'");
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_EQ(refused.out,
            "veskctl: volume \"new one\" is not initialized: run initialize-volume 'new one' "
            "first\n");
  EXPECT_EQ(Slurp(state), saved);
  // While it initializes the driver answers; once initialized the verification runs.
  ASSERT_EQ(Run("initialize-volume 'new one'").exitCode, 0);
  EXPECT_EQ(Volume("new one")["needsInitializing"], false);
  EXPECT_EQ(Run("verify-volume 'new one'").exitCode, 1);
  ASSERT_EQ(Run("wait 'new one'").exitCode, 0);
  EXPECT_EQ(Run("verify-volume 'new one'").exitCode, 0);
}

TEST_F(ViewsTest, NamesAreCheckedAsTheDriverChecksThemAndNeverMakeArgumentsAmbiguous) {
  ASSERT_EQ(Run("sim reset").exitCode, 0);
  const std::string saved = Slurp(state);
  const std::string create = "create-volume --level 1 --drives KN2K00004104,KN2K00004105 --name ";
  const std::string printable =
      "a volume name takes printable ASCII only (letters, digits, blanks and punctuation, codes "
      "0x20 to 0x7E); ";
  const struct {
    std::string arguments, message;
  } cases[] = {
      {"rename-volume Data 'caf\xC3\xA9'",
       printable + "'caf\xC3\xA9' has '\xC3\xA9' (U+00E9) at byte 4"},
      {"rename-volume Data \"$(printf 'a\\tb')\"", "has a tab (U+0009) at byte 2"},
      {create + "'\xE6\x97\xA5\xE6\x9C\xAC'", "has '\xE6\x97\xA5' (U+65E5) at byte 1"},
      {create + "\"$(printf 'x\\033')\"", "has a control character (U+001B) at byte 2"},
      {create + "\"$(printf 'x\\377')\"", "has byte 0xFF, which is not UTF-8 text, at byte 2"},
      {create + "KN2K00004100",
       "the volume name 'KN2K00004100' would make later commands ambiguous: it is the serial "
       "number of drive KN2K00004100. Choose another name."},
      {"rename-volume Scratch Data", "it is the name of volume \"Data\""},
      {"rename-volume Scratch Array_0000", "it is the name of array \"Array_0000\""},
      {"rename-volume Scratch F0D0",
       "it is the beginning of the identifier of volume \"Data\" "
       "(f0d0e100-0000-4000-8000-000000000001)"},
      {create + "5a7a", "the beginning of the identifier of drive KS1A00000001"},
      {create + "c0a7a000-0000-40", "of controller \"Korva SATA RAID"},
  };
  for (const auto& c : cases) {
    const Result r = Run(c.arguments);
    EXPECT_EQ(r.exitCode, 2) << c.arguments << "\n" << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.arguments << "\n" << r.out;
  }
  EXPECT_EQ(Slurp(state), saved);
  // A volume keeps its own name, and the beginning of its own identifier is no other element's.
  EXPECT_EQ(Run("rename-volume Data Data").exitCode, 0);
  EXPECT_EQ(Run("rename-volume Scratch f0d0e100-0000-4000-8000-00000000000").exitCode, 2);
  EXPECT_EQ(Run("rename-volume Data 'Data ~!{}'").exitCode, 0);
  ExpectRefused("rename-volume Scratch 'seventeen bytes!!'",
                "'seventeen bytes!!' has 17 bytes (17 characters)");
  EXPECT_EQ(Run("rename-volume Scratch 'sixteen bytes ok'").exitCode, 0);
}

TEST_F(ViewsTest, SizesSayTheirUnitsAndFitTheRoomThereIs) {
  ASSERT_EQ(Run("sim reset").exitCode, 0);
  const std::string create = "create-volume --name x --level 1 --drives KN2K00004104,KN2K00004105";
  ExpectRefused(create + " --size ''",
                "veskctl: the size is empty: give a whole number of bytes, or a number with a "
                "unit: KB, MB, GB, TB, PB, EB (powers of 1000) or K, M, G, T, P, E, also written "
                "KiB, MiB, ... (powers of 1024), such as 100GiB, 1.5T or 500GB\n");
  ExpectRefused(create + " --size '1.8 TiB'",
                "the size '1.8 TiB' is 1979120929996.8 bytes, not a whole number: sizes as 'show' "
                "prints them are rounded");
  ExpectRefused(create + " --size 1KB",
                "the size 1000 bytes is not a whole number of 512-byte blocks");
  ExpectRefused(create + " --size 15E",
                "the size '15E' is more than there is room for: the largest RAID 1 volume on "
                "these drives has 1.8 TiB (2000398934016 bytes)");
  ExpectRefused(create + " --size 2000398934528B", "is more than there is room for");
  ExpectRefused(create + " --size 20EB", "the size '20EB' is 2^64 bytes or more");
  ExpectRefused(create + " --size 1XB", "cannot read the size '1XB'");
  ExpectRefused(create + " --size 0.001K", "the size '0.001K' is 1.024 bytes, not a whole number");
  ExpectRefused(create + " --size 1.0000000000000000001K", "has too many digits after the point");
  ExpectRefused("expand-volume Data 6T",
                "the size '6T' is more than there is room for: volume \"Data\" can grow to at most "
                "4.7 TiB (5176563081216 bytes; 'max' takes that)");
  ExpectRefused("expand-volume Data 3TiB", "must be larger than the volume's 3298534883328 bytes");
  // A further volume on every member of an array has that array's free room.
  ExpectRefused(
      "create-volume --name y --level 5 --size 3T --drives "
      "KN2K00004100,KN2K00004101,KN2K00004102,KN2K00004103",
      "the largest RAID 5 volume on these drives has 1.7 TiB (1878028197888 bytes)");

  EXPECT_EQ(Run("--dry-run " + create + " --size 2000398934016").exitCode, 0);  // all the room
  ASSERT_EQ(Run(create + " --size 10GB").exitCode, 0);
  EXPECT_EQ(Volume("x")["size"], 10000000000u);
  ASSERT_EQ(Run("expand-volume x '1.5 GiB'").exitCode, 2);  // smaller than 10 GB
  ASSERT_EQ(Run("expand-volume x 2000398934016").exitCode, 0);
  ASSERT_EQ(Run("expand-volume Data max").exitCode, 0);
  EXPECT_EQ(Volume("Data")["size"], 5176563081216u);
  ExpectRefused("expand-volume Data MAX",
                "veskctl: volume \"Data\" cannot grow: its array has 0 B free, no room for more "
                "of it\n");
}

TEST(SizeTextTest, DecimalAndBinaryUnitsMeanWhatTheySay) {
  const std::pair<const char*, std::uint64_t> cases[] = {{"4096", 4096},
                                                         {"512b", 512},
                                                         {"1KB", 1000},
                                                         {"1kib", 1024},
                                                         {"1Ki", 1024},
                                                         {"1K", 1024},
                                                         {"1.5MB", 1500000},
                                                         {"1M", 1048576},
                                                         {"10GB", 10000000000},
                                                         {"10G", 10737418240},
                                                         {"2 TB", 2000000000000},
                                                         {"2 TiB", 2199023255552},
                                                         {"3PB", 3000000000000000},
                                                         {"1P", 1125899906842624},
                                                         {"18EB", 18000000000000000000u},
                                                         {"15E", 17293822569102704640u},
                                                         {"0.5 KiB", 512}};
  for (const auto& [text, bytes] : cases) EXPECT_EQ(veskctl::ParseByteSize(text), bytes) << text;
  for (const char* bad : {"1 KiBs", "1  K", "1Ei B", "1bk", "1.K", "K", "1Z", "1KBi"})
    EXPECT_THROW(veskctl::ParseByteSize(bad), veskctl::UsageError) << bad;
}

TEST(SizeTextTest, TheLargestSizeIsTheDriversArithmetic) {
  // RAID 5 over 4 drives: a 3 TiB volume and 2.3 TiB free (the demo's Data).
  EXPECT_EQ(veskctl::LargestSize(4, 4, 2504037597184, 3298534883328, 512), 5176563081216u);
  // A new RAID 1 mirror takes one drive's worth; RAID 10 half; RAID 0 all, in whole blocks.
  EXPECT_EQ(veskctl::LargestSize(2, 2, 2000, 0, 512), 512u);
  EXPECT_EQ(veskctl::LargestSize(3, 4, 40960, 0, 512), 20480u);
  EXPECT_EQ(veskctl::LargestSize(1, 3, 3 * 1000, 0, 1), 3000u);
  EXPECT_EQ(veskctl::LargestSize(9, 3, 3000, 0, 1), 0u);  // a level there is not
  EXPECT_EQ(veskctl::LargestSize(1, 4, ~std::uint64_t{0}, ~std::uint64_t{0} - 3, 0),
            ~std::uint64_t{0});
}

TEST_F(ViewsTest, NumericOptionsSayInWordsWhatTheyTake) {
  const struct {
    std::string arguments, message;
  } cases[] = {
      {"monitor --interval 0",
       "--interval: takes a number of seconds above 0, such as 2 or 0.5; '0' is not one"},
      {"monitor --interval -3", "'-3' is not one"},
      {"monitor --failure-reminder nan",
       "--failure-reminder: takes a number of seconds above 0, such as 300 or 0.5; 'nan'"},
      {"monitor --program-timeout inf", "such as 10 or 0.5; 'inf' is not one"},
      {"monitor --program-timeout 0x10", "'0x10' is not one"},
      {"--lock-timeout abc show",
       "--lock-timeout: takes a number of seconds (0 or more), such as 0, 5 or 0.5; 'abc' is not "
       "one"},
      {"wait --all --timeout -1",
       "--timeout: takes a number of seconds (0 or more), such as 0, 60 or 0.5; '-1' is not one"},
  };
  for (const auto& c : cases) {
    const Result r = Run(c.arguments);
    EXPECT_EQ(r.exitCode, 2) << c.arguments << "\n" << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.arguments << "\n" << r.out;
    EXPECT_EQ(r.out.find("179769"), std::string::npos) << r.out;
  }
  EXPECT_EQ(RunJson("--lock-timeout 0 wait --all --timeout 0.5")["result"]["outcome"], "nothing");
}

}  // namespace
