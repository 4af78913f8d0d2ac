#include "platform/qt/web_browser.h"

#include <unistd.h>

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

std::u16string UrlText(const QUrl& url) { return FromQString(url.toString(QUrl::FullyEncoded)); }

// The control's automation object: its Document is the page's document. Holds the browser
// weakly, so a copy kept by a caller cannot reach a destroyed browser.
class TBrowserObject : public Dispatch {
 public:
  TBrowserObject(QtWebBrowser* browser, std::weak_ptr<int> alive) : browser_(browser), alive_(std::move(alive)) {}

  Variant Get(std::u16string_view member) override {
    if (alive_.expired()) throw EAutomationError("The web browser no longer exists (reading " + ToUtf8Member(member) + ")");
    if (MemberIs(member, u"document")) return browser_->Document();
    if (MemberIs(member, u"locationurl")) return Variant(browser_->LocationURL());
    if (MemberIs(member, u"locationname")) return Variant(browser_->LocationName());
    if (MemberIs(member, u"readystate")) return Variant(browser_->ReadyState());
    ThrowUnknownMember(member);
  }

  Variant Call(std::u16string_view member, const std::vector<Variant>&) override { ThrowUnknownMember(member); }

 private:
  static std::string ToUtf8Member(std::u16string_view member) {
    return QString::fromUtf16(member.data(), static_cast<qsizetype>(member.size())).toStdString();
  }

  QtWebBrowser* browser_;
  std::weak_ptr<int> alive_;
};

}  // namespace

QtWebBrowser::QtWebBrowser(QWidget* panel) {
  auto* view = new QWebEngineView(panel);
  auto* page = new TQuietPage(view);
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
  view->setPage(page);

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
  page_ = page;

  // The view is the context: when it goes (with the panel, or in the destructor) so do these.
  QObject::connect(page, &QWebEnginePage::loadingChanged, view,
                   [this](const QWebEngineLoadingInfo& info) { OnLoadingChanged(info); });
  QObject::connect(page, &QWebEnginePage::linkHovered, view, [this](const QString& url) {
    const auto handler = events_.onStatusTextChange;
    if (handler) handler(FromQString(url));
  });
}

QtWebBrowser::~QtWebBrowser() {
  alive_.reset();
  delete view_.data();
}

QWebEngineView* QtWebBrowser::View() const { return view_.data(); }

void QtWebBrowser::Navigate(const std::u16string& address) {
  if (!page_) return;
  ++generation_;
  document_.reset();
  state_ = TLoadState::lsLoading;
  page_->load(QUrl(QString::fromStdU16String(address)));
}

void QtWebBrowser::Stop() {
  if (!page_) return;
  if (state_ == TLoadState::lsLoading || state_ == TLoadState::lsReading) {
    ++generation_;
    document_.reset();
    state_ = TLoadState::lsStopped;
  }
  page_->triggerAction(QWebEnginePage::Stop);
}

std::u16string QtWebBrowser::LocationURL() { return page_ ? UrlText(page_->url()) : std::u16string(); }

std::u16string QtWebBrowser::LocationName() { return page_ ? FromQString(page_->title()) : std::u16string(); }

int QtWebBrowser::ReadyState() {
  switch (state_) {
    case TLoadState::lsIdle: return 0;
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
  return Variant(std::shared_ptr<Dispatch>(std::make_shared<TBrowserObject>(this, alive_)));
}

void QtWebBrowser::SetEvents(BrowserEvents events) { events_ = std::move(events); }

void QtWebBrowser::OnLoadingChanged(const QWebEngineLoadingInfo& info) {
  switch (info.status()) {
    case QWebEngineLoadingInfo::LoadStartedStatus:
      // A load the page started itself (script, refresh) replaces whatever was shown. While one
      // of ours is loading this is its own start; after Stop it may be the stopped load's late
      // start, which must not revive it.
      if (state_ != TLoadState::lsLoading && state_ != TLoadState::lsStopped) {
        ++generation_;
        document_.reset();
        state_ = TLoadState::lsLoading;
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
