#include "platform/qt/controls.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPainter>
#include <QSizeGrip>
#include <QTextBlock>
#include <QThread>
#include <qdrawutil.h>

#include "platform/qt/crash_report.h"

namespace platform::qt {

// ---- status bar ---------------------------------------------------------------------------------

StatusBarWidget::StatusBarWidget(QWidget* parent) : QWidget(parent), grip_(new QSizeGrip(this)) {
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Button);
}

void StatusBarWidget::SetSimpleText(const std::string& text) {
  if (text == text_) return;
  text_ = text;
  shown_ = QString::fromStdString(text);
  update();
}

void StatusBarWidget::resizeEvent(QResizeEvent*) {
  const QSize gripSize = grip_->sizeHint();
  grip_->setGeometry(width() - gripSize.width(), height() - gripSize.height(), gripSize.width(), gripSize.height());
}

void StatusBarWidget::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect panel = rect().adjusted(0, 2, -grip_->sizeHint().width(), 0);
  qDrawShadePanel(&painter, panel, palette(), true, 1);
  const QRect textRect = panel.adjusted(3, 1, -3, -1);
  painter.setPen(palette().color(QPalette::WindowText));
  painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter,
                   fontMetrics().elidedText(shown_, Qt::ElideRight, textRect.width()));
}

// ---- memo ---------------------------------------------------------------------------------------

QtMemo::QtMemo(QPlainTextEdit& memo, bool bothScrollBars) : memo_(memo) {
  memo_.setMaximumBlockCount(static_cast<int>(kMemoLineLimit));
  if (bothScrollBars) {
    // A multi-line box with a horizontal scroll bar scrolls long lines instead of wrapping them.
    memo_.setLineWrapMode(QPlainTextEdit::NoWrap);
    memo_.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo_.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  }
}

void QtMemo::AddLine(const std::string& line) { memo_.appendPlainText(QString::fromStdString(line)); }

std::vector<std::string> QtMemo::Lines() const {
  std::vector<std::string> lines;
  const QTextDocument* document = memo_.document();
  if (document->isEmpty()) return lines;
  for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
    lines.push_back(block.text().toStdString());
  return lines;
}

// ---- edit ---------------------------------------------------------------------------------------

namespace {

// The character a key event types, as the key filter sees it, or 0 for keys that type none.
char16_t TypedCharacter(const QKeyEvent& event) {
  const int key = event.key();
  const Qt::KeyboardModifiers modifiers = event.modifiers() & ~Qt::KeypadModifier;
  switch (key) {
    case Qt::Key_Backspace: return 8;
    case Qt::Key_Return:
    case Qt::Key_Enter: return 13;
    case Qt::Key_Escape: return 27;
    case Qt::Key_Delete:
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return 0;
    default: break;
  }
  if (modifiers == Qt::ControlModifier || modifiers == (Qt::ControlModifier | Qt::ShiftModifier)) {
    if (key >= Qt::Key_A && key <= Qt::Key_Z) return static_cast<char16_t>(key - Qt::Key_A + 1);
    return 0;
  }
  if (modifiers & (Qt::AltModifier | Qt::MetaModifier)) return 0;
  const QString text = event.text();
  if (text.size() != 1) return 0;
  const char16_t c = text.at(0).unicode();
  return c >= 0x20 && c != 0x7F ? c : 0;
}

}  // namespace

QtEdit::QtEdit(QLineEdit& edit, std::function<void(char16_t&)> onKeyPress)
    : edit_(edit), onKeyPress_(std::move(onKeyPress)) {
  if (onKeyPress_) edit_.installEventFilter(this);
}

std::string QtEdit::Text() const { return edit_.text().toStdString(); }

void QtEdit::SetText(const std::string& text) { edit_.setText(QString::fromStdString(text)); }

bool QtEdit::eventFilter(QObject* watched, QEvent* event) {
  if (watched != &edit_ || event->type() != QEvent::KeyPress) return QObject::eventFilter(watched, event);
  auto* keyEvent = static_cast<QKeyEvent*>(event);
  const char16_t typed = TypedCharacter(*keyEvent);
  if (typed == 0) return false;
  char16_t key = typed;
  bool failed = true;
  // The key press cannot wait for a report to close: the edit needs the answer now.
  RunHandler(
      [&] {
        onKeyPress_(key);
        failed = false;
      },
      false);
  // A filter that failed types nothing, as a discarded key.
  if (failed || key == 0) return true;
  if (key == typed) return false;
  if (key == 8) {
    edit_.backspace();
  } else if (key >= 0x20) {
    edit_.insert(QString(QChar(key)));
  }
  return true;
}

// ---- timer --------------------------------------------------------------------------------------

QtTimer::QtTimer(int interval, bool enabled, std::function<void()> onTimer)
    : timer_(std::make_unique<QTimer>()), onTimer_(std::move(onTimer)) {
  timer_->setTimerType(Qt::PreciseTimer);
  timer_->setInterval(interval);
  QObject::connect(timer_.get(), &QTimer::timeout, timer_.get(), [this] { RunHandler(onTimer_, true, this); });
  if (enabled) timer_->start();
}

void QtTimer::SetInterval(int milliseconds) { timer_->setInterval(milliseconds); }

void QtTimer::SetEnabled(bool enabled) {
  if (enabled == timer_->isActive()) return;
  if (enabled) {
    timer_->start();
  } else {
    timer_->stop();
  }
}

// ---- dialogs and message processing ---------------------------------------------------------------

TModalResult QtDialogs::Confirm(const std::string& text, bool withCancel) {
  QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"), QString::fromStdString(text),
                  QMessageBox::Yes | QMessageBox::No | (withCancel ? QMessageBox::Cancel : QMessageBox::NoButton),
                  parent_);
  box.setObjectName(QStringLiteral("Confirm"));
  box.setDefaultButton(QMessageBox::Yes);
  box.setEscapeButton(withCancel ? QMessageBox::Cancel : QMessageBox::No);
  switch (box.exec()) {
    case QMessageBox::Yes: return TModalResult::mrYes;
    case QMessageBox::No: return TModalResult::mrNo;
    default: return withCancel ? TModalResult::mrCancel : TModalResult::mrNo;
  }
}

void QtDialogs::ShowMessage(const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, QGuiApplication::applicationDisplayName(), QString::fromStdString(text),
                  QMessageBox::Ok, parent_);
  box.setObjectName(QStringLiteral("ShowMessage"));
  box.exec();
}

// Holds back a window's repaint that comes sooner than kPaintIntervalMs after the last one while
// messages are processed from inside a handler, and asks for it again when the interval is over.
// Qt posts one repaint request per window and posts no other until that one has been delivered, so
// holding it back costs nothing and loses nothing: everything changed meanwhile is painted then.
class QtApplicationServices::TPaintThrottle : public QObject {
 public:
  TPaintThrottle() { QCoreApplication::instance()->installEventFilter(this); }
  // Set while ProcessMessages runs (nested calls included).
  int active = 0;

 protected:
  bool eventFilter(QObject* receiver, QEvent* event) override {
    if (event->type() != QEvent::UpdateRequest || active == 0 || !receiver->isWidgetType()) return false;
    if (!lastPaint_.isValid() || lastPaint_.elapsed() >= kPaintIntervalMs) {
      lastPaint_.start();
      return false;
    }
    const int wait = static_cast<int>(kPaintIntervalMs - lastPaint_.elapsed());
    QTimer::singleShot(wait, receiver, [receiver] {
      QCoreApplication::postEvent(receiver, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
    });
    return true;
  }

 private:
  QElapsedTimer lastPaint_;
};

QtApplicationServices::QtApplicationServices() : paintThrottle_(std::make_unique<TPaintThrottle>()) {}

QtApplicationServices::~QtApplicationServices() = default;

void QtApplicationServices::ProcessMessages() {
  ++paintThrottle_->active;
  struct TLeave {
    int& active;
    ~TLeave() { --active; }
  } leave{paintThrottle_->active};
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtApplicationServices::Sleep(int milliseconds) {
  if (milliseconds > 0) QThread::msleep(static_cast<unsigned long>(milliseconds));
}

}  // namespace platform::qt
