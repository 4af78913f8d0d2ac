#pragma once
// Windowless mode: the same form and handlers, driven as an operator would drive them, with the
// window's outputs turned into lines. Status-bar texts go to stdout (at most 20 a second; the last
// one and the finished line always), Memo1 lines and message-box texts to stderr, and every
// confirmation is answered Yes. When stdout is a terminal, the status texts rewrite one line in
// place instead, with the elapsed time and the page loads per second at its end.
//
// The command line itself is app/command_line.h.

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "platform/toolkit.h"

// The largest delay between two page loads. The hold counts against the reload timer's period
// (a page is requested again when none was accepted 30000 ms after its navigation), so the delay
// stays well below it.
constexpr int kMaxNavigationDelayMs = 10000;

// The delay between two page loads for this run: --delay-ms when given (headless), otherwise
// environmentValue (WEXA_DELAY_MS; null or empty: unset), otherwise 0. Throws
// std::invalid_argument naming the source when the value is not a whole number from 0 to
// kMaxNavigationDelayMs.
int NavigationDelayMs(const std::optional<THeadlessOptions>& headless, const char* environmentValue);

// The most pages loaded at a time: the page read and the ones loaded ahead of it; each costs a
// browser page with the web engine, a request and a parsed document with http.
constexpr int kMaxParallelPages = 16;
constexpr int kMaxParallelPagesHttp = 64;

// The pages loaded at a time for this run: --parallel when given (headless), otherwise
// environmentValue (WEXA_PARALLEL; null or empty: unset), otherwise 1. Throws std::invalid_argument
// naming the source when the value is not a whole number from 1 to the engine's most
// (kMaxParallelPages, kMaxParallelPagesHttp).
int ParallelPages(const std::optional<THeadlessOptions>& headless, const char* environmentValue,
                  TPageEngine engine = peWeb);

// The page engine for this run: --engine when given (headless), otherwise environmentValue
// (WEXA_ENGINE; null or empty: unset), otherwise peWeb. Throws std::invalid_argument naming the
// source and the choices when the value is neither "web" nor "http".
TPageEngine PageEngine(const std::optional<THeadlessOptions>& headless, const char* environmentValue);

// What a status line on a terminal ends with: the elapsed time as hours:minutes:seconds and the
// page loads started per second so far, one decimal (" | 0:01:05 | 23.4 pages/s"). The rate is 0
// while no time has passed.
std::string TerminalStatusSuffix(double elapsedSeconds, long long pageLoads);

// Wraps the host that builds the (hidden) window and turns its outputs into lines.
// Single-threaded: the window's thread only. Does not own inner.
class THeadlessHost : public platform::IFormHost {
 public:
  // clock gives seconds on a monotonic scale; it decides the throttling of status lines and, on a
  // terminal, the elapsed time, counted from this constructor. outIsTerminal: out is a terminal,
  // so each status text replaces the one before on the same line (carriage return, then the text,
  // then "clear to the end of the line"); the finished line and every line on err still start on a
  // line of their own. Without it every status text is a line of its own, exactly as written.
  THeadlessHost(platform::IFormHost& inner, std::ostream& out, std::ostream& err, std::function<double()> clock,
                bool outIsTerminal = false);
  ~THeadlessHost() override;

  platform::TFormControls Build(const platform::TFormSpec& layout) override;
  void SetCaption(const std::string& caption) override { inner_.SetCaption(caption); }
  std::string Caption() const override { return inner_.Caption(); }
  platform::IDialogs& Dialogs() override;
  // The inner host's message processing, counted (ProcessingDepth).
  platform::IApplication& Application() override;

  // Prints the status line held back by the throttle, if any.
  void FlushStatus();
  // Prints the held-back status line once the throttle's interval has passed since the last one.
  void TickStatus();
  // A line on err, as the window's own lines go there.
  void ErrorLine(const std::string& line);
  // Ends the status line being rewritten in place, if any, so that what follows on the terminal
  // starts on a line of its own. Call before writing to the terminal past this host (an error
  // report) and at the end of the run.
  void EndStatusLine();
  // How deep the form's own message processing (ProcessMessages, Sleep) is nested right now; 0 when
  // no handler of the form is running.
  int ProcessingDepth() const;
  // True once the finished line has been shown.
  bool Finished() const;
  // Number of plain message boxes shown so far (the duplicate message is one).
  int MessagesShown() const;

 private:
  class StatusBar;
  class Memo;
  class AnsweringDialogs;
  class CountingApplication;
  class CountingBrowser;
  class Output;

  platform::IFormHost& inner_;
  std::function<double()> clock_;
  std::unique_ptr<Output> output_;
  std::unique_ptr<CountingBrowser> browser_;
  std::unique_ptr<StatusBar> statusBar_;
  std::unique_ptr<Memo> memo_;
  std::unique_ptr<AnsweringDialogs> dialogs_;
  std::unique_ptr<CountingApplication> application_;
};

class TForm1;

// Presses the form's buttons as an operator would in windowless mode: "load state" (with
// --resume), the minimum content into Edit1, then "start"; "stop" and "start" again after the
// duplicate message; "stop" and a save on a stop request, then a line on where the crawl was saved,
// what it holds and how to continue it. Decides the exit code.
//
// The event loop calls Poll regularly. Poll acts only between handlers (ProcessingDepth 0), never
// inside a handler's own message processing, so a save or a stop wait is never cut short.
class THeadlessRunner {
 public:
  // out gets the caption line.
  THeadlessRunner(TForm1& form, THeadlessHost& host, THeadlessOptions options, std::ostream& out);

  // Prints the caption as the first line, then loads, types and starts. Throws what the handlers
  // throw.
  void Begin();
  // Notes a stop request (SIGINT, SIGTERM); the next Poll between handlers acts on it.
  void RequestStop() { stopRequested_ = true; }
  // The exit code once the run is over: 0 after the finished crawl has saved its state, 130 after
  // a stop request was acted upon (stop, wait for rest, save). nullopt while the run goes on.
  // Throws what the handlers throw.
  std::optional<int> Poll();

 private:
  TForm1& form_;
  THeadlessHost& host_;
  THeadlessOptions options_;
  std::ostream& out_;
  bool stopRequested_ = false;
  bool begun_ = false;
  bool busy_ = false;
  int messagesHandled_ = 0;
};
