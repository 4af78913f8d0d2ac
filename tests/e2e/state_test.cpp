// End-to-end tests of the crawl state: tree.xml and queue.lst written on a stop request, read back by
// --resume, kept whole when a save is killed, and refused when they are damaged.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "e2e_support.h"

namespace e2e {
namespace {

const std::regex kProgressLine(R"(Categories: (\d+) \| Symbolic categories: (\d+) \| Queue: (\d+))");
const std::regex kPassLine(R"(Computing symbolic categories: item \d+ of \d+ \| .*)");

struct Progress {
  int categories = 0;
  int symbolic = 0;
  int queue = 0;
};

std::optional<Progress> ParseProgress(const std::string& line) {
  std::smatch m;
  if (!std::regex_match(line, m, kProgressLine)) return std::nullopt;
  return Progress{std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3])};
}

// The bytes and modification time of a file.
struct Snapshot {
  std::string bytes;
  timespec mtime{};
  bool operator==(const Snapshot& o) const {
    return bytes == o.bytes && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
  }
};

Snapshot Snap(const std::filesystem::path& path) {
  Snapshot s;
  s.bytes = ReadFile(path);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) s.mtime = st.st_mtim;
  return s;
}

std::string QueueText(const std::vector<int>& ids) {
  std::string text;
  for (int id : ids) text += std::to_string(id) + "\r\n";
  return text;
}

// queue.lst's IDs; fails the test on a line that is not a decimal number ended by CR LF.
std::vector<int> ReadQueue(const std::filesystem::path& path) {
  const std::string text = ReadFile(path);
  std::vector<int> ids;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "queue.lst: last line without CR LF";
      break;
    }
    const std::string line = text.substr(start, end - start);
    if (line.empty() || line.find_first_not_of("0123456789") != std::string::npos || line[0] == '0') {
      ADD_FAILURE() << "queue.lst: bad line '" << line << "'";
      break;
    }
    ids.push_back(std::stoi(line));
    start = end + 2;
  }
  return ids;
}

class StateTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directory(work_); }

  std::optional<ExitStatus> Finish(ScraperRun& run, Clock::duration timeout) {
    std::optional<ExitStatus> st = run.Proc().Wait(timeout);
    if (!st) {
      run.Proc().KillGroup();
      ADD_FAILURE() << "the run did not end in time\n" << run.Tail();
    }
    return st;
  }

  // Waits until a stdout line satisfies pred; false when the run ended or the time ran out first.
  static bool WaitForLine(ScraperRun& run, const std::function<bool(const std::string&)>& pred, Clock::duration timeout) {
    std::size_t checked = 0;
    return WaitUntil(
        [&] {
          std::string text = run.Stdout();
          // A last line without its line end may still be half written.
          text.erase(text.find_last_of('\n') == std::string::npos ? 0 : text.find_last_of('\n') + 1);
          const std::vector<std::string> lines = SplitLines(text);
          for (; checked < lines.size(); ++checked)
            if (pred(lines[checked])) return true;
          return false;
        },
        timeout, &run.Proc(), 2ms);
  }

  std::set<std::string> FilesIn(const std::filesystem::path& dir) const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
  }

  TempDir temp_;
  std::filesystem::path work_ = temp_ / "work";
};

// What a stop request must leave behind part-way through a crawl: both files, a tree that agrees
// with the expected crawl so far, and a queue of the last IDs handed out, in order, none of them
// visited yet.
void CheckStoppedState(const std::filesystem::path& dir, const ExpectedCrawl& expected) {
  ASSERT_TRUE(std::filesystem::exists(dir / "tree.xml"));
  ASSERT_TRUE(std::filesystem::exists(dir / "queue.lst"));
  SavedTree tree;
  ASSERT_NO_THROW(tree = ReadTreeFile(dir / "tree.xml"));
  for (const std::string& d : CompareUnfinishedTree(tree, expected)) ADD_FAILURE() << d;
  const std::vector<int> queue = ReadQueue(dir / "queue.lst");
  if (queue.empty()) return;  // stopped after the crawl had finished
  int highest = 0;
  std::map<int, const TreeRecord*> byId;
  for (const TreeRecord& r : tree.nodes)
    if (!r.symbolic) {
      highest = std::max(highest, r.id);
      byId[r.id] = &r;
    }
  for (std::size_t i = 0; i < queue.size(); ++i) {
    EXPECT_EQ(queue[i], highest - static_cast<int>(queue.size() - 1 - i)) << "queue line " << i + 1;
    const auto it = byId.find(queue[i]);
    if (it == byId.end()) ADD_FAILURE() << "queued ID " << queue[i] << " is not in the tree";
    else EXPECT_TRUE(it->second->children.empty()) << "queued ID " << queue[i] << " was already visited";
  }
}

// Interrupted early, mid-way and (when the timing allows) in the final symbolic pass, then resumed
// until done: the final tree.xml is byte for byte that of an uninterrupted crawl with one page at a
// time, whether the interrupted runs load pages ahead (--parallel N, the parameter) or not.
class ResumeTest : public StateTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ResumeTest, ResumedCrawlEndsWithTheUninterruptedTree) {
  const int minContent = 1;
  SampleSite site({"--seed", "5", "--categories", "300", "--symbolic-ratio", "0.8"}, temp_);
  const ExpectedCrawl expected = site.Expected(minContent);
  const std::vector<std::string> args{"--min-content", std::to_string(minContent), "--parallel", GetParam()};

  const std::filesystem::path reference = temp_ / "reference";
  std::filesystem::create_directory(reference);
  {
    ScraperRun run(reference, site.RootUrl(), {"--min-content", std::to_string(minContent)}, "reference");
    const std::optional<ExitStatus> st = Finish(run, 180s);
    ASSERT_TRUE(st && st->exited && st->code == 0) << run.Tail();
    for (const std::string& d : CompareTree(ReadTreeFile(reference / "tree.xml"), expected)) ADD_FAILURE() << d;
  }
  const std::string referenceTree = ReadFile(reference / "tree.xml");

  struct Interruption {
    std::string name;
    std::function<bool(const std::string&)> when;
    int signal;  // SIGINT and SIGTERM are the same request
  };
  const std::vector<Interruption> interruptions = {
      {"early", [](const std::string& l) { return ParseProgress(l) && ParseProgress(l)->categories >= 40; }, SIGINT},
      {"mid-way",
       [&](const std::string& l) { return ParseProgress(l) && ParseProgress(l)->categories >= expected.categoryCount / 2; },
       SIGTERM},
      {"symbolic pass", [](const std::string& l) { return std::regex_match(l, kPassLine); }, SIGINT},
  };
  bool finishedState = false;  // the last stop saved a crawl whose pass had already run
  bool done = false;
  int runs = 0;
  for (const Interruption& point : interruptions) {
    SCOPED_TRACE("interrupted " + point.name);
    std::vector<std::string> runArgs = args;
    std::string loadedLine;
    if (runs > 0) {
      runArgs.push_back("--resume");
      SavedTree before;
      ASSERT_NO_THROW(before = ReadTreeFile(work_ / "tree.xml"));
      loadedLine = "Categories: " + std::to_string(before.RealCount()) + " | Symbolic categories: " +
                   std::to_string(before.SymbolicCount()) + " | Queue: " +
                   std::to_string(ReadQueue(work_ / "queue.lst").size());
    }
    ScraperRun run(work_, site.RootUrl(), runArgs, "run" + std::to_string(++runs));
    const bool reached = WaitForLine(run, point.when, 180s);
    if (reached) run.Proc().Signal(point.signal);
    const std::optional<ExitStatus> st = Finish(run, 120s);
    ASSERT_TRUE(st);
    if (!reached) {
      // Only the pass can slip by unseen: it may take less than one status interval.
      ASSERT_EQ(point.name, "symbolic pass") << run.Tail();
      ASSERT_TRUE(st->exited && st->code == 0) << run.Tail();
      std::cout << "[ note ] the symbolic pass ended before it could be interrupted\n";
      done = true;
      break;
    }
    ASSERT_TRUE(st->exited && (st->code == 130 || (point.name == "symbolic pass" && st->code == 0))) << run.Tail();
    if (st->code == 0) {
      done = true;
      break;
    }
    ASSERT_NO_FATAL_FAILURE(CheckStoppedState(work_, expected));
    finishedState = ReadFile(work_ / "queue.lst").empty();
    if (!loadedLine.empty()) {
      // The resumed run started from what it loaded: the store's counts and the queue file's length.
      const std::vector<std::string> out = run.StdoutLines();
      ASSERT_GE(out.size(), 2u);
      EXPECT_EQ(out[1], loadedLine);
    }
  }
  for (int extra = 0; !done && extra < 3; ++extra) {
    SavedTree before;
    ASSERT_NO_THROW(before = ReadTreeFile(work_ / "tree.xml"));
    const std::size_t queued = ReadQueue(work_ / "queue.lst").size();
    ScraperRun run(work_, site.RootUrl(), {"--min-content", std::to_string(minContent), "--parallel", GetParam(), "--resume"},
                   "run" + std::to_string(++runs));
    const std::optional<ExitStatus> st = Finish(run, 180s);
    ASSERT_TRUE(st);
    ASSERT_TRUE(st->exited && st->code == 0) << run.Tail();
    const std::vector<std::string> out = run.StdoutLines();
    ASSERT_GE(out.size(), 2u);
    // The first status line shows what was loaded: the store's counts and the queue file's length.
    EXPECT_EQ(out[1], "Categories: " + std::to_string(before.RealCount()) + " | Symbolic categories: " +
                          std::to_string(before.SymbolicCount()) + " | Queue: " + std::to_string(queued));
    EXPECT_EQ(out.back(), FinishedLine(expected.categoryCount,
                                       finishedState ? expected.symbolicKept : expected.symbolicFound));
    done = true;
  }
  ASSERT_TRUE(done);
  EXPECT_EQ(ReadFile(work_ / "queue.lst"), "");
  EXPECT_TRUE(ReadFile(work_ / "tree.xml") == referenceTree) << "tree.xml differs from the uninterrupted crawl's";
  for (const std::string& d : CompareTrees(ReadTreeFile(work_ / "tree.xml"), ReadTreeFile(reference / "tree.xml")))
    ADD_FAILURE() << d;
}

INSTANTIATE_TEST_SUITE_P(Pages, ResumeTest, ::testing::Values("1", "4"));

// Category pages the site served: the home page and every category address end in "/".
int PagesServed(const std::string& requestLog) {
  int pages = 0;
  for (const std::string& line : SplitLines(requestLog)) {
    std::istringstream fields(line);
    std::string method, path;
    fields >> method >> path;
    pages += method == "GET" && !path.empty() && path.back() == '/' ? 1 : 0;
  }
  return pages;
}

// Killed with SIGKILL three times (early, during the save that a stop request starts, and later with
// the journal's last bytes torn off as a write cut short would leave them) and resumed each time, the
// crawl ends in the uninterrupted crawl's files, and each kill costs only the pages in flight: at most
// N + 1 more pages served per kill with N pages at a time, and one more for the torn entry.
class KillTest : public StateTest, public ::testing::WithParamInterface<int> {};

TEST_P(KillTest, KilledThreeTimesTheResumedCrawlEndsInTheUninterruptedFilesFetchingOnlyPagesInFlightAgain) {
  const int n = GetParam();
  const SiteArgs shape{"--seed", "11", "--categories", "300", "--wide-fanout", "0", "--fault-wrong-page", "0.03",
                       "--fault-500", "0.03", "--fault-truncated", "0.02", "--log-requests"};
  const std::vector<std::string> args{"--min-content", "1", "--parallel", std::to_string(n)};
  std::vector<std::string> resume = args;
  resume.push_back("--resume");
  const auto past = [](int categories) {
    return [categories](const std::string& l) { return ParseProgress(l) && ParseProgress(l)->categories >= categories; };
  };

  const std::filesystem::path reference = temp_ / "reference";
  std::filesystem::create_directory(reference);
  int referencePages = 0;
  std::string referenceRoot;
  {
    SampleSite site(shape, temp_, "reference-site");
    referenceRoot = site.RootUrl();
    ScraperRun run(reference, site.RootUrl(), args, "reference");
    const std::optional<ExitStatus> st = Finish(run, 180s);
    ASSERT_TRUE(st && st->exited && st->code == 0) << run.Tail();
    site.Stop();
    referencePages = PagesServed(site.RequestLog());
  }

  SampleSite site(shape, temp_, "site");
  const ExpectedCrawl expected = site.Expected(1);
  int kills = 0;
  {
    ScraperRun run(work_, site.RootUrl(), args, "early");
    ASSERT_TRUE(WaitForLine(run, past(40), 120s)) << run.Tail();
    run.Proc().KillGroup();
    ++kills;
  }
  {
    ScraperRun run(work_, site.RootUrl(), resume, "save");
    ASSERT_TRUE(WaitForLine(run, past(120), 120s)) << run.Tail();
    run.Proc().Signal(SIGINT);
    const bool saving = WaitUntil(
        [&] {
          std::error_code ec;
          for (const auto& e : std::filesystem::directory_iterator(work_, ec))
            if (e.path().filename().string().find(".saving-") != std::string::npos) return true;
          return false;
        },
        60s, &run.Proc(), 1ms);
    if (saving) {
      run.Proc().KillGroup();
      ++kills;
    } else {
      std::cout << "[ note ] the save ended before it could be killed\n";
      ASSERT_TRUE(run.Proc().Ended() && run.Proc().Status().exited && run.Proc().Status().code == 130) << run.Tail();
    }
  }
  {
    ScraperRun run(work_, site.RootUrl(), resume, "torn");
    ASSERT_TRUE(WaitForLine(run, past(200), 120s)) << run.Tail();
    run.Proc().KillGroup();
    ++kills;
  }
  const std::string journal = ReadFile(work_ / "crawl.journal");
  ASSERT_GT(journal.size(), 100u);
  WriteFile(work_ / "crawl.journal", journal.substr(0, journal.size() - 7));
  {
    ScraperRun run(work_, site.RootUrl(), resume, "finish");
    const std::optional<ExitStatus> st = Finish(run, 180s);
    ASSERT_TRUE(st && st->exited && st->code == 0) << run.Tail();
    const std::string err = run.Stderr();
    EXPECT_NE(err.find("The last entry of the crawl journal crawl.journal was incomplete"), std::string::npos) << err;
    EXPECT_EQ(run.StdoutLines().back(), FinishedLine(expected.categoryCount, expected.symbolicFound));
  }
  // The same sample on another port: the addresses differ in the port alone.
  std::string referenceTree = ReadFile(reference / "tree.xml");
  for (std::size_t at = 0; (at = referenceTree.find(referenceRoot, at)) != std::string::npos; at += site.RootUrl().size())
    referenceTree.replace(at, referenceRoot.size(), site.RootUrl());
  EXPECT_TRUE(ReadFile(work_ / "tree.xml") == referenceTree) << "tree.xml differs from the uninterrupted crawl's";
  EXPECT_EQ(ReadFile(work_ / "queue.lst"), ReadFile(reference / "queue.lst"));
  site.Stop();
  const int pages = PagesServed(site.RequestLog());
  std::cout << "[ note ] " << kills << " kills; pages served " << pages << ", uninterrupted " << referencePages << "\n";
  EXPECT_LE(pages, referencePages + kills * (n + 1) + 1);
}

INSTANTIATE_TEST_SUITE_P(Pages, KillTest, ::testing::Values(1, 4));

// A stop request right at the start, before the home page has been read (or just after): the saved
// state is whatever was recorded (an empty tree included), and --resume crawls on from it to the
// expected tree.
TEST_F(StateTest, StopAtTheStartSavesAStateThatResumes) {
  SampleSite site({"--seed", "3", "--categories", "40", "--top-level", "5"}, temp_);
  const ExpectedCrawl expected = site.Expected(1);
  {
    ScraperRun run(work_, site.RootUrl(), {"--min-content", "1"}, "start");
    ASSERT_TRUE(WaitForLine(run, [](const std::string&) { return true; }, 60s)) << run.Tail();  // the caption
    run.Proc().Signal(SIGINT);
    const std::optional<ExitStatus> st = Finish(run, 60s);
    ASSERT_TRUE(st);
    ASSERT_TRUE(st->exited && st->code == 130) << run.Tail();
  }
  ASSERT_NO_FATAL_FAILURE(CheckStoppedState(work_, expected));
  std::cout << "[ note ] stopped with " << ReadTreeFile(work_ / "tree.xml").nodes.size() << " nodes saved\n";

  ScraperRun run(work_, site.RootUrl(), {"--min-content", "1", "--resume"}, "resume");
  const std::optional<ExitStatus> st = Finish(run, 120s);
  ASSERT_TRUE(st);
  ASSERT_TRUE(st->exited && st->code == 0) << run.Tail();
  EXPECT_EQ(run.StdoutLines().back(), FinishedLine(expected.categoryCount, expected.symbolicFound));
  for (const std::string& d : CompareTree(ReadTreeFile(work_ / "tree.xml"), expected)) ADD_FAILURE() << d;
  EXPECT_EQ(ReadFile(work_ / "queue.lst"), "");
}

// A generated state: `real` categories (IDs 1..real, the first `top` of them top-level) and
// `symbolic` cross-links among them, a third of which name no category (an unknown address, or a
// recorded one in other letter case) and so are dropped by the final pass. Names carry markup
// characters and letters outside ASCII. kept receives the tree as it must be after the pass.
SavedTree GeneratedTree(const std::string& root, int real, int top, int symbolic, SavedTree* kept) {
  static const char* const kNames[] = {"Arts & Crafts", "C<T> Templates", "Z\u00fcrich", "\u65e5\u672c\u8a9e",
                                       "Rock 'n' Roll", "\"Quoted\" Works", "Science", "Caf\u00e9 > Bar"};
  SavedTree tree;
  std::vector<int> realIndex;
  auto add = [&](TreeRecord r, int parent) {
    const int index = static_cast<int>(tree.nodes.size());
    r.treeParent = parent;
    tree.nodes.push_back(r);
    if (parent < 0) tree.top.push_back(index);
    else tree.nodes[static_cast<std::size_t>(parent)].children.push_back(index);
    return index;
  };
  // Parents are chosen so that the tree is a few levels deep; IDs are not in tree order, as after a
  // breadth-first crawl.
  for (int id = 1; id <= real; ++id) {
    TreeRecord r;
    r.id = id;
    r.content = id <= top ? -1 : static_cast<int>((std::int64_t{id} * 7919) % 100000);
    r.name = std::string(kNames[id % 8]) + " " + std::to_string(id);
    r.url = root + "/Gen/C" + std::to_string(id) + "/";
    const int parent = id <= top ? -1 : realIndex[static_cast<std::size_t>((id - top - 1) / 6)];
    realIndex.push_back(add(r, parent));
  }
  std::vector<bool> dropped(tree.nodes.size(), false);
  for (int s = 0; s < symbolic; ++s) {
    TreeRecord r;
    r.symbolic = true;
    r.parent = -1;
    const int target = 1 + static_cast<int>((std::int64_t{s} * 104729) % real);
    r.name = std::string(kNames[s % 8]) + " link " + std::to_string(s);
    switch (s % 3) {
      case 0: r.url = root + "/Gen/C" + std::to_string(target) + "/"; break;
      case 1: r.url = root + "/gen/c" + std::to_string(target) + "/"; break;  // other letter case: dropped
      default: r.url = s % 2 ? root + "/Gen/C" + std::to_string(target) + "/" : root + "/Missing/" + std::to_string(s) + "/";
    }
    const bool drop = r.url.find("/gen/c") != std::string::npos || r.url.find("/Missing/") != std::string::npos;
    add(r, realIndex[static_cast<std::size_t>((std::int64_t{s} * 31) % real)]);
    dropped.push_back(drop);
  }
  if (kept) {
    *kept = SavedTree();
    std::function<void(int, int)> copy = [&](int from, int parent) {
      if (dropped[static_cast<std::size_t>(from)]) return;
      TreeRecord r = tree.nodes[static_cast<std::size_t>(from)];
      r.children.clear();
      r.treeParent = parent;
      const int index = static_cast<int>(kept->nodes.size());
      kept->nodes.push_back(r);
      if (parent < 0) kept->top.push_back(index);
      else kept->nodes[static_cast<std::size_t>(parent)].children.push_back(index);
      for (int c : tree.nodes[static_cast<std::size_t>(from)].children) copy(c, index);
    };
    for (int t : tree.top) copy(t, -1);
  }
  return tree;
}

// A loaded state with nothing left to visit goes straight to the final pass. A stop request during
// that pass changes nothing of its outcome: resumed until done, the tree equals the one the pass
// makes without interruption, and that one has exactly the expected symbolic categories dropped.
TEST_F(StateTest, StopDuringTheFinalPassOfALoadedStateChangesNothing) {
  SampleSite site({"--categories", "3", "--top-level", "3"}, temp_);
  SavedTree kept;
  const SavedTree tree = GeneratedTree(site.RootUrl(), 60000, 40, 45000, &kept);
  const std::string treeText = FormatTreeFile(tree);
  const int dropped = tree.SymbolicCount() - kept.SymbolicCount();

  const std::filesystem::path reference = temp_ / "reference";
  std::filesystem::create_directory(reference);
  WriteFile(reference / "tree.xml", treeText);
  WriteFile(reference / "queue.lst", "");
  {
    ScraperRun run(reference, site.RootUrl(), {"--resume"}, "reference");
    const std::optional<ExitStatus> st = Finish(run, 180s);
    ASSERT_TRUE(st && st->exited && st->code == 0) << run.Tail();
    EXPECT_EQ(run.StdoutLines().back(), FinishedLine(tree.RealCount(), tree.SymbolicCount()));
    SavedTree after;
    ASSERT_NO_THROW(after = ReadTreeFile(reference / "tree.xml"));
    for (const std::string& d : CompareTrees(after, kept)) ADD_FAILURE() << d;
    ASSERT_GT(dropped, 0);
  }

  WriteFile(work_ / "tree.xml", treeText);
  WriteFile(work_ / "queue.lst", "");
  bool interrupted = false;
  for (int attempt = 1; attempt <= 3; ++attempt) {
    SCOPED_TRACE("run " + std::to_string(attempt));
    ScraperRun run(work_, site.RootUrl(), {"--resume"}, "run" + std::to_string(attempt));
    if (attempt == 1) {
      ASSERT_TRUE(WaitForLine(run, [](const std::string& l) { return std::regex_match(l, kPassLine); }, 120s))
          << "no pass line\n" << run.Tail();
      run.Proc().Signal(SIGINT);
      interrupted = true;
    }
    const std::optional<ExitStatus> st = Finish(run, 180s);
    ASSERT_TRUE(st);
    ASSERT_TRUE(st->exited && (st->code == 0 || (attempt == 1 && st->code == 130))) << run.Tail();
    if (attempt == 1) std::cout << "[ note ] stopped in the pass: " << st->Describe() << "\n";
    if (st->code == 0) break;
  }
  EXPECT_TRUE(interrupted);
  EXPECT_EQ(ReadFile(work_ / "queue.lst"), "");
  EXPECT_TRUE(ReadFile(work_ / "tree.xml") == ReadFile(reference / "tree.xml"))
      << "tree.xml differs from the uninterrupted pass's";
}

// A save of a large state killed part-way leaves the previous tree.xml and queue.lst whole, and a
// later --resume loads them.
TEST_F(StateTest, SaveKilledHalfWayLeavesThePreviousFilesWhole) {
  // Every page stalls on its first request, so the one queued category is still loading when the
  // stop request comes and the save starts at once.
  SampleSite site({"--categories", "3", "--top-level", "3", "--fault-stall", "1", "--stall-seconds", "120"}, temp_);
  const ExpectedCrawl pages = site.Expected(1);
  SavedTree tree = GeneratedTree(site.RootUrl(), 200000, 40, 40000, nullptr);
  tree.nodes[static_cast<std::size_t>(tree.top[0])].url = pages.categories[0].url;
  const int queued = tree.nodes[static_cast<std::size_t>(tree.top[0])].id;
  const std::string treeText = FormatTreeFile(tree);
  WriteFile(work_ / "tree.xml", treeText);
  WriteFile(work_ / "queue.lst", QueueText({queued}));
  const std::string loadedLine = "Categories: " + std::to_string(tree.RealCount()) + " | Symbolic categories: " +
                                 std::to_string(tree.SymbolicCount()) + " | Queue: 1";

  std::uintmax_t writtenAtKill = 0;
  bool tempLeft = false;
  {
    ScraperRun run(work_, site.RootUrl(), {"--resume"}, "killed");
    ASSERT_TRUE(WaitForLine(run, [&](const std::string& l) { return l == loadedLine; }, 120s)) << run.Tail();
    std::this_thread::sleep_for(300ms);  // the navigation to the stalled page is under way
    run.Proc().Signal(SIGINT);
    // The new tree.xml is written beside the old one (the document is built in memory while that file
    // is still empty, then written at once): kill the program as soon as the file appears.
    std::filesystem::path tempFile;
    const bool writing = WaitUntil(
        [&] {
          std::error_code ec;
          for (const auto& e : std::filesystem::directory_iterator(work_, ec)) {
            const std::string name = e.path().filename().string();
            if (name.rfind("tree.xml", 0) == 0 && name != "tree.xml") tempFile = e.path();
          }
          if (tempFile.empty()) return false;
          writtenAtKill = std::filesystem::file_size(tempFile, ec);
          return true;
        },
        60s, &run.Proc(), 1ms);
    ASSERT_TRUE(writing) << "no save was seen writing tree.xml\n" << run.Tail();
    run.Proc().KillGroup();
    ASSERT_EQ(run.Proc().Status().signal, SIGKILL) << run.Tail();
    tempLeft = std::filesystem::exists(tempFile);
    std::cout << "[ note ] killed with " << writtenAtKill << " of about " << treeText.size() << " bytes written\n";
  }
  // The temporary file stays behind when the kill came before the rename.
  const bool killedHalfWay = tempLeft;
  ASSERT_TRUE(killedHalfWay) << "the save finished before the kill; the test proves nothing";
  EXPECT_TRUE(ReadFile(work_ / "tree.xml") == treeText) << "tree.xml was changed by the killed save";
  EXPECT_EQ(ReadFile(work_ / "queue.lst"), QueueText({queued}));

  // The files left behind load: the resumed run shows the loaded counts; a stop then saves again.
  // Its page is answered now, so the run may also finish (pass and save) before the stop request
  // is acted upon: either way it saves.
  ScraperRun run(work_, site.RootUrl(), {"--resume"}, "resumed");
  ASSERT_TRUE(WaitForLine(run, [&](const std::string& l) { return l == loadedLine; }, 120s)) << run.Tail();
  run.Proc().Signal(SIGINT);
  const std::optional<ExitStatus> st = Finish(run, 120s);
  ASSERT_TRUE(st);
  EXPECT_TRUE(st->exited && (st->code == 130 || st->code == 0)) << run.Tail();
  SavedTree after;
  ASSERT_NO_THROW(after = ReadTreeFile(work_ / "tree.xml"));
  EXPECT_GE(after.RealCount(), tree.RealCount());
  EXPECT_GE(after.SymbolicCount(), tree.SymbolicCount());
  // The next save removed what the killed one left.
  for (const auto& e : std::filesystem::directory_iterator(work_)) {
    const std::string name = e.path().filename().string();
    EXPECT_TRUE(name.find(".saving-") == std::string::npos) << name << " is left";
  }
}

// The state after the home page of a site: its top-level categories, all still to visit.
SavedTree TopLevelState(const ExpectedCrawl& expected) {
  SavedTree tree;
  for (const ExpectedCategory& c : expected.categories) {
    if (!c.parentUrl.empty()) continue;
    TreeRecord r;
    r.id = c.id;
    r.content = c.content;
    r.name = c.name;
    r.url = c.url;
    tree.top.push_back(static_cast<int>(tree.nodes.size()));
    tree.nodes.push_back(r);
  }
  return tree;
}

// Damaged state files are refused before anything changes: exit 1, the error on stderr, both files
// as they were.
TEST_F(StateTest, DamagedStateFilesAreRefusedAndLeftAsTheyWere) {
  SampleSite site({"--seed", "3", "--categories", "40", "--top-level", "5"}, temp_);
  const ExpectedCrawl expected = site.Expected(1);
  const std::string tree = FormatTreeFile(TopLevelState(expected));
  struct Case {
    std::string name;
    std::string treeXml;
    std::string queueLst;
    std::string message;  // expected on stderr
  };
  const std::vector<Case> cases = {
      {"tree.xml cut short", tree.substr(0, tree.size() / 2), QueueText({1, 2, 3, 4, 5}), "tree.xml"},
      {"queue.lst with a bad line", tree, "1\r\n2\r\n12x\r\n3\r\n", "'12x' is not a valid integer value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(work_ / "tree.xml", c.treeXml);
    WriteFile(work_ / "queue.lst", c.queueLst);
    const Snapshot treeBefore = Snap(work_ / "tree.xml");
    const Snapshot queueBefore = Snap(work_ / "queue.lst");
    std::this_thread::sleep_for(20ms);  // a rewrite would show in the modification times
    ScraperRun run(work_, site.RootUrl(), {"--min-content", "1", "--resume"}, "damaged");
    const std::optional<ExitStatus> st = Finish(run, 60s);
    ASSERT_TRUE(st);
    EXPECT_TRUE(st->exited && st->code == 1) << run.Tail();
    EXPECT_NE(run.Stderr().find(c.message), std::string::npos) << run.Tail();
    EXPECT_TRUE(Snap(work_ / "tree.xml") == treeBefore) << "tree.xml changed";
    EXPECT_TRUE(Snap(work_ / "queue.lst") == queueBefore) << "queue.lst changed";
    EXPECT_EQ(FilesIn(work_), (std::set<std::string>{"queue.lst", "tree.xml"}));
  }
}

// A queue line naming an ID that no category has is skipped with a Memo1 line naming it, and the
// crawl goes on to the expected tree. An unknown ID below every other cannot move the IDs handed out
// next; one above every other may, but no ID may be handed out twice and the tree keeps its shape
// and order (compared with the IDs renumbered by rank).
TEST_F(StateTest, UnknownQueuedIdIsReportedAndSkipped) {
  SampleSite site({"--seed", "3", "--categories", "40", "--top-level", "5"}, temp_);
  const ExpectedCrawl expected = site.Expected(1);
  const std::string tree = FormatTreeFile(TopLevelState(expected));
  struct Case {
    int unknown;
    bool sameIds;
  };
  for (const Case& c : {Case{0, true}, Case{9999, false}}) {
    const std::string id = std::to_string(c.unknown);
    SCOPED_TRACE("unknown ID " + id);
    WriteFile(work_ / "tree.xml", tree);
    WriteFile(work_ / "queue.lst", "1\r\n2\r\n" + id + "\r\n3\r\n4\r\n5\r\n");
    ScraperRun run(work_, site.RootUrl(), {"--min-content", "1", "--resume"}, "unknown" + id);
    const std::optional<ExitStatus> st = Finish(run, 120s);
    ASSERT_TRUE(st);
    ASSERT_TRUE(st->exited && st->code == 0) << run.Tail();
    const std::vector<std::string> out = run.StdoutLines();
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out[1], "Categories: 5 | Symbolic categories: 0 | Queue: 5");
    EXPECT_EQ(out.back(), FinishedLine(expected.categoryCount, expected.symbolicFound));
    EXPECT_EQ(ReadFile(work_ / "queue.lst"), "");

    SavedTree saved;
    ASSERT_NO_THROW(saved = ReadTreeFile(work_ / "tree.xml"));
    if (!c.sameIds) {
      std::vector<int> ids;
      for (const TreeRecord& r : saved.nodes)
        if (!r.symbolic) ids.push_back(r.id);
      std::sort(ids.begin(), ids.end());
      EXPECT_TRUE(std::adjacent_find(ids.begin(), ids.end()) == ids.end()) << "an ID was handed out twice";
      for (TreeRecord& r : saved.nodes)
        if (!r.symbolic) r.id = static_cast<int>(std::lower_bound(ids.begin(), ids.end(), r.id) - ids.begin()) + 1;
    }
    for (const std::string& d : CompareTree(saved, expected)) ADD_FAILURE() << d;

    // The Memo1 line: mentions the queue and names the ID as a number of its own.
    const std::regex namesId("(^|.*[^0-9])" + id + "([^0-9].*|$)");
    const std::regex mentionsQueue(".*queue.*", std::regex::icase);
    int mentions = 0;
    for (const std::string& line : run.StderrLines())
      mentions += std::regex_match(line, namesId) && std::regex_match(line, mentionsQueue) ? 1 : 0;
    EXPECT_EQ(mentions, 1) << run.Stderr();
  }
}

// A real subcategory whose address is already queued: the duplicate message "bingo %d %d" ends that
// page's reading, and the windowless runner then presses "stop" (which must return at once: the
// crawl is at rest) and "start", so the crawl goes on and finishes. The state makes it happen: the
// queue holds a top-level page and, after it, the page of that top-level page's first subcategory.
// A state whose crawl meets the duplicate message on its first page: a top-level category (ID 1)
// whose first recorded subcategory (which has subcategories of its own) is also queued at the top
// level (ID 2). Written into dir; top and sub receive the two categories. False when the sample has
// no such category.
bool WriteDuplicateState(const ExpectedCrawl& expected, const std::filesystem::path& dir,
                         const ExpectedCategory*& top, const ExpectedCategory*& sub) {
  top = nullptr;
  sub = nullptr;
  for (const ExpectedCategory& t : expected.categories) {
    if (!t.parentUrl.empty()) continue;
    const auto first = std::find_if(expected.categories.begin(), expected.categories.end(),
                                    [&](const ExpectedCategory& c) { return c.parentUrl == t.url; });
    if (first == expected.categories.end()) continue;
    const bool hasChildren = std::any_of(expected.categories.begin(), expected.categories.end(),
                                         [&](const ExpectedCategory& c) { return c.parentUrl == first->url; });
    if (hasChildren) {
      top = &t;
      sub = &*first;
      break;
    }
  }
  if (!top || !sub) return false;

  SavedTree state;
  for (const ExpectedCategory* c : {top, sub}) {
    TreeRecord r;
    r.id = static_cast<int>(state.nodes.size()) + 1;
    r.content = c->content;
    r.name = c->name;
    r.url = c->url;
    state.top.push_back(static_cast<int>(state.nodes.size()));
    state.nodes.push_back(r);
  }
  WriteFile(dir / "tree.xml", FormatTreeFile(state));
  WriteFile(dir / "queue.lst", QueueText({1, 2}));
  return true;
}

TEST_F(StateTest, DuplicateSubcategoryIsRecordedAndTheCrawlGoesOn) {
  SampleSite site({"--seed", "3", "--categories", "40", "--top-level", "5"}, temp_);
  const ExpectedCrawl expected = site.Expected(1);
  const ExpectedCategory* top = nullptr;
  const ExpectedCategory* sub = nullptr;
  ASSERT_TRUE(WriteDuplicateState(expected, work_, top, sub)) << "the sample has no suitable category";

  ScraperRun run(work_, site.RootUrl(), {"--min-content", "1", "--resume"}, "duplicate");
  const std::optional<ExitStatus> st = Finish(run, 120s);
  ASSERT_TRUE(st);
  ASSERT_TRUE(st->exited && st->code == 0) << run.Tail();
  const std::regex bingo(R"(bingo -?\d+ -?\d+)");
  const std::vector<std::string> err = run.StderrLines();
  EXPECT_EQ(std::count_if(err.begin(), err.end(), [&](const std::string& l) { return std::regex_match(l, bingo); }), 1)
      << run.Stderr();

  // The subcategories below the second queued page, as the generator counts them.
  std::vector<const ExpectedCategory*> below;
  for (const ExpectedCategory& c : expected.categories)
    if (c.url != sub->url && c.url.rfind(sub->url, 0) == 0) below.push_back(&c);
  const std::string finishedPrefix = "*** FINISHED *** Categories: " + std::to_string(3 + below.size()) + " | ";
  EXPECT_EQ(run.StdoutLines().back().rfind(finishedPrefix, 0), 0u) << run.Tail();

  SavedTree saved;
  ASSERT_NO_THROW(saved = ReadTreeFile(work_ / "tree.xml"));
  ASSERT_EQ(saved.top.size(), 2u);
  // Under the top-level page: the duplicate only (after any cross-links before it), ID 3.
  std::vector<const TreeRecord*> dup;
  for (int k : saved.nodes[static_cast<std::size_t>(saved.top[0])].children)
    if (!saved.nodes[static_cast<std::size_t>(k)].symbolic) dup.push_back(&saved.nodes[static_cast<std::size_t>(k)]);
  ASSERT_EQ(dup.size(), 1u);
  EXPECT_EQ(dup[0]->id, 3);
  EXPECT_EQ(dup[0]->url, sub->url);
  EXPECT_EQ(dup[0]->name, sub->name);
  EXPECT_EQ(dup[0]->content, sub->content);
  // The second queued page's entries go below the first node with its address in tree order, which
  // is now the duplicate: its subcategories in the generator's order, IDs from 4 on. The queued
  // node itself stays without children.
  EXPECT_TRUE(saved.nodes[static_cast<std::size_t>(saved.top[1])].children.empty());
  std::vector<std::string> got, want;
  for (int k : dup[0]->children)
    if (!saved.nodes[static_cast<std::size_t>(k)].symbolic) got.push_back(saved.nodes[static_cast<std::size_t>(k)].url);
  for (const ExpectedCategory* c : below)
    if (c->parentUrl == sub->url) want.push_back(c->url);
  EXPECT_EQ(got, want);
  int highest = 0;
  for (const TreeRecord& r : saved.nodes) highest = r.symbolic ? highest : std::max(highest, r.id);
  EXPECT_EQ(highest, 3 + static_cast<int>(below.size()));
  EXPECT_EQ(ReadFile(work_ / "queue.lst"), "");
}

// Runs the scraper in dir with --resume until it exits 0, at most three runs; the exit codes of the
// runs that ended otherwise are checked by the caller's earlier steps.
void ResumeUntilDone(const std::filesystem::path& dir, const std::string& root, const std::string& name) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    ScraperRun run(dir, root, {"--min-content", "1", "--resume"}, name + std::to_string(attempt));
    const std::optional<ExitStatus> st = run.Proc().Wait(180s);
    if (!st) {
      run.Proc().KillGroup();
      FAIL() << "the resumed run did not end in time\n" << run.Tail();
    }
    ASSERT_TRUE(st->exited && (st->code == 0 || st->code == 130)) << run.Tail();
    if (st->code == 0) return;
  }
  FAIL() << "no resumed run finished";
}

// A stop request while a page is being loaded: every page answers its first request only after a
// second, so the request lands during a load, which the stop cancels. The saved state names that
// category first, and the resumed crawl ends in the uninterrupted crawl's tree, byte for byte.
TEST_F(StateTest, StopWhileAPageLoadsResumesToTheUninterruptedTree) {
  SampleSite site({"--seed", "9", "--categories", "30", "--top-level", "4", "--fault-stall", "1", "--stall-seconds", "1"},
                  temp_);
  const ExpectedCrawl expected = site.Expected(1);
  {
    ScraperRun run(work_, site.RootUrl(), {"--min-content", "1"}, "stopped");
    ASSERT_TRUE(WaitForLine(run, [](const std::string& l) { return ParseProgress(l) && ParseProgress(l)->categories >= 8; },
                            120s))
        << run.Tail();
    run.Proc().Signal(SIGINT);
    const std::optional<ExitStatus> st = Finish(run, 60s);
    ASSERT_TRUE(st);
    ASSERT_TRUE(st->exited && st->code == 130) << run.Tail();
  }
  ASSERT_NO_FATAL_FAILURE(CheckStoppedState(work_, expected));
  ASSERT_FALSE(ReadQueue(work_ / "queue.lst").empty());
  ASSERT_NO_FATAL_FAILURE(ResumeUntilDone(work_, site.RootUrl(), "resumed"));

  // The reference comes last: each address stalls only on its first request, which the runs above
  // have made, so it runs at full speed.
  const std::filesystem::path reference = temp_ / "reference";
  std::filesystem::create_directory(reference);
  {
    ScraperRun run(reference, site.RootUrl(), {"--min-content", "1"}, "reference");
    const std::optional<ExitStatus> st = Finish(run, 180s);
    ASSERT_TRUE(st && st->exited && st->code == 0) << run.Tail();
  }
  for (const std::string& d : CompareTree(ReadTreeFile(reference / "tree.xml"), expected)) ADD_FAILURE() << d;
  EXPECT_TRUE(ReadFile(work_ / "tree.xml") == ReadFile(reference / "tree.xml"))
      << "tree.xml differs from the uninterrupted crawl's";
  EXPECT_EQ(ReadFile(work_ / "queue.lst"), "");
}

// A stop request when the duplicate message is shown: the crawl is at rest then, the stop returns at
// once and the save keeps what is pending; resumed, it ends in the tree that the uninterrupted run
// (which stops and starts again after the message) makes.
TEST_F(StateTest, StopAtTheDuplicateMessageResumesToTheUninterruptedTree) {
  SampleSite site({"--seed", "3", "--categories", "40", "--top-level", "5"}, temp_);
  const ExpectedCrawl expected = site.Expected(1);
  const ExpectedCategory* top = nullptr;
  const ExpectedCategory* sub = nullptr;
  const std::filesystem::path reference = temp_ / "reference";
  std::filesystem::create_directory(reference);
  ASSERT_TRUE(WriteDuplicateState(expected, reference, top, sub)) << "the sample has no suitable category";
  ASSERT_TRUE(WriteDuplicateState(expected, work_, top, sub));
  {
    ScraperRun run(reference, site.RootUrl(), {"--min-content", "1", "--resume"}, "reference");
    const std::optional<ExitStatus> st = Finish(run, 120s);
    ASSERT_TRUE(st && st->exited && st->code == 0) << run.Tail();
  }

  const std::regex bingo(R"(bingo -?\d+ -?\d+)");
  bool stoppedThere = false;
  {
    // Slowed down, so that the crawl is still going when the request comes.
    ScraperRun run(work_, site.RootUrl(), {"--min-content", "1", "--resume", "--delay-ms", "300"}, "stopped");
    const bool shown = WaitUntil(
        [&] {
          for (const std::string& l : SplitLines(run.Proc().Stderr()))
            if (std::regex_match(l, bingo)) return true;
          return false;
        },
        120s, &run.Proc(), 1ms);
    ASSERT_TRUE(shown) << run.Tail();
    run.Proc().Signal(SIGINT);
    const std::optional<ExitStatus> st = Finish(run, 60s);
    ASSERT_TRUE(st);
    ASSERT_TRUE(st->exited && (st->code == 130 || st->code == 0)) << run.Tail();
    stoppedThere = st->code == 130;
  }
  ASSERT_TRUE(stoppedThere) << "the crawl finished before the stop request; the test proves nothing";
  ASSERT_NO_FATAL_FAILURE(ResumeUntilDone(work_, site.RootUrl(), "resumed"));
  EXPECT_TRUE(ReadFile(work_ / "tree.xml") == ReadFile(reference / "tree.xml"))
      << "tree.xml differs from the uninterrupted crawl's";
  EXPECT_EQ(ReadFile(work_ / "queue.lst"), "");
}

}  // namespace
}  // namespace e2e
