// veskctl.exe is the message file of the Application log's source "veskctl": for every event
// identifier the system log writes, Windows finds its message in veskctl.exe itself and puts the
// record's text line into it. (Wine has no event log to read records back from, so the test
// formats each message as the Event Viewer would.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32.h"
#include "tools/veskctl/monitor/SystemLog.h"

namespace {

class EventMessages : public ::testing::Test {
 protected:
  void SetUp() override {
    module = LoadLibraryExA(VESKCTL_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << VESKCTL_EXE << ": error " << GetLastError();
  }
  void TearDown() override {
    if (module) FreeLibrary(module);
  }

  // The message `id` with `text` as its insertion string, as the Event Viewer shows it; empty,
  // with the error in `error`, when veskctl.exe has none.
  std::wstring Format(DWORD id, const std::wstring& text, DWORD* error = nullptr) {
    const DWORD_PTR strings[] = {reinterpret_cast<DWORD_PTR>(text.c_str())};
    wchar_t* formatted = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                                       FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                   module, id, 0, reinterpret_cast<wchar_t*>(&formatted), 0,
                                   reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(strings)));
    if (error) *error = n == 0 ? GetLastError() : 0;
    std::wstring out = n == 0 ? L"" : std::wstring(formatted, n);
    LocalFree(formatted);
    return out;
  }

  HMODULE module = nullptr;
};

TEST_F(EventMessages, EveryEventIdHasItsHeadlineAndTheRecordsText) {
  const std::wstring line = L"2026-12-07T14:05:00.123Z  volume-degraded  volume \"r5\" (f0) id=41";
  auto ids = std::vector<unsigned>{veskctl::kUnknownKindEventId};
  for (const auto& row : veskctl::SystemLogKinds()) ids.push_back(row.eventId);
  for (unsigned id : ids) {
    DWORD error = 0;
    const std::wstring shown = Format(id, line, &error);
    ASSERT_EQ(error, 0u) << "event id " << id;
    // A headline of its own, then the line, and nothing after it.
    const auto at = shown.find(L"\r\n" + line);
    ASSERT_NE(at, std::wstring::npos) << "event id " << id;
    EXPECT_GT(at, 10u) << "event id " << id;
    EXPECT_EQ(at + 2 + line.size(), shown.size()) << "event id " << id;
  }
  // An identifier that is not the table's has no message: the lookup above is a real one.
  DWORD error = 0;
  EXPECT_EQ(Format(2, line, &error), L"");
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

// Names may be anything Unicode: the record's UTF-8 reaches the log as the same characters.
TEST_F(EventMessages, TheRecordsTextIsItsUtf8AsUtf16) {
  nlohmann::json record = {
      {"id", 7},
      {"time", "2026-12-07T14:05:00.123Z"},
      {"kind", "volume-degraded"},
      {"element", {{"kind", "volume"}, {"id", "f0"}, {"name", "Daten \u00e9\u20ac\U0001F600"}}},
      {"detail", nullptr}};
  const auto entry = veskctl::SystemLogEntry(record);
  const std::wstring text = veskctl::EventLogText(entry);
  EXPECT_EQ(text,
            L"2026-12-07T14:05:00.123Z  volume-degraded  volume \"Daten \u00e9\u20ac\U0001F600\" "
            L"(f0) id=7");
  EXPECT_EQ(Format(entry.eventId, text),
            L"A volume is degraded: it has lost its redundancy.\r\n" + text);
  // What ReportEventW would refuse loses its middle, never half a character, and keeps its id.
  std::string longLine = "2026-12-07T14:05:00.123Z  refresh-failed  :";
  for (int i = 0; i < 20000; ++i) longLine += "\U0001F600";
  longLine += " id=7";
  const std::wstring cut = veskctl::EventLogText({600, veskctl::LogSeverity::Error, longLine});
  EXPECT_LE(cut.size(), 31839u);
  EXPECT_GT(cut.size(), 31830u);
  EXPECT_EQ(cut.substr(0, 45), L"2026-12-07T14:05:00.123Z  refresh-failed  :\U0001F600");
  EXPECT_TRUE(cut.ends_with(L"\U0001F600\U0001F600 id=7")) << cut.substr(cut.size() - 40);
  EXPECT_NE(cut.find(L"\U0001F600 \u2026 \U0001F600"), std::wstring::npos);
  // Bytes that are not UTF-8 become U+FFFD, and the rest of the line stays.
  EXPECT_EQ(veskctl::EventLogText({1, veskctl::LogSeverity::Info,
                                   "a\xff"
                                   "b"}),
            L"a\uFFFDb");
}

}  // namespace
