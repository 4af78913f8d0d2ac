// The tree view's nodes seen through the Qt item model while nodes are added, deleted and cleared,
// checked by Qt's own model tester and against the tree itself.

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTreeView>
#include <functional>

#include "platform/qt/tree_model.h"

using platform::TreeNode;
using platform::TreeView;
using platform::qt::QtTreeModel;

namespace {

// Collects the model tester's complaints (it reports them as warnings).
std::vector<std::string>* complaints = nullptr;

void CollectWarnings(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (complaints && type != QtDebugMsg && type != QtInfoMsg) complaints->push_back(message.toStdString());
}

class TreeModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    complaints = &warnings;
    previousHandler = qInstallMessageHandler(CollectWarnings);
    tree.SetOnDeletion([this](TreeNode* node) { deleted.push_back(node->Text()); });
    model = std::make_unique<QtTreeModel>(tree);
    tester = std::make_unique<QAbstractItemModelTester>(model.get(),
                                                        QAbstractItemModelTester::FailureReportingMode::Warning);
    view.setModel(model.get());
    view.show();
  }
  void TearDown() override {
    view.setModel(nullptr);
    tester.reset();
    model.reset();
    qInstallMessageHandler(previousHandler);
    complaints = nullptr;
    EXPECT_TRUE(warnings.empty()) << warnings.front();
  }

  // The model's rows below parent, recursively, as "caption(children...)".
  std::string Shape(const QModelIndex& parent = QModelIndex()) const {
    std::string shape;
    for (int row = 0; row < model->rowCount(parent); ++row) {
      const QModelIndex index = model->index(row, 0, parent);
      EXPECT_EQ(model->parent(index), parent);
      EXPECT_EQ(QtTreeModel::NodeOf(index)->IndexInParent(), static_cast<std::size_t>(row));
      if (!shape.empty()) shape += ' ';
      shape += index.data().toString().toStdString();
      if (model->rowCount(index) > 0) shape += "(" + Shape(index) + ")";
    }
    return shape;
  }

  std::vector<std::string> warnings;
  QtMessageHandler previousHandler = nullptr;
  // Before the tree: the tree's destructor still runs the deletion hook.
  std::vector<std::string> deleted;
  TreeView tree;
  std::unique_ptr<QtTreeModel> model;
  std::unique_ptr<QAbstractItemModelTester> tester;
  QTreeView view;
};

TEST_F(TreeModelTest, AddsAnnounceOneRowUnderTheRightParent) {
  QSignalSpy inserted(model.get(), &QAbstractItemModel::rowsInserted);
  QSignalSpy reset(model.get(), &QAbstractItemModel::modelReset);
  TreeNode* arts = tree.AddChildObject(nullptr, "Arts", nullptr);
  TreeNode* games = tree.AddChildObject(nullptr, "Games", nullptr);
  view.expandAll();
  TreeNode* music = tree.AddChildObject(arts, "Music", nullptr);
  tree.AddChildObject(arts, "Film", nullptr);
  tree.AddChildObject(music, "Jazz", nullptr);
  tree.AddChildObject(games, "Chess@", nullptr);
  EXPECT_EQ(Shape(), "Arts(Music(Jazz) Film) Games(Chess@)");
  ASSERT_EQ(inserted.count(), 6);
  EXPECT_EQ(reset.count(), 0);
  // The fourth insert: row 1 under Arts.
  const QList<QVariant> fourth = inserted.at(3);
  EXPECT_EQ(QtTreeModel::NodeOf(fourth.at(0).toModelIndex()), arts);
  EXPECT_EQ(fourth.at(1).toInt(), 1);
  EXPECT_EQ(fourth.at(2).toInt(), 1);
  EXPECT_EQ(model->IndexOf(music), model->index(0, 0, model->index(0, 0)));
  EXPECT_FALSE(model->IndexOf(nullptr).isValid());
}

TEST_F(TreeModelTest, DeletingASubtreeKeepsTheRowsAndPersistentIndexesRight) {
  TreeNode* arts = tree.AddChildObject(nullptr, "Arts", nullptr);
  TreeNode* music = tree.AddChildObject(arts, "Music", nullptr);
  tree.AddChildObject(music, "Jazz", nullptr);
  tree.AddChildObject(music, "Blues", nullptr);
  TreeNode* film = tree.AddChildObject(arts, "Film", nullptr);
  tree.AddChildObject(arts, "Dance", nullptr);
  view.expandAll();
  const QPersistentModelIndex filmIndex(model->IndexOf(film));
  const QPersistentModelIndex jazzIndex(model->index(0, 0, model->IndexOf(music)));
  QSignalSpy removed(model.get(), &QAbstractItemModel::rowsRemoved);

  tree.Delete(music);

  EXPECT_EQ(Shape(), "Arts(Film Dance)");
  EXPECT_EQ(deleted, (std::vector<std::string>{"Jazz", "Blues", "Music"}));
  ASSERT_EQ(removed.count(), 1);
  EXPECT_EQ(removed.at(0).at(1).toInt(), 0);
  EXPECT_FALSE(jazzIndex.isValid()) << "an index inside the deleted subtree goes with it";
  ASSERT_TRUE(filmIndex.isValid());
  EXPECT_EQ(filmIndex.row(), 0);
  EXPECT_EQ(QtTreeModel::NodeOf(filmIndex), film);

  tree.Delete(tree.GetFirstNode()->Child(1));
  EXPECT_EQ(Shape(), "Arts(Film)");
}

TEST_F(TreeModelTest, ClearResetsTheModelAndRunsTheHookForEveryNode) {
  TreeNode* arts = tree.AddChildObject(nullptr, "Arts", nullptr);
  tree.AddChildObject(tree.AddChildObject(arts, "Music", nullptr), "Jazz", nullptr);
  tree.AddChildObject(nullptr, "Games", nullptr);
  view.expandAll();
  QSignalSpy reset(model.get(), &QAbstractItemModel::modelReset);
  tree.Clear();
  EXPECT_EQ(reset.count(), 1);
  EXPECT_EQ(model->rowCount(), 0);
  EXPECT_EQ(deleted.size(), 4u);
  // The model goes on after a clear.
  tree.AddChildObject(tree.AddChildObject(nullptr, "Home", nullptr), "Kids", nullptr);
  EXPECT_EQ(Shape(), "Home(Kids)");
}

TEST_F(TreeModelTest, OutOfRangeRequestsGiveInvalidIndexes) {
  tree.AddChildObject(nullptr, "Arts", nullptr);
  EXPECT_FALSE(model->index(1, 0).isValid());
  EXPECT_FALSE(model->index(0, 1).isValid());
  EXPECT_FALSE(model->index(-1, 0).isValid());
  EXPECT_EQ(model->rowCount(model->index(0, 0)), 0);
  EXPECT_EQ(model->columnCount(), 1);
  EXPECT_FALSE(model->hasChildren(model->index(0, 0)));
  EXPECT_TRUE(model->hasChildren());
}

TEST(TreeModelLifetimeTest, TheModelLeavesTheTreeWhenDestroyed) {
  TreeView tree;
  {
    QtTreeModel model(tree);
    tree.AddChildObject(nullptr, "Arts", nullptr);
    EXPECT_EQ(model.rowCount(), 1);
  }
  // Without the observer, changes reach no model.
  tree.AddChildObject(nullptr, "Games", nullptr);
  tree.Clear();
  EXPECT_EQ(tree.Count(), 0u);
}

}  // namespace
