// Page arrival: the frame test, validation, retry, the parser choice and the reload timer.

#include "platform/text.h"
#include "tests/app/form_fixture.h"

namespace wexa_test {
namespace {

FakePage HomePage(const std::u16string& title = u"Talmorex - Home") {
  return DirectoryPage(kRoot, {El(u"TABLE", {El(u"TD", {Text(u"search")})}),
                               El(u"TABLE", {El(u"TD", {El(u"A", {{u"href", u"/Arts/"}}, {Text(u"Arts")})})})},
                       title);
}

TEST_F(FormTest, FrameCompletionChangesNothing) {
  StartFresh();
  host.browser.Show(HomePage());
  host.browser.CompleteFrame(kRoot + u"/ad-frame.html");
  EXPECT_TRUE(host.memo.Lines().empty());
  EXPECT_EQ(form->Categories().Count(), 0u);
  EXPECT_TRUE(host.timer.Enabled());
  EXPECT_EQ(host.browser.navigations.size(), 1u);
}

TEST_F(FormTest, TitleMarkersDecideAcceptanceCaseSensitively) {
  struct Case {
    std::u16string title;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {u"Talmorex - Home", true},
      {u"The directory: TMX - Home", true},
      {u"Home TMX - ", true},
      {u"talmorex - Home", false},
      {u"tmx - Home", false},
      {u"Talmorex-Home", false},
      {u"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(platform::ToUtf8(c.title));
    Restart();
    // Each case is a crawl of its own, with no earlier one whose journal would be kept aside.
    std::filesystem::remove(workDir / "crawl.journal");
    StartFresh();
    host.browser.Complete(HomePage(c.title));
    EXPECT_EQ(form->Categories().Count(), c.accepted ? 1u : 0u);
    EXPECT_EQ(host.memo.Lines().size(), c.accepted ? 0u : 1u);
  }
}

TEST_F(FormTest, PageWithoutSearchHostOrDocumentIsRequestedAgain) {
  struct Case {
    const char* what;
    FakePage page;
  };
  std::vector<Case> cases;
  cases.push_back({"no search host", FakePage{kRoot, u"Talmorex - Home", true,
                                              platform::fake::MakeDocument({El(u"TABLE"), El(u"TABLE")}, kRoot)}});
  cases.push_back({"no document", FakePage{kRoot, u"Talmorex - Home", true, nullptr}});
  FakePage notHtml = HomePage();
  notHtml.isHtml = false;
  cases.push_back({"not an HTML document", notHtml});
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    StartFresh();
    const int startsBefore = host.timer.starts;
    host.browser.Complete(c.page);
    ASSERT_EQ(host.memo.Lines().size(), 1u);
    EXPECT_EQ(host.memo.Lines()[0], "Retrying server (http://www.wexa.org)...");
    EXPECT_EQ(host.browser.stops, 1);
    ASSERT_EQ(host.browser.navigations.size(), 2u);
    EXPECT_EQ(host.browser.navigations[1], kRoot);
    EXPECT_EQ(host.timer.starts, startsBefore + 1) << "a retry starts a full watchdog interval";
    EXPECT_EQ(form->Categories().Count(), 0u);
  }
}

TEST_F(FormTest, FirstAcceptedPageGoesToTheRootParserAndLaterOnesToTheCategoryParser) {
  StartFresh();
  host.browser.Complete(HomePage());
  ASSERT_EQ(form->Categories().Count(), 1u);
  EXPECT_EQ(host.browser.navigations.back(), kRoot + u"/Arts/");
  EXPECT_TRUE(host.timer.Enabled());
  host.browser.Complete(DirectoryPage(kRoot + u"/Arts/", {Li(10, u"Music", u"/Arts/Music/", u"(6,000)")}));
  ASSERT_EQ(form->Categories().Count(), 2u);
  EXPECT_EQ(form->Categories().Item(1)->Parent(), form->Categories().Item(0));
  EXPECT_EQ(host.browser.navigations.back(), kRoot + u"/Arts/Music/");
}

TEST_F(FormTest, AnErrorInTheParserLeavesTheCrawlStanding) {
  AddReal(nullptr, 1, kRoot + u"/A/");
  Queued(1, kRoot + u"/A/");
  Queued(2, kRoot + u"/B/");
  StartFresh();
  EXPECT_THROW(host.browser.Complete(DirectoryPage(kRoot + u"/A/", {Li(10, u"X", u"/X/", u"()")})), EConvertError);
  EXPECT_FALSE(host.timer.Enabled()) << "the accepted page stopped the watchdog";
  EXPECT_EQ(host.browser.navigations.size(), 1u);
  EXPECT_FALSE(form->AwaitingPage());
}

TEST_F(FormTest, TimerReloadsTheCategoryTakenLastOrTheLocation) {
  struct Case {
    const char* what;
    std::vector<std::u16string> queued;  // all pushed; the first `taken` are taken
    int taken;
    std::u16string location;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {"nothing taken: the location", {u"http://x/A"}, 0, u"http://x/home", u"http://x/home"},
      {"location still shows the page before", {u"http://x/A", u"http://x/B", u"http://x/C"}, 2, u"http://x/A",
       u"http://x/B"},
      {"same address in other letter case: the location as it is", {u"http://x/A", u"http://x/B"}, 1,
       u"HTTP://X/a", u"HTTP://X/a"},
      // The category taken last is what the crawl waits for, also when it was the last one pending.
      {"nothing pending: the category taken last", {u"http://x/A", u"http://x/B"}, 2, u"http://x/A", u"http://x/B"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    for (std::size_t i = 0; i < c.queued.size(); ++i) Queued(static_cast<int>(i + 1), c.queued[i]);
    for (int i = 0; i < c.taken; ++i) form->Queue().Pop();
    host.browser.Show(FakePage{c.location, u"", true, nullptr});
    host.timer.SetEnabled(true);
    ASSERT_TRUE(host.timer.Fire());
    ASSERT_EQ(host.memo.Lines().size(), 1u);
    EXPECT_EQ(host.memo.Lines()[0], "TIMER: Reloading page " + platform::ToUtf8(c.expected) + "...");
    ASSERT_EQ(host.browser.navigations.size(), 1u);
    EXPECT_EQ(host.browser.navigations[0], c.expected);
    EXPECT_EQ(host.browser.stops, 1);
    EXPECT_TRUE(host.timer.Enabled());
    EXPECT_EQ(host.timer.starts, 1) << "the tick does not restart the timer";
  }
}

}  // namespace
}  // namespace wexa_test
