#include "app/headless.h"

#include <ostream>
#include <stdexcept>

#include "common/exceptions.h"

const char* const kHeadlessUsage = "usage: wexa-scraper --headless [--min-content N] [--resume]";

std::optional<THeadlessOptions> ParseHeadlessArguments(const std::vector<std::string>& args) {
  bool headless = false;
  THeadlessOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--headless") {
      headless = true;
    } else if (a == "--resume") {
      options.resume = true;
    } else if (a == "--min-content") {
      if (i + 1 >= args.size()) throw std::invalid_argument("--min-content needs a number");
      options.minContent = args[++i];
    } else if (a.rfind("--min-content=", 0) == 0) {
      options.minContent = a.substr(14);
    } else {
      throw std::invalid_argument("unknown argument: " + a);
    }
  }
  if (!headless) {
    if (options.resume || options.minContent) throw std::invalid_argument("--resume and --min-content need --headless");
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

class THeadlessHost::StatusBar : public platform::IStatusBar {
 public:
  StatusBar(platform::IStatusBar* inner, std::ostream& out, std::function<double()> clock)
      : inner_(inner), out_(out), clock_(std::move(clock)) {}

  void SetSimpleText(const std::string& text) override {
    if (inner_) inner_->SetSimpleText(text);
    text_ = text;
    const bool finishedLine = text.rfind("*** FINISHED ***", 0) == 0;
    if (finishedLine) finished_ = true;
    const double now = clock_();
    if (finishedLine || !printedOnce_ || now - lastPrint_ >= kMinInterval) {
      Print(text, now);
    } else {
      pending_ = true;
    }
  }
  std::string SimpleText() const override { return text_; }

  void Flush() {
    if (pending_) Print(text_, clock_());
  }
  bool Finished() const { return finished_; }

 private:
  static constexpr double kMinInterval = 0.05;  // 20 lines a second

  void Print(const std::string& text, double now) {
    out_ << text << '\n' << std::flush;
    lastPrint_ = now;
    printedOnce_ = true;
    pending_ = false;
  }

  platform::IStatusBar* inner_;
  std::ostream& out_;
  std::function<double()> clock_;
  std::string text_;
  double lastPrint_ = 0;
  bool printedOnce_ = false;
  bool pending_ = false;
  bool finished_ = false;
};

class THeadlessHost::Memo : public platform::IMemo {
 public:
  Memo(platform::IMemo* inner, std::ostream& err) : inner_(inner), err_(err) {}
  void AddLine(const std::string& line) override {
    if (inner_) inner_->AddLine(line);
    lines_.push_back(line);
    err_ << line << '\n' << std::flush;
  }
  std::vector<std::string> Lines() const override { return lines_; }

 private:
  platform::IMemo* inner_;
  std::ostream& err_;
  std::vector<std::string> lines_;
};

class THeadlessHost::AnsweringDialogs : public platform::IDialogs {
 public:
  explicit AnsweringDialogs(std::ostream& err) : err_(err) {}
  platform::TModalResult Confirm(const std::string& text, bool) override {
    err_ << text << '\n' << std::flush;
    return platform::TModalResult::mrYes;
  }
  void ShowMessage(const std::string& text) override {
    err_ << text << '\n' << std::flush;
    ++messages_;
  }
  int Messages() const { return messages_; }

 private:
  std::ostream& err_;
  int messages_ = 0;
};

THeadlessHost::THeadlessHost(platform::IFormHost& inner, std::ostream& out, std::ostream& err,
                             std::function<double()> clock)
    : inner_(inner), out_(out), err_(err), clock_(std::move(clock)),
      dialogs_(std::make_unique<AnsweringDialogs>(err)) {}

THeadlessHost::~THeadlessHost() = default;

platform::TFormControls THeadlessHost::Build(const platform::TFormSpec& layout) {
  platform::TFormControls controls = inner_.Build(layout);
  statusBar_ = std::make_unique<StatusBar>(controls.StatusBar1, out_, clock_);
  memo_ = std::make_unique<Memo>(controls.Memo1, err_);
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
