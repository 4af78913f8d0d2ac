#include "platform/tree_view.h"

namespace platform {

TreeNode* TreeNode::GetNextSibling() const {
  const auto& siblings = parent_ ? parent_->children_ : owner_->roots_;
  return indexInParent_ + 1 < siblings.size() ? siblings[indexInParent_ + 1].get() : nullptr;
}

TreeNode* TreeNode::GetNext() const {
  if (!children_.empty()) return children_.front().get();
  for (const TreeNode* n = this; n; n = n->parent_) {
    if (TreeNode* sibling = n->GetNextSibling()) return sibling;
  }
  return nullptr;
}

std::size_t TreeNode::SubtreeSize() const {
  std::size_t size = 1;
  for (const auto& child : children_) size += child->SubtreeSize();
  return size;
}

TreeView::~TreeView() {
  observer_ = nullptr;
  Clear();
}

TreeNode* TreeView::Item(std::size_t i) const {
  if (orderVersion_ != version_) {
    order_.clear();
    order_.reserve(count_);
    for (TreeNode* n = GetFirstNode(); n; n = n->GetNext()) order_.push_back(n);
    orderVersion_ = version_;
  }
  return order_[i];
}

std::vector<std::unique_ptr<TreeNode>>& TreeView::SiblingsOf(TreeNode* node) {
  return node->parent_ ? node->parent_->children_ : roots_;
}

TreeNode* TreeView::AddChildObject(TreeNode* parent, std::string text, TObject* data) {
  auto& siblings = parent ? parent->children_ : roots_;
  if (observer_) observer_->BeforeInsert(parent, siblings.size());
  std::unique_ptr<TreeNode> node(new TreeNode(this, parent, std::move(text), data));
  node->indexInParent_ = siblings.size();
  TreeNode* raw = node.get();
  siblings.push_back(std::move(node));
  ++count_;
  ++version_;
  if (observer_) observer_->AfterInsert(raw);
  if (onAdded_) onAdded_(raw);
  return raw;
}

void TreeView::RunDeletionHook(TreeNode* node) {
  // Children first, so that a hook never sees a node whose descendants are already gone.
  for (auto& child : node->children_) RunDeletionHook(child.get());
  if (onDeletion_) onDeletion_(node);
}

void TreeView::Delete(TreeNode* node) {
  if (observer_) observer_->BeforeRemove(node);
  const std::size_t removed = node->SubtreeSize();
  RunDeletionHook(node);
  auto& siblings = SiblingsOf(node);
  const std::size_t index = node->indexInParent_;
  siblings.erase(siblings.begin() + static_cast<std::ptrdiff_t>(index));
  for (std::size_t i = index; i < siblings.size(); ++i) siblings[i]->indexInParent_ = i;
  count_ -= removed;
  ++version_;
  if (observer_) observer_->AfterRemove();
}

void TreeView::Clear() {
  if (observer_) observer_->BeforeClear();
  for (auto& root : roots_) RunDeletionHook(root.get());
  roots_.clear();
  count_ = 0;
  ++version_;
  order_.clear();
  if (observer_) observer_->AfterClear();
}

}  // namespace platform
