// Tests of wexa-sample-site's generator and server: determinism, page shapes, the faults, and that
// the expected crawl matches what a reader of the served pages finds. The server runs in-process on
// 127.0.0.1 with a free port; every request loop is bounded in count and time.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <future>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "command_line.h"
#include "sample_server.h"
#include "site_model.h"

namespace sample_site {
namespace {

using Clock = std::chrono::steady_clock;

SiteOptions SmallSite(std::uint64_t seed = 7) {
  SiteOptions o;
  o.seed = seed;
  o.categories = 150;
  o.topLevel = 9;
  o.maxDepth = 5;
  o.wideFanout = 25;
  return o;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

std::string Decode(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    static const std::pair<const char*, char> kEntities[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}};
    bool done = false;
    for (const auto& [name, c] : kEntities) {
      const std::string n = name;
      if (s.compare(i, n.size(), n) == 0) {
        out += c;
        i += n.size() - 1;
        done = true;
        break;
      }
    }
    if (!done) out += s[i];
  }
  return out;
}

// A small reader of the markup the generator writes: tags, text and href attributes.
struct Tag {
  std::string name;  // lower case, "/li" for a closing tag
  std::string href;
};

struct ScannedItem {
  bool hasLink = false;
  std::string linkText, href, text;
  std::optional<std::string> italic;
  bool belowSeeAlso = false;
};

struct ScannedPage {
  std::vector<ScannedItem> items;
  std::vector<std::pair<std::string, std::string>> homeCells;  // first link of each TD of the second table
  int tables = 0;
};

ScannedPage Scan(const std::string& html) {
  ScannedPage page;
  std::optional<ScannedItem> item;
  bool inLink = false, inItalic = false, linkSeen = false, italicSeen = false;
  std::optional<std::string> paragraph;
  bool seeAlso = false;
  int tableIndex = -1, tableDepth = 0;
  bool inCell = false, cellLinked = false, inCellLink = false;
  for (std::size_t i = 0; i < html.size();) {
    if (html[i] != '<') {
      const std::size_t end = html.find('<', i);
      const std::string text = Decode(html.substr(i, end - i));
      i = end;
      if (item) {
        item->text += text;
        if (inLink) item->linkText += text;
        if (inItalic) *item->italic += text;
      }
      if (paragraph) *paragraph += text;
      if (inCellLink) page.homeCells.back().second += text;
      continue;
    }
    const std::size_t end = html.find('>', i);
    const std::string raw = html.substr(i + 1, end - i - 1);
    i = end + 1;
    Tag tag;
    tag.name = Lower(raw.substr(0, raw.find_first_of(" \n")));
    if (const std::size_t h = raw.find("href=\""); h != std::string::npos)
      tag.href = raw.substr(h + 6, raw.find('"', h + 6) - h - 6);
    if (tag.name == "table") {
      ++page.tables;
      ++tableDepth;
      if (page.tables == 2) tableIndex = tableDepth;
    } else if (tag.name == "/table") {
      if (tableDepth == tableIndex) tableIndex = -1;
      --tableDepth;
    } else if (tag.name == "td" && tableIndex > 0) {
      inCell = true;
      cellLinked = false;
    } else if (tag.name == "/td") {
      inCell = false;
    } else if (tag.name == "li") {
      item = ScannedItem{};
      item->belowSeeAlso = seeAlso;
      linkSeen = italicSeen = false;
    } else if (tag.name == "/li") {
      page.items.push_back(*item);
      item.reset();
    } else if (tag.name == "a") {
      if (item && !linkSeen) {
        linkSeen = inLink = true;
        item->hasLink = true;
        item->href = tag.href;
      }
      if (inCell && !cellLinked) {
        cellLinked = inCellLink = true;
        page.homeCells.push_back({tag.href, ""});
      }
    } else if (tag.name == "/a") {
      inLink = inCellLink = false;
    } else if (tag.name == "i" && item && !italicSeen) {
      italicSeen = inItalic = true;
      item->italic = "";
    } else if (tag.name == "/i") {
      inItalic = false;
    } else if (tag.name == "p") {
      paragraph = "";
    } else if (tag.name == "/p") {
      if (paragraph->find("See also:") != std::string::npos) seeAlso = true;
      paragraph.reset();
    }
  }
  return page;
}

httplib::Result Fetch(httplib::Client& client, const std::string& path) {
  client.set_connection_timeout(2);
  client.set_read_timeout(5);
  return client.Get(path.c_str());
}

// Crawls the served site through HTTP with the crawler's reading rules applied to the scanned markup,
// giving the same structure as ComputeExpected. Bounded by maxRequests and a deadline.
ExpectedCrawl CrawlOverHttp(int port, int minContent, int maxRequests) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  httplib::Client client("127.0.0.1", port);
  ExpectedCrawl crawl;
  auto home = Fetch(client, "/");
  if (!home || home->status != 200) throw std::runtime_error("home page not served");
  std::deque<std::string> pending;
  std::set<std::string> queued;
  for (const auto& [href, name] : Scan(home->body).homeCells) {
    crawl.categories.push_back({static_cast<int>(crawl.categories.size()) + 1, -1, href, "", name});
    pending.push_back(href);
    queued.insert(Lower(href));
  }
  std::vector<ExpectedSymbolic> found;
  int requests = 1;
  while (!pending.empty()) {
    if (++requests > maxRequests || Clock::now() > deadline) throw std::runtime_error("crawl did not end");
    const std::string path = pending.front();
    pending.pop_front();
    auto res = Fetch(client, path);
    if (!res || res->status != 200) throw std::runtime_error("page not served: " + path);
    ++crawl.pagesVisited;
    for (const ScannedItem& item : Scan(res->body).items) {
      if (item.belowSeeAlso || !item.hasLink || item.linkText.find(':') != std::string::npos ||
          item.text.find(" - ") != std::string::npos)
        break;
      int count = -1;
      if (item.italic) {
        std::string digits;
        for (char c : item.italic->substr(1, item.italic->size() - 2))
          if (c >= '0' && c <= '9') digits += c;
        count = std::stoi(digits);
      }
      if (count < minContent) continue;
      if (item.text.find('@') != std::string::npos) {
        ++crawl.symbolicFound;
        found.push_back({path, item.href, item.linkText});
        continue;
      }
      crawl.categories.push_back({static_cast<int>(crawl.categories.size()) + 1, count, item.href, path, item.linkText});
      if (!queued.insert(Lower(item.href)).second) {
        ++crawl.duplicates;
        break;
      }
      pending.push_back(item.href);
    }
  }
  std::set<std::string> recorded;
  for (const auto& c : crawl.categories) recorded.insert(c.path);
  for (const auto& s : found)
    if (recorded.count(s.path)) crawl.symbolics.push_back(s);
  return crawl;
}

std::vector<std::string> AllPaths(const SiteModel& model) {
  std::vector<std::string> paths{"/"};
  for (const Category& c : model.Categories()) paths.push_back(c.path);
  return paths;
}

TEST(SampleModelTest, SameOptionsGiveTheSamePagesAndDump) {
  const SiteModel a(SmallSite()), b(SmallSite());
  ASSERT_EQ(a.Categories().size(), 150u);
  for (const std::string& path : AllPaths(a)) {
    SCOPED_TRACE(path);
    ASSERT_EQ(a.PageAt(path), b.PageAt(path));
    EXPECT_EQ(a.FaultFor(path), b.FaultFor(path));
    EXPECT_EQ(a.TruncatedPage(path), b.TruncatedPage(path));
  }
  EXPECT_EQ(FormatExpected(a, ComputeExpected(a, 100), 100, ""), FormatExpected(b, ComputeExpected(b, 100), 100, ""));
  const SiteModel other(SmallSite(8));
  EXPECT_NE(a.HomePage(), other.HomePage());
}

TEST(SampleModelTest, HomePageHasTheCategoryTableSecondWithOneCellPerTopLevelCategory) {
  const SiteModel model(SmallSite());
  const std::string home = model.HomePage();
  const ScannedPage page = Scan(home);
  EXPECT_EQ(page.tables, 2);
  ASSERT_EQ(page.homeCells.size(), static_cast<std::size_t>(model.TopLevel()));
  for (int i = 0; i < model.TopLevel(); ++i) {
    EXPECT_EQ(page.homeCells[static_cast<std::size_t>(i)].first, model.Categories()[static_cast<std::size_t>(i)].path);
    EXPECT_EQ(page.homeCells[static_cast<std::size_t>(i)].second, model.Categories()[static_cast<std::size_t>(i)].name);
  }
  // Cells list a few subcategories after the category's own link.
  const std::size_t table = home.find("<table class=\"categories\">");
  EXPECT_NE(home.find("<small>", table), std::string::npos);
  EXPECT_NE(home.find("Talmorex - "), std::string::npos);
  EXPECT_NE(home.find("search.wexa.org"), std::string::npos);
}

TEST(SampleModelTest, PagesCarryEveryShapeTheCrawlerMustHandle) {
  const SiteModel model(SmallSite());
  std::set<std::string> seen;
  int deepest = 0;
  std::size_t widest = 0;
  for (const Category& c : model.Categories()) {
    deepest = std::max(deepest, c.depth);
    widest = std::max(widest, c.children.size());
    for (char ch : c.name) {
      if (ch == '&') seen.insert("amp");
      if (ch == '<') seen.insert("lt");
      if (static_cast<unsigned char>(ch) >= 0x80) seen.insert("non-ascii");
    }
    EXPECT_EQ(c.name.find(':'), std::string::npos) << c.name;
    EXPECT_EQ(c.name.find(" - "), std::string::npos) << c.name;
    EXPECT_EQ(c.name.find('@'), std::string::npos) << c.name;
    const std::string page = model.CategoryPage(static_cast<int>(&c - model.Categories().data()));
    const std::size_t titleAt = page.find("<title>") + 7;
    const std::string title = page.substr(titleAt, page.find("</title>") - titleAt);
    EXPECT_TRUE(title.find("Talmorex - ") != std::string::npos || title.find("TMX - ") != std::string::npos) << title;
    EXPECT_NE(page.find("search.wexa.org"), std::string::npos);
    if (page.find("<title>TMX - ") != std::string::npos) seen.insert("tmx");
    if (page.find("<title>Wexa Directory | Talmorex - ") != std::string::npos) seen.insert("text before marker");
    for (const ScannedItem& item : Scan(page).items) {
      if (item.belowSeeAlso) seen.insert("below see also");
      if (!item.hasLink) seen.insert("no link");
      if (item.linkText.find(':') != std::string::npos) seen.insert("colon");
      if (item.text.find(" - ") != std::string::npos) seen.insert("site");
      if (item.hasLink && !item.italic) seen.insert("no count");
      if (item.text.find('@') != std::string::npos) seen.insert("cross-link");
      if (item.hasLink && item.href.rfind("/", 0) != 0 && item.text.find(" - ") == std::string::npos)
        ADD_FAILURE() << "not a site path: " << item.href;
    }
  }
  for (const char* shape : {"amp", "lt", "non-ascii", "tmx", "text before marker", "below see also", "no link", "colon",
                            "site", "no count", "cross-link"})
    EXPECT_TRUE(seen.count(shape)) << shape;
  EXPECT_EQ(deepest, 5);
  EXPECT_GE(widest, 25u);
}

TEST(SampleModelTest, ExpectedCrawlHasConsecutiveIdsAndEveryCategoryReachable) {
  const SiteModel model(SmallSite());
  for (int minContent : {0, 100, 5000}) {
    SCOPED_TRACE(minContent);
    const ExpectedCrawl crawl = ComputeExpected(model, minContent);
    ASSERT_GE(crawl.categories.size(), static_cast<std::size_t>(model.TopLevel()));
    EXPECT_EQ(crawl.duplicates, 0);
    EXPECT_EQ(crawl.pagesVisited, static_cast<int>(crawl.categories.size()));
    std::map<std::string, int> idOf;
    std::set<std::string> lowerPaths;
    for (std::size_t i = 0; i < crawl.categories.size(); ++i) {
      const ExpectedCategory& c = crawl.categories[i];
      EXPECT_EQ(c.id, static_cast<int>(i) + 1);
      EXPECT_TRUE(lowerPaths.insert(Lower(c.path)).second) << c.path;
      const int index = model.FindPath(c.path);
      ASSERT_GE(index, 0) << c.path;
      if (c.id <= model.TopLevel()) {
        EXPECT_EQ(c.parentPath, "");
        EXPECT_EQ(c.content, -1);
        EXPECT_EQ(index, c.id - 1);
      } else {
        // Recorded under its tree parent, which was found before it and has a count high enough.
        ASSERT_TRUE(idOf.count(c.parentPath)) << c.path;
        EXPECT_EQ(model.Categories()[static_cast<std::size_t>(index)].parent, model.FindPath(c.parentPath));
        EXPECT_GE(c.content, minContent);
        EXPECT_EQ(c.content, model.Categories()[static_cast<std::size_t>(index)].count);
      }
      idOf[c.path] = c.id;
    }
    // Every category whose ancestors and itself show counts that reach the minimum is recorded.
    for (const Category& c : model.Categories()) {
      bool reachable = true;
      for (const Category* p = &c; p->parent >= 0; p = &model.Categories()[static_cast<std::size_t>(p->parent)])
        reachable = reachable && p->showsCount && p->count >= minContent;
      EXPECT_EQ(reachable, idOf.count(c.path) == 1) << c.path;
    }
    for (const ExpectedSymbolic& s : crawl.symbolics) {
      EXPECT_TRUE(idOf.count(s.path)) << s.path;
      EXPECT_TRUE(idOf.count(s.parentPath)) << s.parentPath;
    }
    EXPECT_LE(crawl.symbolics.size(), static_cast<std::size_t>(crawl.symbolicFound));
  }
  // The cross-links include ones that are dropped at the end.
  const ExpectedCrawl all = ComputeExpected(model, 0);
  EXPECT_GT(all.symbolicFound, static_cast<int>(all.symbolics.size()));
  EXPECT_GT(all.symbolics.size(), 0u);
}

TEST(SampleModelTest, DumpFormatIsOneTabSeparatedRecordPerLine) {
  SiteOptions o = SmallSite();
  o.categories = 12;
  o.topLevel = 3;
  const SiteModel model(o);
  const ExpectedCrawl crawl = ComputeExpected(model, 0);
  const std::string dump = FormatExpected(model, crawl, 0, "http://127.0.0.1:1");
  std::vector<std::string> lines;
  for (std::size_t at = 0, nl; (nl = dump.find('\n', at)) != std::string::npos; at = nl + 1)
    lines.push_back(dump.substr(at, nl - at));
  ASSERT_EQ(lines.size(), 2 + crawl.categories.size() + crawl.symbolics.size());
  EXPECT_EQ(lines[0], "# wexa-sample-site expected crawl: seed 7, min content 0");
  const ExpectedCategory& top = crawl.categories[0];
  EXPECT_EQ(lines[1], "C\t1\t-1\thttp://127.0.0.1:1" + top.path + "\t\t" + top.name);
  const ExpectedCategory& sub = crawl.categories[3];
  EXPECT_EQ(lines[4], "C\t4\t" + std::to_string(sub.content) + "\thttp://127.0.0.1:1" + sub.path +
                          "\thttp://127.0.0.1:1" + sub.parentPath + "\t" + sub.name);
  EXPECT_EQ(lines.back(), "T\t" + std::to_string(crawl.categories.size()) + "\t" + std::to_string(crawl.symbolicFound) +
                              "\t" + std::to_string(crawl.symbolics.size()) + "\t" +
                              std::to_string(crawl.pagesVisited));
}

TEST(SampleServerTest, CrawlOfTheServedPagesMatchesTheExpectedCrawl) {
  const SiteModel model(SmallSite());
  SampleServer server(model, std::chrono::milliseconds(0));
  const int port = server.Start(0);
  for (int minContent : {0, 1000}) {
    SCOPED_TRACE(minContent);
    const ExpectedCrawl expected = ComputeExpected(model, minContent);
    const ExpectedCrawl served = CrawlOverHttp(port, minContent, 400);
    ASSERT_EQ(served.categories.size(), expected.categories.size());
    for (std::size_t i = 0; i < expected.categories.size(); ++i) {
      const ExpectedCategory &e = expected.categories[i], &s = served.categories[i];
      EXPECT_EQ(std::tie(s.id, s.content, s.path, s.parentPath, s.name),
                std::tie(e.id, e.content, e.path, e.parentPath, e.name));
    }
    ASSERT_EQ(served.symbolics.size(), expected.symbolics.size());
    for (std::size_t i = 0; i < expected.symbolics.size(); ++i) {
      const ExpectedSymbolic &e = expected.symbolics[i], &s = served.symbolics[i];
      EXPECT_EQ(std::tie(s.parentPath, s.path, s.name), std::tie(e.parentPath, e.path, e.name));
    }
    EXPECT_EQ(served.symbolicFound, expected.symbolicFound);
    EXPECT_EQ(served.duplicates, 0);
  }
}

TEST(SampleServerTest, EachChosenAddressFailsOnceInTheSameWayOnEveryRun) {
  SiteOptions o = SmallSite();
  o.faults = {0.15, 0.15, 0.15, 0.15, 0.05};
  const SiteModel model(o);
  std::map<FaultKind, int> kinds;
  std::map<std::string, std::string> firstBodies;
  for (int run = 0; run < 2; ++run) {
    SampleServer server(model, std::chrono::milliseconds(30));
    httplib::Client client("127.0.0.1", server.Start(0));
    for (const std::string& path : AllPaths(model)) {
      SCOPED_TRACE(path);
      const FaultKind fault = model.FaultFor(path);
      if (run == 0) ++kinds[fault];
      const std::string page = *model.PageAt(path);
      const auto started = Clock::now();
      auto first = Fetch(client, path);
      const auto elapsed = Clock::now() - started;
      ASSERT_TRUE(first);
      EXPECT_EQ(first->status, fault == FaultKind::Http500 ? 500 : 200);
      EXPECT_EQ(first->get_header_value("Content-Type"), "text/html; charset=utf-8");
      const std::string& body = first->body;
      const bool hasHost = body.find("search.wexa.org") != std::string::npos;
      const bool hasMarker = body.find("Talmorex - ") != std::string::npos || body.find("TMX - ") != std::string::npos;
      switch (fault) {
        case FaultKind::None:
        case FaultKind::Stall: EXPECT_EQ(body, page); break;
        case FaultKind::WrongPage: EXPECT_TRUE(hasHost && !hasMarker); break;
        case FaultKind::NoSearchHost: EXPECT_TRUE(!hasHost && hasMarker && body.find("</html>") != std::string::npos); break;
        case FaultKind::Truncated:
          EXPECT_TRUE(!hasHost && hasMarker && body.size() < page.size() && page.compare(0, body.size(), body) == 0);
          break;
        case FaultKind::Http500: EXPECT_TRUE(!hasMarker); break;
      }
      if (fault == FaultKind::Stall) {
        EXPECT_GE(elapsed, std::chrono::milliseconds(30));
      }
      if (run == 0) {
        firstBodies[path] = body;
      } else {
        EXPECT_EQ(body, firstBodies[path]);
      }
      for (int again = 0; again < 2; ++again) {
        auto later = Fetch(client, path);
        ASSERT_TRUE(later);
        EXPECT_EQ(later->status, 200);
        EXPECT_EQ(later->body, page);
      }
      EXPECT_EQ(server.RequestCount(path), 3);
    }
    auto missing = Fetch(client, "/No/Such/Page/");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 404);
  }
  for (FaultKind k : {FaultKind::None, FaultKind::WrongPage, FaultKind::NoSearchHost, FaultKind::Truncated,
                      FaultKind::Http500, FaultKind::Stall})
    EXPECT_GT(kinds[k], 0) << FaultName(k);
}

// A port another server listens on is refused, so two samples never share one port's requests;
// once the first has stopped, the port can be taken again.
TEST(SampleServerTest, APortInUseIsRefusedAndFreeAgainAfterStop) {
  const SiteModel model(SmallSite());
  SampleServer first(model, std::chrono::seconds(1));
  const int port = first.Start(0);
  SampleServer second(model, std::chrono::seconds(1));
  try {
    second.Start(port);
    ADD_FAILURE() << "a second server listens on " << port;
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "cannot listen on 127.0.0.1:" + std::to_string(port) +
                                         ": the port is in use or not allowed (--port 0 picks a free one)");
  }
  first.Stop();
  SampleServer third(model, std::chrono::seconds(1));
  EXPECT_EQ(third.Start(port), port);
}

TEST(SampleServerTest, StopEndsAStallAtOnce) {
  SiteOptions o = SmallSite();
  o.faults.stall = 1.0;
  const SiteModel model(o);
  SampleServer server(model, std::chrono::seconds(60));
  const int port = server.Start(0);
  auto stalled = std::async(std::launch::async, [port] {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(70);
    return client.Get("/");
  });
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (server.RequestCount("/") == 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(server.RequestCount("/"), 1);
  const auto started = Clock::now();
  server.Stop();
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(3));
  EXPECT_EQ(stalled.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

// Requests paths one after another over one kept-alive connection, as a browser does, and returns
// the time of each. A plain socket, so that nothing of a client library changes the exchange. The
// fastest of several requests is the server's own time: noise on the machine only adds to it.
std::vector<Clock::duration> TimesOverOneConnection(int port, const std::vector<std::string>& paths) {
  std::vector<Clock::duration> times;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    ADD_FAILURE() << "socket: " << std::strerror(errno);
    return times;
  }
  const timeval timeout{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ADD_FAILURE() << "connect: " << std::strerror(errno);
    ::close(fd);
    return times;
  }
  for (const std::string& path : paths) {
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const auto started = Clock::now();
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) break;
    std::string reply;
    std::size_t headerEnd = std::string::npos, length = 0;
    char buffer[65536];
    while (headerEnd == std::string::npos || reply.size() < headerEnd + 4 + length) {
      const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      reply.append(buffer, static_cast<std::size_t>(got));
      if (headerEnd == std::string::npos && (headerEnd = reply.find("\r\n\r\n")) != std::string::npos) {
        const std::size_t field = reply.find("Content-Length: ");
        if (field == std::string::npos || field > headerEnd) break;
        length = std::stoul(reply.substr(field + 16));
      }
    }
    times.push_back(Clock::now() - started);
    EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << path;
    EXPECT_TRUE(headerEnd != std::string::npos && reply.size() == headerEnd + 4 + length) << path;
  }
  ::close(fd);
  return times;
}

TEST(SampleServerTest, KeptAliveConnectionAnswersAtOnceAndLatencyDelaysEveryResponse) {
  const SiteModel model(SmallSite());
  std::vector<std::string> paths = AllPaths(model);
  paths.resize(6);
  {
    // Nagle's algorithm against the client's delayed acknowledgement would hold every response
    // after the first on the connection for about 40 ms.
    SampleServer server(model, std::chrono::milliseconds(0));
    const std::vector<Clock::duration> times = TimesOverOneConnection(server.Start(0), paths);
    ASSERT_EQ(times.size(), paths.size());
    EXPECT_LT(*std::min_element(times.begin() + 1, times.end()), std::chrono::milliseconds(20));
  }
  {
    SampleServer server(model, std::chrono::milliseconds(0), std::chrono::milliseconds(60));
    const std::vector<Clock::duration> times = TimesOverOneConnection(server.Start(0), paths);
    ASSERT_EQ(times.size(), paths.size());
    for (const Clock::duration& t : times) EXPECT_GE(t, std::chrono::milliseconds(60));
    EXPECT_LT(*std::min_element(times.begin() + 1, times.end()), std::chrono::milliseconds(80));
  }
}

TEST(CommandLineTest, ParsesOptionsAndRefusesBadOnes) {
  std::string error;
  const CommandLine cl = ParseCommandLine({"--seed", "42", "--categories=500", "--fanout", "3-9", "--fault-500", "0.25",
                                           "--port", "8123", "--print-port", "--dump-expected", "100", "--latency=100"},
                                          error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(cl.site.seed, 42u);
  EXPECT_EQ(cl.site.categories, 500);
  EXPECT_EQ(cl.site.minFanout, 3);
  EXPECT_EQ(cl.site.maxFanout, 9);
  EXPECT_EQ(cl.site.faults.http500, 0.25);
  EXPECT_EQ(cl.port, 8123);
  EXPECT_TRUE(cl.printPort);
  EXPECT_EQ(cl.dumpExpected, 100);
  EXPECT_EQ(cl.latencyMs, 100);

  struct Case {
    std::vector<std::string> args;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{"--bogus"}, "unknown option --bogus"},
      {{"--host", "0.0.0.0"}, "bad value for --host: 0.0.0.0"},
      {{"--port"}, "option --port needs a value"},
      {{"--fanout", "5-2"}, "--fanout needs 1 <= MIN <= MAX"},
      {{"--latency", "-1"}, "bad value for --latency: -1"},
      {{"--top-level", "300"}, "--top-level must be between 1 and --categories"},
      {{"--fault-stall", "0.6", "--fault-truncated", "0.6"}, "the fault rates must sum to at most 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    ParseCommandLine(c.args, error);
    EXPECT_EQ(error, c.error);
  }
  const std::string help = HelpText();
  for (const char* option : {"--seed", "--categories", "--top-level", "--max-depth", "--fanout", "--wide-fanout",
                             "--symbolic-ratio", "--no-count-ratio", "--min-count", "--max-count", "--search-host",
                             "--host", "--port", "--print-port", "--log-requests", "--fault-wrong-page",
                             "--fault-no-search-host", "--fault-truncated", "--fault-500", "--fault-stall",
                             "--stall-seconds", "--latency", "--dump-expected", "--dump-root", "--help"})
    EXPECT_NE(help.find(option), std::string::npos) << option;
}

}  // namespace
}  // namespace sample_site
