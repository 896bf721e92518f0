#include "managed/Text.h"

namespace VESK_Managed::detail {
namespace {

// The white space of the runtime's Trim that ASCII holds.
bool IsWhiteSpace(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

}  // namespace

std::wstring DecodeText(const char* chars, std::size_t width, Trim trim) {
  // Widening maps each byte to one character, so the cuts can be found on the bytes and the text
  // built once: a diff decodes a text of every drive on every refresh.
  auto widen = [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte > 127 ? L'?' : static_cast<wchar_t>(byte);
  };
  std::size_t end = width;
  while (end > 0 && chars[end - 1] == '\0') --end;
  std::size_t begin = 0;
  while (begin < end && IsWhiteSpace(widen(chars[begin]))) ++begin;
  if (trim == Trim::BothEnds) {
    while (end > begin && IsWhiteSpace(widen(chars[end - 1]))) --end;
  }
  std::wstring text(end - begin, L'\0');
  for (std::size_t i = begin; i < end; ++i) text[i - begin] = widen(chars[i]);
  return text;
}

}  // namespace VESK_Managed::detail
