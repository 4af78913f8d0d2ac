// End-to-end crawls on the browserless engine (--engine http): against a faulty site, for several
// numbers of pages at a time, the saved files and the finished line are the web engine's, byte for
// byte.

#include <gtest/gtest.h>

#include <string>

#include "e2e_support.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

// The faults strike only the first request of an address, so each crawl gets a fresh site with the
// same options; its port differs, so its address is replaced by one placeholder before comparing.
struct TCrawlResult {
  std::string tree;
  std::string queue;
  std::string finished;
};

TCrawlResult Crawl(const TempDir& temp, const SiteArgs& siteArgs, const std::string& label,
                   const std::vector<std::string>& args) {
  SampleSite site(siteArgs, temp, "site-" + label);
  const std::filesystem::path work = temp / label;
  std::filesystem::create_directory(work);
  ScraperRun run(work, site.RootUrl(), args, label);
  const std::optional<ExitStatus> st = run.Proc().Wait(240s);
  if (!st) run.Proc().KillGroup();
  EXPECT_TRUE(st && st->exited && st->code == 0) << run.Tail();
  std::string tree = ReadFile(work / "tree.xml");
  const std::string root = site.RootUrl();
  for (std::size_t at = tree.find(root); at != std::string::npos; at = tree.find(root, at + 6)) tree.replace(at, root.size(), "ROOT:");
  const std::vector<std::string> lines = run.StdoutLines();
  return {tree, ReadFile(work / "queue.lst"), lines.empty() ? std::string() : lines.back()};
}

TEST(HttpEngineCrawlTest, TheTreeIsTheWebEnginesThroughEveryFaultForEveryNumberOfPages) {
  TempDir temp;
  const SiteArgs siteArgs = {"--seed", "5", "--categories", "220", "--fault-wrong-page", "0.02",
                             "--fault-no-search-host", "0.02", "--fault-truncated", "0.02", "--fault-500", "0.02",
                             "--fault-stall", "0.01", "--stall-seconds", "1", "--latency", "10"};
  const std::vector<std::string> common = {"--min-content", "10"};
  std::vector<std::string> webArgs = common;
  const TCrawlResult web = Crawl(temp, siteArgs, "web", webArgs);
  ASSERT_FALSE(web.tree.empty());
  EXPECT_EQ(web.finished.rfind("*** FINISHED ***", 0), 0u) << web.finished;
  for (const int pages : {1, 8, 32}) {
    SCOPED_TRACE("--engine http --parallel " + std::to_string(pages));
    std::vector<std::string> args = common;
    args.insert(args.end(), {"--engine", "http", "--parallel", std::to_string(pages)});
    const TCrawlResult http = Crawl(temp, siteArgs, "http" + std::to_string(pages), args);
    EXPECT_TRUE(http.tree == web.tree) << "tree.xml differs from the web engine's";
    EXPECT_EQ(http.queue, web.queue);
    EXPECT_EQ(http.finished, web.finished);
  }
}

TEST(HttpEngineCrawlTest, ABadEngineIsAUsageErrorNamingTheChoices) {
  TempDir temp;
  const std::filesystem::path work = temp / "work";
  std::filesystem::create_directory(work);
  ScraperRun run(work, "http://127.0.0.1:9", {"--engine", "gecko"}, "bad-engine");
  const std::optional<ExitStatus> st = run.Proc().Wait(60s);
  if (!st) run.Proc().KillGroup();
  ASSERT_TRUE(st && st->exited && st->code == 2) << run.Tail();
  EXPECT_NE(run.Stderr().find("--engine takes web or http, not 'gecko'"), std::string::npos) << run.Tail();
}

}  // namespace
}  // namespace e2e
