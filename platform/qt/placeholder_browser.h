#pragma once
// The browser used when no browser factory is given to QtFormHost: a blank widget in the panel and
// an IBrowser that remembers the address it was sent to and never loads anything. Lets the window
// be built and looked at without a web engine.

#include <QWidget>
#include <memory>
#include <string>

#include "platform/browser.h"

namespace platform::qt {

class PlaceholderBrowser : public IBrowser {
 public:
  // Places a blank widget inside panel (owned by panel).
  explicit PlaceholderBrowser(QWidget* panel);

  // Records address as the location; raises no event.
  void Navigate(const std::u16string& address) override { location_ = address; }
  void Stop() override {}
  std::u16string LocationURL() override { return location_; }
  std::u16string LocationName() override { return {}; }
  int ReadyState() override { return kReadyStateComplete; }
  // No document: an empty value.
  Variant Document() override { return Variant(); }
  bool IsHtmlDocument(const Variant&) override { return false; }
  // An empty value: the placeholder has no automation object.
  Variant Application() override { return Variant(); }
  void SetEvents(BrowserEvents events) override { events_ = std::move(events); }
  int LoadsAhead() const override { return 0; }
  void HintUpcoming(const std::vector<std::u16string>&) override {}

 private:
  std::u16string location_;
  BrowserEvents events_;
};

}  // namespace platform::qt
