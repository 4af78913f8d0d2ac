#include "platform/http/http_browser.h"

#include "platform/fetcher.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <zlib.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "platform/http/html_document.h"

namespace platform::http {

namespace {

// One manager opens at most this many connections to a host.
constexpr int kConnectionsPerManager = 6;
// Browsers give up after this many redirects in a row.
constexpr int kMaxRedirects = 20;

QUrl Normalized(QUrl url) {
  const QString scheme = url.scheme();
  if (scheme == QLatin1String("http") || scheme == QLatin1String("https")) {
    if (url.path().isEmpty()) url.setPath(QStringLiteral("/"));
    if ((scheme == QLatin1String("http") && url.port() == 80) || (scheme == QLatin1String("https") && url.port() == 443))
      url.setPort(-1);
  }
  return url;
}

std::u16string UrlText(const QUrl& url) { return url.toString(QUrl::FullyEncoded).toStdU16String(); }

std::string Escaped(const QString& text) { return text.toHtmlEscaped().toStdString(); }

// The page a browser shows for a load that got no page of its own.
std::string ErrorPage(const QUrl& url, const QString& reason) {
  const QString host = url.host().isEmpty() ? url.toString() : url.host();
  return "<!DOCTYPE html><html><head><title>" + Escaped(host) + "</title></head><body><h1>This page cannot be shown</h1><p>" +
         Escaped(url.toString()) + "</p><p>" + Escaped(reason) + "</p></body></html>";
}

// The body of a response sent with Content-Encoding gzip or deflate, decompressed; nullopt when it
// does not decompress or grows beyond limit bytes.
std::optional<QByteArray> Inflate(const QByteArray& body, std::int64_t limit, bool raw) {
  z_stream stream{};
  // 15 + 32: a zlib or a gzip stream, told apart by its header; -15: raw deflate, which some
  // servers send for "deflate".
  if (inflateInit2(&stream, raw ? -15 : 15 + 32) != Z_OK) return std::nullopt;
  QByteArray out;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.constData()));
  stream.avail_in = static_cast<uInt>(body.size());
  int status = Z_OK;
  char buffer[64 * 1024];
  while (status == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    status = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, static_cast<qsizetype>(sizeof buffer - stream.avail_out));
    if (out.size() > limit) status = Z_MEM_ERROR;
    if (status == Z_BUF_ERROR && stream.avail_in == 0) break;  // a stream cut short: what arrived
  }
  inflateEnd(&stream);
  if (status != Z_STREAM_END && status != Z_BUF_ERROR) return std::nullopt;
  return out;
}

// A load, navigated to or ahead: its request, and once it has arrived, its page.
struct TFetch {
  std::u16string address;
  QPointer<QNetworkReply> reply;
  QNetworkAccessManager* manager = nullptr;
  QByteArray body;
  bool started = false;
  bool arrived = false;
  bool tooLarge = false;
  // What the load ended with.
  std::u16string url;
  std::string markup;
  TParsedPage page;
  // What the answer said, for a crawl that decides how long to wait before asking again.
  TLoadReport report;
};

using FetchPtr = std::shared_ptr<TFetch>;

}  // namespace

class THttpBrowser::TImpl {
 public:
  enum class TLoadState { lsIdle, lsHeld, lsLoading, lsStopped, lsComplete };

  TImpl(THttpBrowser* owner, THttpBrowserOptions options) : owner_(owner), options_(std::move(options)) {
    const int pages = std::max(1, options_.pagesAhead + 1);
    const int managers = (pages + kConnectionsPerManager - 1) / kConnectionsPerManager;
    for (int i = 0; i < managers; ++i) {
      auto manager = std::make_unique<QNetworkAccessManager>();
      manager->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
      active_.push_back(0);
      managers_.push_back(std::move(manager));
    }
    heldTimer_.setSingleShot(true);
    QObject::connect(&heldTimer_, &QTimer::timeout, &context_, [this] { OnHeldNavigation(); });
    aheadTimer_.setSingleShot(true);
    QObject::connect(&aheadTimer_, &QTimer::timeout, &context_, [this] { StartAheadLoads(); });
  }

  ~TImpl() {
    Cancel(main_);
    for (FetchPtr& f : ahead_) Cancel(f);
  }

  void Navigate(const std::u16string& address) {
    ++generation_;
    document_.reset();
    Cancel(main_);
    main_.reset();
    heldTimer_.stop();
    requested_ = address;
    const auto found = std::find_if(ahead_.begin(), ahead_.end(),
                                    [&](const FetchPtr& f) { return f->address == address && f->started; });
    if (found != ahead_.end()) {
      main_ = *found;
      ahead_.erase(found);
      state_ = TLoadState::lsLoading;
      if (main_->arrived) Complete();
      return;
    }
    const qint64 wait = DelayLeft();
    if (wait > 0) {
      state_ = TLoadState::lsHeld;
      heldTimer_.start(static_cast<int>(wait));
      return;
    }
    state_ = TLoadState::lsLoading;
    StartMain();
  }

  void Stop() {
    heldTimer_.stop();
    if (state_ == TLoadState::lsLoading || state_ == TLoadState::lsHeld) {
      ++generation_;
      document_.reset();
      Cancel(main_);
      main_.reset();
      state_ = TLoadState::lsStopped;
    }
  }

  std::u16string LocationURL() const {
    if (state_ == TLoadState::lsLoading || state_ == TLoadState::lsHeld)
      return UrlText(Normalized(QUrl(QString::fromStdU16String(requested_))));
    return location_;
  }

  std::u16string LocationName() const {
    if (state_ == TLoadState::lsLoading || state_ == TLoadState::lsHeld) return LocationURL();
    return title_.empty() ? location_ : title_;
  }

  int ReadyState() const {
    switch (state_) {
      case TLoadState::lsIdle: return 0;
      case TLoadState::lsHeld:
      case TLoadState::lsLoading: return 1;
      case TLoadState::lsStopped: return 3;
      case TLoadState::lsComplete: return kReadyStateComplete;
    }
    return 0;
  }

  Variant Document() const { return document_ ? Variant(document_) : Variant(); }

  void SetEvents(BrowserEvents events) { events_ = std::move(events); }

  int LoadsAhead() const { return std::max(0, options_.pagesAhead); }

  void HintUpcoming(const std::vector<std::u16string>& addresses) {
    if (options_.pagesAhead <= 0) return;
    const std::vector<std::u16string> wanted = AddressesToLoadAhead(addresses, options_.pagesAhead);
    std::vector<FetchPtr> next;
    for (const std::u16string& address : wanted) {
      const auto found = std::find_if(ahead_.begin(), ahead_.end(), [&](const FetchPtr& f) { return f && f->address == address; });
      if (found != ahead_.end()) {
        next.push_back(std::move(*found));
      } else {
        auto fetch = std::make_shared<TFetch>();
        fetch->address = address;
        next.push_back(std::move(fetch));
      }
    }
    for (FetchPtr& f : ahead_)
      if (f) Cancel(f);
    ahead_ = std::move(next);
    StartAheadLoads();
  }

  std::weak_ptr<int> Alive() const { return alive_; }
  TLoadReport LastLoadReport() const { return report_; }
  void SetLeastLoadInterval(int ms) { leastLoadInterval_ = std::max(0, ms); }

 private:
  qint64 DelayLeft() const {
    const int delay = std::max(options_.navigationDelayMs, leastLoadInterval_);
    if (delay <= 0 || !lastLoadStart_.isValid()) return 0;
    return delay - lastLoadStart_.elapsed();
  }

  void OnHeldNavigation() {
    if (state_ != TLoadState::lsHeld) return;
    if (const qint64 wait = DelayLeft(); wait > 0) {
      heldTimer_.start(static_cast<int>(wait));
      return;
    }
    state_ = TLoadState::lsLoading;
    StartMain();
    StartAheadLoads();
  }

  void StartMain() {
    main_ = std::make_shared<TFetch>();
    main_->address = requested_;
    Start(main_);
  }

  void StartAheadLoads() {
    aheadTimer_.stop();
    for (FetchPtr& f : ahead_) {
      if (f->started) continue;
      // The load navigated to comes first: nothing ahead starts while it is held back.
      if (state_ == TLoadState::lsHeld) return;
      if (const qint64 wait = DelayLeft(); wait > 0) {
        aheadTimer_.start(static_cast<int>(wait));
        return;
      }
      Start(f);
    }
  }

  void Start(const FetchPtr& fetch) {
    fetch->started = true;
    lastLoadStart_.start();
    const auto least = std::min_element(active_.begin(), active_.end());
    const auto slot = static_cast<std::size_t>(least - active_.begin());
    ++active_[slot];
    fetch->manager = managers_[slot].get();

    QNetworkRequest request(QUrl(QString::fromStdU16String(fetch->address)));
    request.setHeader(QNetworkRequest::UserAgentHeader, QString::fromStdString(options_.userAgent));
    request.setRawHeader("Accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8");
    // What a browser asks for over plain HTTP. Set here, the manager leaves the body as it came
    // (it would otherwise also ask for brotli, which costs a server far more time per page).
    request.setRawHeader("Accept-Encoding", "gzip, deflate");
    request.setMaximumRedirectsAllowed(kMaxRedirects);
    QNetworkReply* reply = fetch->manager->get(request);
    fetch->reply = reply;
    std::weak_ptr<TFetch> weak = fetch;
    QObject::connect(reply, &QNetworkReply::readyRead, &context_, [this, weak] {
      if (const FetchPtr f = weak.lock()) Read(*f);
    });
    QObject::connect(reply, &QNetworkReply::finished, &context_, [this, weak] {
      if (const FetchPtr f = weak.lock()) Finished(f);
    });
  }

  void Release(TFetch& fetch) {
    if (!fetch.manager) return;
    for (std::size_t i = 0; i < managers_.size(); ++i)
      if (managers_[i].get() == fetch.manager) --active_[i];
    fetch.manager = nullptr;
  }

  // Drops a load: its reply is aborted and reports nothing more.
  void Cancel(const FetchPtr& fetch) {
    if (!fetch) return;
    Release(*fetch);
    if (QNetworkReply* reply = fetch->reply.data()) {
      fetch->reply = nullptr;
      QObject::disconnect(reply, nullptr, &context_, nullptr);
      reply->abort();
      reply->deleteLater();
    }
  }

  void Read(TFetch& fetch) {
    QNetworkReply* reply = fetch.reply.data();
    if (!reply || fetch.tooLarge) return;
    fetch.body += reply->readAll();
    if (fetch.body.size() > options_.maxPageBytes) {
      fetch.tooLarge = true;
      fetch.body.clear();
      // Reports finished, with the failure noted.
      reply->abort();
    }
  }

  void Finished(const FetchPtr& fetch) {
    QNetworkReply* reply = fetch->reply.data();
    if (!reply) return;
    Read(*fetch);
    fetch->reply = nullptr;
    Release(*fetch);
    reply->deleteLater();

    const QUrl requested = Normalized(QUrl(QString::fromStdU16String(fetch->address)));
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int error = reply->error();
    fetch->report = TLoadReport{};
    if (status.isValid()) {
      fetch->report.httpStatus = status.toInt();
      if (fetch->report.httpStatus == 429 || fetch->report.httpStatus == 503)
        fetch->report.retryAfterSeconds = RetryAfterSeconds(reply->rawHeader("Retry-After").trimmed().toStdString());
    } else if (error == QNetworkReply::ConnectionRefusedError) {
      fetch->report.failure = "connection refused";
    } else if (error != QNetworkReply::NoError) {
      fetch->report.failure = reply->errorString().toStdString();
    }
    // An HTTP error status still has a response, which the browser shows; a failure without a
    // complete response shows an error page at the address requested.
    bool response = !fetch->tooLarge && status.isValid() && (error == QNetworkReply::NoError || status.toInt() >= 400);
    QString reason = reply->errorString();
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (response && !fetch->body.isEmpty() && (encoding == "gzip" || encoding == "x-gzip" || encoding == "deflate")) {
      std::optional<QByteArray> plain = Inflate(fetch->body, options_.maxPageBytes, false);
      if (!plain && encoding == "deflate") plain = Inflate(fetch->body, options_.maxPageBytes, true);
      if (plain) {
        fetch->body = std::move(*plain);
      } else {
        response = false;
        reason = QStringLiteral("The page's content encoding could not be decoded");
      }
    }
    if (response) {
      const QUrl at = Normalized(reply->url());
      fetch->url = UrlText(at);
      const std::string contentType = reply->header(QNetworkRequest::ContentTypeHeader).toString().toStdString();
      if (fetch->body.isEmpty() && status.toInt() >= 400) {
        fetch->markup = ErrorPage(at, QStringLiteral("HTTP ERROR %1").arg(status.toInt()));
      } else {
        fetch->markup = DecodePage(std::string_view(fetch->body.constData(), static_cast<std::size_t>(fetch->body.size())), contentType);
      }
    } else {
      fetch->url = UrlText(requested);
      if (fetch->tooLarge) reason = QStringLiteral("The page is larger than %1 bytes").arg(options_.maxPageBytes);
      fetch->markup = ErrorPage(requested, reason);
    }
    fetch->body = QByteArray();
    fetch->page = ParseHtmlPage(fetch->markup, fetch->url);
    fetch->arrived = true;
    if (fetch == main_ && state_ == TLoadState::lsLoading) Complete();
  }

  // The load navigated to has its page: it becomes the document, and its events follow.
  void Complete() {
    state_ = TLoadState::lsComplete;
    document_ = main_->page.document;
    location_ = main_->url;
    report_ = main_->report;
    title_ = main_->page.title;
    if (options_.onPageShown) options_.onPageShown(main_->markup, location_);
    // The markup is kept only as long as a view may want it.
    main_->markup.clear();
    main_->markup.shrink_to_fit();
    const std::uint64_t generation = generation_;
    std::weak_ptr<int> alive = alive_;
    QMetaObject::invokeMethod(
        &context_,
        [this, alive, generation] {
          if (!alive.expired()) RaiseLoadEvents(generation);
        },
        Qt::QueuedConnection);
  }

  void RaiseLoadEvents(std::uint64_t generation) {
    // Copies: a handler may replace the handlers, navigate, or destroy this browser.
    const std::weak_ptr<int> alive = alive_;
    const auto navigated = events_.onNavigateComplete2;
    if (navigated && generation == generation_) {
      Variant url(location_);
      navigated(owner_->Application(), url);
      if (alive.expired()) return;
    }
    const auto completed = events_.onDocumentComplete;
    if (completed && generation == generation_) {
      Variant url(location_);
      completed(owner_->Application(), url);
    }
  }

  THttpBrowser* owner_;
  THttpBrowserOptions options_;
  QObject context_;
  std::vector<std::unique_ptr<QNetworkAccessManager>> managers_;
  std::vector<int> active_;
  BrowserEvents events_;
  TLoadState state_ = TLoadState::lsIdle;
  std::u16string requested_;
  std::u16string location_;
  std::u16string title_;
  TLoadReport report_;
  // The server's own least time between load starts (robots.txt's Crawl-delay), when larger.
  int leastLoadInterval_ = 0;
  std::shared_ptr<Dispatch> document_;
  FetchPtr main_;
  std::vector<FetchPtr> ahead_;
  QElapsedTimer lastLoadStart_;
  QTimer heldTimer_;
  QTimer aheadTimer_;
  // Raised by every Navigate and Stop; events queued for an older one are dropped.
  std::uint64_t generation_ = 0;
  // Expires with the browser, for queued calls and automation objects that may outlive it.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

THttpBrowser::THttpBrowser(THttpBrowserOptions options) : impl_(std::make_unique<TImpl>(this, std::move(options))) {}
THttpBrowser::~THttpBrowser() = default;

void THttpBrowser::Navigate(const std::u16string& address) { impl_->Navigate(address); }
void THttpBrowser::Stop() { impl_->Stop(); }
std::u16string THttpBrowser::LocationURL() { return impl_->LocationURL(); }
std::u16string THttpBrowser::LocationName() { return impl_->LocationName(); }
int THttpBrowser::ReadyState() { return impl_->ReadyState(); }
Variant THttpBrowser::Document() { return impl_->Document(); }
bool THttpBrowser::IsHtmlDocument(const Variant& document) { return IsParsedDocument(document); }
Variant THttpBrowser::Application() {
  return BrowserApplicationObject(this, impl_->Alive());
}
void THttpBrowser::SetEvents(BrowserEvents events) { impl_->SetEvents(std::move(events)); }
int THttpBrowser::LoadsAhead() const { return impl_->LoadsAhead(); }
void THttpBrowser::HintUpcoming(const std::vector<std::u16string>& addresses) { impl_->HintUpcoming(addresses); }
TLoadReport THttpBrowser::LastLoadReport() { return impl_->LastLoadReport(); }
void THttpBrowser::SetLeastLoadInterval(int ms) { impl_->SetLeastLoadInterval(ms); }

}  // namespace platform::http
