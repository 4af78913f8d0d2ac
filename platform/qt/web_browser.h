#pragma once
// The crawl's web browser on Qt WebEngine: a QWebEngineView filling a panel, with the page's
// document read through the snapshot binding of dom_binding.h.

#include <cstdint>
#include <memory>
#include <string>

#include <QPointer>

#include "platform/browser.h"
#include "platform/qt/dom_binding.h"

class QWidget;
class QWebEnginePage;
class QWebEngineView;
class QWebEngineLoadingInfo;

namespace platform::qt {

// IBrowser over a QWebEngineView that is created as a child of the panel and fills it.
//
// Loads: document complete is raised once per load that ended with a document in the view, for
// the top-level document, with the view's address (so LocationURL equals it while the handler
// runs). A load that failed and shows an error page or the server's error document raises it too.
// A load cancelled by Stop or replaced by a new Navigate raises none. Loads the page starts
// itself (a script or refresh changing the location) count as loads of their own.
//
// Document: when a load ends, one script call takes a snapshot of the whole document; the event
// is raised from that script's callback, and every late-bound call is then answered from the
// snapshot in C++. Document() is empty from a Navigate until that load's snapshot is taken, so a
// stale page can never be read as the new one.
//
// The view loads no images, media, fonts or style sheets and runs no plugins; script dialogs,
// file choosers and new windows are suppressed. Pages still run their own scripts.
//
// Ownership: the view belongs to the panel (a Qt child); destroying the browser destroys the view.
// If the panel goes first, the browser stays safe to call and shows nothing.
// Events: navigate-complete is raised just before document complete, status-text change when the
// pointer moves over a link. Each page event is delivered as an event of its own on the Qt event
// loop (never from inside the engine's callbacks), so handlers may process events nested, wait
// there for the next page, and call any method, Navigate included.
// Threading: the window's thread only.
class QtWebBrowser : public IBrowser {
 public:
  explicit QtWebBrowser(QWidget* panel);
  ~QtWebBrowser() override;

  void Navigate(const std::u16string& address) override;
  void Stop() override;
  std::u16string LocationURL() override;
  std::u16string LocationName() override;
  // 0 before the first load, 1 while loading, 3 while the document is being read or after a load
  // was stopped, 4 once the document is available.
  int ReadyState() override;
  Variant Document() override;
  bool IsHtmlDocument(const Variant& document) override;
  Variant Application() override;
  void SetEvents(BrowserEvents events) override;

  // The view, for layout and tests; nullptr after the panel destroyed it.
  QWebEngineView* View() const;

 private:
  enum class TLoadState { lsIdle, lsLoading, lsReading, lsComplete, lsStopped };

  void OnLoadingChanged(const QWebEngineLoadingInfo& info);
  void OnSnapshot(std::uint64_t generation, bool received, std::u16string text);
  void RaiseLoadEvents(std::uint64_t generation);

  QPointer<QWebEngineView> view_;
  QPointer<QWebEnginePage> page_;
  BrowserEvents events_;
  TLoadState state_ = TLoadState::lsIdle;
  // Raised by every Navigate, Stop and load the page starts; a snapshot taken for an older
  // generation is discarded.
  std::uint64_t generation_ = 0;
  std::shared_ptr<Dispatch> document_;
  // Expires with the browser, for callbacks that may outlive it.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

// The factory the window host takes: a QtWebBrowser filling panel.
std::unique_ptr<IBrowser> CreateWebBrowser(QWidget* panel);

// The web engine runs Chromium, whose sandbox cannot start for the root user. The program never
// turns the sandbox off itself. Returns false, with one line for the user in *message, when the
// process runs as root and the environment does not turn the sandbox off
// (QTWEBENGINE_DISABLE_SANDBOX=1, or --no-sandbox in QTWEBENGINE_CHROMIUM_FLAGS); true otherwise.
// main() prints the line and exits 2.
bool CheckWebEngineSandboxSetting(std::string* message);

// The decision behind CheckWebEngineSandboxSetting, for given facts: an empty result means the
// engine can start; otherwise the line to print. Null pointers are unset variables.
std::string SandboxSettingProblem(bool runningAsRoot, const char* disableSandbox, const char* chromiumFlags);

}  // namespace platform::qt
