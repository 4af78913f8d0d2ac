#include "journal_replay.h"

#include <fmt/printf.h>

#include <unordered_set>

namespace exporter {

namespace {

void FreeRecordsBelow(TXMLTreeNode& node) {
  // Iterative: a crawl's tree may be deeper than the stack allows for recursion.
  std::vector<TXMLTreeNode*> open{&node};
  while (!open.empty()) {
    TXMLTreeNode* n = open.back();
    open.pop_back();
    delete n->Data;
    n->Data = nullptr;
    for (const auto& child : n->Nodes) open.push_back(child.get());
  }
}

std::size_t UrlHash(const std::u16string& url) { return std::hash<std::u16string>{}(url); }

}  // namespace

TReplayedCrawl::TReplayedCrawl() : ownRoot_(std::make_unique<TXMLTreeNode>()), root_(ownRoot_.get()) {}

TReplayedCrawl::TReplayedCrawl(TLoadedTree tree, const std::vector<std::int32_t>& queueIds)
    : loaded_(std::move(tree)), root_(&loaded_->Root()) {
  std::unordered_set<std::int32_t> ids;
  loaded_->ForEachRecord([&](TBaseCategory& record) {
    if (const auto* category = dynamic_cast<const TCategory*>(&record)) ids.insert(category->ID);
  });
  for (const std::int32_t id : queueIds) {
    if (ids.contains(id)) pending_.push_back(id);
  }
}

TReplayedCrawl::~TReplayedCrawl() {
  if (ownRoot_) FreeRecordsBelow(*ownRoot_);
}

TPendingIds TReplayedCrawl::Pending() const { return TPendingIds(pending_.begin(), pending_.end()); }

void TReplayedCrawl::Index(TXMLTreeNode& node, TXMLTreeNode* parent) {
  parents_.emplace(&node, parent);
  if (const auto* category = dynamic_cast<const TCategory*>(node.Data)) nodesByUrl_.emplace(UrlHash(category->Url), &node);
}

bool TReplayedCrawl::ComesBefore(const TXMLTreeNode* a, const TXMLTreeNode* b) const {
  // The paths of child positions from the root; a prefix (an ancestor) comes first.
  const auto path = [&](const TXMLTreeNode* n) {
    std::vector<std::size_t> p;
    while (n != root_) {
      const TXMLTreeNode* parent = parents_.at(n);
      std::size_t i = 0;
      while (parent->Nodes[i].get() != n) ++i;
      p.push_back(i);
      n = parent;
    }
    return std::vector<std::size_t>(p.rbegin(), p.rend());
  };
  return path(a) < path(b);
}

TXMLTreeNode* TReplayedCrawl::FindCategoryNode(const std::u16string& url) {
  if (!indexed_) {
    indexed_ = true;
    std::vector<TXMLTreeNode*> open{root_};
    while (!open.empty()) {
      TXMLTreeNode* n = open.back();
      open.pop_back();
      for (const auto& child : n->Nodes) {
        Index(*child, n);
        open.push_back(child.get());
      }
    }
  }
  TXMLTreeNode* first = nullptr;
  const auto [begin, end] = nodesByUrl_.equal_range(UrlHash(url));
  for (auto it = begin; it != end; ++it) {
    TXMLTreeNode* candidate = it->second;
    if (static_cast<const TCategory*>(candidate->Data)->Url != url) continue;
    if (!first || ComesBefore(candidate, first)) first = candidate;
  }
  return first;
}

void TReplayedCrawl::Add(TXMLTreeNode* parent, TBaseCategory* record) {
  auto node = std::make_unique<TXMLTreeNode>();
  node->Data = record;
  TXMLTreeNode& added = *node;
  parent->AddNode(std::move(node));
  if (indexed_) Index(added, parent);
}

void TReplayedCrawl::Apply(const TJournalContents& journal, const std::string& fileName) {
  TJournalCheck check(std::move(pending_), root_->Nodes.empty(), fileName);
  for (std::size_t i = 0; i < journal.pages.size(); ++i) {
    const TJournalPage& page = journal.pages[i];
    check.Page(page, journal.pageOffsets[i]);
    TXMLTreeNode* parent = nullptr;
    if (!page.root) parent = FindCategoryNode(page.location);
    if (parent == nullptr) parent = root_;
    for (const TJournalItem& item : page.items) {
      if (item.kind == TJournalItem::jkSymbolic) {
        Add(parent, new TSymbolicCategory(-1, item.name, item.url));
      } else {
        Add(parent, new TCategory(item.id, item.name, item.url, item.content));
      }
    }
  }
  pending_ = check.Pending();
}

}  // namespace exporter
