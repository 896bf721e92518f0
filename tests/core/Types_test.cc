#include "vesk/Types.h"

#include <gtest/gtest.h>

#include <map>

#include "platform/win32.h"
#include "vesk/Exceptions.h"

namespace Vesk {
namespace {

vesk_guid Guid(std::initializer_list<std::uint8_t> bytes) {
  vesk_guid guid = vesk_invalid_guid;
  std::uint8_t raw[16] = {};
  std::size_t i = 0;
  for (auto b : bytes) raw[i++] = b;
  std::memcpy(&guid, raw, sizeof raw);
  return guid;
}

TEST(GuidOrdering, FourthGroupComparesAsNumberSoByteNineDecidesFirst) {
  vesk_guid a = Guid({0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0x00});
  vesk_guid b = Guid({0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x01});
  EXPECT_TRUE(a < b);
  EXPECT_TRUE(b > a);
  EXPECT_FALSE(b < a);
}

TEST(GuidOrdering, FirstGroupIsUnsigned) {
  vesk_guid big = vesk_invalid_guid, small = vesk_invalid_guid;
  big.group1 = 0x80000000u;
  small.group1 = 0x7FFFFFFFu;
  EXPECT_TRUE(small < big);
  EXPECT_FALSE(big < small);
}

TEST(GuidOrdering, FifthGroupBytewiseAndInvalidIsSmallest) {
  vesk_guid a = Guid({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 9});
  vesk_guid b = Guid({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0});
  EXPECT_TRUE(a < b);
  EXPECT_FALSE(vesk_invalid_guid < vesk_invalid_guid);
  EXPECT_FALSE(vesk_invalid_guid > vesk_invalid_guid);
  EXPECT_TRUE(vesk_invalid_guid < a);
  EXPECT_TRUE(vesk_invalid_guid.IsEmpty());
  EXPECT_FALSE(a.IsEmpty());
  // A map keyed by guids iterates in this order.
  std::map<vesk_guid, int> map{{b, 2}, {a, 1}, {vesk_invalid_guid, 0}};
  int expected = 0;
  for (auto& [key, value] : map) EXPECT_EQ(value, expected++);
}

TEST(GuidText, PrintsGroupFourAsNumberAndLowerCase) {
  EXPECT_EQ(vesk_invalid_guid.ToString(), "00000000-0000-0000-0000-000000000000");
  vesk_guid g =
      Guid({0xEF, 0xBE, 0xAD, 0xDE, 0x34, 0x12, 0x78, 0x56, 0xAB, 0xCD, 1, 2, 3, 4, 5, 0xFE});
  EXPECT_EQ(g.ToString(), "deadbeef-1234-5678-cdab-0102030405fe");
}

TEST(Exceptions, VeskExceptionCarriesStatusAsErrorCode) {
  VeskException e("Unable to get drive info. IOCTL completed with error.",
                  static_cast<vesk_status>(264));
  EXPECT_EQ(e.Status(), 264u);
  EXPECT_EQ(e.ErrorCode(), 264u);
  VeskException copy = e;
  EXPECT_EQ(copy.Message(), e.Message());
  EXPECT_STREQ(copy.what(), "Unable to get drive info. IOCTL completed with error.");
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
