#include "tools/veskctl/journal/Audit.h"

#include <cstdlib>

#include "platform/win32.h"
#include "tools/veskctl/base/Account.h"
#include "tools/veskctl/base/Json.h"

namespace veskctl {

// A record with the fields every journal record has; `time` and `id` come with the append.
nlohmann::json JournalRecord(const char* kind, nlohmann::json element, const std::string& detail) {
  return {{"schemaVersion", kJsonSchemaVersion},
          {"kind", kind},
          {"element", std::move(element)},
          {"property", nullptr},
          {"old", nullptr},
          {"oldName", nullptr},
          {"new", nullptr},
          {"newName", nullptr},
          {"detail", detail}};
}

nlohmann::json RecordElement(const char* kind, const std::string& id, const std::string& name) {
  return {{"kind", kind}, {"id", id}, {"name", name}};
}

std::string Counted(std::uint64_t n, const std::string& what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::string VerifyFoundText(const nlohmann::json& errors, const nlohmann::json& badBlocks,
                            const nlohmann::json& repaired) {
  if (!errors.is_number_unsigned()) return "";
  const std::uint64_t bad = badBlocks.is_number_unsigned() ? badBlocks.get<std::uint64_t>() : 0;
  std::string text =
      Counted(errors.get<std::uint64_t>(), "error") + ", " + Counted(bad, "bad block") + " found";
  if (errors.get<std::uint64_t>() + bad == 0 || !repaired.is_boolean()) return text;
  return text + (repaired.get<bool>() ? ", all repaired" : ", none repaired");
}

nlohmann::json CommandRecord(const CommandAudit& audit) {
  const std::string user = AccountName();
  const char* sudo = std::getenv("SUDO_USER");
  const std::string sudoUser = sudo != nullptr ? sudo : "";
  // Through the console, the person who signed in is who asked; the process runs as the account
  // that started the console, as command.user says.
  const bool named = audit.console && !audit.consoleUser.empty();
  std::string detail = audit.name + " by " + (named ? audit.consoleUser : user);
  if (!sudoUser.empty() && !named) detail += " (sudo for " + sudoUser + ")";
  if (audit.console) detail += " via the console";
  detail += ": " + audit.outcome;
  // One line: a refusal's message may list what would have been lost below its first line.
  if (!audit.message.empty()) detail += ": " + audit.message.substr(0, audit.message.find('\n'));
  nlohmann::json record = JournalRecord("command", audit.element, detail);
  record["command"] = {
      {"user", user},           {"pid", GetCurrentProcessId()}, {"argv", audit.argv},
      {"name", audit.name},     {"request", audit.request},     {"outcome", audit.outcome},
      {"status", audit.status}, {"exitCode", audit.exitCode}};
  // A run whose outcome is unknown ended before it had an exit code of its own.
  if (audit.outcome == "unknown") record["command"]["exitCode"] = nullptr;
  record["command"]["sudoUser"] = sudoUser.empty() ? nlohmann::json() : nlohmann::json(sudoUser);
  record["command"]["via"] = audit.console ? "console" : "command line";
  record["command"]["consoleUser"] = named ? nlohmann::json(audit.consoleUser) : nlohmann::json();
  return record;
}

nlohmann::json JobHistory(const Journal& journal) {
  nlohmann::json history = nlohmann::json::array();
  for (auto& record : journal.After(0).records) {
    auto job = record.find("job");
    if (record["kind"] != "job" || job == record.end() || !job->is_object()) continue;
    nlohmann::json entry = std::move(*job);
    entry["id"] = record["id"];
    entry["time"] = record["time"];
    history.push_back(std::move(entry));
  }
  return history;
}

std::string JobHistoryText(const nlohmann::json& history) {
  const auto text = RecordField;  // a field of another type shows as nothing
  std::string lines;
  for (const auto& job : history) {
    lines += text(job, "time") + "  volume \"" + text(job, "volumeName") + "\" (" +
             text(job, "volumeId") + ")  " + text(job, "kind") + "  " + text(job, "outcome");
    const std::string found = VerifyFoundText(job.value("verifyErrors", nlohmann::json()),
                                              job.value("verifyBadBlocks", nlohmann::json()),
                                              job.value("verifyRepaired", nlohmann::json()));
    if (!found.empty()) lines += "  " + found;
    if (const std::string why = text(job, "why"); !why.empty()) lines += " (" + why + ")";
    std::string drives;
    for (const auto& serial : job.value("drives", nlohmann::json::array()))
      if (serial.is_string()) drives += (drives.empty() ? "" : ", ") + serial.get<std::string>();
    if (!drives.empty()) lines += "  onto " + drives;
    lines += "\n";
  }
  return lines.empty() ? "No background work has ended, as far as the journal holds.\n" : lines;
}

}  // namespace veskctl
