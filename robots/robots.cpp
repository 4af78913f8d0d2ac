#include "robots/robots.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace robots {

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

std::string_view Trim(std::string_view s) {
  const auto space = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

void AppendEncoded(std::string& out, unsigned char c) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += '%';
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

// The name a user-agent line gives: its leading run of letters, "_" and "-" (what follows, such as
// a version, is not part of the product token), or "*".
std::string_view AgentName(std::string_view value) {
  if (!value.empty() && value.front() == '*') return "*";
  std::size_t n = 0;
  while (n < value.size() && ((value[n] >= 'A' && value[n] <= 'Z') || (value[n] >= 'a' && value[n] <= 'z') ||
                              value[n] == '_' || value[n] == '-'))
    ++n;
  return value.substr(0, n);
}

// Whether pattern (normalised, "*" any run, "$" at the end the end of the path) matches path from
// its start. Tracks every position of path the pattern read so far can end at, so "*" never
// backtracks exponentially.
bool Matches(std::string_view pattern, std::string_view path) {
  bool anchored = false;
  if (!pattern.empty() && pattern.back() == '$') {
    anchored = true;
    pattern.remove_suffix(1);
  }
  const std::size_t n = path.size();
  std::vector<char> reach(n + 1, 0);
  reach[0] = 1;
  for (const char c : pattern) {
    if (c == '*') {
      const auto first = std::find(reach.begin(), reach.end(), 1);
      std::fill(first, reach.end(), 1);
      continue;
    }
    bool any = false;
    for (std::size_t p = n; p > 0; --p) {
      reach[p] = reach[p - 1] && path[p - 1] == c;
      any = any || reach[p];
    }
    reach[0] = 0;
    if (!any) return false;
  }
  return anchored ? reach[n] != 0 : std::find(reach.begin(), reach.end(), 1) != reach.end();
}

std::optional<double> ParseSeconds(std::string_view value) {
  double seconds = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
  if (error != std::errc() || end != value.data() + value.size() || !std::isfinite(seconds) || seconds < 0)
    return std::nullopt;
  return seconds;
}

}  // namespace

std::string NormalisePath(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto c = static_cast<unsigned char>(path[i]);
    if (c == '%' && i + 2 < path.size() && HexValue(path[i + 1]) >= 0 && HexValue(path[i + 2]) >= 0) {
      const auto decoded = static_cast<unsigned char>(HexValue(path[i + 1]) * 16 + HexValue(path[i + 2]));
      if (Unreserved(decoded)) {
        out += static_cast<char>(decoded);
      } else {
        AppendEncoded(out, decoded);
      }
      i += 2;
    } else if (c >= 0x80 || c <= 0x20 || c == 0x7F) {
      AppendEncoded(out, c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

TRobotsRules TRobotsRules::AllowAll() { return TRobotsRules(); }

TRobotsRules TRobotsRules::DisallowAll() {
  TRobotsRules rules;
  rules.disallowAll_ = true;
  return rules;
}

TRobotsRules TRobotsRules::Parse(std::string_view text, std::string_view productToken) {
  if (text.size() > kMaxParsedBytes) {
    text = text.substr(0, kMaxParsedBytes);
    // The line cut at the limit might say less than it was meant to.
    const std::size_t lastEnd = text.find_last_of("\r\n");
    text = lastEnd == std::string_view::npos ? std::string_view() : text.substr(0, lastEnd);
  }
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

  struct TGroup {
    bool forToken = false;
    bool forAll = false;
    std::vector<TRule> rules;
    std::optional<double> crawlDelay;
  };
  std::vector<TGroup> groups;
  // A user-agent line after a rule starts a new group; consecutive ones name one group.
  bool groupHasRules = true;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find_first_of("\r\n", at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (end < text.size() && text[end] == '\r' && at < text.size() && text[at] == '\n') ++at;

    if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, colon));
    const std::string_view value = Trim(line.substr(colon + 1));

    if (EqualIgnoringCase(key, "user-agent")) {
      if (groupHasRules) {
        groups.emplace_back();
        groupHasRules = false;
      }
      const std::string_view name = AgentName(value);
      if (name == "*") {
        groups.back().forAll = true;
      } else if (!name.empty() && EqualIgnoringCase(name, productToken)) {
        groups.back().forToken = true;
      }
      continue;
    }
    const bool allow = EqualIgnoringCase(key, "allow");
    const bool disallow = EqualIgnoringCase(key, "disallow");
    const bool delay = EqualIgnoringCase(key, "crawl-delay");
    // Rules before the first user-agent line belong to no group.
    if (!(allow || disallow || delay) || groups.empty()) continue;
    groupHasRules = true;
    TGroup& group = groups.back();
    if (delay) {
      if (!group.crawlDelay) group.crawlDelay = ParseSeconds(value);
    } else if (!value.empty()) {
      group.rules.push_back({allow, NormalisePath(value)});
    }
  }

  TRobotsRules result;
  const bool anyForToken = std::any_of(groups.begin(), groups.end(), [](const TGroup& g) { return g.forToken; });
  for (TGroup& group : groups) {
    if (anyForToken ? !group.forToken : !group.forAll) continue;
    for (TRule& rule : group.rules) result.rules_.push_back(std::move(rule));
    if (!result.crawlDelay_) result.crawlDelay_ = group.crawlDelay;
  }
  return result;
}

bool TRobotsRules::Allowed(std::string_view pathAndQuery) const {
  const std::string path = NormalisePath(pathAndQuery.empty() ? std::string_view("/") : pathAndQuery);
  if (path == "/robots.txt") return true;
  if (disallowAll_) return false;
  std::size_t longest = 0;
  bool allowed = true;
  bool matched = false;
  for (const TRule& rule : rules_) {
    if (!Matches(rule.pattern, path)) continue;
    const std::size_t length = rule.pattern.size();
    if (!matched || length > longest) {
      allowed = rule.allow;
      longest = length;
      matched = true;
    } else if (length == longest && rule.allow) {
      allowed = true;
    }
  }
  return allowed;
}

TRobotsAnswer AnswerOfStatus(int status) {
  if (status >= 200 && status <= 299) return TRobotsAnswer::raRules;
  // A server that asks for fewer requests is not a missing file.
  if (status == 429) return TRobotsAnswer::raUnreachable;
  if (status >= 300 && status <= 499) return TRobotsAnswer::raAllowAll;
  return TRobotsAnswer::raUnreachable;
}

std::string OriginOfAddress(std::string_view address) {
  const std::size_t scheme = address.find("://");
  const std::size_t hostStart = scheme == std::string_view::npos ? 0 : scheme + 3;
  const std::size_t hostEnd = address.find_first_of("/?#", hostStart);
  return std::string(address.substr(0, hostEnd));
}

std::string PathOfAddress(std::string_view address) {
  const std::size_t scheme = address.find("://");
  const std::size_t hostStart = scheme == std::string_view::npos ? 0 : scheme + 3;
  const std::size_t pathStart = address.find_first_of("/?#", hostStart);
  if (pathStart == std::string_view::npos) return "/";
  std::string_view path = address.substr(pathStart);
  path = path.substr(0, path.find('#'));
  if (path.empty() || path.front() != '/') return "/" + std::string(path);
  return std::string(path);
}

}  // namespace robots
