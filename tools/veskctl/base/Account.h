// Who runs veskctl, as the system knows it: the process's own account, never what the
// environment claims (USER and USERNAME are anyone's to set). Account.cc on POSIX,
// AccountWindows.cc on Windows, chosen by the build.
#pragma once

#include <string>

namespace veskctl {

// The name of the account the process runs as: the effective user's on POSIX ("uid N" when the
// system has no name for it), the process token's user on Windows ("unknown" when it cannot be
// read).
std::string AccountName();

}  // namespace veskctl
