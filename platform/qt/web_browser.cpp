#include "platform/qt/web_browser.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <utility>

#include <QLayout>
#include <QVBoxLayout>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInfo>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>

namespace platform::qt {

namespace {

// Chromium's code for a load that was cancelled (replaced or stopped) rather than one that failed.
constexpr int kNetErrorAborted = -3;

// Drops every request for something the crawl never reads. Without style sheets the page is laid
// out in its plain document flow, which keeps offsetTop following document order.
class TResourceFilter : public QWebEngineUrlRequestInterceptor {
 public:
  using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;

  void interceptRequest(QWebEngineUrlRequestInfo& info) override {
    switch (info.resourceType()) {
      case QWebEngineUrlRequestInfo::ResourceTypeStylesheet:
      case QWebEngineUrlRequestInfo::ResourceTypeImage:
      case QWebEngineUrlRequestInfo::ResourceTypeFontResource:
      case QWebEngineUrlRequestInfo::ResourceTypeObject:
      case QWebEngineUrlRequestInfo::ResourceTypeMedia:
      case QWebEngineUrlRequestInfo::ResourceTypePrefetch:
      case QWebEngineUrlRequestInfo::ResourceTypeFavicon:
      case QWebEngineUrlRequestInfo::ResourceTypePing:
      case QWebEngineUrlRequestInfo::ResourceTypeCspReport:
      case QWebEngineUrlRequestInfo::ResourceTypePluginResource:
        info.block(true);
        break;
      default:
        break;
    }
  }
};

// A page that never opens a dialog: the crawl runs unattended, and a modal box would stall it.
class TQuietPage : public QWebEnginePage {
 public:
  using QWebEnginePage::QWebEnginePage;

 protected:
  void javaScriptAlert(const QUrl&, const QString&) override {}
  bool javaScriptConfirm(const QUrl&, const QString&) override { return false; }
  bool javaScriptPrompt(const QUrl&, const QString&, const QString&, QString*) override { return false; }
  void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString&, int, const QString&) override {}
  QStringList chooseFiles(FileSelectionMode, const QStringList&, const QStringList&) override { return {}; }
  QWebEnginePage* createWindow(WebWindowType) override { return nullptr; }
};

std::u16string FromQString(const QString& text) { return text.toStdU16String(); }

// This browser's connections to a page have one context object, a child of the page, so that they
// can be cut without touching the connections of the engine or the view.
const QString kLinksName = QStringLiteral("wexaBrowserLinks");

void Unlink(QWebEnginePage* page) {
  delete page->findChild<QObject*>(kLinksName, Qt::FindDirectChildrenOnly);
}

QObject* Links(QWebEnginePage* page) {
  Unlink(page);
  auto* links = new QObject(page);
  links->setObjectName(kLinksName);
  return links;
}

std::u16string UrlText(const QUrl& url) { return FromQString(url.toString(QUrl::FullyEncoded)); }

// What an ended load tells of its answer: the status of a 4xx or 5xx, or why none came
// ("net::ERR_CONNECTION_REFUSED" becomes "connection refused").
TLoadReport ReportOf(const QWebEngineLoadingInfo& info) {
  TLoadReport report;
  if (info.status() != QWebEngineLoadingInfo::LoadFailedStatus) return report;
  if (info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain) {
    report.httpStatus = info.errorCode();
    return report;
  }
  std::string text = info.errorString().toStdString();
  if (text.rfind("net::ERR_", 0) == 0) {
    text = text.substr(9);
    for (char& c : text) c = c == '_' ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  report.failure = text;
  return report;
}

std::u16string TerminationText(QWebEnginePage::RenderProcessTerminationStatus status, int exitCode) {
  QString what;
  switch (status) {
    case QWebEnginePage::NormalTerminationStatus: what = QStringLiteral("ended"); break;
    case QWebEnginePage::AbnormalTerminationStatus: what = QStringLiteral("ended abnormally"); break;
    case QWebEnginePage::CrashedTerminationStatus: what = QStringLiteral("crashed"); break;
    case QWebEnginePage::KilledTerminationStatus: what = QStringLiteral("killed"); break;
  }
  return FromQString(QStringLiteral("%1, exit code %2").arg(what).arg(exitCode));
}

}  // namespace

QtWebBrowser::QtWebBrowser(QWidget* panel, TWebBrowserOptions options) : options_(options) {
  auto* view = new QWebEngineView(panel);
  if (panel) {
    QLayout* layout = panel->layout();
    if (!layout) {
      layout = new QVBoxLayout(panel);
      layout->setContentsMargins(0, 0, 0, 0);
      layout->setSpacing(0);
    }
    layout->addWidget(view);
  }
  view_ = view;
  if (!options_.userAgent.empty())
    QWebEngineProfile::defaultProfile()->setHttpUserAgent(QString::fromStdString(options_.userAgent));
  ReplacePage();

  heldTimer_.setSingleShot(true);
  // A coarse timer may fire a little early; the delay is a least time.
  heldTimer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&heldTimer_, &QTimer::timeout, [this] { OnHeldNavigation(); });
  aheadTimer_.setSingleShot(true);
  aheadTimer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&aheadTimer_, &QTimer::timeout, [this] { StartAheadLoads(); });
  quietTimer_.setSingleShot(true);
  quietTimer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&quietTimer_, &QTimer::timeout, [this] {
    if (!quietLoad_ || !page_) return;
    if (const qint64 wait = DelayLeft(); wait > 0) {
      quietTimer_.start(static_cast<int>(wait));
      return;
    }
    StartLoad(quietAddress_);
  });
}

QWebEnginePage* QtWebBrowser::MakePage() {
  auto* page = new TQuietPage(view_.data());
  page->setUrlRequestInterceptor(new TResourceFilter(page));

  QWebEngineSettings* settings = page->settings();
  settings->setAttribute(QWebEngineSettings::AutoLoadImages, false);
  settings->setAttribute(QWebEngineSettings::AutoLoadIconsForPage, false);
  settings->setAttribute(QWebEngineSettings::TouchIconsEnabled, false);
  settings->setAttribute(QWebEngineSettings::PluginsEnabled, false);
  settings->setAttribute(QWebEngineSettings::PdfViewerEnabled, false);
  settings->setAttribute(QWebEngineSettings::WebGLEnabled, false);
  settings->setAttribute(QWebEngineSettings::Accelerated2dCanvasEnabled, false);
  settings->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
  settings->setAttribute(QWebEngineSettings::FocusOnNavigationEnabled, false);
  settings->setAttribute(QWebEngineSettings::DnsPrefetchEnabled, false);
  settings->setAttribute(QWebEngineSettings::HyperlinkAuditingEnabled, false);
  settings->setAttribute(QWebEngineSettings::PlaybackRequiresUserGesture, true);
  // A failed load shows the engine's error page and still completes; validation refuses it.
  settings->setAttribute(QWebEngineSettings::ErrorPageEnabled, true);
  return page;
}

void QtWebBrowser::ConnectShownPage(QWebEnginePage* page) {
  // The page (a child of the view) owns the context: when either goes, so do these.
  QObject* links = Links(page);
  QObject::connect(page, &QWebEnginePage::loadingChanged, links,
                   [this](const QWebEngineLoadingInfo& info) { OnLoadingChanged(info); });
  QObject::connect(page, &QWebEnginePage::linkHovered, links, [this](const QString& url) {
    const auto handler = events_.onStatusTextChange;
    if (handler) handler(FromQString(url));
  });
  QObject::connect(page, &QWebEnginePage::renderProcessTerminated, links,
                   [this, page](QWebEnginePage::RenderProcessTerminationStatus status, int exitCode) {
                     OnRendererStopped(page, static_cast<int>(status), exitCode);
                   });
}

void QtWebBrowser::ReplacePage() {
  QWebEngineView* view = view_.data();
  if (!view) return;
  QWebEnginePage* page = MakePage();
  ConnectShownPage(page);

  QWebEnginePage* old = page_.data();
  if (old && !old->url().isEmpty()) {
    urlBefore_ = UrlText(old->url());
    titleBefore_ = FromQString(old->title());
  }
  view->setPage(page);
  page_ = page;
  loadsSincePageMade_ = 0;
  if (old) {
    // Nothing the old page still reports may reach this browser; it may be the sender of the
    // signal being handled, so it goes once control is back in the event loop.
    QObject::disconnect(old, nullptr, nullptr, nullptr);
    old->deleteLater();
  }
}

QtWebBrowser::~QtWebBrowser() {
  alive_.reset();
  delete view_.data();
}

QWebEngineView* QtWebBrowser::View() const { return view_.data(); }

QWebEnginePage* QtWebBrowser::Page() const { return page_.data(); }

void QtWebBrowser::Navigate(const std::u16string& address) {
  if (!page_) return;
  ++generation_;
  document_.reset();
  quietLoad_ = false;
  restartsInARow_ = 0;
  if (TakeAheadPage(address)) {
    StartAheadLoads();
    return;
  }
  Request(address);
}

bool QtWebBrowser::TakeAheadPage(const std::u16string& address) {
  const auto found = std::find_if(ahead_.begin(), ahead_.end(), [&](const TAheadPage& a) { return a.address == address; });
  if (found == ahead_.end()) return false;
  const TAheadPage entry = *found;
  ahead_.erase(found);
  // Not started yet: this Navigate is its load now.
  if (!entry.page || !view_) return false;

  heldTimer_.stop();
  QWebEnginePage* old = page_.data();
  if (!old->url().isEmpty()) {
    urlBefore_ = UrlText(old->url());
    titleBefore_ = FromQString(old->title());
  }
  ConnectShownPage(entry.page.data());
  view_->setPage(entry.page.data());
  page_ = entry.page;
  loadsSincePageMade_ = 1;
  Park(old);

  requested_ = address;
  state_ = TLoadState::lsLoading;
  // A page that has arrived is read now; one still loading is read when its load ends.
  if (entry.arrived) {
    report_ = entry.report;
    ReadDocument();
  }
  return true;
}

void QtWebBrowser::HintUpcoming(const std::vector<std::u16string>& addresses) {
  if (options_.pagesAhead <= 0) return;
  const std::vector<std::u16string> wanted = AddressesToLoadAhead(addresses, options_.pagesAhead);
  std::vector<TAheadPage> kept;
  for (TAheadPage& entry : ahead_) {
    if (std::find(wanted.begin(), wanted.end(), entry.address) != wanted.end()) {
      kept.push_back(std::move(entry));
    } else if (entry.page) {
      Park(entry.page.data());
    }
  }
  ahead_.clear();
  for (const std::u16string& address : wanted) {
    const auto found = std::find_if(kept.begin(), kept.end(), [&](const TAheadPage& a) { return a.address == address; });
    ahead_.push_back(found != kept.end() ? std::move(*found) : TAheadPage{address, nullptr, false, {}});
  }
  StartAheadLoads();
}

void QtWebBrowser::StartAheadLoads() {
  aheadTimer_.stop();
  if (!view_) return;
  for (TAheadPage& entry : ahead_) {
    if (entry.page) continue;
    // The load navigated to comes first: nothing ahead starts while it is held back.
    if (state_ == TLoadState::lsHeld) return;
    if (const qint64 wait = DelayLeft(); wait > 0) {
      aheadTimer_.start(static_cast<int>(wait));
      return;
    }
    QWebEnginePage* page = nullptr;
    while (!page && !sparePages_.empty()) {
      page = sparePages_.back().data();
      sparePages_.pop_back();
    }
    if (!page) page = MakePage();
    QObject* links = Links(page);
    QObject::connect(page, &QWebEnginePage::loadingChanged, links,
                     [this, page](const QWebEngineLoadingInfo& info) { OnAheadLoadingChanged(page, info); });
    QObject::connect(page, &QWebEnginePage::renderProcessTerminated, links,
                     [this, page](QWebEnginePage::RenderProcessTerminationStatus, int) {
                       OnAheadRendererStopped(page);
                     });
    entry.page = page;
    entry.arrived = false;
    lastLoadStart_.start();
    page->load(QUrl(QString::fromStdU16String(entry.address)));
  }
}

void QtWebBrowser::OnAheadLoadingChanged(QWebEnginePage* page, const QWebEngineLoadingInfo& info) {
  const auto found = std::find_if(ahead_.begin(), ahead_.end(), [&](const TAheadPage& a) { return a.page == page; });
  if (found == ahead_.end()) return;
  switch (info.status()) {
    case QWebEngineLoadingInfo::LoadStartedStatus:
      // A later load of the same page (a script or refresh) replaces what had arrived, and is a
      // request to the server like any.
      found->arrived = false;
      lastLoadStart_.start();
      return;
    case QWebEngineLoadingInfo::LoadStoppedStatus: return;
    case QWebEngineLoadingInfo::LoadSucceededStatus:
    case QWebEngineLoadingInfo::LoadFailedStatus: break;
  }
  if (info.status() == QWebEngineLoadingInfo::LoadFailedStatus && info.errorCode() == kNetErrorAborted &&
      info.errorDomain() != QWebEngineLoadingInfo::HttpStatusCodeDomain)
    return;
  found->arrived = true;
  found->report = ReportOf(info);
}

void QtWebBrowser::OnAheadRendererStopped(QWebEnginePage* page) {
  const auto found = std::find_if(ahead_.begin(), ahead_.end(), [&](const TAheadPage& a) { return a.page == page; });
  if (found != ahead_.end()) ahead_.erase(found);
  // A page whose renderer is gone is not used again; its address loads the usual way in its turn.
  Unlink(page);
  page->deleteLater();
}

void QtWebBrowser::Park(QWebEnginePage* page) {
  if (!page) return;
  Unlink(page);
  page->triggerAction(QWebEnginePage::Stop);
  // Pages beyond those the loads ahead can use go, with their renderers.
  if (static_cast<int>(sparePages_.size()) < options_.pagesAhead) {
    sparePages_.push_back(page);
  } else {
    page->deleteLater();
  }
}

qint64 QtWebBrowser::DelayLeft() const {
  const int delay = std::max(options_.navigationDelayMs, leastLoadIntervalMs_);
  if (delay <= 0 || !lastLoadStart_.isValid()) return 0;
  return delay - lastLoadStart_.elapsed();
}

void QtWebBrowser::Request(const std::u16string& address) {
  requested_ = address;
  const qint64 wait = DelayLeft();
  if (wait > 0) {
    // The load under way is cancelled now, as a Navigate cancels it; the new one waits its turn.
    if (state_ == TLoadState::lsLoading || state_ == TLoadState::lsReading) page_->triggerAction(QWebEnginePage::Stop);
    state_ = TLoadState::lsHeld;
    heldTimer_.start(static_cast<int>(wait));
    return;
  }
  heldTimer_.stop();
  state_ = TLoadState::lsLoading;
  StartLoad(address);
}

void QtWebBrowser::OnHeldNavigation() {
  if (state_ != TLoadState::lsHeld || !page_) return;
  if (const qint64 wait = DelayLeft(); wait > 0) {
    heldTimer_.start(static_cast<int>(wait));
    return;
  }
  state_ = TLoadState::lsLoading;
  StartLoad(requested_);
  StartAheadLoads();
}

void QtWebBrowser::StartLoad(const std::u16string& address) {
  if (options_.recycleEvery > 0 && loadsSincePageMade_ >= options_.recycleEvery) ReplacePage();
  if (!page_) return;
  ++loadsSincePageMade_;
  lastLoadStart_.start();
  page_->load(QUrl(QString::fromStdU16String(address)));
}

void QtWebBrowser::Stop() {
  if (!page_) return;
  heldTimer_.stop();
  quietTimer_.stop();
  quietLoad_ = false;
  if (state_ == TLoadState::lsLoading || state_ == TLoadState::lsReading || state_ == TLoadState::lsHeld) {
    ++generation_;
    document_.reset();
    state_ = TLoadState::lsStopped;
  }
  page_->triggerAction(QWebEnginePage::Stop);
}

void QtWebBrowser::OnRendererStopped(QWebEnginePage* page, int status, int exitCode) {
  if (state_ == TLoadState::lsLoading || state_ == TLoadState::lsReading) {
    // The load died with the renderer: whatever it still reports (a failure, an empty script
    // result) must not be taken for its page. It waits, held, until the fresh page is in place.
    ++generation_;
    document_.reset();
    heldTimer_.stop();
    state_ = TLoadState::lsHeld;
  }
  const std::u16string reason =
      TerminationText(static_cast<QWebEnginePage::RenderProcessTerminationStatus>(status), exitCode);
  // Not from inside the engine's signal: the page that sends it is about to be replaced.
  std::weak_ptr<int> alive = alive_;
  const QPointer<QWebEnginePage> stopped = page;
  QMetaObject::invokeMethod(
      view_.data(),
      [this, alive, stopped, reason] {
        if (!alive.expired()) RecoverRenderer(stopped, reason);
      },
      Qt::QueuedConnection);
}

void QtWebBrowser::RecoverRenderer(const QPointer<QWebEnginePage>& stopped, const std::u16string& reason) {
  if (!view_ || !page_) return;
  // A Navigate meanwhile may have put a page loaded ahead in the view: that page is sound, and
  // its load is the caller's; the stopped one is gone from the view already.
  if (page_ != stopped) return;
  // What the old page shows, to show it again when no load is awaited.
  const std::u16string shown = LocationURL();
  ReplacePage();

  const bool awaited = state_ == TLoadState::lsHeld || state_ == TLoadState::lsLoading || state_ == TLoadState::lsReading;
  const std::u16string address = awaited || shown.empty() ? requested_ : shown;
  const auto log = events_.onLogLine;
  const std::weak_ptr<int> alive = alive_;
  if (address.empty()) {
    if (log) log(u"Browser: the page's renderer stopped (" + reason + u")");
    return;
  }
  if (restartsInARow_ > 0) {
    // A page that brings its renderer down every time would otherwise be requested again and
    // again at full speed; the caller's next Navigate (the crawl's reload timer) tries it again.
    if (log) log(u"Browser: the page's renderer stopped again (" + reason + u"); not requesting " + address + u" again");
    return;
  }
  ++restartsInARow_;
  if (log) log(u"Browser: the page's renderer stopped (" + reason + u"); requesting " + address + u" again");
  if (alive.expired() || !page_) return;

  switch (state_) {
    case TLoadState::lsHeld:
      // A load held back by the delay goes to the fresh page when its time comes.
      if (!heldTimer_.isActive()) Request(requested_);
      return;
    case TLoadState::lsLoading:
    case TLoadState::lsReading:
      // A Navigate came while the old page was dying and went with it. It is requested again as
      // any load is, after the delay.
      ++generation_;
      document_.reset();
      Request(requested_);
      return;
    case TLoadState::lsIdle:
    case TLoadState::lsComplete:
    case TLoadState::lsStopped:
      // The page was handed over already (or the load was stopped): show it again, quietly, when
      // the delay allows.
      quietLoad_ = true;
      quietAddress_ = address;
      quietTimer_.start(static_cast<int>(std::max<qint64>(0, DelayLeft())));
      return;
  }
}

std::u16string QtWebBrowser::LocationURL() {
  if (!page_) return {};
  return page_->url().isEmpty() ? urlBefore_ : UrlText(page_->url());
}

std::u16string QtWebBrowser::LocationName() {
  if (!page_) return {};
  return page_->url().isEmpty() ? titleBefore_ : FromQString(page_->title());
}

int QtWebBrowser::ReadyState() {
  switch (state_) {
    case TLoadState::lsIdle: return 0;
    case TLoadState::lsHeld:
    case TLoadState::lsLoading: return 1;
    case TLoadState::lsReading:
    case TLoadState::lsStopped: return 3;
    case TLoadState::lsComplete: return kReadyStateComplete;
  }
  return 0;
}

Variant QtWebBrowser::Document() {
  if (!document_) return Variant();
  return Variant(document_);
}

bool QtWebBrowser::IsHtmlDocument(const Variant& document) {
  const DomSnapshot* snapshot = SnapshotOf(document);
  return snapshot && snapshot->isHtml;
}

Variant QtWebBrowser::Application() {
  return BrowserApplicationObject(this, alive_);
}

void QtWebBrowser::SetEvents(BrowserEvents events) { events_ = std::move(events); }

void QtWebBrowser::OnLoadingChanged(const QWebEngineLoadingInfo& info) {
  if (quietLoad_) {
    // The page shown again after its renderer stopped: nothing to hand over.
    if (info.status() == QWebEngineLoadingInfo::LoadSucceededStatus) restartsInARow_ = 0;
    if (info.status() != QWebEngineLoadingInfo::LoadStartedStatus) quietLoad_ = false;
    return;
  }
  switch (info.status()) {
    case QWebEngineLoadingInfo::LoadStartedStatus:
      // Every start counts for the delay, also that of a load the page started itself, which
      // cannot be held back.
      lastLoadStart_.start();
      // A load the page started itself (script, refresh) replaces whatever was shown. While one
      // of ours is loading this is its own start; after Stop it may be the stopped load's late
      // start, which must not revive it; while one of ours is held back it is the start of a
      // load that the held one has already replaced.
      if (state_ != TLoadState::lsLoading && state_ != TLoadState::lsStopped && state_ != TLoadState::lsHeld) {
        ++generation_;
        document_.reset();
        state_ = TLoadState::lsLoading;
        requested_ = UrlText(info.url());
      }
      return;
    case QWebEngineLoadingInfo::LoadStoppedStatus:
      // Cancelled loads raise nothing. The state is left alone: this may be the report of a load
      // already replaced by a newer Navigate, which is still under way.
      return;
    case QWebEngineLoadingInfo::LoadSucceededStatus:
    case QWebEngineLoadingInfo::LoadFailedStatus:
      break;
  }
  if (info.status() == QWebEngineLoadingInfo::LoadFailedStatus && info.errorCode() == kNetErrorAborted &&
      info.errorDomain() != QWebEngineLoadingInfo::HttpStatusCodeDomain)
    return;
  if (state_ != TLoadState::lsLoading || !page_) return;
  report_ = ReportOf(info);
  ReadDocument();
}

void QtWebBrowser::ReadDocument() {
  state_ = TLoadState::lsReading;
  const std::uint64_t generation = generation_;
  std::weak_ptr<int> alive = alive_;
  page_->runJavaScript(QString::fromStdU16String(DomSnapshotScript()), QWebEngineScript::ApplicationWorld,
                       [this, alive, generation](const QVariant& result) {
                         if (alive.expired()) return;
                         const bool received = result.typeId() == QMetaType::QString;
                         OnSnapshot(generation, received, received ? FromQString(result.toString()) : std::u16string());
                       });
}

void QtWebBrowser::OnSnapshot(std::uint64_t generation, bool received, std::u16string text) {
  if (generation != generation_ || state_ != TLoadState::lsReading || !view_ || !page_) return;
  std::shared_ptr<const DomSnapshot> snapshot;
  if (received) snapshot = ParseDomSnapshot(std::move(text));
  // The load ended with something in the view even when it could not be read: it still
  // completes, with a document that offers no HTML interface, which validation refuses.
  if (!snapshot) snapshot = UnreadableDocument(UrlText(page_->url()));
  document_ = MakeDocument(std::move(snapshot));
  state_ = TLoadState::lsComplete;
  restartsInARow_ = 0;

  // The events are raised from an event of their own, not from inside this callback: while the
  // engine runs one of its tasks it runs no other, so a handler that processes events nested
  // (and the crawl's handlers do) would wait for a next page that could never arrive.
  std::weak_ptr<int> alive = alive_;
  QMetaObject::invokeMethod(
      view_.data(),
      [this, alive, generation] {
        if (!alive.expired()) RaiseLoadEvents(generation);
      },
      Qt::QueuedConnection);
}

void QtWebBrowser::RaiseLoadEvents(std::uint64_t generation) {
  // Copies: a handler may replace the handlers, navigate, or (through nested event processing)
  // even destroy this browser.
  const std::weak_ptr<int> alive = alive_;
  const auto navigated = events_.onNavigateComplete2;
  if (navigated && generation == generation_ && page_) {
    Variant url(UrlText(page_->url()));
    navigated(Application(), url);
    if (alive.expired()) return;
  }
  // A Navigate or Stop since the snapshot has made this load stale.
  const auto completed = events_.onDocumentComplete;
  if (completed && generation == generation_ && page_) {
    Variant url(UrlText(page_->url()));
    completed(Application(), url);
  }
}

std::unique_ptr<IBrowser> CreateWebBrowser(QWidget* panel) { return std::make_unique<QtWebBrowser>(panel); }

std::function<std::unique_ptr<IBrowser>(QWidget* panel)> WebBrowserFactory(TWebBrowserOptions options) {
  return [options](QWidget* panel) -> std::unique_ptr<IBrowser> { return std::make_unique<QtWebBrowser>(panel, options); };
}

std::string SandboxSettingProblem(bool runningAsRoot, const char* disableSandbox, const char* chromiumFlags) {
  if (!runningAsRoot) return {};
  if (disableSandbox && std::strcmp(disableSandbox, "1") == 0) return {};
  if (chromiumFlags) {
    std::istringstream flags(chromiumFlags);
    std::string flag;
    while (flags >> flag)
      if (flag == "--no-sandbox") return {};
  }
  return "Running as root, the web engine cannot start its sandbox; set QTWEBENGINE_DISABLE_SANDBOX=1 to run "
         "without it.";
}

bool CheckWebEngineSandboxSetting(std::string* message) {
  std::string problem = SandboxSettingProblem(geteuid() == 0, std::getenv("QTWEBENGINE_DISABLE_SANDBOX"),
                                              std::getenv("QTWEBENGINE_CHROMIUM_FLAGS"));
  if (problem.empty()) return true;
  if (message) *message = std::move(problem);
  return false;
}

}  // namespace platform::qt
