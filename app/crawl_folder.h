#pragma once
// The folder a crawl saves its state in (the working directory): which state files it holds, whether
// the crawl's state can be written there, and whether a windowless run may start in it.

#include <optional>
#include <string>

#include "app/command_line.h"

// The state files of a saved crawl that a folder holds.
struct TSavedCrawl {
  bool tree = false;     // tree.xml
  bool queue = false;    // queue.lst
  bool journal = false;  // crawl.journal
  bool Any() const { return tree || queue || journal; }
  // The files present, in that order, joined by ", ": "tree.xml, queue.lst".
  std::string Files() const;
};

// The state files in folder. A name that cannot even be looked at counts as present: whoever reads
// it then names the error.
TSavedCrawl FindSavedCrawl(const std::string& folder);

// Why the crawl's state cannot be saved in folder ("Permission denied"), or nullopt when it can: a
// file is created there and removed again, so the answer is the system's, for this user (root writes
// into a folder without write permission). Never throws.
std::optional<std::string> FolderWriteProblem(const std::string& folder);

// A windowless run that must not start: the exit code and the one line that says why and what to do.
struct TStartRefusal {
  int exitCode;
  std::string message;  // without the program's name in front
};

// Whether a windowless run with options may start in folder (shown as folderName):
// - a saved crawl without --resume or --new: refused, exit 2, naming the files and both choices;
// - --resume without any state file: "no saved crawl in <folder>", exit 2;
// - --resume with one file of the pair and no journal: exit 1, naming the missing file;
// - a folder where the state cannot be written: exit 1.
// nullopt: the run may start. Never throws.
std::optional<TStartRefusal> CheckWindowlessStart(const std::string& folder, const std::string& folderName,
                                                 const THeadlessOptions& options);
