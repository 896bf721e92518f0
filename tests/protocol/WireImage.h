// The expected bytes of a request as it reaches the device, written by hand at wire offsets and
// independent of the record structures, so that a wrong offset in a record shows up as a
// mismatching byte.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/Types.h"

namespace Vesk::test {

class WireImage {
 public:
  // A management request: the header with signature "TALUMgmt" and the API version at 28.
  static WireImage Management(std::uint32_t length, std::uint32_t functionCode,
                              std::uint32_t apiVersion) {
    WireImage image = Header(length, functionCode, "TALUMgmt");
    image.U32(28, apiVersion);
    return image;
  }
  // An out-of-band request: the bare header with signature "TALU OOB".
  static WireImage OutOfBand(std::uint32_t length, std::uint32_t functionCode) {
    return Header(length, functionCode, "TALU OOB");
  }

  WireImage& U8(std::size_t offset, std::uint8_t value) { return Le(offset, value, 1); }
  WireImage& U16(std::size_t offset, std::uint16_t value) { return Le(offset, value, 2); }
  WireImage& U32(std::size_t offset, std::uint32_t value) { return Le(offset, value, 4); }
  WireImage& U64(std::size_t offset, std::uint64_t value) { return Le(offset, value, 8); }
  WireImage& Text(std::size_t offset, std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) bytes.at(offset + i) = std::uint8_t(text[i]);
    return *this;
  }
  WireImage& Id(std::size_t offset, const vesk_guid& id) {
    std::uint8_t raw[16];
    std::memcpy(raw, &id, sizeof raw);
    for (std::size_t i = 0; i < 16; ++i) bytes.at(offset + i) = raw[i];
    return *this;
  }
  WireImage& Bytes(std::size_t offset, const std::vector<std::uint8_t>& values) {
    for (std::size_t i = 0; i < values.size(); ++i) bytes.at(offset + i) = values[i];
    return *this;
  }

  std::vector<std::uint8_t> bytes;

 private:
  static WireImage Header(std::uint32_t length, std::uint32_t functionCode,
                          std::string_view signature) {
    WireImage image;
    image.bytes.assign(length, 0);
    image.U32(0, 28).Text(4, signature).U32(12, 30000).U32(16, functionCode).U32(20, 0);
    image.U32(24, length - 28);
    return image;
  }
  WireImage& Le(std::size_t offset, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) bytes.at(offset + i) = std::uint8_t(value >> (8 * i));
    return *this;
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
