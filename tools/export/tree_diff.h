#pragma once
// The differences between two saved trees: the real categories added, removed and changed, matched
// by their address.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/helper.h"

namespace exporter {

enum TChangeKind { ckAdded, ckRemoved, ckChanged };

// One real category that differs between the snapshots. Text is UTF-8.
struct TCategoryChange {
  TChangeKind kind = ckChanged;
  std::string address;
  // The old record's fields; none for ckAdded.
  std::optional<std::string> oldName;
  std::optional<std::int32_t> oldContent;
  // The new record's fields; none for ckRemoved.
  std::optional<std::string> newName;
  std::optional<std::int32_t> newContent;
};

// Compares the real categories of two loaded trees (the roots of TLoadedTree::Read); symbolic records
// and IDs are not compared. Records are matched by their exact address (Url, letter case included). When
// a snapshot holds the same address more than once, its n-th occurrence in tree order is matched with the
// n-th occurrence in the other snapshot. A matched pair whose Name or Content differs is ckChanged; an
// unmatched new record is ckAdded, an unmatched old one ckRemoved.
//
// Order: the added and changed categories in the new tree's order, then the removed ones in the old
// tree's order.
std::vector<TCategoryChange> DiffTrees(const TXMLTreeNode& oldRoot, const TXMLTreeNode& newRoot);

// "added", "removed" or "changed".
const char* ChangeKindName(TChangeKind kind);

// The CSV header row, CR LF included: change,address,old_name,new_name,old_content,new_content
std::string DiffCsvHeader();
// The change as one CSV line (CR LF included); fields of a side that does not exist are empty.
void AppendDiffCsvRow(std::string& out, const TCategoryChange& change);
// The change as one JSON object on one line, LF included, keys in the CSV header's order; fields of a
// side that does not exist are null.
void AppendDiffJsonRow(std::string& out, const TCategoryChange& change);

}  // namespace exporter
