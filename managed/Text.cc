#include "managed/Text.h"

namespace VESK_Managed::detail {
namespace {

// The white space of the runtime's Trim that ASCII holds.
bool IsWhiteSpace(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

}  // namespace

std::wstring DecodeText(const char* chars, std::size_t width, Trim trim) {
  std::wstring text;
  text.reserve(width);
  for (std::size_t i = 0; i < width; ++i) {
    const auto byte = static_cast<unsigned char>(chars[i]);
    text.push_back(byte > 127 ? L'?' : static_cast<wchar_t>(byte));
  }
  std::size_t end = text.size();
  while (end > 0 && text[end - 1] == L'\0') --end;
  std::size_t begin = 0;
  while (begin < end && IsWhiteSpace(text[begin])) ++begin;
  if (trim == Trim::BothEnds) {
    while (end > begin && IsWhiteSpace(text[end - 1])) --end;
  }
  return text.substr(begin, end - begin);
}

}  // namespace VESK_Managed::detail
