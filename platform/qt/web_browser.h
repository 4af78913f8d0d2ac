#pragma once
// The crawl's web browser on Qt WebEngine: a QWebEngineView filling a panel, with the page's
// document read through the snapshot binding of dom_binding.h.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>

#include "platform/browser.h"
#include "platform/qt/dom_binding.h"

class QWidget;
class QWebEnginePage;
class QWebEngineView;
class QWebEngineLoadingInfo;

namespace platform::qt {

// Settings of a QtWebBrowser that stay fixed for its life.
struct TWebBrowserOptions {
  // Least time between the starts of two loads, in ms, for crawling a real server politely. A
  // Navigate sooner than that after the previous load started is held back until then; a Stop or
  // a newer Navigate cancels the held one. 0: every Navigate loads at once.
  int navigationDelayMs = 0;
  // Every this many loads, the page object (and with it its renderer process) is replaced by a
  // fresh one just before the next load starts, which returns whatever the old renderer had
  // accumulated over a long crawl. Invisible to the caller. 0: never.
  int recycleEvery = 0;
  // Pages loaded ahead of the one navigated to, at the addresses of the latest HintUpcoming; each
  // is a page object of its own. 0: none, the browser loads only what Navigate asks for.
  int pagesAhead = 0;
  // The User-Agent of every page load (set on the default profile, which every page of this
  // browser uses); empty: the engine's own.
  std::string userAgent;
};

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
// Renderer: when the page's renderer process stops (killed, crashed, out of memory), the browser
// puts a fresh page object in the view, with one line through the onLogLine event, and requests
// the address again. A load the caller waits for (a Navigate without its document complete yet)
// is started again and ends in document complete as any load does; until it arrives, the location
// and title are those shown before, as during any load. A page already delivered is only shown
// again: that load raises no events, so a page is never handed over twice and a crawl standing
// still (stopped, finished, or halted by an error) stays where it is. Once in a row: when the
// renderer stops again before a page has arrived or the caller has navigated, the page is not
// requested again, and the load stays awaited until the caller's next Navigate.
//
// Delay and recycling: see TWebBrowserOptions. The delay spaces the starts of all loads, loads ahead
// and the restarts after a renderer stopped included; a load the page starts itself cannot be held
// back, but counts as a start. SetLeastLoadInterval raises the delay.
//
// Load report: the HTTP status of an answer in 4xx or 5xx (the engine reports those as failed loads
// that show the server's document), or the engine's reason for a load that got no answer
// ("connection refused"). The engine does not give a page load's header fields, so Retry-After is
// never known here.
//
// Loading ahead (pagesAhead > 0): the first pagesAhead addresses of the latest hint are loaded in
// page objects of their own, outside the view, in the hint's order. A Navigate to one of them puts
// that page in the view in place of the one shown, and its document is read and reported exactly
// as a load's that ended there: at once when the page has arrived, otherwise when it does. A page
// loaded ahead whose renderer stops is dropped, and its address loaded in the usual way when it
// is navigated to. The pages hand their renderer's memory back when they are dropped for good.
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
  explicit QtWebBrowser(QWidget* panel, TWebBrowserOptions options = {});
  ~QtWebBrowser() override;

  void Navigate(const std::u16string& address) override;
  void Stop() override;
  std::u16string LocationURL() override;
  std::u16string LocationName() override;
  // 0 before the first load, 1 while loading (or held back by the navigation delay), 3 while the
  // document is being read or after a load was stopped, 4 once the document is available.
  int ReadyState() override;
  Variant Document() override;
  bool IsHtmlDocument(const Variant& document) override;
  Variant Application() override;
  void SetEvents(BrowserEvents events) override;
  int LoadsAhead() const override { return options_.pagesAhead; }
  void HintUpcoming(const std::vector<std::u16string>& addresses) override;
  TLoadReport LastLoadReport() override { return report_; }
  void SetLeastLoadInterval(int ms) override { leastLoadIntervalMs_ = ms; }

  // The view, for layout and tests; nullptr after the panel destroyed it.
  QWebEngineView* View() const;
  // The page object now in the view (it changes when the browser replaces it), for tests.
  QWebEnginePage* Page() const;

 private:
  enum class TLoadState { lsIdle, lsHeld, lsLoading, lsReading, lsComplete, lsStopped };

  // A page loaded ahead: its address and page object (null until its load starts).
  struct TAheadPage {
    std::u16string address;
    QPointer<QWebEnginePage> page;
    // The load ended (succeeded, or failed with an error page): the document can be read.
    bool arrived = false;
    TLoadReport report;
  };

  // Makes a page object with the crawl's settings, connected to this browser, and puts it in the
  // view in place of the current one, which is disconnected and deleted later.
  void ReplacePage();
  // A page object with the crawl's settings, owned by the view, connected to nothing.
  QWebEnginePage* MakePage();
  // Connects page's signals to the handlers of the page shown.
  void ConnectShownPage(QWebEnginePage* page);
  // Puts the page loaded ahead for address in the view as the page of a load under way (or one
  // that has arrived). Returns false when there is none whose load has started.
  bool TakeAheadPage(const std::u16string& address);
  // Starts the loads ahead that wait, as far as the navigation delay allows; the rest wait for
  // aheadTimer_.
  void StartAheadLoads();
  void OnAheadLoadingChanged(QWebEnginePage* page, const QWebEngineLoadingInfo& info);
  void OnAheadRendererStopped(QWebEnginePage* page);
  // Stops page and keeps it for a later load ahead.
  void Park(QWebEnginePage* page);
  // Takes a snapshot of the page shown for the load under way; its events follow.
  void ReadDocument();
  // Requests address: loads it now, or holds it back until the navigation delay has passed since
  // the last load started.
  void Request(const std::u16string& address);
  // Issues the load of address now. Replaces the page object first when recycling is due.
  void StartLoad(const std::u16string& address);
  // How long a load must still wait for the navigation delay, in ms; 0 or less: none.
  qint64 DelayLeft() const;
  void OnHeldNavigation();
  void OnRendererStopped(QWebEnginePage* page, int status, int exitCode);
  void RecoverRenderer(const QPointer<QWebEnginePage>& stopped, const std::u16string& reason);
  void OnLoadingChanged(const QWebEngineLoadingInfo& info);
  void OnSnapshot(std::uint64_t generation, bool received, std::u16string text);
  void RaiseLoadEvents(std::uint64_t generation);

  QPointer<QWebEngineView> view_;
  QPointer<QWebEnginePage> page_;
  BrowserEvents events_;
  TWebBrowserOptions options_;
  TLoadState state_ = TLoadState::lsIdle;
  // The address of the last load issued (by Navigate, or by the page itself), or held back.
  std::u16string requested_;
  // What the page replaced last showed. A fresh page has no address or title until its first
  // load arrives; until then the location is still the page shown before, as during any load.
  std::u16string urlBefore_;
  std::u16string titleBefore_;
  // The start of the last load issued; invalid before the first.
  QElapsedTimer lastLoadStart_;
  QTimer heldTimer_;
  int loadsSincePageMade_ = 0;
  // A load that only shows a page again after its renderer stopped: its events are not raised.
  bool quietLoad_ = false;
  // Renderer restarts since the last Navigate or page that arrived. A page that stops its
  // renderer every time is requested again once, then left to the caller's next Navigate.
  int restartsInARow_ = 0;
  // Raised by every Navigate, Stop and load the page starts; a snapshot taken for an older
  // generation is discarded.
  std::uint64_t generation_ = 0;
  std::shared_ptr<Dispatch> document_;
  // Loads ahead in the hint's order, and page objects kept for the next ones.
  std::vector<TAheadPage> ahead_;
  std::vector<QPointer<QWebEnginePage>> sparePages_;
  QTimer aheadTimer_;
  // Expires with the browser, for callbacks that may outlive it.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  TLoadReport report_;
  int leastLoadIntervalMs_ = 0;
  // Holds a quiet restart back until the delay allows it.
  QTimer quietTimer_;
  std::u16string quietAddress_;
};

// The factory the window host takes: a QtWebBrowser filling panel, with default options.
std::unique_ptr<IBrowser> CreateWebBrowser(QWidget* panel);
// A factory of QtWebBrowsers with options.
std::function<std::unique_ptr<IBrowser>(QWidget* panel)> WebBrowserFactory(TWebBrowserOptions options);

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
