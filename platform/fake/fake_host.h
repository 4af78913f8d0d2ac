#pragma once
// Deterministic fakes of the window toolkit and the browser. Tests decide when a page arrives,
// when the timer fires and what a dialog answers; every fake records what it was asked.

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/toolkit.h"

namespace platform::fake {

class FakeStatusBar : public IStatusBar {
 public:
  void SetSimpleText(const std::string& text) override {
    text_ = text;
    if (keepHistory) history.push_back(text);
    if (onText) onText(text);
  }
  std::string SimpleText() const override { return text_; }
  // Every text set, in order (while keepHistory is true).
  bool keepHistory = true;
  std::vector<std::string> history;
  // Called with every text set, when given (benchmarks time up to a line with it).
  std::function<void(const std::string&)> onText;

 private:
  std::string text_;
};

class FakeMemo : public IMemo {
 public:
  void AddLine(const std::string& line) override { lines_.push_back(line); }
  std::vector<std::string> Lines() const override { return lines_; }

 private:
  std::vector<std::string> lines_;
};

class FakeEdit : public IEdit {
 public:
  std::string Text() const override { return text_; }
  void SetText(const std::string& text) override { text_ = text; }
  int reads = 0;

 private:
  std::string text_;
};

class FakeLabel : public ILabel {
 public:
  void Show() override { visible_ = true; ++shows; }
  void Hide() override { visible_ = false; }
  bool Visible() const override { return visible_; }
  void SetInitiallyVisible(bool v) { visible_ = v; }
  int shows = 0;

 private:
  bool visible_ = true;
};

// A timer that fires only when the test says so.
class FakeTimer : public ITimer {
 public:
  void SetEnabled(bool enabled) override {
    if (enabled && !enabled_) ++starts;
    enabled_ = enabled;
  }
  bool Enabled() const override { return enabled_; }
  int Interval() const override { return interval; }
  void SetInterval(int milliseconds) override {
    interval = milliseconds;
    intervals.push_back(milliseconds);
  }
  // Runs the timer handler when enabled; returns whether it ran.
  bool Fire() {
    if (!enabled_ || !onTimer) return false;
    onTimer();
    return true;
  }
  int interval = 0;
  // How often the timer went from disabled to enabled (each start begins a full interval).
  int starts = 0;
  // Every interval set, in order.
  std::vector<int> intervals;
  std::function<void()> onTimer;

 private:
  bool enabled_ = false;
};

// A page as the fake browser shows it.
struct FakePage {
  std::u16string url;
  std::u16string title;
  bool isHtml = true;
  std::shared_ptr<Dispatch> document;  // nullptr: no document
};

// A browser whose loads end only when the test completes them. Its ready state and document follow
// the WebEngine browser's: 0 before the first load, 1 while one loads, 3 after Stop cancelled one,
// 4 when a page is complete; a load under way (and a cancelled one) has no document. The page shown
// (address and title) stays until the next one completes.
class FakeBrowser : public IBrowser {
 public:
  void Navigate(const std::u16string& address) override {
    navigations.push_back(address);
    for (std::size_t i = 0; i < upcoming_.size(); ++i) {
      if (upcoming_[i] != address) continue;
      ++takenAhead;
      upcoming_.erase(upcoming_.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
    page_.document.reset();
    readyState_ = 1;
  }
  void Stop() override {
    ++stops;
    if (readyState_ == 1) {
      page_.document.reset();
      readyState_ = 3;
    }
  }
  std::u16string LocationURL() override { return page_.url; }
  std::u16string LocationName() override { return page_.title; }
  int ReadyState() override { return readyState_; }
  Variant Document() override;
  bool IsHtmlDocument(const Variant& document) override;
  Variant Application() override;
  void SetEvents(BrowserEvents events) override { events_ = std::move(events); }
  // Loading ahead: the fake loads nothing ahead, but offers loadsAhead pages for it and records
  // every hint. A Navigate to an address of the latest hint counts in takenAhead, as the real
  // browser would show the page it loaded ahead; the test still ends that load with Complete.
  int LoadsAhead() const override { return loadsAhead; }
  void HintUpcoming(const std::vector<std::u16string>& addresses) override {
    hints.push_back(addresses);
    upcoming_ = addresses;
  }
  // The report set by the test for the loads it completes.
  TLoadReport LastLoadReport() override { return report; }
  void SetLeastLoadInterval(int ms) override { leastLoadInterval = ms; }
  TLoadReport report;
  int leastLoadInterval = 0;

  // Ends the current load with page shown and raises document complete for it.
  void Complete(FakePage page);
  // Raises document complete for a frame with its own address; the page shown does not change.
  void CompleteFrame(const std::u16string& frameUrl);
  // Shows page without raising an event (as if it had been loaded earlier).
  void Show(FakePage page) {
    page_ = std::move(page);
    readyState_ = kReadyStateComplete;
  }
  bool Loading() const { return readyState_ == 1; }
  // Raises the log-line event, as the browser does after restarting a page on its own.
  void RaiseLogLine(const std::u16string& line) {
    if (events_.onLogLine) events_.onLogLine(line);
  }

  std::vector<std::u16string> navigations;
  int stops = 0;
  int loadsAhead = 0;
  // Every hint, in order, and how many navigations went to a hinted address.
  std::vector<std::vector<std::u16string>> hints;
  int takenAhead = 0;

 private:
  std::vector<std::u16string> upcoming_;
  FakePage page_;
  int readyState_ = 0;
  BrowserEvents events_;
};

// A fetcher whose answers the test gives. By default every fetch is answered at once with
// autoAnswer (404: no robots.txt); with autoAnswer empty, fetches wait for Answer.
class FakeFetcher : public IFetcher {
 public:
  void Fetch(const std::u16string& address, std::size_t maxBodyBytes, TDone done) override {
    requests.push_back(address);
    limits.push_back(maxBodyBytes);
    if (autoAnswer) {
      const TFetchResult answer = *autoAnswer;
      done(answer);
      return;
    }
    pending_.push_back(std::move(done));
  }
  // Answers the oldest fetch under way; returns false when none is.
  bool Answer(const TFetchResult& result) {
    if (pending_.empty()) return false;
    TDone done = std::move(pending_.front());
    pending_.pop_front();
    done(result);
    return true;
  }
  std::size_t Pending() const { return pending_.size(); }

  std::optional<TFetchResult> autoAnswer = TFetchResult{404, "", {}, ""};
  std::vector<std::u16string> requests;
  std::vector<std::size_t> limits;

 private:
  std::deque<TDone> pending_;
};

class FakeDialogs : public IDialogs {
 public:
  TModalResult Confirm(const std::string& text, bool withCancel) override {
    confirmations.push_back(text);
    confirmWithCancel.push_back(withCancel);
    if (answers.empty()) return TModalResult::mrYes;
    const TModalResult r = answers.front();
    answers.pop_front();
    return r;
  }
  void ShowMessage(const std::string& text) override { messages.push_back(text); }

  // Answers for the next confirmations, in order; Yes when none is left.
  std::deque<TModalResult> answers;
  std::vector<std::string> confirmations;
  std::vector<bool> confirmWithCancel;
  std::vector<std::string> messages;
};

// Raised when a handler waits for events that no test will ever post.
class FakeStuck : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class FakeApplication : public IApplication {
 public:
  // Runs every posted event, including events posted while they run.
  void ProcessMessages() override;
  // Throws FakeStuck after more than idleLimit sleeps in a row that followed an idle
  // ProcessMessages: a handler waiting for events that no test will post.
  void Sleep(int milliseconds) override;
  // Queues an event for the next ProcessMessages.
  void Post(std::function<void()> event) { events_.push_back(std::move(event)); }

  int processCalls = 0;
  long long sleptMs = 0;
  int idleLimit = 10000;

 private:
  std::deque<std::function<void()>> events_;
  bool lastProcessIdle_ = false;
  int idleSleeps_ = 0;
};

class FakeFormHost : public IFormHost {
 public:
  FakeFormHost() = default;
  TFormControls Build(const TFormSpec& layout) override;
  void SetCaption(const std::string& caption) override { caption_ = caption; }
  std::string Caption() const override { return caption_; }
  IDialogs& Dialogs() override { return dialogs; }
  IApplication& Application() override { return application; }

  // Presses a button of the built form by name.
  void Click(const std::string& name);
  // Types one character into an edit through its key filter, as a keyboard would.
  void Type(const std::string& editName, char16_t key);
  const TFormSpec& Layout() const { return layout_; }

  TreeView tree;
  FakeStatusBar statusBar;
  FakeMemo memo;
  FakeEdit edit;
  FakeLabel label;
  FakeTimer timer;
  // The form's second timer (the wait before a request is made again).
  FakeTimer waiter;
  FakeBrowser browser;
  FakeFetcher fetcher;
  FakeDialogs dialogs;
  FakeApplication application;

 private:
  const TControlSpec& Find(const std::string& name) const;
  TFormSpec layout_;
  std::string caption_;
};

}  // namespace platform::fake
