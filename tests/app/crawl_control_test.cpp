// Start, stop, the minimum-content filter and the release of records by deleted nodes.

#include <unistd.h>

#include <iostream>

#include "tests/app/form_fixture.h"

namespace wexa_test {
namespace {

using platform::TModalResult;

TEST_F(FormTest, CreatedFormIsIdleWithEmptyState) {
  EXPECT_TRUE(form->Stopped());
  EXPECT_FALSE(form->Halted());
  EXPECT_EQ(form->LastID(), 0);
  EXPECT_EQ(form->Queue().Count(), 0);
  EXPECT_EQ(form->Directory().Categories().size(), 0u);
  EXPECT_EQ(host.edit.Text(), "5000");
  EXPECT_FALSE(host.timer.Enabled());
  EXPECT_EQ(host.timer.Interval(), 30000);
  EXPECT_FALSE(host.label.Visible());
}

TEST_F(FormTest, StartAsksBelowThresholdAndActsOnlyOnYes) {
  struct Case {
    std::string text;
    std::vector<TModalResult> answers;
    bool asked;
    bool starts;
  };
  const std::vector<Case> cases = {
      {"5000", {}, false, true},
      {"4999", {TModalResult::mrYes}, true, true},
      {"4999", {TModalResult::mrNo}, true, false},
      {"4999", {TModalResult::mrCancel}, true, false},
      {"0", {TModalResult::mrYes}, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Restart();
    host.dialogs.answers.assign(c.answers.begin(), c.answers.end());
    StartFresh(c.text);
    EXPECT_EQ(host.dialogs.confirmations.size(), c.asked ? 1u : 0u);
    if (c.asked) {
      EXPECT_TRUE(host.dialogs.confirmWithCancel[0]);
      EXPECT_EQ(host.dialogs.confirmations[0].rfind("For the minimum content level you choosed, it might take long", 0), 0u);
    }
    EXPECT_EQ(form->MinContent(), std::stoi(c.text));  // stored before the question
    EXPECT_EQ(form->Stopped(), !c.starts);
    if (c.starts) {
      ASSERT_EQ(host.browser.navigations.size(), 1u);
      EXPECT_EQ(host.browser.navigations[0], kRoot);
      EXPECT_TRUE(host.timer.Enabled());
      EXPECT_EQ(host.timer.starts, 1);
    } else {
      EXPECT_TRUE(host.browser.navigations.empty());
      EXPECT_FALSE(host.timer.Enabled());
    }
  }
}

TEST_F(FormTest, StartWithBadNumberFailsAndChangesNothing) {
  for (const std::string text : {"", "2147483648", "99999999999"}) {
    SCOPED_TRACE(text);
    host.edit.SetText(text);
    try {
      host.Click("Button2");
      FAIL() << "no error";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), "'" + text + "' is not a valid integer value");
    }
    EXPECT_TRUE(form->Stopped());
    EXPECT_EQ(form->MinContent(), 0);
    EXPECT_TRUE(host.browser.navigations.empty());
  }
  host.edit.SetText("2147483647");
  host.Click("Button2");
  EXPECT_EQ(form->MinContent(), 2147483647);
}

TEST_F(FormTest, StartWhileRunningIsIgnoredWithoutReadingTheEdit) {
  StartFresh();
  host.edit.SetText("not a number");
  EXPECT_NO_THROW(host.Click("Button2"));
  EXPECT_EQ(host.browser.navigations.size(), 1u);
}

TEST_F(FormTest, StartWithNonEmptyTreeContinuesFromTheQueue) {
  TreeNode* top = AddReal(nullptr, 1, kRoot + u"/A/");
  (void)top;
  Queued(2, kRoot + u"/A/B/");
  StartFresh();
  ASSERT_EQ(host.browser.navigations.size(), 1u);
  EXPECT_EQ(host.browser.navigations[0], kRoot + u"/A/B/");
  EXPECT_EQ(host.statusBar.history.front(), "Categories: 0 | Symbolic categories: 0 | Queue: 1");
}

TEST_F(FormTest, StopWhileAPageLoadsReturnsAtOnceAndTheTimerFetchesItAgain) {
  StartFresh();  // the root page is loading
  host.Click("Button1");
  EXPECT_TRUE(form->Stopped());
  EXPECT_TRUE(form->Halted());
  EXPECT_EQ(host.browser.stops, 1);
  EXPECT_EQ(host.application.processCalls, 0);
  EXPECT_TRUE(host.timer.Enabled()) << "stop leaves the watchdog alone";

  ASSERT_TRUE(host.timer.Fire());
  ASSERT_EQ(host.memo.Lines().size(), 1u);
  EXPECT_EQ(host.browser.navigations.back(), host.browser.LocationURL());

  // The page arrives and is parsed; Progress then finds the stop and navigates no further.
  host.browser.Complete(DirectoryPage(kRoot, {El(u"TABLE"), El(u"TABLE", {El(u"TD", {El(u"A", {{u"href", u"/A/"}}, {Text(u"A")})})})}));
  EXPECT_EQ(form->Categories().Count(), 1u);
  EXPECT_EQ(host.browser.navigations.size(), 2u);
  EXPECT_TRUE(form->Halted());
}

TEST_F(FormTest, StopWaitsForTheOutstandingPageWhenItIsAlreadyComplete) {
  AddReal(nullptr, 1, kRoot + u"/A/");
  Queued(1, kRoot + u"/A/");
  Queued(2, kRoot + u"/B/");
  Queued(3, kRoot + u"/C/");
  StartFresh();  // navigates to /A/
  // The page has loaded, but its arrival is still queued as an event.
  host.browser.Show(FakePage{u"about:blank", u"", true, nullptr});
  host.application.Post([&] { host.browser.Complete(DirectoryPage(kRoot + u"/A/", {})); });
  host.Click("Button1");
  EXPECT_TRUE(form->Halted());
  EXPECT_GE(host.application.processCalls, 1);
  EXPECT_EQ(host.browser.navigations.size(), 1u) << "no navigation after the stop";
  EXPECT_EQ(form->Queue().Pending(), 2);
}

TEST_F(FormTest, StopAtRestReturnsAtOnce) {
  host.application.idleLimit = 0;  // any wait would throw FakeStuck

  // Page complete and queue empty.
  EXPECT_NO_THROW(host.Click("Button1"));
  EXPECT_TRUE(form->Halted());

  // Page complete and entries pending, but no page outstanding: the crawl stands after the
  // duplicate message, and no Progress step will come.
  form->Categories().Clear();
  AddReal(nullptr, 1, kRoot + u"/A/");
  Queued(1, kRoot + u"/A/");
  Queued(2, kRoot + u"/B/");
  StartFresh();
  host.browser.Complete(DirectoryPage(kRoot + u"/A/", {Li(10, u"B again", u"/b/", u"(9000)")}));
  ASSERT_EQ(host.dialogs.messages.size(), 1u);
  ASSERT_EQ(form->Queue().Pending(), 1);
  EXPECT_NO_THROW(host.Click("Button1"));
  EXPECT_TRUE(form->Halted());
  EXPECT_EQ(host.application.processCalls, 0);
}

TEST_F(FormTest, SecondStopAfterRestDoesNotWait) {
  AddReal(nullptr, 1, kRoot + u"/A/");
  Queued(1, kRoot + u"/A/");
  Queued(2, kRoot + u"/B/");
  StartFresh();
  host.Click("Button1");  // page loading: cancelled
  host.browser.Complete(DirectoryPage(kRoot + u"/A/", {}));
  ASSERT_TRUE(form->Halted());
  host.application.idleLimit = 0;  // any wait would throw FakeStuck
  EXPECT_NO_THROW(host.Click("Button1"));
  EXPECT_NO_THROW(host.Click("Button1"));
}

TEST_F(FormTest, EditKeyFilterPassesDigitsAndBackspaceOnly) {
  host.edit.SetText("");
  for (char16_t key : std::u16string(u"1a2B3 -.\t\r\x1b" u"ä4")) host.Type("Edit1", key);
  EXPECT_EQ(host.edit.Text(), "1234");
  host.Type("Edit1", 8);
  EXPECT_EQ(host.edit.Text(), "123");

  char16_t key = u'x';
  form->Edit1KeyPress(key);
  EXPECT_EQ(key, 0);
  key = 8;
  form->Edit1KeyPress(key);
  EXPECT_EQ(key, 8);
}

// Counts how many records of this kind are alive.
class CountedCategory : public TCategory {
 public:
  explicit CountedCategory(int id) : TCategory(id, u"n", u"u" + std::u16string(1, char16_t(u'0' + id)), 1) { ++alive; }
  ~CountedCategory() override { --alive; }
  static inline int alive = 0;
};

TEST_F(FormTest, DeletingNodesDestroysTheirRecordsExactlyOnce) {
  auto& tree = form->Categories();
  TreeNode* a = tree.AddChildObject(nullptr, "a", new CountedCategory(1));
  TreeNode* b = tree.AddChildObject(a, "b", new CountedCategory(2));
  tree.AddChildObject(b, "c", new CountedCategory(3));
  tree.AddChildObject(nullptr, "no data", nullptr);
  TreeNode* d = tree.AddChildObject(nullptr, "d", new CountedCategory(4));
  tree.AddChildObject(d, "e", new CountedCategory(5));
  ASSERT_EQ(CountedCategory::alive, 5);

  tree.Delete(b);  // with its subtree
  EXPECT_EQ(CountedCategory::alive, 3);
  EXPECT_EQ(tree.Count(), 4u);
  tree.Clear();
  EXPECT_EQ(CountedCategory::alive, 0);
  EXPECT_EQ(tree.Count(), 0u);
}

TEST_F(FormTest, FormDestroyReleasesStoreAndQueueButNoRecord) {
  AddReal(nullptr, 1, u"x");
  form->FormDestroy();
  EXPECT_EQ(form->Categories().Count(), 1u);
  form.reset();  // the nodes go with the form; ASan reports any double free or leak
}

// A button that cannot act in the crawl's present state says why in Memo1 and changes nothing; a
// working directory where the state could not be saved keeps "start" from starting.
TEST_F(FormTest, RefusedButtonsSayWhy) {
  struct Case {
    std::string name;
    bool running;
    bool readOnly;
    const char* button;
    std::vector<std::string> memo;
    std::size_t messages;
  };
  const std::vector<Case> cases = {
      {"start while running", true, false, "Button2", {"start: the crawl is already running"}, 0},
      {"load state while running", true, false, "Button4", {"load state: not while the crawl runs; press stop first"}, 0},
      {"start in a read-only folder", false, true, "Button2", {}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    if (c.running) StartFresh();
    const std::size_t navigations = host.browser.navigations.size();
    if (c.readOnly) {
      std::filesystem::permissions(workDir, std::filesystem::perms::owner_write, std::filesystem::perm_options::remove);
      if (::access(workDir.c_str(), W_OK) == 0) {
        std::filesystem::permissions(workDir, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
        std::cout << "[ skip ] " << c.name << ": this user writes into read-only folders\n";
        continue;
      }
    }
    host.Click(c.button);
    if (c.readOnly) std::filesystem::permissions(workDir, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
    EXPECT_EQ(host.memo.Lines(), c.memo);
    ASSERT_EQ(host.dialogs.messages.size(), c.messages);
    if (c.messages > 0) {
      EXPECT_EQ(host.dialogs.messages[0].rfind("The crawl's state cannot be saved in ", 0), 0u);
    }
    EXPECT_EQ(host.browser.navigations.size(), navigations) << "nothing was loaded";
    EXPECT_EQ(form->Stopped(), !c.running);
  }
}

}  // namespace
}  // namespace wexa_test
