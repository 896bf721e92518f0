// The system log on Windows: the Application event log, source "veskctl". The source has no
// message file registered, so the Event Viewer shows the text as the event's only insertion
// string.
#include "platform/win32.h"
#include "tools/veskctl/monitor/SystemLog.h"

namespace veskctl {

SystemLog::SystemLog() : source(RegisterEventSourceW(nullptr, L"veskctl")) {}

SystemLog::~SystemLog() {
  if (source != nullptr) DeregisterEventSource(static_cast<HANDLE>(source));
}

void SystemLog::Write(const LogEntry& entry) {
  if (source == nullptr) return;
  const WORD type = entry.severity == LogSeverity::Error     ? EVENTLOG_ERROR_TYPE
                    : entry.severity == LogSeverity::Warning ? EVENTLOG_WARNING_TYPE
                                                             : EVENTLOG_INFORMATION_TYPE;
  // Records are ASCII but for names, which the managed face already narrowed to ASCII.
  const std::wstring text(entry.message.begin(), entry.message.end());
  const wchar_t* strings[] = {text.c_str()};
  ReportEventW(static_cast<HANDLE>(source), type, 0, 0, nullptr, 1, 0, strings, nullptr);
}

}  // namespace veskctl
