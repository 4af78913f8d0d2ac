#pragma once
// A folder of its own for every export test, with the persistence started and helpers to write
// trees through the model's own save.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "common/XmlPersistance.h"
#include "common/logging.h"
#include "model/helper.h"
#include "platform/tree_view.h"
#include "tests/support/model_environment.h"

namespace export_test {

namespace fs = std::filesystem;

using test_support::ReadFile;
using test_support::WriteFile;

class ExportTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  // The names in the test's folder, sorted.
  std::vector<std::string> FolderEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Builds a tree view with build (which adds nodes through the helpers below) and saves it to
  // fileName in the folder with SaveTree. Returns the file's path.
  std::string SaveBuiltTree(const std::string& fileName, const std::function<void(platform::TreeView&)>& build) {
    platform::TreeView tree;
    tree.SetOnDeletion([](platform::TreeNode* n) {
      delete n->Data();
      n->SetData(nullptr);
    });
    build(tree);
    const std::string path = Path(fileName);
    SaveTree(tree, path);
    return path;
  }

  static platform::TreeNode* Real(platform::TreeView& tree, platform::TreeNode* parent, int id, const std::u16string& name,
                                  const std::u16string& url, int content) {
    return tree.AddChildObject(parent, "x", new TCategory(id, name, url, content));
  }
  static platform::TreeNode* Symbolic(platform::TreeView& tree, platform::TreeNode* parent, const std::u16string& name,
                                      const std::u16string& url) {
    return tree.AddChildObject(parent, "x", new TSymbolicCategory(-1, name, url));
  }

  test_support::ModelPersistence persistence_;
  test_support::TestFolder folder_{"wexa-export-test-"};
  const fs::path& dir_ = folder_.Path();
};

}  // namespace export_test
