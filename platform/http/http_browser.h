#pragma once
// The browserless page engine: the browser interface (platform/browser.h) over plain HTTP requests,
// with each page parsed into the document object model of html_document.h.
//
// HTTP goes through Qt Network's QNetworkAccessManager. It runs in the event loop that the window
// and the crawl already run in, so replies arrive as events of the window's thread like the
// WebEngine browser's pages, and it brings what a browser's loader does: kept-alive connections,
// redirects, gzip and deflate, cookies, TLS and HTTP/2 from the distribution's Qt. (libcurl's multi
// interface would have needed its sockets and timers bridged into that loop by hand.) One manager
// opens at most six connections to a host, as browsers do; with more pages in flight the browser
// uses several managers.
//
// Loads: as the WebEngine browser's. Document complete is raised once per load that ended with a
// document, for the top-level document, with the address the load ended at after redirects (so
// LocationURL equals it while the handler runs); navigate-complete just before it. Each is an
// event of its own on the event loop, so handlers may process events nested, wait for the next
// page there, and call any method, Navigate included. A load that failed completes too, with a
// document a browser would show: the server's own body for an HTTP error status (or a short error
// page when the body is empty), and an error page for a failure without a response (connection
// refused or reset, closed before the end of the response, a redirect loop, more than
// maxPageBytes). Validation then refuses it as it refuses the engine's error pages. A load
// cancelled by Stop or replaced by a new Navigate raises nothing. There is no time limit: a server
// that accepts and never answers keeps the load under way until the caller's Stop or Navigate
// (the crawl's reload timer).
//
// While a load is under way (or held back by the navigation delay) LocationURL is its address, as a
// browser's location bar shows it; after it ended, the address it ended at; after Stop, the page
// shown before. LocationName is the document's title, or its address when it has none.
//
// Delay and loads ahead: as in the WebEngine browser (web_browser.h), the navigation delay spaces
// the starts of all loads, loads ahead included, and the first pagesAhead addresses of the latest
// hint are loaded ahead; a Navigate to one of them takes that load, finished or not, instead of
// requesting the address again.
//
// Threading: the window's thread only; needs a running Qt event loop (a QCoreApplication).
// Ownership: documents handed out stay valid after the browser is destroyed.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/browser.h"

namespace platform::http {

// Settings of a THttpBrowser that stay fixed for its life.
struct THttpBrowserOptions {
  // Least time between the starts of two loads, in ms (see TWebBrowserOptions::navigationDelayMs).
  int navigationDelayMs = 0;
  // Pages loaded ahead of the one navigated to; 0: none.
  int pagesAhead = 0;
  // The User-Agent header of every request.
  std::string userAgent = "WexaCategoryScraper";
  // A response body larger than this (after decompression) makes the load fail.
  std::int64_t maxPageBytes = 16 * 1024 * 1024;
  // Called when a load navigated to ends, with the page's markup (UTF-8) and address, before its
  // events are raised; for a view that shows the page. May be empty.
  std::function<void(const std::string& markup, const std::u16string& url)> onPageShown;
};

class THttpBrowser : public IBrowser {
 public:
  explicit THttpBrowser(THttpBrowserOptions options = {});
  ~THttpBrowser() override;

  void Navigate(const std::u16string& address) override;
  void Stop() override;
  std::u16string LocationURL() override;
  std::u16string LocationName() override;
  // 0 before the first load, 1 while loading (or held back by the navigation delay), 3 after a
  // load was stopped, 4 once the document is available.
  int ReadyState() override;
  Variant Document() override;
  bool IsHtmlDocument(const Variant& document) override;
  Variant Application() override;
  void SetEvents(BrowserEvents events) override;
  int LoadsAhead() const override;
  void HintUpcoming(const std::vector<std::u16string>& addresses) override;
  // The HTTP status of the answer behind the last document complete, its Retry-After with 429 and
  // 503, or why no answer came.
  TLoadReport LastLoadReport() override;
  void SetLeastLoadInterval(int ms) override;

 private:
  class TImpl;
  std::unique_ptr<TImpl> impl_;
};

}  // namespace platform::http
