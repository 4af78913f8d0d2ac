// The category records and the directory store.

#include "model/helper.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

namespace {

TEST(RecordsTest, ConstructorsKeepTheirValues) {
  TCategory c(7, u"Name", u"http://x/", -1);
  EXPECT_EQ(c.ID, 7);
  EXPECT_EQ(c.Content, -1);
  EXPECT_EQ(c.Name, u"Name");
  EXPECT_EQ(c.Url, u"http://x/");
  TSymbolicCategory s(-1, u"S", u"http://y/");
  EXPECT_EQ(s.Parent, -1);
  EXPECT_EQ(s.Name, u"S");
}

TEST(StoreTest, AddsToTheArrayOfTheRecordsKindInCallOrder) {
  TCategory a(1, u"a", u"", 0), b(2, u"b", u"", 0);
  TSymbolicCategory s1(-1, u"s1", u""), s2(-1, u"s2", u"");
  TWexa store;
  store.AddCategory(&s1);
  store.AddCategory(&a);
  store.AddCategory(&s2);
  store.AddCategory(&b);
  EXPECT_EQ(store.Categories(), (TCategories{&a, &b}));
  EXPECT_EQ(store.SymbolicCategories(), (TSymbolicCategories{&s1, &s2}));
}

TEST(StoreTest, FindByIdYieldsTheFirstRealCategoryOrNone) {
  TWexa store;
  EXPECT_EQ(store.FindCategoryByID(1), nullptr);
  TCategory first(5, u"first", u"", 0), second(5, u"second", u"", 0);
  TSymbolicCategory s(5, u"s", u"");  // Parent 5 is no ID
  store.AddCategory(&s);
  EXPECT_EQ(store.FindCategoryByID(5), nullptr);
  store.AddCategory(&first);
  store.AddCategory(&second);
  EXPECT_EQ(store.FindCategoryByID(5), &first);
  EXPECT_EQ(store.FindCategoryByID(6), nullptr);
}

TEST(StoreTest, RemoveKeepsTheOrderAndIgnoresRecordsNotHeld) {
  TCategory a(1, u"a", u"", 0), b(2, u"b", u"", 0), c(3, u"c", u"", 0), stranger(4, u"x", u"", 0);
  TSymbolicCategory s(-1, u"s", u"");
  TWexa store;
  store.RemoveCategory(&a);  // empty store
  EXPECT_TRUE(store.Categories().empty());
  store.AddCategory(&a);
  store.AddCategory(&b);
  store.AddCategory(&c);
  store.AddCategory(&s);
  store.RemoveCategory(&b);
  store.RemoveCategory(&stranger);
  EXPECT_EQ(store.Categories(), (TCategories{&a, &c}));
  EXPECT_EQ(store.SymbolicCategories(), (TSymbolicCategories{&s}));
  store.RemoveCategory(&s);
  EXPECT_TRUE(store.SymbolicCategories().empty());
}

TEST(StoreTest, ClearFreesNothing) {
  auto record = std::make_unique<TCategory>(1, u"a", u"u", 3);
  TWexa store;
  store.AddCategory(record.get());
  store.Clear();
  EXPECT_TRUE(store.Categories().empty());
  EXPECT_EQ(record->Content, 3);  // still alive: ASan would report a use after free
}

// Removal is noted and applied on the next read; the outcome must be what removing at once gives,
// also for a record freed right after its removal.
TEST(StoreTest, DeferredRemovalMatchesImmediateRemoval) {
  std::mt19937 rng(42);
  std::vector<std::unique_ptr<TBaseCategory>> records;
  std::vector<TBaseCategory*> reference;
  TWexa store;
  for (int step = 0; step < 4000; ++step) {
    const unsigned op = rng() % 7;
    if (op < 4 || reference.empty()) {
      if (rng() % 2) {
        records.push_back(std::make_unique<TCategory>(step, u"", u"", 0));
      } else {
        records.push_back(std::make_unique<TSymbolicCategory>(-1, u"", u""));
      }
      store.AddCategory(records.back().get());
      reference.push_back(records.back().get());
    } else if (op < 6) {
      TBaseCategory* victim = reference[rng() % reference.size()];
      store.RemoveCategory(victim);
      std::erase(reference, victim);
      std::erase_if(records, [&](const auto& r) { return r.get() == victim; });  // freed at once
    } else {
      TCategories realExpected;
      TSymbolicCategories symbolicExpected;
      for (auto* r : reference) {
        if (auto* c = dynamic_cast<TCategory*>(r)) realExpected.push_back(c);
        else symbolicExpected.push_back(static_cast<TSymbolicCategory*>(r));
      }
      ASSERT_EQ(store.Categories(), realExpected) << "step " << step;
      ASSERT_EQ(store.SymbolicCategories(), symbolicExpected) << "step " << step;
    }
  }
}

}  // namespace
