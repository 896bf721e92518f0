// errno to Windows error: the one table of the emulation.
#pragma once

#include "platform/win32.h"

namespace vesk::platform {

DWORD WinErrorFromErrno(int error);

// Sets the thread's last error and returns `result`, for the many "fail with X" exits.
template <typename T>
T Fail(DWORD error, T result) {
  SetLastError(error);
  return result;
}

}  // namespace vesk::platform
