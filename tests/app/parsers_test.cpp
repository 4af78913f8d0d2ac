// The category page parser, the root page parser and their reading helpers.

#include <fmt/format.h>

#include "app/page_reading.h"
#include "platform/text.h"
#include "tests/app/form_fixture.h"

namespace wexa_test {
namespace {

using platform::Variant;

// An element whose outerhtml is exactly markup.
Variant ElementWithMarkup(const std::u16string& markup) {
  auto a = El(u"A", {Text(u"x")});
  a->outerHtml = markup;
  auto doc = platform::fake::MakeDocument({a}, kRoot);
  return Variant(doc).Get(u"all").Call(u"tags", {Variant(u"A")}).Call(u"item", {Variant(0)});
}

TEST(GetHrefTest, TakesTheRawAttributeValueBehindTheRootAddress) {
  struct Case {
    std::u16string markup;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {u"<a href=\"/Arts/\">Arts</a>", u"R/Arts/"},
      {u"<A HREF='/Arts/Music/'>x</A>", u"R/Arts/Music/"},
      {u"<a HrEf \t =\"/x\">", u"R/x"},  // blanks before "=" are skipped
      {u"<a data-href class=\"href\" href=\"/y\">", u"R/y"},  // an "href" not followed by "=" is passed over
      {u"<a href= /z/ >", u"R/z/"},                          // the blank right after "=" is the delimiter
      {u"<a href=\"http://other.org/p\">", u"Rhttp://other.org/p"},
      {u"<a name=\"top\">", u""},
      {u"<a>href</a>", u""},
      {u"<a href", u""},               // the markup ends while looking for "="
      {u"<a href   ", u""},            // ... or while skipping blanks
      {u"<a href=", u"R"},             // no delimiter left
      {u"<a href=\"/unterminated", u"R/unterminated"},  // no closing delimiter: the rest of the markup
      {u"<a href=\"/Ärger/\">", u"R/Ärger/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(platform::ToUtf8(c.markup));
    EXPECT_EQ(GetHref(ElementWithMarkup(c.markup), u"R"), c.expected);
  }
}

TEST(ExtractNumberTest, KeepsDigitsAndFailsWithoutThemOrAboveTheRange) {
  EXPECT_EQ(ExtractNumber("1,234"), 1234);
  EXPECT_EQ(ExtractNumber("12"), 12);
  EXPECT_EQ(ExtractNumber("a1b2c3"), 123);
  EXPECT_EQ(ExtractNumber("2,147,483,647"), 2147483647);
  struct Case {
    std::string text;
    std::string message;
  };
  for (const Case& c : {Case{"", "'' is not a valid integer value"}, Case{",", "'' is not a valid integer value"},
                        Case{"2,147,483,648", "'2147483648' is not a valid integer value"},
                        Case{"99999999999999999999", "'99999999999999999999' is not a valid integer value"}}) {
    SCOPED_TRACE(c.text);
    try {
      ExtractNumber(c.text);
      ADD_FAILURE() << "no error";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
  }
}

TEST(IsElementAssignedTest, OnlyNonNilObjectsAndPlainValuesCount) {
  EXPECT_FALSE(IsElementAssigned(Variant()));
  EXPECT_FALSE(IsElementAssigned(Variant::Null()));
  EXPECT_FALSE(IsElementAssigned(Variant::Error()));
  EXPECT_FALSE(IsElementAssigned(Variant::Error(true)));
  EXPECT_FALSE(IsElementAssigned(Variant(std::shared_ptr<platform::Dispatch>())));
  EXPECT_TRUE(IsElementAssigned(ElementWithMarkup(u"<a>")));
  EXPECT_TRUE(IsElementAssigned(Variant(0)));
}

// Runs the category parser on one page at kRoot + path, below a node for that page.
class CategoryParserTest : public FormTest {
 protected:
  // Starts a crawl whose queue holds the page, then lets the page arrive.
  void Parse(std::vector<FakeNodePtr> body, const std::string& minimum = "0") {
    page = AddReal(nullptr, 1, kRoot + u"/Top/");
    Queued(1, kRoot + u"/Top/");
    host.edit.SetText(minimum);
    host.Click("Button2");
    host.statusBar.history.clear();
    host.browser.navigations.clear();
    host.browser.Complete(DirectoryPage(kRoot + u"/Top/", std::move(body)));
  }
  std::vector<std::u16string> ChildNames() const {
    std::vector<std::u16string> names;
    for (std::size_t i = 0; i < page->ChildCount(); ++i)
      names.push_back(dynamic_cast<TBaseCategory*>(page->Child(i)->Data())->Name);
    return names;
  }
  TreeNode* page = nullptr;
};

TEST_F(CategoryParserTest, RecordsTheLeadingRunOfEntriesAboveTheSeeAlsoParagraph) {
  Parse({Li(10, u"Alpha", u"/Top/Alpha/", u"(1,234)"),
         At(20, El(u"P", {Text(u"See also:")})),
         Li(20, u"Equal", u"/Top/Equal/", u"(5)"),      // top equal to the boundary: still read
         Li(21, u"Below", u"/Top/Below/", u"(5)"),      // greater: ends the walk
         Li(5, u"Higher", u"/Top/Higher/", u"(5)")});   // never examined
  EXPECT_EQ(ChildNames(), (std::vector<std::u16string>{u"Alpha", u"Equal"}));
  auto* alpha = dynamic_cast<TCategory*>(page->Child(0)->Data());
  EXPECT_EQ(alpha->ID, 1);
  EXPECT_EQ(alpha->Content, 1234);
  EXPECT_EQ(alpha->Url, kRoot + u"/Top/Alpha/");
  EXPECT_EQ(form->Queue().Pending(), 1) << "Progress took the first of the two";
  EXPECT_EQ(host.browser.navigations, (std::vector<std::u16string>{kRoot + u"/Top/Alpha/"}));
}

TEST_F(CategoryParserTest, EachEndOfWalkConditionStillCallsProgress) {
  struct Case {
    const char* what;
    FakeNodePtr stopper;
  };
  const std::vector<Case> cases = {
      {"no link", At(10, El(u"LI", {Text(u"plain text")}))},
      {"colon in the link text", Li(10, u"Arts: Music", u"/x/", u"(9)")},
      {"blank hyphen blank in the item text", Li(10, u"Site", u"http://site.example/", u"", u" - a fine site")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    Parse({Li(5, u"First", u"/First/", u"(7)"), c.stopper, Li(15, u"After", u"/After/", u"(7)")});
    EXPECT_EQ(ChildNames(), (std::vector<std::u16string>{u"First"}));
    EXPECT_EQ(host.browser.navigations.size(), 1u) << "Progress went on to the next category";
  }
  Restart();
  Parse({Li(5, u"Rock-Pop", u"/Rock-Pop/", u"(7)"), Li(6, u"Next", u"/Next/", u"(7)")});
  EXPECT_EQ(ChildNames(), (std::vector<std::u16string>{u"Rock-Pop", u"Next"})) << "a hyphen without blanks is fine";
}

TEST_F(CategoryParserTest, CountRules) {
  struct Case {
    std::u16string count;
    std::string minimum;
    bool recorded;
    int content;
  };
  const std::vector<Case> cases = {
      {u"(1,234)", "0", true, 1234},
      {u"(12)", "12", true, 12},  // the test is "not less than"
      {u"(11)", "12", false, 0},
      {u"1234", "0", true, 23},   // first and last character always dropped
      {u"", "0", false, 0},       // no I element: -1, below any minimum of 0 or more
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(platform::ToUtf8(c.count) + " min " + c.minimum);
    Restart();
    Parse({Li(5, u"E", u"/E/", c.count)}, c.minimum);
    ASSERT_EQ(page->ChildCount(), c.recorded ? 1u : 0u);
    if (c.recorded) {
      EXPECT_EQ(dynamic_cast<TCategory*>(page->Child(0)->Data())->Content, c.content);
    } else {
      // A skipped item leaves the status line alone: the first line is Progress's.
      EXPECT_EQ(host.statusBar.history.front(), "Categories: 0 | Symbolic categories: 0 | Queue: 0");
    }
  }
  Restart();
  EXPECT_THROW(Parse({Li(5, u"Good", u"/Good/", u"(3)"), Li(6, u"Bad", u"/Bad/", u"()")}), EConvertError);
  EXPECT_EQ(ChildNames(), (std::vector<std::u16string>{u"Good"})) << "entries before the bad count stay";
  EXPECT_TRUE(host.browser.navigations.empty());
}

TEST_F(CategoryParserTest, CrossLinkBecomesSymbolicAndIsNeverQueued) {
  // The real entry keeps Progress navigating, so the pass does not run yet.
  Parse({Li(4, u"Real", u"/Real/", u"(500)"), Li(5, u"Physics", u"/Science/Physics/", u"(120)", u"@"),
         Li(6, u"Low", u"/Low/", u"(1)", u"@")},
        "100");
  ASSERT_EQ(page->ChildCount(), 2u);
  EXPECT_EQ(page->Child(1)->Text(), "Physics@");
  auto* link = dynamic_cast<TSymbolicCategory*>(page->Child(1)->Data());
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->Parent, -1);
  EXPECT_EQ(link->Url, kRoot + u"/Science/Physics/");
  EXPECT_EQ(form->SymbolicCount(), 1);
  EXPECT_EQ(form->LastID(), 1);
  EXPECT_EQ(form->Queue().Count(), 2) << "only the real entry was queued";
  EXPECT_EQ(form->Directory().SymbolicCategories().size(), 1u);
}

TEST_F(CategoryParserTest, DuplicateAddressShowsTheMessageAndStops) {
  Parse({Li(7, u"New", u"/New/", u"(9)"), Li(8, u"Again", u"/top/", u"(9)"), Li(9, u"Later", u"/Later/", u"(9)")});
  EXPECT_EQ(host.dialogs.messages, (std::vector<std::string>{"bingo 2147483647 8"}));
  EXPECT_EQ(ChildNames(), (std::vector<std::u16string>{u"New", u"Again"})) << "the duplicate is recorded";
  EXPECT_EQ(form->Directory().Categories().size(), 3u);
  EXPECT_EQ(form->Queue().Pending(), 1) << "the duplicate is not queued";
  EXPECT_TRUE(host.browser.navigations.empty()) << "no progression";
  EXPECT_EQ(host.statusBar.history.size(), 1u) << "no status line for the duplicate";
  EXPECT_EQ(form->LastID(), 2);
}

TEST_F(CategoryParserTest, StatusLineAfterEveryRecordedEntryOnly) {
  Parse({Li(5, u"A", u"/A/", u"(9)"), Li(6, u"skip", u"/skip/", u"(1)"), Li(7, u"S", u"/S/", u"(9)", u"@")}, "5");
  ASSERT_GE(host.statusBar.history.size(), 3u);
  EXPECT_EQ(host.statusBar.history[0], "Categories: 1 | Symbolic categories: 0 | Queue: 1");
  EXPECT_EQ(host.statusBar.history[1], "Categories: 1 | Symbolic categories: 1 | Queue: 1");
  EXPECT_EQ(host.statusBar.history[2], "Categories: 1 | Symbolic categories: 1 | Queue: 1");  // Progress
}

TEST_F(CategoryParserTest, PageWithoutNodeAddsTopLevelNodes) {
  page = AddReal(nullptr, 1, kRoot + u"/Top/");
  host.browser.Show(DirectoryPage(kRoot + u"/TOP/", {Li(5, u"A", u"/A/", u"(9)")}));
  form->ParseCategoryPage();
  EXPECT_EQ(form->Categories().TopLevelCount(), 2u);
}

class RootParserTest : public FormTest {};

TEST_F(RootParserTest, ReadsTheSecondTableOnlyWithOneCategoryPerCell) {
  StartFresh("5000");
  host.browser.Complete(DirectoryPage(
      kRoot, {El(u"TABLE", {El(u"TD", {El(u"A", {{u"href", u"/NotThis/"}}, {Text(u"Not this")})})}),
              El(u"TABLE", {El(u"TD", {El(u"A", {{u"href", u"/Arts/"}}, {Text(u"Arts")}),
                                       El(u"A", {{u"href", u"/Arts/Music/"}}, {Text(u"Music")})}),
                            El(u"TD", {El(u"A", {{u"href", u"http://www.wexa.org/Business/"}}, {Text(u"Business")})}),
                            El(u"TD", {El(u"A", {{u"href", u"/Ünïcode/"}}, {Text(u"Ünïcode & <more>")})})})},
      u"Talmorex - Home"));
  auto& tree = form->Categories();
  ASSERT_EQ(tree.TopLevelCount(), 3u);
  const std::vector<std::u16string> urls = {kRoot + u"/Arts/", kRoot + u"/Business/", kRoot + u"/Ünïcode/"};
  for (std::size_t i = 0; i < 3; ++i) {
    auto* c = dynamic_cast<TCategory*>(tree.TopLevel(i)->Data());
    EXPECT_EQ(c->ID, static_cast<int>(i + 1));
    EXPECT_EQ(c->Content, -1);
    EXPECT_EQ(c->Url, urls[i]) << "the resolved address";
  }
  EXPECT_EQ(tree.TopLevel(2)->Text(), "Ünïcode & <more>");
  EXPECT_EQ(form->CategoryCount(), 3);
  EXPECT_EQ(host.browser.navigations.back(), kRoot + u"/Arts/") << "the first cell is visited first";
  EXPECT_EQ(form->Queue().Pending(), 2);
}

TEST_F(RootParserTest, MalformedHomePageIsRefusedBeforeAnyRecord) {
  struct Case {
    const char* what;
    std::vector<FakeNodePtr> body;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"one table", {El(u"TABLE")}, "The home page http://www.wexa.org has no category table (a second table)"},
      {"cell without link",
       {El(u"TABLE"), El(u"TABLE", {El(u"TD", {El(u"A", {{u"href", u"/A/"}}, {Text(u"A")})}), El(u"TD", {Text(u"-")})})},
       "The home page http://www.wexa.org has a category cell without a link (cell 2)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    StartFresh();
    try {
      host.browser.Complete(DirectoryPage(kRoot, c.body));
      ADD_FAILURE() << "no error";
    } catch (const EAutomationError& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
    EXPECT_EQ(form->Categories().Count(), 0u);
    EXPECT_EQ(form->LastID(), 0);
    EXPECT_EQ(form->Queue().Count(), 0);
  }
}

TEST_F(RootParserTest, EmptyCategoryTableFinishesAtOnce) {
  StartFresh();
  host.browser.Complete(DirectoryPage(kRoot, {El(u"TABLE"), El(u"TABLE")}));
  EXPECT_EQ(host.statusBar.SimpleText(), "*** FINISHED *** Categories: 0 | Symbolic categories: 0 | Queue: 0");
}

}  // namespace
}  // namespace wexa_test
