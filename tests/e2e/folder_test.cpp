// End-to-end: what a windowless run does in each state of its folder, with each way of starting it.
// A run that is refused leaves every file as it was and says why in its first line on stderr; a
// run that goes ahead crawls to the same tree as a run in an empty folder.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <iostream>
#include <map>

#include "e2e_support.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

Files FilesIn(const fs::path& dir) {
  Files files;
  for (const auto& e : fs::directory_iterator(dir)) files[e.path().filename().string()] = ReadFile(e.path());
  return files;
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

TEST(FolderTest, EachFolderStateAndWayOfStartingGivesItsExitCodeLineAndFiles) {
  TempDir temp;
  SampleSite site({"--seed", "4", "--categories", "25", "--top-level", "4"}, temp);

  // The finished crawl of an empty folder: the saved pair every crawl that goes ahead must end with.
  const fs::path reference = temp / "reference";
  fs::create_directory(reference);
  {
    ScraperRun run(reference, site.RootUrl(), {}, "reference");
    const std::optional<ExitStatus> st = run.Proc().Wait(120s);
    ASSERT_TRUE(st && st->exited && st->code == 0) << run.Tail();
  }
  // The pair and the empty journal that names it.
  const Files crawled = FilesIn(reference);
  ASSERT_EQ(crawled.size(), 3u);
  ASSERT_EQ(crawled.at("queue.lst"), "");
  ASSERT_TRUE(crawled.count("crawl.journal"));

  // Whether this user can write into a folder without write permission (root can): then the
  // read-only rows prove nothing and are skipped.
  const fs::path probe = temp / "probe";
  fs::create_directory(probe);
  ::chmod(probe.c_str(), 0555);
  const bool permissionsBind = ::access(probe.c_str(), W_OK) != 0;

  const Files pair = {{"tree.xml", crawled.at("tree.xml")}, {"queue.lst", crawled.at("queue.lst")}};
  Files pairAndJournal = pair;
  pairAndJournal["crawl.journal"] = "journal of the pair";
  const Files journal = {{"crawl.journal", "journal without a pair"}};
  const Files treeOnly = {{"tree.xml", crawled.at("tree.xml")}};
  const Files queueOnly = {{"queue.lst", "3\r\n"}};

  struct Case {
    std::string name;
    Files before;
    bool readOnly;
    std::vector<std::string> args;
    int code;
    std::string firstError;  // with {} for the folder; empty: no line on stderr
    bool crawls;             // afterwards the reference pair; otherwise the files as before
    bool keepsPrevious = false;  // and the pair it replaced as tree.xml.previous, queue.lst.previous
    bool fromLog = false;        // firstError is a line of the crawl's log, as it stands
  };
  const std::string saved = "{} holds a saved crawl (";
  const std::string choices = "): --resume continues it, --new starts a fresh crawl";
  const std::vector<Case> cases = {
      {"empty, plain", {}, false, {}, 0, "", true},
      {"empty, --new", {}, false, {"--new"}, 0, "", true},
      {"empty, --min-content", {}, false, {"--min-content", "5000"}, 0, "", true},
      {"empty, --resume", {}, false, {"--resume"}, 2, "no saved crawl in {}", false},
      {"pair, plain", pair, false, {}, 2, saved + "tree.xml, queue.lst" + choices, false},
      {"pair, --min-content", pair, false, {"--min-content", "7"}, 2, saved + "tree.xml, queue.lst" + choices, false},
      {"pair, --resume", pair, false, {"--resume"}, 0, "", true},
      {"pair, --new", pair, false, {"--new"}, 0,
       "The saved state in tree.xml and queue.lst belongs to another crawl; it was kept as tree.xml.previous and "
       "queue.lst.previous.",
       true, true, true},
      {"pair, --resume --new", pair, false, {"--resume", "--new"}, 2, "--resume and --new exclude each other", false},
      {"pair and journal, plain", pairAndJournal, false, {}, 2,
       saved + "tree.xml, queue.lst, crawl.journal" + choices, false},
      {"journal alone, plain", journal, false, {}, 2, saved + "crawl.journal" + choices, false},
      {"journal alone, --min-content", journal, false, {"--min-content", "1"}, 2, saved + "crawl.journal" + choices,
       false},
      {"damaged journal alone, --resume", journal, false, {"--resume"}, 1,
       "The crawl journal crawl.journal is damaged at offset 0: its length does not check", false},
      {"tree.xml alone, plain", treeOnly, false, {}, 2, saved + "tree.xml" + choices, false},
      {"tree.xml alone, --resume", treeOnly, false, {"--resume"}, 1,
       "{}/queue.lst: missing beside tree.xml, so the saved crawl cannot be resumed; --new starts a fresh crawl", false},
      {"queue.lst alone, --resume", queueOnly, false, {"--resume"}, 1,
       "{}/tree.xml: missing beside queue.lst, so the saved crawl cannot be resumed; --new starts a fresh crawl", false},
      {"read-only and empty, plain", {}, true, {}, 1, "{}: the crawl's state cannot be saved here (Permission denied)",
       false},
      {"read-only and empty, --resume", {}, true, {"--resume"}, 2, "no saved crawl in {}", false},
      {"read-only pair, --resume", pair, true, {"--resume"}, 1,
       "{}: the crawl's state cannot be saved here (Permission denied)", false},
      {"read-only pair, --new", pair, true, {"--new"}, 1, "{}: the crawl's state cannot be saved here (Permission denied)",
       false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.readOnly && !permissionsBind) {
      std::cout << "[ skip ] " << c.name << ": this user writes into read-only folders\n";
      continue;
    }
    const fs::path work = temp / ("work" + std::to_string(++n));
    fs::create_directory(work);
    for (const auto& [name, bytes] : c.before) WriteFile(work / name, bytes);
    if (c.readOnly) ::chmod(work.c_str(), 0555);
    ScraperRun run(work, site.RootUrl(), c.args, "run" + std::to_string(n));
    const std::optional<ExitStatus> st = run.Proc().Wait(120s);
    ::chmod(work.c_str(), 0755);
    ASSERT_TRUE(st) << "still running\n" << run.Tail();
    EXPECT_TRUE(st->exited && st->code == c.code) << st->Describe() << "\n" << run.Tail();
    std::string expectedLine = c.firstError;
    if (const std::size_t at = expectedLine.find("{}"); at != std::string::npos)
      expectedLine.replace(at, 2, fs::canonical(work).string());
    EXPECT_EQ(FirstLine(run.Stderr()), expectedLine.empty() || c.fromLog ? expectedLine : "wexa-scraper: " + expectedLine);
    Files expected = c.crawls ? crawled : c.before;
    if (c.keepsPrevious) {
      expected["tree.xml.previous"] = c.before.at("tree.xml");
      expected["queue.lst.previous"] = c.before.at("queue.lst");
    }
    EXPECT_EQ(FilesIn(work), expected);
  }
}

}  // namespace
}  // namespace e2e
