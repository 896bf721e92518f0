// The system log on Windows: the Application event log, source "veskctl". The source's
// EventMessageFile is veskctl.exe, which carries a message for every event identifier
// (SystemLogMessages.mc): the Event Viewer shows its headline and the record's text line.
#include "platform/win32.h"
#include "tools/veskctl/base/WindowsText.h"
#include "tools/veskctl/monitor/SystemLog.h"

namespace veskctl {

// Names may be anything Unicode: records are UTF-8, converted whole rather than byte by byte.
std::wstring EventLogText(const LogEntry& entry) {
  std::wstring wide = Utf16(entry.message);
  // ReportEventW refuses an insertion string longer than this: a longer line (a driver's long
  // failure text) loses its middle, keeping its start and the record's " id=N" at its end, where
  // the journal has it whole.
  constexpr std::size_t kMost = 31839, kEnd = 40;
  if (wide.size() <= kMost) return wide;
  const std::wstring gap = L" \u2026 ";
  std::size_t head = kMost - kEnd - gap.size();
  std::size_t tail = wide.size() - kEnd;
  if (IS_LOW_SURROGATE(wide[head])) --head;  // never half a character
  if (IS_LOW_SURROGATE(wide[tail])) ++tail;
  return wide.substr(0, head) + gap + wide.substr(tail);
}

SystemLog::SystemLog() : source(RegisterEventSourceW(nullptr, L"veskctl")) {}

SystemLog::~SystemLog() {
  if (source != nullptr) DeregisterEventSource(static_cast<HANDLE>(source));
}

void SystemLog::Write(const LogEntry& entry) {
  if (source == nullptr) return;
  const WORD type = entry.severity == LogSeverity::Error     ? EVENTLOG_ERROR_TYPE
                    : entry.severity == LogSeverity::Warning ? EVENTLOG_WARNING_TYPE
                                                             : EVENTLOG_INFORMATION_TYPE;
  const std::wstring text = EventLogText(entry);
  const wchar_t* strings[] = {text.c_str()};
  ReportEventW(static_cast<HANDLE>(source), type, 0, static_cast<::DWORD>(entry.eventId), nullptr,
               1, 0, strings, nullptr);
}

}  // namespace veskctl
