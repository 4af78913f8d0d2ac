// The UTF-16/UTF-8 conversion: lossless for well-formed text, U+FFFD for what has no form on the
// other side, and never more than the broken part replaced.

#include "common/utf.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Hex(std::string_view bytes) {
  std::string out;
  for (unsigned char b : bytes) out += "0123456789ABCDEF"[b >> 4], out += "0123456789ABCDEF"[b & 15], out += ' ';
  return out;
}

TEST(UtfTest, EveryScalarValueRoundTrips) {
  std::u16string all;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    if (c < 0x10000) {
      all += static_cast<char16_t>(c);
    } else {
      all += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      all += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  const std::string utf8 = utf::ToUtf8(all);
  EXPECT_EQ(utf8.size(), 0x80 * 1 + 0x780 * 2 + (0x10000 - 0x800 - 0x800) * 3 + 0x100000 * 4);
  EXPECT_TRUE(utf::FromUtf8(utf8) == all);
}

TEST(UtfTest, UnpairedSurrogatesBecomeReplacementCharacters) {
  struct Case {
    std::u16string text;
    std::string utf8;
  };
  const std::vector<Case> cases = {
      {u"", ""},
      {u"abc", "abc"},
      {u"\u00C4\u20AC", "\xC3\x84\xE2\x82\xAC"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {std::u16string(1, 0xD83D), "\xEF\xBF\xBD"},                      // a lead at the end
      {std::u16string{0xD83D, u'x'}, "\xEF\xBF\xBDx"},                  // a lead before a non-trail
      {std::u16string{u'x', 0xDE00, u'y'}, "x\xEF\xBF\xBDy"},           // a trail alone
      {std::u16string{0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD"},     // trail then lead: no pair
      {std::u16string{0xD83D, 0xD83D, 0xDE00}, "\xEF\xBF\xBD\xF0\x9F\x98\x80"},  // a lead, then a pair
      {u"\uFFFD\uFFFF", "\xEF\xBF\xBD\xEF\xBF\xBF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Hex(c.utf8));
    EXPECT_EQ(utf::ToUtf8(c.text), c.utf8);
    std::string appended = "<";
    utf::AppendUtf8(appended, c.text);
    EXPECT_EQ(appended, "<" + c.utf8);
  }
}

TEST(UtfTest, MalformedUtf8BecomesOneReplacementPerByteWithoutSwallowingWhatFollows) {
  struct Case {
    std::string utf8;
    std::u16string text;
  };
  const std::u16string r = u"\uFFFD";
  const std::vector<Case> cases = {
      {"\xFF" "a", r + u"a"},
      {"\x80" "a", r + u"a"},                          // a continuation byte alone
      {"\xE2\x82", r + r},                             // cut short at the end
      {"\xE2\x82" "a", r + r + u"a"},                  // cut short before ASCII
      {"\xC0\x80", r + r},                             // overlong NUL
      {"\xE0\x80\xAF", r + r + r},                     // overlong "/"
      {"\xED\xA0\x80", r + r + r},                     // an encoded surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},             // above U+10FFFF
      {"\xF8\x88\x80\x80\x80", r + r + r + r + r},     // a five-byte form
      {"a\xC3\xA4\xC3" "b", u"a\u00E4" + r + u"b"},
      {"\xEF\xBF\xBF", u"\uFFFF"},                     // a noncharacter is still a character
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Hex(c.utf8));
    EXPECT_TRUE(utf::FromUtf8(c.utf8) == c.text) << utf::ToUtf8(utf::FromUtf8(c.utf8));
  }
}

}  // namespace
