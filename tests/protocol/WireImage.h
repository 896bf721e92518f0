// The expected bytes of a request as it reaches the device, and the answers the query tests feed
// to the readers, written by hand at wire offsets and independent of the record structures, so
// that a wrong offset in a record shows up as a mismatching byte.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/Types.h"

namespace Vesk::test {

// Little-endian values and raw bytes at given offsets of a buffer of fixed length.
template <class Self>
class ByteWriter {
 public:
  Self& U8(std::size_t offset, std::uint8_t value) { return Le(offset, value, 1); }
  Self& U16(std::size_t offset, std::uint16_t value) { return Le(offset, value, 2); }
  Self& U32(std::size_t offset, std::uint32_t value) { return Le(offset, value, 4); }
  Self& U64(std::size_t offset, std::uint64_t value) { return Le(offset, value, 8); }
  Self& Text(std::size_t offset, std::string_view text) {
    return Bytes(offset, std::vector<std::uint8_t>(text.begin(), text.end()));
  }
  Self& Bytes(std::size_t offset, const std::vector<std::uint8_t>& values) {
    for (std::size_t i = 0; i < values.size(); ++i) bytes.at(offset + i) = values[i];
    return static_cast<Self&>(*this);
  }

  std::vector<std::uint8_t> bytes;

 private:
  Self& Le(std::size_t offset, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) bytes.at(offset + i) = std::uint8_t(value >> (8 * i));
    return static_cast<Self&>(*this);
  }
};

class WireImage : public ByteWriter<WireImage> {
 public:
  // A management request: the header with signature "TALUMgmt" and the API version at 28.
  static WireImage Management(std::uint32_t length, std::uint32_t functionCode,
                              std::uint32_t apiVersion) {
    return Header(length, functionCode, "TALUMgmt").U32(28, apiVersion);
  }
  // An out-of-band request: the bare header with signature "TALU OOB".
  static WireImage OutOfBand(std::uint32_t length, std::uint32_t functionCode) {
    return Header(length, functionCode, "TALU OOB");
  }

  WireImage& Id(std::size_t offset, const vesk_guid& id) {
    std::vector<std::uint8_t> raw(16);
    std::memcpy(raw.data(), &id, 16);
    return Bytes(offset, raw);
  }

 private:
  static WireImage Header(std::uint32_t length, std::uint32_t functionCode,
                          std::string_view signature) {
    WireImage image;
    image.bytes.assign(length, 0);
    image.U32(0, 28).Text(4, signature).U32(12, 30000).U32(16, functionCode);
    return image.U32(24, length - 28);
  }
};

// A recognisable identifier: 16 bytes counting up from `seed`.
inline vesk_guid TestId(std::uint8_t seed) {
  std::uint8_t raw[16];
  for (std::size_t i = 0; i < 16; ++i) raw[i] = std::uint8_t(seed + i);
  vesk_guid id;
  std::memcpy(&id, raw, sizeof raw);
  return id;
}

// Byte-by-byte difference of two buffers, for failure messages.
inline std::string DescribeDifference(const std::vector<std::uint8_t>& actual,
                                      const std::vector<std::uint8_t>& expected) {
  std::string text;
  if (actual.size() != expected.size()) {
    text += "length " + std::to_string(actual.size()) + ", expected " +
            std::to_string(expected.size()) + "; ";
  }
  for (std::size_t i = 0; i < std::min(actual.size(), expected.size()); ++i) {
    if (actual[i] != expected[i]) {
      text += "byte " + std::to_string(i) + " is " + std::to_string(actual[i]) + ", expected " +
              std::to_string(expected[i]) + "; ";
    }
  }
  return text;
}

}  // namespace Vesk::test
