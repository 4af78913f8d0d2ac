#pragma once
// The tree view's nodes as a plain C++ tree: caption, data and children. The window shows it
// through a model/view adapter that listens to the changes (TreeViewObserver).
//
// Ownership: the tree owns its nodes. A node's data is borrowed; the deletion hook decides what
// happens to it (the crawl's hook destroys the record). Single-threaded: the window's thread only.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/object.h"

namespace platform {

class TreeView;

class TreeNode {
 public:
  TreeNode(const TreeNode&) = delete;
  TreeNode& operator=(const TreeNode&) = delete;

  const std::string& Text() const { return text_; }
  TObject* Data() const { return data_; }
  void SetData(TObject* data) { data_ = data; }
  TreeNode* Parent() const { return parent_; }
  // Position among the parent's children (or among the top-level nodes).
  std::size_t IndexInParent() const { return indexInParent_; }
  std::size_t ChildCount() const { return children_.size(); }
  TreeNode* Child(std::size_t i) const { return children_[i].get(); }
  TreeNode* GetFirstChild() const { return children_.empty() ? nullptr : children_.front().get(); }
  // Next sibling, or nullptr for the last child.
  TreeNode* GetNextSibling() const;
  // Next node in index order (each node before its children), or nullptr after the last.
  TreeNode* GetNext() const;
  // Number of nodes in this node's subtree, itself included.
  std::size_t SubtreeSize() const;

 private:
  friend class TreeView;
  TreeNode(TreeView* owner, TreeNode* parent, std::string text, TObject* data)
      : owner_(owner), parent_(parent), text_(std::move(text)), data_(data) {}

  TreeView* owner_;
  TreeNode* parent_;
  std::size_t indexInParent_ = 0;
  std::string text_;
  TObject* data_;
  std::vector<std::unique_ptr<TreeNode>> children_;
};

// Told about every structural change, so that a view can follow. parent is nullptr for the top level.
class TreeViewObserver {
 public:
  virtual ~TreeViewObserver() = default;
  virtual void BeforeInsert(TreeNode* parent, std::size_t row) = 0;
  virtual void AfterInsert(TreeNode* node) = 0;
  virtual void BeforeRemove(TreeNode* node) = 0;
  virtual void AfterRemove() = 0;
  virtual void BeforeClear() = 0;
  virtual void AfterClear() = 0;
};

class TreeView {
 public:
  TreeView() = default;
  TreeView(const TreeView&) = delete;
  TreeView& operator=(const TreeView&) = delete;
  // Deletes every node; the deletion hook runs for each.
  ~TreeView();

  // Number of nodes at every level.
  std::size_t Count() const { return count_; }
  // Node at absolute index i in index order (each node before its children, children in order).
  // The caller ensures i < Count(). Amortised O(1) while the tree does not change.
  TreeNode* Item(std::size_t i) const;
  TreeNode* GetFirstNode() const { return roots_.empty() ? nullptr : roots_.front().get(); }
  std::size_t TopLevelCount() const { return roots_.size(); }
  TreeNode* TopLevel(std::size_t i) const { return roots_[i].get(); }

  // Appends a node as the last child of parent, or as the last top-level node when parent is
  // nullptr. Returns the new node, owned by the tree.
  TreeNode* AddChildObject(TreeNode* parent, std::string text, TObject* data);
  // Deletes node and its subtree. The deletion hook runs for every node that goes, children first.
  void Delete(TreeNode* node);
  // Deletes every node, running the deletion hook for each.
  void Clear();

  // Runs for every node about to be deleted. The node is still in the tree while it runs.
  void SetOnDeletion(std::function<void(TreeNode*)> hook) { onDeletion_ = std::move(hook); }
  // Runs after every node added.
  void SetOnAdded(std::function<void(TreeNode*)> hook) { onAdded_ = std::move(hook); }
  // At most one observer (the window's adapter); nullptr removes it. Not owned.
  void SetObserver(TreeViewObserver* observer) { observer_ = observer; }

  // Grows with every change; lets callers tell whether the tree changed under them.
  std::uint64_t Version() const { return version_; }

 private:
  friend class TreeNode;
  void RunDeletionHook(TreeNode* node);
  std::vector<std::unique_ptr<TreeNode>>& SiblingsOf(TreeNode* node);

  std::vector<std::unique_ptr<TreeNode>> roots_;
  std::size_t count_ = 0;
  std::uint64_t version_ = 0;
  mutable std::uint64_t orderVersion_ = ~std::uint64_t{0};
  mutable std::vector<TreeNode*> order_;
  std::function<void(TreeNode*)> onDeletion_;
  std::function<void(TreeNode*)> onAdded_;
  TreeViewObserver* observer_ = nullptr;
};

}  // namespace platform
