#pragma once
// The embedded web browser as the crawl uses it: navigation, the page shown, and the page's
// document object model reached by late binding (see automation.h).

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/automation.h"

namespace platform {

// Ready state of a completely loaded page.
constexpr int kReadyStateComplete = 4;

// What the browser knows of the answer to the last load it reported, for a crawl that decides how
// long to wait before asking a failing server again.
struct TLoadReport {
  // HTTP status of the answer to the page's request; 0 when unknown or when no answer came.
  int httpStatus = 0;
  // Seconds the server asked the client to wait (Retry-After, with 429 and 503); -1 when not
  // given or when the engine cannot read the answer's header fields.
  int retryAfterSeconds = -1;
  // Why no answer came, as far as the engine can tell ("connection refused"); empty when unknown
  // or when an answer came.
  std::string failure;
};

// Events the browser raises on the window's thread.
struct BrowserEvents {
  // Document complete for a frame or the top-level document. pDisp is the frame's automation
  // object (may be empty); url holds the completed document's address and is passed by reference
  // as the control passes it (handlers read it and never change it).
  std::function<void(const Variant& pDisp, Variant& url)> onDocumentComplete;
  std::function<void(const Variant& pDisp, Variant& url)> onNavigateComplete2;
  std::function<void(const std::u16string& text)> onStatusTextChange;
  // A line for the crawl's visible log, about something the browser did on its own (it
  // restarted a page whose renderer stopped). May be left empty.
  std::function<void(const std::u16string& line)> onLogLine;
};

class IBrowser {
 public:
  IBrowser() = default;
  IBrowser(const IBrowser&) = delete;
  IBrowser& operator=(const IBrowser&) = delete;
  virtual ~IBrowser() = default;

  // Starts loading address. A load still in progress is cancelled and raises no event.
  virtual void Navigate(const std::u16string& address) = 0;
  // Cancels the current load; a cancelled load raises no document-complete event.
  virtual void Stop() = 0;
  // Address of the page now shown.
  virtual std::u16string LocationURL() = 0;
  // Title of the page now shown.
  virtual std::u16string LocationName() = 0;
  // 4 (kReadyStateComplete) when the page is completely loaded.
  virtual int ReadyState() = 0;
  // The page's document object, or an empty value when there is none.
  virtual Variant Document() = 0;
  // True when document offers the HTML document interface.
  virtual bool IsHtmlDocument(const Variant& document) = 0;
  // The control's own automation object: its "Document" member is the page's document.
  virtual Variant Application() = 0;

  // Replaces the event handlers.
  virtual void SetEvents(BrowserEvents events) = 0;

  // Loading ahead. How many pages the browser can load ahead of the one navigated to; 0 when it
  // loads only what Navigate asks for.
  virtual int LoadsAhead() const = 0;
  // A hint: the addresses that are likely to be navigated to next, in that order (at most
  // LoadsAhead() are used). The browser may start loading them in pages of its own; a later
  // Navigate to one of them then shows that page instead of starting a new load, and its document
  // complete follows as for any load. A page loaded ahead raises no event and changes nothing the
  // browser reports until it is navigated to. Every hint replaces the one before: a page loaded
  // ahead for an address no longer hinted is dropped, and an empty hint drops them all.
  virtual void HintUpcoming(const std::vector<std::u16string>& addresses) = 0;

  // What the engine knows of the answer behind the last document complete it raised (valid while
  // its handler runs and until the next load ends). The default knows nothing.
  virtual TLoadReport LastLoadReport() { return {}; }
  // Raises the least time between the starts of two loads (loads ahead included) to at least ms,
  // for a server that asks for it (robots.txt's Crawl-delay); the browser keeps the larger of this
  // and its own setting. A browser that spaces its loads must implement it; the default ignores it.
  virtual void SetLeastLoadInterval(int ms) { (void)ms; }
};

// The addresses of a hint that a browser with room for that many pages loads ahead: the first ones,
// each once, empty ones left out.
std::vector<std::u16string> AddressesToLoadAhead(const std::vector<std::u16string>& hint, int room);

// The control's own automation object for a browser: its members Document, LocationURL, LocationName
// and ReadyState answer from browser. Holds the browser weakly: once alive has expired (the browser is
// gone) every member throws EAutomationError, so a copy kept by a caller cannot reach a destroyed
// browser.
Variant BrowserApplicationObject(IBrowser* browser, std::weak_ptr<int> alive);

}  // namespace platform
