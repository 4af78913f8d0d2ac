// End-to-end: the web engine's renderer process killed in the middle of a windowless crawl. The
// browser starts a fresh renderer and requests the page again, and the crawl finishes with the
// expected tree, without an operator.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

#include "e2e_support.h"

namespace e2e {
namespace {

std::string CommandLine(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

pid_t ParentOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // "pid (name) state ppid ...": the name may hold blanks, so read after its closing parenthesis.
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(stat.substr(close + 1));
  char state = 0;
  pid_t parent = -1;
  rest >> state >> parent;
  return parent;
}

bool IsEngineHelper(pid_t pid) { return CommandLine(pid).find("QtWebEngineProcess") != std::string::npos; }

// The renderer processes of the program: web engine helpers in its process group forked by the
// engine's zygote (another helper), which is how the engine starts its renderers.
std::vector<pid_t> RendererProcesses(pid_t group) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) continue;
    const pid_t pid = std::stoi(name);
    if (::getpgid(pid) != group || !IsEngineHelper(pid)) continue;
    const pid_t parent = ParentOf(pid);
    if (parent > 0 && IsEngineHelper(parent)) found.push_back(pid);
  }
  return found;
}

// The category count of the last progress line on stdout so far.
int CategoriesShown(const ScraperRun& run) {
  static const std::regex progress(R"(Categories: (\d+) \|)");
  int shown = 0;
  for (const std::string& line : run.StdoutLines()) {
    std::smatch m;
    if (std::regex_search(line, m, progress)) shown = std::stoi(m[1]);
  }
  return shown;
}

// With pages loaded ahead (--parallel 4) the kills also take the renderers of pages loaded ahead;
// those pages are dropped and their categories loaded again in their turn.
TEST(RendererTest, KilledRendererIsReplacedAndTheCrawlFinishesWithTheExpectedTree) {
  for (const char* parallel : {"1", "4"}) {
    SCOPED_TRACE(std::string("--parallel ") + parallel);
    TempDir temp;
    const std::filesystem::path work = temp / "work";
    std::filesystem::create_directory(work);
    SampleSite site({"--seed", "5", "--categories", "300", "--no-count-ratio", "0"}, temp);
    const ExpectedCrawl expected = site.Expected(0);
    ASSERT_GE(expected.categoryCount, 250);

    ScraperRun run(work, site.RootUrl(), {"--min-content", "0", "--parallel", parallel}, "renderer");
    int kills = 0;
    for (int at : {60, 140, 220}) {
      ASSERT_TRUE(WaitUntil([&] { return CategoriesShown(run) >= at; }, 120s, &run.Proc())) << run.Tail();
      const std::vector<pid_t> renderers = RendererProcesses(run.Proc().Pid());
      ASSERT_FALSE(renderers.empty()) << "no renderer process found at " << at << " categories";
      for (pid_t pid : renderers) kills += ::kill(pid, SIGKILL) == 0 ? 1 : 0;
    }

    const std::optional<ExitStatus> st = run.Proc().Wait(180s);
    if (!st) run.Proc().KillGroup();
    ASSERT_TRUE(st) << "the crawl did not end in time\n" << run.Tail();
    ASSERT_TRUE(st->exited && st->code == 0) << run.Tail();
    EXPECT_EQ(run.StdoutLines().back(), FinishedLine(expected.categoryCount, expected.symbolicFound));
    const std::vector<std::string> diffs = CompareTree(ReadTreeFile(work / "tree.xml"), expected);
    for (const std::string& d : diffs) ADD_FAILURE() << d;

    // A line in the log for each stopped renderer that served the page shown (a spare renderer, or
    // one of a page loaded ahead, if one was killed too, served none).
    int lines = 0;
    for (const std::string& line : run.StderrLines()) {
      lines += line.find("renderer stopped") != std::string::npos ? 1 : 0;
      EXPECT_EQ(line.find("TIMER: Reloading page "), std::string::npos) << "the browser recovers before the watchdog";
    }
    EXPECT_GE(lines, 1) << run.Tail();
    EXPECT_LE(lines, kills) << run.Tail();
  }
}

}  // namespace
}  // namespace e2e
