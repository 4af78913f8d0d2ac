// The plain tree behind the tree view.

#include "platform/tree_view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using platform::TreeNode;
using platform::TreeView;

std::vector<std::string> Captions(const TreeView& tree) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < tree.Count(); ++i) out.push_back(tree.Item(i)->Text());
  return out;
}

TEST(TreeViewTest, IndexOrderPutsEachNodeBeforeItsChildren) {
  TreeView tree;
  TreeNode* a = tree.AddChildObject(nullptr, "a", nullptr);
  TreeNode* b = tree.AddChildObject(nullptr, "b", nullptr);
  tree.AddChildObject(a, "a1", nullptr);
  TreeNode* a2 = tree.AddChildObject(a, "a2", nullptr);
  tree.AddChildObject(a2, "a2x", nullptr);
  tree.AddChildObject(b, "b1", nullptr);
  EXPECT_EQ(Captions(tree), (std::vector<std::string>{"a", "a1", "a2", "a2x", "b", "b1"}));
  EXPECT_EQ(tree.GetFirstNode(), a);
  EXPECT_EQ(a->GetNextSibling(), b);
  EXPECT_EQ(b->GetNextSibling(), nullptr);
  EXPECT_EQ(a2->GetFirstChild()->GetNext(), b);
  EXPECT_EQ(a->SubtreeSize(), 4u);
}

TEST(TreeViewTest, DeleteRunsTheHookForTheWholeSubtreeAndRenumbers) {
  TreeView tree;
  std::vector<std::string> deleted;
  tree.SetOnDeletion([&](TreeNode* n) { deleted.push_back(n->Text()); });
  TreeNode* a = tree.AddChildObject(nullptr, "a", nullptr);
  TreeNode* b = tree.AddChildObject(a, "b", nullptr);
  tree.AddChildObject(b, "c", nullptr);
  TreeNode* d = tree.AddChildObject(a, "d", nullptr);
  tree.Delete(b);
  EXPECT_EQ(deleted, (std::vector<std::string>{"c", "b"}));
  EXPECT_EQ(Captions(tree), (std::vector<std::string>{"a", "d"}));
  EXPECT_EQ(d->IndexInParent(), 0u);
  EXPECT_EQ(tree.Count(), 2u);
  deleted.clear();
  tree.Clear();
  EXPECT_EQ(deleted, (std::vector<std::string>{"d", "a"}));
  EXPECT_EQ(tree.Count(), 0u);
  EXPECT_EQ(tree.GetFirstNode(), nullptr);
}

TEST(TreeViewTest, VersionChangesWithEveryChange) {
  TreeView tree;
  const auto v0 = tree.Version();
  TreeNode* a = tree.AddChildObject(nullptr, "a", nullptr);
  const auto v1 = tree.Version();
  EXPECT_NE(v0, v1);
  EXPECT_EQ(tree.Item(0), a);
  EXPECT_EQ(tree.Version(), v1) << "reading changes nothing";
  tree.Delete(a);
  EXPECT_NE(tree.Version(), v1);
}

}  // namespace
