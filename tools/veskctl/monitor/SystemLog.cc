// The system log on POSIX: syslog(3).
#include "tools/veskctl/monitor/SystemLog.h"

#include <syslog.h>

namespace veskctl {

SystemLog::SystemLog() { ::openlog("veskctl", LOG_PID, LOG_DAEMON); }

SystemLog::~SystemLog() { ::closelog(); }

void SystemLog::Write(const LogEntry& entry) {
  const int priority = entry.severity == LogSeverity::Error     ? LOG_ERR
                       : entry.severity == LogSeverity::Warning ? LOG_WARNING
                                                                : LOG_INFO;
  ::syslog(priority, "%s", entry.message.c_str());
}

}  // namespace veskctl
