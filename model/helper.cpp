#include "model/helper.h"


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
