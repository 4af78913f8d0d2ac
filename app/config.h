#pragma once
// The values that configure the crawl. The two addresses can be overridden with the environment
// variables WEXA_ROOT_URL and WEXA_SEARCH_HOST (how the demo and the tests point the program at a
// local sample directory); everything else is fixed.

#include <optional>
#include <string>

namespace config {

// Scheme and host of the directory, without a trailing slash.
constexpr const char* kDefaultRootUrl = "http://www.wexa.org";
// Host name of the directory's search service; every complete directory page mentions it.
constexpr const char* kDefaultSearchHost = "search.wexa.org";
constexpr const char16_t* kTitleMarker1 = u"Talmorex - ";
constexpr const char16_t* kTitleMarker2 = u"TMX - ";
constexpr int kReloadIntervalMs = 30000;
// Below this minimum content level the start asks for confirmation.
constexpr int kConfirmationThreshold = 5000;
constexpr int kLogSizeLimit = 1048576;

// The product token of the crawler: what robots.txt groups are matched against, and the start of
// its User-Agent.
constexpr const char* kProductToken = "WexaCategoryScraper";
// The longest Crawl-delay obeyed, in ms: a load held back longer would reach the reload timer's
// period, which counts from the request.
constexpr int kMaxCrawlDelayMs = 20000;

// The User-Agent of every request the crawler makes (page loads of every engine, robots.txt):
// commandLine when given (--user-agent), else WEXA_USER_AGENT when set and not empty, else
// "WexaCategoryScraper/<version>" with the version of the window caption. The robots.txt group is
// chosen by kProductToken whatever this is.
std::string UserAgent(const std::optional<std::string>& commandLine = std::nullopt);
// Whether the crawl obeys robots.txt: not with ignoreFlag (--ignore-robots) nor with
// WEXA_IGNORE_ROBOTS=1.
bool ObeyRobots(bool ignoreFlag = false);

// The root address: WEXA_ROOT_URL when set and not empty, else kDefaultRootUrl.
std::u16string RootUrl();
// The search host: WEXA_SEARCH_HOST when set and not empty, else kDefaultSearchHost.
std::string SearchHost();

}  // namespace config
