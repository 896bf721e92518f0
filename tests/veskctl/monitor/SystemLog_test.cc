// What the system log makes of each record, and the three places that name its event
// identifiers: the table in the code, the message file built into veskctl.exe and the table in
// docs/monitoring.md.
#include "tools/veskctl/monitor/SystemLog.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <vector>

namespace {

using nlohmann::json;
using veskctl::LogSeverity;

json Record(const std::string& kind) {
  return json{{"id", 41},
              {"time", "2026-12-07T14:05:00.123Z"},
              {"kind", kind},
              {"element", {{"kind", "volume"}, {"id", "f0"}, {"name", "r5"}}},
              {"property", nullptr},
              {"old", nullptr},
              {"oldName", nullptr},
              {"new", nullptr},
              {"newName", nullptr},
              {"detail", nullptr}};
}

std::string Read(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// Each message of the .mc file by its identifier: the text between "Language=English" and ".".
std::map<unsigned, std::string> Messages() {
  std::map<unsigned, std::string> messages;
  std::istringstream mc(Read(VESK_DOCS_DIR "/../tools/veskctl/monitor/SystemLogMessages.mc"));
  std::string line;
  unsigned id = 0;
  bool inText = false;
  while (std::getline(mc, line)) {
    if (inText && line == ".")
      inText = false;
    else if (inText)
      messages[id] += line;
    else if (line.starts_with("MessageId="))
      id = std::stoul(line.substr(10));
    else if (line == "Language=English")
      inText = true;
  }
  return messages;
}

const char* SeverityWord(LogSeverity s) {
  return s == LogSeverity::Error ? "error" : s == LogSeverity::Warning ? "warning" : "information";
}

// Each known kind's identifier and severity are checked against docs/monitoring.md below.
TEST(SystemLog, AnUnknownKindHasTheFallbackAndEachRecordItsTextLineWithItsId) {
  // A newer veskctl's kind still reaches the log.
  const auto unknown = veskctl::SystemLogEntry(Record("volume-frobnicated"));
  EXPECT_EQ(unknown.eventId, 1u);
  EXPECT_EQ(unknown.severity, LogSeverity::Info);
  json notAKind = Record("changed");
  notAKind["kind"] = 7;
  EXPECT_EQ(veskctl::SystemLogEntry(notAKind).eventId, veskctl::kUnknownKindEventId);

  json reminder = Record("reminder");
  reminder["detail"] = "volume \"r5\" is still degraded (since 2026-12-07T14:00:00.000Z)";
  reminder["fault"] = {{"kind", "volume-degraded"}, {"since", "2026-12-07T14:00:00.000Z"}};
  EXPECT_EQ(veskctl::SystemLogEntry(reminder).message,
            "2026-12-07T14:05:00.123Z  reminder  volume \"r5\" (f0)  volume \"r5\" is still "
            "degraded (since 2026-12-07T14:00:00.000Z) id=41");
  json changed = Record("changed");
  changed["property"] = "CachePolicy";
  changed["old"] = 3;
  changed["oldName"] = "write-back";
  changed["new"] = 1;
  changed["newName"] = "off";
  EXPECT_EQ(veskctl::SystemLogEntry(changed).message,
            "2026-12-07T14:05:00.123Z  changed  volume \"r5\" (f0)  CachePolicy: write-back (3) "
            "-> off (1) id=41");
}

// A command's outcome, and a job's, are in their own object: what went wrong has its own
// identifier.
TEST(SystemLog, AFailedCommandOrJobHasItsOwnEventId) {
  json command = Record("command");
  command["id"] = 7;
  command["element"] = nullptr;
  command["detail"] = "delete-volume r5";
  command["command"] = {{"exitCode", 2}};
  const auto failed = veskctl::SystemLogEntry(command);
  EXPECT_EQ(failed.eventId, 501u);
  EXPECT_EQ(failed.severity, LogSeverity::Warning);
  EXPECT_EQ(failed.message, "2026-12-07T14:05:00.123Z  command  delete-volume r5 id=7");
  command["command"]["exitCode"] = 0;
  EXPECT_EQ(veskctl::SystemLogEntry(command).eventId, 500u);
  EXPECT_EQ(veskctl::SystemLogEntry(command).severity, LogSeverity::Info);
  command["command"] = {{"outcome", "refused"}};
  EXPECT_EQ(veskctl::SystemLogEntry(command).eventId, 501u);
  command["command"] = {{"outcome", "ok"}};
  EXPECT_EQ(veskctl::SystemLogEntry(command).eventId, 500u);
  command.erase("command");
  EXPECT_EQ(veskctl::SystemLogEntry(command).eventId, 500u);
  // An outcome that is not a word (a journal edited by hand) is no failure, and no end of the
  // monitor delivering it.
  command["command"] = {{"outcome", 5}};
  EXPECT_EQ(veskctl::SystemLogEntry(command).eventId, 500u);

  json job = Record("job");
  job["job"] = {{"kind", "rebuild"}, {"outcome", "failed"}};
  EXPECT_EQ(veskctl::SystemLogEntry(job).eventId, 404u);
  EXPECT_EQ(veskctl::SystemLogEntry(job).severity, LogSeverity::Error);
  job["job"]["outcome"] = "cancelled";
  EXPECT_EQ(veskctl::SystemLogEntry(job).eventId, 403u);
  EXPECT_EQ(veskctl::SystemLogEntry(job).severity, LogSeverity::Info);
  job["job"]["outcome"] = json::array();
  EXPECT_EQ(veskctl::SystemLogEntry(job).eventId, 403u);
}

// Every kind the journal holds has its row; every row its message in veskctl.exe, under the same
// identifier, with a headline before the text line; every message is some row's (or the
// fallback's); docs/monitoring.md lists each row with its message's headline.
TEST(SystemLog, TheTableTheMessageFileAndTheDocumentAgree) {
  const auto schema = json::parse(Read(VESK_DOCS_DIR "/schema/veskctl.schema.json"));
  std::set<std::string> tabled;
  std::set<unsigned> ids;
  for (const auto& row : veskctl::SystemLogKinds()) {
    // Each row is what a record of its kind gets.
    json record = Record(row.kind);
    record["command"] = {{"exitCode", row.wentWrong ? 1 : 0}};
    record["job"] = {{"outcome", row.wentWrong ? "failed" : "finished"}};
    const auto entry = veskctl::SystemLogEntry(record);
    EXPECT_EQ(entry.eventId, row.eventId) << row.kind;
    EXPECT_EQ(entry.severity, row.severity) << row.kind;
    tabled.insert(row.kind);
    EXPECT_TRUE(ids.insert(row.eventId).second) << "event id " << row.eventId << " twice";
  }
  EXPECT_FALSE(ids.contains(veskctl::kUnknownKindEventId));
  for (const auto& kind : schema["$defs"]["monitor"]["properties"]["kind"]["enum"])
    EXPECT_TRUE(tabled.contains(kind.get<std::string>())) << kind << " has no event id";

  const auto messages = Messages();
  ids.insert(veskctl::kUnknownKindEventId);
  for (const auto& [id, text] : messages) EXPECT_TRUE(ids.contains(id)) << "message " << id;

  std::map<unsigned, std::smatch> documented;
  const std::string doc = Read(VESK_DOCS_DIR "/monitoring.md");
  const std::regex line(R"(\n\| ([^|\n]+) \| (\d+) \| ([a-z]+) \| ([^|\n]+) \|)");
  for (std::sregex_iterator m(doc.begin(), doc.end(), line), end; m != end; ++m)
    documented[std::stoul((*m)[2])] = *m;
  EXPECT_EQ(documented.size(), ids.size());

  auto rows = std::vector(veskctl::SystemLogKinds().begin(), veskctl::SystemLogKinds().end());
  rows.push_back({"any other", false, veskctl::kUnknownKindEventId, LogSeverity::Info});
  for (const auto& row : rows) {
    const auto message = messages.find(row.eventId);
    ASSERT_NE(message, messages.end()) << row.kind << ": no message " << row.eventId;
    const std::string& text = message->second;
    ASSERT_TRUE(text.ends_with("%n%1%0") && text.size() > 6) << text;
    const auto listed = documented.find(row.eventId);
    ASSERT_NE(listed, documented.end()) << row.kind << ": not in docs/monitoring.md";
    const std::string kind =
        row.eventId == veskctl::kUnknownKindEventId ? row.kind : "`" + std::string(row.kind) + "`";
    EXPECT_TRUE(listed->second[1].str().starts_with(kind)) << listed->second[1];
    EXPECT_EQ(listed->second[3], SeverityWord(row.severity)) << row.kind;
    EXPECT_EQ(listed->second[4], text.substr(0, text.size() - 6)) << row.kind;
  }
}

}  // namespace
