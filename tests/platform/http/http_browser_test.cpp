// The browserless engine: the browser contract (tests/support/browser_contract.h) held against it,
// and what it makes of pages and servers that go wrong, served on 127.0.0.1.

#include "tests/support/browser_contract.h"

#include <httplib.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "platform/http/http_browser.h"

namespace browser_contract {
namespace {

using namespace std::chrono_literals;

constexpr int kWaitMs = 10000;

void EnsureApplication() {
  static int argc = 1;
  static char name[] = "platform_http_tests";
  static char* argv[] = {name, nullptr};
  if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
}

bool WaitUntil(const std::function<bool()>& done, int ms) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// A server on 127.0.0.1 and the http browser, with the completions counted.
class HttpContractBrowser : public TContractBrowser {
 public:
  explicit HttpContractBrowser(const std::function<void(httplib::Server&)>& routes = {}) {
    EnsureApplication();
    browser_ = std::make_unique<platform::http::THttpBrowser>();
    if (routes) routes(server_);
    const TContractPage members = MembersPage();
    server_.Get(members.path, [markup = members.Markup()](const httplib::Request&, httplib::Response& r) {
      r.set_content(markup, "text/html; charset=utf-8");
    });
    // Answers late: long enough for the test to look at a load under way and stop it.
    server_.Get("/c/endless", [](const httplib::Request&, httplib::Response& r) {
      std::this_thread::sleep_for(1500ms);
      r.set_content("<html><body><p>late</p></body></html>", "text/html");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    platform::BrowserEvents events;
    events.onNavigateComplete2 = [this](const Variant&, Variant&) { ++navigations_; };
    events.onDocumentComplete = [this](const Variant&, Variant& url) {
      ++completions_;
      completedUrl_ = url.AsText();
      locationThen_ = browser_->LocationURL();
    };
    browser_->SetEvents(events);
  }
  ~HttpContractBrowser() override {
    browser_.reset();
    server_.stop();
    thread_.join();
  }
  platform::IBrowser& Browser() override { return *browser_; }
  std::u16string Url(const std::string& path) override {
    return platform::FromUtf8("http://127.0.0.1:" + std::to_string(port_) + path);
  }
  bool Load(const TContractPage& page) override { return LoadUrl(Url(page.path)); }
  bool LoadUrl(const std::u16string& url) {
    const int before = completions_;
    browser_->Navigate(url);
    return WaitUntil([&] { return completions_ > before; }, kWaitMs);
  }
  void StartEndlessLoad() override {
    browser_->Navigate(Url("/c/endless"));
    WaitUntil([] { return false; }, 200);
  }
  bool IsFake() const override { return false; }

  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::unique_ptr<platform::http::THttpBrowser> browser_;
  int completions_ = 0;
  int navigations_ = 0;
  std::u16string completedUrl_;
  std::u16string locationThen_;
};

TEST(HttpBrowserContract, MembersGiveTheEnginesValues) {
  HttpContractBrowser browser;
  CheckMembersPage(browser);
}

TEST(HttpBrowserContract, ReadyStateAndDocumentFollowTheEngine) {
  HttpContractBrowser browser;
  CheckReadyStates(browser);
}

// What the engine makes of each kind of page or failure: a completed load with the document a
// browser shows (the server's page, or an error page at the address requested), never a crash or a
// hang.
TEST(HttpBrowserPages, EveryResponseEndsInOneDocumentABrowserWouldShow) {
  const std::string big(17 * 1024 * 1024, 'x');
  auto html = [](const char* body, const char* type) {
    return [body, type](const httplib::Request&, httplib::Response& r) { r.set_content(body, type); };
  };
  HttpContractBrowser b([&](httplib::Server& s) {
  s.Get("/latin1", html("<title>T</title><p>caf\xe9 \x93q\x94</p>", "text/html; charset=ISO-8859-1"));
  s.Get("/meta", html("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\"><p>\xe9t\xe9</p>", "text/html"));
  s.Get("/unlabelled", html("<p>\xe9t\xe9</p>", "text/html"));
  s.Get("/badutf8", html("<p>a\xff\xc3(b</p>", "text/html; charset=utf-8"));
  s.Get("/bom", html("\xef\xbb\xbf<p>\xc3\xa9</p>", "text/html; charset=iso-8859-1"));
  s.Get("/malformed", html("<title> A \n title </title><p>one<li>two<table><td>x</b></p><i>3</table>", "text/html"));
  s.Get("/pre", html("<pre>\n a  b\n c</pre><p>x<br><br>y</p><div hidden>no</div><p style=\"display: none\">no</p>", "text/html"));
  s.Get("/500", [](const httplib::Request&, httplib::Response& r) {
    r.status = 500;
    r.set_content("<title>Oops</title><p>broken</p>", "text/html");
  });
  s.Get("/500empty", [](const httplib::Request&, httplib::Response& r) { r.status = 500; });
  s.Get("/loop", [](const httplib::Request&, httplib::Response& r) { r.set_redirect("/loop"); });
  s.Get("/moved", [](const httplib::Request&, httplib::Response& r) { r.set_redirect("/latin1"); });
  s.Get("/huge", [&big](const httplib::Request&, httplib::Response& r) { r.set_content(big, "text/html"); });
  s.Get("/truncated", [](const httplib::Request&, httplib::Response& r) {
    r.set_content_provider(1000, "text/html", [](std::size_t offset, std::size_t, httplib::DataSink& sink) {
      if (offset > 0) return false;  // the connection closes before the rest
      sink.write("<p>part", 7);
      return true;
    });
  });
  });
  const std::u16string refused = u"http://127.0.0.1:1/x";

  struct Case {
    std::u16string url;
    std::u16string location;  // where the load ends
    std::u16string title;
    std::u16string firstParagraph;  // innertext of the first P
  };
  auto error = [&](const std::u16string& url) { return Case{url, url, u"127.0.0.1", url}; };
  const std::vector<Case> cases = {
      {b.Url("/latin1"), b.Url("/latin1"), u"T", u"caf\u00e9 \u201cq\u201d"},
      {b.Url("/meta"), b.Url("/meta"), b.Url("/meta"), u"\u00e9t\u00e9"},
      {b.Url("/unlabelled"), b.Url("/unlabelled"), b.Url("/unlabelled"), u"\u00e9t\u00e9"},
      {b.Url("/badutf8"), b.Url("/badutf8"), b.Url("/badutf8"), u"a\ufffd\ufffd(b"},
      {b.Url("/bom"), b.Url("/bom"), b.Url("/bom"), u"\u00e9"},
      {b.Url("/malformed"), b.Url("/malformed"), u"A title", u"one"},
      {b.Url("/pre"), b.Url("/pre"), b.Url("/pre"), u"x\n\ny"},
      {b.Url("/500"), b.Url("/500"), u"Oops", u"broken"},
      {b.Url("/500empty"), b.Url("/500empty"), u"127.0.0.1", b.Url("/500empty")},
      {b.Url("/moved"), b.Url("/latin1"), u"T", u"caf\u00e9 \u201cq\u201d"},
      error(b.Url("/loop")),
      error(b.Url("/huge")),
      error(b.Url("/truncated")),
      error(refused),
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(platform::ToUtf8(c.url));
    const int navigations = b.navigations_;
    ASSERT_TRUE(b.LoadUrl(c.url));
    EXPECT_EQ(b.navigations_, navigations + 1);
    EXPECT_EQ(b.completedUrl_, c.location);
    EXPECT_EQ(b.locationThen_, c.location);
    EXPECT_EQ(b.browser_->LocationName(), c.title);
    const Variant document = b.browser_->Document();
    ASSERT_TRUE(b.browser_->IsHtmlDocument(document));
    EXPECT_TRUE(document.Get(u"body").IsObject());
    EXPECT_EQ(Item(Tags(document, u"P"), 0).Get(u"innertext").AsText(), c.firstParagraph);
  }
  // The malformed page has the tree an HTML5 parser builds.
  ASSERT_TRUE(b.LoadUrl(b.Url("/malformed")));
  const Variant malformed = b.browser_->Document();
  EXPECT_EQ(Item(Tags(malformed, u"BODY"), 0).Get(u"innerhtml").AsText(),
            u"<p>one</p><li>two<table><tbody><tr><td>x<p></p><i>3</i></td></tr></tbody></table></li>");
  ASSERT_TRUE(b.LoadUrl(b.Url("/pre")));
  EXPECT_EQ(Item(Tags(b.browser_->Document(), u"PRE"), 0).Get(u"innertext").AsText(), u" a  b\n c");
  EXPECT_EQ(Item(Tags(b.browser_->Document(), u"BODY"), 0).Get(u"innertext").AsText(), u" a  b\n c\n\nx\n\ny");

  // A server that takes the request and never answers: the load stays under way until Stop.
  httplib::Server silent;
  silent.Get("/", [&silent](const httplib::Request&, httplib::Response&) {
    for (int i = 0; i < 100 && silent.is_running(); ++i) std::this_thread::sleep_for(20ms);
  });
  const int silentPort = silent.bind_to_any_port("127.0.0.1");
  std::thread silentThread([&] { silent.listen_after_bind(); });
  const int before = b.completions_;
  b.browser_->Navigate(platform::FromUtf8("http://127.0.0.1:" + std::to_string(silentPort) + "/"));
  EXPECT_FALSE(WaitUntil([&] { return b.completions_ > before; }, 500));
  EXPECT_EQ(b.browser_->ReadyState(), 1);
  b.browser_->Stop();
  EXPECT_EQ(b.browser_->ReadyState(), 3);
  EXPECT_TRUE(b.LoadUrl(b.Url("/latin1"))) << "the browser goes on after a load that never ended";
  silent.stop();
  silentThread.join();
}

// Pages loaded ahead are taken without a second request, and the delay spaces every load's start.
TEST(HttpBrowserPages, LoadsAheadAreUsedAndTheDelaySpacesAllStarts) {
  EnsureApplication();
  httplib::Server server;
  std::vector<std::pair<std::string, qint64>> requests;
  std::mutex mutex;
  QElapsedTimer clock;
  clock.start();
  server.Get("/p/(\\d+)", [&](const httplib::Request& request, httplib::Response& r) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      requests.emplace_back(request.path, clock.elapsed());
    }
    r.set_content("<title>Talmorex - " + request.path + "</title><p>" + request.path + "</p>", "text/html");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread thread([&] { server.listen_after_bind(); });
  auto url = [&](int i) { return platform::FromUtf8("http://127.0.0.1:" + std::to_string(port) + "/p/" + std::to_string(i)); };

  platform::http::THttpBrowserOptions options;
  options.pagesAhead = 3;
  options.navigationDelayMs = 50;
  platform::http::THttpBrowser browser(options);
  std::vector<std::u16string> completed;
  platform::BrowserEvents events;
  events.onDocumentComplete = [&](const Variant&, Variant& u) { completed.push_back(u.AsText()); };
  browser.SetEvents(events);
  EXPECT_EQ(browser.LoadsAhead(), 3);
  for (int i = 0; i < 6; ++i) {
    browser.Navigate(url(i));
    std::vector<std::u16string> next;
    for (int k = i + 1; k < 6; ++k) next.push_back(url(k));
    browser.HintUpcoming(next);
    ASSERT_TRUE(WaitUntil([&] { return completed.size() == static_cast<std::size_t>(i + 1); }, kWaitMs));
    EXPECT_EQ(completed.back(), url(i));
    EXPECT_EQ(browser.LocationName(), u"Talmorex - /p/" + platform::FromUtf8(std::to_string(i)));
  }
  server.stop();
  thread.join();
  ASSERT_EQ(requests.size(), 6u) << "every page requested once";
  std::sort(requests.begin(), requests.end(), [](const auto& a, const auto& c) { return a.second < c.second; });
  // Measured where the requests arrive, so one late arrival may shorten a gap; all of them together
  // span the five delays.
  EXPECT_GE(requests.back().second - requests.front().second, 5 * options.navigationDelayMs - 25);
}

}  // namespace
}  // namespace browser_contract
