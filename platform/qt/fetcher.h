#pragma once
// IFetcher on Qt Network: a QNetworkAccessManager of its own, on the window's thread.

#include <memory>
#include <string>

#include "platform/fetcher.h"

class QNetworkAccessManager;
class QUrl;

namespace platform::qt {

// Fetches with GET, sending userAgent, following up to five redirects itself (the answer after
// the fifth is returned as it is) and ending a fetch that has received nothing for timeoutMs with
// the error "timed out". Answers are events of the Qt event loop, never given inside Fetch.
// Ownership: owns its network manager and the replies under way; destroying it ends them without
// calling their dones. Threading: the window's thread only; needs a QCoreApplication.
class QtFetcher : public IFetcher {
 public:
  explicit QtFetcher(std::string userAgent, int timeoutMs = 30000);
  ~QtFetcher() override;

  void Fetch(const std::u16string& address, std::size_t maxBodyBytes, TDone done) override;

 private:
  struct TFetch;
  void Start(const std::shared_ptr<TFetch>& fetch, const QUrl& url);

  std::unique_ptr<QNetworkAccessManager> network_;
  std::string userAgent_;
  int timeoutMs_;
};

}  // namespace platform::qt
