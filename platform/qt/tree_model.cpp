#include "platform/qt/tree_model.h"

namespace platform::qt {

QtTreeModel::QtTreeModel(TreeView& tree, QObject* parent) : QAbstractItemModel(parent), tree_(tree) {
  tree_.SetObserver(this);
}

QtTreeModel::~QtTreeModel() { tree_.SetObserver(nullptr); }

QModelIndex QtTreeModel::IndexOf(TreeNode* node) const {
  if (!node) return QModelIndex();
  return createIndex(static_cast<int>(node->IndexInParent()), 0, node);
}

QModelIndex QtTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (row < 0 || column != 0 || parent.column() > 0) return QModelIndex();
  const TreeNode* parentNode = NodeOf(parent);
  const std::size_t count = parentNode ? parentNode->ChildCount() : tree_.TopLevelCount();
  const auto r = static_cast<std::size_t>(row);
  if (r >= count) return QModelIndex();
  return createIndex(row, 0, parentNode ? parentNode->Child(r) : tree_.TopLevel(r));
}

QModelIndex QtTreeModel::parent(const QModelIndex& child) const {
  const TreeNode* node = NodeOf(child);
  return node ? IndexOf(node->Parent()) : QModelIndex();
}

int QtTreeModel::rowCount(const QModelIndex& parent) const {
  if (parent.column() > 0) return 0;
  const TreeNode* node = NodeOf(parent);
  return static_cast<int>(node ? node->ChildCount() : tree_.TopLevelCount());
}

int QtTreeModel::columnCount(const QModelIndex&) const { return 1; }

bool QtTreeModel::hasChildren(const QModelIndex& parent) const { return rowCount(parent) > 0; }

QVariant QtTreeModel::data(const QModelIndex& index, int role) const {
  const TreeNode* node = NodeOf(index);
  if (!node || role != Qt::DisplayRole) return QVariant();
  return QString::fromStdString(node->Text());
}

Qt::ItemFlags QtTreeModel::flags(const QModelIndex& index) const {
  // Leaves are not marked ItemNeverHasChildren: the crawl hangs children under them later.
  return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

void QtTreeModel::BeforeInsert(TreeNode* parent, std::size_t row) {
  beginInsertRows(IndexOf(parent), static_cast<int>(row), static_cast<int>(row));
}

void QtTreeModel::AfterInsert(TreeNode*) { endInsertRows(); }

void QtTreeModel::BeforeRemove(TreeNode* node) {
  const int row = static_cast<int>(node->IndexInParent());
  beginRemoveRows(IndexOf(node->Parent()), row, row);
}

void QtTreeModel::AfterRemove() { endRemoveRows(); }

void QtTreeModel::BeforeClear() { beginResetModel(); }

void QtTreeModel::AfterClear() { endResetModel(); }

}  // namespace platform::qt
