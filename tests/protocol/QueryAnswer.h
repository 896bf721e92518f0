// Answer buffers for the query tests and the check of a refused answer.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "protocol/QueryReaders.h"
#include "tests/protocol/WireImage.h"
#include "vesk/Exceptions.h"

namespace Vesk::test {

class Answer : public ByteWriter<Answer> {
 public:
  explicit Answer(std::size_t length) { bytes.assign(length, 0); }

  // 16 bytes, all equal to `seed` except the first, which is `seed + 1` (never all zero).
  Answer& Id(std::size_t offset, std::uint8_t seed) {
    std::vector<std::uint8_t> id(16, seed);
    id[0] = std::uint8_t(seed + 1);
    return Bytes(offset, id);
  }
  Answer& Count(std::uint16_t count) { return U16(32, count); }

  const std::uint8_t* data() const { return bytes.data(); }
  std::size_t size() const { return bytes.size(); }
};

// Bytes that differ from one offset to the next and are rarely zero, so that a byte moved to the
// wrong place or dropped is seen.
inline std::vector<std::uint8_t> Pattern(std::size_t length, std::uint8_t salt = 0) {
  std::vector<std::uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = std::uint8_t(i * 7 + 1 + salt) | 0x01;
  return bytes;
}

template <class T>
std::vector<std::uint8_t> BytesOf(const T& record) {
  std::vector<std::uint8_t> bytes(sizeof record);
  std::memcpy(bytes.data(), &record, sizeof record);
  return bytes;
}

// Packed fields are compared through "+field", a copy: gtest binds references to its arguments,
// and a reference to a misaligned field is undefined.

// Runs `read` and checks that it fails with `message` and ERROR_INVALID_DATA.
template <class F>
void ExpectRejected(F&& read, std::string_view message) {
  try {
    read();
    ADD_FAILURE() << "no exception; expected \"" << message << "\"";
  } catch (const VeskException& e) {
    ADD_FAILURE() << "VeskException instead of TaluException: " << e.what();
  } catch (const TaluException& e) {
    EXPECT_EQ(e.Message(), message);
    EXPECT_STREQ(e.what(), std::string(message).c_str());
    EXPECT_EQ(e.ErrorCode(), 13u);
  }
}

}  // namespace Vesk::test
