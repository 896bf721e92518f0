// Older answers read back as the current records: controller information, volumes and drives of
// every API version, byte for byte against the widening rules written out here per offset.
#include <gtest/gtest.h>

#include "protocol/QueryReaders.h"
#include "tests/protocol/QueryAnswer.h"

namespace Vesk {
namespace {

using test::Answer;
using test::BytesOf;
using test::Pattern;

constexpr std::size_t kEntry = 34;

// --- Controller information ------------------------------------------------------------------

std::vector<std::uint8_t> ReadController(std::uint32_t api,
                                         const std::vector<std::uint8_t>& entry) {
  Answer answer(kEntry + kControllerInfoSize[api]);
  answer.Count(1).Bytes(kEntry, entry);
  return BytesOf(ReadSingleControllerInfo(answer.data(), answer.size(), api));
}

// Every older record keeps its fields and only the interpreted flag bits; versions 2 and 3 also
// carry their text up to its first zero and the fields after it.
TEST(ControllerInfoWidening, OlderRecordsKeepTheirFieldsAndOnlyTheInterpretedFlagBits) {
  for (std::uint32_t api : {0u, 1u, 2u}) {
    auto old = Pattern(kControllerInfoSize[api], 3);
    std::vector<std::uint8_t> expected(403, 0);
    if (api > 0) {
      // "Tier" then a zero, then bytes that must not be carried.
      const char text[] = {'T', 'i', 'e', 'r', 0, 'x', 'y'};
      std::copy(std::begin(text), std::end(text), old.begin() + 335);
      std::copy(text, text + 4, expected.begin() + 335);
      std::copy(old.begin() + 365, old.end(), expected.begin() + 365);
    }
    std::copy(old.begin(), old.begin() + 335, expected.begin());
    expected[279] = old[279] & 0x80;
    expected[302] = old[302] & 0xC0;
    EXPECT_EQ(ReadController(api, old), expected) << "api " << api;
  }
}

// Each interpreted bit alone, both together and none: read patrol (policy bit 6), ROHI (policy
// bit 7) and the pre-OS driver (driver bit 7) survive the widening one by one, the others never.
TEST(ControllerInfoWidening, EachInterpretedFlagBitIsCarriedOnItsOwn) {
  for (std::uint32_t api : {0u, 1u, 2u}) {
    for (std::uint8_t flags : {0x00, 0x40, 0x80, 0xC0, 0x3F, 0xFF}) {
      auto old = Pattern(kControllerInfoSize[api]);
      old[279] = flags;
      old[302] = flags;
      const auto info = ReadController(api, old);
      EXPECT_EQ(info[279], flags & 0x80) << "api " << api << " flags " << int(flags);
      EXPECT_EQ(info[302], flags & 0xC0) << "api " << api << " flags " << int(flags);
    }
  }
}

TEST(ControllerInfoWidening, UnterminatedTextIsCutTo29Characters) {
  auto old = Pattern(370);
  std::fill(old.begin() + 335, old.begin() + 365, 'A');
  auto info = ReadController(1, old);
  EXPECT_EQ(std::string(info.begin() + 335, info.begin() + 364), std::string(29, 'A'));
  EXPECT_EQ(info[364], 0);
}

// --- Volumes ---------------------------------------------------------------------------------

TEST(VolumeWidening, EntriesAreTakenAtTheirVersionsStrideAndOlderOnesWidenTo98Bytes) {
  for (std::uint32_t api : {0u, 1u, 2u, 3u}) {
    const std::size_t size = api < 2 ? 94 : 98;
    auto first = Pattern(size, 1), second = Pattern(size, 2);
    Answer answer(kEntry + size * 3);  // room for three, two sent
    answer.Count(2).Bytes(kEntry, first).Bytes(kEntry + size, second);
    auto volumes = ReadVolumeList(answer.data(), answer.size(), api, 3);
    ASSERT_EQ(volumes.size(), 2u);
    first.resize(98, 0);
    second.resize(98, 0);
    EXPECT_EQ(BytesOf(volumes[0]), first) << "api " << api;
    EXPECT_EQ(BytesOf(volumes[1]), second) << "api " << api;
  }
}

// --- Drives ----------------------------------------------------------------------------------

// The widening rules, byte by byte: `old` is an older drive record (167, 206 or 207 bytes).
std::vector<std::uint8_t> ExpectedDrive(const std::vector<std::uint8_t>& old, std::uint32_t api) {
  const std::size_t shift = api == 0 ? 2 : 0;  // 1.0 lacks the two volume-location bytes
  auto at = [&](std::size_t v2Offset) { return old.at(v2Offset - shift); };
  std::vector<std::uint8_t> out(258, 0);
  std::copy(old.begin(), old.begin() + 32, out.begin());
  std::copy(old.begin() + 48, old.begin() + 134, out.begin() + 48);
  out[134] = old[134] & (api == 0 ? 0xF0 : 0xFC);
  out[135] = api == 0 ? 0xFF : old[135];
  out[136] = api == 0 ? 0 : old[136];
  const std::uint8_t type = at(137);
  out[137] = type == 2 ? 3 : type;
  if (type == 0) out[138] = at(138);
  if (type == 1) out[138] = at(138), out[139] = at(139);
  if (type == 2 || type == 3) {
    out[138] = at(138);
    out[139] = at(139);
    out[140] = at(140) & 0xE0;
    for (std::size_t i = 141; i <= 148; ++i) out[i] = at(i);
    const std::size_t link = type == 2 ? 149 : 163;
    if (type == 3) {
      for (std::size_t i = 149; i <= 162; ++i) out[i] = at(i);
    }
    out[163] = at(link) & 0x07;
    out[164] = at(link) >> 3;
    out[165] = at(link + 1) & 0x07;
    out[166] = at(link + 1) >> 3;
    out[167] = at(link + 2);
    out[168] = at(link + 3);
    out[169] = at(link + 4);
  }
  if (api > 0) {
    out[185] = old[169];
    out[186] = old[170];
    out[217] = old[201];
    for (std::size_t i = 0; i < 4; ++i) out[218 + i] = old[202 + i];
  }
  out[238] = api == 2 ? old[206] : 0xFF;
  return out;
}

std::vector<std::uint8_t> OldDrive(std::uint32_t api, std::uint8_t type, std::uint8_t salt) {
  auto old = Pattern(kDriveInfoSize[api], salt);
  old[api == 0 ? 135 : 137] = type;
  return old;
}

std::vector<std::uint8_t> ReadOneDrive(std::uint32_t api, const std::vector<std::uint8_t>& old) {
  Answer answer(kEntry + old.size());
  answer.Count(1).Bytes(kEntry, old);
  return BytesOf(ReadSingleDriveInfo(answer.data(), answer.size(), api));
}

// Type 9 is unknown: it keeps its type and drops the part of the record that depends on it.
// List entries are taken at their version's stride.
TEST(DriveWidening, EveryOlderVersionAndTypeFollowsTheRulesAloneAndInAList) {
  for (std::uint32_t api : {0u, 1u, 2u}) {
    for (std::uint8_t type : {0, 1, 2, 3, 9}) {
      SCOPED_TRACE(testing::Message() << "api " << api << " type " << int(type));
      auto first = OldDrive(api, type, 0), second = OldDrive(api, type, 0x80);
      EXPECT_EQ(ReadOneDrive(api, first), ExpectedDrive(first, api));
      Answer answer(kDriveListLength);
      answer.Count(2).Bytes(kEntry, first).Bytes(kEntry + first.size(), second);
      auto drives = ReadDriveList(answer.data(), answer.size(), api);
      ASSERT_EQ(drives.size(), 2u);
      EXPECT_EQ(BytesOf(drives[1]), ExpectedDrive(second, api));
    }
  }
}

// Current records are taken whole, carried bits and unknown types included.
TEST(CurrentRecords, AreTakenWhole) {
  const auto controller = Pattern(403), drive = Pattern(258);
  EXPECT_EQ(ReadController(3, controller), controller);
  EXPECT_EQ(ReadOneDrive(3, drive), drive);
}

}  // namespace
}  // namespace Vesk
