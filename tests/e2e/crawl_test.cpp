// End-to-end crawls: wexa-scraper --headless against wexa-sample-site on 127.0.0.1, the saved tree
// compared with the crawl the site's generator expects. Also the command line's usage errors.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>
#include <sstream>

#include "e2e_support.h"
#include "site_model.h"

namespace e2e {
namespace {

const char* const kCaption = "Wexa Category Scraper - 1.0.0.6";
const std::regex kProgressLine(R"(Categories: (\d+) \| Symbolic categories: (\d+) \| Queue: (\d+))");
const std::regex kPassLine(
    R"(Computing symbolic categories: item (\d+) of (\d+) \| Categories: (\d+) \| Symbolic categories: (\d+) \| Queue: (\d+))");
const std::regex kFinishedLine(R"(\*\*\* FINISHED \*\*\* Categories: (\d+) \| Symbolic categories: (\d+) \| Queue: (\d+))");

class CrawlTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directory(work_); }

  // Waits for the run to end; on a timeout kills it and fails.
  std::optional<ExitStatus> Finish(ScraperRun& run, Clock::duration timeout) {
    std::optional<ExitStatus> st = run.Proc().Wait(timeout);
    if (!st) {
      run.Proc().KillGroup();
      ADD_FAILURE() << "the crawl did not end in time\n" << run.Tail();
    }
    return st;
  }

  std::set<std::string> WorkFiles() const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(work_)) names.insert(e.path().filename().string());
    return names;
  }

  TempDir temp_;
  std::filesystem::path work_ = temp_ / "work";
};

// The request log's lines "GET PATH STATUS FAULT".
struct Request {
  std::string path;
  int status = 0;
  std::string fault;
};

std::vector<Request> Requests(const std::string& log) {
  std::vector<Request> out;
  for (const std::string& line : SplitLines(log)) {
    std::istringstream in(line);
    Request r;
    std::string method;
    if (in >> method >> r.path >> r.status >> r.fault) out.push_back(r);
  }
  return out;
}

bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A crawl of about 300 categories over a server that answers every fourth or so address wrongly at
// first (a page of another kind, no search host, cut short, status 500): every such page is
// requested again, and the saved tree is exactly the expected one.
TEST_F(CrawlTest, CrawlThroughFaultyPagesSavesTheExpectedTree) {
  const int minContent = 10;
  SampleSite site({"--seed", "11", "--categories", "380", "--fault-wrong-page", "0.02", "--fault-no-search-host", "0.02",
                   "--fault-truncated", "0.02", "--fault-500", "0.02", "--log-requests"},
                  temp_);
  const ExpectedCrawl expected = site.Expected(minContent);
  ASSERT_GE(expected.categoryCount, 280);
  ASSERT_LT(expected.symbolicKept, expected.symbolicFound) << "the sample should drop some symbolic categories";

  ScraperRun run(work_, site.RootUrl(), {"--min-content", std::to_string(minContent)}, "crawl");
  const std::optional<ExitStatus> st = Finish(run, 240s);
  ASSERT_TRUE(st);
  ASSERT_TRUE(st->exited && st->code == 0) << run.Tail();

  const std::vector<std::string> out = run.StdoutLines();
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.front(), kCaption);
  // The finished line counts every symbolic category found, the ones the final pass dropped included.
  EXPECT_EQ(out.back(), FinishedLine(expected.categoryCount, expected.symbolicFound)) << run.Tail();
  int finished = 0;
  for (std::size_t i = 1; i < out.size(); ++i) {
    SCOPED_TRACE("stdout line " + std::to_string(i + 1) + ": " + out[i]);
    const bool known = std::regex_match(out[i], kProgressLine) || std::regex_match(out[i], kPassLine) ||
                       std::regex_match(out[i], kFinishedLine);
    EXPECT_TRUE(known);
    finished += std::regex_match(out[i], kFinishedLine) ? 1 : 0;
  }
  EXPECT_EQ(finished, 1);

  const std::vector<std::string> diffs = CompareTree(ReadTreeFile(work_ / "tree.xml"), expected);
  for (const std::string& d : diffs) ADD_FAILURE() << d;
  EXPECT_EQ(ReadFile(work_ / "queue.lst"), "");
  EXPECT_TRUE(std::filesystem::exists(work_ / "queue.lst"));
  EXPECT_EQ(WorkFiles(), (std::set<std::string>{"crawl.journal", "queue.lst", "tree.xml"}));
  // The finished crawl's journal names the saved pair and holds no page.
  EXPECT_LT(std::filesystem::file_size(work_ / "crawl.journal"), 100u);

  // Every wrongly answered page was requested again at once, with its retry line; the crawl asked
  // for the home page and the recorded categories' pages only.
  const std::vector<Request> requests = Requests(site.RequestLog());
  const std::vector<std::string> err = run.StderrLines();
  std::set<std::string> faultKinds, requested, wanted{"/"};
  for (const ExpectedCategory& c : expected.categories) wanted.insert(c.url.substr(site.RootUrl().size()));
  for (const Request& r : requests) {
    if (r.status == 404) continue;
    requested.insert(r.path);
    if (r.fault == "none") continue;
    faultKinds.insert(r.fault);
    EXPECT_TRUE(HasLine(err, "Retrying server (" + site.RootUrl() + r.path + ")..."))
        << "no retry line for the " << r.fault << " answer at " << r.path;
  }
  EXPECT_EQ(faultKinds, (std::set<std::string>{"wrong-page", "no-search-host", "truncated", "500"}));
  EXPECT_EQ(requested, wanted);
}

// Finds a seed for which exactly one category page of the crawl (not the home page) stalls, using the
// generator itself; the crawl's other pages are answered at once.
struct StallSite {
  std::uint64_t seed = 0;
  std::string stalledPath;
};

StallSite FindStallSite(const sample_site::SiteOptions& base, int minContent) {
  for (std::uint64_t seed = 1; seed < 500; ++seed) {
    sample_site::SiteOptions o = base;
    o.seed = seed;
    const sample_site::SiteModel model(o);
    if (model.FaultFor("/") != sample_site::FaultKind::None) continue;
    std::vector<std::string> stalled;
    for (const sample_site::ExpectedCategory& c : sample_site::ComputeExpected(model, minContent).categories)
      if (model.FaultFor(c.path) == sample_site::FaultKind::Stall) stalled.push_back(c.path);
    if (stalled.size() == 1) return {seed, stalled.front()};
  }
  return {};
}

// A page that never arrives: after 30 s the reload timer requests it again (with its Memo1 line, the
// stalled category's own address), and the crawl completes with the expected tree.
TEST_F(CrawlTest, StalledPageIsReloadedByTheTimerAndTheCrawlCompletes) {
  const int minContent = 1;
  sample_site::SiteOptions options;
  options.categories = 14;
  options.topLevel = 4;
  options.maxDepth = 3;
  options.wideFanout = 0;
  options.faults.stall = 0.15;
  const StallSite chosen = FindStallSite(options, minContent);
  ASSERT_FALSE(chosen.stalledPath.empty()) << "no seed gives exactly one stalled page";

  SampleSite site({"--seed", std::to_string(chosen.seed), "--categories", "14", "--top-level", "4", "--max-depth", "3",
                   "--wide-fanout", "0", "--fault-stall", "0.15", "--stall-seconds", "40", "--log-requests"},
                  temp_);
  const ExpectedCrawl expected = site.Expected(minContent);
  const auto started = Clock::now();
  ScraperRun run(work_, site.RootUrl(), {"--min-content", std::to_string(minContent)}, "stall");
  const std::optional<ExitStatus> st = Finish(run, 120s);
  ASSERT_TRUE(st);
  ASSERT_TRUE(st->exited && st->code == 0) << run.Tail();
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  EXPECT_GE(seconds, 29.0) << "the stall was not waited out: the page came some other way";

  const std::string reload = "TIMER: Reloading page " + site.RootUrl() + chosen.stalledPath + "...";
  const std::vector<std::string> err = run.StderrLines();
  EXPECT_EQ(std::count(err.begin(), err.end(), reload), 1) << run.Tail();
  EXPECT_EQ(run.StdoutLines().back(), FinishedLine(expected.categoryCount, expected.symbolicFound));
  for (const std::string& d : CompareTree(ReadTreeFile(work_ / "tree.xml"), expected)) ADD_FAILURE() << d;
  EXPECT_EQ(ReadFile(work_ / "queue.lst"), "");

  site.Stop();
  int stalls = 0;
  for (const Request& r : Requests(site.RequestLog())) stalls += r.fault == "stall" ? 1 : 0;
  EXPECT_EQ(stalls, 1);
}

// Usage errors end with exit code 2 and the usage line, before anything is written.
TEST_F(CrawlTest, UsageErrorsExitWithTwoAndTheUsageLine) {
  const std::vector<std::vector<std::string>> cases = {
      {"--min-content"},
      {"--min-content", "12x"},
      {"--min-content", "-5"},
      {"--bogus"},
  };
  int n = 0;
  for (const std::vector<std::string>& args : cases) {
    std::string shown;
    for (const std::string& a : args) shown += " " + a;
    SCOPED_TRACE("--headless" + shown);
    ScraperRun run(work_, "http://127.0.0.1:9", args, "usage" + std::to_string(++n));
    const std::optional<ExitStatus> st = Finish(run, 60s);
    ASSERT_TRUE(st);
    EXPECT_TRUE(st->exited && st->code == 2) << run.Tail();
    EXPECT_NE(run.Stderr().find("usage: wexa-scraper --headless [--min-content N] [--resume | --new]"), std::string::npos)
        << run.Tail();
  }
  EXPECT_TRUE(WorkFiles().empty());
}

// As root without QTWEBENGINE_DISABLE_SANDBOX the browser cannot start: one clear line, exit 2.
TEST_F(CrawlTest, RootWithoutSandboxSettingExitsWithTwo) {
  if (::geteuid() != 0) GTEST_SKIP() << "only meaningful when running as root";
  std::map<std::string, std::optional<std::string>> env = ScraperEnvironment("http://127.0.0.1:9", "search.wexa.org");
  env["QTWEBENGINE_DISABLE_SANDBOX"] = std::nullopt;
  Process p({ScraperProgram(), "--headless"}, work_, env, temp_ / "root.out", temp_ / "root.err");
  const std::optional<ExitStatus> st = p.Wait(60s);
  ASSERT_TRUE(st) << "still running";
  EXPECT_TRUE(st->exited && st->code == 2) << st->Describe() << "\n" << p.Stderr();
  EXPECT_NE(p.Stderr().find("QTWEBENGINE_DISABLE_SANDBOX"), std::string::npos) << p.Stderr();
  EXPECT_TRUE(WorkFiles().empty());
}

}  // namespace
}  // namespace e2e
