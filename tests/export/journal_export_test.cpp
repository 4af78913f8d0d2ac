// An export with the crawl journal beside the tree: which files are used, what the rows become, and
// what stderr and the exit status say, for each kind of journal the export can meet.

#include <gtest/gtest.h>

#include <sstream>

#include "app/journal.h"
#include "export_fixture.h"
#include "export_tool.h"

namespace export_test {
namespace {

using namespace exporter;

TJournalItem Item(TJournalItem::TKind kind, int id, const std::u16string& url) {
  return {kind, kind == TJournalItem::jkSymbolic ? 0 : id, 10, u"n" + url, url};
}

TJournalPage Page(int taken, const std::u16string& location, std::vector<TJournalItem> items, bool root = false) {
  return {root, taken, 0, location, std::move(items)};
}

// Each row as "ID^PARENT" ("@" for a symbolic one, no parent at the top level), "*" when not visited
// (symbolic ones never are).
std::string Rows(const std::string& csv) {
  std::string out;
  std::istringstream lines(csv);
  std::string line;
  std::getline(lines, line);  // the header
  while (std::getline(lines, line)) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, ',');) fields.push_back(field);
    out += (fields[1] == "symbolic" ? "@" : fields[0]) + (fields[5].empty() ? "" : "^" + fields[5]) +
           (fields[8] == "true\r" ? "" : "*") + " ";
  }
  return out;
}

TEST_F(ExportTest, TheJournalBesideTheTreeIsAppliedOnlyWhenItContinuesThePair) {
  // A(1) > B(2); C(3) > B'(7), which has B's address; 2 and 3 are pending.
  const std::string tree = SaveBuiltTree("tree.xml", [](platform::TreeView& t) {
    Real(t, Real(t, nullptr, 1, u"A", u"/A/", -1), 2, u"B", u"/B/", 5);
    Real(t, Real(t, nullptr, 3, u"C", u"/C/", -1), 7, u"B'", u"/B/", 5);
  });
  const std::string queue = Path("queue.lst");
  const std::string journal = Path("crawl.journal");
  WriteFile(queue, "2\r\n3\r\n");
  const TPairId pair = PairIdOfFiles(tree, queue);

  // B's page (below the first category with its address), C's with the duplicate stop, then D's.
  const std::vector<TJournalPage> pages = {
      Page(2, u"/B/", {Item(TJournalItem::jkQueued, 4, u"/D/"), Item(TJournalItem::jkSymbolic, 0, u"/A/")}),
      Page(3, u"/C/", {Item(TJournalItem::jkUnqueued, 5, u"/E/")}),
      Page(4, u"/D/", {Item(TJournalItem::jkQueued, 6, u"/F/")})};
  const auto encode = [](const TJournalHeader& header, const std::vector<TJournalPage>& body) {
    std::string bytes = EncodeJournalHeader(header);
    for (const TJournalPage& page : body) bytes += EncodeJournalPage(page);
    return bytes;
  };
  const std::string extending = encode({pair, 0}, pages);
  const std::size_t secondPage = EncodeJournalHeader({pair, 0}).size() + EncodeJournalPage(pages[0]).size();
  std::string damaged = extending;
  damaged[secondPage - 6] ^= 1;
  TPairId other = pair;
  other.queueCrc ^= 1;
  const std::string prefix = "wexa-export: ";

  struct Case {
    const char* name;
    std::string journal;  // empty: none on disk
    std::vector<std::string> options;
    int status;
    std::string rows;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"no journal", "", {}, 0, "1 2^1* 3* 7^3 ", ""},
      {"extends the pair", extending, {}, 0, "1 2^1 4^2 6^4* @^2* 3 7^3 5^3 ",
       prefix + tree + " and " + queue + " with 3 pages of " + journal + "\n"},
      {"torn tail", extending.substr(0, extending.size() - 3), {}, 0, "1 2^1 4^2* @^2* 3 7^3 5^3 ",
       prefix + tree + " and " + queue + " with 2 pages of " + journal + "\n" + prefix + "the last entry of " + journal +
           " is incomplete (offset " + std::to_string(extending.size() - EncodeJournalPage(pages[2]).size()) +
           ") and was left out\n"},
      {"names no pair", encode({std::nullopt, 0}, {Page(0, u"/", {Item(TJournalItem::jkQueued, 1, u"/X/"),
                                                                  Item(TJournalItem::jkQueued, 2, u"/Y/")}, true),
                                                    Page(1, u"/X/", {Item(TJournalItem::jkQueued, 3, u"/Z/")})}),
       {}, 0, "1 3^1* 2* ",
       prefix + journal + " names no saved state (a crawl begun from an empty tree); exported its 2 pages alone, not " +
           tree + "\n"},
      {"foreign", encode({other, 0}, pages), {}, 0, "1 2^1* 3* 7^3 ",
       prefix + journal + " belongs to another saved state; exported the saved pair alone\n"},
      {"never completed", std::string(40, '\0'), {}, 0, "1 2^1* 3* 7^3 ",
       prefix + journal + " holds no entries; exported the saved pair alone\n"},
      {"--no-journal", extending, {"--no-journal"}, 0, "1 2^1* 3* 7^3 ",
       prefix + journal + " was not read (--no-journal); exported the saved pair alone\n"},
      {"damaged", damaged, {}, 1, "",
       prefix + "The crawl journal " + journal + " is damaged at offset " +
           std::to_string(EncodeJournalHeader({pair, 0}).size()) + ": its content does not check\n"},
      {"not the next category", encode({pair, 0}, {pages[1]}), {}, 1, "",
       prefix + "The crawl journal " + journal + " does not fit the saved state at offset " +
           std::to_string(EncodeJournalHeader({pair, 0}).size()) + ": its category is not the next one in the queue\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(journal);
    fs::remove(Path("out.csv"));
    if (!c.journal.empty()) WriteFile(journal, c.journal);
    std::vector<std::string> args = c.options;
    for (const std::string& arg : {std::string("-o"), Path("out.csv"), tree}) args.push_back(arg);
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunExportTool(args, out, err), c.status);
    EXPECT_EQ(err.str(), c.err);
    EXPECT_EQ(fs::exists(Path("out.csv")) ? Rows(ReadFile(Path("out.csv"))) : "", c.rows);
    // The journal is only read.
    if (!c.journal.empty()) {
      EXPECT_EQ(ReadFile(journal), c.journal);
    }
  }
}

}  // namespace
}  // namespace export_test
