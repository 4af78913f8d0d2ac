// End-to-end politeness: a robots.txt of several groups and a server that answers some pages with
// 503 a few times, crawled one page and four pages at a time.

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "command_line.h"
#include "e2e_support.h"
#include "site_model.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

struct LoggedRequest {
  std::string path;
  int status = 0;
  std::string fault;
  long long ms = 0;
  std::string userAgent;
};

// The lines of --log-requests --log-details.
std::vector<LoggedRequest> Requests(const std::string& log) {
  std::vector<LoggedRequest> out;
  for (const std::string& line : SplitLines(log)) {
    std::istringstream in(line);
    LoggedRequest r;
    std::string method;
    if (!(in >> method >> r.path >> r.status >> r.fault >> r.ms)) continue;
    std::getline(in >> std::ws, r.userAgent);
    out.push_back(r);
  }
  return out;
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

TEST(PolitenessTest, RobotsTxtIsObeyedAndBusyPagesAreAskedAgainLaterAndLater) {
  TempDir temp;
  const int minContent = 10;
  const SiteArgs shape = {"--seed", "5", "--categories", "70", "--top-level", "6", "--wide-fanout", "0"};
  std::string error;
  const sample_site::SiteModel model(sample_site::ParseCommandLine(shape, error).site);
  ASSERT_EQ(error, "");

  // One top-level category whose whole subtree is off limits, and one page deeper down disallowed
  // alone ("$"); the first two top-level pages are the busy ones.
  const std::string subtree = model.Categories()[2].path;
  const sample_site::ExpectedCrawl full = sample_site::ComputeExpected(model, minContent);
  std::string single;
  for (const auto& c : full.categories) {
    if (c.parentPath.empty() || StartsWith(c.path, subtree)) continue;
    for (const auto& child : full.categories)
      if (child.parentPath == c.path && single.empty()) single = c.path;
  }
  ASSERT_FALSE(single.empty()) << "the sample has a page with subcategories below the top level";
  const auto visits = [&](const std::string& path) { return !StartsWith(path, subtree) && path != single; };
  WriteFile(temp / "robots.txt", "# several groups\r\nUser-agent: *\r\nDisallow: /\r\n\r\nUser-agent: OtherBot\r\n"
                                 "Disallow:\r\n\r\nUser-agent: wexacategoryscraper\r\nDisallow: " +
                                     subtree + "\r\nDisallow: " + single + "$\r\nAllow: /\r\n");

  for (const int pages : {1, 4}) {
    SCOPED_TRACE("--parallel " + std::to_string(pages));
    const std::string label = "n" + std::to_string(pages);
    SiteArgs args = shape;
    args.insert(args.end(), {"--robots", (temp / "robots.txt").string(), "--busy-pages", "2", "--log-requests",
                             "--log-details"});
    SampleSite site(args, temp, "site-" + label);
    const std::filesystem::path work = temp / label;
    std::filesystem::create_directory(work);
    ScraperRun run(work, site.RootUrl(), {"--min-content", std::to_string(minContent), "--parallel", std::to_string(pages)},
                   label);
    const std::optional<ExitStatus> st = run.Proc().Wait(180s);
    if (!st) run.Proc().KillGroup();
    ASSERT_TRUE(st && st->exited && st->code == 0) << run.Tail();

    const sample_site::ExpectedCrawl pruned = sample_site::ComputeExpected(model, minContent, visits);
    const ExpectedCrawl expected = ParseDump(sample_site::FormatExpected(model, pruned, minContent, site.RootUrl()));
    EXPECT_LT(pruned.categories.size(), full.categories.size());
    for (const std::string& d : CompareTree(ReadTreeFile(work / "tree.xml"), expected)) ADD_FAILURE() << d;
    EXPECT_NE(run.Stderr().find("Skipped by robots.txt: " + site.RootUrl() + subtree + "\n"), std::string::npos)
        << run.Tail();

    const std::vector<LoggedRequest> requests = Requests(site.RequestLog());
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.front().path, "/robots.txt") << "robots.txt comes before every page";
    std::map<std::string, std::vector<long long>> busyTimes;
    for (const LoggedRequest& r : requests) {
      SCOPED_TRACE(r.path);
      EXPECT_TRUE(StartsWith(r.userAgent, "WexaCategoryScraper/")) << r.userAgent;
      EXPECT_TRUE(r.path == "/robots.txt" || visits(r.path)) << "a disallowed page was requested";
      if (r.path == model.Categories()[0].path || r.path == model.Categories()[1].path) busyTimes[r.path].push_back(r.ms);
    }
    // Busy k answers 503 3 + k times: the retries after the first are spaced 1 s, then 2 s (then 4 s).
    for (const auto& [path, times] : busyTimes) {
      SCOPED_TRACE(path);
      ASSERT_GE(times.size(), 4u);
      EXPECT_GE(times[2] - times[1], 1000 - 20);
      EXPECT_GE(times[3] - times[2], 2000 - 20);
      if (times.size() > 4) {
        EXPECT_GE(times[4] - times[3], 4000 - 20);
      }
    }
    EXPECT_EQ(busyTimes.size(), 2u);
  }
}

}  // namespace
}  // namespace e2e
