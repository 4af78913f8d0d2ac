#include "app/headless.h"

#include <ostream>
#include <stdexcept>

#include <fmt/printf.h>

#include "app/Unit1.h"
#include "common/exceptions.h"

const char* const kHeadlessUsage =
    "usage: wexa-scraper --headless [--min-content N] [--resume] [--delay-ms N] [--parallel N] [--engine web|http]";

namespace {

// A delay in ms from its text, or nullopt when it is not a whole number in range.
std::optional<int> ParseDelay(const std::string& text) {
  if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const int value = std::stoi(text);
  if (value > kMaxNavigationDelayMs) return std::nullopt;
  return value;
}

std::string DelayError(const std::string& source, const std::string& text) {
  return source + " takes a whole number of milliseconds from 0 to " + std::to_string(kMaxNavigationDelayMs) +
         ", not '" + text + "'";
}

// A number of pages in flight from its text, or nullopt when it is not a whole number in range.
std::optional<int> ParseParallel(const std::string& text, TPageEngine engine) {
  if (text.empty() || text.size() > 2 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const int value = std::stoi(text);
  if (value < 1 || value > MaxParallelPages(engine)) return std::nullopt;
  return value;
}

std::string ParallelError(const std::string& source, const std::string& text, TPageEngine engine) {
  return source + " takes a whole number of pages from 1 to " + std::to_string(MaxParallelPages(engine)) + ", not '" +
         text + "'";
}

std::optional<TPageEngine> ParseEngine(const std::string& text) {
  if (text == "web") return peWeb;
  if (text == "http") return peHttp;
  return std::nullopt;
}

std::string EngineError(const std::string& source, const std::string& text) {
  return source + " takes web or http, not '" + text + "'";
}

}  // namespace

std::optional<THeadlessOptions> ParseHeadlessArguments(const std::vector<std::string>& args,
                                                       const char* engineEnvironment) {
  bool headless = false;
  THeadlessOptions options;
  std::optional<std::string> parallelText;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    // The value of option name, given as "name value" or "name=value"; nullopt when a is not name.
    const auto valueOf = [&](const std::string& name) -> std::optional<std::string> {
      if (a == name) {
        if (i + 1 >= args.size()) throw std::invalid_argument(name + " needs a number");
        return args[++i];
      }
      if (a.rfind(name + "=", 0) == 0) return a.substr(name.size() + 1);
      return std::nullopt;
    };
    if (a == "--headless") {
      headless = true;
    } else if (a == "--resume") {
      options.resume = true;
    } else if (const auto minContent = valueOf("--min-content")) {
      options.minContent = *minContent;
    } else if (const auto delay = valueOf("--delay-ms")) {
      options.delayMs = ParseDelay(*delay);
      if (!options.delayMs) throw std::invalid_argument(DelayError("--delay-ms", *delay));
    } else if (const auto parallel = valueOf("--parallel")) {
      parallelText = *parallel;
    } else if (const auto engine = valueOf("--engine")) {
      options.engine = ParseEngine(*engine);
      if (!options.engine) throw std::invalid_argument(EngineError("--engine", *engine));
    } else {
      throw std::invalid_argument("unknown argument: " + a);
    }
  }
  if (parallelText) {
    // The engine's limit: the command line's engine, else the environment's when it is valid.
    TPageEngine engine = peWeb;
    if (options.engine) {
      engine = *options.engine;
    } else if (engineEnvironment) {
      engine = ParseEngine(engineEnvironment).value_or(peWeb);
    }
    options.parallel = ParseParallel(*parallelText, engine);
    if (!options.parallel) throw std::invalid_argument(ParallelError("--parallel", *parallelText, engine));
  }
  if (!headless) {
    if (options.resume || options.minContent || options.delayMs || options.parallel)
      throw std::invalid_argument("--resume, --min-content, --delay-ms and --parallel need --headless");
    if (options.engine) throw std::invalid_argument("--engine needs --headless; in the window, set WEXA_ENGINE");
    return std::nullopt;
  }
  if (options.minContent) {
    // The edit takes digits only; anything else could never have been typed into it.
    const std::string& n = *options.minContent;
    if (n.empty() || n.find_first_not_of("0123456789") != std::string::npos)
      throw std::invalid_argument("--min-content takes a whole number of 0 or more, not '" + n + "'");
  }
  return options;
}

TInformationRequest InformationRequested(const std::vector<std::string>& args) {
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") return irHelp;
    if (a == "--version") return irVersion;
  }
  return irNone;
}

std::string ProgramHelpText() {
  return R"(Usage:
  wexa-scraper
  wexa-scraper --headless [--min-content N] [--resume] [--delay-ms N] [--parallel N]
                        [--engine web|http]
  wexa-scraper --help | --version

Crawls the category tree of the Wexa web directory and records every category it reaches: name,
address, ID and content count, and the "@" cross-links to categories elsewhere in the directory.
Without options it opens its window; press "start" there. The state of a crawl is saved to
queue.lst and tree.xml in the working directory.

Options:
  --headless          crawl without a window and without a display: the window caption, then
                      the status-bar texts on stdout (at most 20 lines a second; the last one and
                      the finished line always), log lines and message texts on stderr. On a
                      terminal the status line is rewritten in place, with the elapsed time and
                      the pages per second.
  --min-content N     the minimum content count of a category whose subcategories are visited
                      (default 5000); windowless only
  --resume            load the saved state (queue.lst, tree.xml) before the start; windowless
                      only
  --delay-ms N        let at least N ms (0 to 10000) pass between the starts of two page loads
                      (default 0; wins over WEXA_DELAY_MS); windowless only
  --parallel N        load up to N pages at a time (1 to 16 with the web engine, 1 to 64 with
                      http): the next categories of the queue are loaded ahead while one is
                      read; the result is the same for every N (default 1; wins over
                      WEXA_PARALLEL); windowless only
  --engine web|http   what loads and reads the pages (default web; wins over WEXA_ENGINE):
                      web   a browser engine renders every page as a user sees it; in the
                            window the view shows the live page
                      http  plain HTTP requests and an HTML parser read the same page without
                            a browser: the same saved crawl, several times faster, in a few
                            tens of MiB; the view shows the fetched page's markup
                      windowless only; in the window, set WEXA_ENGINE
  -h, --help          show this text and exit
  --version           show the program's name and version and exit

Environment:
  WEXA_ROOT_URL       the directory's home page (default http://www.wexa.org)
  WEXA_SEARCH_HOST    the search host every complete directory page names (default
                      search.wexa.org)
  WEXA_DELAY_MS       least time in ms between the starts of two page loads (default 0)
  WEXA_PARALLEL       pages loaded at a time, 1 to 16 (web) or 64 (http) (default 1)
  WEXA_ENGINE         web or http, the page engine, in the window and windowless (default web)
  QTWEBENGINE_DISABLE_SANDBOX
                      1 turns the web engine's sandbox off; needed when running as root

Exit status (windowless): 0 when the crawl has finished and its state is saved; 130 after SIGINT
or SIGTERM (the crawl stops, waits for the page in flight and saves); 1 after an error (message and
stack trace on stderr, nothing saved); 2 for a usage error, or when run as root without
QTWEBENGINE_DISABLE_SANDBOX=1.
)";
}

std::string ProgramVersionLine(const std::string& version) { return "Wexa Category Scraper " + version; }

int NavigationDelayMs(const std::optional<THeadlessOptions>& headless, const char* environmentValue) {
  if (headless && headless->delayMs) return *headless->delayMs;
  if (!environmentValue || !*environmentValue) return 0;
  const std::optional<int> delay = ParseDelay(environmentValue);
  if (!delay) throw std::invalid_argument(DelayError("WEXA_DELAY_MS", environmentValue));
  return *delay;
}

int MaxParallelPages(TPageEngine engine) { return engine == peHttp ? kMaxParallelPagesHttp : kMaxParallelPages; }

int ParallelPages(const std::optional<THeadlessOptions>& headless, const char* environmentValue, TPageEngine engine) {
  if (headless && headless->parallel) {
    if (*headless->parallel > MaxParallelPages(engine))
      throw std::invalid_argument(ParallelError("--parallel", std::to_string(*headless->parallel), engine));
    return *headless->parallel;
  }
  if (!environmentValue || !*environmentValue) return 1;
  const std::optional<int> pages = ParseParallel(environmentValue, engine);
  if (!pages) throw std::invalid_argument(ParallelError("WEXA_PARALLEL", environmentValue, engine));
  return *pages;
}

TPageEngine PageEngine(const std::optional<THeadlessOptions>& headless, const char* environmentValue) {
  if (headless && headless->engine) return *headless->engine;
  if (!environmentValue || !*environmentValue) return peWeb;
  const std::optional<TPageEngine> engine = ParseEngine(environmentValue);
  if (!engine) throw std::invalid_argument(EngineError("WEXA_ENGINE", environmentValue));
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
    lines_.push_back(line);
    output_.ErrorLine(line);
  }
  std::vector<std::string> Lines() const override { return lines_; }

 private:
  platform::IMemo* inner_;
  Output& output_;
  std::vector<std::string> lines_;
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

int THeadlessHost::ProcessingDepth() const { return application_->Depth(); }

THeadlessRunner::THeadlessRunner(TForm1& form, THeadlessHost& host, THeadlessOptions options, std::ostream& out)
    : form_(form), host_(host), options_(std::move(options)), out_(out) {}

void THeadlessRunner::Begin() {
  begun_ = true;
  out_ << host_.Caption() << '\n' << std::flush;
  if (options_.resume) form_.Button4Click();
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
  if (stopRequested_) {
    form_.Button1Click();
    form_.Button3Click();
    host_.FlushStatus();
    return 130;
  }
  if (host_.Finished()) {
    // The finished line is followed by the save in the same handler, which has ended by now.
    host_.FlushStatus();
    return 0;
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
