#pragma once
// The HTTP server of wexa-sample-site: serves a SiteModel on 127.0.0.1 and injects its faults.
//
// Every response, faulty or not, is sent after the latency given at construction (0: at once), as a
// distant server's would be; responses are written without waiting to fill a segment (TCP no-delay).
//
// Fault rule: the first request of an address whose SiteModel::FaultFor is not None fails in that
// way; every later request of the address is served normally, also while the first one is still
// stalling. Unknown addresses get 404. Every response is text/html; charset=utf-8.
//
// Threading: requests are handled on the server's own worker threads; Start, Stop and the
// accessors may be called from any one controlling thread.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "site_model.h"

namespace httplib {
class Server;
}

namespace sample_site {

class SampleServer {
 public:
  // Does not own the model; it must outlive the server.
  SampleServer(const SiteModel& model, std::chrono::milliseconds stall,
               std::chrono::milliseconds latency = std::chrono::milliseconds(0));
  ~SampleServer();
  SampleServer(const SampleServer&) = delete;
  SampleServer& operator=(const SampleServer&) = delete;

  // Binds 127.0.0.1:port (0: a free port) and starts serving on a background thread. Returns the
  // port bound. Throws std::runtime_error when the port cannot be bound. Call once.
  int Start(int port);
  // Ends every stall at once, stops listening and joins the server's threads. Idempotent.
  void Stop();

  // Called after each response with method, path, status, the fault injected (None if none), the
  // milliseconds since the server was made and the request's User-Agent.
  using Logger = std::function<void(const std::string& method, const std::string& path, int status, FaultKind fault,
                                    long long milliseconds, const std::string& userAgent)>;
  void SetLogger(Logger logger);
  // Serves text as /robots.txt (text/plain). Call before Start.
  void SetRobots(std::string text);
  // The first count top-level pages answer 503 first: the k-th 3 + k % 2 times, with
  // "Retry-After: 1 + k % 2". Call before Start.
  void SetBusyPages(int count);

  // Requests seen for path so far, faulty ones included.
  int RequestCount(const std::string& path) const;

 private:
  struct Reply {
    int status = 200;
    std::string body;
    FaultKind fault = FaultKind::None;
    int retryAfter = 0;  // seconds; 0: no Retry-After
    const char* contentType = nullptr;  // nullptr: text/html
  };
  Reply Respond(const std::string& path);
  // Sleeps for the given time; returns early when Stop is called.
  void InterruptibleWait(std::chrono::milliseconds time);

  const SiteModel& model_;
  const std::chrono::milliseconds stall_;
  const std::chrono::milliseconds latency_;
  std::unique_ptr<httplib::Server> server_;
  std::thread listener_;
  Logger logger_;
  std::optional<std::string> robots_;
  // Busy page paths: how often each answers 503, and its Retry-After.
  std::map<std::string, std::pair<int, int>> busy_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();

  mutable std::mutex mutex_;
  std::condition_variable stopping_;
  bool stopped_ = false;
  std::map<std::string, int> requests_;
};

}  // namespace sample_site
