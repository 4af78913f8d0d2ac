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

// The changes from oldTree to newTree (tree_diff.h) as text in format, header included for CSV.
// Throws what TLoadedTree::Read throws.
std::string DiffTreeFiles(const std::string& oldTree, const std::string& newTree, TOutputFormat format);

// Runs the command line args (without the program name): the help on out, the diff on out when no
// output file is named, notes and errors on err, one line each. Returns the exit status: 0 on success,
// 2 on any failure, after which no output file (nor a temporary one) is left.
int RunExportTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace exporter
