#pragma once
// Error reporting of the window: an error that leaves a handler is shown to the operator in the
// crash-report dialog, and the window stays open with the crawl standing where the error left it.
//
// Two boundaries catch: RunHandler, through which the host calls every handler of the form (Qt's
// signal machinery must never be unwound by an exception), and WexaApplication::notify, which
// catches whatever else leaves an event handler. Both end in ReportHandlerError.
//
// Everything here runs on the window's thread.

#include <QApplication>
#include <QDialog>
#include <exception>
#include <functional>
#include <string>

namespace platform::qt {

// What the report shows about one error.
struct TErrorReport {
  std::string className;   // "EConvertError"; the C++ type for other exceptions
  std::string message;
  std::string stackTrace;  // where the error was raised, one frame a line; empty when unknown
  // An expected input error's file and line (0: not known); empty for a program error.
  std::string inputFile;
  int inputLine = 0;
};

// Describes the exception error holds. Never throws.
TErrorReport DescribeException(std::exception_ptr error) noexcept;

// The text of a saved report: program, time, class, message and stack trace.
std::string FormatReport(const TErrorReport& report);

// Shows the report of error to the operator and acts on the answer: Continue returns (and runs the
// handlers held back meanwhile), Restart starts the program again in place of this process, Close
// ends the message loop with exit code 1 (or, when an outer handler is still running and would keep
// the loop from ending, the process at once). With an error hook set, the hook gets the report
// instead and this returns. Never throws.
void ReportHandlerError(std::exception_ptr error) noexcept;

// Replaces the dialog with hook, for the windowless runner and tests; an empty hook brings the
// dialog back. The hook runs on the window's thread and must not throw.
void SetErrorHook(std::function<void(const TErrorReport&)> hook);

// Runs handler, a handler of the form called from Qt's event dispatch, and reports what it throws.
// While a report is open, a deferrable handler is held back and runs once the operator chooses
// Continue, so nothing moves the crawl on meanwhile; holdKey, when not null, keeps at most one
// held-back call per key (a timer's ticks). Never throws.
void RunHandler(const std::function<void()>& handler, bool deferrable = true, const void* holdKey = nullptr) noexcept;

// True while the crash-report dialog is open.
bool ReportOpen();

// The operator's answer in the crash-report dialog.
enum class TReportChoice { rcContinue, rcRestart, rcClose };

// The crash-report dialog: the message, a details section (class, stack trace) and the buttons
// "Continue", "Save report…", "Restart" and "Close". "Save report…" writes the report to a file
// chosen in a file dialog and leaves the dialog open.
class CrashReportDialog : public QDialog {
 public:
  explicit CrashReportDialog(const TErrorReport& report, QWidget* parent = nullptr);
  TReportChoice Choice() const { return choice_; }

 private:
  void SaveReport();
  TErrorReport report_;
  TReportChoice choice_ = TReportChoice::rcContinue;
};

// The program's application object: a QApplication whose event dispatch reports exceptions
// instead of letting them unwind through Qt's event loop. Create exactly one, before any widget.
class WexaApplication : public QApplication {
 public:
  WexaApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace platform::qt
