#include "site_model.h"

#include <algorithm>
#include <deque>
#include <set>
#include <stdexcept>

namespace sample_site {

namespace {

// Ordinary names are built from these; the special names below carry the characters that must be
// escaped in markup and letters outside Latin-1.
constexpr const char* kWords[] = {
    "Arts",      "Science",   "Music",      "Games",       "Health",      "Home",       "News",
    "Recreation", "Reference", "Regional",  "Shopping",    "Society",     "Sports",     "Business",
    "Computers", "Kids",      "Movies",     "Dance",       "Literature",  "Poetry",     "Physics",
    "Chemistry", "Biology",   "Astronomy",  "Geology",     "Software",    "Hardware",   "Internet",
    "Programming", "Languages", "Databases", "Networks",   "Security",    "Gardening",  "Cooking",
    "Travel",    "Outdoors",  "Pets",       "Cycling",     "Football",    "Tennis",     "Chess",
    "Puzzles",   "History",   "Philosophy", "Law",         "Education",   "Museums",    "Theatre",
    "Design",    "Photography", "Architecture", "Crafts",  "Fashion",     "Weather",    "Maps",
    "Libraries", "Markets",   "Sailing",    "Opera",       "Robotics",    "Textiles",   "Ceramics",
};
constexpr const char* kSpecialNames[] = {
    "Arts & Crafts", "R&D",           "Q&A",        "C<T> Templates", "x < y & z",      "Caf\u00e9 Culture",
    "\u041c\u0443\u0437\u044b\u043a\u0430",   // Cyrillic
    "\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac",  // Greek
    "\u65e5\u672c\u8a9e",                      // CJK
    "\u00c6r\u00f8 & \u00c5land", "Hip-hop", "Z\u00fcrich", "S\u00e3o Paulo", "Rock 'n' Roll", "\"Quoted\" Works",
};

template <typename T, std::size_t N>
const T& Pick(Random& random, const T (&items)[N]) {
  return items[random.Between(0, static_cast<std::int64_t>(N) - 1)];
}

std::string AsciiLower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return text;
}

std::string WithThousands(int value) {
  std::string digits = std::to_string(value);
  std::string out;
  const int n = static_cast<int>(digits.size());
  for (int i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) out += ',';
    out += digits[static_cast<std::size_t>(i)];
  }
  return out;
}

constexpr const char* kMissingPrefix = "/Zz_missing/";
constexpr std::int64_t kCountCap = 2000000000;

}  // namespace

std::uint64_t Random::Next() {
  std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

std::int64_t Random::Between(std::int64_t low, std::int64_t high) {
  const std::uint64_t span = static_cast<std::uint64_t>(high - low) + 1;
  if (span == 0) return static_cast<std::int64_t>(Next());
  // Rejection keeps the range exactly uniform.
  const std::uint64_t limit = UINT64_MAX - UINT64_MAX % span;
  std::uint64_t value;
  do value = Next();
  while (value >= limit);
  return low + static_cast<std::int64_t>(value % span);
}

double Random::Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

std::uint64_t HashOf(std::uint64_t seed, const std::string& text) {
  std::uint64_t h = 0xcbf29ce484222325ULL ^ seed;
  for (unsigned char c : text) h = (h ^ c) * 0x100000001b3ULL;
  Random mix(h);
  return mix.Next();
}

const char* FaultName(FaultKind kind) {
  switch (kind) {
    case FaultKind::None: return "none";
    case FaultKind::WrongPage: return "wrong-page";
    case FaultKind::NoSearchHost: return "no-search-host";
    case FaultKind::Truncated: return "truncated";
    case FaultKind::Http500: return "500";
    case FaultKind::Stall: return "stall";
    case FaultKind::Busy: return "busy";
  }
  return "?";
}

std::string ValidateOptions(const SiteOptions& o) {
  if (o.categories < 1) return "--categories must be at least 1";
  if (o.topLevel < 1 || o.topLevel > o.categories) return "--top-level must be between 1 and --categories";
  if (o.maxDepth < 1) return "--max-depth must be at least 1";
  if (o.maxDepth == 1 && o.topLevel != o.categories)
    return "--max-depth 1 leaves room for top-level categories only: --top-level must equal --categories";
  if (o.minFanout < 1 || o.maxFanout < o.minFanout) return "--fanout needs 1 <= MIN <= MAX";
  if (o.wideFanout < 0) return "--wide-fanout must not be negative";
  if (o.symbolicRatio < 0 || o.symbolicRatio > 1) return "--symbolic-ratio must be in [0, 1]";
  if (o.noCountRatio < 0 || o.noCountRatio > 1) return "--no-count-ratio must be in [0, 1]";
  if (o.minCount < 0 || o.maxCount < o.minCount) return "counts need 0 <= --min-count <= --max-count";
  if (o.searchHost.empty()) return "--search-host must not be empty";
  const FaultRates& f = o.faults;
  for (double rate : {f.wrongPage, f.noSearchHost, f.truncated, f.http500, f.stall})
    if (rate < 0 || rate > 1) return "fault rates must be in [0, 1]";
  if (f.wrongPage + f.noSearchHost + f.truncated + f.http500 + f.stall > 1.0 + 1e-9)
    return "the fault rates must sum to at most 1";
  return "";
}

std::string EscapeHtml(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

SiteModel::SiteModel(const SiteOptions& options) : options_(options) {
  const std::string error = ValidateOptions(options);
  if (!error.empty()) throw std::invalid_argument(error);
  Random random(options.seed);
  BuildTree(random);
  BuildPages(random);
}

int SiteModel::FindPath(const std::string& path) const {
  const auto it = byPath_.find(path);
  return it == byPath_.end() ? -1 : it->second;
}

std::string SiteModel::MakeName(Random& random, int) {
  if (random.Chance(0.12)) return Pick(random, kSpecialNames);
  const std::string first = Pick(random, kWords);
  switch (random.Between(0, 5)) {
    case 0: return first + " & " + Pick(random, kWords);
    case 1: return first + " and " + Pick(random, kWords);
    case 2: return first + " " + Pick(random, kWords);
    default: return first;
  }
}

std::string SiteModel::MakeSlug(const std::string& name, int index, int parent) {
  std::string slug;
  for (char c : name) {
    const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (alnum) {
      slug += c;
    } else if (!slug.empty() && slug.back() != '_') {
      slug += '_';
    }
  }
  while (!slug.empty() && slug.back() == '_') slug.pop_back();
  if (slug.empty()) slug = "C" + std::to_string(index);
  // Sibling addresses differ even when letter case is ignored, as the crawler's queue compares them.
  std::set<std::string>& taken = slugsByParent_[parent];
  std::string candidate = slug;
  for (int n = 2; taken.count(AsciiLower(candidate)); ++n) candidate = slug + "_" + std::to_string(n);
  taken.insert(AsciiLower(candidate));
  return candidate;
}

int SiteModel::AddCategory(Random& random, int parent) {
  const int index = static_cast<int>(categories_.size());
  Category c;
  c.name = MakeName(random, index);
  c.parent = parent;
  c.depth = parent < 0 ? 1 : categories_[static_cast<std::size_t>(parent)].depth + 1;
  const std::string base = parent < 0 ? "/" : categories_[static_cast<std::size_t>(parent)].path;
  c.path = base + MakeSlug(c.name, index, parent) + "/";
  // The sites a category holds itself spread over the decades between the bounds, so small and
  // large numbers both occur; BuildTree adds the subcategories' counts afterwards.
  const int lowDecade = options_.minCount == 0 ? 0 : static_cast<int>(std::to_string(options_.minCount).size()) - 1;
  const int highDecade = static_cast<int>(std::to_string(options_.maxCount).size()) - 1;
  const int decade = static_cast<int>(random.Between(lowDecade, highDecade));
  std::int64_t low = 1, high;
  for (int i = 0; i < decade; ++i) low *= 10;
  high = low * 10 - 1;
  if (decade == 0) low = 0;
  low = std::max<std::int64_t>(low, options_.minCount);
  high = std::min<std::int64_t>(high, options_.maxCount);
  c.count = static_cast<int>(random.Between(low, high));
  if (c.depth < options_.maxDepth) shallow_.push_back(index);
  c.showsCount = !random.Chance(options_.noCountRatio);
  c.titleStyle = static_cast<int>(random.Between(0, 3));
  if (parent >= 0) categories_[static_cast<std::size_t>(parent)].children.push_back(index);
  byPath_[c.path] = index;
  categories_.push_back(std::move(c));
  return index;
}

void SiteModel::BuildTree(Random& random) {
  for (int i = 0; i < options_.topLevel; ++i) AddCategory(random, -1);
  int budget = options_.categories - options_.topLevel;
  const int maxDepth = options_.maxDepth;
  auto depthOf = [this](int i) { return categories_[static_cast<std::size_t>(i)].depth; };

  // One branch reaches the full depth.
  int node = static_cast<int>(random.Between(0, options_.topLevel - 1));
  while (budget > 0 && depthOf(node) < maxDepth) {
    node = AddCategory(random, node);
    --budget;
  }
  // One page lists many subcategories.
  if (budget > 0 && options_.wideFanout > 0 && maxDepth > 1) {
    const int wide = static_cast<int>(random.Between(0, options_.topLevel - 1));
    for (int i = 0; i < options_.wideFanout && budget > 0; ++i, --budget) AddCategory(random, wide);
  }
  // The rest: unexpanded pages are chosen at random and given a random number of subcategories.
  std::vector<int> open;
  for (int i = 0; i < static_cast<int>(categories_.size()); ++i)
    if (depthOf(i) < maxDepth && categories_[static_cast<std::size_t>(i)].children.empty()) open.push_back(i);
  while (budget > 0) {
    int parent;
    int want;
    if (!open.empty()) {
      const std::size_t k = static_cast<std::size_t>(random.Between(0, static_cast<std::int64_t>(open.size()) - 1));
      parent = open[k];
      open[k] = open.back();
      open.pop_back();
      want = static_cast<int>(random.Between(options_.minFanout, options_.maxFanout));
    } else {
      // Every page that may have subcategories has some: widen one of them.
      parent = shallow_[static_cast<std::size_t>(random.Between(0, static_cast<std::int64_t>(shallow_.size()) - 1))];
      want = 1;
    }
    for (int i = 0; i < want && budget > 0; ++i, --budget) {
      const int child = AddCategory(random, parent);
      if (depthOf(child) < maxDepth) open.push_back(child);
    }
  }
  // A category's count takes in its subcategories' counts, as a directory counts the sites below
  // it; children come after their parent, so one backward pass sums the tree. The cap keeps every
  // count within what the crawler can read.
  std::vector<std::int64_t> total(categories_.size());
  for (std::size_t i = categories_.size(); i-- > 0;) {
    total[i] += categories_[i].count;
    const std::int64_t capped = std::min<std::int64_t>(total[i], kCountCap);
    categories_[i].count = static_cast<int>(capped);
    if (categories_[i].parent >= 0) total[static_cast<std::size_t>(categories_[i].parent)] += capped;
  }
}

std::string SiteModel::CountText(Random& random, int count) const {
  return "(" + (random.Chance(0.8) ? WithThousands(count) : std::to_string(count)) + ")";
}

void SiteModel::BuildPages(Random& random) {
  const int total = static_cast<int>(categories_.size());
  int missing = 0;
  auto randomCategory = [&] { return static_cast<int>(random.Between(0, total - 1)); };
  // An entry that a crawler must never take: it names a real category with a count above any
  // minimum, so reading it would record a category twice or stop the crawl as a duplicate.
  auto decoy = [&](Random& r) {
    const int t = randomCategory();
    Entry e;
    e.kind = r.Chance(0.25) ? Entry::Kind::CrossLink : Entry::Kind::Subcategory;
    e.name = categories_[static_cast<std::size_t>(t)].name;
    e.href = categories_[static_cast<std::size_t>(t)].path;
    e.countText = CountText(r, static_cast<int>(kCountCap));
    e.target = t;
    return e;
  };
  auto crossLink = [&](Random& r) {
    Entry e;
    e.kind = Entry::Kind::CrossLink;
    const int roll = static_cast<int>(r.Between(0, 99));
    const int t = randomCategory();
    const Category& target = categories_[static_cast<std::size_t>(t)];
    const std::string lower = AsciiLower(target.path);
    if (roll < 70) {
      e.name = target.name;
      e.href = target.path;
      e.target = t;
      e.countText = CountText(r, target.count);
    } else if (roll < 85 || lower == target.path) {
      e.name = MakeName(r, t);
      std::string path;
      do path = std::string(kMissingPrefix) + "Item_" + std::to_string(++missing) + "/";
      while (byPath_.count(path));
      e.href = path;
      e.countText = CountText(r, static_cast<int>(r.Between(options_.minCount, options_.maxCount)));
    } else {
      // Same address but for letter case: it names no recorded category.
      e.name = target.name;
      e.href = lower;
      e.countText = CountText(r, target.count);
    }
    if (r.Chance(options_.noCountRatio)) e.countText.reset();
    return e;
  };
  auto sites = [&](Random& r, const Category& c) {
    Block b;
    const int n = static_cast<int>(r.Between(1, 4));
    for (int i = 0; i < n; ++i) {
      Entry e;
      e.kind = Entry::Kind::Site;
      e.name = Pick(r, kWords) + std::string(" Online");
      e.href = "http://example.invalid/" + std::to_string(r.Between(1, 999999)) + "/";
      e.description = "about " + c.name + " and more";
      b.entries.push_back(std::move(e));
    }
    return b;
  };
  auto seeAlso = [&](Random& r) {
    std::vector<Block> out;
    Block p;
    p.kind = Block::Kind::Paragraph;
    p.text = "See also:";
    out.push_back(p);
    Block list;
    const int n = static_cast<int>(r.Between(1, 3));
    for (int i = 0; i < n; ++i) list.entries.push_back(decoy(r));
    out.push_back(std::move(list));
    return out;
  };

  for (int index = 0; index < total; ++index) {
    Category& c = categories_[static_cast<std::size_t>(index)];
    Random r(HashOf(options_.seed, "page " + c.path) ^ random.Next());
    Block intro;
    intro.kind = Block::Kind::Paragraph;
    // "See also" without the colon must not be taken for the section heading.
    intro.text = r.Chance(0.1) ? "See also the help pages for " + c.name + "."
                               : "Sites and subcategories about " + c.name + ".";
    c.blocks.push_back(std::move(intro));

    Block run;
    if (c.children.empty() && r.Chance(options_.symbolicRatio)) run.entries.push_back(crossLink(r));
    for (int child : c.children) {
      const Category& ch = categories_[static_cast<std::size_t>(child)];
      Entry e;
      e.kind = Entry::Kind::Subcategory;
      e.name = ch.name;
      e.href = ch.path;
      e.target = child;
      if (ch.showsCount) e.countText = CountText(r, ch.count);
      run.entries.push_back(std::move(e));
      if (r.Chance(options_.symbolicRatio)) run.entries.push_back(crossLink(r));
    }

    switch (r.Between(0, 4)) {
      case 0:  // the run is the last list on the page
        c.blocks.push_back(std::move(run));
        break;
      case 1: {  // the "See also:" section, then sites below it
        c.blocks.push_back(std::move(run));
        for (Block& b : seeAlso(r)) c.blocks.push_back(std::move(b));
        if (r.Chance(0.5)) c.blocks.push_back(sites(r, c));
        break;
      }
      case 2: {  // site listings end the run, and a decoy follows them
        c.blocks.push_back(std::move(run));
        Block s = sites(r, c);
        if (r.Chance(0.5)) s.entries.push_back(decoy(r));
        c.blocks.push_back(std::move(s));
        if (r.Chance(0.5))
          for (Block& b : seeAlso(r)) c.blocks.push_back(std::move(b));
        break;
      }
      case 3: {  // a link whose text holds ":" ends the run
        Entry e;
        e.kind = Entry::Kind::ColonLink;
        e.name = "More: " + c.name;
        e.href = c.path;
        e.target = index;
        e.countText = CountText(r, static_cast<int>(kCountCap));
        run.entries.push_back(std::move(e));
        run.entries.push_back(decoy(r));
        c.blocks.push_back(std::move(run));
        if (r.Chance(0.5)) c.blocks.push_back(sites(r, c));
        break;
      }
      default: {  // an item without a link ends the run
        Entry e;
        e.kind = Entry::Kind::NoLink;
        e.name = "Related categories";
        e.countText = CountText(r, static_cast<int>(kCountCap));
        run.entries.push_back(std::move(e));
        run.entries.push_back(decoy(r));
        c.blocks.push_back(std::move(run));
        break;
      }
    }
  }
}

namespace {

std::string Footer(const std::string& searchHost, bool withSearchHost) {
  std::string action = withSearchHost ? "http://" + searchHost + "/search" : "/search";
  return "<hr>\n<div class=\"footer\">\n<form action=\"" + EscapeHtml(action) +
         "\" method=\"get\"><input type=\"text\" name=\"q\"> <input type=\"submit\" value=\"Search\"></form>\n"
         "<p>The Wexa directory, built by its volunteer editors.</p>\n</div>\n</body>\n</html>\n";
}

std::string Head(const std::string& title) {
  return "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>" + EscapeHtml(title) +
         "</title>\n</head>\n<body>\n";
}

std::string RenderEntry(const Entry& e) {
  std::string li = "<li>";
  switch (e.kind) {
    case Entry::Kind::Subcategory:
    case Entry::Kind::ColonLink:
      li += "<a href=\"" + EscapeHtml(e.href) + "\">" + EscapeHtml(e.name) + "</a>";
      break;
    case Entry::Kind::CrossLink:
      li += "<a href=\"" + EscapeHtml(e.href) + "\">" + EscapeHtml(e.name) + "</a>@";
      break;
    case Entry::Kind::NoLink: li += EscapeHtml(e.name); break;
    case Entry::Kind::Site:
      li += "<a href=\"" + EscapeHtml(e.href) + "\">" + EscapeHtml(e.name) + "</a> - " + EscapeHtml(e.description);
      break;
  }
  if (e.countText) li += " <i>" + EscapeHtml(*e.countText) + "</i>";
  return li + "</li>\n";
}

}  // namespace

std::string SiteModel::HomePage() const {
  std::string html = Head("Talmorex - The Wexa Directory");
  // The masthead is the first table; the category table must be the second one.
  html +=
      "<table class=\"masthead\"><tr><td><a href=\"/\">Wexa Directory</a></td>"
      "<td>The open directory of the web</td></tr></table>\n"
      "<table class=\"categories\">\n";
  constexpr int kColumns = 3;
  for (int i = 0; i < TopLevel(); ++i) {
    if (i % kColumns == 0) html += "<tr>";
    const Category& c = categories_[static_cast<std::size_t>(i)];
    html += "<td><a href=\"" + EscapeHtml(c.path) + "\">" + EscapeHtml(c.name) + "</a>";
    if (!c.children.empty()) {
      html += "<br><small>";
      const std::size_t shown = std::min<std::size_t>(3, c.children.size());
      for (std::size_t k = 0; k < shown; ++k) {
        const Category& ch = categories_[static_cast<std::size_t>(c.children[k])];
        if (k > 0) html += ", ";
        html += "<a href=\"" + EscapeHtml(ch.path) + "\">" + EscapeHtml(ch.name) + "</a>";
      }
      html += "</small>";
    }
    html += "</td>";
    if (i % kColumns == kColumns - 1 || i == TopLevel() - 1) html += "</tr>\n";
  }
  html += "</table>\n";
  return html + Footer(options_.searchHost, true);
}

std::string SiteModel::RenderPage(int index, bool withSearchHost) const {
  const Category& c = categories_[static_cast<std::size_t>(index)];
  std::vector<const Category*> chain;
  for (const Category* p = &c; p; p = p->parent < 0 ? nullptr : &categories_[static_cast<std::size_t>(p->parent)])
    chain.insert(chain.begin(), p);
  std::string trail;
  for (const Category* p : chain) trail += (trail.empty() ? "" : ": ") + p->name;

  std::string title;
  switch (c.titleStyle) {
    case 0: title = "Talmorex - " + trail; break;
    case 1: title = "TMX - " + trail; break;
    case 2: title = "Wexa Directory | Talmorex - " + trail; break;
    default: title = trail + " (TMX - Wexa)"; break;
  }
  std::string html = Head(title);
  html += "<div class=\"path\"><a href=\"/\">Top</a>";
  for (const Category* p : chain) html += " / <a href=\"" + EscapeHtml(p->path) + "\">" + EscapeHtml(p->name) + "</a>";
  html += "</div>\n<h1>" + EscapeHtml(c.name) + "</h1>\n";
  for (const Block& b : c.blocks) {
    if (b.kind == Block::Kind::Paragraph) {
      html += "<p>" + EscapeHtml(b.text) + "</p>\n";
    } else if (!b.entries.empty()) {
      html += "<ul>\n";
      for (const Entry& e : b.entries) html += RenderEntry(e);
      html += "</ul>\n";
    }
  }
  return html + Footer(options_.searchHost, withSearchHost);
}

std::string SiteModel::CategoryPage(int index) const { return RenderPage(index, true); }

std::optional<std::string> SiteModel::PageAt(const std::string& path) const {
  if (path == "/") return HomePage();
  const int index = FindPath(path);
  if (index < 0) return std::nullopt;
  return CategoryPage(index);
}

FaultKind SiteModel::FaultFor(const std::string& path) const {
  if (path != "/" && FindPath(path) < 0) return FaultKind::None;
  const double u = static_cast<double>(HashOf(options_.seed, "fault " + path) >> 11) * 0x1.0p-53;
  const FaultRates& f = options_.faults;
  double edge = f.wrongPage;
  if (u < edge) return FaultKind::WrongPage;
  if (u < (edge += f.noSearchHost)) return FaultKind::NoSearchHost;
  if (u < (edge += f.truncated)) return FaultKind::Truncated;
  if (u < (edge += f.http500)) return FaultKind::Http500;
  if (u < (edge += f.stall)) return FaultKind::Stall;
  return FaultKind::None;
}

std::string SiteModel::WrongPage() const {
  return Head("Wexa Directory is busy") + "<h1>Please try again</h1>\n<p>The directory is busy.</p>\n" +
         Footer(options_.searchHost, true);
}

std::string SiteModel::ErrorPage500() const {
  return Head("500 Internal Server Error") + "<h1>Internal Server Error</h1>\n</body>\n</html>\n";
}

std::string SiteModel::PageWithoutSearchHost(const std::string& path) const {
  if (path == "/") {
    std::string page = HomePage();
    const std::string host = "http://" + options_.searchHost + "/search";
    page.replace(page.find(host), host.size(), "/search");
    return page;
  }
  const int index = FindPath(path);
  return index < 0 ? std::string() : RenderPage(index, false);
}

std::string SiteModel::TruncatedPage(const std::string& path) const {
  const std::optional<std::string> page = PageAt(path);
  if (!page) return std::string();
  const std::size_t from = page->find("<body>\n") + 7;
  const std::size_t to = page->rfind("<hr>\n<div class=\"footer\">");
  // Cut at a line start between the two, so no character is split.
  const std::size_t span = to > from ? to - from : 0;
  std::size_t cut = from + (span == 0 ? 0 : HashOf(options_.seed, "cut " + path) % span);
  while (cut > from && (*page)[cut - 1] != '\n') --cut;
  return page->substr(0, cut);
}

namespace {

// The count the crawler reads from an I element's text: the first and last character dropped, the
// digits of the rest. The generator writes only such texts, so a text without digits is a bug here.
int ReadCount(const std::string& text) {
  if (text.size() < 2) throw std::logic_error("count text too short: " + text);
  std::int64_t value = 0;
  bool any = false;
  for (char c : text.substr(1, text.size() - 2)) {
    if (c < '0' || c > '9') continue;
    any = true;
    value = value * 10 + (c - '0');
    if (value > 2147483647LL) throw std::logic_error("count too large: " + text);
  }
  if (!any) throw std::logic_error("count without digits: " + text);
  return static_cast<int>(value);
}

// The text of an LI as the page shows it (enough for the " - " and "@" tests).
std::string ItemText(const Entry& e) {
  std::string text = e.name;
  if (e.kind == Entry::Kind::CrossLink) text += "@";
  if (e.kind == Entry::Kind::Site) text += " - " + e.description;
  if (e.countText) text += " " + *e.countText;
  return text;
}

}  // namespace

ExpectedCrawl ComputeExpected(const SiteModel& model, int minContent,
                              const std::function<bool(const std::string& path)>& visits) {
  ExpectedCrawl crawl;
  const std::vector<Category>& cats = model.Categories();
  std::deque<int> pending;
  std::set<std::string> queued;  // addresses in lower case; generated paths are ASCII

  for (int i = 0; i < model.TopLevel(); ++i) {
    const Category& c = cats[static_cast<std::size_t>(i)];
    crawl.categories.push_back({static_cast<int>(crawl.categories.size()) + 1, -1, c.path, "", c.name});
    pending.push_back(i);
    queued.insert(AsciiLower(c.path));
  }

  std::vector<ExpectedSymbolic> found;
  while (!pending.empty()) {
    const int page = pending.front();
    pending.pop_front();
    const Category& c = cats[static_cast<std::size_t>(page)];
    if (visits && !visits(c.path)) continue;
    ++crawl.pagesVisited;
    bool belowSeeAlso = false;
    bool ended = false;
    for (const Block& block : c.blocks) {
      if (ended) break;
      if (block.kind == Block::Kind::Paragraph) {
        // Only the first such paragraph counts; once below it, everything after it is too.
        if (block.text.find("See also:") != std::string::npos) belowSeeAlso = true;
        continue;
      }
      for (const Entry& e : block.entries) {
        if (belowSeeAlso || e.kind == Entry::Kind::NoLink || e.name.find(':') != std::string::npos ||
            ItemText(e).find(" - ") != std::string::npos) {
          ended = true;
          break;
        }
        const int count = e.countText ? ReadCount(*e.countText) : -1;
        if (count < minContent) continue;
        if (ItemText(e).find('@') != std::string::npos) {
          ++crawl.symbolicFound;
          found.push_back({c.path, e.href, e.name});
          continue;
        }
        const int target = model.FindPath(e.href);
        if (target < 0) throw std::logic_error("subcategory entry names no page: " + e.href);
        crawl.categories.push_back({static_cast<int>(crawl.categories.size()) + 1, count, e.href, c.path, e.name});
        if (!queued.insert(AsciiLower(e.href)).second) {
          ++crawl.duplicates;
          ended = true;
          break;
        }
        pending.push_back(target);
      }
    }
  }

  std::set<std::string> recorded;
  for (const ExpectedCategory& c : crawl.categories) recorded.insert(c.path);
  for (ExpectedSymbolic& s : found)
    if (recorded.count(s.path)) crawl.symbolics.push_back(std::move(s));
  return crawl;
}

std::string FormatExpected(const SiteModel& model, const ExpectedCrawl& crawl, int minContent,
                           const std::string& urlPrefix) {
  std::string out = "# wexa-sample-site expected crawl: seed " + std::to_string(model.Options().seed) +
                    ", min content " + std::to_string(minContent) + "\n";
  for (const ExpectedCategory& c : crawl.categories) {
    out += "C\t" + std::to_string(c.id) + "\t" + std::to_string(c.content) + "\t" + urlPrefix + c.path + "\t" +
           (c.parentPath.empty() ? "" : urlPrefix + c.parentPath) + "\t" + c.name + "\n";
  }
  for (const ExpectedSymbolic& s : crawl.symbolics)
    out += "S\t" + urlPrefix + s.parentPath + "\t" + urlPrefix + s.path + "\t" + s.name + "\n";
  out += "T\t" + std::to_string(crawl.categories.size()) + "\t" + std::to_string(crawl.symbolicFound) + "\t" +
         std::to_string(crawl.symbolics.size()) + "\t" + std::to_string(crawl.pagesVisited) + "\n";
  return out;
}

}  // namespace sample_site
