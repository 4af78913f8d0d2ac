// robots.txt rules: which group applies, which rule decides, and what bad input means.

#include "robots/robots.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace robots {
namespace {

constexpr const char* kToken = "WexaCategoryScraper";

// The example of RFC 9309, section 5.1.
const char* const kRfcExample =
    "User-Agent: *\n"
    "Disallow: *.gif$\n"
    "Disallow: /example/\n"
    "Allow: /publications/\n"
    "\n"
    "User-Agent: foobot\n"
    "Disallow:/\n"
    "Allow:/example/page.html\n"
    "Allow:/example/allowed.gif\n"
    "\n"
    "User-Agent: barbot\n"
    "User-Agent: bazbot\n"
    "Disallow: /example/page.html\n"
    "\n"
    "User-Agent: quxbot\n";

// Several groups, as a directory might publish them.
const char* const kSeveralGroups =
    "# robots for the directory\n"
    "User-agent: OtherBot\n"
    "Disallow: /\n"
    "\n"
    "User-agent: wexacategoryscraper\n"
    "Disallow: /Arts/\n"
    "Allow: /Arts/Music/\n"
    "Crawl-delay: 2\n"
    "\n"
    "User-agent: *\n"
    "Disallow: /Science/\n";

const char kBinary[] = "\x00\xFF\xFE:\x01\nUser-agent: *\n\x00\x00" "Disallow: /a\nDisallow: /b\n";

std::string Huge() {
  std::string text = "User-agent: *\nDisallow: /early/\n";
  text += std::string(kMaxParsedBytes, '#');
  text += "\nDisallow: /late/\n";
  return text;
}

TEST(RobotsRulesTest, DecidesEveryPathAsTheRulesSay) {
  struct Case {
    const char* label;
    std::string robots;
    std::string agent;
    std::string path;
    bool allowed;
  };
  const std::vector<Case> cases = {
      // RFC 9309, 5.1: each crawler gets its own group; a group with no rules allows everything.
      {"rfc * gif", kRfcExample, "anybot", "/images/a.gif", false},
      {"rfc * gif$ needs the end", kRfcExample, "anybot", "/images/a.gif?x", true},
      {"rfc * example", kRfcExample, "anybot", "/example/page.html", false},
      {"rfc * publications", kRfcExample, "anybot", "/publications/x", true},
      {"rfc foobot allowed page", kRfcExample, "foobot", "/example/page.html", true},
      {"rfc foobot allowed gif", kRfcExample, "foobot", "/example/allowed.gif", true},
      {"rfc foobot rest", kRfcExample, "foobot", "/publications/", false},
      {"rfc barbot", kRfcExample, "barbot", "/example/page.html", false},
      {"rfc bazbot shares the group", kRfcExample, "BAZBOT", "/example/page.html", false},
      {"rfc bazbot not the * rules", kRfcExample, "bazbot", "/example/other.gif", true},
      {"rfc quxbot empty group", kRfcExample, "quxbot", "/example/a.gif", true},
      // RFC 9309, 5.2: the longest match wins.
      {"longest allow", "User-Agent: foobot\nAllow: /example/page/\nDisallow: /example/page/disallowed.gif\n", "foobot",
       "/example/page/", true},
      {"longest disallow", "User-Agent: foobot\nAllow: /example/page/\nDisallow: /example/page/disallowed.gif\n",
       "foobot", "/example/page/disallowed.gif", false},
      {"allow wins a tie", "User-agent: *\nDisallow: /a\nAllow: /a\n", kToken, "/a", true},
      {"tie after a longer", "User-agent: *\nDisallow: /ab\nAllow: /a*\n", kToken, "/abc", true},
      {"no match allows", "User-agent: *\nDisallow: /a\n", kToken, "/b", true},
      {"robots.txt itself", "User-agent: *\nDisallow: /\n", kToken, "/robots.txt", true},
      // The group: the product token ignoring case, then "*".
      {"token group", kSeveralGroups, kToken, "/Arts/", false},
      {"token group allow", kSeveralGroups, kToken, "/Arts/Music/Jazz/", true},
      {"token group not *", kSeveralGroups, kToken, "/Science/", true},
      {"other crawler", kSeveralGroups, "SomeBot", "/Science/x", false},
      {"token with version", "User-agent: WexaCategoryScraper/1.0\nDisallow: /x\n", kToken, "/x", false},
      {"longer name is another", "User-agent: WexaCategoryScraperPro\nDisallow: /x\nUser-agent: *\nDisallow: /y\n",
       kToken, "/x", true},
      {"groups combined", "User-agent: wexacategoryscraper\nDisallow: /a\n\nUser-agent: *\nDisallow: /c\n\n"
       "User-agent: WEXACATEGORYSCRAPER\nDisallow: /b\n", kToken, "/b", false},
      // "*" and "$".
      {"star in the middle", "User-agent: *\nDisallow: /a/*/c\n", kToken, "/a/b/x/c/d", false},
      {"star needs the rest", "User-agent: *\nDisallow: /a/*/c\n", kToken, "/a/b/d", true},
      {"dollar exact", "User-agent: *\nDisallow: /a$\n", kToken, "/a", false},
      {"dollar longer", "User-agent: *\nDisallow: /a$\n", kToken, "/ab", true},
      {"query counts", "User-agent: *\nDisallow: /*?\n", kToken, "/a?b=1", false},
      {"case counts in paths", "User-agent: *\nDisallow: /Arts/\n", kToken, "/arts/", true},
      // Percent-encoding (RFC 9309, 2.2.2).
      {"utf-8 in the rule", "User-agent: *\nDisallow: /foo/bar/\xE3\x83\x84\n", kToken, "/foo/bar/%E3%83%84", false},
      {"encoded rule", "User-agent: *\nDisallow: /foo/bar/%E3%83%84\n", kToken, "/foo/bar/%e3%83%84", false},
      {"encoded unreserved", "User-agent: *\nDisallow: /foo/bar/%62%61%7A\n", kToken, "/foo/bar/baz", false},
      {"encoded slash stays", "User-agent: *\nDisallow: /a/b\n", kToken, "/a%2Fb", true},
      // Bad input.
      {"empty file", "", kToken, "/a", true},
      {"no groups", "Disallow: /\n", kToken, "/a", true},
      {"no colon", "User-agent: *\nDisallow /a\n", kToken, "/a", true},
      {"comment only", "User-agent: * # all\nDisallow: /a # not /b\n", kToken, "/a", false},
      {"cr line ends", "User-agent: *\rDisallow: /a\rAllow: /a/b\r", kToken, "/a/c", false},
      {"cr lf line ends", "User-agent: *\r\nDisallow: /a\r\n", kToken, "/a", false},
      {"byte-order mark", "\xEF\xBB\xBFUser-agent: *\nDisallow: /a\n", kToken, "/a", false},
      {"unknown keys", "User-agent: *\nSitemap: http://x/s.xml\nNoindex: /a\nDisallow: /b\n", kToken, "/a", true},
      {"empty disallow", "User-agent: *\nDisallow:\n", kToken, "/a", true},
      {"binary", std::string(kBinary, sizeof(kBinary) - 1), kToken, "/b", false},
      {"huge: the part read", Huge(), kToken, "/early/", false},
      {"huge: beyond the limit", Huge(), kToken, "/late/", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(TRobotsRules::Parse(c.robots, c.agent).Allowed(c.path), c.allowed);
  }
}

TEST(RobotsRulesTest, AnswersAndCrawlDelayDecideTheOutcome) {
  struct Case {
    int status;
    TRobotsAnswer answer;
  };
  for (const Case& c : std::vector<Case>{{200, TRobotsAnswer::raRules},
                                         {204, TRobotsAnswer::raRules},
                                         {301, TRobotsAnswer::raAllowAll},
                                         {404, TRobotsAnswer::raAllowAll},
                                         {403, TRobotsAnswer::raAllowAll},
                                         {429, TRobotsAnswer::raUnreachable},
                                         {500, TRobotsAnswer::raUnreachable},
                                         {503, TRobotsAnswer::raUnreachable},
                                         {0, TRobotsAnswer::raUnreachable}}) {
    SCOPED_TRACE(c.status);
    EXPECT_EQ(AnswerOfStatus(c.status), c.answer);
  }
  EXPECT_FALSE(TRobotsRules::DisallowAll().Allowed("/"));
  EXPECT_TRUE(TRobotsRules::AllowAll().Allowed("/"));
  EXPECT_EQ(TRobotsRules::Parse(kSeveralGroups, kToken).CrawlDelay(), 2.0);
  EXPECT_EQ(TRobotsRules::Parse(kSeveralGroups, "other").CrawlDelay(), std::nullopt);
  EXPECT_EQ(TRobotsRules::Parse("User-agent: *\nCrawl-delay: soon\nCrawl-delay: 0.5\n", kToken).CrawlDelay(), 0.5);
  EXPECT_EQ(PathOfAddress("http://h:8080/a/b?c=1#d"), "/a/b?c=1");
  EXPECT_EQ(PathOfAddress("http://h:8080"), "/");
  EXPECT_EQ(OriginOfAddress("http://h:8080/a/b"), "http://h:8080");
}

}  // namespace
}  // namespace robots
