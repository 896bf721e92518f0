// `monitor --syslog`: the journal's records in the system's own log, so that a fleet's log
// collection sees them with everything else. POSIX systems get them through syslog(3) (facility
// daemon, tagged "veskctl" with the process identifier); Windows in the Application event log
// under the source "veskctl". The system's call lives in one source per system (SystemLog.cc,
// SystemLogWindows.cc), chosen by the build; what a record becomes is common to both.
#pragma once

#include <nlohmann/json.hpp>
#include <span>
#include <string>

namespace veskctl {

enum class LogSeverity { Error, Warning, Info };

// The event identifier of a record whose kind this veskctl does not know (a newer veskctl's
// journal): its text still reaches the log, under a message that says so.
inline constexpr unsigned kUnknownKindEventId = 1;

struct LogEntry {
  unsigned eventId = kUnknownKindEventId;
  LogSeverity severity = LogSeverity::Info;
  std::string message;
};

// What the system log makes of one kind of journal record. A few kinds tell in an object of their
// own whether something went wrong (a command that failed or was refused, background work that
// failed): those have a row for each case, so that a log's filter on the identifier tells them
// apart. Windows shows each identifier's message from veskctl.exe (SystemLogMessages.mc holds one
// for every identifier here).
struct SystemLogKind {
  const char* kind;
  bool wentWrong;
  unsigned eventId;
  LogSeverity severity;
};

std::span<const SystemLogKind> SystemLogKinds();

// What the system log gets for `record`: its kind's row (unknown kinds kUnknownKindEventId, as
// information) and the record's text line with its identifier (" id=N").
LogEntry SystemLogEntry(const nlohmann::json& record);

#ifdef _WIN32
// The entry's text as the Application log's insertion string: UTF-16, with U+FFFD for bytes that
// are not UTF-8, and at most 31839 characters (ReportEventW's limit) with the end kept.
std::wstring EventLogText(const LogEntry& entry);
#endif

class SystemLog {
 public:
  SystemLog();
  ~SystemLog();
  SystemLog(const SystemLog&) = delete;
  SystemLog& operator=(const SystemLog&) = delete;

  void Write(const LogEntry& entry);

 private:
  void* source = nullptr;  // Windows: the event source's HANDLE
};

}  // namespace veskctl
