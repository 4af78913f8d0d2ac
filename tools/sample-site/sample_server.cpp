#include "sample_server.h"

#include <httplib.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

namespace sample_site {

namespace {
constexpr const char* kContentType = "text/html; charset=utf-8";
// Enough workers that a few stalled requests and the browser's idle keep-alive connections do not
// hold up the page the crawler is waiting for.
constexpr std::size_t kWorkers = 16;
}  // namespace

SampleServer::SampleServer(const SiteModel& model, std::chrono::milliseconds stall,
                           std::chrono::milliseconds latency)
    : model_(model), stall_(stall), latency_(latency), server_(std::make_unique<httplib::Server>()) {
  server_->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  server_->set_keep_alive_timeout(2);
  // A browser would otherwise open a new connection every fifth page (the library's default).
  server_->set_keep_alive_max_count(100);
  // Without it, every response after the first on a kept-alive connection waits about 40 ms for the
  // client's delayed acknowledgement (Nagle's algorithm), which would dominate a local crawl.
  server_->set_tcp_nodelay(true);
  server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    if (latency_.count() > 0) InterruptibleWait(latency_);
    const Reply reply = Respond(request.path);
    response.status = reply.status;
    response.set_content(reply.body, kContentType);
    std::function<void(const std::string&, const std::string&, int, FaultKind)> logger;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      logger = logger_;
    }
    if (logger) logger(request.method, request.path, reply.status, reply.fault);
  });
}

SampleServer::~SampleServer() { Stop(); }

int SampleServer::Start(int port) {
  // The library's default also sets SO_REUSEPORT, with which a second server binds the same port
  // and the two share its requests. SO_REUSEADDR alone lets a restart reuse a port in TIME_WAIT but
  // refuses a port another server listens on.
  server_->set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  });
  int bound = port;
  if (port == 0) {
    bound = server_->bind_to_any_port("127.0.0.1");
    if (bound < 0) throw std::runtime_error("cannot bind 127.0.0.1 to a free port");
  } else if (!server_->bind_to_port("127.0.0.1", port)) {
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) +
                             ": the port is in use or not allowed (--port 0 picks a free one)");
  }
  auto ended = std::make_shared<std::atomic<bool>>(false);
  listener_ = std::thread([this, ended] {
    server_->listen_after_bind();
    *ended = true;
  });
  // A stop before the loop runs would find nothing to stop, and the loop would never end.
  while (!server_->is_running() && !*ended) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return bound;
}

void SampleServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  stopping_.notify_all();
  server_->stop();
  if (listener_.joinable()) listener_.join();
}

void SampleServer::SetLogger(std::function<void(const std::string&, const std::string&, int, FaultKind)> logger) {
  std::lock_guard<std::mutex> lock(mutex_);
  logger_ = std::move(logger);
}

int SampleServer::RequestCount(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = requests_.find(path);
  return it == requests_.end() ? 0 : it->second;
}

void SampleServer::InterruptibleWait(std::chrono::milliseconds time) {
  std::unique_lock<std::mutex> lock(mutex_);
  stopping_.wait_for(lock, time, [this] { return stopped_; });
}

SampleServer::Reply SampleServer::Respond(const std::string& path) {
  bool first;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    first = ++requests_[path] == 1;
  }
  std::optional<std::string> page = model_.PageAt(path);
  if (!page) return {404, "<!DOCTYPE html>\n<html><head><title>404 Not Found</title></head><body></body></html>\n"};

  const FaultKind fault = first ? model_.FaultFor(path) : FaultKind::None;
  switch (fault) {
    case FaultKind::None: return {200, std::move(*page), fault};
    case FaultKind::WrongPage: return {200, model_.WrongPage(), fault};
    case FaultKind::NoSearchHost: return {200, model_.PageWithoutSearchHost(path), fault};
    case FaultKind::Truncated: return {200, model_.TruncatedPage(path), fault};
    case FaultKind::Http500: return {500, model_.ErrorPage500(), fault};
    case FaultKind::Stall: InterruptibleWait(stall_); return {200, std::move(*page), fault};
  }
  return {200, std::move(*page), fault};
}

}  // namespace sample_site
