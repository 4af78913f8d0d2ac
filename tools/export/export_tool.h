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

// Writes the rows of treeFile (export_rows.h), with the pending IDs of queueFile (none: nothing
// pending), to output in format. output appears only when everything has been written. Throws
// EOutputExists before reading anything when output exists and not overwrite; what TLoadedTree::Read
// and ReadPendingIds throw; and the file errors of TOutputFile.
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
// when --diff found differences, 2 on any failure, after which no output file (nor a temporary one) is
// left.
int RunExportTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace exporter
