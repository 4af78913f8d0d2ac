// The browser contract (tests/support/browser_contract.h) held against the fake browser and DOM.

#include "tests/support/browser_contract.h"

#include "platform/fake/fake_host.h"

namespace browser_contract {
namespace {

class FakeContractBrowser : public TContractBrowser {
 public:
  FakeContractBrowser() {
    platform::BrowserEvents events;
    events.onDocumentComplete = [this](const Variant&, Variant&) { ++completions_; };
    browser_.SetEvents(events);
  }
  platform::IBrowser& Browser() override { return browser_; }
  std::u16string Url(const std::string& path) override { return platform::FromUtf8("http://127.0.0.1:8" + path); }
  bool Load(const TContractPage& page) override {
    const int before = completions_;
    const std::u16string url = Url(page.path);
    browser_.Navigate(url);
    browser_.Complete(platform::fake::FakePage{url, u"", true, platform::fake::MakeDocument(page.body, url)});
    return completions_ == before + 1;
  }
  void StartEndlessLoad() override { browser_.Navigate(Url("/c/endless")); }
  bool IsFake() const override { return true; }

 private:
  platform::fake::FakeBrowser browser_;
  int completions_ = 0;
};

TEST(FakeBrowserContract, MembersGiveTheEnginesValues) {
  FakeContractBrowser browser;
  CheckMembersPage(browser);
}

TEST(FakeBrowserContract, ReadyStateAndDocumentFollowTheEngine) {
  FakeContractBrowser browser;
  CheckReadyStates(browser);
}

}  // namespace
}  // namespace browser_contract
