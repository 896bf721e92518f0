// The simulated driver's own encoding of its answer records, written from the wire layouts of
// each management-specification version. It deliberately shares no code with protocol/: the
// library's readers are tested against it, so a mistake must not be able to sit in both.
//
// All multi-byte values are little-endian; the helpers write them byte by byte so that the
// encoding does not depend on the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "simulator/Topology.h"

namespace vesk::sim::wire {

// Offsets of the request framing.
inline constexpr std::size_t kHeaderLength = 28;
inline constexpr std::size_t kSignatureOffset = 4;
inline constexpr std::size_t kControlCodeOffset = 16;
inline constexpr std::size_t kReturnCodeOffset = 20;
inline constexpr std::size_t kLengthOffset = 24;
inline constexpr std::size_t kApiVersionOffset = 28;
inline constexpr std::size_t kPayloadOffset = 32;
// Answers that list entries: a u16 count at 32, entries from 34.
inline constexpr std::size_t kListEntriesOffset = 34;

inline void Put8(std::uint8_t* p, std::size_t at, std::uint8_t v) { p[at] = v; }
inline void Put16(std::uint8_t* p, std::size_t at, std::uint16_t v) {
  p[at] = static_cast<std::uint8_t>(v);
  p[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(std::uint8_t* p, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void Put64(std::uint8_t* p, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint16_t Get16(const std::uint8_t* p, std::size_t at) {
  return static_cast<std::uint16_t>(p[at] | (p[at + 1] << 8));
}
inline std::uint32_t Get32(const std::uint8_t* p, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[at + i];
  return v;
}
inline std::uint64_t Get64(const std::uint8_t* p, std::size_t at) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[at + i];
  return v;
}
void PutGuid(std::uint8_t* p, std::size_t at, const vesk_guid& id);
vesk_guid GetGuid(const std::uint8_t* p, std::size_t at);
// Fixed-width text, zero-padded; longer text is cut at the width.
void PutText(std::uint8_t* p, std::size_t at, std::size_t width, const std::string& text);
// Text of a fixed-width field up to its first zero byte.
std::string GetText(const std::uint8_t* p, std::size_t at, std::size_t width);

// Record sizes by API version index (0..3).
std::size_t ControllerRecordSize(std::uint32_t api);  // 335, 370, 370, 403
std::size_t VolumeRecordSize(std::uint32_t api);      // 94, 94, 98, 98
std::size_t DriveRecordSize(std::uint32_t api);       // 167, 206, 207, 258
inline constexpr std::size_t kArrayRecordSize = 53;
inline constexpr std::size_t kExecutorAnswerSize = 40;  // offsets 32..71

// Each writer fills one record at `record`, which must hold the record size for `api`; bytes the
// writer does not name are left as they are (the caller zeroes the answer first).
void WriteController(std::uint8_t* record, const Controller& c, std::uint32_t api);
void WriteArray(std::uint8_t* record, const Controller& c, const Array& a);
void WriteVolume(std::uint8_t* record, const Controller& c, const Volume& v, std::uint32_t api);
void WriteDrive(std::uint8_t* record, const Controller& c, const Drive& d, std::uint32_t api);
void WriteExecutorInformation(std::uint8_t* answer, const Controller& c);
// The capabilities answer from offset 32: a count byte and the descriptors, in the current form
// (with migration lists) or the legacy form (10-byte descriptors).
std::vector<std::uint8_t> CapabilitiesAnswer(const Controller& c, bool legacy);

// Progress of a volume's background work in percent (0 when there is none).
std::uint16_t ProgressPercent(const Volume& v);

}  // namespace vesk::sim::wire
