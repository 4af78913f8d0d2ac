#pragma once
// The browserless engine (platform/http) in the window: the page view shows the markup of the page
// the engine read last, rendered by a QTextBrowser, without a request of its own.

#include <functional>
#include <memory>

#include "platform/browser.h"
#include "platform/http/http_browser.h"

class QWidget;

namespace platform::qt {

// A factory of THttpBrowsers with options. With showPages, each browser puts a view filling the
// panel (a Qt child of it) that shows the page navigated to last, refreshed at most four times a
// second; the view loads nothing (no images, no style sheets, no links followed). Without it, the
// panel stays empty (windowless runs). The browser itself owns no widget.
std::function<std::unique_ptr<IBrowser>(QWidget* panel)> HttpBrowserFactory(http::THttpBrowserOptions options,
                                                                           bool showPages);

}  // namespace platform::qt
