// What a journal record becomes in the system log, the same on every system.
#include "tools/veskctl/journal/Event.h"
#include "tools/veskctl/journal/Journal.h"
#include "tools/veskctl/monitor/SystemLog.h"

namespace veskctl {

using nlohmann::json;

namespace {

// Identifiers by subject: the elements' comings and goings 100, volumes 200, drives 300,
// background work 400, commands 500, the monitor itself 600. They are published (a fleet's log
// filters on them): a kind keeps its identifier for good, and a new kind takes a new one.
constexpr SystemLogKind kKinds[] = {
    {"present", false, 100, LogSeverity::Info},
    {"added", false, 101, LogSeverity::Info},
    {"removed", false, 102, LogSeverity::Info},
    {"changed", false, 103, LogSeverity::Info},
    {"controller-arrived", false, 104, LogSeverity::Info},
    {"controller-removed", false, 105, LogSeverity::Info},
    {"volume-normal", false, 200, LogSeverity::Info},
    {"volume-degraded", false, 201, LogSeverity::Error},
    {"volume-failed", false, 202, LogSeverity::Error},
    {"volume-data-lost", false, 203, LogSeverity::Error},
    {"drive-failed", false, 300, LogSeverity::Error},
    {"drive-missing", false, 301, LogSeverity::Error},
    {"drive-smart", false, 302, LogSeverity::Warning},
    {"spare-taken", false, 303, LogSeverity::Info},
    {"job-started", false, 400, LogSeverity::Info},
    {"job-finished", false, 401, LogSeverity::Info},
    {"job-failed", false, 402, LogSeverity::Error},
    {"job", false, 403, LogSeverity::Info},
    {"job", true, 404, LogSeverity::Error},
    {"command", false, 500, LogSeverity::Info},
    {"command", true, 501, LogSeverity::Warning},
    {"refresh-failed", false, 600, LogSeverity::Error},
    {"refresh-recovered", false, 601, LogSeverity::Info},
    {"program-failed", false, 602, LogSeverity::Error},
    {"delivery-failed", false, 603, LogSeverity::Error},
    {"reminder", false, 604, LogSeverity::Error},
};

// The outcome a command's or a job's object states; empty when it states none as a word (a journal
// edited by hand), which must not end the delivery of the record.
std::string Outcome(const json& object) {
  const auto outcome = object.find("outcome");
  return outcome != object.end() && outcome->is_string() ? outcome->get<std::string>() : "";
}

// Whether a command record tells of a command that failed or was refused.
bool CommandFailed(const json& r) {
  auto command = r.find("command");
  if (command == r.end() || !command->is_object()) return false;
  if (auto code = command->find("exitCode"); code != command->end() && code->is_number())
    return code->get<double>() != 0;
  const std::string outcome = Outcome(*command);
  return !outcome.empty() && outcome != "ok" && outcome != "succeeded";
}

bool JobFailed(const json& r) {
  auto job = r.find("job");
  return job != r.end() && job->is_object() && Outcome(*job) == "failed";
}

}  // namespace

std::span<const SystemLogKind> SystemLogKinds() { return kKinds; }

LogEntry SystemLogEntry(const json& record) {
  const auto given = record.find("kind");
  const std::string kind =
      given != record.end() && given->is_string() ? given->get<std::string>() : "";
  const bool wentWrong =
      (kind == "command" && CommandFailed(record)) || (kind == "job" && JobFailed(record));
  LogEntry entry;
  for (const auto& row : kKinds)
    if (kind == row.kind && wentWrong == row.wentWrong) {
      entry.eventId = row.eventId;
      entry.severity = row.severity;
    }
  entry.message = EventText(RecordEvent(record));
  if (auto id = record.find("id"); id != record.end()) entry.message += " id=" + id->dump();
  return entry;
}

}  // namespace veskctl
