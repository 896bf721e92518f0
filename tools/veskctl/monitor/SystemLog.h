// `monitor --syslog`: the journal's records in the system's own log, so that a fleet's log
// collection sees them with everything else. POSIX systems get them through syslog(3) (facility
// daemon, tagged "veskctl" with the process identifier); Windows in the Application event log
// under the source "veskctl". The system's call lives in one source per system (SystemLog.cc,
// SystemLogWindows.cc), chosen by the build; what a record becomes is common to both.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace veskctl {

enum class LogSeverity { Error, Warning, Info };

struct LogEntry {
  LogSeverity severity = LogSeverity::Info;
  std::string message;
};

// What the system log gets for `record`: an error for what failed or went missing, a degraded
// volume and the reminder of a fault; a warning for a command that failed; information otherwise.
// The message is the record's text line with its identifier (" id=N").
LogEntry SystemLogEntry(const nlohmann::json& record);

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
