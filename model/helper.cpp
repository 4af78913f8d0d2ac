#include "model/helper.h"

#include <fmt/printf.h>

#include "platform/text.h"


TCategory::TCategory(std::int32_t id, std::u16string name, std::u16string url, std::int32_t content)
    : Content(content), ID(id) {
  Name = std::move(name);
  Url = std::move(url);
}

TSymbolicCategory::TSymbolicCategory(std::int32_t parent, std::u16string name, std::u16string url)
    : Parent(parent) {
  Name = std::move(name);
  Url = std::move(url);
}

void TWexa::AddCategory(TBaseCategory* record) {
  Compact();
  if (auto* category = dynamic_cast<TCategory*>(record)) {
    categories_.push_back(category);
  } else {
    symbolicCategories_.push_back(static_cast<TSymbolicCategory*>(record));
  }
}

void TWexa::Clear() {
  categories_.clear();
  symbolicCategories_.clear();
  realRemovals_.clear();
  symbolicRemovals_.clear();
}

TCategory* TWexa::FindCategoryByID(std::int32_t id) const {
  for (TCategory* category : Categories())
    if (category->ID == id) return category;
  return nullptr;
}

void TWexa::RemoveCategory(TBaseCategory* record) {
  // The class is decided now: the caller may free the record before the arrays are compacted.
  if (dynamic_cast<TCategory*>(record)) {
    ++realRemovals_[record];
  } else {
    ++symbolicRemovals_[record];
  }
}

const TCategories& TWexa::Categories() const {
  Compact();
  return categories_;
}

const TSymbolicCategories& TWexa::SymbolicCategories() const {
  Compact();
  return symbolicCategories_;
}

namespace {
// Drops, in one pass, the first n occurrences of every record noted with count n.
template <typename T>
void DropNoted(std::vector<T*>& items, std::unordered_map<const TBaseCategory*, int>& removals) {
  std::size_t out = 0;
  for (T* item : items) {
    const auto it = removals.find(item);
    if (it != removals.end() && it->second > 0) {
      --it->second;
      continue;
    }
    items[out++] = item;
  }
  items.resize(out);
}
}  // namespace

void TWexa::Compact() const {
  if (!realRemovals_.empty()) DropNoted(categories_, realRemovals_);
  if (!symbolicRemovals_.empty()) DropNoted(symbolicCategories_, symbolicRemovals_);
  realRemovals_.clear();
  symbolicRemovals_.clear();
}

// ---- Category tree file ------------------------------------------------------------------------

namespace {

TBaseCategory* RecordOf(const platform::TreeNode* node) {
  auto* record = dynamic_cast<TBaseCategory*>(node->Data());
  if (record == nullptr) {
    throw EXmlPersistance(
        fmt::sprintf("The tree node \"%s\" has no category record, so the tree cannot be saved.", node->Text()));
  }
  return record;
}

// Mirrors the tree view node by node, processing messages once per node as the window asks. When a
// tree is given, any change to it while messages were processed ends the walk with an error: the
// nodes and records already mirrored may be gone.
class TTreeMirror {
 public:
  TTreeMirror(const platform::TreeView* tree, std::string fileName, const TProcessMessages& processMessages)
      : tree_(tree), fileName_(std::move(fileName)), processMessages_(processMessages) {
    if (tree_) version_ = tree_->Version();
  }

  std::unique_ptr<TXMLTreeNode> Node(const platform::TreeNode* node) {
    auto result = std::make_unique<TXMLTreeNode>();
    result->Data = RecordOf(node);
    const platform::TreeNode* child = node->GetFirstChild();
    Yield();
    for (; child != nullptr; child = child->GetNextSibling()) result->AddNode(Node(child));
    return result;
  }

  void Yield() {
    if (!processMessages_) return;
    processMessages_();
    if (tree_ && tree_->Version() != version_) {
      throw EXmlPersistance(fmt::sprintf(
          "The tree view changed while %s was being saved; the file was not written.", fileName_));
    }
  }

 private:
  const platform::TreeView* tree_;
  std::uint64_t version_ = 0;
  std::string fileName_;
  const TProcessMessages& processMessages_;
};

}  // namespace

std::unique_ptr<TXMLTreeNode> TreeNodeToXML(const platform::TreeNode* node, const TProcessMessages& processMessages) {
  return TTreeMirror(nullptr, "", processMessages).Node(node);
}

void SaveTree(platform::TreeView& tree, const std::string& fileName, const TProcessMessages& processMessages) {
  TTreeMirror mirror(&tree, fileName, processMessages);
  auto root = std::make_unique<TXMLTreeNode>();
  const platform::TreeNode* node = tree.GetFirstNode();
  mirror.Yield();
  for (; node != nullptr; node = node->GetNextSibling()) root->AddNode(mirror.Node(node));
  mirror.Yield();
  TXmlPersistance::SaveToFile(root.get(), fileName);
  // The root frees every TXMLTreeNode and no record.
}

void SaveTree(platform::TreeView& tree, const std::string& fileName, platform::IApplication& application) {
  SaveTree(tree, fileName, [&application] { application.ProcessMessages(); });
}

void AddXMLNodeToTree(platform::TreeView& tree, platform::TreeNode* parent, TXMLTreeNode& xmlNode, TWexa* store) {
  TBaseCategory* record = xmlNode.Data;
  if (record == nullptr) throw EXmlPersistance("A tree file node without a category record cannot be shown.");
  std::string caption = platform::ToUtf8(record->Name);
  if (dynamic_cast<TSymbolicCategory*>(record)) caption += "@";
  platform::TreeNode* node = tree.AddChildObject(parent, std::move(caption), record);
  xmlNode.Data = nullptr;  // the tree-view node owns the record now
  if (store) store->AddCategory(record);
  for (const auto& child : xmlNode.Nodes) AddXMLNodeToTree(tree, node, *child, store);
}

namespace {

// Calls f(node) for every node below root, each before its children, without recursion. Node is
// TXMLTreeNode or const TXMLTreeNode.
template <class Node, class F>
void ForEachBelow(Node& root, F f) {
  std::vector<Node*> todo;
  for (auto it = root.Nodes.rbegin(); it != root.Nodes.rend(); ++it) todo.push_back(it->get());
  while (!todo.empty()) {
    Node* node = todo.back();
    todo.pop_back();
    f(*node);
    for (auto it = node->Nodes.rbegin(); it != node->Nodes.rend(); ++it) todo.push_back(it->get());
  }
}

void FreeRecords(TXMLTreeNode& root) {
  delete root.Data;
  root.Data = nullptr;
  ForEachBelow(root, [](TXMLTreeNode& node) {
    delete node.Data;
    node.Data = nullptr;
  });
}

}  // namespace

TLoadedTree TLoadedTree::Read(const std::string& fileName) {
  try {
    return ReadTree(fileName);
  } catch (Exception& error) {
    // Whatever the file holds is the user's input: its errors name it, in one line.
    if (error.InputFile().empty()) error.SetInput(fileName);
    throw;
  }
}

TLoadedTree TLoadedTree::ReadTree(const std::string& fileName) {
  std::unique_ptr<TXMLPersistentObject> loaded = TXmlPersistance::LoadFromFile(fileName);
  auto* root = dynamic_cast<TXMLTreeNode*>(loaded.get());
  if (root == nullptr) {
    // The store's arrays only refer to their records; nothing else loaded on its own holds any.
    if (auto* store = dynamic_cast<TWexa*>(loaded.get())) {
      for (TCategory* c : store->Categories()) delete c;
      for (TSymbolicCategory* s : store->SymbolicCategories()) delete s;
    }
    throw EXmlPersistance(fmt::sprintf("The tree file %s holds a %s, not a TXMLTreeNode; nothing was loaded.",
                                       fileName, loaded->XmlClass().Name()));
  }
  TLoadedTree result{std::unique_ptr<TXMLTreeNode>(root)};
  loaded.release();
  delete root->Data;
  root->Data = nullptr;
  int index = 0;
  int missing = 0;
  ForEachBelow(*root, [&](const TXMLTreeNode& node) {
    ++index;
    if (node.Data == nullptr && missing == 0) missing = index;
  });
  if (missing != 0) {
    throw EXmlPersistance(fmt::sprintf(
        "The tree file %s has a node without a category record (node %d in tree order); nothing was loaded.",
        fileName, missing));
  }
  return result;
}

TLoadedTree::~TLoadedTree() {
  if (root_) FreeRecords(*root_);
}

void TLoadedTree::ForEachRecord(const std::function<void(TBaseCategory&)>& f) const {
  ForEachBelow(*root_, [&](const TXMLTreeNode& node) {
    if (node.Data) f(*node.Data);
  });
}

void TLoadedTree::AddTo(platform::TreeView& tree, TWexa* store) {
  for (const auto& node : root_->Nodes) AddXMLNodeToTree(tree, nullptr, *node, store);
}

void LoadTree(platform::TreeView& tree, const std::string& fileName, TWexa* store) {
  TLoadedTree::Read(fileName).AddTo(tree, store);
}

void RegisterModelClasses() {
  RegisterXmlClass<TCategory>();
  RegisterXmlClass<TSymbolicCategory>();
  RegisterXmlClass<TWexa>();
  RegisterXmlClass<TXMLTreeNode>();
}
