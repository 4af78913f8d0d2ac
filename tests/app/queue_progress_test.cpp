// The crawl queue, the two look-ups against their linear definitions, and the progression step
// with its symbolic pass.

#include <random>

#include "platform/text.h"
#include "tests/app/form_fixture.h"

namespace wexa_test {
namespace {

TEST(QueueTest, FifoWithPendingAndLookupOfTakenEntriesInAnyCase) {
  TCategory a(1, u"a", u"http://x/Alpha/", 1), b(2, u"b", u"http://x/Ärger/", 1), c(3, u"c", u"http://x/γ/", 1);
  TMyQueue queue;
  EXPECT_EQ(queue.Push(&a), 0);
  EXPECT_EQ(queue.Push(&b), 1);
  EXPECT_EQ(queue.Push(&c), 2);
  EXPECT_EQ(queue.Pop(), &a);
  EXPECT_EQ(queue.Pop(), &b);
  EXPECT_EQ(queue.Pending(), 1);
  EXPECT_EQ(queue.Count(), 3);
  EXPECT_EQ(queue.Items(queue.ReadPos() - 1), &b);
  for (const std::u16string url : {u"http://x/alpha/", u"HTTP://X/ÄRGER/", u"http://x/Γ/", u"http://x/Alpha/"})
    EXPECT_TRUE(queue.HasUrlIgnoringCase(url)) << platform::ToUtf8(url);
  EXPECT_FALSE(queue.HasUrlIgnoringCase(u"http://x/Alpha"));
  queue.Empty();
  EXPECT_EQ(queue.Count(), 0);
  EXPECT_EQ(queue.Pending(), 0);
  EXPECT_FALSE(queue.HasUrlIgnoringCase(u"http://x/alpha/"));
}

// The look-ups keep indexes; these are their definitions, scanning everything.
bool NaiveQueueHasUrl(TMyQueue& queue, const std::u16string& url) {
  for (int i = 0; i < queue.Count(); ++i)
    if (platform::SameTextIgnoreCase(queue.Items(i)->Url, url)) return true;
  return false;
}

TreeNode* NaiveFindCategoryNode(platform::TreeView& tree, const std::u16string& url) {
  for (std::size_t i = 0; i < tree.Count(); ++i) {
    auto* category = dynamic_cast<TCategory*>(tree.Item(i)->Data());
    if (category && category->Url == url) return tree.Item(i);
  }
  return nullptr;
}

TEST_F(FormTest, LookupsGiveTheResultsOfTheirLinearDefinitions) {
  std::mt19937 rng(20261208);
  const std::vector<std::u16string> urls = {u"/a", u"/A", u"/b", u"/é", u"/É", u"/c/d", u"/C/D", u"/x"};
  auto pick = [&] { return urls[rng() % urls.size()]; };
  auto& tree = form->Categories();
  std::vector<TreeNode*> nodes;
  for (int step = 0; step < 3000; ++step) {
    const unsigned op = rng() % 10;
    if (op < 5 || nodes.empty()) {
      TreeNode* parent = nodes.empty() || rng() % 4 == 0 ? nullptr : nodes[rng() % nodes.size()];
      nodes.push_back(rng() % 3 ? AddReal(parent, step, pick()) : AddSymbolic(parent, pick()));
    } else if (op < 7) {
      Queued(step, pick());
    } else if (op == 7 && form->Queue().Pending() > 0) {
      form->Queue().Pop();
    } else if (op == 8) {
      TreeNode* victim = nodes[rng() % nodes.size()];
      if (auto* base = dynamic_cast<TBaseCategory*>(victim->Data())) form->Directory().RemoveCategory(base);
      tree.Delete(victim);
      nodes.clear();
      for (std::size_t i = 0; i < tree.Count(); ++i) nodes.push_back(tree.Item(i));
    }
    const std::u16string probe = pick();
    ASSERT_EQ(form->QueueHasUrl(probe), NaiveQueueHasUrl(form->Queue(), probe)) << "step " << step;
    ASSERT_EQ(form->FindCategoryNode(probe), NaiveFindCategoryNode(tree, probe)) << "step " << step;
  }
}

TEST_F(FormTest, ProgressNavigatesInPushOrderAndRestartsTheWatchdog) {
  AddReal(nullptr, 1, u"http://x/1");
  Queued(1, u"http://x/1");
  Queued(2, u"http://x/2");
  Queued(3, u"http://x/3");
  StartFresh();
  form->Progress();
  form->Progress();
  const std::vector<std::u16string> expected = {u"http://x/1", u"http://x/2", u"http://x/3"};
  EXPECT_EQ(host.browser.navigations, expected);
  EXPECT_EQ(host.timer.starts, 3);
  EXPECT_EQ(host.statusBar.history.back(), "Categories: 0 | Symbolic categories: 0 | Queue: 1");
}

TEST_F(FormTest, ProgressWhenStoppedOnlySetsHalted) {
  AddReal(nullptr, 1, u"http://x/1");
  Queued(1, u"http://x/1");
  host.statusBar.SetSimpleText("before");
  form->Progress();  // the form is stopped after creation
  EXPECT_TRUE(form->Halted());
  EXPECT_EQ(host.statusBar.SimpleText(), "before");
  EXPECT_TRUE(host.browser.navigations.empty());
  EXPECT_EQ(form->Queue().Pending(), 1);
}

// Runs the symbolic pass on the current tree (the queue is empty) and returns the pass lines.
std::vector<std::string> RunPass(platform::fake::FakeFormHost& host) {
  host.statusBar.history.clear();
  host.edit.SetText("5000");
  host.Click("Button2");
  return host.statusBar.history;
}

TEST_F(FormTest, SymbolicPassDropsCrossLinksWithoutTargetAndKeepsTheRest) {
  TreeNode* a = AddReal(nullptr, 1, u"http://x/A");
  AddSymbolic(a, u"http://x/B");    // survives: B is recorded below
  AddSymbolic(a, u"http://x/nowhere");  // dropped
  AddSymbolic(a, u"http://x/b");    // dropped: letter case counts
  TreeNode* b = AddReal(a, 2, u"http://x/B");
  AddSymbolic(b, u"http://x/A");    // survives
  const auto lines = RunPass(host);

  ASSERT_EQ(form->Categories().Count(), 4u);
  EXPECT_EQ(form->Directory().SymbolicCategories().size(), 2u);
  for (auto* s : form->Directory().SymbolicCategories()) EXPECT_NE(form->FindCategoryNode(s->Url), nullptr);
  const std::vector<std::string> expected = {
      "Categories: 0 | Symbolic categories: 0 | Queue: 0",
      "Computing symbolic categories: item 0 of 6 | Categories: 0 | Symbolic categories: 0 | Queue: 0",
      "Computing symbolic categories: item 1 of 6 | Categories: 0 | Symbolic categories: 0 | Queue: 0",
      "Computing symbolic categories: item 2 of 6 | Categories: 0 | Symbolic categories: 0 | Queue: 0",
      "Computing symbolic categories: item 2 of 5 | Categories: 0 | Symbolic categories: 0 | Queue: 0",
      "Computing symbolic categories: item 2 of 4 | Categories: 0 | Symbolic categories: 0 | Queue: 0",
      "Computing symbolic categories: item 3 of 4 | Categories: 0 | Symbolic categories: 0 | Queue: 0",
      "*** FINISHED *** Categories: 0 | Symbolic categories: 0 | Queue: 0",
  };
  EXPECT_EQ(lines, expected);
  // Once per step of the pass, then by the finishing save once per remaining node and twice around
  // the walk over the top-level nodes.
  EXPECT_EQ(host.application.processCalls, 6 + 4 + 2) << "messages are processed once per step";
}

TEST_F(FormTest, SymbolicPassOverATreeWithoutCrossLinksShowsOneLinePerNode) {
  TreeNode* a = AddReal(nullptr, 1, u"http://x/A");
  AddReal(a, 2, u"http://x/B");
  AddReal(nullptr, 3, u"http://x/C");
  const auto lines = RunPass(host);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[3], "Computing symbolic categories: item 2 of 3 | Categories: 0 | Symbolic categories: 0 | Queue: 0");
  EXPECT_EQ(lines[4], "*** FINISHED *** Categories: 0 | Symbolic categories: 0 | Queue: 0");
  EXPECT_EQ(form->Categories().Count(), 3u);
}

TEST_F(FormTest, SymbolicPassFollowsATreeChangedByANestedHandler) {
  TreeNode* a = AddReal(nullptr, 1, u"http://x/A");
  AddSymbolic(a, u"http://x/gone1");
  AddSymbolic(nullptr, u"http://x/gone2");
  AddSymbolic(nullptr, u"http://x/A");
  // While the pass processes messages after its first step, a handler removes node 1.
  host.application.Post([&] { form->Categories().Delete(form->Categories().Item(1)); });
  RunPass(host);
  ASSERT_EQ(form->Categories().Count(), 2u);
  EXPECT_EQ(form->Categories().Item(1)->Text(), "s@");
  EXPECT_EQ(dynamic_cast<TSymbolicCategory*>(form->Categories().Item(1)->Data())->Url, u"http://x/A");
}

TEST_F(FormTest, StopDuringThePassReturnsAtOnceAndThePassFinishes) {
  AddReal(nullptr, 1, u"http://x/A");
  AddSymbolic(nullptr, u"http://x/none");
  AddSymbolic(nullptr, u"http://x/A");
  host.application.Post([&] { host.Click("Button1"); });
  RunPass(host);
  EXPECT_TRUE(form->Stopped());
  EXPECT_EQ(form->Categories().Count(), 2u);
  EXPECT_EQ(host.statusBar.SimpleText(), "*** FINISHED *** Categories: 0 | Symbolic categories: 0 | Queue: 0");
}

// Loads ahead: after each navigation the browser is told the categories that come next, in queue
// order and as many as it can load ahead; the queue itself is not touched. Stop and "load state"
// drop the hint, and a browser that loads nothing ahead is told nothing, so its crawl is the one
// without loads ahead step for step.
TEST_F(FormTest, ProgressHintsTheNextPendingCategoriesWithoutTakingThem) {
  using Addresses = std::vector<std::u16string>;
  for (const int ahead : {0, 2}) {
    SCOPED_TRACE(ahead);
    Restart();
    host.browser.loadsAhead = ahead;
    AddReal(nullptr, 1, u"http://x/1");
    for (int id = 1; id <= 4; ++id) Queued(id, u"http://x/" + platform::FromUtf8(std::to_string(id)));
    StartFresh();
    EXPECT_EQ(form->Queue().Pending(), 3);
    form->Progress();
    form->Progress();
    EXPECT_EQ(form->Queue().Pending(), 1);
    EXPECT_EQ(host.browser.navigations, (Addresses{u"http://x/1", u"http://x/2", u"http://x/3"}));
    if (ahead == 0) {
      EXPECT_TRUE(host.browser.hints.empty());
      continue;
    }
    EXPECT_EQ(host.browser.hints, (std::vector<Addresses>{
                                      {u"http://x/2", u"http://x/3"}, {u"http://x/3", u"http://x/4"}, {u"http://x/4"}}));
    EXPECT_EQ(host.browser.takenAhead, 2) << "every navigation after the first went to a hinted address";

    host.Click("Button1");
    EXPECT_EQ(host.browser.hints.back(), Addresses{}) << "stop drops the loads ahead";
    host.browser.hints.push_back({u"http://x/4"});
    host.Click("Button4");
    EXPECT_EQ(host.browser.hints.back(), Addresses{}) << "load state drops the loads ahead";
  }
}

}  // namespace
}  // namespace wexa_test
