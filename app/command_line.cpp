#include "app/command_line.h"

#include <climits>
#include <sstream>
#include <stdexcept>

#include "app/headless.h"

namespace {

const char* const kProgram = "wexa-scraper";

// Help texts are wrapped to this width, descriptions starting at this column.
constexpr std::size_t kHelpWidth = 100;
constexpr std::size_t kHelpColumn = 22;

std::vector<TOptionRow> MakeTable() {
  std::vector<TOptionRow> rows;
  rows.push_back({"--headless", "", "",
                  "crawl without a window and without a display: the window caption, then the status-bar texts "
                  "on stdout (at most 20 lines a second; the last one and the finished line always), log lines "
                  "and message texts on stderr. On a terminal the status line is rewritten in place, with the "
                  "elapsed time and the pages per second.",
                  omHeadless, 0, std::nullopt, [](TCommandLine& c, const std::string&) { c.headless = true; }});
  rows.push_back({"--min-content", "", "N",
                  "the minimum content count of a category whose subcategories are visited (default 5000); "
                  "windowless only",
                  omHeadless, 0, TNumberRange{0, INT_MAX, ""},
                  [](TCommandLine& c, const std::string& value) { c.options.minContent = value; }});
  rows.push_back({"--resume", "", "",
                  "continue the saved crawl (queue.lst, tree.xml) in the working directory; windowless only",
                  omHeadless, 1, std::nullopt, [](TCommandLine& c, const std::string&) { c.options.resume = true; }});
  rows.push_back({"--new", "", "",
                  "start a fresh crawl even though the working directory holds a saved one; windowless only",
                  omHeadless, 1, std::nullopt,
                  [](TCommandLine& c, const std::string&) { c.options.newCrawl = true; }});
  rows.push_back({"--delay-ms", "", "N",
                  "let at least N ms (0 to 10000) pass between the starts of two page loads (default 0; wins "
                  "over WEXA_DELAY_MS); windowless only",
                  omHeadless, 0, TNumberRange{0, kMaxNavigationDelayMs, "milliseconds"},
                  [](TCommandLine& c, const std::string& value) { c.options.delayMs = std::stoi(value); }});
  rows.push_back({"--parallel", "", "N",
                  "load up to N pages at a time (1 to 16 with the web engine, 1 to 64 with http): the next "
                  "categories of the queue are loaded ahead while one is read; the result is the same for every "
                  "N (default 1; wins over WEXA_PARALLEL); windowless only",
                  // The range depends on the engine, which may follow on the line: the most of any engine
                  // here, the engine's own in ParallelPages. A value outside every range names the
                  // engine's range as far as the line has told it.
                  omHeadless, 0, std::nullopt, [](TCommandLine& c, const std::string& value) {
                    const TNumberRange any{1, kMaxParallelPagesHttp, "pages"};
                    const TNumberRange engine{1, c.options.engine == peHttp ? kMaxParallelPagesHttp : kMaxParallelPages,
                                              "pages"};
                    if (!WholeNumber(value, any)) throw std::invalid_argument(RangeError("--parallel", engine, value));
                    c.options.parallel = std::stoi(value);
                  }});
  rows.push_back({"--engine", "", "web|http",
                  "what loads and reads the pages (default web; wins over WEXA_ENGINE). web: a browser engine "
                  "renders every page as a user sees it; in the window the view shows the live page. http: "
                  "plain HTTP requests and an HTML parser read the same pages without a browser: the same saved "
                  "crawl, several times faster, in a few tens of MiB; the view shows the fetched page's "
                  "markup. Windowless only; in the window, set WEXA_ENGINE",
                  omHeadless, 0, std::nullopt, [](TCommandLine& c, const std::string& value) {
                    c.options.engine = ParsePageEngine(value);
                    if (!c.options.engine) throw std::invalid_argument(PageEngineError("--engine", value));
                  }});
  rows.push_back({"--user-agent", "", "TEXT",
                  "send TEXT as the User-Agent of every request instead of WexaCategoryScraper/<version> (wins "
                  "over WEXA_USER_AGENT); robots.txt groups are still chosen by WexaCategoryScraper; windowless "
                  "only",
                  omHeadless, 0, std::nullopt,
                  [](TCommandLine& c, const std::string& value) {
                    if (value.empty()) throw std::invalid_argument("--user-agent needs a text");
                    c.options.userAgent = value;
                  }});
  rows.push_back({"--ignore-robots", "", "",
                  "neither fetch nor obey the site's robots.txt, for a site you run yourself; windowless only",
                  omHeadless, 0, std::nullopt,
                  [](TCommandLine& c, const std::string&) { c.options.ignoreRobots = true; }});
  rows.push_back({"--help", "-h", "", "show this text and exit", omBoth, 0, std::nullopt,
                  [](TCommandLine& c, const std::string&) { c.request = irHelp; }});
  rows.push_back({"--version", "", "", "show the program's name and version and exit", omBoth, 0, std::nullopt,
                  [](TCommandLine& c, const std::string&) { c.request = irVersion; }});
  return rows;
}

bool IsInformation(const TOptionRow& row) { return row.name == "--help" || row.name == "--version"; }

// "--name N" or "--name".
std::string Spelling(const TOptionRow& row) { return row.valueName.empty() ? row.name : row.name + " " + row.valueName; }

// The bracketed options of mode's usage line, groups as [a | b].
std::string UsageOptions(unsigned mode) {
  std::string line;
  const std::vector<TOptionRow>& rows = CommandLineOptions();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const TOptionRow& row = rows[i];
    if (!(row.modes & mode) || IsInformation(row) || row.name == "--headless") continue;
    bool shown = false;
    for (std::size_t j = 0; j < i; ++j) shown = shown || (row.group != 0 && rows[j].group == row.group);
    if (shown) continue;
    std::string item = Spelling(row);
    for (std::size_t j = i + 1; j < rows.size(); ++j)
      if (row.group != 0 && rows[j].group == row.group && (rows[j].modes & mode)) item += " | " + Spelling(rows[j]);
    line += " [" + item + "]";
  }
  return line;
}

// text as lines of at most kHelpWidth characters, each after indent spaces; the first line after
// firstIndent characters already written.
std::string Wrap(const std::string& text, std::size_t firstIndent, std::size_t indent) {
  std::istringstream words(text);
  std::string word, out;
  std::size_t column = firstIndent;
  bool lineStarted = false;
  while (words >> word) {
    if (lineStarted && column + 1 + word.size() > kHelpWidth) {
      out += "\n" + std::string(indent, ' ');
      column = indent;
      lineStarted = false;
    }
    if (lineStarted) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
    lineStarted = true;
  }
  return out + "\n";
}

// One entry of a two-column list: "  label" and the text wrapped at kHelpColumn; a label too long
// for the column puts the text on the next line.
std::string HelpEntry(const std::string& label, const std::string& text) {
  std::string entry = "  " + label;
  if (entry.size() + 2 > kHelpColumn) return entry + "\n" + std::string(kHelpColumn, ' ') + Wrap(text, kHelpColumn, kHelpColumn);
  return entry + std::string(kHelpColumn - entry.size(), ' ') + Wrap(text, kHelpColumn, kHelpColumn);
}

const TOptionRow* FindRow(const std::string& name) {
  for (const TOptionRow& row : CommandLineOptions())
    if (row.name == name || (!row.shortName.empty() && row.shortName == name)) return &row;
  return nullptr;
}

}  // namespace

const std::vector<TOptionRow>& CommandLineOptions() {
  static const std::vector<TOptionRow> table = MakeTable();
  return table;
}

std::optional<long long> WholeNumber(const std::string& text, const TNumberRange& range) {
  // Eighteen digits cannot overflow a long long; anything longer is out of every range here.
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const long long value = std::stoll(text);
  if (value < range.min || value > range.max) return std::nullopt;
  return value;
}

std::string RangeError(const std::string& source, const TNumberRange& range, const std::string& text) {
  const std::string unit = range.unit.empty() ? "" : " of " + range.unit;
  return source + " takes a whole number" + unit + " from " + std::to_string(range.min) + " to " +
         std::to_string(range.max) + ", not '" + text + "'";
}

TCommandLine ParseCommandLine(const std::vector<std::string>& args) {
  TCommandLine line;
  std::vector<const TOptionRow*> given;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const std::size_t equals = a.find('=');
    const std::string name = a.rfind("--", 0) == 0 && equals != std::string::npos ? a.substr(0, equals) : a;
    const TOptionRow* row = FindRow(name);
    if (!row) throw std::invalid_argument("unknown argument: " + a);
    std::string value;
    if (!row->valueName.empty()) {
      if (equals != std::string::npos && name.size() < a.size()) {
        value = a.substr(equals + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        throw std::invalid_argument(name + (row->range || row->valueName == "N" ? " needs a number" : " needs " + row->valueName));
      }
      if (row->range && !WholeNumber(value, *row->range)) throw std::invalid_argument(RangeError(name, *row->range, value));
    } else if (name.size() < a.size()) {
      throw std::invalid_argument(name + " takes no value: " + a);
    }
    for (const TOptionRow* other : given)
      if (row->group != 0 && other->group == row->group && other != row)
        throw std::invalid_argument(other->name + " and " + row->name + " exclude each other");
    given.push_back(row);
    row->store(line, value);
  }
  const unsigned mode = line.headless ? omHeadless : omWindow;
  for (const TOptionRow* row : given)
    if (!(row->modes & mode))
      throw std::invalid_argument(row->name + (line.headless ? " is for the window only" : " needs --headless"));
  return line;
}

std::optional<THeadlessOptions> ParseHeadlessArguments(const std::vector<std::string>& args) {
  TCommandLine line = ParseCommandLine(args);
  if (!line.headless) return std::nullopt;
  return line.options;
}

TInformationRequest InformationRequested(const std::vector<std::string>& args) {
  for (const std::string& a : args) {
    const TOptionRow* row = FindRow(a);
    if (!row || !IsInformation(*row)) continue;
    TCommandLine line;
    row->store(line, "");
    return line.request;
  }
  return irNone;
}

std::string HeadlessUsage() { return std::string("usage: ") + kProgram + " --headless" + UsageOptions(omHeadless); }

std::string ProgramHelpText() {
  // The usage lines in the form help2man turns into a synopsis of one line each.
  std::string help = std::string("Usage: ") + kProgram + UsageOptions(omWindow) + "\n";
  // help2man makes one synopsis line of each usage line, so none is wrapped however long it is.
  help += std::string("  or:  ") + kProgram + " --headless" + UsageOptions(omHeadless) + "\n";
  help += std::string("  or:  ") + kProgram + " --help | --version\n\n";
  help += R"(Crawls the category tree of the Wexa web directory and records every category it reaches: name,
address, ID and content count, and the "@" cross-links to categories elsewhere in the directory.
Without options it opens its window; press "start" there. The state of a crawl is saved to
queue.lst and tree.xml in the working directory. A windowless run in a folder that holds a saved
crawl needs --resume to continue it or --new to start afresh.

Options:
)";
  for (const TOptionRow& row : CommandLineOptions()) {
    const std::string label = row.shortName.empty() ? Spelling(row) : row.shortName + ", " + Spelling(row);
    help += HelpEntry(label, row.help);
  }
  help += "\nExit status:\n";
  help += HelpEntry("0", "windowless: the crawl has finished and its state is saved");
  help += HelpEntry("1", "an error, and nothing saved: a state file that cannot be read (one line naming the file "
                         "and line), one file of the saved pair missing, a folder where the state cannot be "
                         "saved, or a program error (message and stack trace)");
  help += HelpEntry("2", "a usage error; a saved crawl in the folder without --resume or --new; --resume without a "
                         "saved crawl; no display for the window; run as root without "
                         "QTWEBENGINE_DISABLE_SANDBOX=1");
  help += HelpEntry("130", "windowless, after SIGINT or SIGTERM: the crawl stops, waits for the page in flight and "
                           "saves; stderr says where and what, and --resume continues it");
  help += "\nEnvironment:\n";
  help += HelpEntry("WEXA_ROOT_URL", "the directory's home page (default http://www.wexa.org)");
  help += HelpEntry("WEXA_SEARCH_HOST", "the search host every complete directory page names (default search.wexa.org)");
  help += HelpEntry("WEXA_DELAY_MS", "least time in ms between the starts of two page loads (default 0)");
  help += HelpEntry("WEXA_PARALLEL", "pages loaded at a time, 1 to 16 with the web engine, 1 to 64 with http (default 1)");
  help += HelpEntry("WEXA_ENGINE", "web or http, the page engine, in the window and windowless (default web)");
  help += HelpEntry("WEXA_USER_AGENT", "the User-Agent of every request (default WexaCategoryScraper/<version>)");
  help += HelpEntry("WEXA_IGNORE_ROBOTS", "1: neither fetch nor obey robots.txt");
  help += HelpEntry("QTWEBENGINE_DISABLE_SANDBOX", "1 turns the web engine's sandbox off; needed when running as root");
  help += "\nFiles:\n";
  help += HelpEntry("tree.xml", "the saved category tree, in the working directory");
  help += HelpEntry("queue.lst", "the saved queue: the IDs of the categories still to visit, one a line");
  help += HelpEntry("crawl.journal", "the pages parsed since the last save of the pair");
  help += HelpEntry("logs/", "the log files, beside the program or in $XDG_STATE_HOME/wexa-scraper/logs/");
  help += R"(
Politeness: every request (page loads and robots.txt) carries "User-Agent:
WexaCategoryScraper/<version>". At the start of each run, before the first page, the crawler
fetches /robots.txt from the directory's host (again after 24 hours) and obeys the group for
WexaCategoryScraper, else the "*" group (RFC 9309): a disallowed category is recorded but its page
is not requested ("Skipped by robots.txt: <address>" in the log), and a Crawl-delay spaces the page
loads (at most 20 s). A robots.txt answered with 4xx allows everything; with 429, 5xx or no answer,
the crawl waits and asks again. A page that comes back wrong is requested again at once, then after
1 s, 2 s, 4 s ... up to 5 minutes (or the server's Retry-After, up to an hour, where it can be
read); the log says how long and why.

Examples:
  Crawl windowless, visiting categories that show 1000 or more; stop with Ctrl+C, then continue:

  $ wexa-scraper --headless --min-content 1000
  $ wexa-scraper --headless --resume
)";
  return help;
}

std::optional<TPageEngine> ParsePageEngine(const std::string& text) {
  if (text == "web") return peWeb;
  if (text == "http") return peHttp;
  return std::nullopt;
}

std::string PageEngineError(const std::string& source, const std::string& text) {
  return source + " takes web or http, not '" + text + "'";
}

std::string ProgramVersionLine(const std::string& version) { return "Wexa Category Scraper " + version; }
