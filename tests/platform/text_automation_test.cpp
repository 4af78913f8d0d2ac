// Text conversions, case folding and late-bound values.

#include <gtest/gtest.h>

#include "platform/automation.h"
#include "platform/text.h"

namespace {

using platform::Variant;

TEST(TextTest, Utf8RoundTripIsLossless) {
  const std::u16string samples[] = {u"", u"plain", u"Ärger & <tags>", u"日本語", u"emoji \U0001F600 end", u"Ωμέγα"};
  for (const auto& s : samples) {
    SCOPED_TRACE(platform::ToUtf8(s));
    EXPECT_EQ(platform::FromUtf8(platform::ToUtf8(s)), s);
  }
  EXPECT_EQ(platform::ToUtf8(u"Ä"), "\xC3\x84");
  EXPECT_EQ(platform::FromUtf8("\xFF" "a"), u"\uFFFD" u"a") << "invalid bytes do not swallow what follows";
}

TEST(TextTest, CaseInsensitiveComparisonFoldsBeyondAscii) {
  struct Case {
    std::u16string a, b;
    bool same;
  };
  const Case cases[] = {
      {u"http://X/Abc", u"http://x/aBC", true},
      {u"Ärger", u"äRGER", true},
      {u"ΣΟΦΙΑ", u"σοφια", true},
      {u"Straße", u"STRASSE", false},  // one code unit against two: not the same length after simple folding
      {u"a", u"b", false},
      {u"abc", u"abcd", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(platform::ToUtf8(c.a) + " vs " + platform::ToUtf8(c.b));
    EXPECT_EQ(platform::SameTextIgnoreCase(c.a, c.b), c.same);
  }
}

TEST(VariantTest, MemberCallsNeedAnObject) {
  for (const Variant& v : {Variant(), Variant::Null(), Variant(3), Variant(u"x"),
                           Variant(std::shared_ptr<platform::Dispatch>())}) {
    EXPECT_THROW(v.Get(u"innertext"), EAutomationError);
    EXPECT_THROW(v.Call(u"item", {Variant(0)}), EAutomationError);
  }
  EXPECT_EQ(Variant(u"42").AsInteger(), 42);
  EXPECT_THROW(Variant(u"x").AsInteger(), EAutomationError);
  EXPECT_TRUE(platform::MemberIs(u"OffsetTop", u"offsettop"));
  EXPECT_FALSE(platform::MemberIs(u"offsetTo", u"offsettop"));
}

}  // namespace
