#pragma once
// The rows of an export: one per category record of a saved tree, in tree order, and their CSV and
// JSON Lines forms. Plain functions over a loaded TXMLTreeNode tree; nothing here touches a file
// except ReadPendingIds.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "model/helper.h"

namespace exporter {

// One record of the tree as the export shows it. Text is UTF-8.
struct TExportRow {
  bool symbolic = false;
  // Real categories only: the record's ID and content count (-1 when the crawl read no count).
  std::int32_t id = 0;
  std::int32_t content = 0;
  // The ID of the nearest real category above the record; none at the top level (and below symbolic
  // records only, which a crawl never writes).
  std::optional<std::int32_t> parentId;
  // 1 for a top-level record.
  int depth = 0;
  std::string name;
  std::string address;
  // The names from the top level down to this record, joined with " / ".
  std::string path;
  // A real category whose ID is not pending; never a symbolic record.
  bool visited = false;
};

// IDs of the categories still pending in a queue file.
using TPendingIds = std::unordered_set<std::int32_t>;

// Reads the queue file fileName: one decimal ID a line; a line ends at CR, LF or CR LF, and the last
// line may lack its break. Accepts exactly what the crawler's own load accepts. Throws EFOpenError when
// the file cannot be read, and EConvertError "<file>, line <n>: '<text>' is not a valid integer value"
// for the first line that is not a 32-bit decimal integer (an empty line included).
TPendingIds ReadPendingIds(const std::string& fileName);
// The IDs of the queue file in queue order, read and checked as ReadPendingIds does.
std::vector<std::int32_t> ReadQueueIds(const std::string& fileName);

// Calls f once per record below root, each node before its children, siblings in order. root is the
// loaded tree's root (its own Data is not a record and is skipped). Every node below root must have
// Data, as TLoadedTree::Read ensures. f's row is valid only during the call.
void ForEachRow(const TXMLTreeNode& root, const TPendingIds& pending, const std::function<void(const TExportRow&)>& f);

// CSV (RFC 4180): comma separated, lines ended by CR LF, a field quoted when it holds a comma, a quote,
// CR or LF, with its quotes doubled.
void AppendCsvField(std::string& out, std::string_view field);
// The header row, CR LF included: id,kind,name,address,content,parent_id,depth,path,visited
std::string CsvHeader();
// The row's line, CR LF included. A symbolic record has an empty id and content; visited is
// "true" or "false".
void AppendCsvRow(std::string& out, const TExportRow& row);

// text as a JSON string literal, quotes included. Quote, backslash and every character below U+0020 are
// escaped; other characters are copied as they are (text must be UTF-8).
void AppendJsonString(std::string& out, std::string_view text);
// The row as one JSON object on one line, LF included, keys in the CSV header's order; id and
// content are null for a symbolic record, parent_id null at the top level.
void AppendJsonRow(std::string& out, const TExportRow& row);

}  // namespace exporter
