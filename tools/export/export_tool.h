#pragma once
// wexa-export's work: exporting one saved tree, comparing two, and the whole command.
//
// The XML persistence must be started and the model's classes registered (RegisterModelClasses)
// before any of these run. One thread.

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "command_line.h"

namespace exporter {

// The queue file used for treeFile when none is named: queue.lst in the tree file's folder, or none
// when there is no such file.
std::optional<std::string> DefaultQueueFile(const std::string& treeFile);

// The crawl journal read with treeFile: crawl.journal in the tree file's folder.
std::string JournalFileBeside(const std::string& treeFile);

// The files of a saved crawl that an export reads.
struct TCrawlFiles {
  std::string tree;
  // None: nothing is pending.
  std::optional<std::string> queue;
  // None: the saved pair alone is exported. A journal that does not exist is the same.
  std::optional<std::string> journal;
};

// Writes the rows of the crawl (export_rows.h) to output in format: the tree and the pending IDs of
// the queue file, with the journal's pages applied when the journal extends exactly that pair (its
// header names their sizes and checksums); a journal that names no pair is a crawl begun from an
// empty tree, newer than the pair, and is exported alone. output appears only when everything has
// been written. A pair replaced by a save while it is read (the crawl runs) is read again, up to
// three times. Returns what was used. Throws EOutputExists before reading anything when output
// exists and not overwrite; EJournalError naming the journal and an offset when it is damaged or its
// pages do not continue the pair; what TLoadedTree::Read and ReadQueueIds throw; and the file errors
// of TOutputFile.
struct TExportReport {
  // Lines that say what was used: one when a journal is there, another for its torn last entry,
  // which is left out.
  std::vector<std::string> notes;
  // False when a journal that names no pair was exported instead of the pair.
  bool pairRead = true;
};
TExportReport ExportCrawl(const TCrawlFiles& files, TOutputFormat format, const std::string& output, bool overwrite);
// The same rows written to out as they are made.
TExportReport ExportCrawl(const TCrawlFiles& files, TOutputFormat format, std::ostream& out);

// ExportCrawl of the pair treeFile and queueFile alone.
void ExportTree(const std::string& treeFile, const std::optional<std::string>& queueFile, TOutputFormat format,
                const std::string& output, bool overwrite);
// The same rows written to out as they are made.
void ExportTree(const std::string& treeFile, const std::optional<std::string>& queueFile, TOutputFormat format,
                std::ostream& out);

// What a comparison found besides its rows.
struct TDiffSummary {
  std::size_t changes = 0;
  // Real categories of each tree, and those matched by address in the other.
  std::size_t oldCategories = 0;
  std::size_t newCategories = 0;
  std::size_t matched = 0;
};

// The changes from oldTree to newTree (tree_diff.h) as text in format, header included for CSV; the
// counts behind them into summary when given. Throws what TLoadedTree::Read throws.
std::string DiffTreeFiles(const std::string& oldTree, const std::string& newTree, TOutputFormat format,
                          TDiffSummary* summary = nullptr);

// Throws EFCreateError when output names one of inputs (the same file, by device and inode, under
// whatever name) or an existing folder; output "-" (standard output) is none of them.
void CheckOutputIsNoInput(const std::string& output, const std::vector<std::string>& inputs);

// Runs the command line args (without the program name): the help on out, the diff on out when no
// output file is named or it is "-", an export on out with "-o -", notes and errors on err, one line
// each. Returns the exit status, as diff does: 0 on success (for --diff: the trees are the same), 1
// when --diff found differences or when the crawl journal cannot be used (damaged, or not fitting its
// pair), 2 on any other failure, after which no output file (nor a temporary one) is left.
int RunExportTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace exporter
