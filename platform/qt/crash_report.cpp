#include "platform/qt/crash_report.h"

#include <cxxabi.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <typeinfo>
#include <vector>

#include "common/exceptions.h"

namespace platform::qt {

namespace {

struct THeldHandler {
  std::function<void()> handler;
  const void* key;
};

std::function<void(const TErrorReport&)>& ErrorHook() {
  static std::function<void(const TErrorReport&)> hook;
  return hook;
}

std::vector<THeldHandler>& HeldHandlers() {
  static std::vector<THeldHandler> held;
  return held;
}

// Handlers running now, nested ones included.
int handlerDepth = 0;
// Crash-report dialogs open now.
int openReports = 0;

// The command line as the program got it, before Qt took its own options out: a restart runs it again.
std::vector<std::string>& StartArguments() {
  static std::vector<std::string> arguments;
  return arguments;
}

int& RememberArguments(int& argc, char** argv) {
  StartArguments().assign(argv, argv + argc);
  return argc;
}

std::string Demangle(const char* name) {
  int status = 0;
  char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string result = status == 0 && readable ? readable : name;
  std::free(readable);
  return result;
}

void RunHeldHandlers() {
  std::vector<THeldHandler> held;
  held.swap(HeldHandlers());
  for (const THeldHandler& h : held) RunHandler(h.handler, true, h.key);
}

// Replaces this process with a fresh run of the program. Returns only when that fails.
void Restart() {
  std::vector<std::string> arguments = StartArguments();
  if (arguments.empty()) arguments.push_back(QCoreApplication::applicationFilePath().toStdString());
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::fflush(nullptr);
  ::execv("/proc/self/exe", argv.data());
  const std::string path = QCoreApplication::applicationFilePath().toStdString();
  ::execv(path.c_str(), argv.data());
  QMessageBox::warning(nullptr, QStringLiteral("Restart"),
                       QStringLiteral("The program could not be started again: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
}

void Close() {
  QCoreApplication::exit(1);
  // A handler that is still running (one that processes messages in a loop) would keep the message
  // loop from ever ending, so the process ends here.
  if (handlerDepth > 0) {
    std::fflush(nullptr);
    std::_Exit(1);
  }
}

}  // namespace

TErrorReport DescribeException(std::exception_ptr error) noexcept {
  TErrorReport report;
  try {
    try {
      std::rethrow_exception(error);
    } catch (const Exception& e) {
      report.className = e.ClassName();
      report.message = e.Message();
      report.stackTrace = e.StackTrace();
      report.inputFile = e.InputFile();
      report.inputLine = e.InputLine();
    } catch (const std::exception& e) {
      report.className = Demangle(typeid(e).name());
      report.message = e.what();
    } catch (...) {
      const std::type_info* type = abi::__cxa_current_exception_type();
      report.className = type ? Demangle(type->name()) : "unknown";
      report.message = "An exception of type " + report.className + " was raised.";
    }
  } catch (...) {
    // Out of memory while describing: what is known so far is the report.
  }
  return report;
}

std::string FormatReport(const TErrorReport& report) {
  std::string text = "Wexa Category Scraper error report\n";
  if (QCoreApplication::instance()) {
    text += "Program: " + QCoreApplication::applicationFilePath().toStdString() + "\n";
    text += "Arguments:";
    for (const std::string& a : StartArguments()) text += " " + a;
    text += "\n";
  }
  text += "Time: " + QDateTime::currentDateTime().toString(Qt::ISODate).toStdString() + "\n";
  text += "Qt: " + std::string(qVersion()) + "\n";
  text += "Class: " + report.className + "\n";
  text += "Message: " + report.message + "\n\n";
  text += "Stack trace:\n" + (report.stackTrace.empty() ? std::string("(not available)\n") : report.stackTrace);
  return text;
}

void SetErrorHook(std::function<void(const TErrorReport&)> hook) { ErrorHook() = std::move(hook); }

bool ReportOpen() { return openReports > 0; }

void ReportHandlerError(std::exception_ptr error) noexcept {
  const TErrorReport report = DescribeException(error);
  try {
    if (ErrorHook()) {
      ErrorHook()(report);
      return;
    }
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
      std::fprintf(stderr, "%s: %s\n%s", report.className.c_str(), report.message.c_str(), report.stackTrace.c_str());
      return;
    }
    TReportChoice choice = TReportChoice::rcContinue;
    ++openReports;
    try {
      CrashReportDialog dialog(report);
      // Not a child of the window (which must not take the dialog with it), but shown over it.
      QWidget* over = QApplication::activeWindow();
      for (QWidget* w : QApplication::topLevelWidgets())
        if (!over && w->isVisible() && !qobject_cast<QDialog*>(w)) over = w;
      if (over) {
        // Centred over the window, but kept on its screen when the window is smaller than the dialog.
        const QRect screen = over->screen()->availableGeometry();
        QPoint topLeft = over->frameGeometry().center() - dialog.rect().center();
        topLeft.setX(std::clamp(topLeft.x(), screen.left(), std::max(screen.left(), screen.right() - dialog.width())));
        topLeft.setY(std::clamp(topLeft.y(), screen.top(), std::max(screen.top(), screen.bottom() - dialog.height())));
        dialog.move(topLeft);
      }
      dialog.exec();
      choice = dialog.Choice();
    } catch (...) {
      --openReports;
      throw;
    }
    --openReports;
    switch (choice) {
      case TReportChoice::rcContinue:
        if (openReports == 0) RunHeldHandlers();
        break;
      case TReportChoice::rcRestart: Restart(); break;
      case TReportChoice::rcClose: Close(); break;
    }
  } catch (...) {
    std::fprintf(stderr, "The error report failed. %s: %s\n%s", report.className.c_str(), report.message.c_str(),
                 report.stackTrace.c_str());
  }
}

void RunHandler(const std::function<void()>& handler, bool deferrable, const void* holdKey) noexcept {
  if (!handler) return;
  if (deferrable && openReports > 0) {
    try {
      auto& held = HeldHandlers();
      const bool alreadyHeld =
          holdKey && std::any_of(held.begin(), held.end(), [holdKey](const THeldHandler& h) { return h.key == holdKey; });
      if (!alreadyHeld) held.push_back({handler, holdKey});
    } catch (...) {
      ReportHandlerError(std::current_exception());
    }
    return;
  }
  ++handlerDepth;
  try {
    handler();
  } catch (...) {
    --handlerDepth;
    ReportHandlerError(std::current_exception());
    return;
  }
  --handlerDepth;
}

CrashReportDialog::CrashReportDialog(const TErrorReport& report, QWidget* parent) : QDialog(parent), report_(report) {
  setObjectName(QStringLiteral("CrashReportDialog"));
  setWindowTitle(QGuiApplication::applicationDisplayName() + QStringLiteral(" - error"));
  setWindowModality(Qt::ApplicationModal);

  auto* icon = new QLabel(this);
  const int iconSize = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
  icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxCritical, nullptr, this).pixmap(iconSize, iconSize));
  icon->setAlignment(Qt::AlignTop);

  auto* message = new QLabel(QString::fromStdString(report.message), this);
  message->setObjectName(QStringLiteral("message"));
  QFont messageFont = message->font();
  messageFont.setBold(true);
  message->setFont(messageFont);
  message->setWordWrap(true);
  message->setTextInteractionFlags(Qt::TextSelectableByMouse);
  message->setMinimumWidth(360);

  auto* hint = new QLabel(
      QStringLiteral("The action was stopped here. The window stays open and the crawl stays where the error left it."), this);
  hint->setWordWrap(true);

  auto* detailsTitle = new QLabel(QStringLiteral("Details:"), this);
  auto* details = new QPlainTextEdit(this);
  details->setObjectName(QStringLiteral("details"));
  details->setReadOnly(true);
  details->setLineWrapMode(QPlainTextEdit::NoWrap);
  details->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  details->setPlainText(QString::fromStdString("Class: " + report.className + "\n\nStack trace:\n" +
                                               (report.stackTrace.empty() ? "(not available)" : report.stackTrace)));
  details->setMinimumSize(520, 160);

  auto* continueButton = new QPushButton(QStringLiteral("Continue"), this);
  auto* saveButton = new QPushButton(QStringLiteral("Save report…"), this);
  auto* restartButton = new QPushButton(QStringLiteral("Restart"), this);
  auto* closeButton = new QPushButton(QStringLiteral("Close"), this);
  continueButton->setDefault(true);
  connect(continueButton, &QPushButton::clicked, this, [this] {
    choice_ = TReportChoice::rcContinue;
    accept();
  });
  connect(saveButton, &QPushButton::clicked, this, [this] { SaveReport(); });
  connect(restartButton, &QPushButton::clicked, this, [this] {
    choice_ = TReportChoice::rcRestart;
    accept();
  });
  connect(closeButton, &QPushButton::clicked, this, [this] {
    choice_ = TReportChoice::rcClose;
    accept();
  });

  auto* top = new QHBoxLayout;
  top->addWidget(icon);
  auto* texts = new QVBoxLayout;
  texts->addWidget(message);
  texts->addWidget(hint);
  top->addLayout(texts, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(continueButton);
  buttons->addWidget(saveButton);
  buttons->addStretch(1);
  buttons->addWidget(restartButton);
  buttons->addWidget(closeButton);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(detailsTitle);
  layout->addWidget(details, 1);
  layout->addLayout(buttons);

  // Stack-trace lines are long (demangled signatures): open wide and tall enough to read a typical
  // trace without scrolling, but no larger than about 100 columns by 22 lines and well within the
  // screen, so that the dialog does not bury the window it reports on.
  const QFontMetrics metrics(details->font());
  int longest = 0;
  const QStringList lines = details->toPlainText().split(QLatin1Char('\n'));
  for (const QString& line : lines) longest = std::max(longest, metrics.horizontalAdvance(line));
  const QRect screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->availableGeometry()
                                                        : QRect(0, 0, 1024, 768);
  const int chrome = style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 4 * details->frameWidth() + 16;
  const int widthCap = std::min(100 * metrics.horizontalAdvance(QLatin1Char('x')) + chrome, screen.width() * 4 / 5 - 40);
  const int heightCap = std::min(22 * metrics.lineSpacing() + chrome, screen.height() / 2);
  const int wantedWidth =
      std::clamp(longest + chrome, details->minimumWidth(), std::max(details->minimumWidth(), widthCap));
  const int wantedHeight = std::clamp(static_cast<int>(lines.size()) * metrics.lineSpacing() + chrome,
                                      details->minimumHeight(), std::max(details->minimumHeight(), heightCap));
  const QSize layoutHint = layout->sizeHint();
  const QSize detailsHint = details->sizeHint().expandedTo(details->minimumSize());
  resize(layoutHint.width() + std::max(0, wantedWidth - detailsHint.width()),
         layoutHint.height() + std::max(0, wantedHeight - detailsHint.height()));
}

void CrashReportDialog::SaveReport() {
  const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save report"),
                                                    QDir::current().filePath(QStringLiteral("wexa-error-report.txt")),
                                                    QStringLiteral("Text files (*.txt);;All files (*)"));
  if (path.isEmpty()) return;
  QFile file(path);
  const QByteArray text = QByteArray::fromStdString(FormatReport(report_));
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text) || file.write(text) != text.size()) {
    QMessageBox::warning(this, QStringLiteral("Save report"),
                         QStringLiteral("The report could not be written to %1: %2").arg(path, file.errorString()));
  }
}

WexaApplication::WexaApplication(int& argc, char** argv) : QApplication(RememberArguments(argc, argv), argv) {}

bool WexaApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    ReportHandlerError(std::current_exception());
    return false;
  }
}

}  // namespace platform::qt
