// Text as Windows takes it: veskctl's strings are UTF-8, the system's wide calls take UTF-16, and
// a command line is one string that the started program's C runtime splits again. Windows only.
#pragma once

#include <string>

namespace veskctl {

// UTF-8 to UTF-16 and back; what is not valid UTF-8 becomes U+FFFD.
std::wstring Utf16(const std::string& text);
std::string Utf8(const std::wstring& text);
// One argument of a command line, quoted so that the C runtime (CommandLineToArgvW) reads it back
// as it was: the backslashes before a quote, or before the closing quote, doubled.
std::wstring QuotedArgument(const std::wstring& argument);

}  // namespace veskctl
