#pragma once
// Category records and the directory store.
//
// Records are owned by the tree-view node whose data they are; the store and the crawl queue hold
// plain pointers and never free. Single-threaded: the window's thread only.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/XmlPersistance.h"

// What both kinds of record share: the category's display name and absolute address.
class TBaseCategory : public TXMLPersistentObject {
 public:
  TBaseCategory() = default;
  std::u16string Url;
  std::u16string Name;
};

// A real category: a directory page that the crawl visits and counts.
class TCategory : public TBaseCategory {
 public:
  TCategory() = default;
  TCategory(std::int32_t id, std::u16string name, std::u16string url, std::int32_t content);
  // The count printed beside the category's link on its parent page; -1 when none was read.
  std::int32_t Content = 0;
  // Handed out by the window in discovery order, starting at 1.
  std::int32_t ID = 0;
};

// A cross-link ("@") to a category elsewhere in the directory. Never visited.
class TSymbolicCategory : public TBaseCategory {
 public:
  TSymbolicCategory() = default;
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
class TWexa : public TXMLPersistentObject {
 public:
  TWexa() = default;

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
