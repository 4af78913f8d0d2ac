// The WebEngine browser and its snapshot DOM binding against pages served on 127.0.0.1.
// Runs offscreen; sets QT_QPA_PLATFORM=offscreen and QTWEBENGINE_DISABLE_SANDBOX=1 when unset.

#include <gtest/gtest.h>
#include <httplib.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineView>
#include <QWidget>

#include <signal.h>
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/qt/dom_binding.h"
#include "platform/qt/web_browser.h"
#include "platform/text.h"
#include "tests/qt/event_loop.h"

namespace {

using platform::Variant;
using platform::qt::QtWebBrowser;

constexpr int kWaitMs = 5000;
constexpr int kSlowMs = 1200;

const char* const kMembersPage = R"(<!DOCTYPE html>
<html><head><title>Talmorex - Members</title></head><body>
<p id="intro">Intro <b>bold</b></p>
<ul>
<li id="first"><a href="/Arts/Music/">Music</a> <i>(1,234)</i></li>
<li class=two><a HREF='rel/x?y=1&amp;z=2'>Rel</a> <I>(12)</I> @</li>
<li>No link here</li>
</ul>
<p>See also:</p>
<table><tr><td>first table</td></tr></table>
<table><tr><td><a href="http://other.example/z">Z</a> <a href="/second">2nd</a></td><td><a name="t">T</a></td></tr></table>
</body></html>)";

// Markup that defeats naive slicing: a comment and a script holding copies of real elements,
// nested elements of one tag, void elements, raw text, foreign content and entities.
const char* const kTrickyPage = R"(<!DOCTYPE html>
<html><head><title>Tricky</title><script>var s = "<li><a href=\"/x\">X</a></li>";</script>
<style>p { color: red }</style></head><body>
<!-- <li><a href="/x">X</a></li> -->
<ul><li><a href="/x">X</a></li><li><a href="/x">X</a></li></ul>
<div><div><div>deep</div></div><br><img alt="a>b" src="/none.png"><input value='q"uote'></div>
<textarea>&lt;li&gt;raw</textarea><pre>
 pre text</pre>
<p>caf&eacute; &amp; &nbsp;more&lt;</p>
<svg width="10" height="10"><a href="/svg"><text>svg</text></a></svg>
<template><li>in template</li></template>
<table><tr><td>cell<td>cell2</table>
</body></html>)";

std::string CategoryPage(int entries) {
  std::string html = "<!DOCTYPE html><html><head><title>Talmorex - Category</title></head><body>\n"
                     "<p>Categories</p><ul>\n";
  for (int i = 0; i < entries; ++i)
    html += "<li><a href=\"/Top/Sub" + std::to_string(i) + "/\">Sub " + std::to_string(i) + "</a> <i>(" +
            std::to_string(1000 + i) + ")</i></li>\n";
  html += "</ul><p>See also:</p><ul><li><a href=\"/Other/\">Other: thing</a></li></ul>"
          "<p>search.wexa.org</p></body></html>";
  return html;
}

using qt_test::Pause;
using qt_test::WaitUntil;

QApplication& App() {
  static QApplication* app = [] {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX")) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance())) return existing;
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    static int argc = 1;
    static char name[] = "web_browser_test";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return *app;
}

// A small site on 127.0.0.1 for the whole suite.
class TestSite {
 public:
  TestSite() {
    server_.Get("/members", [](const httplib::Request&, httplib::Response& r) { r.set_content(kMembersPage, "text/html"); });
    server_.Get("/tricky", [](const httplib::Request&, httplib::Response& r) { r.set_content(kTrickyPage, "text/html"); });
    server_.Get("/category", [](const httplib::Request&, httplib::Response& r) { r.set_content(CategoryPage(100), "text/html"); });
    server_.Get("/second", [](const httplib::Request&, httplib::Response& r) {
      r.set_content("<html><head><title>Talmorex - Second</title></head><body><p>second</p></body></html>", "text/html");
    });
    server_.Get("/slow", [](const httplib::Request&, httplib::Response& r) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kSlowMs));
      r.set_content("<html><head><title>Talmorex - Slow</title></head><body><p>slow</p></body></html>", "text/html");
    });
    server_.Get("/missing", [](const httplib::Request&, httplib::Response& r) {
      r.status = 404;
      r.set_content("<html><head><title>Not here</title></head><body><p>gone</p></body></html>", "text/html");
    });
    server_.Get("/empty404", [](const httplib::Request&, httplib::Response& r) { r.status = 404; });
    server_.Get("/moved", [](const httplib::Request&, httplib::Response& r) { r.set_redirect("/second"); });
    server_.Get("/resources", [](const httplib::Request&, httplib::Response& r) {
      r.set_content("<html><head><title>Resources</title><link rel=\"stylesheet\" href=\"/r/style.css\">"
                    "<script src=\"/r/script.js\"></script></head><body><img src=\"/r/image.png\">"
                    "<video src=\"/r/clip.webm\"></video><p style=\"background: url(/r/back.png)\">x</p></body></html>",
                    "text/html");
    });
    server_.Get(R"(/r/(.*))", [this](const httplib::Request& request, httplib::Response& r) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        resourceRequests_.push_back(request.matches[1]);
      }
      r.set_content("", "application/octet-stream");
    });
    server_.Get("/plain", [](const httplib::Request&, httplib::Response& r) { r.set_content("just text", "text/plain"); });
    // Pages that note when each request arrived.
    server_.Get(R"(/t/(\w+))", [this](const httplib::Request& request, httplib::Response& r) {
      const std::string name = request.matches[1];
      {
        std::lock_guard<std::mutex> lock(mutex_);
        arrivals_[name].push_back(std::chrono::steady_clock::now());
      }
      r.set_content("<html><head><title>Talmorex - " + name + "</title></head><body><p>" + name + "</p></body></html>",
                    "text/html");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~TestSite() {
    server_.stop();
    thread_.join();
  }
  // The names under /r/ requested so far.
  std::vector<std::string> ResourceRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return resourceRequests_;
  }
  // When the requests for /t/name arrived.
  std::vector<std::chrono::steady_clock::time_point> Arrivals(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return arrivals_[name];
  }
  std::u16string Url(const std::string& path) const {
    return platform::FromUtf8("http://127.0.0.1:" + std::to_string(port_) + path);
  }

 private:
  httplib::Server server_;
  std::mutex mutex_;
  std::vector<std::string> resourceRequests_;
  std::map<std::string, std::vector<std::chrono::steady_clock::time_point>> arrivals_;
  int port_ = 0;
  std::thread thread_;
};

struct Completion {
  std::u16string url;       // the event's address
  std::u16string location;  // LocationURL while the handler ran
  std::u16string title;
};

class WebBrowserTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    App();
    site_ = new TestSite;
  }
  static void TearDownTestSuite() {
    delete site_;
    site_ = nullptr;
  }

  void SetUp() override {
    // Never shown, as in the windowless mode.
    panel_ = std::make_unique<QWidget>();
    panel_->resize(800, 600);
    MakeBrowser();
  }

  // Replaces the browser with one made with options.
  void MakeBrowser(platform::qt::TWebBrowserOptions options = {}) {
    browser_.reset();
    browser_ = std::make_unique<QtWebBrowser>(panel_.get(), options);
    platform::BrowserEvents events;
    events.onDocumentComplete = [this](const Variant&, Variant& url) {
      completions_.push_back({url.AsText(), browser_->LocationURL(), browser_->LocationName()});
      if (onComplete_) onComplete_();
    };
    events.onLogLine = [this](const std::u16string& line) { logLines_.push_back(line); };
    browser_->SetEvents(events);
  }

  // The pid of the page's renderer process once it has one; 0 when none came within the wait.
  qint64 RendererPid() {
    WaitUntil([&] { return browser_->Page() && browser_->Page()->renderProcessPid() > 0; }, kWaitMs);
    return browser_->Page() ? browser_->Page()->renderProcessPid() : 0;
  }

  void TearDown() override {
    browser_.reset();
    panel_.reset();
  }

  bool WaitForCompletions(std::size_t count, int timeoutMs = kWaitMs) {
    return WaitUntil([&] { return completions_.size() >= count; }, timeoutMs);
  }

  // Loads path and waits for its document; fails the test when none arrives.
  Variant Load(const std::string& path) {
    const std::size_t before = completions_.size();
    browser_->Navigate(site_->Url(path));
    EXPECT_TRUE(WaitForCompletions(before + 1)) << "no document complete for " << path;
    return browser_->Document();
  }

  // Runs script in the page and waits for its result. The answer is kept in shared state: a script
  // that never answers in time gets its callback when the page is destroyed, after this returned.
  QVariant RunScript(const QString& script) {
    struct Answer {
      QVariant result;
      bool done = false;
    };
    auto answer = std::make_shared<Answer>();
    browser_->View()->page()->runJavaScript(script, QWebEngineScript::ApplicationWorld, [answer](const QVariant& v) {
      answer->result = v;
      answer->done = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return answer->done; }, kWaitMs));
    return answer->result;
  }

  static TestSite* site_;
  std::unique_ptr<QWidget> panel_;
  std::unique_ptr<QtWebBrowser> browser_;
  std::vector<Completion> completions_;
  std::vector<std::u16string> logLines_;
  std::function<void()> onComplete_;
};

TestSite* WebBrowserTest::site_ = nullptr;

Variant Item(const Variant& collection, int index) { return collection.Call(u"item", {Variant(index)}); }
Variant Tags(const Variant& owner, const char16_t* tag) { return owner.Get(u"all").Call(u"tags", {Variant(tag)}); }

TEST_F(WebBrowserTest, MembersGiveTheValuesOfKnownMarkup) {
  const Variant document = Load("/members");
  ASSERT_TRUE(document.IsObject());
  EXPECT_TRUE(browser_->IsHtmlDocument(document));
  EXPECT_EQ(browser_->ReadyState(), platform::kReadyStateComplete);
  EXPECT_EQ(browser_->LocationName(), u"Talmorex - Members");

  const Variant items = Tags(document, u"LI");
  ASSERT_EQ(items.Get(u"length").AsInteger(), 3);
  EXPECT_EQ(Tags(document, u"li").Get(u"length").AsInteger(), 3) << "tag names compare ignoring case";

  const Variant first = Item(items, 0);
  EXPECT_EQ(first.Get(u"innertext").AsText(), u"Music (1,234)");
  EXPECT_EQ(first.Get(u"outerhtml").AsText(), u"<li id=\"first\"><a href=\"/Arts/Music/\">Music</a> <i>(1,234)</i></li>");
  EXPECT_EQ(first.Get(u"innerhtml").AsText(), u"<a href=\"/Arts/Music/\">Music</a> <i>(1,234)</i>");
  EXPECT_EQ(Item(Tags(first, u"A"), 0).Get(u"href").AsText(), site_->Url("/Arts/Music/"));
  EXPECT_EQ(Item(Tags(first, u"I"), 0).Get(u"innertext").AsText(), u"(1,234)");

  const Variant second = Item(items, 1);
  // The markup as the live element reports it: the attribute as the engine serialises it.
  EXPECT_EQ(Item(Tags(second, u"A"), 0).Get(u"outerhtml").AsText(), u"<a href=\"rel/x?y=1&amp;z=2\">Rel</a>");
  EXPECT_EQ(Item(Tags(second, u"A"), 0).Get(u"href").AsText(), site_->Url("/rel/x?y=1&z=2"));
  EXPECT_EQ(Item(Tags(second, u"i"), 0).Get(u"innertext").AsText(), u"(12)");

  // Past the end, before the start, and an item without a link: not elements.
  const Variant third = Item(items, 2);
  EXPECT_TRUE(Item(Tags(third, u"A"), 0).IsNull());
  EXPECT_TRUE(Item(items, 3).IsNull());
  EXPECT_TRUE(Item(items, -1).IsNull());
  EXPECT_THROW(Item(items, 3).Get(u"innertext"), EAutomationError);

  // Vertical positions follow the plain document flow.
  const Variant paragraphs = Tags(document, u"P");
  ASSERT_EQ(paragraphs.Get(u"length").AsInteger(), 2);
  const int introTop = Item(paragraphs, 0).Get(u"offsetTop").AsInteger();
  const int seeAlsoTop = Item(paragraphs, 1).Get(u"offsetTop").AsInteger();
  int previous = introTop;
  for (int i = 0; i < 3; ++i) {
    const int top = Item(items, i).Get(u"offsetTop").AsInteger();
    EXPECT_GT(top, previous) << "item " << i;
    previous = top;
  }
  EXPECT_GT(seeAlsoTop, previous);

  // The second table and the cells below it only.
  const Variant tables = Tags(document, u"TABLE");
  ASSERT_EQ(tables.Get(u"length").AsInteger(), 2);
  const Variant cells = Tags(Item(tables, 1), u"TD");
  ASSERT_EQ(cells.Get(u"length").AsInteger(), 2);
  const Variant cellLinks = Tags(Item(cells, 0), u"A");
  EXPECT_EQ(cellLinks.Get(u"length").AsInteger(), 2);
  EXPECT_EQ(Item(cellLinks, 0).Get(u"innertext").AsText(), u"Z");
  EXPECT_EQ(Item(cellLinks, 0).Get(u"href").AsText(), u"http://other.example/z");
  EXPECT_EQ(Item(Tags(Item(cells, 1), u"A"), 0).Get(u"href").AsText(), u"") << "a link without href";

  // The document's all starts with the HTML element; the body is reachable through the control.
  EXPECT_EQ(Item(document.Get(u"all"), 0).Get(u"tagName").AsText(), u"HTML");
  const std::u16string body = browser_->Application().Get(u"Document").Get(u"body").Get(u"innerhtml").AsText();
  EXPECT_NE(body.find(u"<p>See also:</p>"), std::u16string::npos);
  EXPECT_EQ(body.find(u"<title>"), std::u16string::npos);

  // Unknown members and members of the wrong kind of object fail.
  EXPECT_THROW(first.Get(u"nosuchmember"), EAutomationError);
  EXPECT_THROW(first.Call(u"tags", {Variant(u"A")}), EAutomationError);
  EXPECT_THROW(first.Get(u"href"), EAutomationError) << "only link elements have href";
  EXPECT_THROW(items.Get(u"innertext"), EAutomationError);
}

// Every element's values, read through the binding, against the same values read from the live
// page one by one.
TEST_F(WebBrowserTest, EveryElementMatchesTheLivePage) {
  for (const std::string path : {"/tricky", "/members", "/category"}) {
    SCOPED_TRACE(path);
    const Variant document = Load(path);
    const QVariant live = RunScript(R"((function () {
        var r = [];
        var els = document.getElementsByTagName('*');
        for (var i = 0; i < els.length; ++i) {
          var e = els[i];
          r.push([e.tagName, e.outerHTML, e.innerHTML, typeof e.innerText === 'string' ? e.innerText : '',
                  typeof e.offsetTop === 'number' ? e.offsetTop : 0, typeof e.href === 'string' ? e.href : null]);
        }
        return JSON.stringify(r);
      })())");
    const QJsonArray expected = QJsonDocument::fromJson(live.toString().toUtf8()).array();
    const Variant all = document.Get(u"all");
    ASSERT_EQ(all.Get(u"length").AsInteger(), expected.size());
    ASSERT_GT(expected.size(), 10);
    for (int i = 0; i < expected.size(); ++i) {
      const QJsonArray e = expected[i].toArray();
      const Variant element = Item(all, i);
      SCOPED_TRACE(e[0].toString().toStdString() + " #" + std::to_string(i));
      EXPECT_EQ(element.Get(u"tagname").AsText(), e[0].toString().toStdU16String());
      EXPECT_EQ(element.Get(u"outerhtml").AsText(), e[1].toString().toStdU16String());
      EXPECT_EQ(element.Get(u"innerhtml").AsText(), e[2].toString().toStdU16String());
      EXPECT_EQ(element.Get(u"innertext").AsText(), e[3].toString().toStdU16String());
      EXPECT_EQ(element.Get(u"offsettop").AsInteger(), e[4].toInt());
      if (e[5].isNull())
        EXPECT_THROW(element.Get(u"href"), EAutomationError);
      else
        EXPECT_EQ(element.Get(u"href").AsText(), e[5].toString().toStdU16String());
    }
  }
}

TEST_F(WebBrowserTest, AllIsTheDescendantsInDocumentOrder) {
  const Variant document = Load("/tricky");
  const QVariant live = RunScript(R"((function () {
      var els = document.getElementsByTagName('*');
      var r = [];
      for (var i = 0; i < els.length; ++i) r.push(els[i].getElementsByTagName('*').length);
      return JSON.stringify(r);
    })())");
  const QJsonArray counts = QJsonDocument::fromJson(live.toString().toUtf8()).array();
  const Variant all = document.Get(u"all");
  ASSERT_EQ(all.Get(u"length").AsInteger(), counts.size());
  for (int i = 0; i < counts.size(); ++i) {
    SCOPED_TRACE(i);
    const Variant below = Item(all, i).Get(u"all");
    ASSERT_EQ(below.Get(u"length").AsInteger(), counts[i].toInt());
    // The descendants are the elements that follow it in the document's own order.
    for (int k = 0; k < counts[i].toInt(); ++k)
      EXPECT_EQ(Item(below, k).Get(u"outerhtml").AsText(), Item(all, i + 1 + k).Get(u"outerhtml").AsText());
  }
}

TEST_F(WebBrowserTest, OneCompletionPerLoadWithTheLocationAddress) {
  Load("/members");
  Load("/second");
  Load("/moved");  // redirected to /second
  ASSERT_EQ(completions_.size(), 3u);
  const std::vector<std::string> paths = {"/members", "/second", "/second"};
  for (std::size_t i = 0; i < paths.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(completions_[i].url, site_->Url(paths[i]));
    EXPECT_EQ(completions_[i].location, completions_[i].url);
  }
  Pause(300);
  EXPECT_EQ(completions_.size(), 3u) << "no late duplicates";
}

TEST_F(WebBrowserTest, CancelledLoadsRaiseNothingAndHideTheOldDocument) {
  struct Case {
    const char* name;
    bool stop;            // Stop the slow load
    const char* replace;  // or replace it with a second Navigate
  };
  const Case cases[] = {{"stopped", true, nullptr}, {"replaced", false, "/second"}, {"replaced by itself", false, "/slow"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    completions_.clear();
    Load("/members");
    ASSERT_EQ(completions_.size(), 1u);

    browser_->Navigate(site_->Url("/slow"));
    EXPECT_TRUE(browser_->Document().IsEmpty()) << "the page being replaced is no longer the document";
    EXPECT_EQ(browser_->ReadyState(), 1);
    Pause(200);
    if (c.stop) {
      browser_->Stop();
      EXPECT_NE(browser_->ReadyState(), platform::kReadyStateComplete);
      Pause(kSlowMs + 500);
      EXPECT_EQ(completions_.size(), 1u);
      EXPECT_TRUE(browser_->Document().IsEmpty());
    } else {
      browser_->Navigate(site_->Url(c.replace));
      ASSERT_TRUE(WaitForCompletions(2, kSlowMs * 2 + kWaitMs));
      Pause(kSlowMs + 300);
      ASSERT_EQ(completions_.size(), 2u) << "only the replacing load completes";
      EXPECT_EQ(completions_[1].url, site_->Url(c.replace));
      EXPECT_EQ(browser_->ReadyState(), platform::kReadyStateComplete);
    }
  }
}

// The renderer process dies while the page the caller waits for is loading: the browser puts a
// fresh page in place, requests the address again and completes it once, with one log line.
TEST_F(WebBrowserTest, RendererKilledDuringALoadIsRestartedAndTheLoadCompletes) {
  Load("/members");
  const std::u16string slow = site_->Url("/slow");
  browser_->Navigate(slow);
  const qint64 pid = RendererPid();
  ASSERT_GT(pid, 0);
  Pause(200);  // the request is with the server now
  ASSERT_TRUE(completions_.size() == 1u && browser_->ReadyState() == 1) << "still loading";
  EXPECT_EQ(browser_->LocationURL(), site_->Url("/members")) << "a load shows its address once it arrives";
  ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGKILL), 0);

  // While the fresh page loads, the browser answers as during any load: loading, and the location
  // and title of the page shown before.
  ASSERT_TRUE(WaitUntil([&] { return !logLines_.empty(); }, kWaitMs));
  EXPECT_EQ(browser_->ReadyState(), 1);
  EXPECT_EQ(browser_->LocationURL(), site_->Url("/members"));
  EXPECT_EQ(browser_->LocationName(), u"Talmorex - Members");
  EXPECT_TRUE(browser_->Document().IsEmpty());
  ASSERT_TRUE(WaitForCompletions(2, kSlowMs * 2 + kWaitMs)) << "the killed load was not completed";
  Pause(kSlowMs + 300);
  ASSERT_EQ(completions_.size(), 2u) << "the restarted load completes once";
  EXPECT_EQ(completions_[1].url, slow);
  EXPECT_EQ(completions_[1].location, slow);
  EXPECT_EQ(completions_[1].title, u"Talmorex - Slow");
  EXPECT_TRUE(browser_->IsHtmlDocument(browser_->Document()));
  ASSERT_EQ(logLines_.size(), 1u);
  EXPECT_EQ(logLines_[0], u"Browser: the page's renderer stopped (killed, exit code 9); requesting " + slow + u" again");
  const qint64 fresh = RendererPid();
  EXPECT_GT(fresh, 0);
  EXPECT_NE(fresh, pid);

  // The browser goes on as before.
  Load("/second");
  ASSERT_EQ(completions_.size(), 3u);
  EXPECT_EQ(completions_[2].title, u"Talmorex - Second");
}

// A page whose renderer stops again before it arrives is not requested a third time by the
// browser: the caller's next Navigate tries again.
TEST_F(WebBrowserTest, RendererStoppingAgainIsLeftToTheNextNavigate) {
  Load("/members");
  const std::u16string slow = site_->Url("/slow");
  browser_->Navigate(slow);
  const qint64 first = RendererPid();
  ASSERT_GT(first, 0);
  Pause(200);
  ASSERT_EQ(::kill(static_cast<pid_t>(first), SIGKILL), 0);
  ASSERT_TRUE(WaitUntil([&] { return logLines_.size() == 1u; }, kWaitMs));
  // The fresh page's renderer, while it loads the page again.
  qint64 second = 0;
  ASSERT_TRUE(WaitUntil(
      [&] {
        second = browser_->Page()->renderProcessPid();
        return second > 0 && second != first;
      },
      kWaitMs));
  ASSERT_EQ(browser_->ReadyState(), 1);
  ASSERT_EQ(::kill(static_cast<pid_t>(second), SIGKILL), 0);

  ASSERT_TRUE(WaitUntil([&] { return logLines_.size() == 2u; }, kWaitMs));
  EXPECT_EQ(logLines_[1], u"Browser: the page's renderer stopped again (killed, exit code 9); not requesting " + slow + u" again");
  Pause(kSlowMs * 2 + 500);
  EXPECT_EQ(completions_.size(), 1u) << "nothing was requested again";
  EXPECT_EQ(logLines_.size(), 2u);
  EXPECT_EQ(browser_->ReadyState(), 1) << "the load is still awaited";

  // As the crawl's reload timer does: stop and request it again.
  browser_->Stop();
  Load("/slow");
  ASSERT_EQ(completions_.size(), 2u);
  EXPECT_EQ(completions_[1].title, u"Talmorex - Slow");
  EXPECT_EQ(logLines_.size(), 2u);
}

// The renderer dies while a delivered page is shown and nothing is loading: the page is shown
// again on a fresh renderer, but not handed over a second time.
TEST_F(WebBrowserTest, RendererKilledAfterALoadShowsThePageAgainWithoutASecondCompletion) {
  Load("/moved");  // shown as /second
  const qint64 pid = RendererPid();
  ASSERT_GT(pid, 0);
  QWebEnginePage* const before = browser_->Page();
  ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGKILL), 0);

  ASSERT_TRUE(WaitUntil(
      [&] {
        QWebEnginePage* page = browser_->Page();
        return page != before && page->renderProcessPid() > 0 && page->title() == "Talmorex - Second" &&
               !logLines_.empty();
      },
      kWaitMs))
      << "the page was not shown again";
  Pause(500);
  EXPECT_EQ(completions_.size(), 1u) << "a page shown again is not a new page";
  ASSERT_EQ(logLines_.size(), 1u);
  EXPECT_EQ(logLines_[0], u"Browser: the page's renderer stopped (killed, exit code 9); requesting " +
                              site_->Url("/second") + u" again");
  EXPECT_NE(browser_->Page()->renderProcessPid(), pid);
  EXPECT_EQ(browser_->LocationURL(), site_->Url("/second"));
  EXPECT_EQ(browser_->ReadyState(), platform::kReadyStateComplete) << "the delivered document stays readable";
  EXPECT_EQ(browser_->Document().Get(u"body").Get(u"innertext").AsText(), u"second");

  Load("/members");
  ASSERT_EQ(completions_.size(), 2u);
  EXPECT_EQ(completions_[1].title, u"Talmorex - Members");
}

// With a delay, a Navigate sooner than the delay after the last load started waits for it;
// a newer Navigate replaces the held one, and Stop drops it.
// Pages loaded ahead raise nothing until they are navigated to; then the page loaded ahead is the
// one shown and read, without a second request. A page no longer hinted is dropped and requested
// again when it is navigated to. The navigation delay spaces the loads ahead too.
TEST_F(WebBrowserTest, PagesLoadedAheadAreShownWhenNavigatedToWithoutASecondRequest) {
  platform::qt::TWebBrowserOptions options;
  options.pagesAhead = 2;
  MakeBrowser(options);
  ASSERT_EQ(browser_->LoadsAhead(), 2);
  Load("/t/ahead0");
  browser_->HintUpcoming({site_->Url("/t/ahead1"), site_->Url("/t/ahead2"), site_->Url("/t/ahead3")});
  ASSERT_TRUE(WaitUntil([&] { return site_->Arrivals("ahead1").size() == 1 && site_->Arrivals("ahead2").size() == 1; },
                        kWaitMs));
  Pause(200);
  EXPECT_EQ(completions_.size(), 1u) << "a page loaded ahead raises nothing";
  EXPECT_EQ(browser_->LocationURL(), site_->Url("/t/ahead0"));
  EXPECT_TRUE(site_->Arrivals("ahead3").empty()) << "only as many pages as the browser has for loading ahead";

  const Variant document = Load("/t/ahead1");
  ASSERT_TRUE(document.IsObject());
  EXPECT_EQ(completions_.back().url, site_->Url("/t/ahead1"));
  EXPECT_EQ(completions_.back().location, site_->Url("/t/ahead1"));
  EXPECT_EQ(browser_->LocationName(), u"Talmorex - ahead1");
  EXPECT_EQ(Item(Tags(document, u"P"), 0).Get(u"innertext").AsText(), u"ahead1");
  EXPECT_EQ(site_->Arrivals("ahead1").size(), 1u) << "the page loaded ahead was used";
  EXPECT_EQ(browser_->View()->page(), browser_->Page()) << "the page read is the page shown";

  // ahead2 is dropped from the hint, ahead3 taken into it.
  browser_->HintUpcoming({site_->Url("/t/ahead3")});
  ASSERT_TRUE(WaitUntil([&] { return site_->Arrivals("ahead3").size() == 1; }, kWaitMs));
  Load("/t/ahead2");
  EXPECT_EQ(site_->Arrivals("ahead2").size(), 2u) << "a page dropped from the hint is requested again";
  EXPECT_EQ(completions_.back().url, site_->Url("/t/ahead2"));
  browser_->HintUpcoming({});
  Load("/t/ahead3");
  EXPECT_EQ(site_->Arrivals("ahead3").size(), 2u) << "an empty hint drops every page loaded ahead";
  EXPECT_EQ(completions_.size(), 4u);

  // With a delay, a load ahead starts no sooner after the load before it than any load does.
  options.navigationDelayMs = 300;
  MakeBrowser(options);
  completions_.clear();
  Load("/t/spaced0");
  browser_->HintUpcoming({site_->Url("/t/spaced1"), site_->Url("/t/spaced2")});
  ASSERT_TRUE(WaitUntil([&] { return site_->Arrivals("spaced2").size() == 1; }, kWaitMs));
  const auto t0 = site_->Arrivals("spaced0").at(0), t1 = site_->Arrivals("spaced1").at(0),
             t2 = site_->Arrivals("spaced2").at(0);
  EXPECT_GE(t1 - t0, std::chrono::milliseconds(250));
  EXPECT_GE(t2 - t1, std::chrono::milliseconds(250));
}

TEST_F(WebBrowserTest, NavigationDelayHoldsEarlyLoadsBackAndCancelsReplacedOnes) {
  constexpr int kDelayMs = 600;
  platform::qt::TWebBrowserOptions options;
  options.navigationDelayMs = kDelayMs;
  MakeBrowser(options);
  using Clock = std::chrono::steady_clock;
  auto msBetween = [](Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
  };

  // The first load goes at once; a Navigate from its completion handler waits its turn.
  const Clock::time_point first = Clock::now();
  Load("/t/d1");
  ASSERT_EQ(site_->Arrivals("d1").size(), 1u);
  EXPECT_LT(msBetween(first, site_->Arrivals("d1")[0]), kDelayMs) << "nothing to wait for before the first load";
  browser_->Navigate(site_->Url("/t/d2"));
  EXPECT_EQ(browser_->ReadyState(), 1);
  EXPECT_TRUE(browser_->Document().IsEmpty());
  ASSERT_TRUE(WaitForCompletions(2, kDelayMs + kWaitMs));
  ASSERT_EQ(site_->Arrivals("d2").size(), 1u);
  EXPECT_GE(msBetween(first, site_->Arrivals("d2")[0]), kDelayMs) << "not before the delay has passed";
  EXPECT_EQ(completions_[1].title, u"Talmorex - d2");

  // A newer Navigate replaces the held one, which is never requested.
  const Clock::time_point third = Clock::now();
  browser_->Navigate(site_->Url("/t/d3"));  // held: d2 started just now
  Pause(100);
  browser_->Navigate(site_->Url("/t/d4"));
  ASSERT_TRUE(WaitForCompletions(3, kDelayMs + kWaitMs));
  Pause(kDelayMs + 300);
  ASSERT_EQ(completions_.size(), 3u);
  EXPECT_EQ(completions_[2].title, u"Talmorex - d4");
  EXPECT_TRUE(site_->Arrivals("d3").empty());
  ASSERT_EQ(site_->Arrivals("d4").size(), 1u);
  EXPECT_GE(msBetween(third, site_->Arrivals("d4")[0]), 0);

  // Stop drops a held load: nothing is requested and nothing completes.
  browser_->Navigate(site_->Url("/t/d5"));  // goes at once: d4 started long enough ago
  ASSERT_TRUE(WaitForCompletions(4, kWaitMs));
  browser_->Navigate(site_->Url("/t/d6"));  // held
  browser_->Stop();
  EXPECT_NE(browser_->ReadyState(), platform::kReadyStateComplete);
  Pause(kDelayMs + 500);
  EXPECT_EQ(completions_.size(), 4u);
  EXPECT_TRUE(site_->Arrivals("d6").empty());

  // Loads that are far enough apart are not delayed.
  Pause(kDelayMs);
  const Clock::time_point late = Clock::now();
  Load("/t/d7");
  ASSERT_EQ(site_->Arrivals("d7").size(), 1u);
  EXPECT_LT(msBetween(late, site_->Arrivals("d7")[0]), kDelayMs);
}

// Recycling replaces the page object (and its renderer) before every Nth load; the loads go on
// completing as before.
TEST_F(WebBrowserTest, RecyclingReplacesThePageEveryNLoadsInvisibly) {
  platform::qt::TWebBrowserOptions options;
  options.recycleEvery = 2;
  MakeBrowser(options);
  std::vector<qint64> pids;
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    const std::string name = "r" + std::to_string(i);
    browser_->Navigate(site_->Url("/t/" + name));
    // On a fresh page as on the old one: until the load arrives, the page shown before.
    if (i > 0) {
      EXPECT_EQ(browser_->LocationURL(), site_->Url("/t/r" + std::to_string(i - 1)));
    }
    ASSERT_TRUE(WaitForCompletions(static_cast<std::size_t>(i + 1)));
    ASSERT_EQ(completions_.size(), static_cast<std::size_t>(i + 1));
    EXPECT_EQ(completions_.back().title, u"Talmorex - " + platform::FromUtf8(name));
    EXPECT_EQ(completions_.back().location, site_->Url("/t/" + name));
    EXPECT_TRUE(browser_->IsHtmlDocument(browser_->Document()));
    pids.push_back(RendererPid());
  }
  EXPECT_TRUE(logLines_.empty());
  // Loads 0-1, 2-3 and 4-5 share a page each; each page has its own renderer.
  EXPECT_EQ(pids[0], pids[1]);
  EXPECT_EQ(pids[2], pids[3]);
  EXPECT_EQ(pids[4], pids[5]);
  EXPECT_NE(pids[1], pids[2]);
  EXPECT_NE(pids[3], pids[4]);
}

TEST_F(WebBrowserTest, FailedLoadsCompleteWithTheirErrorPage) {
  // Port 1: nothing listens there, the connection is refused.
  const int closedPort = 1;
  struct Case {
    std::u16string url;
    bool htmlTitle;  // the server's own error document with its title
  };
  const Case cases[] = {
      {site_->Url("/missing"), true},
      {site_->Url("/empty404"), false},
      {platform::FromUtf8("http://127.0.0.1:" + std::to_string(closedPort) + "/x"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(platform::ToUtf8(c.url));
    completions_.clear();
    browser_->Navigate(c.url);
    ASSERT_TRUE(WaitForCompletions(1));
    EXPECT_EQ(completions_[0].url, c.url);
    EXPECT_EQ(completions_[0].location, c.url);
    if (c.htmlTitle) {
      EXPECT_EQ(completions_[0].title, u"Not here");
    }
    EXPECT_EQ(completions_[0].title.find(u"Talmorex - "), std::u16string::npos);
    // The error page is a document that validation can read and refuse.
    const Variant document = browser_->Document();
    ASSERT_TRUE(document.IsObject());
    EXPECT_TRUE(browser_->Application().Get(u"Document").Get(u"body").IsObject());
  }
}

TEST_F(WebBrowserTest, OnlyTheBrowsersDocumentsAreHtmlDocuments) {
  const Variant document = Load("/plain");
  ASSERT_TRUE(document.IsObject());
  // The engine wraps text in an HTML document of its own, as a browser does.
  EXPECT_TRUE(browser_->IsHtmlDocument(document));
  EXPECT_FALSE(browser_->IsHtmlDocument(Variant()));
  EXPECT_FALSE(browser_->IsHtmlDocument(Variant(u"text")));
}

TEST_F(WebBrowserTest, LoadsNoImagesMediaOrStyleSheets) {
  Load("/resources");
  Pause(300);
  EXPECT_EQ(site_->ResourceRequests(), std::vector<std::string>{"script.js"});
}

TEST_F(WebBrowserTest, HandlerMayNavigateAndProcessEventsInside) {
  int nestedCompletions = 0;
  onComplete_ = [&] {
    if (completions_.size() != 1) return;
    onComplete_ = nullptr;
    browser_->Navigate(site_->Url("/second"));
    // As the crawl's message processing does: the next page arrives inside this handler.
    EXPECT_TRUE(WaitUntil([&] { return completions_.size() >= 2; }, kWaitMs));
    nestedCompletions = static_cast<int>(completions_.size()) - 1;
  };
  browser_->Navigate(site_->Url("/members"));
  ASSERT_TRUE(WaitForCompletions(2));
  EXPECT_EQ(nestedCompletions, 1);
  EXPECT_EQ(completions_[1].url, site_->Url("/second"));
  EXPECT_EQ(Item(Tags(browser_->Document(), u"P"), 0).Get(u"innertext").AsText(), u"second");
  Pause(300);
  EXPECT_EQ(completions_.size(), 2u);
}

TEST_F(WebBrowserTest, DocumentHeldByTheCallerOutlivesTheBrowser) {
  const Variant document = Load("/members");
  const Variant control = browser_->Application();
  browser_.reset();
  EXPECT_EQ(Tags(document, u"LI").Get(u"length").AsInteger(), 3);
  EXPECT_THROW(control.Get(u"Document"), EAutomationError);
}

TEST(DomSnapshotParse, RefusesMalformedText) {
  // A well-formed snapshot: <html><body><a href=..>x</a></body></html> with slices of the root.
  const std::u16string markup = u"<html><body><a href=\"/y\">x</a></body></html>";
  const std::u16string good = u"W19:text/html3:u:/0:1,1," + platform::FromUtf8(std::to_string(markup.size())) + u":" +
                              markup + u"3," +
                              u"4:HTML-1,0,r0,44,r6,31,1:x-"
                              u"4:BODY0,8,r6,31,r12,18,1:x-"
                              u"1:A1,8,r12,18,r25,1,1:xh4:u:/y";
  const auto parsed = platform::qt::ParseDomSnapshot(good);
  ASSERT_NE(parsed, nullptr);
  ASSERT_EQ(parsed->elements.size(), 3u);
  EXPECT_EQ(parsed->Text(parsed->elements[2].outerHtml), u"<a href=\"/y\">x</a>");
  EXPECT_EQ(parsed->Text(parsed->elements[1].innerHtml), u"<a href=\"/y\">x</a>");
  EXPECT_EQ(parsed->elements[0].end, 3);
  EXPECT_EQ(parsed->elements[2].end, 3);

  struct Case {
    const char* name;
    std::u16string from;
    std::u16string to;
  };
  const Case cases[] = {
      {"wrong header", u"W1", u"W2"},
      {"slice past the markup", u"r25,1,", u"r44,1,"},
      {"parent after the child", u"1:A1,", u"1:A2,"},
      {"parent below -1", u"4:BODY0,", u"4:BODY-2,"},
      {"string longer than the text", u"h4:u:/y", u"h9:u:/y"},
      {"body index out of range", u"0:1,1,", u"0:1,3,"},
      {"more elements than sent", u"3,4:HTML", u"4,4:HTML"},
      {"unknown href mark", u"xh4", u"xq4"},
      {"number without terminator", u"0,8,", u"0;8,"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::u16string bad = good;
    const auto at = bad.find(c.from);
    ASSERT_NE(at, std::u16string::npos);
    bad.replace(at, c.from.size(), c.to);
    EXPECT_EQ(platform::qt::ParseDomSnapshot(bad), nullptr);
  }
  EXPECT_EQ(platform::qt::ParseDomSnapshot(good + u"x"), nullptr) << "trailing text";

  // What the browser shows when the snapshot cannot be read: a document, but not an HTML one.
  const Variant unreadable(platform::qt::MakeDocument(platform::qt::UnreadableDocument(u"http://h/p")));
  ASSERT_NE(platform::qt::SnapshotOf(unreadable), nullptr);
  EXPECT_FALSE(platform::qt::SnapshotOf(unreadable)->isHtml);
  EXPECT_TRUE(unreadable.Get(u"body").IsNull());
  EXPECT_EQ(unreadable.Get(u"all").Get(u"length").AsInteger(), 0);
  EXPECT_EQ(unreadable.Get(u"url").AsText(), u"http://h/p");
  for (std::size_t cut = 0; cut < good.size(); cut += 7)
    EXPECT_EQ(platform::qt::ParseDomSnapshot(good.substr(0, cut)), nullptr) << "cut at " << cut;
}

TEST(WebEngineSandbox, RootNeedsTheSandboxTurnedOffByTheEnvironment) {
  struct Case {
    bool root;
    const char* disable;
    const char* flags;
    bool ok;
  };
  const Case cases[] = {
      {false, nullptr, nullptr, true},
      {true, nullptr, nullptr, false},
      {true, "1", nullptr, true},
      {true, "0", nullptr, false},
      {true, "", nullptr, false},
      {true, nullptr, "--disable-gpu --no-sandbox", true},
      {true, nullptr, "--no-sandboxes", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.root ? "root" : "user") + " disable=" + (c.disable ? c.disable : "unset") +
                 " flags=" + (c.flags ? c.flags : "unset"));
    const std::string problem = platform::qt::SandboxSettingProblem(c.root, c.disable, c.flags);
    EXPECT_EQ(problem.empty(), c.ok);
    if (!c.ok) {
      EXPECT_NE(problem.find("QTWEBENGINE_DISABLE_SANDBOX=1"), std::string::npos);
      EXPECT_EQ(problem.find('\n'), std::string::npos);
    }
  }
}

// Reads a category page of 100 entries as the category parser does and prints the time per page.
// A measurement, not a check: run it with --gtest_also_run_disabled_tests.
TEST_F(WebBrowserTest, DISABLED_MeasureReadingACategoryPage) {
  const Variant document = Load("/category");
  ASSERT_TRUE(document.IsObject());

  auto readPage = [&] {
    int recorded = 0;
    const Variant paragraphs = Tags(document, u"P");
    int boundary = 2147483647;
    for (int i = 0; i < paragraphs.Get(u"length").AsInteger(); ++i) {
      const Variant p = Item(paragraphs, i);
      if (p.Get(u"innertext").AsString().find("See also:") != std::string::npos) {
        boundary = p.Get(u"offsetTop").AsInteger();
        break;
      }
    }
    const Variant items = Tags(document, u"LI");
    const int count = items.Get(u"length").AsInteger();
    for (int i = 0; i < count; ++i) {
      const Variant item = Item(items, i);
      if (boundary < item.Get(u"offsetTop").AsInteger()) break;
      const Variant link = Item(Tags(item, u"A"), 0);
      if (link.IsNull()) break;
      const std::u16string linkText = link.Get(u"innertext").AsText();
      if (item.Get(u"innertext").AsString().find(" - ") != std::string::npos) break;
      const Variant countElement = Item(Tags(item, u"I"), 0);
      if (!countElement.IsNull()) countElement.Get(u"innertext").AsText();
      link.Get(u"outerhtml").AsText();
      link.Get(u"outerhtml").AsText();
      item.Get(u"innertext").AsString();
      link.Get(u"innertext").AsText();
      link.Get(u"innertext").AsString();
      ++recorded;
    }
    return recorded;
  };

  std::vector<double> readMs;
  for (int run = 0; run < 200; ++run) {
    QElapsedTimer timer;
    timer.start();
    const int recorded = readPage();
    readMs.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    ASSERT_EQ(recorded, 100);
  }

  // The snapshot itself, taken once per load: script round trip plus parsing.
  std::vector<double> snapshotMs;
  for (int run = 0; run < 30; ++run) {
    QElapsedTimer timer;
    timer.start();
    const QVariant text = RunScript(QString::fromStdU16String(platform::qt::DomSnapshotScript()));
    const auto snapshot = platform::qt::ParseDomSnapshot(text.toString().toStdU16String());
    snapshotMs.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    ASSERT_NE(snapshot, nullptr);
  }

  // For comparison: the bare round trip of a script that does nothing, and the parse alone.
  std::vector<double> emptyScriptMs;
  std::vector<double> parseMs;
  const std::u16string text = RunScript(QString::fromStdU16String(platform::qt::DomSnapshotScript())).toString().toStdU16String();
  for (int run = 0; run < 30; ++run) {
    QElapsedTimer timer;
    timer.start();
    RunScript(QStringLiteral("0"));
    emptyScriptMs.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    timer.restart();
    ASSERT_NE(platform::qt::ParseDomSnapshot(text), nullptr);
    parseMs.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
  }

  // Whole loads of the page, each next one started from the document-complete handler as the
  // crawl does: load, snapshot, event.
  constexpr int kLoads = 50;
  completions_.clear();
  onComplete_ = [&] {
    if (completions_.size() < static_cast<std::size_t>(kLoads)) browser_->Navigate(site_->Url("/category"));
  };
  QElapsedTimer loadTimer;
  loadTimer.start();
  browser_->Navigate(site_->Url("/category"));
  ASSERT_TRUE(WaitForCompletions(kLoads, 60000));
  const double loadSeconds = static_cast<double>(loadTimer.nsecsElapsed()) / 1e9;
  onComplete_ = nullptr;

  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::printf("read category page (100 entries) through the binding: median %.3f ms, min %.3f ms over %zu runs\n",
              median(readMs), *std::min_element(readMs.begin(), readMs.end()), readMs.size());
  std::printf("snapshot (script round trip + parse): median %.3f ms over %zu runs\n", median(snapshotMs),
              snapshotMs.size());
  std::printf("  of which: empty script round trip median %.3f ms, parse median %.3f ms; snapshot %zu UTF-16 units\n",
              median(emptyScriptMs), median(parseMs), text.size());
  std::printf("%d loads of the page from the handler: %.1f pages/s\n", kLoads, kLoads / loadSeconds);
}

}  // namespace
