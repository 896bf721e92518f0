// Conversions between wchar_t text (UTF-32 here), UTF-8 and UTF-16.
#include "platform/posix/Host.h"

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

char32_t Sanitize(char32_t c) {
  return (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) ? kReplacement : c;
}

}  // namespace

std::string ToUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) AppendUtf8(out, Sanitize(static_cast<char32_t>(c)));
  return out;
}

std::wstring FromUtf8(std::string_view text) {
  std::wstring out;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    if (extra < 0 || i + extra >= text.size()) {
      out += static_cast<wchar_t>(kReplacement);
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
      out += static_cast<wchar_t>(kReplacement);
      ++i;
      continue;
    }
    out += static_cast<wchar_t>(Sanitize(c));
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
  for (wchar_t wc : text) {
    const char32_t c = Sanitize(static_cast<char32_t>(wc));
    if (c >= 0x10000) {
      unit(0xD800 + ((c - 0x10000) >> 10));
      unit(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      unit(c);
    }
  }
  unit(0);
  return out;
}

std::wstring FromUtf16(const char16_t* units, std::size_t count) {
  std::wstring out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const char32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      out += static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      out += static_cast<wchar_t>(kReplacement);
    } else {
      out += static_cast<wchar_t>(u);
    }
  }
  return out;
}

}  // namespace vesk::platform
