#pragma once
// The tree view's nodes (platform::TreeView) as a Qt item model, so that a QTreeView shows them.
// Each index points at its TreeNode (internalPointer) and its row is the node's IndexInParent();
// one column, the node's caption. The model follows the tree through TreeViewObserver: every
// insert and removal is announced as exactly that row, a clear as a reset. Nothing is cached and
// every call is O(1) (captions are converted when the view asks for them), so the model keeps up
// with a tree of 1,000,000 nodes.
//
// Ownership: borrows tree, which must outlive the model; the model registers itself as the tree's
// observer and unregisters in its destructor. Window thread only.

#include <QAbstractItemModel>

#include "platform/tree_view.h"

namespace platform::qt {

class QtTreeModel : public QAbstractItemModel, public TreeViewObserver {
 public:
  explicit QtTreeModel(TreeView& tree, QObject* parent = nullptr);
  ~QtTreeModel() override;

  // The node of index, or nullptr for the invisible root.
  static TreeNode* NodeOf(const QModelIndex& index) { return static_cast<TreeNode*>(index.internalPointer()); }
  // The index of node; an invalid index for nullptr (the root).
  QModelIndex IndexOf(TreeNode* node) const;

  QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  bool hasChildren(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  void BeforeInsert(TreeNode* parent, std::size_t row) override;
  void AfterInsert(TreeNode* node) override;
  void BeforeRemove(TreeNode* node) override;
  void AfterRemove() override;
  void BeforeClear() override;
  void AfterClear() override;

 private:
  TreeView& tree_;
};

}  // namespace platform::qt
