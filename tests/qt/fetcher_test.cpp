// The Qt fetcher against a server on 127.0.0.1: what each kind of answer (or none) comes back as.

#include "platform/qt/fetcher.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/text.h"
#include "tests/qt/event_loop.h"

namespace {

TEST(QtFetcherTest, AnswersRedirectsLimitsAndFailuresComeBackAsDefined) {
  httplib::Server server;
  std::mutex mutex;
  std::string userAgent;
  server.Get(R"(/r/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
    const int hops = std::stoi(request.matches[1]);
    if (hops == 0) {
      response.set_content("User-agent: *\nDisallow: /x\n", "text/plain");
    } else {
      response.set_redirect("/r/" + std::to_string(hops - 1), 302);
    }
  });
  server.Get("/big", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(std::string(1 << 20, 'a'), "text/plain");
  });
  server.Get("/busy", [&](const httplib::Request& request, httplib::Response& response) {
    std::lock_guard<std::mutex> lock(mutex);
    userAgent = request.get_header_value("User-Agent");
    response.status = 503;
    response.set_header("Retry-After", "2");
    response.set_content("busy", "text/plain");
  });
  server.Get("/slow", [](const httplib::Request&, httplib::Response& response) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    response.set_content("late", "text/plain");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread listener([&] { server.listen_after_bind(); });
  const std::string base = "http://127.0.0.1:" + std::to_string(port);

  struct Case {
    std::string address;
    int status;
    std::string error;
    std::size_t bodySize;
  };
  const std::vector<Case> cases = {
      {base + "/r/0", 200, "", 27},
      {base + "/r/5", 200, "", 27},                 // five redirects are followed
      {base + "/r/6", 302, "", 0},                  // the sixth is returned as it is
      {base + "/big", 200, "", 1000},               // reading stops at the limit
      {base + "/busy", 503, "", 4},
      {base + "/slow", 0, "timed out", 0},
      {"http://127.0.0.1:9/robots.txt", 0, "connection refused", 0},
  };
  platform::qt::QtFetcher fetcher("WexaCategoryScraper/9.9", 800);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    std::optional<platform::TFetchResult> result;
    fetcher.Fetch(platform::FromUtf8(c.address), 1000, [&](const platform::TFetchResult& r) { result = r; });
    EXPECT_FALSE(result) << "answers come from the event loop";
    ASSERT_TRUE(qt_test::WaitUntil([&] { return result.has_value(); }, 10000));
    EXPECT_EQ(result->status, c.status);
    EXPECT_EQ(result->error, c.error);
    EXPECT_EQ(result->body.size(), c.bodySize);
    if (c.status == 503) {
      EXPECT_EQ(platform::RetryAfterSeconds(platform::HeaderValue(*result, "retry-after")), 2);
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(userAgent, "WexaCategoryScraper/9.9");
  }
  server.stop();
  listener.join();
}

}  // namespace
