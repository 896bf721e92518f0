#include "vesk_managed/Guid.h"

#include <cstdio>
#include <cstring>

namespace VESK_Managed {

Guid::Guid(const Vesk::vesk_guid& native)
    : group1(native.group1), group2(native.group2), group3(native.group3), group4(native.group4) {
  std::memcpy(group5.data(), native.group5, group5.size());
}

Vesk::vesk_guid Guid::ToNative() const {
  Vesk::vesk_guid native{};
  native.group1 = group1;
  native.group2 = group2;
  native.group3 = group3;
  native.group4 = group4;
  std::memcpy(native.group5, group5.data(), group5.size());
  return native;
}

const Guid& Guid::Empty() {
  static const Guid empty;
  return empty;
}

bool Guid::Equals(const Guid* other) const {
  return other != nullptr && group1 == other->group1 && group2 == other->group2 &&
         group3 == other->group3 && group4 == other->group4 && group5 == other->group5;
}

bool Guid::Equals(const System::Object* obj) const {
  return Equals(dynamic_cast<const Guid*>(obj));
}

std::int32_t Guid::GetHashCode() const {
  // Signed 32-bit arithmetic with wrap-around, done on unsigned values; >> is arithmetic.
  auto shiftRight2 = [](std::uint32_t h) {
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(h) >> 2);
  };
  auto mix = [&](std::uint32_t h, std::uint32_t part, std::uint32_t k) {
    return h ^ (part + (h << 6) + shiftRight2(h) + k);
  };
  std::uint32_t h = group1 - 0x7A0BEFC6u;
  h = mix(h, group2, 0x086194D5u);
  h ^= group3 + ((h + 0x00F437ECu) << 6) + shiftRight2(h);
  h = mix(h, group4, 0x58DE210Eu);
  static constexpr std::uint32_t kGroup5[6] = {0x22E23BE8u, 0x437B1216u, 0x6E80DC3Au,
                                               0x46E7D07Bu, 0x71FF7D7Bu, 0x56D2B7C1u};
  for (std::size_t i = 0; i < group5.size(); ++i) h = mix(h, group5[i], kGroup5[i]);
  return static_cast<std::int32_t>(h);
}

std::wstring Guid::ToString() const {
  char text[37];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%02x%02x%02x%02x%02x%02x",
                static_cast<unsigned>(group1), static_cast<unsigned>(group2),
                static_cast<unsigned>(group3), static_cast<unsigned>(group4), group5[0], group5[1],
                group5[2], group5[3], group5[4], group5[5]);
  return std::wstring(text, text + 36);
}

}  // namespace VESK_Managed
