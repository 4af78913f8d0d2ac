#include "app/headless.h"

#include <deque>
#include <filesystem>
#include <ostream>
#include <stdexcept>

#include <fmt/printf.h>

#include "app/Unit1.h"
#include "app/config.h"
#include "common/exceptions.h"

namespace {

const TNumberRange kDelayRange{0, kMaxNavigationDelayMs, "milliseconds"};

TNumberRange ParallelRange(TPageEngine engine) {
  return TNumberRange{1, engine == peHttp ? kMaxParallelPagesHttp : kMaxParallelPages, "pages"};
}

}  // namespace

int NavigationDelayMs(const std::optional<THeadlessOptions>& headless, const char* environmentValue) {
  if (headless && headless->delayMs) return *headless->delayMs;
  if (!environmentValue || !*environmentValue) return 0;
  const std::optional<long long> delay = WholeNumber(environmentValue, kDelayRange);
  if (!delay) throw std::invalid_argument(RangeError("WEXA_DELAY_MS", kDelayRange, environmentValue));
  return static_cast<int>(*delay);
}

int ParallelPages(const std::optional<THeadlessOptions>& headless, const char* environmentValue, TPageEngine engine) {
  const TNumberRange range = ParallelRange(engine);
  if (headless && headless->parallel) {
    if (*headless->parallel > range.max)
      throw std::invalid_argument(RangeError("--parallel", range, std::to_string(*headless->parallel)));
    return *headless->parallel;
  }
  if (!environmentValue || !*environmentValue) return 1;
  const std::optional<long long> pages = WholeNumber(environmentValue, range);
  if (!pages) throw std::invalid_argument(RangeError("WEXA_PARALLEL", range, environmentValue));
  return static_cast<int>(*pages);
}

TPageEngine PageEngine(const std::optional<THeadlessOptions>& headless, const char* environmentValue) {
  if (headless && headless->engine) return *headless->engine;
  if (!environmentValue || !*environmentValue) return peWeb;
  const std::optional<TPageEngine> engine = ParsePageEngine(environmentValue);
  if (!engine) throw std::invalid_argument(PageEngineError("WEXA_ENGINE", environmentValue));
  return *engine;
}

std::string TerminalStatusSuffix(double elapsedSeconds, long long pageLoads) {
  const long long seconds = elapsedSeconds > 0 ? static_cast<long long>(elapsedSeconds) : 0;
  const double rate = elapsedSeconds > 0 ? static_cast<double>(pageLoads) / elapsedSeconds : 0.0;
  return fmt::sprintf(" | %d:%02d:%02d | %.1f pages/s", seconds / 3600, seconds / 60 % 60, seconds % 60, rate);
}

// The two output streams. On a terminal a status text stays open on its line until the next one
// replaces it, so anything else written there ends that line first.
class THeadlessHost::Output {
 public:
  Output(std::ostream& out, std::ostream& err, bool terminal, double start)
      : out_(out), err_(err), terminal_(terminal), start_(start) {}

  bool Terminal() const { return terminal_; }

  void Status(const std::string& text, double now, long long pageLoads) {
    if (!terminal_) {
      out_ << text << '\n' << std::flush;
      return;
    }
    out_ << '\r' << text << TerminalStatusSuffix(now - start_, pageLoads) << kClearToEndOfLine << std::flush;
    open_ = true;
  }
  void FinishedLine(const std::string& text, double now, long long pageLoads) {
    if (!terminal_) {
      out_ << text << '\n' << std::flush;
      return;
    }
    EndLine();
    out_ << text << TerminalStatusSuffix(now - start_, pageLoads) << '\n' << std::flush;
  }
  void ErrorLine(const std::string& line) {
    EndLine();
    err_ << line << '\n' << std::flush;
  }
  void EndLine() {
    if (!open_) return;
    out_ << '\n' << std::flush;
    open_ = false;
  }

 private:
  static constexpr const char* kClearToEndOfLine = "\x1b[K";

  std::ostream& out_;
  std::ostream& err_;
  const bool terminal_;
  const double start_;
  bool open_ = false;
};

// Counts the page loads the form starts, for the rate on a terminal; forwards everything.
class THeadlessHost::CountingBrowser : public platform::IBrowser {
 public:
  explicit CountingBrowser(platform::IBrowser& inner) : inner_(inner) {}
  void Navigate(const std::u16string& address) override {
    ++loads_;
    inner_.Navigate(address);
  }
  void Stop() override { inner_.Stop(); }
  std::u16string LocationURL() override { return inner_.LocationURL(); }
  std::u16string LocationName() override { return inner_.LocationName(); }
  int ReadyState() override { return inner_.ReadyState(); }
  platform::Variant Document() override { return inner_.Document(); }
  bool IsHtmlDocument(const platform::Variant& document) override { return inner_.IsHtmlDocument(document); }
  platform::Variant Application() override { return inner_.Application(); }
  void SetEvents(platform::BrowserEvents events) override { inner_.SetEvents(std::move(events)); }
  int LoadsAhead() const override { return inner_.LoadsAhead(); }
  void HintUpcoming(const std::vector<std::u16string>& addresses) override { inner_.HintUpcoming(addresses); }
  platform::TLoadReport LastLoadReport() override { return inner_.LastLoadReport(); }
  void SetLeastLoadInterval(int ms) override { inner_.SetLeastLoadInterval(ms); }
  long long Loads() const { return loads_; }

 private:
  platform::IBrowser& inner_;
  long long loads_ = 0;
};

class THeadlessHost::StatusBar : public platform::IStatusBar {
 public:
  StatusBar(platform::IStatusBar* inner, Output& output, std::function<double()> clock,
            std::function<long long()> pageLoads)
      : inner_(inner), output_(output), clock_(std::move(clock)), pageLoads_(std::move(pageLoads)) {}

  void SetSimpleText(const std::string& text) override {
    if (inner_) inner_->SetSimpleText(text);
    text_ = text;
    const double now = clock_();
    if (text.rfind("*** FINISHED ***", 0) == 0) {
      finished_ = true;
      pending_ = false;
      output_.FinishedLine(text, now, pageLoads_());
      lastPrint_ = now;
      printedOnce_ = true;
    } else if (!printedOnce_ || now - lastPrint_ >= kMinInterval) {
      Print(text, now);
    } else {
      pending_ = true;
    }
  }
  std::string SimpleText() const override { return text_; }

  void Flush() {
    if (pending_) Print(text_, clock_());
  }
  void Tick() {
    const double now = clock_();
    if (pending_ && now - lastPrint_ >= kMinInterval) {
      Print(text_, now);
    } else if (output_.Terminal() && printedOnce_ && !finished_ && now - lastPrint_ >= kTerminalRefresh) {
      // The clock on the line keeps going while the crawl waits for a page.
      Print(text_, now);
    }
  }
  bool Finished() const { return finished_; }

 private:
  static constexpr double kMinInterval = 0.05;  // 20 lines a second
  static constexpr double kTerminalRefresh = 1.0;

  void Print(const std::string& text, double now) {
    output_.Status(text, now, pageLoads_());
    lastPrint_ = now;
    printedOnce_ = true;
    pending_ = false;
  }

  platform::IStatusBar* inner_;
  Output& output_;
  std::function<double()> clock_;
  std::function<long long()> pageLoads_;
  std::string text_;
  double lastPrint_ = 0;
  bool printedOnce_ = false;
  bool pending_ = false;
  bool finished_ = false;
};

class THeadlessHost::Memo : public platform::IMemo {
 public:
  Memo(platform::IMemo* inner, Output& output) : inner_(inner), output_(output) {}
  void AddLine(const std::string& line) override {
    if (inner_) inner_->AddLine(line);
    // Over a crawl of days only the last lines are kept; stderr has them all.
    if (lines_.size() >= platform::kMemoLineLimit) lines_.pop_front();
    lines_.push_back(line);
    output_.ErrorLine(line);
  }
  std::vector<std::string> Lines() const override { return {lines_.begin(), lines_.end()}; }

 private:
  platform::IMemo* inner_;
  Output& output_;
  std::deque<std::string> lines_;
};

class THeadlessHost::AnsweringDialogs : public platform::IDialogs {
 public:
  explicit AnsweringDialogs(Output& output) : output_(output) {}
  platform::TModalResult Confirm(const std::string& text, bool) override {
    output_.ErrorLine(text);
    return platform::TModalResult::mrYes;
  }
  void ShowMessage(const std::string& text) override {
    output_.ErrorLine(text);
    ++messages_;
  }
  int Messages() const { return messages_; }

 private:
  Output& output_;
  int messages_ = 0;
};

// Counts how deep the form's own message processing is nested, so the runner can tell whether a
// handler is running.
class THeadlessHost::CountingApplication : public platform::IApplication {
 public:
  explicit CountingApplication(platform::IApplication& inner) : inner_(inner) {}
  void ProcessMessages() override {
    Nested nested(depth_);
    inner_.ProcessMessages();
  }
  void Sleep(int milliseconds) override {
    Nested nested(depth_);
    inner_.Sleep(milliseconds);
  }
  int Depth() const { return depth_; }

 private:
  struct Nested {
    explicit Nested(int& depth) : depth_(depth) { ++depth_; }
    ~Nested() { --depth_; }
    int& depth_;
  };
  platform::IApplication& inner_;
  int depth_ = 0;
};

THeadlessHost::THeadlessHost(platform::IFormHost& inner, std::ostream& out, std::ostream& err,
                             std::function<double()> clock, bool outIsTerminal)
    : inner_(inner), clock_(std::move(clock)),
      output_(std::make_unique<Output>(out, err, outIsTerminal, clock_())),
      dialogs_(std::make_unique<AnsweringDialogs>(*output_)),
      application_(std::make_unique<CountingApplication>(inner.Application())) {}

THeadlessHost::~THeadlessHost() = default;

platform::TFormControls THeadlessHost::Build(const platform::TFormSpec& layout) {
  platform::TFormControls controls = inner_.Build(layout);
  if (controls.browser) {
    browser_ = std::make_unique<CountingBrowser>(*controls.browser);
    controls.browser = browser_.get();
  }
  statusBar_ = std::make_unique<StatusBar>(controls.StatusBar1, *output_, clock_,
                                           [this] { return browser_ ? browser_->Loads() : 0LL; });
  memo_ = std::make_unique<Memo>(controls.Memo1, *output_);
  controls.StatusBar1 = statusBar_.get();
  controls.Memo1 = memo_.get();
  return controls;
}

platform::IDialogs& THeadlessHost::Dialogs() { return *dialogs_; }

void THeadlessHost::FlushStatus() {
  if (statusBar_) statusBar_->Flush();
}

bool THeadlessHost::Finished() const { return statusBar_ && statusBar_->Finished(); }

int THeadlessHost::MessagesShown() const { return dialogs_->Messages(); }

platform::IApplication& THeadlessHost::Application() { return *application_; }

void THeadlessHost::TickStatus() {
  if (statusBar_) statusBar_->Tick();
}

void THeadlessHost::EndStatusLine() { output_->EndLine(); }

void THeadlessHost::ErrorLine(const std::string& line) { output_->ErrorLine(line); }

int THeadlessHost::ProcessingDepth() const { return application_->Depth(); }

THeadlessRunner::THeadlessRunner(TForm1& form, THeadlessHost& host, THeadlessOptions options, std::ostream& out)
    : form_(form), host_(host), options_(std::move(options)), out_(out) {}

void THeadlessRunner::Begin() {
  begun_ = true;
  out_ << host_.Caption() << '\n' << std::flush;
  form_.SetObeyRobots(config::ObeyRobots(options_.ignoreRobots));
  if (options_.resume) form_.Button4Click();
  // The loaded crawl's own minimum holds unless the command line gives one.
  if (const std::optional<std::int32_t> saved = form_.LoadedMinContent();
      saved && options_.minContent && std::stoll(*options_.minContent) != *saved) {
    host_.ErrorLine(fmt::sprintf("wexa-scraper: the saved crawl was made with --min-content %d; it goes on with %s",
                                 *saved, *options_.minContent));
  }
  if (options_.minContent) form_.Controls().Edit1->SetText(*options_.minContent);
  form_.Button2Click();
}

std::optional<int> THeadlessRunner::Poll() {
  // Inside a handler's own message processing nothing is decided: the handler must end first.
  if (!begun_ || busy_ || host_.ProcessingDepth() > 0) return std::nullopt;
  busy_ = true;
  struct Release {
    bool& busy;
    ~Release() { busy = false; }
  } release{busy_};

  host_.TickStatus();
  if (host_.Finished()) {
    // The finished line is followed by the save in the same handler, which has ended by now; a stop
    // request that came meanwhile has nothing left to save.
    host_.FlushStatus();
    return 0;
  }
  if (stopRequested_) {
    form_.Button1Click();
    const auto categories = static_cast<std::int32_t>(form_.Directory().Categories().size());
    const std::int32_t pending = form_.PendingToSave();
    form_.Button3Click();
    host_.FlushStatus();
    std::error_code error;
    const std::string folder = std::filesystem::current_path(error).string();
    host_.ErrorLine(fmt::sprintf(
        "wexa-scraper: stopped; the crawl is saved in %s (tree.xml, queue.lst): %d categories, %d pending entries; "
        "wexa-scraper --headless --resume continues it",
        folder.empty() ? "the working directory" : folder, categories, pending));
    return 130;
  }
  if (host_.MessagesShown() > messagesHandled_) {
    // The duplicate message ends the page's handler without a next step; an operator would stop
    // and start again, which takes the next pending category.
    messagesHandled_ = host_.MessagesShown();
    form_.Button1Click();
    form_.Button2Click();
  }
  return std::nullopt;
}
