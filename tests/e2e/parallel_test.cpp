// End-to-end crawls with pages loaded ahead (--parallel N): the same site, faults included, gives
// the same saved files and the same finished line for every N.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "e2e_support.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

// The bytes of a saved file with the site's own address (its port differs from site to site) put
// back to one placeholder.
std::string WithoutRoot(std::string bytes, const std::string& rootUrl) {
  for (std::size_t at = bytes.find(rootUrl); at != std::string::npos; at = bytes.find(rootUrl, at + 6))
    bytes.replace(at, rootUrl.size(), "ROOT:");
  return bytes;
}

// The faults of a sample site strike only the first request of an address, so each crawl gets a site
// of its own with the same options. A little latency lets the loads ahead overlap as they would
// against a real server.
TEST(ParallelCrawlTest, EveryNumberOfPagesGivesTheSameFilesThroughFaultyPages) {
  TempDir temp;
  const int minContent = 10;
  const SiteArgs siteArgs = {"--seed", "11", "--categories", "380", "--fault-wrong-page", "0.02",
                             "--fault-no-search-host", "0.02", "--fault-truncated", "0.02", "--fault-500", "0.02",
                             "--latency", "10", "--log-requests"};
  std::string firstTree, firstQueue, firstFinished;
  for (const int pages : {1, 4, 8}) {
    SCOPED_TRACE("--parallel " + std::to_string(pages));
    const std::string label = "n" + std::to_string(pages);
    SampleSite site(siteArgs, temp, "site-" + label);
    const std::filesystem::path work = temp / label;
    std::filesystem::create_directory(work);
    ScraperRun run(work, site.RootUrl(), {"--min-content", std::to_string(minContent), "--parallel", std::to_string(pages)},
                   label);
    const std::optional<ExitStatus> st = run.Proc().Wait(240s);
    if (!st) run.Proc().KillGroup();
    ASSERT_TRUE(st && st->exited && st->code == 0) << run.Tail();

    const ExpectedCrawl expected = site.Expected(minContent);
    const std::string tree = ReadFile(work / "tree.xml");
    for (const std::string& d : CompareTree(ReadTreeFile(work / "tree.xml"), expected)) ADD_FAILURE() << d;
    std::set<std::string> faults;
    for (const std::string& line : SplitLines(site.RequestLog()))
      for (const char* kind : {"wrong-page", "no-search-host", "truncated", "500"})
        if (line.size() > std::string(kind).size() && line.compare(line.size() - std::string(kind).size(), std::string::npos, kind) == 0)
          faults.insert(kind);
    EXPECT_EQ(faults.size(), 4u) << "every kind of fault was met";

    const std::string normalized = WithoutRoot(tree, site.RootUrl());
    const std::string queue = ReadFile(work / "queue.lst");
    const std::string finished = run.StdoutLines().back();
    if (pages == 1) {
      firstTree = normalized;
      firstQueue = queue;
      firstFinished = finished;
      EXPECT_EQ(finished, FinishedLine(expected.categoryCount, expected.symbolicFound));
    } else {
      EXPECT_TRUE(normalized == firstTree) << "tree.xml differs from the crawl with one page";
      EXPECT_EQ(queue, firstQueue);
      EXPECT_EQ(finished, firstFinished);
    }
  }
}

TEST(ParallelCrawlTest, ABadNumberOfPagesIsAUsageError) {
  TempDir temp;
  const std::filesystem::path work = temp / "work";
  std::filesystem::create_directory(work);
  for (const char* bad : {"0", "17", "four"}) {
    SCOPED_TRACE(bad);
    ScraperRun run(work, "http://127.0.0.1:9", {"--parallel", bad}, std::string("bad-") + bad);
    const std::optional<ExitStatus> st = run.Proc().Wait(60s);
    if (!st) run.Proc().KillGroup();
    ASSERT_TRUE(st && st->exited && st->code == 2) << run.Tail();
    EXPECT_NE(run.Stderr().find(std::string("--parallel takes a whole number of pages from 1 to 16, not '") + bad + "'"),
              std::string::npos)
        << run.Tail();
  }
}

}  // namespace
}  // namespace e2e
