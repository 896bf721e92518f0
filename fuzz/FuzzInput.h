// The input shape shared by the answer-reader fuzzers: two leading bytes choose how the reader is
// called, the rest is the answer buffer exactly as the driver would leave it (from offset 0, so
// that a read past its end lands outside libFuzzer's allocation and is caught).
//   byte 0: selector (API version index in bits 0-1; bit 2 picks a reader variant)
//   byte 1: limit (maxVolumesPerController, or the controller count expected)
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace Vesk::fuzz {

struct Input {
  std::uint32_t apiVersion;
  bool variant;
  std::uint8_t limit;
  const std::uint8_t* answer;
  std::size_t length;
};

inline bool Split(const std::uint8_t* data, std::size_t size, Input& input) {
  if (size < 2) return false;
  input = {data[0] & 3u, (data[0] & 4u) != 0, data[1], data + 2, size - 2};
  return true;
}

// A broken invariant of a reader's result is a finding like a crash.
inline void Require(bool condition) {
  if (!condition) std::abort();
}

// No record a reader returns is keyed by the all-zero identifier.
template <class Records>
void RequireIdentifiers(const Records& records) {
  for (const auto& record : records) {
    const auto id = record.id;  // a copy: the packed field may be misaligned
    Require(!id.IsEmpty());
  }
}

}  // namespace Vesk::fuzz
