#include "platform/qt/fonts.h"

#include <QFontMetrics>
#include <QStringList>
#include <cstdlib>

namespace platform::qt {

QFont MapFont(const TFontSpec& font) {
  QFont result;
  result.setFamilies(QStringList{QString::fromStdString(font.name), QStringLiteral("DejaVu Sans Condensed"),
                                 QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
  result.setStyleHint(QFont::SansSerif);
  result.setPixelSize(std::max(1, std::abs(font.height)));
  result.setBold(font.bold);
  return result;
}

namespace {
bool Fits(const QFont& font, const QString& text, bool wordWrap, QSize box) {
  const QFontMetrics metrics(font);
  if (!wordWrap) return metrics.horizontalAdvance(text) <= box.width() && metrics.height() <= box.height();
  const QRect needed = metrics.boundingRect(QRect(0, 0, box.width(), 1 << 20), Qt::TextWordWrap, text);
  return needed.width() <= box.width() && needed.height() <= box.height();
}
}  // namespace

void FitLabelFont(QLabel& label, QSize box) {
  QFont font = label.font();
  if (font.pixelSize() <= 0) return;
  while (font.pixelSize() > 6 && !Fits(font, label.text(), label.wordWrap(), box)) font.setPixelSize(font.pixelSize() - 1);
  label.setFont(font);
}

}  // namespace platform::qt
