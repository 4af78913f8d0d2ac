// Saving and loading the crawl state: queue.lst and tree.xml in the working directory, the buttons that
// do it, the closing question, and saves while a crawl runs.

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/text.h"
#include "tests/app/form_fixture.h"

namespace wexa_test {
namespace {

namespace fs = std::filesystem;
using platform::TModalResult;

using test_support::ReadFile;
using test_support::WriteFile;

std::string Failure(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return std::string(e.ClassName()) + ": " + e.Message();
  }
  return "no exception";
}

class StateTest : public FormTest {
 protected:
  // Nodes captioned as the parsers caption them, so that a reloaded tree reads the same.
  TreeNode* Real(TreeNode* parent, int id, const std::u16string& name) {
    auto* record = new TCategory(id, name, u"http://www.wexa.org/" + name + u"/", 100 + id);
    form->Directory().AddCategory(record);
    return form->Categories().AddChildObject(parent, platform::ToUtf8(name), record);
  }
  TreeNode* Symbolic(TreeNode* parent, const std::u16string& name) {
    auto* record = new TSymbolicCategory(-1, name, u"http://www.wexa.org/" + name + u"/");
    form->Directory().AddCategory(record);
    return form->Categories().AddChildObject(parent, platform::ToUtf8(name) + "@", record);
  }
  TCategory* Record(TreeNode* node) { return static_cast<TCategory*>(node->Data()); }

  // A tree of three levels with cross-links; categories 2, 4 and 5 queued, 2 already taken.
  void BuildCrawl() {
    TreeNode* arts = Real(nullptr, 1, u"Arts");
    TreeNode* music = Real(arts, 2, u"Music");
    Symbolic(arts, u"Ünïcödé 日本");
    TreeNode* news = Real(nullptr, 3, u"News");
    TreeNode* jazz = Real(music, 4, u"Jazz");
    Real(news, 5, u"Local");
    Symbolic(jazz, u"Arts");
    for (int id : {2, 4, 5}) form->Queue().Push(form->Directory().FindCategoryByID(id));
    form->Queue().Pop();
  }

  std::vector<int> Pending() {
    std::vector<int> ids;
    for (int i = form->Queue().ReadPos(); i < form->Queue().Count(); ++i) ids.push_back(form->Queue().Items(i)->ID);
    return ids;
  }
  // Everything of the window's state that a refused load must leave alone.
  std::string Snapshot() {
    return Tree() + " store " + std::to_string(form->Directory().Categories().size()) + "/" +
           std::to_string(form->Directory().SymbolicCategories().size()) + " queue " +
           std::to_string(form->Queue().Count()) + "@" + std::to_string(form->Queue().ReadPos()) + " ids " +
           std::to_string(form->LastID()) + " counts " + std::to_string(form->CategoryCount()) + "/" +
           std::to_string(form->SymbolicCount());
  }
};

TEST_F(StateTest, CaptionCarriesTheVersionOfTheRunningProgram) {
  // The unit tests carry no version data, so the version reads 0.0.0.0.
  EXPECT_EQ(host.Caption(), "Wexa Category Scraper - 0.0.0.0");
}

TEST_F(StateTest, QueueFileHoldsThePendingIdsWithCrLf) {
  BuildCrawl();
  host.Click("Button3");
  EXPECT_EQ(ReadFile("queue.lst"), "4\r\n5\r\n");
  EXPECT_TRUE(fs::exists("tree.xml"));
  EXPECT_EQ(form->Queue().ReadPos(), 1);
  EXPECT_EQ(Pending(), (std::vector<int>{4, 5}));
  int files = 0;
  for (const auto& e : fs::directory_iterator(workDir)) files += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 3) << "the pair and the empty journal naming it; no temporary file is left";
}

// A save killed part-way leaves its temporary files; the next save removes them and nothing else.
TEST_F(StateTest, SaveRemovesTheTemporaryFilesOfAKilledSaveAndNothingElse) {
  struct Case {
    std::string name;
    bool removed;
  };
  const std::vector<Case> cases = {
      {"tree.xml.saving-a1B2c3", true},
      {"queue.lst.saving-ZZZZZZ", true},
      {"tree.xml.saving-a1B2c3.x9Y8z7", true},  // the XML writer's own file beside it
      {"tree.xml.backup", false},
      {"tree.xml.a1B2c3", false},
      {"tree.xml.saving-a1B2c", false},
      {"tree.xml.saving-a1B2c3d", false},
      {"tree.xml.saving-a1-2c3", false},
      {"tree.xml.saving-a1B2c3.x9Y8z", false},
      {"tree.xml.saving-a1B2c3.x9Y8z7.old", false},
      {"other.xml.saving-a1B2c3", false},
      {"xtree.xml.saving-a1B2c3", false},
      {"TREE.XML.saving-a1B2c3", false},
  };
  for (const Case& c : cases) WriteFile(c.name, "left behind");
  fs::create_directory("queue.lst.saving-dirdir");
  fs::create_symlink("tree.xml.backup", "tree.xml.saving-link00");
  BuildCrawl();
  host.Click("Button3");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(fs::exists(c.name), !c.removed);
  }
  EXPECT_TRUE(fs::is_directory("queue.lst.saving-dirdir"));
  EXPECT_TRUE(fs::is_symlink("tree.xml.saving-link00"));
  EXPECT_EQ(ReadFile("queue.lst"), "4\r\n5\r\n");
}

TEST_F(StateTest, EmptyQueueGivesAnEmptyFileAndLoadsAsAnEmptyQueue) {
  Real(nullptr, 7, u"Only");
  host.Click("Button3");
  EXPECT_EQ(ReadFile("queue.lst"), "");
  Restart();
  host.Click("Button4");
  EXPECT_EQ(form->Queue().Count(), 0);
  EXPECT_EQ(Tree(), "Only#7()");
  EXPECT_EQ(form->LastID(), 7);
}

// Messages are processed after every 100th line, besides the tree save's own (twice for an empty tree).
TEST_F(StateTest, SaveProcessesMessagesAfterEveryHundredthEntry) {
  for (const auto& [entries, points] : std::vector<std::pair<int, int>>{{0, 0}, {99, 0}, {100, 1}, {199, 1}, {250, 2}}) {
    SCOPED_TRACE(entries);
    Restart();
    for (int i = 1; i <= entries; ++i) Queued(i, u"u");
    host.application.processCalls = 0;
    host.Click("Button3");
    EXPECT_EQ(host.application.processCalls, points + 2);
    const std::string text = ReadFile("queue.lst");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), entries);
    EXPECT_EQ(form->Queue().Pending(), entries);
  }
}

TEST_F(StateTest, SavingTwiceWritesTheSameFilesAndKeepsTheSameEntriesPending) {
  BuildCrawl();
  host.Click("Button3");
  const std::string queue1 = ReadFile("queue.lst");
  const std::string tree1 = ReadFile("tree.xml");
  host.Click("Button3");
  EXPECT_EQ(ReadFile("queue.lst"), queue1);
  EXPECT_EQ(ReadFile("tree.xml"), tree1);
  EXPECT_EQ(Pending(), (std::vector<int>{4, 5}));
  EXPECT_EQ(form->Queue().Count(), 3);
}

TEST_F(StateTest, SaveThenLoadAtStartResumesTheSameCrawl) {
  BuildCrawl();
  const std::string tree = Tree();
  EXPECT_FALSE(host.label.Visible());
  host.Click("Button3");
  EXPECT_EQ(host.label.shows, 1);
  EXPECT_FALSE(host.label.Visible());

  Restart();
  host.Click("Button4");
  EXPECT_EQ(host.label.shows, 1);
  EXPECT_FALSE(host.label.Visible());
  EXPECT_EQ(Tree(), tree);
  EXPECT_EQ(Tree(), "Arts#1(Music#2(Jazz#4(Arts@()))Ünïcödé 日本@())News#3(Local#5())");
  EXPECT_EQ(Pending(), (std::vector<int>{4, 5}));
  EXPECT_EQ(form->Queue().ReadPos(), 0);
  EXPECT_EQ(form->LastID(), 5) << "the highest ID in the files";
  EXPECT_EQ(form->CategoryCount(), 5);
  EXPECT_EQ(form->SymbolicCount(), 2);
  // The queue holds the tree's own records, and start continues with them.
  EXPECT_EQ(form->Queue().Items(0), form->Categories().Item(2)->Data());
  StartFresh();
  ASSERT_EQ(host.browser.navigations.size(), 1u);
  EXPECT_EQ(host.browser.navigations[0], u"http://www.wexa.org/Jazz/");
  EXPECT_TRUE(host.memo.Lines().empty());
}

TEST_F(StateTest, LastIdCoversTheHighestIdOfTheTreeFileToo) {
  Real(nullptr, 40, u"High");
  TreeNode* low = Real(nullptr, 3, u"Low");
  form->Queue().Push(Record(low));
  host.Click("Button3");
  Restart();
  host.Click("Button4");
  EXPECT_EQ(form->LastID(), 40);
}

TEST_F(StateTest, LoadWithoutTreeFileEmptiesTreeStoreAndQueueAndKeepsTheCounters) {
  BuildCrawl();
  host.Click("Button3");
  host.Click("Button4");  // counters from the store: 5 and 2, lastID 5
  fs::remove("tree.xml");
  host.Click("Button4");
  EXPECT_EQ(form->Categories().Count(), 0u);
  EXPECT_TRUE(form->Directory().Categories().empty());
  EXPECT_TRUE(form->Directory().SymbolicCategories().empty());
  EXPECT_EQ(form->Queue().Count(), 0);
  EXPECT_EQ(form->LastID(), 5);
  EXPECT_EQ(form->CategoryCount(), 5);
  EXPECT_EQ(form->SymbolicCount(), 2);
}

TEST_F(StateTest, QueueFileLinesEndInCrLfOrCrOrLfWithOrWithoutAFinalBreak) {
  for (const std::string text : {"1\r\n3\r\n2\r\n", "1\n3\n2\n", "1\r3\r2\r", "1\r\n3\n2", "1\n3\r2\r\n"}) {
    SCOPED_TRACE(text);
    Restart();
    // A crawl of its own: the pair of the case before would be kept aside, with a line in Memo1.
    for (const char* file : {"tree.xml", "queue.lst"}) fs::remove(file);
    for (int id = 1; id <= 3; ++id) Real(nullptr, id, u"c" + platform::FromUtf8(std::to_string(id)));
    host.Click("Button3");
    WriteFile("queue.lst", text);
    // The journal names the pair as saved; a queue file written by hand is another pair.
    fs::remove("crawl.journal");
    host.Click("Button4");
    EXPECT_EQ(Pending(), (std::vector<int>{1, 3, 2}));
    EXPECT_EQ(host.memo.Lines(),
              std::vector<std::string>{"State saved: 3 categories, 0 pending entries (tree.xml, queue.lst)"});
  }
}

TEST_F(StateTest, LoadDoesNothingWhileACrawlRunsOrHasFinishedWithoutStop) {
  BuildCrawl();
  host.Click("Button3");
  Restart();
  StartFresh();  // running: the root page is loading
  host.Click("Button4");
  EXPECT_EQ(form->Categories().Count(), 0u);
  EXPECT_EQ(host.label.shows, 0);

  // Finished (queue empty, the pass done) without a stop: still running as far as "load" goes.
  Restart();
  Real(nullptr, 1, u"A");
  StartFresh();
  ASSERT_EQ(host.statusBar.SimpleText(), "*** FINISHED *** Categories: 0 | Symbolic categories: 0 | Queue: 0");
  host.Click("Button4");
  EXPECT_EQ(Tree(), "A#1()");
}

TEST_F(StateTest, FinishedCrawlSavesBothFiles) {
  Real(nullptr, 1, u"A");
  Symbolic(nullptr, u"nowhere");
  StartFresh();
  EXPECT_EQ(ReadFile("queue.lst"), "");
  Restart();
  host.Click("Button4");
  EXPECT_EQ(Tree(), "A#1()") << "the symbolic pass ran before the save";
}

TEST_F(StateTest, ClosingAsksAndSavesOnlyOnYes) {
  BuildCrawl();
  host.dialogs.answers = {TModalResult::mrNo};
  form->FormDestroy();
  ASSERT_EQ(host.dialogs.confirmations, std::vector<std::string>{"Do you want to save the state?"});
  EXPECT_EQ(host.dialogs.confirmWithCancel, std::vector<bool>{false});
  EXPECT_FALSE(fs::exists("queue.lst"));
  EXPECT_FALSE(fs::exists("tree.xml"));

  Restart();
  BuildCrawl();
  host.dialogs.answers = {TModalResult::mrYes};
  form->FormDestroy();
  EXPECT_EQ(ReadFile("queue.lst"), "4\r\n5\r\n");
  EXPECT_TRUE(fs::exists("tree.xml"));
}

// A bad file is found before anything is cleared: the error leaves the handler, and tree, store,
// queue and counters stay as they were.
TEST_F(StateTest, RefusedLoadChangesNothing) {
  BuildCrawl();
  host.Click("Button3");
  const std::string goodTree = ReadFile("tree.xml");
  const std::string before = Snapshot();
  struct Case {
    std::string name;
    std::string tree;   // empty: the good one
    std::string queue;  // "-": no queue file
    std::string failure;
  };
  const std::vector<Case> cases = {
      {"not XML", "<DUMMY_NODE><TXMLTreeNode>", "4\r\n", "EXmlDocumentError"},
      {"node without record",
       "<DUMMY_NODE><TXMLTreeNode><Data isNull=\"true\"/><Nodes><TXMLTreeNode><Data isNull=\"true\"/><Nodes/>"
       "</TXMLTreeNode></Nodes></TXMLTreeNode></DUMMY_NODE>",
       "",
       "EXmlPersistance: The tree file tree.xml has a node without a category record (node 1 in tree order); "
       "nothing was loaded."},
      {"unregistered class", "<DUMMY_NODE><TThing/></DUMMY_NODE>", "", "EXmlPersistance: Xml class TThing is not registered."},
      {"no queue file", "", "-", "EFOpenError: Cannot open file \"queue.lst\". No such file or directory"},
      {"letters", "", "4\r\n5x\r\n", "EConvertError: '5x' is not a valid integer value"},
      {"empty line", "", "4\r\n\r\n5\r\n", "EConvertError: '' is not a valid integer value"},
      {"too large", "", "2147483648\r\n", "EConvertError: '2147483648' is not a valid integer value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile("tree.xml", c.tree.empty() ? goodTree : c.tree);
    if (c.queue == "-") {
      fs::remove("queue.lst");
    } else {
      WriteFile("queue.lst", c.queue);
    }
    const std::string failure = Failure([&] { host.Click("Button4"); });
    EXPECT_EQ(failure.substr(0, c.failure.size()), c.failure);
    EXPECT_EQ(Snapshot(), before);
    EXPECT_FALSE(host.label.Visible());
    EXPECT_EQ(host.memo.Lines().size(), 1u) << "the save's line only";
  }
}

TEST_F(StateTest, QueueEntryWithoutCategoryIsSkippedWithAMemoLine) {
  BuildCrawl();
  host.Click("Button3");
  WriteFile("queue.lst", "4\r\n99\r\n1\r\n");
  fs::remove("crawl.journal");
  Restart();
  host.Click("Button4");
  EXPECT_EQ(Pending(), (std::vector<int>{4, 1}));
  EXPECT_EQ(host.memo.Lines(), std::vector<std::string>{"Queue entry 99 names no category; skipped"});
  EXPECT_EQ(form->LastID(), 99) << "no ID is handed out twice";
}

TEST_F(StateTest, LoadQueueAppendsTheFilesEntriesFromTheStore) {
  BuildCrawl();
  WriteFile("queue.lst", "3\r\n1\r\n");
  form->LoadQueue();
  EXPECT_EQ(Pending(), (std::vector<int>{4, 5, 3, 1}));
  EXPECT_EQ(form->LastID(), 3);
}

// The running crawl takes category 4 and waits for its page; a save writes it first and takes nothing.
class RunningStateTest : public StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    BuildCrawl();
    StartFresh();
    ASSERT_EQ(host.browser.navigations, std::vector<std::u16string>{u"http://www.wexa.org/Jazz/"});
    ASSERT_TRUE(form->AwaitingPage());
  }
  FakePage JazzPage() {
    return DirectoryPage(u"http://www.wexa.org/Jazz/", {Li(10, u"Bebop", u"/Bebop/", u"(6000)")});
  }
};

TEST_F(RunningStateTest, SaveWritesThePageInFlightFirstAndLeavesTheQueueAlone) {
  host.Click("Button3");
  EXPECT_EQ(ReadFile("queue.lst"), "4\r\n5\r\n");
  EXPECT_EQ(form->Queue().ReadPos(), 2);
  EXPECT_EQ(Pending(), std::vector<int>{5});

  // Resumed, the crawl asks for that page again.
  host.Click("Button1");
  Restart();
  host.Click("Button4");
  StartFresh();
  EXPECT_EQ(host.browser.navigations, std::vector<std::u16string>{u"http://www.wexa.org/Jazz/"});
}

// A page arriving while the save processes messages is held until the save is over: the files show the
// state the save began with, and the page is parsed right after.
TEST_F(RunningStateTest, PageArrivingDuringTheSaveIsParsedAfterIt) {
  const std::string treeBefore = Tree();
  host.application.Post([&] { host.browser.Complete(JazzPage()); });
  host.Click("Button3");

  EXPECT_EQ(ReadFile("queue.lst"), "4\r\n5\r\n");
  EXPECT_EQ(ReadFile("tree.xml").find("Bebop"), std::string::npos);
  // Bebop's ID comes from lastID, which the helpers that built the crawl left at 0.
  EXPECT_EQ(Tree(), "Arts#1(Music#2(Jazz#4(Arts@()Bebop#1()))Ünïcödé 日本@())News#3(Local#5())");
  EXPECT_EQ(host.browser.navigations.back(), u"http://www.wexa.org/Local/");
  EXPECT_FALSE(host.label.Visible());

  // The page parsed after the save is in the journal: a load gives the crawl as it stood last.
  const std::string treeAfter = Tree();
  Restart();
  host.Click("Button4");
  EXPECT_EQ(Tree(), treeAfter);
  EXPECT_NE(Tree(), treeBefore);
  EXPECT_EQ(Pending(), (std::vector<int>{5, 1}));
  fs::remove("crawl.journal");
  host.Click("Button4");
  EXPECT_EQ(Tree(), treeBefore);
  EXPECT_EQ(Pending(), (std::vector<int>{4, 5}));
}

// While a save works, "start" and "load state" do nothing, and "stop" does not wait for the held page.
TEST_F(RunningStateTest, HandlersRunInsideTheSaveLeaveItsStateAlone) {
  host.Click("Button3");
  fs::remove("tree.xml");
  host.application.Post([&] {
    host.browser.Complete(JazzPage());
    host.Click("Button1");  // returns: the page is held
    host.Click("Button2");  // ignored during the save
    host.Click("Button4");  // ignored during the save
    host.Click("Button3");  // the running save already writes this state
  });
  host.Click("Button3");
  EXPECT_TRUE(form->Stopped());
  EXPECT_TRUE(form->Halted());
  EXPECT_EQ(ReadFile("queue.lst"), "4\r\n5\r\n");
  // The held page was parsed after the save; its Progress step found the crawl stopped.
  EXPECT_EQ(form->Categories().Count(), 8u);
  EXPECT_EQ(host.browser.navigations.size(), 1u);
}

// A save that fails leaves the earlier files whole, hides the label and holds no page back.
TEST_F(RunningStateTest, FailedSaveLeavesTheEarlierFiles) {
  WriteFile("queue.lst", "earlier queue");
  WriteFile("tree.xml", "earlier tree");
  form->Categories().AddChildObject(nullptr, "no record", nullptr);
  host.application.Post([&] { host.browser.Complete(JazzPage()); });
  EXPECT_EQ(Failure([&] { host.Click("Button3"); }),
            "EXmlPersistance: The tree node \"no record\" has no category record, so the tree cannot be saved.");
  EXPECT_EQ(ReadFile("queue.lst"), "earlier queue");
  EXPECT_EQ(ReadFile("tree.xml"), "earlier tree");
  EXPECT_FALSE(host.label.Visible());
  int files = 0;
  for (const auto& e : fs::directory_iterator(workDir)) files += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 2) << "no temporary file is left";
  // The page was not parsed and is not coming: "stop" returns at once instead of waiting for the
  // reload timer. The timer, still running, asks for it again.
  host.application.idleLimit = 3;
  EXPECT_NO_THROW(host.Click("Button1"));
  EXPECT_TRUE(form->AwaitingPage());
  EXPECT_TRUE(host.timer.Fire());
  EXPECT_EQ(host.browser.navigations.back(), u"http://www.wexa.org/Jazz/");
}

// After a load, a page the previous crawl still waited for is no longer asked for.
TEST_F(RunningStateTest, LoadForgetsThePageThePreviousCrawlWaitedFor) {
  host.Click("Button3");
  host.Click("Button1");  // the page is loading: stop cancels it, the timer stays on
  ASSERT_TRUE(host.timer.Enabled());
  host.Click("Button4");
  EXPECT_FALSE(host.timer.Enabled());
  EXPECT_FALSE(form->AwaitingPage());
  EXPECT_EQ(Pending(), (std::vector<int>{4, 5}));
}

}  // namespace
}  // namespace wexa_test
