#pragma once
// The form's controls as the crawl sees them (platform/toolkit.h), over Qt widgets. Each adapter
// borrows its widget, which belongs to its parent widget; the adapters belong to QtFormHost and are
// destroyed before the widgets (the status bar is itself a widget, owned by its parent). Window
// thread only.

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "platform/toolkit.h"

namespace platform::qt {

// The status bar with one simple panel: a sunken line of text across the bottom of the form, with
// a size grip. Setting the text only schedules a repaint, so it may be called for every node of a
// large tree.
class StatusBarWidget : public QWidget, public IStatusBar {
 public:
  explicit StatusBarWidget(QWidget* parent);
  void SetSimpleText(const std::string& text) override;
  std::string SimpleText() const override { return text_; }
  QString DisplayedText() const { return shown_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  std::string text_;
  QString shown_;
  QWidget* grip_;
};

class QtMemo : public IMemo {
 public:
  // Sets memo up as a multi-line text box without wrapping, both scroll bars always shown when
  // bothScrollBars is set.
  QtMemo(QPlainTextEdit& memo, bool bothScrollBars);
  void AddLine(const std::string& line) override;
  std::vector<std::string> Lines() const override;

 private:
  QPlainTextEdit& memo_;
};

// The single-line edit with its key filter. Every typed character (printable characters, backspace
// as 8, Return 13, Escape 27, Control+letter as 1 to 26) goes through the handler before the edit
// sees it: a key the handler sets to 0 is discarded, a key it replaces is typed as the replacement.
// Keys that type no character (arrows, Delete, Home, function keys, Tab) pass untouched.
class QtEdit : public QObject, public IEdit {
 public:
  QtEdit(QLineEdit& edit, std::function<void(char16_t&)> onKeyPress);
  std::string Text() const override;
  void SetText(const std::string& text) override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QLineEdit& edit_;
  std::function<void(char16_t&)> onKeyPress_;
};

class QtLabel : public ILabel {
 public:
  explicit QtLabel(QLabel& label) : label_(label) {}
  void Show() override { label_.show(); }
  void Hide() override { label_.hide(); }
  // Whether the label is set to show; independent of whether the window is on screen.
  bool Visible() const override { return !label_.isHidden(); }

 private:
  QLabel& label_;
};

// The repeating timer. Enabling an enabled timer changes nothing; disabling and enabling again
// starts a full new interval. The handler runs through RunHandler (crash_report.h).
class QtTimer : public ITimer {
 public:
  QtTimer(int interval, bool enabled, std::function<void()> onTimer);
  void SetEnabled(bool enabled) override;
  bool Enabled() const override { return timer_->isActive(); }
  int Interval() const override { return timer_->interval(); }
  void SetInterval(int milliseconds) override;
  QTimer& Timer() { return *timer_; }

 private:
  std::unique_ptr<QTimer> timer_;
  std::function<void()> onTimer_;
};

// Modal message boxes, parented to the form's window when there is one.
class QtDialogs : public IDialogs {
 public:
  void SetParent(QWidget* parent) { parent_ = parent; }
  // Yes and No (and Cancel); closing the box counts as No (Cancel when offered).
  TModalResult Confirm(const std::string& text, bool withCancel) override;
  void ShowMessage(const std::string& text) override;

 private:
  QWidget* parent_ = nullptr;
};

// Message processing. A handler that processes messages in a loop (once per tree node, say) would
// otherwise repaint every changed widget on every call, which costs far more than the loop's own
// work; while ProcessMessages runs, a window is therefore repainted at most every
// kPaintIntervalMs. Handlers, timers and input are never held back.
class QtApplicationServices : public IApplication {
 public:
  static constexpr int kPaintIntervalMs = 40;

  QtApplicationServices();
  ~QtApplicationServices() override;
  // QCoreApplication::processEvents: every pending event, timers and posted events included.
  void ProcessMessages() override;
  void Sleep(int milliseconds) override;

 private:
  class TPaintThrottle;
  std::unique_ptr<TPaintThrottle> paintThrottle_;
};

}  // namespace platform::qt
