#include "platform/qt/placeholder_browser.h"

namespace platform::qt {

PlaceholderBrowser::PlaceholderBrowser(QWidget* panel) {
  auto* blank = new QWidget(panel);
  blank->setObjectName(QStringLiteral("browserPlaceholder"));
  blank->setAutoFillBackground(true);
  blank->setBackgroundRole(QPalette::Base);
}

}  // namespace platform::qt
