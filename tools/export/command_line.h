#pragma once
// The command line of wexa-export.

#include <optional>
#include <string>
#include <vector>

#include "common/exceptions.h"

namespace exporter {

// A command line that cannot be run: an unknown option, a missing value or file name.
WEXA_DECLARE_EXCEPTION(EUsageError, Exception)

enum TOutputFormat { ofCsv, ofJsonLines };

struct TExportOptions {
  bool help = false;
  bool version = false;
  // Compare two trees instead of exporting one.
  bool diff = false;
  TOutputFormat format = ofCsv;
  // Empty: none given (the diff then writes to standard output).
  std::string output;
  // None given: the queue.lst beside the tree file, when there is one.
  std::optional<std::string> queue;
  bool force = false;
  // Export the saved pair without the crawl journal beside it.
  bool noJournal = false;
  // The tree files: one to export, two (old, new) to compare.
  std::vector<std::string> inputs;
};

// Parses the arguments after the program name. Options take their value as the next argument or after
// "=" ("--format csv", "--format=csv"; "-o FILE"); "--" ends the options. --help or --version anywhere
// (the first of them) asks for that alone. Throws EUsageError naming the first problem.
TExportOptions ParseCommandLine(const std::vector<std::string>& args);

// The --help text: every option, the columns of both outputs and the rules behind them.
std::string HelpText();

// The --version line: the program's name and version, "wexa-export 1.0.0.6".
std::string VersionText();

}  // namespace exporter
