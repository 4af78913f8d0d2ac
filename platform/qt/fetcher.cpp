#include "platform/qt/fetcher.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace platform::qt {

namespace {
constexpr int kMaxRedirects = 5;

std::string ErrorText(QNetworkReply::NetworkError error, const QString& text) {
  switch (error) {
    case QNetworkReply::ConnectionRefusedError: return "connection refused";
    case QNetworkReply::HostNotFoundError: return "host not found";
    case QNetworkReply::RemoteHostClosedError: return "connection closed by the server";
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError: return "timed out";
    default: return text.toStdString();
  }
}
}  // namespace

struct QtFetcher::TFetch {
  TDone done;
  std::size_t limit = 0;
  int redirects = 0;
  std::string body;
  // The body reached the limit and the reply was aborted on purpose.
  bool cut = false;
};

QtFetcher::QtFetcher(std::string userAgent, int timeoutMs)
    : network_(std::make_unique<QNetworkAccessManager>()), userAgent_(std::move(userAgent)), timeoutMs_(timeoutMs) {}

// The manager deletes its replies, whose connections go with them: no done is called afterwards.
QtFetcher::~QtFetcher() = default;

void QtFetcher::Fetch(const std::u16string& address, std::size_t maxBodyBytes, TDone done) {
  auto fetch = std::make_shared<TFetch>();
  fetch->done = std::move(done);
  fetch->limit = maxBodyBytes;
  Start(fetch, QUrl(QString::fromStdU16String(address)));
}

void QtFetcher::Start(const std::shared_ptr<TFetch>& fetch, const QUrl& url) {
  QNetworkRequest request(url);
  request.setHeader(QNetworkRequest::UserAgentHeader, QString::fromStdString(userAgent_));
  // Redirects are followed here, so that their number is ours to limit and the last answer is kept.
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
  request.setTransferTimeout(timeoutMs_);
  QNetworkReply* reply = network_->get(request);

  QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, fetch] {
    const std::size_t room = fetch->limit > fetch->body.size() ? fetch->limit - fetch->body.size() : 0;
    fetch->body += reply->read(static_cast<qint64>(room)).toStdString();
    if (fetch->body.size() >= fetch->limit && !fetch->cut) {
      fetch->cut = true;
      reply->abort();
    }
  });
  QObject::connect(reply, &QNetworkReply::finished, reply, [this, reply, fetch, url] {
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 300 && status <= 399 && fetch->redirects < kMaxRedirects) {
      const QUrl target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
      if (target.isValid()) {
        ++fetch->redirects;
        fetch->body.clear();
        fetch->cut = false;
        Start(fetch, url.resolved(target));
        return;
      }
    }
    TFetchResult result;
    result.status = status;
    if (status == 0) result.error = ErrorText(reply->error(), reply->errorString());
    for (const QNetworkReply::RawHeaderPair& pair : reply->rawHeaderPairs())
      result.headers.emplace_back(pair.first.toStdString(), pair.second.toStdString());
    result.body = std::move(fetch->body);
    const TDone done = std::move(fetch->done);
    if (done) done(result);
  });
}

}  // namespace platform::qt
