// The managed identifier of a controller, array, volume or drive.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "vesk/Types.h"
#include "vesk_managed/System.h"

namespace VESK_Managed {

class Guid : public System::Object {
 public:
  Guid() = default;  // all groups zero
  explicit Guid(const Vesk::vesk_guid& native);

  Vesk::vesk_guid ToNative() const;

  // The all-zero identifier, the value of vesk_invalid_guid. Read-only: a shared "empty" value
  // that callers could change would change what IsEmpty means for everybody.
  static const Guid& Empty();
  bool IsEmpty() const { return Equals(&Empty()); }

  // False for null.
  bool Equals(const Guid* other) const;
  // False for null and for an object that is not a Guid.
  bool Equals(const System::Object* obj) const;
  bool operator==(const Guid& other) const { return Equals(&other); }

  std::int32_t GetHashCode() const;
  // "%08x-%04x-%04x-%04x-%02x%02x%02x%02x%02x%02x", group4 printed as a 16-bit number.
  std::wstring ToString() const;

  std::uint32_t group1 = 0;
  std::uint16_t group2 = 0;
  std::uint16_t group3 = 0;
  std::uint16_t group4 = 0;
  std::array<std::uint8_t, 6> group5 = {};
};

// The equality comparer offered to the user interface; also usable as a hash functor.
struct GuidComparer {
  bool Equals(const Guid& lhs, const Guid& rhs) const { return lhs.Equals(&rhs); }
  std::int32_t GetHashCode(const Guid& obj) const { return obj.GetHashCode(); }
  std::size_t operator()(const Guid& obj) const {
    return static_cast<std::uint32_t>(obj.GetHashCode());
  }
};

}  // namespace VESK_Managed

template <>
struct std::hash<VESK_Managed::Guid> {
  std::size_t operator()(const VESK_Managed::Guid& guid) const {
    return static_cast<std::uint32_t>(guid.GetHashCode());
  }
};
