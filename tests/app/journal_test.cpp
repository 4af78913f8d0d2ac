// The crawl journal: its record format against torn, damaged and foreign files, and replay, which must
// rebuild exactly the crawl that wrote the journal, at whatever page the program died.

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <map>

#include "app/journal.h"
#include "platform/text.h"
#include "tests/app/form_fixture.h"

namespace wexa_test {
namespace {

namespace fs = std::filesystem;
using test_support::ReadFile;
using test_support::WriteFile;

TJournalPage SamplePage(std::int32_t taken, int items) {
  TJournalPage page;
  page.takenID = taken;
  page.minContent = 5000;
  page.location = u"http://www.wexa.org/Arts/Ünïcödé/";
  for (int i = 0; i < items; ++i)
    page.items.push_back({i % 3 == 2 ? TJournalItem::jkSymbolic : TJournalItem::jkQueued, taken * 10 + i, 6000 + i,
                          u"name 日本 " + platform::FromUtf8(std::to_string(i)), u"http://www.wexa.org/x/"});
  return page;
}

TEST(JournalFormatTest, TornTailsAreDroppedAndDamageBeforeTheLastEntryNamesItsOffset) {
  const TJournalHeader header{TPairId{120, 7, 12, 9}, 4000};
  const std::vector<TJournalPage> pages = {SamplePage(1, 3), SamplePage(2, 0), SamplePage(3, 5)};
  std::string bytes = EncodeJournalHeader(header);
  std::vector<std::size_t> ends{bytes.size()};
  for (const TJournalPage& page : pages) ends.push_back((bytes += EncodeJournalPage(page)).size());

  const TJournalContents whole = ParseJournal(bytes, "j");
  ASSERT_TRUE(whole.hasHeader);
  EXPECT_EQ(whole.header, header);
  EXPECT_EQ(whole.pages, pages);
  EXPECT_EQ(whole.validEnd, bytes.size());
  EXPECT_FALSE(whole.tornAt);

  // Cut at every byte: the whole records before the cut survive, the rest is a torn tail.
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    const TJournalContents part = ParseJournal(std::string_view(bytes).substr(0, cut), "j");
    std::size_t whole_records = 0;
    while (whole_records < ends.size() && ends[whole_records] <= cut) ++whole_records;
    EXPECT_EQ(part.hasHeader, whole_records > 0);
    EXPECT_EQ(part.pages.size(), whole_records > 0 ? whole_records - 1 : 0);
    EXPECT_EQ(part.validEnd, whole_records > 0 ? ends[whole_records - 1] : 0);
    EXPECT_EQ(part.tornAt.has_value(), cut != part.validEnd);
  }

  // A flipped byte: in the last record it is a torn tail; anywhere before, damage at that record.
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    SCOPED_TRACE("flip at " + std::to_string(at));
    std::string flipped = bytes;
    flipped[at] = static_cast<char>(flipped[at] ^ 0x20);
    std::size_t record = 0;
    while (ends[record] <= at) ++record;
    const std::size_t start = record == 0 ? 0 : ends[record - 1];
    if (record + 1 == ends.size()) {
      // The last record: cut off, or (a flipped length) damage all the same.
      try {
        const TJournalContents tail = ParseJournal(flipped, "j");
        EXPECT_EQ(tail.validEnd, start);
        EXPECT_EQ(tail.pages.size(), pages.size() - 1);
      } catch (const EJournalError& error) {
        EXPECT_NE(error.Message().find("offset " + std::to_string(start) + ":"), std::string::npos) << error.Message();
      }
      continue;
    }
    try {
      ParseJournal(flipped, "j");
      ADD_FAILURE() << "damage was accepted";
    } catch (const EJournalError& error) {
      EXPECT_NE(error.Message().find("The crawl journal j is damaged at offset " + std::to_string(start) + ":"),
                std::string::npos)
          << error.Message();
    }
  }

  // Zero bytes where records should be (a power cut) and an empty file hold nothing.
  for (const std::string& junk : {std::string(), std::string(4096, '\0'), bytes.substr(0, ends[0]) + std::string(100, '\0')}) {
    const TJournalContents zero = ParseJournal(junk, "j");
    EXPECT_TRUE(zero.pages.empty());
    EXPECT_EQ(zero.hasHeader, !junk.empty() && junk[0] != '\0');
  }
}

// A directory of thirteen categories over three levels with cross-links and one category listed
// twice (the duplicate stop), answered page by page by the fake browser.
class JournalReplayTest : public FormTest {
 protected:
  FakePage PageOf(const std::u16string& url) {
    if (url == kRoot) {
      std::vector<FakeNodePtr> cells;
      for (const char16_t* c : {u"/A/", u"/B/", u"/C/"})
        cells.push_back(El(u"TD", {El(u"A", {{u"href", c}}, {Text(c)})}));
      return DirectoryPage(kRoot, {El(u"TABLE"), El(u"TABLE", std::move(cells))}, u"Talmorex - Home");
    }
    static const std::map<std::u16string, std::vector<std::u16string>> children = {
        {u"/A/", {u"/A/x/", u"/B/@", u"/A/y/"}}, {u"/A/x/", {u"/A/x/z/", u"/C/@", u"/Q/@"}},
        {u"/B/", {u"/B/w/", u"/B/v/", u"/B/t/"}}, {u"/B/w/", {u"/B/w/u/"}}, {u"/C/", {u"/C/s/", u"/C/r/"}},
        {u"/C/s/", {u"/A/y/"}}, {u"/C/r/", {u"/C/r/p/", u"/C/r/o/"}}};
    std::vector<FakeNodePtr> body;
    if (const auto it = children.find(url.substr(kRoot.size())); it != children.end()) {
      int top = 10;
      for (std::u16string child : it->second) {
        const bool symbolic = child.back() == u'@';
        if (symbolic) child.pop_back();
        body.push_back(Li(top += 20, child, child, u"(6000)", symbolic ? u"@" : u""));
      }
    }
    return DirectoryPage(url, std::move(body));
  }

  // Serves the page being loaded; the duplicate message is answered as the windowless runner does.
  bool Step() {
    if (!host.browser.Loading()) {
      if (host.dialogs.messages.size() > messages_ && !form->Stopped()) {
        messages_ = host.dialogs.messages.size();
        host.Click("Button1");
        host.Click("Button2");
        return host.browser.Loading();
      }
      return false;
    }
    host.browser.Complete(PageOf(host.browser.navigations.back()));
    return true;
  }
  void Serve(int steps = 100) {
    for (int i = 0; i < steps && Step(); ++i) {
    }
  }
  // What a load must rebuild; the category whose page is in flight counts as pending, as a save
  // writes it.
  std::string State() {
    std::string pending;
    if (form->AwaitingPage() && form->Queue().ReadPos() > 0)
      pending = std::to_string(form->Queue().Items(form->Queue().ReadPos() - 1)->ID) + ",";
    for (int i = form->Queue().ReadPos(); i < form->Queue().Count(); ++i)
      pending += std::to_string(form->Queue().Items(i)->ID) + ",";
    return Tree() + " pending " + pending + " ids " + std::to_string(form->LastID()) + " counts " +
           std::to_string(form->CategoryCount()) + "/" + std::to_string(form->SymbolicCount()) + " store " +
           std::to_string(form->Directory().Categories().size()) + "/" +
           std::to_string(form->Directory().SymbolicCategories().size()) + " min " + std::to_string(form->MinContent());
  }
  // The program dies (no closing question), and a new one loads what is on disk.
  void KillAndLoad() {
    Restart();
    messages_ = 0;
    host.Click("Button4");
  }
  void Restart() {
    FormTest::Restart();
    messages_ = 0;
  }
  std::size_t messages_ = 0;
};

TEST_F(JournalReplayTest, AKillAfterAnyPageLoadsExactlyTheCrawlThatWroteTheJournal) {
  StartFresh("6000");
  Serve();
  ASSERT_NE(host.statusBar.SimpleText().find("*** FINISHED ***"), std::string::npos);
  const std::string finishedTree = Tree();
  EXPECT_EQ(finishedTree.find("/Q/@"), std::string::npos) << "the pass drops cross-links to unrecorded categories";

  // Killed after k pages, with or without a save after the first pages, and with the journal's last
  // bytes torn off: the loaded state is the live one at that moment, and the resumed crawl ends in
  // the uninterrupted tree.
  for (const int saveAfter : {0, 3}) {
    for (int k = 1; k < 16; ++k) {
      for (const bool torn : {false, true}) {
        SCOPED_TRACE("save after " + std::to_string(saveAfter) + ", kill after " + std::to_string(k) +
                     (torn ? ", torn" : ""));
        Restart();
        for (const char* f : {"tree.xml", "queue.lst", "crawl.journal"}) fs::remove(workDir / f);
        StartFresh("6000");
        std::string before;
        std::uintmax_t journalBefore = 0;
        for (int i = 0; i < k; ++i) {
          before = State();
          journalBefore = fs::exists(workDir / "crawl.journal") ? fs::file_size(workDir / "crawl.journal") : 0;
          if (!Step()) break;
          if (i + 1 == saveAfter) host.Click("Button3");
        }
        std::string live = State();
        if (torn) {
          // The program died while writing the last page: that page is loaded again.
          const std::string journal = ReadFile("crawl.journal");
          if (journal.size() <= journalBefore) continue;
          WriteFile("crawl.journal", journal.substr(0, journal.size() - 3));
          live = before;
        }
        KillAndLoad();
        EXPECT_EQ(State(), live);
        host.edit.SetText("6000");
        host.Click("Button2");
        Serve();
        EXPECT_EQ(Tree(), finishedTree);
      }
    }
  }
}

// A disk that fills up while the journal is written: the crawl stops with a line in the log and the
// status bar, the file keeps only whole entries, and once there is room again the page that could
// not be written goes out before the next one, so a kill then loses nothing.
TEST_F(JournalReplayTest, AFullDiskStopsTheCrawlAndThePageIsWrittenOnceThereIsRoom) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The file size limit stands in for a full disk: writes beyond it fail as they would then.
  EXPECT_EXIT(
      {
        int failed = 0;
        const auto check = [&](bool ok, int what) {
          if (!ok && failed == 0) failed = what;
        };
        StartFresh("6000");
        Step();
        Step();
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const rlim_t unlimited = limit.rlim_cur;
        const std::uintmax_t whole = fs::file_size("crawl.journal");
        limit.rlim_cur = whole + 10;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::string message;
        try {
          Step();
        } catch (const EInOutError& error) {
          message = error.Message();
        }
        check(!message.empty(), 2);
        check(fs::file_size("crawl.journal") == whole, 3);
        check(host.memo.Lines().back().rfind("The crawl stopped: the crawl journal cannot be written (", 0) == 0, 4);
        check(host.statusBar.SimpleText() == host.memo.Lines().back(), 5);
        check(form->Stopped() && !host.browser.Loading(), 6);
        limit.rlim_cur = unlimited;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        host.Click("Button2");
        Step();
        const std::string live = State();
        KillAndLoad();
        check(State() == live, 7);
        std::_Exit(failed);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(JournalReplayTest, AJournalIsAppliedOnlyToThePairItNames) {
  StartFresh("6000");
  for (int i = 0; i < 3; ++i) Step();
  host.Click("Button1");
  host.Click("Button3");
  const std::string saved = State();
  host.Click("Button2");
  for (int i = 0; i < 3; ++i) Step();
  const std::string foreign = ReadFile("crawl.journal");
  const std::string queueFile = ReadFile("queue.lst");

  // Another pair with the journal of the first: the pair alone is loaded and the journal stays.
  WriteFile("queue.lst", "2\r\n");
  KillAndLoad();
  EXPECT_NE(State().find(" pending 2, "), std::string::npos) << State();
  EXPECT_EQ(ReadFile("crawl.journal"), foreign);
  EXPECT_EQ(host.memo.Lines().back(), "The crawl journal crawl.journal belongs to another saved state; it was ignored and left as it is.");

  // Its own pair again, with a damaged entry before the last: nothing in memory changes.
  WriteFile("queue.lst", queueFile);
  std::string damaged = foreign;
  damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 1);
  WriteFile("crawl.journal", damaged);
  const std::string before = State();
  EXPECT_THROW(host.Click("Button4"), EJournalError);
  EXPECT_EQ(State(), before);
  // Undamaged, it loads the crawl as it stood after the save.
  WriteFile("crawl.journal", foreign);
  host.Click("Button4");
  EXPECT_NE(State(), saved);
  host.Click("Button1");
}

}  // namespace
}  // namespace wexa_test
