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

  // Called after each response with method, path, status and the fault injected (None if none).
  void SetLogger(std::function<void(const std::string&, const std::string&, int, FaultKind)> logger);

  // Requests seen for path so far, faulty ones included.
  int RequestCount(const std::string& path) const;

 private:
  struct Reply {
    int status = 200;
    std::string body;
    FaultKind fault = FaultKind::None;
  };
  Reply Respond(const std::string& path);
  // Sleeps for the given time; returns early when Stop is called.
  void InterruptibleWait(std::chrono::milliseconds time);

  const SiteModel& model_;
  const std::chrono::milliseconds stall_;
  const std::chrono::milliseconds latency_;
  std::unique_ptr<httplib::Server> server_;
  std::thread listener_;
  std::function<void(const std::string&, const std::string&, int, FaultKind)> logger_;

  mutable std::mutex mutex_;
  std::condition_variable stopping_;
  bool stopped_ = false;
  std::map<std::string, int> requests_;
};

}  // namespace sample_site
