#pragma once
// Unit helper: the category records, the directory store and the category tree file.
//
// Records are owned by the tree-view node whose data they are; the store and the crawl queue hold
// plain pointers and never free. Single-threaded: the window's thread only.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/XmlPersistance.h"
#include "platform/toolkit.h"
#include "platform/tree_view.h"

// What both kinds of record share: the category's display name and absolute address. Never saved as
// an object of its own, so it is not registered.
class TBaseCategory : public TXMLPersistentObject {
  WEXA_XML_CLASS(TBaseCategory)
 public:
  TBaseCategory() = default;
  explicit TBaseCategory(TXmlBlank blank) : TXMLPersistentObject(blank) {}
  std::u16string Url;
  std::u16string Name;
};

// A real category: a directory page that the crawl visits and counts.
class TCategory : public TBaseCategory {
  WEXA_XML_CLASS(TCategory)
 public:
  TCategory() = default;
  explicit TCategory(TXmlBlank blank) : TBaseCategory(blank) {}
  TCategory(std::int32_t id, std::u16string name, std::u16string url, std::int32_t content);
  // The count printed beside the category's link on its parent page; -1 when none was read.
  std::int32_t Content = 0;
  // Handed out by the window in discovery order, starting at 1.
  std::int32_t ID = 0;
};

// A cross-link ("@") to a category elsewhere in the directory. Never visited.
class TSymbolicCategory : public TBaseCategory {
  WEXA_XML_CLASS(TSymbolicCategory)
 public:
  TSymbolicCategory() = default;
  explicit TSymbolicCategory(TXmlBlank blank) : TBaseCategory(blank) {}
  TSymbolicCategory(std::int32_t parent, std::u16string name, std::u16string url);
  // -1 in every record the crawl makes; only stored and restored.
  std::int32_t Parent = 0;
};

using TCategories = std::vector<TCategory*>;
using TSymbolicCategories = std::vector<TSymbolicCategory*>;

// The flat index of all records, in order of addition. Owns none of them.
//
// RemoveCategory only notes the record; the arrays drop noted records the next time they are read
// or changed. That keeps the end-of-crawl pass linear when it removes many records, and it is
// invisible to callers: every read goes through Categories() and SymbolicCategories().
//
// Saved as its two arrays, Categories and SymbolicCategories. They refer to records and never own
// them: after a TWexa has been loaded on its own, whoever loaded it frees the records.
class TWexa : public TXMLPersistentObject {
  WEXA_XML_CLASS(TWexa)
 public:
  TWexa() = default;
  explicit TWexa(TXmlBlank blank) : TXMLPersistentObject(blank) {}

  // Appends a TCategory (or a class derived from it) to Categories, any other record to
  // SymbolicCategories.
  void AddCategory(TBaseCategory* record);
  // Empties both arrays; frees nothing.
  void Clear();
  // The first real category with that ID, or nullptr. Symbolic categories are not searched.
  TCategory* FindCategoryByID(std::int32_t id) const;
  // Removes the first element that is this very record from its array, keeping the order of the
  // others. A record the store does not hold changes nothing. The record is not freed; the caller
  // may free it right after this returns.
  void RemoveCategory(TBaseCategory* record);

  // Every real category added and not removed, in order of addition.
  const TCategories& Categories() const;
  // Every symbolic category added and not removed, in order of addition.
  const TSymbolicCategories& SymbolicCategories() const;

 private:
  void Compact() const;

  mutable TCategories categories_;
  mutable TSymbolicCategories symbolicCategories_;
  // Records noted for removal from each array, with how many first occurrences to drop. The
  // pointers are only compared, never followed: the records may be gone already.
  mutable std::unordered_map<const TBaseCategory*, int> realRemovals_;
  mutable std::unordered_map<const TBaseCategory*, int> symbolicRemovals_;
};

// ---- Category tree file ------------------------------------------------------------------------
//
// The tree file mirrors the tree view: a root TXMLTreeNode without Data whose Nodes are the top-level
// nodes, and below it one TXMLTreeNode per tree-view node, in order, with the node's record as Data.
//
// Decisions for files that a save never writes or would have to write specially:
// - An empty tree view saves as a root whose Nodes are empty, and such a file loads as an empty tree.
// - A node below the root without Data (a file edited by hand) makes the whole load fail with
//   EXmlPersistance naming the file, before any tree-view node is added and before any record reaches
//   the store. The save refuses the mirror image of it: a tree-view node whose data is not a
//   category record.
// - Data on the root is ignored on load (and freed); a save never writes any.

class TXMLTreeNode;
using TXMLTreeNodeList = std::vector<std::unique_ptr<TXMLTreeNode>>;

// One node of the saved tree. Owns its child nodes, never its Data: while saving, Data is the record of
// a tree-view node; after a load the records are handed to the new tree-view nodes.
class TXMLTreeNode : public TXMLPersistentObject {
  WEXA_XML_CLASS(TXMLTreeNode)
 public:
  TXMLTreeNode() = default;
  explicit TXMLTreeNode(TXmlBlank blank) : TXMLPersistentObject(blank) {}

  // Appends node as the last child; this node owns it from now on.
  void AddNode(std::unique_ptr<TXMLTreeNode> node) { Nodes.push_back(std::move(node)); }

  TXMLTreeNodeList Nodes;
  TBaseCategory* Data = nullptr;
};

// Processes the window's pending messages; an empty function does nothing.
using TProcessMessages = std::function<void()>;

// A new TXMLTreeNode mirroring node and its subtree; the caller owns it. Data refers to the records
// themselves. processMessages runs once per node; the caller keeps the subtree unchanged meanwhile.
// Throws EXmlPersistance when a node's data is not a category record.
std::unique_ptr<TXMLTreeNode> TreeNodeToXML(const platform::TreeNode* node,
                                            const TProcessMessages& processMessages = {});

// Writes the whole tree view to fileName (through a temporary file beside it, so that a failed save
// leaves an earlier file whole). Processes messages once per node and once before and after the walk
// over the top-level nodes. Throws EXmlPersistance when the tree view changes while messages are
// processed (nothing is written then) or when a node's data is not a category record, and the file
// errors of TXmlPersistance::SaveToFile.
void SaveTree(platform::TreeView& tree, const std::string& fileName, const TProcessMessages& processMessages = {});
void SaveTree(platform::TreeView& tree, const std::string& fileName, platform::IApplication& application);

// Appends a tree-view node for xmlNode below parent (nullptr: at the top level), then its children,
// each node before its children. The caption is the record's Name, followed by "@" for a symbolic
// category. Each record passes to its new tree-view node, and xmlNode's Data is set to nullptr so that
// it has one owner; it is also added to store when one is given. Throws EXmlPersistance, adding
// nothing, when xmlNode has no Data.
void AddXMLNodeToTree(platform::TreeView& tree, platform::TreeNode* parent, TXMLTreeNode& xmlNode, TWexa* store);

// A tree file that has been read and checked but not shown yet. Owns the loaded records until
// AddTo hands them to tree-view nodes; destroying it frees whatever was not handed over.
class TLoadedTree {
 public:
  // Reads and checks fileName. Throws what TXmlPersistance::LoadFromFile throws, and EXmlPersistance
  // naming the file when it does not hold a TXMLTreeNode or when a node below the root has no Data.
  // Nothing loaded survives a failure. Every error is marked as an input error of fileName
  // (Exception::SetInput).
  static TLoadedTree Read(const std::string& fileName);

  TLoadedTree(TLoadedTree&&) = default;
  TLoadedTree& operator=(TLoadedTree&&) = default;
  ~TLoadedTree();

  // The loaded root; its Nodes are the top-level nodes.
  const TXMLTreeNode& Root() const { return *root_; }
  // Calls f(record) for every record not yet handed over, each node before its children: the order
  // in which AddTo adds them to a store.
  void ForEachRecord(const std::function<void(TBaseCategory&)>& f) const;
  // Appends every node to tree at the top level (AddXMLNodeToTree) and adds the records to store
  // when one is given. Afterwards the tree view's nodes own the records.
  void AddTo(platform::TreeView& tree, TWexa* store);

 private:
  explicit TLoadedTree(std::unique_ptr<TXMLTreeNode> root) : root_(std::move(root)) {}
  static TLoadedTree ReadTree(const std::string& fileName);
  std::unique_ptr<TXMLTreeNode> root_;
};

// Reads fileName and appends its tree to the tree view (at the top level) and its records to store,
// when one is given. The caller empties both first if it wants the file's tree alone. Throws as
// TLoadedTree::Read; then neither the tree view nor the store has changed.
void LoadTree(platform::TreeView& tree, const std::string& fileName, TWexa* store);

// Registers the persistable classes with the XML class registry, in this order: TCategory,
// TSymbolicCategory, TWexa, TXMLTreeNode. Call once at start-up, after InitializeXmlPersistance.
void RegisterModelClasses();

// ---- Published properties ----------------------------------------------------------------------

WEXA_XML_PUBLISH(TBaseCategory, TXMLPersistentObject,
                 XmlProperty("Name", &TBaseCategory::Name),
                 XmlProperty("Url", &TBaseCategory::Url))
WEXA_XML_PUBLISH(TCategory, TBaseCategory,
                 XmlProperty("ID", &TCategory::ID),
                 XmlProperty("Content", &TCategory::Content))
WEXA_XML_PUBLISH(TSymbolicCategory, TBaseCategory,
                 XmlProperty("Parent", &TSymbolicCategory::Parent))
// The arrays are read through Compact, so that a record noted for removal is never written.
WEXA_XML_PUBLISH(TWexa, TXMLPersistentObject,
                 XmlArray<TWexa>("Categories",
                                 [](TWexa& w) -> TCategories& {
                                   w.Compact();
                                   return w.categories_;
                                 },
                                 xoReferenced),
                 XmlArray<TWexa>("SymbolicCategories",
                                 [](TWexa& w) -> TSymbolicCategories& {
                                   w.Compact();
                                   return w.symbolicCategories_;
                                 },
                                 xoReferenced))
WEXA_XML_PUBLISH(TXMLTreeNode, TXMLPersistentObject,
                 XmlProperty("Nodes", &TXMLTreeNode::Nodes),
                 XmlObject("Data", &TXMLTreeNode::Data, xoReferenced))
