#include "command_line.h"

#include <fmt/printf.h>

namespace exporter {

namespace {

constexpr const char* kHelp =
    R"(Usage: wexa-export [--format csv|jsonl] [--queue QUEUE.lst] [--force] -o OUTPUT TREE.xml
  or:  wexa-export --diff [--format csv|jsonl] [--force] [-o OUTPUT] OLD_TREE.xml NEW_TREE.xml
  or:  wexa-export --help | --version

Writes the categories of a saved crawl (tree.xml, with its queue.lst) as CSV or JSON Lines, or lists
the real categories that differ between two saved trees.

Options:
  -o, --output FILE   write to FILE (required for an export; a diff without it goes to standard
                      output); "-" is standard output. FILE appears only once it is complete: it
                      is written beside itself under a temporary name and renamed at the end. An
                      input of the run (under any name) or a folder is refused as FILE.
  --format FORMAT     csv (default): RFC 4180, comma separated, CR LF line ends, a header row, fields
                      quoted when they hold a comma, a quote, CR or LF (quotes doubled), UTF-8;
                      jsonl: one JSON object a line, keys named as the CSV columns, UTF-8,
                      LF line ends, no header.
  --queue FILE        the crawl's queue file (pending category IDs, one decimal ID a line).
                      Lines end with CR, LF or CR LF; the last may lack its break.
                      Default: queue.lst beside TREE.xml when there is one.
  --force             replace OUTPUT when it exists (without it: refuse, exit 2).
  --diff              compare OLD_TREE.xml with NEW_TREE.xml instead of exporting.
  -h, --help          show this text.
  --version           show the program's name and version.
  --                  end of the options: what follows are file names.
Options take their value as the next argument or after "=" (--format=jsonl).

Export: one row per record, in tree order (depth first, each record before its children):
  id         the category's ID; empty (null) for a symbolic category
  kind       category, or symbolic for a cross-link ("@") to a category elsewhere
  name       the category's name
  address    the category's address (URL)
  content    the count shown beside it on its parent page, -1 when the crawl read none (top-level
             categories); empty (null) for a symbolic category
  parent_id  the ID of the nearest real category above it; empty (null) at the top level
  depth      1 for a top-level category, one more per level below
  path       the names from the top level down to this one, joined with " / "
  visited    true when the category's page was visited: a real category is visited unless its ID is
             pending in the queue file. Symbolic categories are never visited. Without a queue file
             nothing is pending, so every real category counts as visited (a note on stderr says so).

Diff: real categories are matched by their exact address; IDs and symbolic categories are not
compared. When a tree holds an address more than once, its n-th occurrence matches the other tree's
n-th. One row per difference, with the columns
  change,address,old_name,new_name,old_content,new_content
where change is added (old fields empty), removed (new fields empty) or changed (the name or the
content differs; all fields given). Unchanged categories are not listed. Order: added and changed
categories in the new tree's order, then removed ones in the old tree's order. CSV has a header row;
jsonl uses the same names as keys and null for empty fields.

Exit status:
  0    success; with --diff: the trees do not differ
  1    --diff found differences (when no address of one tree is in the other, a line on stderr
       says so), as diff does
  2    a usage error, an input that cannot be read (missing file, malformed XML, a queue line that
       is not an ID), or an output that exists without --force, is an input or a folder, or cannot
       be written. Errors are one line on stderr, "wexa-export: FILE[, line N]: problem", and no
       output file is left behind.

Examples:
  The categories of a saved crawl as CSV, then what changed since an earlier crawl:

  $ wexa-export -o categories.csv tree.xml
  $ wexa-export --diff --format jsonl old/tree.xml tree.xml
)";

// Splits "--name=value"; value is none without "=".
std::pair<std::string, std::optional<std::string>> SplitOption(const std::string& arg) {
  const std::size_t eq = arg.find('=');
  if (arg.rfind("--", 0) != 0 || eq == std::string::npos) return {arg, std::nullopt};
  return {arg.substr(0, eq), arg.substr(eq + 1)};
}

}  // namespace

TExportOptions ParseCommandLine(const std::vector<std::string>& args) {
  TExportOptions options;
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "-h" || arg == "--help") {
      options.help = true;
      return options;
    }
    if (arg == "--version") {
      options.version = true;
      return options;
    }
  }

  bool formatGiven = false;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      options.inputs.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    auto [name, inlineValue] = SplitOption(arg);
    auto value = [&, name = name, inlineValue = inlineValue]() -> std::string {
      if (inlineValue) return *inlineValue;
      if (i + 1 >= args.size()) throw EUsageError(fmt::sprintf("option %s needs a value", name));
      return args[++i];
    };
    auto noValue = [&, name = name, inlineValue = inlineValue] {
      if (inlineValue) throw EUsageError(fmt::sprintf("option %s takes no value", name));
    };
    auto once = [&, name = name](bool given) {
      if (given) throw EUsageError(fmt::sprintf("option %s given more than once", name));
    };
    if (name == "-o" || name == "--output") {
      once(!options.output.empty());
      options.output = value();
      if (options.output.empty()) throw EUsageError(fmt::sprintf("option %s needs a file name", name));
    } else if (name == "--format") {
      once(formatGiven);
      formatGiven = true;
      const std::string format = value();
      if (format == "csv") options.format = ofCsv;
      else if (format == "jsonl") options.format = ofJsonLines;
      else throw EUsageError(fmt::sprintf("unknown format '%s' (csv or jsonl)", format));
    } else if (name == "--queue") {
      once(options.queue.has_value());
      options.queue = value();
      if (options.queue->empty()) throw EUsageError("option --queue needs a file name");
    } else if (name == "--force") {
      noValue();
      options.force = true;
    } else if (name == "--diff") {
      noValue();
      options.diff = true;
    } else {
      throw EUsageError(fmt::sprintf("unknown option '%s'", arg));
    }
  }

  if (options.diff) {
    if (options.queue) throw EUsageError("--queue does not apply to --diff");
    if (options.inputs.size() != 2) {
      throw EUsageError(fmt::sprintf("--diff needs two tree files, OLD and NEW (%d given)", options.inputs.size()));
    }
  } else {
    if (options.inputs.size() != 1) {
      throw EUsageError(fmt::sprintf("one tree file is needed (%d given)", options.inputs.size()));
    }
    if (options.output.empty()) throw EUsageError("no output file; name it with -o OUTPUT");
  }
  return options;
}

std::string HelpText() { return kHelp; }

std::string VersionText() { return std::string("wexa-export ") + WEXA_PROJECT_VERSION + "\n"; }

}  // namespace exporter
