#include "tools/veskctl/journal/Undelivered.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "tools/veskctl/base/Files.h"
#include "tools/veskctl/journal/Event.h"

namespace veskctl {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

fs::path RetriesPath(const fs::path& journal) { return journal.string() + ".retries"; }
fs::path ListPath(const fs::path& journal) { return journal.string() + ".undelivered"; }

}  // namespace

std::chrono::milliseconds DeliveryBackoff(int attempts) {
  const int doublings = std::clamp(attempts - 1, 0, 20);
  return std::min(std::chrono::milliseconds(1000LL << doublings),
                  std::chrono::milliseconds(300000));
}

DeliveryFailures::DeliveryFailures(fs::path journal) : journal(std::move(journal)) {
  const auto text = ReadFileShared(RetriesPath(this->journal), "the delivery attempts");
  retries = text ? json::parse(*text, nullptr, false) : json::object();
  // Lost or damaged, the counts start again: a record is then tried more often, never less.
  if (!retries.is_object()) retries = json::object();
}

int DeliveryFailures::Failed(const std::string& target, std::uint64_t record,
                             const std::string& why) {
  json& entry = retries[target];
  if (!entry.is_object() || entry.value("record", std::uint64_t{0}) != record ||
      !entry["attempts"].is_number_integer())
    entry = {{"record", record}, {"attempts", 0}};
  entry["attempts"] = entry["attempts"].get<int>() + 1;
  entry["error"] = why;
  changed = true;
  return entry["attempts"].get<int>();
}

void DeliveryFailures::Delivered(const std::string& target) {
  if (retries.erase(target) > 0) changed = true;
}

void DeliveryFailures::GiveUp(const std::string& target, const json& record, int attempts,
                              const std::string& why) {
  const json entry = {{"time", EventTime()},
                      {"target", target},
                      {"record", record.value("id", std::uint64_t{0})},
                      {"kind", record.value("kind", std::string())},
                      {"attempts", attempts},
                      {"error", why}};
  std::string list = ReadFileShared(ListPath(journal), "the undelivered records").value_or("");
  list += entry.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  WriteFileAtomically(ListPath(journal), list, "the undelivered records");
  Delivered(target);
}

void DeliveryFailures::Save() const {
  if (changed)
    WriteFileAtomically(RetriesPath(journal), retries.dump(2) + "\n", "the delivery attempts");
}

DeliveryFailures::Undelivered DeliveryFailures::UndeliveredNow() const {
  const auto entries = UndeliveredRecords(journal);
  std::set<std::string> targets;
  for (const auto& entry : entries) targets.insert(entry.value("target", std::string()));
  return {{targets.begin(), targets.end()}, entries.size()};
}

std::vector<json> UndeliveredRecords(const fs::path& journal) {
  std::vector<json> entries;
  const auto text = ReadFileShared(ListPath(journal), "the undelivered records");
  if (!text) return entries;
  std::istringstream lines(*text);
  for (std::string line; std::getline(lines, line);) {
    auto entry = json::parse(line, nullptr, false);
    if (entry.is_object()) entries.push_back(std::move(entry));
  }
  return entries;
}

std::size_t ClearUndelivered(const fs::path& journal) {
  const std::size_t held = UndeliveredRecords(journal).size();
  std::error_code ignored;
  fs::remove(ListPath(journal), ignored);
  return held;
}

}  // namespace veskctl
