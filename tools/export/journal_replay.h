#pragma once
// A saved crawl as it stands with its crawl journal: the saved tree (or an empty one) and its pending
// queue entries, with the journal's pages applied as the crawler's own replay applies them. The
// export of a running or killed crawl is then current.
//
// One thread. The XML persistence must be started and the model's classes registered.

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/journal.h"
#include "export_rows.h"
#include "model/helper.h"

namespace exporter {

class TReplayedCrawl {
 public:
  // An empty crawl: no records, nothing pending (a journal that names no pair starts here).
  TReplayedCrawl();
  // The saved tree with the IDs of its queue file in queue order; IDs that no real category of the
  // tree has are left out, as the crawler's load leaves them out.
  TReplayedCrawl(TLoadedTree tree, const std::vector<std::int32_t>& queueIds);
  TReplayedCrawl(const TReplayedCrawl&) = delete;
  TReplayedCrawl& operator=(const TReplayedCrawl&) = delete;
  ~TReplayedCrawl();

  // Applies the pages of journal in order: a page taken from the queue takes the front entry when it
  // has the page's ID; its records go below the first real category, in tree order, whose address is
  // exactly the page's (none, or the home page: the top level); real categories it queued become
  // pending. Throws EJournalError naming fileName and the page's offset when a page does not continue
  // the crawl (as the crawler's load refuses it); the crawl may then hold part of the pages.
  void Apply(const TJournalContents& journal, const std::string& fileName);

  const TXMLTreeNode& Root() const { return *root_; }
  // The IDs still pending.
  TPendingIds Pending() const;

 private:
  // The first real category with this exact address in tree order, or nullptr.
  TXMLTreeNode* FindCategoryNode(const std::u16string& url);
  bool ComesBefore(const TXMLTreeNode* a, const TXMLTreeNode* b) const;
  void Index(TXMLTreeNode& node, TXMLTreeNode* parent);
  void Add(TXMLTreeNode* parent, TBaseCategory* record);

  std::optional<TLoadedTree> loaded_;
  // The root of an empty crawl; its records are freed with it.
  std::unique_ptr<TXMLTreeNode> ownRoot_;
  TXMLTreeNode* root_ = nullptr;
  std::deque<std::int32_t> pending_;
  // Built on the first page: real categories by the hash of their exact address, and every node's
  // parent (the root for top-level nodes), to find the first of several in tree order.
  bool indexed_ = false;
  std::unordered_multimap<std::size_t, TXMLTreeNode*> nodesByUrl_;
  std::unordered_map<const TXMLTreeNode*, TXMLTreeNode*> parents_;
};

}  // namespace exporter
