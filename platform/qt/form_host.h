#pragma once
// QtFormHost: the window toolkit on Qt Widgets. Builds the form's window from its control table
// (geometry, anchors, fonts, captions, tab order, handlers) and offers the services handlers use
// (message boxes, processing pending messages, sleeping).
//
// Every handler of the table is called through RunHandler (crash_report.h): an exception leaving
// a handler is reported, never unwound through Qt.
//
// Ownership: the host owns the window (and through it every widget), the tree view's nodes, the
// browser and the control adapters that Build hands out; all stay valid until the host is
// destroyed. The browser is destroyed before the window, so its widget still exists then.
// Requires a QApplication for its whole life. Window thread only.

#include <QPointer>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/qt/controls.h"
#include "platform/toolkit.h"

namespace platform::qt {

class TAnchorKeeper;

class QtFormHost : public IFormHost {
 public:
  // Makes the browser control. Gets the panel the browser sits in; it creates its own widget as a
  // child of that panel (the host then keeps that widget filling the panel, as the table says) and
  // returns the IBrowser, which the host keeps.
  using BrowserFactory = std::function<std::unique_ptr<IBrowser>(QWidget* panel)>;

  // Without a factory the browser is a PlaceholderBrowser: a blank widget that loads nothing.
  // fetcher, when given, is handed to the form with its controls (TFormControls::fetcher).
  explicit QtFormHost(BrowserFactory browserFactory = nullptr, std::unique_ptr<IFetcher> fetcher = nullptr);
  QtFormHost(const QtFormHost&) = delete;
  QtFormHost& operator=(const QtFormHost&) = delete;
  ~QtFormHost() override;

  // Builds the window and its controls and wires the handlers of form; the window stays hidden
  // until Show. Called once. Throws std::invalid_argument when a control names an unknown parent.
  TFormControls Build(const TFormSpec& form) override;
  void SetCaption(const std::string& caption) override;
  std::string Caption() const override;
  IDialogs& Dialogs() override { return dialogs_; }
  IApplication& Application() override { return application_; }

  // Shows the window and gives the focus to the first control in tab order.
  void Show();
  // The form's window; nullptr before Build.
  QWidget* Window() const { return window_.get(); }
  // The widget of the control called name; nullptr when there is none (the timer has no widget).
  QWidget* Widget(const std::string& name) const;
  // The reload timer's QTimer (for tests); nullptr before Build.
  QTimer* TimerOf(const std::string& name) const;

 private:
  void BuildControl(const TControlSpec& control, QWidget* parent, TFormControls& controls);
  void BuildBrowser(const TControlSpec& control, QWidget* panel, TFormControls& controls);
  void SetTabOrder(const TFormSpec& form);

  BrowserFactory browserFactory_;
  std::string caption_;
  // Declared first so that it outlives the window and the tree model in it.
  TreeView tree_;
  std::unique_ptr<QWidget> window_;
  std::unique_ptr<IBrowser> browser_;
  std::unique_ptr<IFetcher> fetcher_;
  std::vector<std::unique_ptr<QtMemo>> memos_;
  std::vector<std::unique_ptr<QtEdit>> edits_;
  std::vector<std::unique_ptr<QtLabel>> labels_;
  std::map<std::string, std::unique_ptr<QtTimer>> timers_;
  std::map<std::string, QPointer<QWidget>> widgets_;
  // Each container (the window, panels): its client size at design time and the keeper of its
  // children's anchors (a QObject child of the container).
  struct TContainer {
    QSize designSize;
    TAnchorKeeper* keeper;
  };
  std::map<QWidget*, TContainer> containers_;
  QtDialogs dialogs_;
  QtApplicationServices application_;
};

}  // namespace platform::qt
