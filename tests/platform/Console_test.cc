// Console control on this side of the seam: SIGINT and SIGTERM reach the handlers of
// SetConsoleCtrlHandler as Ctrl+C and close, on a thread of their own, the last added first.
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>
#include <vector>

#include "Watchdog.h"
#include "platform/win32.h"

namespace {

std::vector<DWORD> calls;  // (handler, type) as 10 * handler + type
HANDLE handled = nullptr;

BOOL Declines(DWORD type) {
  calls.push_back(10 + type);
  return FALSE;
}
BOOL Takes(DWORD type) {
  calls.push_back(20 + type);
  SetEvent(handled);
  return TRUE;
}

TEST(ConsoleControl, SignalsReachTheHandlersLastAddedFirstUntilOneTakesIt) {
  Vesk::test::Watchdog watchdog("the console control handler");
  handled = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_TRUE(SetConsoleCtrlHandler(Takes, TRUE));
  ASSERT_TRUE(SetConsoleCtrlHandler(Declines, TRUE));
  for (const int signal : {SIGINT, SIGTERM}) {
    ::raise(signal);
    EXPECT_EQ(WaitForSingleObject(handled, INFINITE), WAIT_OBJECT_0);
  }
  EXPECT_EQ(calls, (std::vector<DWORD>{10 + CTRL_C_EVENT, 20 + CTRL_C_EVENT, 10 + CTRL_CLOSE_EVENT,
                                       20 + CTRL_CLOSE_EVENT}));
  EXPECT_TRUE(SetConsoleCtrlHandler(Declines, FALSE));
  EXPECT_FALSE(SetConsoleCtrlHandler(Declines, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(SetConsoleCtrlHandler(Takes, FALSE));
  CloseHandle(handled);
}

}  // namespace
