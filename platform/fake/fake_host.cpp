#include "platform/fake/fake_host.h"

#include "platform/text.h"

namespace platform::fake {

namespace {
// The browser control's own automation object: its Document member is the page's document.
class BrowserObject : public Dispatch {
 public:
  explicit BrowserObject(Variant document) : document_(std::move(document)) {}
  Variant Get(std::u16string_view member) override {
    if (MemberIs(member, u"document")) return document_;
    ThrowUnknownMember(member);
  }
  Variant Call(std::u16string_view member, const std::vector<Variant>&) override { ThrowUnknownMember(member); }

 private:
  Variant document_;
};
}  // namespace

Variant FakeBrowser::Document() {
  if (!page_.document) return Variant();
  return Variant(page_.document);
}

bool FakeBrowser::IsHtmlDocument(const Variant& document) { return document.Object() != nullptr && page_.isHtml; }

Variant FakeBrowser::Application() { return Variant(std::shared_ptr<Dispatch>(std::make_shared<BrowserObject>(Document()))); }

void FakeBrowser::Complete(FakePage page) {
  page_ = std::move(page);
  readyState_ = kReadyStateComplete;
  if (events_.onDocumentComplete) {
    Variant url(page_.url);
    events_.onDocumentComplete(Variant(), url);
  }
}

void FakeBrowser::CompleteFrame(const std::u16string& frameUrl) {
  if (events_.onDocumentComplete) {
    Variant url(frameUrl);
    events_.onDocumentComplete(Variant(), url);
  }
}

void FakeApplication::ProcessMessages() {
  ++processCalls;
  lastProcessIdle_ = events_.empty();
  if (!lastProcessIdle_) idleSleeps_ = 0;
  while (!events_.empty()) {
    auto event = std::move(events_.front());
    events_.pop_front();
    event();
  }
}

void FakeApplication::Sleep(int milliseconds) {
  sleptMs += milliseconds;
  if (lastProcessIdle_ && ++idleSleeps_ > idleLimit) throw FakeStuck("waiting for events that never come");
}

TFormControls FakeFormHost::Build(const TFormSpec& layout) {
  layout_ = layout;
  caption_ = layout.caption;
  int timerCount = 0;
  for (const auto& c : layout_.controls) {
    switch (c.kind) {
      case TControlKind::ckEdit: edit.SetText(c.caption); break;
      case TControlKind::ckLabel:
        if (c.name == "Label1") label.SetInitiallyVisible(c.visible);
        break;
      case TControlKind::ckTimer: {
        // The first timer is the reloader, the next one the waiter.
        FakeTimer& t = timerCount++ == 0 ? timer : waiter;
        t.interval = c.interval;
        t.SetEnabled(c.enabled);
        t.starts = 0;
        t.onTimer = c.onTimer;
        break;
      }
      case TControlKind::ckBrowser: browser.SetEvents(c.browserEvents); break;
      default: break;
    }
  }
  TFormControls controls;
  controls.categories = &tree;
  controls.StatusBar1 = &statusBar;
  controls.Memo1 = &memo;
  controls.Edit1 = &edit;
  controls.Label1 = &label;
  controls.reloader = &timer;
  controls.browser = &browser;
  controls.waiter = &waiter;
  controls.fetcher = &fetcher;
  return controls;
}

const TControlSpec& FakeFormHost::Find(const std::string& name) const {
  for (const auto& c : layout_.controls)
    if (c.name == name) return c;
  throw std::invalid_argument("no control named " + name);
}

void FakeFormHost::Click(const std::string& name) {
  const auto& c = Find(name);
  if (c.onClick) c.onClick();
}

void FakeFormHost::Type(const std::string& editName, char16_t key) {
  const auto& c = Find(editName);
  if (c.onKeyPress) c.onKeyPress(key);
  if (key == 0) return;
  std::string text = edit.Text();
  if (key == 8) {
    if (!text.empty()) text.pop_back();
  } else {
    text += ToUtf8(std::u16string(1, key));
  }
  edit.SetText(text);
}

}  // namespace platform::fake
