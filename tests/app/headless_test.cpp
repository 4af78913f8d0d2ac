// Windowless mode: the command line and the outputs turned into lines.

#include "app/headless.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tests/app/form_fixture.h"

namespace wexa_test {
namespace {

TEST(HeadlessArgumentsTest, AcceptsTheContractAndRefusesTheRest) {
  EXPECT_FALSE(ParseHeadlessArguments({}).has_value());
  auto o = ParseHeadlessArguments({"--headless"});
  ASSERT_TRUE(o);
  EXPECT_FALSE(o->resume);
  EXPECT_FALSE(o->minContent);
  o = ParseHeadlessArguments({"--headless", "--min-content", "120", "--resume"});
  ASSERT_TRUE(o);
  EXPECT_TRUE(o->resume);
  EXPECT_EQ(*o->minContent, "120");
  EXPECT_FALSE(o->delayMs) << "no delay unless asked for";
  EXPECT_FALSE(o->ignoreRobots);
  o = ParseHeadlessArguments({"--headless", "--user-agent", "MyBot/2 (me@example.org)", "--ignore-robots"});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->userAgent, "MyBot/2 (me@example.org)");
  EXPECT_TRUE(o->ignoreRobots);
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"--headless", "--min-content"}, {"--headless", "--min-content", "-5"},
        {"--headless", "--min-content", "12x"}, {"--headless", "--bogus"}, {"--resume"}, {"--ignore-robots"},
        {"--user-agent", "x"}, {"--headless", "--user-agent="}}) {
    EXPECT_THROW(ParseHeadlessArguments(bad), std::invalid_argument) << bad.back();
  }
}

TEST(HeadlessArgumentsTest, DelayBetweenLoadsTakesWholeMillisecondsUpToTheLimit) {
  struct Case {
    std::vector<std::string> args;
    std::optional<int> delay;  // nullopt: refused
  };
  const std::vector<Case> cases = {
      {{"--headless", "--delay-ms", "250"}, 250},
      {{"--delay-ms", "0", "--headless"}, 0},
      {{"--headless", "--delay-ms=1500", "--min-content", "7"}, 1500},
      {{"--headless", "--delay-ms", "10000"}, 10000},
      {{"--headless", "--delay-ms", "10001"}, std::nullopt},
      {{"--headless", "--delay-ms", "99999999999"}, std::nullopt},
      {{"--headless", "--delay-ms", "-1"}, std::nullopt},
      {{"--headless", "--delay-ms", "1.5"}, std::nullopt},
      {{"--headless", "--delay-ms", ""}, std::nullopt},
      {{"--headless", "--delay-ms="}, std::nullopt},
      {{"--headless", "--delay-ms"}, std::nullopt},
      {{"--delay-ms", "100"}, std::nullopt},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    if (c.delay) {
      const auto o = ParseHeadlessArguments(c.args);
      ASSERT_TRUE(o);
      EXPECT_EQ(o->delayMs, c.delay);
    } else {
      EXPECT_THROW(ParseHeadlessArguments(c.args), std::invalid_argument);
    }
  }
  try {
    ParseHeadlessArguments({"--headless", "--delay-ms", "fast"});
    ADD_FAILURE() << "no error";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "--delay-ms takes a whole number of milliseconds from 0 to 10000, not 'fast'");
  }
  EXPECT_EQ(HeadlessUsage(),
            "usage: wexa-scraper --headless [--min-content N] [--resume | --new] [--delay-ms N] [--parallel N] "
            "[--engine web|http] [--user-agent TEXT] [--ignore-robots]");
}

TEST(HeadlessArgumentsTest, PagesAtATimeFromTheOptionOrTheEnvironmentFromOneToSixteen) {
  struct Case {
    std::vector<std::string> args;
    const char* environment;
    std::optional<int> pages;  // nullopt: refused
  };
  const std::vector<Case> cases = {
      {{"--headless"}, nullptr, 1},
      {{"--headless"}, "", 1},
      {{"--headless", "--parallel", "4"}, nullptr, 4},
      {{"--headless", "--parallel=16"}, "2", 16},
      {{"--headless", "--parallel", "1"}, "junk", 1},
      {{"--headless"}, "8", 8},
      {{}, "3", 3},
      {{"--headless", "--parallel", "0"}, nullptr, std::nullopt},
      {{"--headless", "--parallel", "17"}, nullptr, std::nullopt},
      {{"--headless", "--parallel", "-2"}, nullptr, std::nullopt},
      {{"--headless", "--parallel", "100"}, nullptr, std::nullopt},
      {{"--headless", "--parallel"}, nullptr, std::nullopt},
      {{"--headless", "--parallel="}, nullptr, std::nullopt},
      {{"--parallel", "4"}, nullptr, std::nullopt},
      {{"--headless"}, "0", std::nullopt},
      {{"--headless"}, "sixteen", std::nullopt},
      {{}, "17", std::nullopt},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += a + " ";
    SCOPED_TRACE(line + "WEXA_PARALLEL=" + (c.environment ? c.environment : "(unset)"));
    if (c.pages) {
      EXPECT_EQ(ParallelPages(ParseHeadlessArguments(c.args), c.environment), *c.pages);
    } else {
      EXPECT_THROW(ParallelPages(ParseHeadlessArguments(c.args), c.environment), std::invalid_argument);
    }
  }
  try {
    ParallelPages(ParseHeadlessArguments({"--headless", "--parallel", "32"}), nullptr);
    ADD_FAILURE() << "no error";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "--parallel takes a whole number of pages from 1 to 16, not '32'");
  }
  try {
    ParallelPages(std::nullopt, "many");
    ADD_FAILURE() << "no error";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "WEXA_PARALLEL takes a whole number of pages from 1 to 16, not 'many'");
  }
}

TEST(HeadlessArgumentsTest, TheDelayOptionWinsOverTheEnvironmentWhichWinsOverNone) {
  const auto withDelay = ParseHeadlessArguments({"--headless", "--delay-ms", "40"});
  const auto withoutDelay = ParseHeadlessArguments({"--headless"});
  const std::optional<THeadlessOptions> window;
  EXPECT_EQ(NavigationDelayMs(withDelay, "900"), 40);
  EXPECT_EQ(NavigationDelayMs(withDelay, "junk"), 40) << "an option given makes the environment irrelevant";
  EXPECT_EQ(NavigationDelayMs(withoutDelay, "900"), 900);
  EXPECT_EQ(NavigationDelayMs(window, "900"), 900);
  EXPECT_EQ(NavigationDelayMs(window, nullptr), 0);
  EXPECT_EQ(NavigationDelayMs(window, ""), 0);
  EXPECT_EQ(NavigationDelayMs(withoutDelay, nullptr), 0);
  for (const char* bad : {"x", "-3", "20000", " 5"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(NavigationDelayMs(window, bad), std::invalid_argument);
  }
  try {
    NavigationDelayMs(withoutDelay, "soon");
    ADD_FAILURE() << "no error";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "WEXA_DELAY_MS takes a whole number of milliseconds from 0 to 10000, not 'soon'");
  }
}

TEST(HeadlessArgumentsTest, HelpAndVersionAreAnsweredAloneWhateverElseIsGiven) {
  struct Case {
    std::vector<std::string> args;
    TInformationRequest request;
  };
  const std::vector<Case> cases = {
      {{}, irNone},
      {{"--headless", "--resume"}, irNone},
      {{"--help"}, irHelp},
      {{"-h"}, irHelp},
      {{"--version"}, irVersion},
      {{"--headless", "--bogus", "--version"}, irVersion},
      {{"--min-content", "--help"}, irHelp},
      {{"--version", "--help"}, irVersion},
      {{"--help", "--version"}, irHelp},
      {{"--help=yes"}, irNone},
      {{"--versions"}, irNone},
      {{"-help"}, irNone},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    EXPECT_EQ(InformationRequested(c.args), c.request);
  }
  // What the parser refuses is not refused once help or version is asked for.
  EXPECT_THROW(ParseHeadlessArguments({"--resume", "--help"}), std::invalid_argument);
}

TEST(HeadlessArgumentsTest, TheHelpNamesEveryOptionTheParserTakes) {
  const std::string help = ProgramHelpText();
  for (const char* option : {"--headless", "--min-content N", "--resume", "--delay-ms N", "--parallel N", "-h, --help",
                             "--version", "WEXA_ROOT_URL", "WEXA_SEARCH_HOST", "WEXA_DELAY_MS", "WEXA_PARALLEL"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(ProgramVersionLine("1.0.0.6"), "Wexa Category Scraper 1.0.0.6");
}

class HeadlessHostTest : public ::testing::Test {
 protected:
  double now = 0;
  std::ostringstream out, err;
  platform::fake::FakeFormHost inner;
  THeadlessHost host{inner, out, err, [this] { return now; }};
};

TEST_F(HeadlessHostTest, StatusLinesAreThrottledButTheLastAndTheFinishedLineAlwaysShow) {
  unsetenv("WEXA_ROOT_URL");
  TForm1 form(host);
  auto* bar = form.Controls().StatusBar1;
  bar->SetSimpleText("one");      // printed: the first
  now = 0.01;
  bar->SetSimpleText("two");      // held back
  now = 0.02;
  bar->SetSimpleText("three");    // held back, replaces two
  now = 0.03;
  bar->SetSimpleText("*** FINISHED *** Categories: 0 | Symbolic categories: 0 | Queue: 0");  // always
  now = 0.2;
  bar->SetSimpleText("four");     // printed: enough time has passed
  now = 0.21;
  bar->SetSimpleText("five");     // held back until the flush
  host.FlushStatus();
  host.FlushStatus();             // nothing more
  EXPECT_EQ(out.str(), "one\n*** FINISHED *** Categories: 0 | Symbolic categories: 0 | Queue: 0\nfour\nfive\n");
  EXPECT_TRUE(host.Finished());
  EXPECT_EQ(inner.statusBar.SimpleText(), "five") << "the hidden window still shows every line";
}

TEST_F(HeadlessHostTest, TheBrowsersOwnLogLinesGoToMemo1AndStderr) {
  TForm1 form(host);
  inner.browser.RaiseLogLine(u"Browser: the page's renderer stopped (killed, exit code 9); requesting http://h/\u00e9 again");
  EXPECT_EQ(err.str(), "Browser: the page's renderer stopped (killed, exit code 9); requesting http://h/\u00e9 again\n");
  ASSERT_EQ(inner.memo.Lines().size(), 1u);
  EXPECT_EQ(inner.memo.Lines()[0], "Browser: the page's renderer stopped (killed, exit code 9); requesting http://h/\u00e9 again");
}

TEST_F(HeadlessHostTest, MemoLinesAndMessagesGoToStderrAndQuestionsAreAnsweredYes) {
  TForm1 form(host);
  form.Controls().Memo1->AddLine("Retrying server (x)...");
  EXPECT_EQ(host.Dialogs().Confirm("Continue?", true), platform::TModalResult::mrYes);
  host.Dialogs().ShowMessage("bingo 1 2");
  EXPECT_EQ(err.str(), "Retrying server (x)...\nContinue?\nbingo 1 2\n");
  EXPECT_EQ(host.MessagesShown(), 1);
  EXPECT_EQ(inner.memo.Lines().size(), 1u);
}

TEST(TerminalStatusTest, TheSuffixGivesHoursMinutesSecondsAndPagesPerSecond) {
  struct Case {
    double elapsed;
    long long loads;
    const char* suffix;
  };
  const std::vector<Case> cases = {
      {0, 0, " | 0:00:00 | 0.0 pages/s"},
      {0, 7, " | 0:00:00 | 0.0 pages/s"},
      {-0.5, 7, " | 0:00:00 | 0.0 pages/s"},
      {0.5, 12, " | 0:00:00 | 24.0 pages/s"},
      {59.99, 1, " | 0:00:59 | 0.0 pages/s"},
      {60, 3000, " | 0:01:00 | 50.0 pages/s"},
      {3725, 7450, " | 1:02:05 | 2.0 pages/s"},
      {3.0, 100, " | 0:00:03 | 33.3 pages/s"},
      {100 * 3600 + 61, 0, " | 100:01:01 | 0.0 pages/s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.elapsed);
    EXPECT_EQ(TerminalStatusSuffix(c.elapsed, c.loads), c.suffix);
  }
}

// stdout and stderr on one terminal: one stream, so the order of everything is seen.
class TerminalHostTest : public ::testing::Test {
 protected:
  double now = 100;
  std::ostringstream terminal;
  platform::fake::FakeFormHost inner;
  THeadlessHost host{inner, terminal, terminal, [this] { return now; }, true};
};

TEST_F(TerminalHostTest, StatusTextsRewriteOneLineAndEverythingElseStartsOnALineOfItsOwn) {
  unsetenv("WEXA_ROOT_URL");
  TForm1 form(host);
  auto* bar = form.Controls().StatusBar1;
  now = 102;
  form.Controls().browser->Navigate(u"http://h/a/");
  form.Controls().browser->Navigate(u"http://h/b/");
  EXPECT_EQ(inner.browser.navigations.size(), 2u) << "the loads still reach the browser";
  bar->SetSimpleText("one");
  now = 102.01;
  bar->SetSimpleText("two");  // held back by the throttle
  form.Controls().Memo1->AddLine("Retrying server (x)...");
  now = 102.1;
  host.TickStatus();  // the held-back text
  now = 102.5;
  host.TickStatus();  // nothing new, and too soon to refresh the clock
  now = 103.2;
  host.TickStatus();  // the clock moves on while nothing else does
  host.Dialogs().ShowMessage("bingo 1 2");
  host.Dialogs().ShowMessage("bingo 3 4");
  now = 104;
  bar->SetSimpleText("*** FINISHED *** Categories: 2 | Symbolic categories: 0 | Queue: 0");
  host.EndStatusLine();  // the finished line has ended itself
  EXPECT_EQ(terminal.str(),
            "\rone | 0:00:02 | 1.0 pages/s\x1b[K\n"
            "Retrying server (x)...\n"
            "\rtwo | 0:00:02 | 1.0 pages/s\x1b[K"
            "\rtwo | 0:00:03 | 0.6 pages/s\x1b[K\n"
            "bingo 1 2\n"
            "bingo 3 4\n"
            "*** FINISHED *** Categories: 2 | Symbolic categories: 0 | Queue: 0 | 0:00:04 | 0.5 pages/s\n");
  EXPECT_EQ(inner.statusBar.SimpleText(), "*** FINISHED *** Categories: 2 | Symbolic categories: 0 | Queue: 0");
}

TEST_F(TerminalHostTest, EndingTheRunEndsAnOpenStatusLineOnce) {
  TForm1 form(host);
  form.Controls().StatusBar1->SetSimpleText("one");
  host.EndStatusLine();
  host.EndStatusLine();
  EXPECT_EQ(terminal.str(), "\rone | 0:00:00 | 0.0 pages/s\x1b[K\n");
}

TEST_F(HeadlessHostTest, OffATerminalTheLinesStayExactlyAsTheyAre) {
  TForm1 form(host);
  auto* bar = form.Controls().StatusBar1;
  form.Controls().browser->Navigate(u"http://h/a/");
  bar->SetSimpleText("one");
  form.Controls().Memo1->AddLine("Retrying server (x)...");
  now = 5;
  host.TickStatus();  // no clock to refresh
  host.EndStatusLine();
  bar->SetSimpleText("two");
  EXPECT_EQ(out.str(), "one\ntwo\n");
  EXPECT_EQ(err.str(), "Retrying server (x)...\n");
}

// Runs in a working directory of its own, where a save puts the state files.
class HeadlessRunnerTest : public HeadlessHostTest {
 protected:
  void SetUp() override {
    unsetenv("WEXA_ROOT_URL");
    unsetenv("WEXA_SEARCH_HOST");
  }
  void Make(THeadlessOptions options = {}) {
    form = std::make_unique<TForm1>(host);
    runner = std::make_unique<THeadlessRunner>(*form, host, options, out);
  }
  // A top-level real category, queued.
  TCategory* Pending(int id, const std::u16string& url) {
    auto* record = new TCategory(id, u"c", url, 100);
    form->Directory().AddCategory(record);
    form->Categories().AddChildObject(nullptr, "c", record);
    form->Queue().Push(record);
    return record;
  }
  // Declared before the form: they outlive it and its records.
  test_support::ModelPersistence persistence_;
  test_support::WorkingFolder folder_{"wexa-runner-test-"};
  std::unique_ptr<TForm1> form;
  std::unique_ptr<THeadlessRunner> runner;
};

TEST_F(HeadlessRunnerTest, BeginPrintsTheCaptionFirstThenTypesTheMinimumAndStarts) {
  THeadlessOptions options;
  options.minContent = "120";
  Make(options);
  runner->Begin();
  EXPECT_EQ(out.str().substr(0, out.str().find('\n')), host.Caption());
  EXPECT_EQ(inner.edit.Text(), "120");
  EXPECT_NE(err.str().find("Continue?"), std::string::npos) << "the low-minimum question, answered Yes";
  EXPECT_EQ(inner.browser.navigations, (std::vector<std::u16string>{kRoot}));
  EXPECT_FALSE(form->Stopped());
}

TEST_F(HeadlessRunnerTest, DecidesNothingInsideAHandlersMessageProcessing) {
  Make();
  EXPECT_FALSE(runner->Poll()) << "nothing before Begin";
  runner->Begin();
  form->Controls().StatusBar1->SetSimpleText("*** FINISHED *** Categories: 0 | Symbolic categories: 0 | Queue: 0");
  std::optional<int> nested = -1;
  inner.application.Post([&] { nested = runner->Poll(); });
  host.Application().ProcessMessages();  // as a save inside the finishing handler does
  EXPECT_EQ(nested, std::nullopt) << "the handler that showed the finished line has not ended yet";
  EXPECT_EQ(runner->Poll(), 0);
}

TEST_F(HeadlessRunnerTest, AfterTheDuplicateMessageStopsAndStartsAgainOnce) {
  Make();
  Pending(1, u"http://www.wexa.org/A/");
  Pending(2, u"http://www.wexa.org/B/");
  runner->Begin();  // the tree is not empty: start continues with the first pending category
  ASSERT_EQ(inner.browser.navigations.size(), 1u);
  // A's page lists B again: the duplicate message ends the page's handler without a next step.
  inner.browser.Complete(DirectoryPage(u"http://www.wexa.org/A/", {Li(10, u"B again", u"/B/", u"(9000)")}));
  ASSERT_EQ(host.MessagesShown(), 1);
  EXPECT_EQ(runner->Poll(), std::nullopt);
  EXPECT_EQ(inner.browser.stops, 0) << "the page has arrived: nothing to cancel";
  EXPECT_EQ(inner.browser.navigations.back(), u"http://www.wexa.org/B/");
  EXPECT_FALSE(form->Stopped());
  EXPECT_EQ(runner->Poll(), std::nullopt);
  EXPECT_EQ(inner.browser.navigations.size(), 2u) << "one message, one restart";
}

// A stop request that comes after the finished crawl has saved: the run is over, with exit 0 and
// no second save.
TEST_F(HeadlessRunnerTest, AStopRequestAfterTheFinishedSaveEndsWith0) {
  Make();
  auto* record = new TCategory(1, u"c", u"http://www.wexa.org/A/", 100);
  form->Directory().AddCategory(record);
  form->Categories().AddChildObject(nullptr, "c", record);
  runner->Begin();
  ASSERT_TRUE(host.Finished());
  std::filesystem::remove("queue.lst");
  runner->RequestStop();
  EXPECT_EQ(runner->Poll(), 0);
  EXPECT_FALSE(std::filesystem::exists("queue.lst"));
}

TEST_F(HeadlessRunnerTest, AStopRequestStopsWaitsSavesAndEndsWith130) {
  Make();
  Pending(1, u"http://www.wexa.org/A/");
  Pending(2, u"http://www.wexa.org/B/");
  runner->Begin();
  inner.application.Post([&] { runner->RequestStop(); });
  host.Application().ProcessMessages();
  EXPECT_FALSE(std::filesystem::exists("queue.lst")) << "a request inside a handler waits for the handler";
  EXPECT_EQ(runner->Poll(), 130);
  EXPECT_TRUE(form->Stopped());
  EXPECT_EQ(inner.browser.stops, 1);
  std::ifstream queueFile("queue.lst", std::ios::binary);
  std::string saved((std::istreambuf_iterator<char>(queueFile)), std::istreambuf_iterator<char>());
  EXPECT_EQ(saved, "1\r\n2\r\n") << "the category whose page was loading comes first";
  EXPECT_TRUE(std::filesystem::exists("tree.xml"));
  // The last lines on stderr say what was saved, where, and how to go on.
  EXPECT_TRUE(err.str().ends_with(
      "State saved: 2 categories, 2 pending entries (tree.xml, queue.lst)\n"
      "wexa-scraper: stopped; the crawl is saved in " + std::filesystem::current_path().string() +
      " (tree.xml, queue.lst): 2 categories, 2 pending entries; wexa-scraper --headless --resume continues it\n"))
      << err.str();
}

}  // namespace
}  // namespace wexa_test
