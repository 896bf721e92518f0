#include "vesk/Types.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "platform/win32.h"
#include "vesk/Exceptions.h"

namespace Vesk {
namespace {

// A guid with the given bytes (offset, value) set and every other byte zero.
vesk_guid Bytes(std::initializer_list<std::pair<int, std::uint8_t>> set) {
  std::uint8_t raw[16] = {};
  for (auto [offset, value] : set) raw[offset] = value;
  vesk_guid guid;
  std::memcpy(&guid, raw, sizeof raw);
  return guid;
}

// Pairs (smaller, larger) in which one rule of the ordering decides: the groups compare as
// unsigned little-endian numbers (group 4 as a number too, so byte 9 before byte 8), in group
// order, and group 5 byte by byte. A later group at its largest never outweighs an earlier one.
struct OrderedPair {
  const char* name;
  vesk_guid smaller, larger;
};

void PrintTo(const OrderedPair& pair, std::ostream* out) { *out << pair.name; }

class GuidOrdering : public ::testing::TestWithParam<OrderedPair> {};

TEST_P(GuidOrdering, SmallerIsLessOnlyOneWay) {
  const auto& [name, smaller, larger] = GetParam();
  EXPECT_TRUE(smaller < larger);
  EXPECT_FALSE(larger < smaller);
  EXPECT_FALSE(larger < larger);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, GuidOrdering,
    ::testing::Values(
        OrderedPair{"Group1IsUnsigned", Bytes({{3, 0x7F}}), Bytes({{3, 0x80}})},
        OrderedPair{"Group1IsANumber", Bytes({{0, 0xFF}}), Bytes({{1, 0x01}})},
        OrderedPair{"Group1BeforeGroup2", Bytes({{0, 2}, {4, 0xFF}, {5, 0xFF}}), Bytes({{0, 3}})},
        OrderedPair{"Group2IsANumber", Bytes({{4, 0xFF}}), Bytes({{5, 0x01}})},
        OrderedPair{"Group2IsUnsigned", Bytes({{5, 0x7F}}), Bytes({{5, 0x80}})},
        OrderedPair{"Group2BeforeGroup3", Bytes({{4, 1}, {6, 0xFF}, {7, 0xFF}}), Bytes({{4, 2}})},
        OrderedPair{"Group3IsANumber", Bytes({{6, 0xFF}}), Bytes({{7, 0x01}})},
        OrderedPair{"Group3IsUnsigned", Bytes({{7, 0x7F}}), Bytes({{7, 0x80}})},
        OrderedPair{"Group3BeforeGroup4", Bytes({{6, 1}, {8, 0xFF}, {9, 0xFF}}), Bytes({{6, 2}})},
        OrderedPair{"Group4ByteNineFirst", Bytes({{8, 0xFF}}), Bytes({{9, 0x01}})},
        OrderedPair{"Group4IsUnsigned", Bytes({{9, 0x7F}}), Bytes({{9, 0x80}})},
        OrderedPair{
            "Group4BeforeGroup5",
            Bytes({{8, 1}, {10, 0xFF}, {11, 0xFF}, {12, 0xFF}, {13, 0xFF}, {14, 0xFF}, {15, 0xFF}}),
            Bytes({{8, 2}})},
        OrderedPair{"Group5FirstDifferenceDecides", Bytes({{14, 0}, {15, 9}}), Bytes({{14, 1}})},
        OrderedPair{"Group5Byte10BeforeTheRest",
                    Bytes({{10, 2}, {11, 0xFF}, {12, 0xFF}, {13, 0xFF}, {14, 0xFF}, {15, 0xFF}}),
                    Bytes({{10, 3}})},
        OrderedPair{"Group5Byte11BeforeTheRest",
                    Bytes({{11, 2}, {12, 0xFF}, {13, 0xFF}, {14, 0xFF}, {15, 0xFF}}),
                    Bytes({{11, 3}})},
        OrderedPair{"Group5Byte12BeforeTheRest",
                    Bytes({{12, 2}, {13, 0xFF}, {14, 0xFF}, {15, 0xFF}}), Bytes({{12, 3}})},
        OrderedPair{"Group5Byte13BeforeTheRest", Bytes({{13, 2}, {14, 0xFF}, {15, 0xFF}}),
                    Bytes({{13, 3}})},
        OrderedPair{"Group5Byte14BeforeTheRest", Bytes({{14, 2}, {15, 0xFF}}), Bytes({{14, 3}})},
        OrderedPair{"Group5IsUnsigned", Bytes({{10, 0x7F}}), Bytes({{10, 0x80}})},
        OrderedPair{"InvalidIsSmallest", vesk_invalid_guid, Bytes({{15, 1}})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GuidText, PrintsGroupFourAsNumberAndLowerCaseAndOnlyTheInvalidOneIsEmpty) {
  EXPECT_EQ(vesk_invalid_guid.ToString(), "00000000-0000-0000-0000-000000000000");
  const std::uint8_t raw[16] = {0xEF, 0xBE, 0xAD, 0xDE, 0x34, 0x12, 0x78, 0x56,
                                0xAB, 0xCD, 1,    2,    3,    4,    5,    0xFE};
  vesk_guid g;
  std::memcpy(&g, raw, sizeof raw);
  EXPECT_EQ(g.ToString(), "deadbeef-1234-5678-cdab-0102030405fe");
  EXPECT_TRUE(vesk_invalid_guid.IsEmpty());
  EXPECT_FALSE(Bytes({{15, 1}}).IsEmpty());
}

TEST(Exceptions, TaluExceptionTakesLastErrorAtConstructionIncludingZero) {
  SetLastError(0);
  EXPECT_EQ(TaluException("x").ErrorCode(), 0u);
  SetLastError(ERROR_BUSY);
  TaluException e("y");
  SetLastError(0);
  EXPECT_EQ(e.ErrorCode(), ERROR_BUSY);
}

TEST(Exceptions, OwnedMessageOutlivesItsSource) {
  TaluException copy("placeholder", 0);
  {
    std::string text = "Unable to release device's mutex\\\\?\\Global";
    copy = TaluException::Owning(text, 288);
    text.assign(text.size(), 'x');
  }
  EXPECT_EQ(copy.Message(), "Unable to release device's mutex\\\\?\\Global");
  EXPECT_STREQ(copy.what(), "Unable to release device's mutex\\\\?\\Global");
  EXPECT_EQ(copy.ErrorCode(), 288u);
}

}  // namespace
}  // namespace Vesk
