#include "tavlib/tav_string_conv.h"

#include <gtest/gtest.h>

namespace Tav {
namespace {

TEST(StringConvTest, RoundTripsEveryPlane) {
  // ASCII, two-, three- and four-byte sequences.
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
  const std::wstring wide = UTF8ToWide(text);
  ASSERT_EQ(wide.size(), sizeof(wchar_t) == 2 ? 6u : 5u);
  EXPECT_EQ(wide[1], L'\u00E9');
  EXPECT_EQ(WideToUTF8(wide), text);
  EXPECT_EQ(WideToUTF8(UTF8ToWide("")), "");
}

TEST(StringConvTest, MalformedInputBecomesReplacementCharacters) {
  const struct {
    const char* name;
    std::string input;
    std::wstring expected;
  } cases[] = {
      {"lone continuation", "a\x80z", L"a\uFFFDz"},
      {"overlong slash", "\xC0\xAF", L"\uFFFD\uFFFD"},
      {"encoded surrogate", "\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},
  };
  for (const auto& c : cases) EXPECT_EQ(UTF8ToWide(c.input), c.expected) << c.name;
}

TEST(StringConvTest, InvalidWideCodePointsBecomeReplacementCharacters) {
  std::wstring wide = L"x";
  wide.push_back(static_cast<wchar_t>(0xD800));  // lone high surrogate
  wide.push_back(L'y');
  EXPECT_EQ(WideToUTF8(wide), "x\xEF\xBF\xBDy");
}

}  // namespace
}  // namespace Tav
