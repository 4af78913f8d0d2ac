#pragma once
// The command line of wexa-scraper. One table of options (CommandLineOptions) is the single source
// of the parser, of the usage lines and of the --help text, and through --help of the manual page.
// A new option is a new row there: its name, value name, help text, the modes it belongs to and
// how its value is checked and stored.
//
// Usage: wexa-scraper [window options]
//        wexa-scraper --headless [--min-content N] [--resume | --new] [--delay-ms N] [--parallel N]
//                                [--engine web|http]
//        wexa-scraper --help | --version

#include <functional>
#include <optional>
#include <string>
#include <vector>

// What loads and reads the pages: the web engine (a browser per page, as a user sees them) or
// plain HTTP with an HTML parser (no browser; the same records, far faster and smaller).
enum TPageEngine { peWeb, peHttp };

// The options of a run. The name is historical: rows that belong to the window too store here.
struct THeadlessOptions {
  // Continue the saved crawl in the working directory ("load state" before "start").
  bool resume = false;
  // Start a fresh crawl even though the working directory holds a saved one.
  bool newCrawl = false;
  // The text typed into Edit1; the form's own "5000" when absent.
  std::optional<std::string> minContent;
  // Least time between the starts of two page loads, in ms; when absent, WEXA_DELAY_MS decides.
  std::optional<int> delayMs;
  // Pages loaded at a time; when absent, WEXA_PARALLEL decides.
  std::optional<int> parallel;
  // The User-Agent of every request; when absent, WEXA_USER_AGENT or the program's own decides.
  std::optional<std::string> userAgent;
  // robots.txt is neither fetched nor obeyed.
  bool ignoreRobots = false;
  // The page engine; when absent, WEXA_ENGINE decides.
  std::optional<TPageEngine> engine;
};

// What a command line asks for instead of a run.
enum TInformationRequest { irNone, irHelp, irVersion };

// A whole command line, parsed.
struct TCommandLine {
  TInformationRequest request = irNone;
  // --headless: the crawl runs without a window.
  bool headless = false;
  THeadlessOptions options;
};

// The modes an option belongs to (a bit set).
enum TOptionMode : unsigned { omWindow = 1, omHeadless = 2, omBoth = omWindow | omHeadless };

// The allowed whole numbers of a numeric option, and what they count ("milliseconds"; empty: plain
// numbers). The parser refuses a value outside [min, max] before the row's Store sees it.
struct TNumberRange {
  long long min;
  long long max;
  std::string unit;
};

// One option of the table.
struct TOptionRow {
  std::string name;       // "--delay-ms"
  std::string shortName;  // "-h", or empty
  std::string valueName;  // "N", or empty for a switch
  std::string help;       // one paragraph; the help text wraps it
  unsigned modes = omBoth;
  // Rows with the same non-zero group exclude each other; the usage line shows them as [a | b].
  int group = 0;
  // A numeric value's range; nullopt for a switch or a text value.
  std::optional<TNumberRange> range;
  // Stores the (checked) value into the command line; a switch gets "". May throw
  // std::invalid_argument with a message naming the option.
  std::function<void(TCommandLine&, const std::string& value)> store;
};

// The table, in the order of the usage line and of --help: the mode switch, the run's options, then
// --help and --version.
const std::vector<TOptionRow>& CommandLineOptions();

// Parses the arguments after the program name. Options take their value as the next argument or
// after "=" ("--delay-ms 40", "--delay-ms=40"). Throws std::invalid_argument with a one-line message
// for a malformed command line: an unknown option, a missing or out-of-range value, two options of
// one group, or an option of the other mode. --help or --version anywhere is answered by
// InformationRequested before this is called.
TCommandLine ParseCommandLine(const std::vector<std::string>& args);

// ParseCommandLine's windowless options, or nullopt when the command line is not windowless mode
// (no --headless). Throws as ParseCommandLine.
std::optional<THeadlessOptions> ParseHeadlessArguments(const std::vector<std::string>& args);

// irHelp when one of the arguments is --help or -h, irVersion when one is --version; the first of
// them decides. Such a request is answered alone: the other arguments are not looked at, so it is
// never a usage error.
TInformationRequest InformationRequested(const std::vector<std::string>& args);

// The windowless usage line printed with a usage error: "usage: wexa-scraper --headless ...".
std::string HeadlessUsage();

// The --help text: the usage lines, a description, every option of the table, the environment
// variables, the files and the exit codes.
std::string ProgramHelpText();

// The --version line, the program's name and the given version: "Wexa Category Scraper 1.0.0.6".
std::string ProgramVersionLine(const std::string& version);

// text as a whole number from range.min to range.max, or nullopt when it is anything else (signs,
// spaces, digits beyond the range).
std::optional<long long> WholeNumber(const std::string& text, const TNumberRange& range);

// "web" or "http" as an engine, or nullopt for anything else.
std::optional<TPageEngine> ParsePageEngine(const std::string& text);
// "<source> takes web or http, not '<text>'".
std::string PageEngineError(const std::string& source, const std::string& text);

// "<source> takes a whole number of <unit> from <min> to <max>, not '<text>'".
std::string RangeError(const std::string& source, const TNumberRange& range, const std::string& text);
