#pragma once
// robots.txt as RFC 9309 defines it, for one crawler: the group that applies to the crawler's
// product token, whether a path may be fetched, and the Crawl-delay of that group (not in the RFC,
// but widely used). Plain C++: no I/O, no clock. Values are immutable and may be shared between
// threads.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace robots {

// Only this much of a robots.txt is parsed; the rest is ignored.
constexpr std::size_t kMaxParsedBytes = 500 * 1024;

class TRobotsRules {
 public:
  // Everything may be fetched (no robots.txt, an answer in 4xx).
  static TRobotsRules AllowAll();
  // Nothing may be fetched (server error, no answer).
  static TRobotsRules DisallowAll();
  // The rules of text for productToken: the groups whose user-agent names that token (compared
  // ignoring case), combined; otherwise the "*" groups, combined; otherwise none, which allows
  // everything. Only the first kMaxParsedBytes are read (a line cut there is dropped). Lines end
  // in LF, CR LF or CR; a leading byte-order mark, comments, lines without a colon and unknown keys
  // are ignored. Never throws on any input.
  static TRobotsRules Parse(std::string_view text, std::string_view productToken);

  // Whether pathAndQuery ("/a/b?x=1", as in a request line; empty counts as "/") may be fetched:
  // the matching rule with the longest pattern decides, an Allow wins a tie, no matching rule
  // allows. "/robots.txt" is always allowed. Patterns and path are compared after percent-encoding
  // normalisation: bytes outside ASCII are encoded, encoded unreserved characters decoded, hex
  // digits upper-cased. "*" in a pattern matches any run of characters, "$" at its end the end of
  // the path.
  bool Allowed(std::string_view pathAndQuery) const;
  // The group's Crawl-delay in seconds (the first valid one), or nullopt.
  std::optional<double> CrawlDelay() const { return crawlDelay_; }
  // The number of rules of the group that applies.
  std::size_t RuleCount() const { return rules_.size(); }

 private:
  struct TRule {
    bool allow = false;
    std::string pattern;  // normalised
  };
  std::vector<TRule> rules_;
  std::optional<double> crawlDelay_;
  bool disallowAll_ = false;
};

// What an answer to the robots.txt request means.
enum class TRobotsAnswer {
  raRules,        // 2xx: parse the body
  raAllowAll,     // 3xx left after the redirects followed, 4xx except 429: no rules
  raUnreachable,  // no answer, 429 or 5xx: nothing may be fetched until a later answer
};
// status: the HTTP status of the final answer, 0 when none came.
TRobotsAnswer AnswerOfStatus(int status);

// The path and query of an absolute address ("http://h:1/a?b#c" gives "/a?b"); "/" when it has
// none.
std::string PathOfAddress(std::string_view address);
// Scheme, host and port of an absolute address ("http://h:1/a" gives "http://h:1").
std::string OriginOfAddress(std::string_view address);
// Percent-encoding normalisation of a path or pattern (see Allowed).
std::string NormalisePath(std::string_view path);

}  // namespace robots
