#include "platform/qt/http_page_view.h"

#include <QPointer>
#include <QTextBrowser>
#include <QTimer>
#include <QVBoxLayout>

#include <string>

namespace platform::qt {

namespace {

// Renders markup only: every resource the page names (images, style sheets) stays unloaded, and
// links are not followed.
class TPageView : public QTextBrowser {
 public:
  explicit TPageView(QWidget* parent) : QTextBrowser(parent) {
    setOpenLinks(false);
    setOpenExternalLinks(false);
    refresh_.setSingleShot(true);
    refresh_.setInterval(kRefreshMs);
    QObject::connect(&refresh_, &QTimer::timeout, this, [this] { setHtml(QString::fromStdString(pending_)); });
  }

  // Shows markup at the latest when the refresh interval has passed since the last one shown.
  void Show(const std::string& markup) {
    pending_ = markup;
    if (!refresh_.isActive()) refresh_.start();
  }

  QVariant loadResource(int, const QUrl&) override { return {}; }

 private:
  static constexpr int kRefreshMs = 250;
  QTimer refresh_;
  std::string pending_;
};

}  // namespace

std::function<std::unique_ptr<IBrowser>(QWidget* panel)> HttpBrowserFactory(http::THttpBrowserOptions options,
                                                                           bool showPages) {
  return [options, showPages](QWidget* panel) -> std::unique_ptr<IBrowser> {
    http::THttpBrowserOptions own = options;
    if (showPages && panel) {
      QPointer<TPageView> view = new TPageView(panel);
      auto* layout = panel->layout() ? panel->layout() : new QVBoxLayout(panel);
      layout->setContentsMargins(0, 0, 0, 0);
      layout->addWidget(view);
      own.onPageShown = [view](const std::string& markup, const std::u16string&) {
        if (view) view->Show(markup);
      };
    }
    return std::make_unique<http::THttpBrowser>(std::move(own));
  };
}

}  // namespace platform::qt
