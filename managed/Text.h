// Decoding of the fixed-width 8-bit texts of native records.
#pragma once

#include <cstddef>
#include <string>

namespace VESK_Managed::detail {

enum class Trim { BothEnds, StartOnly };

// ASCII over the whole width (bytes above 127 become '?'), then trailing NULs cut, then white
// space trimmed. NULs inside the text stay.
std::wstring DecodeText(const char* chars, std::size_t width, Trim trim);

template <std::size_t N>
std::wstring DecodeText(const char (&chars)[N], Trim trim) {
  return DecodeText(chars, N, trim);
}

}  // namespace VESK_Managed::detail
