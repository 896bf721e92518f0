// Conversions between wchar_t text, UTF-8 and UTF-16. wchar_t is UTF-32 on POSIX and UTF-16 on
// Windows; text is read and written in code points so that both come out the same.
#include <type_traits>

#include "platform/simulated/Host.h"

namespace vesk::platform {

namespace {

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

constexpr char32_t kReplacement = 0xFFFD;

constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;

char32_t Sanitize(char32_t c) {
  return (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) ? kReplacement : c;
}

bool IsHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Calls `use` with each code point of `text`: a surrogate pair is one code point where wchar_t
// is UTF-16, anything that is no code point becomes U+FFFD.
template <typename Use>
void ForEachCodePoint(std::wstring_view text, Use&& use) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(text[i]));
    if (kWideIsUtf16 && IsHighSurrogate(c) && i + 1 < text.size()) {
      const auto next = static_cast<char32_t>(static_cast<char16_t>(text[i + 1]));
      if (IsLowSurrogate(next)) {
        use(0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00));
        ++i;
        continue;
      }
    }
    use(Sanitize(c));
  }
}

void AppendWide(std::wstring& out, char32_t c) {
  if (kWideIsUtf16 && c >= 0x10000) {
    out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
    out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
  } else {
    out += static_cast<wchar_t>(c);
  }
}

}  // namespace

std::string ToUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  ForEachCodePoint(text, [&out](char32_t c) { AppendUtf8(out, c); });
  return out;
}

std::wstring FromUtf8(std::string_view text) {
  std::wstring out;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    if (extra < 0 || i + extra >= text.size()) {
      AppendWide(out, kReplacement);
      ++i;
      continue;
    }
    char32_t c = extra == 0 ? b : (b & (0x3F >> extra));
    bool ok = true;
    for (int k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (next & 0x3F);
    }
    if (!ok) {
      AppendWide(out, kReplacement);
      ++i;
      continue;
    }
    AppendWide(out, Sanitize(c));
    i += extra + 1;
  }
  return out;
}

std::vector<BYTE> ToUtf16Bytes(std::wstring_view text) {
  std::vector<BYTE> out;
  out.reserve((text.size() + 1) * 2);
  auto unit = [&out](char32_t u) {
    out.push_back(static_cast<BYTE>(u & 0xFF));
    out.push_back(static_cast<BYTE>(u >> 8));
  };
  ForEachCodePoint(text, [&unit](char32_t c) {
    if (c >= 0x10000) {
      unit(0xD800 + ((c - 0x10000) >> 10));
      unit(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      unit(c);
    }
  });
  unit(0);
  return out;
}

std::wstring FromUtf16(const char16_t* units, std::size_t count) {
  std::wstring out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const char32_t u = units[i];
    if (IsHighSurrogate(u) && i + 1 < count && IsLowSurrogate(units[i + 1])) {
      AppendWide(out, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else {
      AppendWide(out, Sanitize(u));
    }
  }
  return out;
}

}  // namespace vesk::platform
