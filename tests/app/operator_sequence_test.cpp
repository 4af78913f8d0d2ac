// Operator sequences against a small site: "stop", "start" and "load state" pressed at awkward
// moments must neither hang the window nor lose or add categories.

#include <algorithm>
#include <functional>
#include <map>

#include "platform/text.h"
#include "tests/app/form_fixture.h"

namespace wexa_test {
namespace {

// A directory of eight categories over three levels, answered page by page.
class SiteTest : public FormTest {
 protected:
  FakePage PageOf(const std::u16string& url) {
    if (url == kRoot) {
      return DirectoryPage(kRoot, {El(u"TABLE"), El(u"TABLE", {El(u"TD", {El(u"A", {{u"href", u"/A/"}}, {Text(u"A")})}),
                                                              El(u"TD", {El(u"A", {{u"href", u"/B/"}}, {Text(u"B")})})})},
                           u"Talmorex - Home");
    }
    static const std::map<std::u16string, std::vector<std::u16string>> children = {
        {u"/A/", {u"/A/x/", u"/A/y/"}}, {u"/A/x/", {u"/A/x/z/"}}, {u"/B/", {u"/B/w/", u"/B/v/"}},
        {u"/B/w/", {u"/B/w/u/"}}};
    std::vector<FakeNodePtr> body;
    const auto it = children.find(url.substr(kRoot.size()));
    if (it != children.end()) {
      int top = 10;
      for (const auto& child : it->second) body.push_back(Li(top += 20, child, child, u"(6000)"));
    }
    return DirectoryPage(url, std::move(body));
  }

  // Lets the page being loaded arrive, step by step, until the crawl stops loading; before each
  // arrival, between(step) may press buttons. Bounded, so that a crawl that never ends fails.
  void Serve(const std::function<void(int)>& between = [](int) {}) {
    for (int step = 0; step < 100 && host.browser.Loading(); ++step) {
      between(step);
      if (host.browser.Loading()) host.browser.Complete(PageOf(host.browser.navigations.back()));
    }
    ASSERT_FALSE(host.browser.Loading()) << "the crawl did not come to an end";
  }

  std::string UninterruptedTree() {
    StartFresh();
    Serve();
    const std::string tree = Tree();
    Restart();
    return tree;
  }
};

TEST_F(SiteTest, UninterruptedCrawlRecordsTheWholeSite) {
  EXPECT_EQ(UninterruptedTree(),
            "A#1(/A/x/#3(/A/x/z/#7())/A/y/#4())B#2(/B/w/#5(/B/w/u/#8())/B/v/#6())");
}

// "stop" while a page loads cancels it; "start" at once, before the reload timer asks for it again,
// must ask for that category first, or it and its subtree are never visited.
TEST_F(SiteTest, StopAndStartAtAnyMomentGiveTheUninterruptedTree) {
  const std::string expected = UninterruptedTree();
  struct Case {
    const char* what;
    std::function<void()> press;
  };
  const std::vector<Case> cases = {
      {"stop, start", [&] {
         host.Click("Button1");
         host.Click("Button2");
       }},
      {"stop twice, start", [&] {
         host.Click("Button1");
         host.Click("Button1");
         host.Click("Button2");
       }},
      {"stop, timer tick, start", [&] {
         host.Click("Button1");
         host.timer.Fire();
         host.Click("Button2");
       }},
      {"stop, save, start", [&] {
         host.Click("Button1");
         host.Click("Button3");
         host.Click("Button2");
       }},
  };
  for (const auto& c : cases) {
    for (int moment = 0; moment < 9; ++moment) {
      SCOPED_TRACE(std::string(c.what) + " before page " + std::to_string(moment));
      StartFresh();
      Serve([&](int step) {
        if (step == moment) c.press();
      });
      EXPECT_EQ(Tree(), expected);
      EXPECT_EQ(form->Queue().Pending(), 0);
      Restart();
    }
  }
}

// "stop" waits while a page is outstanding; when that page arrives during the wait and no Progress
// step follows, the wait must still end.
TEST_F(SiteTest, StopEndsWhenTheAwaitedPageArrivesWithoutAProgressStep) {
  struct Case {
    const char* what;
    std::function<void()> duringWait;
  };
  const std::vector<Case> cases = {
      {"duplicate message",
       [&] {
         host.browser.Complete(DirectoryPage(kRoot + u"/A/", {Li(10, u"B again", u"/b/", u"(9000)")}));
         EXPECT_EQ(host.dialogs.messages.size(), 1u);
       }},
      {"parser error",
       [&] {
         // The toolkit's error reporting catches at the event boundary; the wait goes on.
         EXPECT_THROW(host.browser.Complete(DirectoryPage(kRoot + u"/A/", {Li(10, u"X", u"/X/", u"()")})),
                      EConvertError);
       }},
      {"load state", [&] { host.Click("Button4"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    AddReal(nullptr, 1, kRoot + u"/A/");
    Queued(1, kRoot + u"/A/");
    Queued(2, kRoot + u"/B/");
    host.Click("Button3");
    StartFresh();
    // The page has loaded, but its arrival is still an event to come.
    host.browser.Show(FakePage{kRoot + u"/A/", u"", true, nullptr});
    host.application.Post(c.duringWait);
    host.application.idleLimit = 3;  // a wait that outlasts every event throws FakeStuck
    EXPECT_NO_THROW(host.Click("Button1"));
    EXPECT_TRUE(form->Halted());
    EXPECT_FALSE(form->AwaitingPage());
    EXPECT_EQ(host.browser.navigations.size(), 1u);
  }
}

// After "load state" nothing of the previous crawl reaches the loaded one: a page it requested
// and that is still loading is neither parsed into the loaded tree nor taken for its home page.
TEST_F(SiteTest, PageOfThePreviousCrawlDoesNotReachTheLoadedOne) {
  for (const bool saved : {true, false}) {
    SCOPED_TRACE(saved ? "saved state" : "no tree.xml");
    Restart();
    for (const char* file : {"tree.xml", "queue.lst", "crawl.journal"}) std::filesystem::remove(workDir / file);
    StartFresh();
    host.browser.Complete(PageOf(kRoot));  // records A and B; A loads
    ASSERT_EQ(host.browser.navigations.back(), kRoot + u"/A/");
    if (saved) host.Click("Button3");
    const std::string treeBefore = saved ? Tree() : "";
    host.Click("Button1");  // cancels A
    ASSERT_TRUE(host.timer.Fire());  // asks for A again
    ASSERT_TRUE(host.browser.Loading());
    const int stopsBefore = host.browser.stops;
    // Without the journal there is no saved crawl to load at all.
    if (!saved) std::filesystem::remove(workDir / "crawl.journal");
    host.Click("Button4");
    EXPECT_GT(host.browser.stops, stopsBefore) << "the load of the previous crawl is stopped";

    host.browser.Complete(saved ? PageOf(kRoot + u"/A/") : PageOf(kRoot));
    EXPECT_EQ(Tree(), treeBefore);
    EXPECT_EQ(form->LastID(), 2) << "no ID handed out";
    EXPECT_EQ(form->Queue().Pending(), saved ? 2 : 0);
    EXPECT_EQ(host.memo.Lines().size(), saved ? 2u : 1u) << "only the save's line and the timer's";
    EXPECT_FALSE(host.timer.Enabled());

    // Resumed, the loaded crawl gives the whole site.
    if (saved) {
      StartFresh();
      Serve();
      EXPECT_EQ(Tree(), "A#1(/A/x/#3(/A/x/z/#7())/A/y/#4())B#2(/B/w/#5(/B/w/u/#8())/B/v/#6())");
    }
  }
}

// "stop", "load state" and "start" pressed while the finished crawl computes its symbolic categories:
// the pass runs to its end over the tree it started on, the finished line and the save follow, and the
// two buttons say why they did nothing.
TEST_F(SiteTest, LoadAndStartDuringTheFinalPassWaitForTheFinishedLine) {
  const std::string expected = UninterruptedTree();
  const std::string savedTree = test_support::ReadFile("tree.xml");
  StartFresh();
  Serve([&](int step) {
    if (step != 8) return;
    host.application.Post([&] {
      host.Click("Button1");
      host.Click("Button4");
      host.Click("Button2");
    });
  });
  EXPECT_EQ(Tree(), expected);
  EXPECT_EQ(host.statusBar.SimpleText(), "*** FINISHED *** Categories: 8 | Symbolic categories: 0 | Queue: 0");
  const std::vector<std::string> lines = host.memo.Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "The crawl is finishing (computing symbolic categories); wait for the finished line."),
            2);
  EXPECT_EQ(test_support::ReadFile("tree.xml"), savedTree);
}

}  // namespace
}  // namespace wexa_test
