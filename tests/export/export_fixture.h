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

namespace export_test {

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

class ExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedLevel_ = LogLevel;
    LogLevel = llWarn;
    InitializeXmlPersistance();
    RegisterModelClasses();
    dir_ = fs::temp_directory_path() / ("wexa-export-test-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    fs::remove_all(dir_);
    FinalizeXmlPersistance();
    LogLevel = savedLevel_;
  }

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

  fs::path dir_;

 private:
  TLogLevel savedLevel_ = llAll;
};

}  // namespace export_test
