#pragma once
// A plain HTTP GET that is not a page load: for files the crawl reads besides the directory's pages
// (robots.txt).

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// The answer to a fetch.
struct TFetchResult {
  // HTTP status of the final answer (after the redirects followed); 0 when no answer came.
  int status = 0;
  // Why no answer came ("connection refused", "timed out"); empty when one came.
  std::string error;
  // Header fields of the final answer, names as sent.
  std::vector<std::pair<std::string, std::string>> headers;
  // The body of the final answer, at most the limit the fetch was given.
  std::string body;
};

// Fetches addresses with GET, sending the crawler's User-Agent, following up to five redirects
// and giving up after a time limit of its own.
// Threading: called on the window's thread; answers on it.
class IFetcher {
 public:
  IFetcher() = default;
  IFetcher(const IFetcher&) = delete;
  IFetcher& operator=(const IFetcher&) = delete;
  virtual ~IFetcher() = default;

  using TDone = std::function<void(const TFetchResult& result)>;
  // Starts a GET of address (absolute). done is called exactly once, on the window's thread, as an
  // event of its own or, when the answer is known at once, before Fetch returns; the caller keeps
  // its state consistent for both. Reading stops after maxBodyBytes of body (the rest is not
  // downloaded). A fetcher destroyed with fetches under way calls none of their dones.
  virtual void Fetch(const std::u16string& address, std::size_t maxBodyBytes, TDone done) = 0;
};

// The value of header name in result (compared ignoring ASCII case), or an empty string.
inline std::string HeaderValue(const TFetchResult& result, const std::string& name) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  for (const auto& [key, value] : result.headers) {
    if (key.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < key.size() && same; ++i) same = lower(key[i]) == lower(name[i]);
    if (same) return value;
  }
  return {};
}

// The seconds a Retry-After value asks for (delta-seconds form only; an HTTP date, which would need
// the clock, counts as not given), or -1.
inline int RetryAfterSeconds(const std::string& value) {
  std::size_t begin = value.find_first_not_of(" \t");
  std::size_t end = value.find_last_not_of(" \t");
  if (begin == std::string::npos) return -1;
  long long seconds = 0;
  for (std::size_t i = begin; i <= end; ++i) {
    if (value[i] < '0' || value[i] > '9') return -1;
    seconds = seconds * 10 + (value[i] - '0');
    if (seconds > 86400) seconds = 86400;
  }
  return static_cast<int>(seconds);
}

}  // namespace platform
