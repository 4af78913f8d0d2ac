// The browser contract (tests/support/browser_contract.h) held against the WebEngine browser, with
// the contract's pages served on 127.0.0.1.

#include "tests/support/browser_contract.h"

#include <httplib.h>

#include <QEventLoop>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <memory>
#include <thread>

#include "platform/qt/web_browser.h"
#include "tests/qt/event_loop.h"

namespace browser_contract {
namespace {

constexpr int kWaitMs = 10000;

using qt_test::WaitUntil;

class QtContractBrowser : public TContractBrowser {
 public:
  QtContractBrowser() {
    const TContractPage members = MembersPage();
    server_.Get(members.path, [markup = members.Markup()](const httplib::Request&, httplib::Response& r) {
      r.set_content(markup, "text/html; charset=utf-8");
    });
    // Answers late: long enough for the test to look at a load under way and stop it.
    server_.Get("/c/endless", [](const httplib::Request&, httplib::Response& r) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      r.set_content("<html><body><p>late</p></body></html>", "text/html");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    panel_ = std::make_unique<QWidget>();
    panel_->resize(800, 600);
    browser_ = std::make_unique<platform::qt::QtWebBrowser>(panel_.get(), platform::qt::TWebBrowserOptions{});
    platform::BrowserEvents events;
    events.onDocumentComplete = [this](const Variant&, Variant&) { ++completions_; };
    browser_->SetEvents(events);
  }
  ~QtContractBrowser() override {
    browser_.reset();
    panel_.reset();
    server_.stop();
    thread_.join();
  }
  platform::IBrowser& Browser() override { return *browser_; }
  std::u16string Url(const std::string& path) override {
    return platform::FromUtf8("http://127.0.0.1:" + std::to_string(port_) + path);
  }
  bool Load(const TContractPage& page) override {
    const int before = completions_;
    browser_->Navigate(Url(page.path));
    return WaitUntil([&] { return completions_ > before; }, kWaitMs);
  }
  void StartEndlessLoad() override {
    browser_->Navigate(Url("/c/endless"));
    // Let the request reach the server.
    WaitUntil([] { return false; }, 200);
  }
  bool IsFake() const override { return false; }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::unique_ptr<QWidget> panel_;
  std::unique_ptr<platform::qt::QtWebBrowser> browser_;
  int completions_ = 0;
};

TEST(WebEngineBrowserContract, MembersGiveTheEnginesValues) {
  QtContractBrowser browser;
  CheckMembersPage(browser);
}

TEST(WebEngineBrowserContract, ReadyStateAndDocumentFollowTheEngine) {
  QtContractBrowser browser;
  CheckReadyStates(browser);
}

}  // namespace
}  // namespace browser_contract
