// The crawl's manners: the waits before a failing server is asked again, and robots.txt.

#include "platform/text.h"
#include "tests/app/form_fixture.h"

namespace wexa_test {
namespace {

FakePage WrongPage() { return FakePage{kRoot, u"Service Unavailable", true, nullptr}; }

FakePage Home(const std::vector<std::u16string>& paths) {
  std::vector<FakeNodePtr> cells;
  for (const std::u16string& p : paths) cells.push_back(El(u"TD", {El(u"A", {{u"href", p}}, {Text(p)})}));
  return DirectoryPage(kRoot, {El(u"TABLE", {El(u"TD", {Text(u"search")})}), El(u"TABLE", std::move(cells))},
                       u"Talmorex - Home");
}

// One failing page, answer after answer: what the engine reports, the wait that follows and its
// line. The watchdog never runs during a wait; the request follows when the wait is over.
TEST_F(FormTest, RetriesOfAFailingPageWaitLongerEachTime) {
  struct Step {
    platform::TLoadReport report;
    int waitMs;
    std::string line;
  };
  auto http = [](int status, int retryAfter = -1) { return platform::TLoadReport{status, retryAfter, ""}; };
  const std::vector<Step> steps = {
      {{}, 0, "Requesting it again at once: a page without the directory's title"},
      {http(503), 1000, "Requesting it again in 1 s: HTTP status 503"},
      {{0, -1, "connection refused"}, 2000, "Requesting it again in 2 s: connection refused"},
      {http(500), 4000, "Requesting it again in 4 s: HTTP status 500"},
      {http(503, 30), 30000, "Requesting it again in 30 s: HTTP status 503, Retry-After 30 s"},
      {http(503), 16000, "Requesting it again in 16 s: HTTP status 503"},
      {http(503), 32000, "Requesting it again in 32 s: HTTP status 503"},
      {http(503), 64000, "Requesting it again in 64 s: HTTP status 503"},
      {http(503), 128000, "Requesting it again in 128 s: HTTP status 503"},
      {http(503), 256000, "Requesting it again in 256 s: HTTP status 503"},
      {http(503), 300000, "Requesting it again in 300 s: HTTP status 503"},
      {http(429, 7200), 3600000, "Requesting it again in 3600 s: HTTP status 429, Retry-After 7200 s"},
  };
  StartFresh();
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    SCOPED_TRACE("answer " + std::to_string(i + 1));
    const std::size_t requests = host.browser.navigations.size();
    host.browser.report = s.report;
    host.browser.Complete(WrongPage());
    const std::vector<std::string> lines = host.memo.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Retrying server (http://www.wexa.org)...");
    EXPECT_EQ(lines.back(), s.line);
    if (s.waitMs == 0) {
      EXPECT_EQ(host.browser.navigations.size(), requests + 1) << "the first retry goes at once";
      continue;
    }
    EXPECT_EQ(host.browser.navigations.size(), requests) << "nothing is requested during the wait";
    EXPECT_FALSE(host.timer.Enabled()) << "the watchdog counts from the request";
    ASSERT_TRUE(host.waiter.Enabled());
    EXPECT_EQ(host.waiter.Interval(), s.waitMs);
    ASSERT_TRUE(host.waiter.Fire());
    EXPECT_FALSE(host.waiter.Enabled());
    EXPECT_EQ(host.browser.navigations.size(), requests + 1);
    EXPECT_TRUE(host.timer.Enabled());
  }

  // "stop" in a wait returns at once and requests nothing; "start" asks for the page at once.
  host.browser.Complete(WrongPage());
  ASSERT_TRUE(host.waiter.Enabled());
  const std::size_t requests = host.browser.navigations.size();
  host.Click("Button1");
  EXPECT_TRUE(form->Halted());
  EXPECT_FALSE(host.waiter.Enabled());
  EXPECT_FALSE(host.waiter.Fire());
  EXPECT_EQ(host.browser.navigations.size(), requests);
  host.Click("Button2");
  EXPECT_EQ(host.browser.navigations.size(), requests + 1);

  // A page that arrives ends the run of retries: the next wrong page is asked for at once.
  host.browser.Complete(Home({u"/Arts/"}));
  host.browser.report = {};
  host.browser.Complete(DirectoryPage(kRoot + u"/Arts/", {}, u"Not the directory"));
  EXPECT_EQ(host.memo.Lines().back(), "Requesting it again at once: a page without the directory's title");
  EXPECT_FALSE(host.waiter.Enabled());
}

// robots.txt is read before the first page; while it cannot be, the crawl waits and asks again; its
// rules then keep disallowed categories' pages from being requested, also ahead.
TEST_F(FormTest, RobotsTxtDecidesWhichCategoryPagesAreRequested) {
  host.fetcher.autoAnswer.reset();
  host.browser.loadsAhead = 3;
  StartFresh();
  ASSERT_EQ(host.fetcher.requests, std::vector<std::u16string>{kRoot + u"/robots.txt"});
  EXPECT_TRUE(host.browser.navigations.empty()) << "robots.txt comes first";

  ASSERT_TRUE(host.fetcher.Answer({503, "", {{"retry-after", "7"}}, ""}));
  EXPECT_EQ(host.memo.Lines().back(),
            "robots.txt of http://www.wexa.org could not be read (HTTP status 503); the crawl waits and asks again in 7 s");
  EXPECT_EQ(host.waiter.Interval(), 7000);
  ASSERT_TRUE(host.waiter.Fire());
  ASSERT_TRUE(host.fetcher.Answer({0, "connection refused", {}, ""}));
  EXPECT_EQ(host.memo.Lines().back(),
            "robots.txt of http://www.wexa.org could not be read (connection refused); the crawl waits and asks again in 1 s");
  EXPECT_TRUE(host.browser.navigations.empty());
  ASSERT_TRUE(host.waiter.Fire());
  ASSERT_EQ(host.fetcher.requests.size(), 3u);
  ASSERT_TRUE(host.fetcher.Answer({200, "", {}, "User-agent: *\nDisallow: /\n\nUser-agent: WexaCategoryScraper\n"
                                                 "Disallow: /Arts/\nDisallow: /Games$\nCrawl-delay: 1.5\n"}));
  EXPECT_EQ(host.browser.leastLoadInterval, 1500);
  ASSERT_EQ(host.browser.navigations, std::vector<std::u16string>{kRoot});

  host.browser.Complete(Home({u"/Arts/", u"/Books/", u"/Games", u"/Health/"}));
  EXPECT_EQ(host.memo.Lines().back(), "Skipped by robots.txt: http://www.wexa.org/Arts/");
  EXPECT_EQ(host.browser.navigations.back(), kRoot + u"/Books/");
  EXPECT_EQ(host.browser.hints.back(), std::vector<std::u16string>{kRoot + u"/Health/"}) << "nothing disallowed ahead";
  host.browser.Complete(DirectoryPage(kRoot + u"/Books/", {}));
  EXPECT_EQ(host.memo.Lines().back(), "Skipped by robots.txt: http://www.wexa.org/Games");
  EXPECT_EQ(host.browser.navigations.back(), kRoot + u"/Health/");
  host.browser.Complete(DirectoryPage(kRoot + u"/Health/", {}));
  EXPECT_EQ(host.statusBar.SimpleText(), "*** FINISHED *** Categories: 4 | Symbolic categories: 0 | Queue: 0");
  EXPECT_EQ(host.browser.navigations.size(), 3u);
  EXPECT_EQ(host.fetcher.requests.size(), 3u) << "read once a run";
}

// After a "stop" that cancelled a page, the watchdog still brings that page, but a stopped crawl
// neither asks for a wrong one again nor loads anything ahead.
TEST_F(FormTest, AStoppedCrawlRequestsNothingMoreAfterTheWatchdogsReload) {
  host.browser.loadsAhead = 2;
  StartFresh();
  host.browser.Complete(Home({u"/Arts/", u"/Books/", u"/Games/"}));
  host.Click("Button1");
  ASSERT_TRUE(host.browser.hints.back().empty());
  ASSERT_TRUE(host.timer.Fire());
  const std::size_t requests = host.browser.navigations.size();
  const std::size_t hints = host.browser.hints.size();
  host.browser.report = {503, -1, ""};
  host.browser.Complete(WrongPage());
  EXPECT_EQ(host.memo.Lines().back(), "Not requesting it again: the crawl is stopped");
  EXPECT_EQ(host.browser.navigations.size(), requests);
  EXPECT_EQ(host.browser.hints.size(), hints);
  EXPECT_FALSE(host.waiter.Enabled());
  host.Click("Button2");
  EXPECT_EQ(host.browser.navigations.back(), kRoot + u"/Arts/") << "start asks for the cancelled page first";
}

}  // namespace
}  // namespace wexa_test
