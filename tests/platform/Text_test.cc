// The text helpers between wchar_t (UTF-32 on POSIX, UTF-16 on Windows), UTF-8 and UTF-16: both
// programs run these cases, so each platform's wchar_t is checked against the same bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/simulated/Host.h"

namespace vesk::platform {
namespace {

struct Text {
  const char* utf8;
  const wchar_t* wide;
  std::vector<char16_t> utf16;
};

class TextTest : public ::testing::TestWithParam<Text> {};

TEST_P(TextTest, EveryFormConvertsToEveryOther) {
  const Text& text = GetParam();
  EXPECT_EQ(ToUtf8(text.wide), text.utf8);
  EXPECT_EQ(FromUtf8(text.utf8), text.wide);
  EXPECT_EQ(FromUtf16(text.utf16.data(), text.utf16.size()), text.wide);
  std::vector<BYTE> bytes;
  for (char16_t unit : text.utf16) bytes.insert(bytes.end(), {BYTE(unit & 0xFF), BYTE(unit >> 8)});
  bytes.insert(bytes.end(), {0, 0});
  EXPECT_EQ(ToUtf16Bytes(text.wide), bytes);
}

INSTANTIATE_TEST_SUITE_P(
    CodePoints, TextTest,
    ::testing::Values(Text{"A", L"A", {0x41}}, Text{"\xC3\xA9", L"\u00E9", {0xE9}},
                      Text{"\xE2\x82\xAC", L"\u20AC", {0x20AC}},
                      Text{"\xF0\x9F\x98\x80", L"\U0001F600", {0xD83D, 0xDE00}},
                      Text{"\xF0\x90\x80\x80", L"\U00010000", {0xD800, 0xDC00}},
                      Text{"\xF4\x8F\xBF\xBF", L"\U0010FFFF", {0xDBFF, 0xDFFF}},
                      Text{"a\xC3\xA9\xF0\x9F\x98\x80z",
                           L"a\u00E9\U0001F600z",
                           {0x61, 0xE9, 0xD83D, 0xDE00, 0x7A}}));

// What is no text becomes U+FFFD, one for each unit that could not be read.
TEST(Text, BrokenSequencesAndLoneSurrogatesBecomeReplacementCharacters) {
  EXPECT_EQ(FromUtf8("\xC3"), L"\uFFFD");
  EXPECT_EQ(FromUtf8("\x80"), L"\uFFFD");
  EXPECT_EQ(FromUtf8("\xE2\x82"
                     "A"),
            L"\uFFFD\uFFFDA");
  const std::vector<char16_t> loneHigh = {0xD83D, 0x78}, loneLow = {0xDE00}, highLast = {0xD83D};
  EXPECT_EQ(FromUtf16(loneHigh.data(), loneHigh.size()), L"\uFFFDx");
  EXPECT_EQ(FromUtf16(loneLow.data(), loneLow.size()), L"\uFFFD");
  EXPECT_EQ(FromUtf16(highLast.data(), highLast.size()), L"\uFFFD");
  EXPECT_EQ(ToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace vesk::platform
