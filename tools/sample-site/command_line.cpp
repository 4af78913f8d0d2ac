#include "command_line.h"

#include <charconv>
#include <cstdint>
#include <functional>
#include <map>

namespace sample_site {

namespace {

bool ToInt(const std::string& text, std::int64_t low, std::int64_t high, std::int64_t& out) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && ptr == end && !text.empty() && out >= low && out <= high;
}

bool ToDouble(const std::string& text, double& out) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && ptr == end && !text.empty();
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args, std::string& error) {
  CommandLine cl;
  error.clear();
  auto intOption = [&](int& field, std::int64_t low, std::int64_t high) {
    return [&field, low, high](const std::string& v) {
      std::int64_t n;
      if (!ToInt(v, low, high, n)) return false;
      field = static_cast<int>(n);
      return true;
    };
  };
  auto rateOption = [](double& field) {
    return [&field](const std::string& v) { return ToDouble(v, field); };
  };
  SiteOptions& s = cl.site;
  const std::map<std::string, std::function<bool(const std::string&)>> valued = {
      {"--seed",
       [&](const std::string& v) {
         std::int64_t n;
         if (!ToInt(v, 0, INT64_MAX, n)) return false;
         s.seed = static_cast<std::uint64_t>(n);
         return true;
       }},
      {"--categories", intOption(s.categories, 1, 5000000)},
      {"--top-level", intOption(s.topLevel, 1, 1000000)},
      {"--max-depth", intOption(s.maxDepth, 1, 1000)},
      {"--fanout",
       [&](const std::string& v) {
         const std::size_t dash = v.find('-');
         std::int64_t lo, hi;
         if (dash == std::string::npos) {
           if (!ToInt(v, 1, 100000, lo)) return false;
           hi = lo;
         } else if (!ToInt(v.substr(0, dash), 1, 100000, lo) || !ToInt(v.substr(dash + 1), 1, 100000, hi)) {
           return false;
         }
         s.minFanout = static_cast<int>(lo);
         s.maxFanout = static_cast<int>(hi);
         return true;
       }},
      {"--wide-fanout", intOption(s.wideFanout, 0, 1000000)},
      {"--symbolic-ratio", rateOption(s.symbolicRatio)},
      {"--no-count-ratio", rateOption(s.noCountRatio)},
      {"--min-count", intOption(s.minCount, 0, 2147483647)},
      {"--max-count", intOption(s.maxCount, 0, 2147483647)},
      {"--search-host", [&](const std::string& v) { s.searchHost = v; return !v.empty(); }},
      {"--host", [&](const std::string& v) { return v == "127.0.0.1"; }},
      {"--port", intOption(cl.port, 0, 65535)},
      {"--fault-wrong-page", rateOption(s.faults.wrongPage)},
      {"--fault-no-search-host", rateOption(s.faults.noSearchHost)},
      {"--fault-truncated", rateOption(s.faults.truncated)},
      {"--fault-500", rateOption(s.faults.http500)},
      {"--fault-stall", rateOption(s.faults.stall)},
      {"--stall-seconds", intOption(cl.stallSeconds, 0, 86400)},
      {"--latency", intOption(cl.latencyMs, 0, 60000)},
      {"--dump-expected",
       [&](const std::string& v) {
         std::int64_t n;
         if (!ToInt(v, 0, 2147483647, n)) return false;
         cl.dumpExpected = static_cast<int>(n);
         return true;
       }},
      {"--dump-root", [&](const std::string& v) { cl.dumpRoot = v; return true; }},
  };
  const std::map<std::string, bool*> flags = {
      {"--help", &cl.help}, {"-h", &cl.help}, {"--version", &cl.version}, {"--print-port", &cl.printPort}, {"--log-requests", &cl.logRequests}};

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> value;
    if (const std::size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    if (const auto f = flags.find(name); f != flags.end() && !value) {
      *f->second = true;
      continue;
    }
    const auto o = valued.find(name);
    if (o == valued.end()) {
      error = "unknown option " + args[i];
      return cl;
    }
    if (!value) {
      if (i + 1 >= args.size()) {
        error = "option " + name + " needs a value";
        return cl;
      }
      value = args[++i];
    }
    if (!o->second(*value)) {
      error = "bad value for " + name + ": " + *value;
      return cl;
    }
  }
  if (!cl.help && !cl.version) error = ValidateOptions(cl.site);
  return cl;
}

std::string HelpText() {
  return R"(Usage: wexa-sample-site [options]
  or:  wexa-sample-site --dump-expected MIN [options]
  or:  wexa-sample-site --help | --version

Serves a generated sample of the Wexa directory on 127.0.0.1. The sample is a function of the
options only: the same options give the same pages. On start the server prints one line
"listening on 127.0.0.1:PORT" on stdout (only "PORT" with --print-port) and serves until SIGINT or
SIGTERM. Point the crawler at it with WEXA_ROOT_URL=http://127.0.0.1:PORT and WEXA_SEARCH_HOST set to
the search host below.

Options:
Sample shape:
  --seed N                 seed of the whole sample (default 1)
  --categories N           real categories in the tree, top-level ones included (default 200)
  --top-level N            top-level categories, the cells of the home page's table (default 12)
  --max-depth N            deepest level; top-level categories are level 1 (default 6).
                           One branch always reaches it when the size allows
  --fanout MIN-MAX         subcategories given to a page when it is expanded (default 2-8)
  --wide-fanout N          one top-level page gets N subcategories (default 60; 0 = none)
  --symbolic-ratio R       chance of an "@" cross-link after each entry of a page (default 0.2)
  --no-count-ratio R       chance that an entry shows no count (default 0.03)
  --min-count N            the fewest sites a category holds itself (default 1)
  --max-count N            the most sites a category holds itself (default 5000); the count
                           shown beside a category adds its subcategories' counts (capped at
                           2000000000)
  --search-host HOST       search host named in every complete page (default search.wexa.org)

Server:
  --host 127.0.0.1         the only address served; any other value is refused
  --port N                 port, 0 = a free one chosen by the system (default 0)
  --print-port             print only the port number on start
  --log-requests           one line per request on stderr: method, path, status, fault
  --latency MS             wait MS milliseconds before every response, as a distant server
                           would (0 to 60000, default 0)

Faults (each page address fails at most once: its first request; the addresses are chosen from the
seed and the address, so a run with the same options fails at the same addresses):
  --fault-wrong-page R     a 200 page whose title has no title marker
  --fault-no-search-host R the page without the search host in its body
  --fault-truncated R      the page cut short before its end (no search host, no closing tags)
  --fault-500 R            status 500 with an error page
  --fault-stall R          the page, served only after --stall-seconds
  --stall-seconds N        length of a stall (default 35; a shutdown ends a stall at once)
  Rates are in [0, 1] and must sum to at most 1 (default 0 each).

Expected crawl:
  --dump-expected MIN      print, without serving, what a crawl with minimum content MIN records
                           on this sample, and exit
  --dump-root URL          put URL in front of every address of the dump (default: none, so the
                           addresses are site paths such as /Arts/Music/)
  The dump is tab-separated, one record a line, after one "#" comment line:
    C <id> <content> <url> <parent-url> <name>
        a real category, in ID order (1..n); content -1 and an empty parent-url for the
        top-level categories
    S <parent-url> <url> <name>
        a symbolic category that survives the final pass, in discovery order; parent-url is
        the page that lists it
    T <categories> <symbolic-found> <symbolic-kept> <pages-visited>
        totals: real categories, symbolic categories found during the crawl (dropped ones
        included), symbolic categories kept, category pages parsed

  --help, -h               this text
  --version                the program's name and version

Exit status:
  0    stopped by SIGINT or SIGTERM, or the dump, the help or the version printed
  1    the port is in use or cannot be listened on
  2    a usage error

Examples:
  A sample of 500 categories, crawled windowless from another shell:

  $ wexa-sample-site --categories 500 --port 8080
  $ WEXA_ROOT_URL=http://127.0.0.1:8080 wexa-scraper --headless --min-content 1
)";
}

std::string VersionText() { return std::string("wexa-sample-site ") + WEXA_PROJECT_VERSION + "\n"; }

}  // namespace sample_site
