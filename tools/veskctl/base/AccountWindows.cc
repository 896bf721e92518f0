// The account on Windows: the user of the process's token.
#include <windows.h>

#include "tools/veskctl/base/Account.h"

namespace veskctl {

std::string AccountName() {
  wchar_t name[257];
  DWORD length = sizeof name / sizeof name[0];
  if (!GetUserNameW(name, &length) || length <= 1) return "unknown";
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(length - 1), nullptr, 0,
                                        nullptr, nullptr);
  std::string text(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0)
    WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(length - 1), text.data(), bytes, nullptr,
                        nullptr);
  return text.empty() ? "unknown" : text;
}

}  // namespace veskctl
