#pragma once
// The generated sample of the Wexa directory: a category tree built from a seed, the pages that
// describe it, the faults the server injects, and the crawl result that a correct crawler reaches
// on it. Everything here is a pure function of the options, so two runs with the same options give
// the same pages byte for byte.
//
// Threading: a SiteModel is immutable after construction and may be read from any number of
// threads at once.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sample_site {

// Deterministic pseudo-random numbers (SplitMix64) with hand-written ranges, so the sample does not
// depend on the standard library's distribution algorithms.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next();
  // Uniform in [low, high]; requires low <= high.
  std::int64_t Between(std::int64_t low, std::int64_t high);
  // Uniform in [0, 1).
  double Unit();
  bool Chance(double probability) { return Unit() < probability; }

 private:
  std::uint64_t state_;
};

// A 64-bit hash of the seed and a text, used where a choice must depend on an address only (faults).
std::uint64_t HashOf(std::uint64_t seed, const std::string& text);

// Probability, per served page address, that the first request of that address fails in this way.
// The rates must be in [0, 1] and sum to at most 1; every address fails in at most one way.
struct FaultRates {
  double wrongPage = 0;     // 200 with a page whose title holds no title marker
  double noSearchHost = 0;  // the normal page without the search host in its body
  double truncated = 0;     // the normal page cut short before its closing part (search host included)
  double http500 = 0;       // status 500 with an error page
  double stall = 0;         // the normal page, served only after the stall time
};

// Busy: a page of --busy-pages answering 503 with Retry-After (not a first-request fault).
enum class FaultKind { None, WrongPage, NoSearchHost, Truncated, Http500, Stall, Busy };

const char* FaultName(FaultKind kind);

struct SiteOptions {
  std::uint64_t seed = 1;
  int categories = 200;  // real categories in the tree, top-level ones included
  int topLevel = 12;     // cells of the home page's category table
  int maxDepth = 6;      // top-level categories have depth 1
  int minFanout = 2;     // subcategories given to a page when it is expanded
  int maxFanout = 8;
  int wideFanout = 60;   // one page gets this many subcategories (0: no wide page)
  double symbolicRatio = 0.2;  // chance of an "@" cross-link after each entry of a page
  double noCountRatio = 0.03;  // chance that a subcategory entry shows no count
  // Sites a category holds itself, drawn from [minCount, maxCount]; the count shown beside a
  // category adds those of all its subcategories (capped at 2000000000).
  int minCount = 1;
  int maxCount = 5000;
  std::string searchHost = "search.wexa.org";
  FaultRates faults;
};

// Checks the options; returns an error message, or an empty string when they are usable.
std::string ValidateOptions(const SiteOptions& options);

// One list item (LI) of a category page, in document order.
struct Entry {
  enum class Kind {
    Subcategory,  // <li><a href=PATH>NAME</a> <i>(COUNT)</i></li>, COUNT omitted when count is empty
    CrossLink,    // <li><a href=PATH>NAME</a>@ <i>(COUNT)</i></li>
    ColonLink,    // a subcategory-like item whose link text holds ":"
    NoLink,       // an item with text and a count but no link
    Site,         // <li><a href=URL>NAME</a> - DESCRIPTION</li>
  };
  Kind kind = Kind::Subcategory;
  std::string name;  // link text (UTF-8, unescaped); the item's text for NoLink
  std::string href;  // raw href attribute value; site-relative path for everything but Site
  std::optional<std::string> countText;  // text of the I element, brackets included
  std::string description;               // Site only
  int target = -1;  // index of the category the link names, -1 when it names none
};

// A block of a category page's content, in document order.
struct Block {
  enum class Kind { List, Paragraph };
  Kind kind = Kind::List;
  std::vector<Entry> entries;  // List: the items of one UL
  std::string text;            // Paragraph: its text (UTF-8, unescaped)
};

struct Category {
  std::string name;    // UTF-8; never holds ":", " - " or "@"
  std::string path;    // site-relative address, ASCII letters, digits and "_" between slashes: "/Arts/Music/"
  int count = 0;       // content shown beside the category: its own sites plus its subcategories' counts
  bool showsCount = true;  // false: its entry on the parent's page has no count
  int depth = 1;
  int parent = -1;     // index in SiteModel::Categories(), -1 for a top-level category
  std::vector<int> children;
  int titleStyle = 0;  // which title form its page uses
  std::vector<Block> blocks;  // page content between the heading and the footer
};

// The generated directory. Category 0 .. TopLevel()-1 are the top-level categories, in the order of
// the home page's cells.
class SiteModel {
 public:
  // Requires ValidateOptions(options) to be empty; throws std::invalid_argument otherwise.
  explicit SiteModel(const SiteOptions& options);

  const SiteOptions& Options() const { return options_; }
  const std::vector<Category>& Categories() const { return categories_; }
  int TopLevel() const { return options_.topLevel; }
  // Index of the category at path (exact, case-sensitive), or -1.
  int FindPath(const std::string& path) const;

  // Full HTML of the home page and of a category page, as served without faults.
  std::string HomePage() const;
  std::string CategoryPage(int index) const;
  // The page served at path without faults ("/" is the home page); nullopt when nothing is there.
  std::optional<std::string> PageAt(const std::string& path) const;

  // The fault of path's first request, a function of the seed and the path only. Paths that serve
  // no page have none.
  FaultKind FaultFor(const std::string& path) const;
  // The page bodies served for the faults that replace the page.
  std::string WrongPage() const;
  std::string ErrorPage500() const;
  std::string PageWithoutSearchHost(const std::string& path) const;
  // A prefix of the page at path that ends after the page's title and before its footer, so it
  // lacks the search host and the closing tags.
  std::string TruncatedPage(const std::string& path) const;

 private:
  void BuildTree(Random& random);
  void BuildPages(Random& random);
  std::string MakeName(Random& random, int index);
  std::string MakeSlug(const std::string& name, int index, int parent);
  std::string CountText(Random& random, int count) const;
  int AddCategory(Random& random, int parent);
  std::string RenderPage(int index, bool withSearchHost) const;

  SiteOptions options_;
  std::vector<Category> categories_;
  std::map<std::string, int> byPath_;
  // Used while building: lower-case path segments taken under each parent (-1: top level), and
  // the categories that may still get subcategories.
  std::map<int, std::set<std::string>> slugsByParent_;
  std::vector<int> shallow_;
};

// The crawl a correct crawler records on the model with the given minimum content level.
struct ExpectedCategory {
  int id = 0;
  int content = -1;
  std::string path;
  std::string parentPath;  // empty for a top-level category
  std::string name;
};

struct ExpectedSymbolic {
  std::string parentPath;
  std::string path;
  std::string name;
};

struct ExpectedCrawl {
  std::vector<ExpectedCategory> categories;  // in ID order, IDs 1..n
  std::vector<ExpectedSymbolic> symbolics;   // the survivors of the final pass, in discovery order
  int symbolicFound = 0;   // symbolic categories recorded during the crawl, dropped ones included
  int duplicates = 0;      // real entries whose address was already queued (0 for generated models)
  int pagesVisited = 0;    // category pages parsed, the home page not counted
};

// Simulates the crawl from the model's pages: the home page's cells get IDs 1..n; pages are visited
// first in, first out; on each page the list items are read in document order until the first one
// below the "See also:" paragraph, without a link, with ":" in its link text or with " - " in its
// text; an item is taken when its count (the I text without its first and last character, digits
// only; -1 without an I element) reaches minContent; "@" in its text makes it symbolic. A real entry
// whose address is already queued (ignoring case) is recorded and ends its page. Symbolic
// categories survive when their address is exactly that of a recorded real category.
// visits, when given, tells whether the crawler requests a category's page (a crawler obeying
// robots.txt does not request every one): a page not requested adds nothing, its category is
// still recorded.
ExpectedCrawl ComputeExpected(const SiteModel& model, int minContent,
                              const std::function<bool(const std::string& path)>& visits = nullptr);

// The tab-separated dump of an expected crawl; urlPrefix is put in front of every path.
//   C <id> <content> <url> <parent-url or empty> <name>
//   S <parent-url> <url> <name>
//   T <categories> <symbolic-found> <symbolic-kept> <pages-visited>
// after one "#" comment line naming the seed and minimum content.
std::string FormatExpected(const SiteModel& model, const ExpectedCrawl& crawl, int minContent,
                           const std::string& urlPrefix);

// Escapes &, <, > and " for HTML text and attribute values.
std::string EscapeHtml(const std::string& text);

}  // namespace sample_site
