// Error reporting: what a report says, the handler boundary, and the dialog with its buttons.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "common/exceptions.h"
#include "platform/qt/crash_report.h"

using platform::qt::CrashReportDialog;
using platform::qt::DescribeException;
using platform::qt::RunHandler;
using platform::qt::TErrorReport;
using ::testing::HasSubstr;

namespace {

std::exception_ptr Thrown(const std::function<void()>& raise) {
  try {
    raise();
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

TEST(DescribeExceptionTest, NamesTheClassMessageAndStackTrace) {
  const TErrorReport convert = DescribeException(Thrown([] { StrToInt("x"); }));
  EXPECT_EQ(convert.className, "EConvertError");
  EXPECT_EQ(convert.message, "'x' is not a valid integer value");
  EXPECT_THAT(convert.stackTrace, HasSubstr("StrToInt"));

  const TErrorReport standard = DescribeException(Thrown([] { throw std::out_of_range("index 7"); }));
  EXPECT_EQ(standard.className, "std::out_of_range");
  EXPECT_EQ(standard.message, "index 7");
  EXPECT_EQ(standard.stackTrace, "");

  const TErrorReport other = DescribeException(Thrown([] { throw 42; }));
  EXPECT_EQ(other.className, "int");
  EXPECT_EQ(other.message, "An exception of type int was raised.");
}

TEST(FormatReportTest, HoldsEverythingTheDialogShows) {
  const std::string text = platform::qt::FormatReport({"EInOutError", "Cannot open file \"q.lst\"", "#0 Open at f.cpp:3\n", "", 0});
  EXPECT_THAT(text, HasSubstr("Class: EInOutError\n"));
  EXPECT_THAT(text, HasSubstr("Message: Cannot open file \"q.lst\"\n"));
  EXPECT_THAT(text, HasSubstr("Stack trace:\n#0 Open at f.cpp:3\n"));
}

class ErrorHookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::qt::SetErrorHook([this](const TErrorReport& r) { reports.push_back(r); });
  }
  void TearDown() override { platform::qt::SetErrorHook(nullptr); }
  std::vector<TErrorReport> reports;
};

TEST_F(ErrorHookTest, RunHandlerReportsWhatLeavesTheHandlerAndGoesOn) {
  int after = 0;
  RunHandler([] { throw EAssertionFailed("x (Unit1, line 3)"); });
  RunHandler([&] { ++after; });
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].className, "EAssertionFailed");
  EXPECT_EQ(after, 1);
}

TEST_F(ErrorHookTest, AnExceptionLeavingAQtEventHandlerIsCaughtByTheApplication) {
  // A timer connected directly, not through RunHandler: the application's notify catches it.
  class Thrower : public QObject {
   protected:
    void timerEvent(QTimerEvent*) override {
      killTimer(id);
      throw std::runtime_error("from a timer event");
    }

   public:
    int id = 0;
  } thrower;
  thrower.id = thrower.startTimer(0);
  EXPECT_TRUE(QTest::qWaitFor([&] { return reports.size() == 1u; }));
  EXPECT_EQ(reports[0].message, "from a timer event");
}

// Clicks the button labelled text in the crash-report dialog once it is open, after running
// whileOpen.
void AnswerReport(const QString& text, std::function<void()> whileOpen) {
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, [poll, text, whileOpen] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!dialog || dialog->objectName() != "CrashReportDialog") return;
    poll->stop();
    poll->deleteLater();
    whileOpen();
    for (QPushButton* button : dialog->findChildren<QPushButton*>())
      if (button->text() == text) button->click();
  });
  poll->start(5);
}

TEST(CrashReportDialogTest, ShowsTheMessageAndDetails) {
  CrashReportDialog dialog({"EConvertError", "'' is not a valid integer value", "#0 StrToInt at e.cpp:30\n", "", 0});
  const auto* details = dialog.findChild<QPlainTextEdit*>("details");
  ASSERT_NE(details, nullptr);
  EXPECT_THAT(details->toPlainText().toStdString(), HasSubstr("Class: EConvertError"));
  EXPECT_THAT(details->toPlainText().toStdString(), HasSubstr("#0 StrToInt at e.cpp:30"));
  std::vector<std::string> buttons;
  for (const QPushButton* b : dialog.findChildren<QPushButton*>()) buttons.push_back(b->text().toStdString());
  EXPECT_EQ(buttons, (std::vector<std::string>{"Continue", "Save report…", "Restart", "Close"}));
}

TEST(CrashReportDialogTest, OpensLargeEnoughToReadATypicalTraceAndNoLargerThanTheScreen) {
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  std::string typical;
  for (int i = 0; i < 12; ++i)
    typical += "#" + std::to_string(i) + " TForm1::Button" + std::to_string(i) + "Click() at /work/app/Unit1.cpp:" + std::to_string(100 + i) + "\n";
  std::string huge;
  for (int i = 0; i < 400; ++i) huge += "#" + std::to_string(i) + " " + std::string(600, 'x') + "\n";

  CrashReportDialog typicalDialog({"EConvertError", "'abc' is not a valid integer value", typical, "", 0});
  typicalDialog.show();
  const auto* details = typicalDialog.findChild<QPlainTextEdit*>("details");
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&typicalDialog));
  EXPECT_EQ(details->horizontalScrollBar()->maximum(), 0) << "lines cut off at width " << details->width();
  EXPECT_EQ(details->verticalScrollBar()->maximum(), 0) << "lines cut off at height " << details->height();

  CrashReportDialog hugeDialog({"EConvertError", "'abc' is not a valid integer value", huge, "", 0});
  EXPECT_LE(hugeDialog.width(), screen.width());
  EXPECT_LE(hugeDialog.height(), screen.height());
}

TEST(CrashReportDialogTest, HandlersCalledWhileTheReportIsOpenRunAfterContinue) {
  int held = 0;
  int ticks = 0;
  const int tickKey = 0;
  bool openWhileShown = false;
  AnswerReport("Continue", [&] {
    openWhileShown = platform::qt::ReportOpen();
    RunHandler([&] { ++held; });
    // Ticks of one timer are kept once.
    RunHandler([&] { ++ticks; }, true, &tickKey);
    RunHandler([&] { ++ticks; }, true, &tickKey);
    EXPECT_EQ(held, 0);
  });
  RunHandler([] { throw std::runtime_error("stop here"); });
  EXPECT_TRUE(openWhileShown);
  EXPECT_FALSE(platform::qt::ReportOpen());
  EXPECT_EQ(held, 1);
  EXPECT_EQ(ticks, 1);
}

// The application's message loop ends once a process (afterwards the web engine is shut down for
// good), so the loop runs in a child process of its own.
TEST(CrashReportDialogTest, CloseEndsTheMessageLoop) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        QTimer::singleShot(0, [] {
          AnswerReport("Close", [] {});
          RunHandler([] { throw std::runtime_error("fatal enough"); });
        });
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        guard.start(10000);
        const int code = QApplication::exec();
        std::fprintf(stderr, "message loop returned %d\n", code);
        std::fflush(stderr);
        std::_Exit(code);
      },
      ::testing::ExitedWithCode(1), "message loop returned 1");
}

}  // namespace
