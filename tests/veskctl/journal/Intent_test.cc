// A command carried out is journaled even when its run dies right after: what the journal makes of
// the intents a command leaves before it acts.
#include "tools/veskctl/journal/Intent.h"

#include <sstream>

#include "VeskctlTest.h"
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

  fs::path journal, intents;
};

// What is in the folder but no intent to journal: one written but never put in place (its run
// died before it acted) goes, unless it is still empty (its run may be making it); one that cannot
// be read as a record stays for a person to look at.
TEST_F(IntentTest, OnlyIntentsThatHoldARecordAreJournaled) {
  fs::create_directories(intents);
  std::ofstream(intents / "5-1.new") << "{\"kind\":\"command\"}";
  std::ofstream(intents / "5-2.new") << "";
  std::ofstream(intents / "6-1") << "{\"kind\":\"comm";
  std::ofstream(intents / "notes.txt") << "{\"kind\":\"command\"}";
  EXPECT_EQ(veskctl::CloseAbandonedIntents(veskctl::Journal(journal)), 0u);
  EXPECT_FALSE(fs::exists(intents / "5-1.new"));
  EXPECT_TRUE(fs::exists(intents / "5-2.new"));
  EXPECT_TRUE(fs::exists(intents / "6-1"));
  EXPECT_TRUE(fs::exists(intents / "notes.txt"));
  EXPECT_EQ(Commands().size(), 1u);
}

}  // namespace
}  // namespace veskctl::testing
