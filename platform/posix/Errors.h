// errno to Windows error: the one table of the emulation.
#pragma once

#include "platform/simulated/Simulated.h"  // Fail
#include "platform/win32.h"

namespace vesk::platform {

DWORD WinErrorFromErrno(int error);

}  // namespace vesk::platform
