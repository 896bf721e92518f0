#include "simulator/TraceDecoder.h"

#include <cstdio>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <vector>

namespace vesk::sim {

namespace {

// In-types of TraceLogging fields (TlgIn), the low five bits of the in-type byte.
enum InType : UCHAR {
  kNull = 0,
  kUnicodeString = 1,
  kAnsiString = 2,
  kInt8 = 3,
  kUInt8 = 4,
  kInt16 = 5,
  kUInt16 = 6,
  kInt32 = 7,
  kUInt32 = 8,
  kInt64 = 9,
  kUInt64 = 10,
  kFloat = 11,
  kDouble = 12,
  kBool32 = 13,
  kBinary = 14,
  kGuid = 15,
  kFileTime = 17,
  kSystemTime = 18,
  kHexInt32 = 20,
  kHexInt64 = 21,
  kCountedString = 22,
  kCountedAnsiString = 23,
};
constexpr UCHAR kTypeMask = 0x1F;
constexpr UCHAR kCountFlags = 0x60;  // arrays and custom fields: not decoded
constexpr UCHAR kChain = 0x80;

// Reads a byte sequence front to back without ever going past its end.
class Reader {
 public:
  Reader(const BYTE* data, std::size_t size) : data(data), size(size) {}
  bool AtEnd() const { return pos >= size; }
  std::size_t Left() const { return size - pos; }
  bool Byte(UCHAR& out) {
    if (AtEnd()) return false;
    out = data[pos++];
    return true;
  }
  bool Bytes(void* out, std::size_t count) {
    if (Left() < count) return false;
    std::memcpy(out, data + pos, count);
    pos += count;
    return true;
  }
  // A zero-terminated 8-bit text; false if no terminator is left.
  bool Text(std::string& out) {
    const void* end = std::memchr(data + pos, 0, Left());
    if (end == nullptr) return false;
    const auto length = static_cast<std::size_t>(static_cast<const BYTE*>(end) - (data + pos));
    out.assign(reinterpret_cast<const char*>(data + pos), length);
    pos += length + 1;
    return true;
  }
  // A zero-terminated UTF-16 text.
  bool Utf16Text(std::string& out) {
    std::vector<char16_t> units;
    for (;;) {
      char16_t unit;
      if (!Bytes(&unit, 2)) return false;
      if (unit == 0) break;
      units.push_back(unit);
    }
    out = platform::ToUtf8(platform::FromUtf16(units.data(), units.size()));
    return true;
  }
  // Chained 7-bit groups, most significant first, as event and field tags are stored.
  bool Tags(ULONG& out) {
    out = 0;
    for (int shift = 21;; shift -= 7) {
      UCHAR b;
      if (!Byte(b)) return false;
      if (shift >= 0) out |= static_cast<ULONG>(b & 0x7F) << shift;
      if ((b & kChain) == 0) return true;
    }
  }

 private:
  const BYTE* data;
  std::size_t size;
  std::size_t pos = 0;
};

// A metadata blob starts with its own total size, which must fit in the descriptor.
bool MetadataBody(const EVENT_DATA_DESCRIPTOR& d, const BYTE*& body, std::size_t& size) {
  if (d.Ptr == 0 || d.Size < 2) return false;
  const auto* bytes = reinterpret_cast<const BYTE*>(static_cast<std::uintptr_t>(d.Ptr));
  const std::size_t total = static_cast<std::size_t>(bytes[0] | (bytes[1] << 8));
  if (total < 2 || total > d.Size) return false;
  body = bytes + 2;
  size = total - 2;
  return true;
}

std::string ProviderName(const BYTE* body, std::size_t size) {
  Reader reader(body, size);
  std::string name;
  return reader.Text(name) ? name : std::string();
}

template <typename T>
bool ReadNumber(Reader& payload, std::string& value, const char* format) {
  T number;
  if (!payload.Bytes(&number, sizeof number)) return false;
  char text[32];
  if constexpr (std::is_floating_point_v<T>) {
    std::snprintf(text, sizeof text, format, static_cast<double>(number));
  } else if constexpr (std::is_signed_v<T>) {
    std::snprintf(text, sizeof text, format, static_cast<long long>(number));
  } else {
    std::snprintf(text, sizeof text, format, static_cast<unsigned long long>(number));
  }
  value = text;
  return true;
}

std::string Hex(const BYTE* bytes, std::size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 0xF];
  }
  return out;
}

// Reads one value of `type`; false when the type is unknown (`known` false) or the data ends.
bool ReadValue(UCHAR type, Reader& payload, std::string& value, bool& known) {
  known = true;
  switch (type) {
    case kNull:
      value.clear();
      return true;
    case kUnicodeString:
      return payload.Utf16Text(value);
    case kAnsiString:
      return payload.Text(value);
    case kInt8:
      return ReadNumber<std::int8_t>(payload, value, "%lld");
    case kUInt8:
      return ReadNumber<std::uint8_t>(payload, value, "%llu");
    case kInt16:
      return ReadNumber<std::int16_t>(payload, value, "%lld");
    case kUInt16:
      return ReadNumber<std::uint16_t>(payload, value, "%llu");
    case kInt32:
    case kBool32:
      return ReadNumber<std::int32_t>(payload, value, "%lld");
    case kUInt32:
      return ReadNumber<std::uint32_t>(payload, value, "%llu");
    case kInt64:
      return ReadNumber<std::int64_t>(payload, value, "%lld");
    case kUInt64:
    case kFileTime:
      return ReadNumber<std::uint64_t>(payload, value, "%llu");
    case kFloat:
      return ReadNumber<float>(payload, value, "%g");
    case kDouble:
      return ReadNumber<double>(payload, value, "%g");
    case kHexInt32:
      return ReadNumber<std::uint32_t>(payload, value, "0x%llx");
    case kHexInt64:
      return ReadNumber<std::uint64_t>(payload, value, "0x%llx");
    case kGuid: {
      GUID g;
      if (!payload.Bytes(&g, sizeof g)) return false;
      char text[40];
      std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", g.Data1,
                    g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                    g.Data4[5], g.Data4[6], g.Data4[7]);
      value = text;
      return true;
    }
    case kSystemTime: {
      BYTE raw[16];
      if (!payload.Bytes(raw, sizeof raw)) return false;
      value = Hex(raw, sizeof raw);
      return true;
    }
    case kBinary:
    case kCountedString:
    case kCountedAnsiString: {
      std::uint16_t length;
      if (!payload.Bytes(&length, 2)) return false;
      std::vector<BYTE> bytes(length);
      if (!payload.Bytes(bytes.data(), length)) return false;
      if (type == kBinary) {
        value = Hex(bytes.data(), bytes.size());
      } else if (type == kCountedAnsiString) {
        value.assign(bytes.begin(), bytes.end());
      } else {
        std::vector<char16_t> units(length / 2);
        std::memcpy(units.data(), bytes.data(), units.size() * 2);
        value = platform::ToUtf8(platform::FromUtf16(units.data(), units.size()));
      }
      return true;
    }
    default:
      known = false;
      return false;
  }
}

}  // namespace

TraceEvent DecodeTraceEvent(const platform::RawTraceEvent& raw) {
  TraceEvent event;
  event.level = raw.descriptor->Level;
  event.channel = raw.descriptor->Channel;
  event.opcode = raw.descriptor->Opcode;
  event.keyword = raw.descriptor->Keyword;

  const BYTE* eventMetadata = nullptr;
  std::size_t eventMetadataSize = 0;
  std::vector<BYTE> payload;
  for (ULONG i = 0; i < raw.dataCount; ++i) {
    const auto& d = raw.data[i];
    const BYTE* body = nullptr;
    std::size_t size = 0;
    switch (d.Reserved & 0xFF) {
      case EVENT_DATA_DESCRIPTOR_TYPE_PROVIDER_METADATA:
        if (MetadataBody(d, body, size)) event.provider = ProviderName(body, size);
        break;
      case EVENT_DATA_DESCRIPTOR_TYPE_EVENT_METADATA:
        if (MetadataBody(d, body, size)) {
          eventMetadata = body;
          eventMetadataSize = size;
        }
        break;
      default:
        if (d.Ptr != 0 && d.Size != 0) {
          const auto* bytes = reinterpret_cast<const BYTE*>(static_cast<std::uintptr_t>(d.Ptr));
          payload.insert(payload.end(), bytes, bytes + d.Size);
        }
        break;
    }
  }
  if (event.provider.empty() && raw.providerTraits && raw.providerTraits->size() > 2)
    event.provider = ProviderName(raw.providerTraits->data() + 2, raw.providerTraits->size() - 2);
  if (eventMetadata == nullptr) return event;

  Reader metadata(eventMetadata, eventMetadataSize);
  if (!metadata.Tags(event.tags) || !metadata.Text(event.name)) return event;
  Reader values(payload.data(), payload.size());
  bool decoding = true;
  while (!metadata.AtEnd()) {
    TraceField field;
    UCHAR in = 0;
    if (!metadata.Text(field.name) || !metadata.Byte(in)) break;
    field.inType = in & kTypeMask;
    if (in & kChain) {
      UCHAR out = 0;
      if (!metadata.Byte(out)) break;
      field.outType = out & 0x7F;
      ULONG fieldTags = 0;
      if ((out & kChain) && !metadata.Tags(fieldTags)) break;
    }
    if (!decoding) {
      field.value = "<not decoded>";
    } else if (in & kCountFlags) {
      field.value = "<unknown in-type " + std::to_string(in & 0x7F) + ">";
      decoding = false;
    } else {
      bool known = true;
      if (!ReadValue(field.inType, values, field.value, known)) {
        field.value =
            known ? "<truncated>" : "<unknown in-type " + std::to_string(field.inType) + ">";
        decoding = false;
      }
    }
    event.fields.push_back(std::move(field));
  }
  return event;
}

}  // namespace vesk::sim
