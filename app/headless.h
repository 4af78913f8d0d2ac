#pragma once
// Windowless mode: the same form and handlers, driven as an operator would drive them, with the
// window's outputs turned into lines. Status-bar texts go to stdout (at most 20 a second; the last
// one and the finished line always), Memo1 lines and message-box texts to stderr, and every
// confirmation is answered Yes.
//
// Usage: wexa-scraper --headless [--min-content N] [--resume]

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/toolkit.h"

struct THeadlessOptions {
  bool resume = false;
  // The text typed into Edit1; the form's own "5000" when absent.
  std::optional<std::string> minContent;
};

// Parses the arguments after the program name. Returns nullopt when they are not windowless mode
// (no --headless). Throws std::invalid_argument with a usage message for a malformed command line.
std::optional<THeadlessOptions> ParseHeadlessArguments(const std::vector<std::string>& args);

// The usage line printed with a usage error.
extern const char* const kHeadlessUsage;

// Wraps the host that builds the (hidden) window and turns its outputs into lines.
// Single-threaded: the window's thread only. Does not own inner.
class THeadlessHost : public platform::IFormHost {
 public:
  // clock gives seconds on a monotonic scale; it decides the throttling of status lines.
  THeadlessHost(platform::IFormHost& inner, std::ostream& out, std::ostream& err, std::function<double()> clock);
  ~THeadlessHost() override;

  platform::TFormControls Build(const platform::TFormSpec& layout) override;
  void SetCaption(const std::string& caption) override { inner_.SetCaption(caption); }
  std::string Caption() const override { return inner_.Caption(); }
  platform::IDialogs& Dialogs() override;
  platform::IApplication& Application() override { return inner_.Application(); }

  // Prints the status line held back by the throttle, if any.
  void FlushStatus();
  // True once the finished line has been shown.
  bool Finished() const;
  // Number of plain message boxes shown so far (the duplicate message is one).
  int MessagesShown() const;

 private:
  class StatusBar;
  class Memo;
  class AnsweringDialogs;

  platform::IFormHost& inner_;
  std::ostream& out_;
  std::ostream& err_;
  std::function<double()> clock_;
  std::unique_ptr<StatusBar> statusBar_;
  std::unique_ptr<Memo> memo_;
  std::unique_ptr<AnsweringDialogs> dialogs_;
};
