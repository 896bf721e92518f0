// The account on POSIX: the effective user id, named by the user database.
#include "tools/veskctl/base/Account.h"

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace veskctl {

std::string AccountName() {
  const uid_t uid = ::geteuid();
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_name != nullptr && *found->pw_name != '\0')
    return found->pw_name;
  return "uid " + std::to_string(uid);
}

}  // namespace veskctl
