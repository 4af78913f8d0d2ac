// The real window built by QtFormHost from the form's control table, driven through Qt events:
// geometry and anchors, captions, fonts, the key filter, the start button, the timer and the
// error report.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <cstdio>
#include <cstdlib>

#include "app/Unit1.h"
#include "app/config.h"
#include "platform/fake/fake_dom.h"
#include "platform/fake/fake_host.h"
#include "platform/qt/crash_report.h"
#include "platform/qt/form_host.h"
#include "platform/text.h"

using platform::TControlKind;
using platform::TControlSpec;
using platform::TFormSpec;
using platform::fake::FakeBrowser;
using platform::qt::QtFormHost;
using platform::qt::TErrorReport;

namespace {

// Answers every message box that opens while it lives, recording its text.
class MessageBoxAnswerer {
 public:
  explicit MessageBoxAnswerer(QMessageBox::StandardButton answer) : answer_(answer) {
    QObject::connect(&poll_, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      texts.push_back(box->text().toStdString());
      box->button(answer_)->click();
    });
    poll_.start(5);
  }
  std::vector<std::string> texts;

 private:
  QMessageBox::StandardButton answer_;
  QTimer poll_;
};

// Records the errors that leave handlers instead of opening the report dialog.
class ErrorRecorder {
 public:
  ErrorRecorder() {
    platform::qt::SetErrorHook([this](const TErrorReport& report) { reports.push_back(report); });
  }
  ~ErrorRecorder() { platform::qt::SetErrorHook(nullptr); }
  std::vector<TErrorReport> reports;
};

QRect DesignRect(const TControlSpec& c) { return QRect(c.left, c.top, c.width, c.height); }

class QtFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host = std::make_unique<QtFormHost>([this](QWidget*) {
      auto fake = std::make_unique<FakeBrowser>();
      browser = fake.get();
      return fake;
    });
    form = std::make_unique<TForm1>(*host);
    table = Form1Layout(*form);
  }
  void TearDown() override {
    form.reset();
    host.reset();
  }
  void ShowWindow() {
    host->Show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(host->Window()));
  }
  template <class T>
  T* Get(const std::string& name) {
    auto* widget = qobject_cast<T*>(host->Widget(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  void Click(const std::string& name) { QTest::mouseClick(Get<QPushButton>(name), Qt::LeftButton); }

  std::unique_ptr<QtFormHost> host;
  std::unique_ptr<TForm1> form;
  FakeBrowser* browser = nullptr;
  TFormSpec table;
};

TEST_F(QtFormTest, BuildsEveryControlOfTheTableWithItsGeometryCaptionAndKind) {
  QWidget* window = host->Window();
  EXPECT_EQ(window->objectName(), "Form1");
  EXPECT_EQ(window->size(), QSize(592, 416));
  EXPECT_EQ(window->pos(), QPoint(192, 114));
  EXPECT_TRUE(host->Caption().starts_with("Wexa Category Scraper - ")) << host->Caption();
  EXPECT_FALSE(window->isVisible()) << "Build leaves the window hidden";

  for (const TControlSpec& c : table.controls) {
    SCOPED_TRACE(c.name);
    if (c.kind == TControlKind::ckTimer || c.kind == TControlKind::ckBrowser) continue;
    QWidget* widget = host->Widget(c.name);
    ASSERT_NE(widget, nullptr);
    const QString caption = QString::fromStdString(c.caption);
    switch (c.kind) {
      case TControlKind::ckLabel: EXPECT_EQ(qobject_cast<QLabel*>(widget)->text(), caption); break;
      case TControlKind::ckButton: EXPECT_EQ(qobject_cast<QPushButton*>(widget)->text(), caption); break;
      case TControlKind::ckEdit: EXPECT_EQ(qobject_cast<QLineEdit*>(widget)->text(), caption); break;
      case TControlKind::ckMemo: EXPECT_EQ(qobject_cast<QPlainTextEdit*>(widget)->toPlainText(), caption); break;
      case TControlKind::ckTreeView: EXPECT_NE(qobject_cast<QTreeView*>(widget), nullptr); break;
      case TControlKind::ckPanel: EXPECT_NE(qobject_cast<QFrame*>(widget), nullptr); break;
      default: break;
    }
    EXPECT_EQ(widget->geometry(), DesignRect(c));
    EXPECT_EQ(widget->isHidden(), !c.visible);
  }
}

TEST_F(QtFormTest, ControlsCarryTheirSettings) {
  auto* label1 = Get<QLabel>("Label1");
  EXPECT_TRUE(label1->font().bold());
  EXPECT_GE(label1->font().pixelSize(), 20) << "the big WAIT label";
  EXPECT_EQ(label1->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  EXPECT_FALSE(form->Controls().Label1->Visible());
  EXPECT_TRUE(Get<QLabel>("Label2")->wordWrap());
  // How far Label3 shrinks depends on the machine's fonts; what must hold is that its text fits its
  // box and that it never grows beyond the form's font.
  auto* label3 = Get<QLabel>("Label3");
  const QFontMetrics label3Metrics(label3->font());
  EXPECT_LE(label3Metrics.horizontalAdvance(label3->text()), 167) << "Label3's text fits its box";
  EXPECT_LE(label3Metrics.height(), 13);
  EXPECT_LE(label3->font().pixelSize(), Get<QPushButton>("Button1")->font().pixelSize());

  auto* tree = Get<QTreeView>("categories");
  EXPECT_EQ(tree->indentation(), 19);
  EXPECT_TRUE(tree->uniformRowHeights());

  auto* memo = Get<QPlainTextEdit>("Memo1");
  EXPECT_EQ(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(memo->lineWrapMode(), QPlainTextEdit::NoWrap);

  QTimer* reloader = host->TimerOf("reloader");
  ASSERT_NE(reloader, nullptr);
  EXPECT_FALSE(reloader->isActive());
  EXPECT_EQ(reloader->interval(), 30000);
}

TEST_F(QtFormTest, TabOrderFollowsTheTable) {
  std::vector<std::string> expected;
  std::vector<std::pair<int, std::string>> ordered;
  for (const TControlSpec& c : table.controls) {
    QWidget* widget = host->Widget(c.name);
    if (c.tabOrder >= 0 && widget && widget->focusPolicy() != Qt::NoFocus) ordered.emplace_back(c.tabOrder, c.name);
  }
  std::sort(ordered.begin(), ordered.end());
  for (const auto& entry : ordered) expected.push_back(entry.second);

  std::vector<std::string> chain;
  QWidget* first = host->Widget(expected.front());
  QWidget* widget = first;
  do {
    if (widget->focusPolicy() & Qt::TabFocus) chain.push_back(widget->objectName().toStdString());
    widget = widget->nextInFocusChain();
  } while (widget != first && chain.size() < 50);
  chain.resize(std::min(chain.size(), expected.size()));
  EXPECT_EQ(chain, expected);
  EXPECT_EQ(expected, (std::vector<std::string>{"categories", "Button1", "Button2", "Memo1", "Edit1", "Button3", "Button4"}));
}

TEST_F(QtFormTest, ResizingKeepsEveryControlsAnchoredEdges) {
  ShowWindow();
  const int dx = 100, dy = 80;
  host->Window()->resize(592 + dx, 416 + dy);
  EXPECT_TRUE(QTest::qWaitFor([&] { return host->Window()->size() == QSize(592 + dx, 416 + dy); }));

  for (const TControlSpec& c : table.controls) {
    SCOPED_TRACE(c.name);
    if (c.kind == TControlKind::ckTimer || c.kind == TControlKind::ckBrowser) continue;
    QRect expected = DesignRect(c);
    if (c.align == platform::TAlign::alBottom) {
      expected = QRect(0, 416 + dy - c.height, 592 + dx, c.height);
    } else {
      // Both edges: stretches; the far edge only: moves; the near edge only: stays.
      if (c.anchors.left && c.anchors.right) expected.setWidth(c.width + dx);
      else if (c.anchors.right) expected.moveLeft(c.left + dx);
      if (c.anchors.top && c.anchors.bottom) expected.setHeight(c.height + dy);
      else if (c.anchors.bottom) expected.moveTop(c.top + dy);
    }
    EXPECT_EQ(host->Widget(c.name)->geometry(), expected);
  }
  // Spot checks against the numbers, independent of the loop's rules.
  EXPECT_EQ(host->Widget("categories")->geometry(), QRect(0, 0, 342, 477));
  EXPECT_EQ(host->Widget("Button2")->geometry(), QRect(589, 210, 48, 25));
  EXPECT_EQ(host->Widget("Button3")->geometry(), QRect(312, 130, 75, 25));
  EXPECT_EQ(host->Widget("Panel1")->geometry(), QRect(350, 56, 337, 151));
  EXPECT_EQ(host->Widget("Label2")->geometry(), QRect(349, 8, 337, 41));
  EXPECT_EQ(host->Widget("StatusBar1")->geometry(), QRect(0, 477, 692, 19));

  host->Window()->resize(592, 416);
  EXPECT_TRUE(QTest::qWaitFor([&] { return host->Window()->size() == QSize(592, 416); }));
  for (const TControlSpec& c : table.controls) {
    if (c.kind == TControlKind::ckTimer || c.kind == TControlKind::ckBrowser) continue;
    EXPECT_EQ(host->Widget(c.name)->geometry(), DesignRect(c)) << c.name << " returns to its place";
  }
}

TEST_F(QtFormTest, KeyFilterLetsOnlyDigitsAndBackspaceThrough) {
  ShowWindow();
  auto* edit = Get<QLineEdit>("Edit1");
  edit->setFocus();
  edit->end(false);
  QTest::keyClicks(edit, "a1b2 X-+.");
  EXPECT_EQ(edit->text(), "500012");
  QTest::keyClick(edit, Qt::Key_Backspace);
  EXPECT_EQ(edit->text(), "50001");
  // Keys that type no character move and delete as usual.
  QTest::keyClick(edit, Qt::Key_Home);
  QTest::keyClick(edit, Qt::Key_Delete);
  EXPECT_EQ(edit->text(), "0001");
  QTest::keyClick(edit, Qt::Key_Right);
  QTest::keyClicks(edit, "9");
  EXPECT_EQ(edit->text(), "09001");
  // Control+V types a control character, which the filter discards: no paste from the keyboard.
  QApplication::clipboard()->setText("77");
  QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(edit->text(), "09001");
  EXPECT_EQ(form->Controls().Edit1->Text(), "09001");
}

TEST_F(QtFormTest, StartWithAnEmptyTreeAsksNothingAtFiveThousandAndNavigatesToTheRoot) {
  ShowWindow();
  MessageBoxAnswerer answerer(QMessageBox::No);
  ASSERT_EQ(Get<QLineEdit>("Edit1")->text(), "5000");
  Click("Button2");
  EXPECT_TRUE(answerer.texts.empty());
  EXPECT_EQ(browser->navigations, std::vector<std::u16string>{config::RootUrl()});
  EXPECT_FALSE(form->Stopped());
  EXPECT_EQ(form->MinContent(), 5000);
  QTimer* reloader = host->TimerOf("reloader");
  EXPECT_TRUE(reloader->isActive());
  EXPECT_GT(reloader->remainingTime(), 29000);
}

TEST_F(QtFormTest, StartBelowFiveThousandAsksAndNoLeavesTheCrawlStopped) {
  ShowWindow();
  MessageBoxAnswerer answerer(QMessageBox::No);
  Get<QLineEdit>("Edit1")->setText("4999");
  Click("Button2");
  ASSERT_EQ(answerer.texts.size(), 1u);
  EXPECT_THAT(answerer.texts[0], ::testing::StartsWith("For the minimum content level you choosed"));
  EXPECT_TRUE(browser->navigations.empty());
  EXPECT_TRUE(form->Stopped());
  EXPECT_EQ(form->MinContent(), 4999);
}

TEST_F(QtFormTest, RootPageFillsTheTreeViewThroughTheModel) {
  ShowWindow();
  Click("Button2");
  using namespace platform::fake;
  const std::u16string root = config::RootUrl();
  auto cell = [](const char16_t* name, const char16_t* href) { return El(u"TD", {El(u"A", {{u"href", href}}, {Text(name)})}); };
  auto document = MakeDocument({El(u"TABLE", {El(u"TR", {El(u"TD", {Text(u"search")})})}),
                                El(u"TABLE", {El(u"TR", {cell(u"Arts", u"/Arts/"), cell(u"Games", u"/Games/")})}),
                                Text(platform::FromUtf8(config::SearchHost()))},
                               root);
  browser->Complete(FakePage{root, u"Talmorex - home", true, document});

  auto* view = Get<QTreeView>("categories");
  ASSERT_EQ(view->model()->rowCount(), 2);
  EXPECT_EQ(view->model()->index(0, 0).data().toString(), "Arts");
  EXPECT_EQ(view->model()->index(1, 0).data().toString(), "Games");
  ASSERT_EQ(browser->navigations.size(), 2u);
  EXPECT_EQ(browser->navigations[1], root + u"/Arts/");
  EXPECT_EQ(form->Controls().StatusBar1->SimpleText(), "Categories: 2 | Symbolic categories: 0 | Queue: 2");
}

TEST_F(QtFormTest, AnErrorLeavingAHandlerIsReportedAndTheWindowStaysOpen) {
  ShowWindow();
  ErrorRecorder errors;
  Get<QLineEdit>("Edit1")->setText("");
  Click("Button2");
  ASSERT_EQ(errors.reports.size(), 1u);
  EXPECT_EQ(errors.reports[0].className, "EConvertError");
  EXPECT_EQ(errors.reports[0].message, "'' is not a valid integer value");
  EXPECT_THAT(errors.reports[0].stackTrace, ::testing::HasSubstr("StrToInt"));
  EXPECT_TRUE(host->Window()->isVisible());
  EXPECT_TRUE(form->Stopped());

  // The window still works afterwards.
  Get<QLineEdit>("Edit1")->setText("6000");
  Click("Button2");
  EXPECT_EQ(errors.reports.size(), 1u);
  EXPECT_EQ(browser->navigations.size(), 1u);
}

TEST_F(QtFormTest, ABrowserEventHandlerErrorIsReported) {
  ShowWindow();
  ErrorRecorder errors;
  Click("Button2");
  // A home page without its category table: the parser refuses it.
  const std::u16string root = config::RootUrl();
  auto document = platform::fake::MakeDocument({platform::fake::Text(platform::FromUtf8(config::SearchHost()))}, root);
  browser->Complete(platform::fake::FakePage{root, u"Talmorex - home", true, document});
  ASSERT_EQ(errors.reports.size(), 1u);
  EXPECT_EQ(errors.reports[0].className, "EAutomationError");
  EXPECT_EQ(form->Categories().Count(), 0u);
  EXPECT_FALSE(host->TimerOf("reloader")->isActive()) << "the crawl stands where the error left it";
}

TEST_F(QtFormTest, StatusBarMemoAndLabelAdapters) {
  const auto& controls = form->Controls();
  controls.StatusBar1->SetSimpleText("Categories: 1 | Symbolic categories: 0 | Queue: 0");
  EXPECT_EQ(controls.StatusBar1->SimpleText(), "Categories: 1 | Symbolic categories: 0 | Queue: 0");
  EXPECT_TRUE(controls.Memo1->Lines().empty());
  controls.Memo1->AddLine("Retrying server (http://x)...");
  controls.Memo1->AddLine("TIMER: Reloading page http://x...");
  EXPECT_EQ(controls.Memo1->Lines(),
            (std::vector<std::string>{"Retrying server (http://x)...", "TIMER: Reloading page http://x..."}));
  controls.Label1->Show();
  EXPECT_TRUE(controls.Label1->Visible());
  EXPECT_FALSE(Get<QLabel>("Label1")->isHidden());
  controls.Label1->Hide();
  EXPECT_FALSE(controls.Label1->Visible());
}

TEST_F(QtFormTest, ReloaderRestartsAFullIntervalOnlyWhenDisabledAndEnabledAgain) {
  platform::ITimer* reloader = form->Controls().reloader;
  QTimer* timer = host->TimerOf("reloader");
  reloader->SetEnabled(true);
  EXPECT_TRUE(reloader->Enabled());
  EXPECT_EQ(reloader->Interval(), 30000);
  QTest::qWait(300);
  reloader->SetEnabled(true);
  EXPECT_LT(timer->remainingTime(), 29850) << "enabling an enabled timer does not restart it";
  reloader->SetEnabled(false);
  reloader->SetEnabled(true);
  EXPECT_GT(timer->remainingTime(), 29850);
  reloader->SetEnabled(false);
  EXPECT_FALSE(reloader->Enabled());
}

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
 public:
  explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
  int paints = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

TEST_F(QtFormTest, AHandlerProcessingMessagesInALoopRepaintsOnlyNowAndThen) {
  ShowWindow();
  auto* statusBar = static_cast<platform::qt::StatusBarWidget*>(host->Widget("StatusBar1"));
  PaintCounter counter(statusBar);
  QElapsedTimer clock;
  clock.start();
  int calls = 0;
  while (clock.elapsed() < 400) {
    form->Controls().StatusBar1->SetSimpleText("item " + std::to_string(++calls));
    host->Application().ProcessMessages();
  }
  EXPECT_GT(calls, 1000) << "the loop itself stays fast";
  EXPECT_GE(counter.paints, 2);
  EXPECT_LE(counter.paints, 400 / platform::qt::QtApplicationServices::kPaintIntervalMs + 3);
  // Once the loop is over, the last text is painted.
  const int before = counter.paints;
  EXPECT_TRUE(QTest::qWaitFor([&] { return counter.paints > before; }, 2000));
  EXPECT_EQ(statusBar->DisplayedText().toStdString(), "item " + std::to_string(calls));
}

// The application's message loop ends once a process: when it returns, Qt announces the end of the
// application and the web engine shuts down for good, so no later test of this process could load a
// page. The loop runs in a child process of its own.
// Closing asks "Do you want to save the state?" with Yes, No and Cancel. Escape is Cancel: the
// window stays open. No closes it and ends the message loop, and FormDestroy asks no more.
TEST_F(QtFormTest, ClosingTheWindowAsksEscapeKeepsItOpenAndNoEndsTheMessageLoop) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        host->Show();
        if (!QTest::qWaitForWindowExposed(host->Window())) std::_Exit(3);
        int buttons = 0;
        QTimer escape;
        QObject::connect(&escape, &QTimer::timeout, [&] {
          auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
          if (!box || buttons != 0) return;
          for (QAbstractButton* b : box->buttons()) buttons |= box->standardButton(b);
          QTest::keyClick(box, Qt::Key_Escape);
        });
        escape.start(5);
        const bool closed = host->Window()->close();
        escape.stop();
        const bool open = host->Window()->isVisible();
        MessageBoxAnswerer answerer(QMessageBox::No);
        QTimer::singleShot(0, host->Window(), [this] { host->Window()->close(); });
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        guard.start(10000);
        const int code = QApplication::exec();
        form->FormDestroy();
        std::fprintf(stderr, "escape: closed %d, open %d, buttons %s; questions %zu; message loop returned %d\n",
                     closed, open, buttons == (QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel) ? "Yes No Cancel" : "others",
                     answerer.texts.size(), code);
        std::fflush(stderr);
        std::_Exit(code);
      },
      ::testing::ExitedWithCode(0),
      "escape: closed 0, open 1, buttons Yes No Cancel; questions 1; message loop returned 0");
}

// ---- a form of its own: timer ticks and the placeholder browser ----------------------------------

TFormSpec SmallForm(int* ticks) {
  TFormSpec f;
  f.name = "Small";
  f.caption = "small";
  f.width = 300;
  f.height = 200;
  f.clientWidth = 300;
  f.clientHeight = 200;
  TControlSpec panel;
  panel.name = "Panel1";
  panel.kind = TControlKind::ckPanel;
  panel.left = 10, panel.top = 10, panel.width = 100, panel.height = 50;
  panel.anchors = {true, true, true, true};
  f.controls.push_back(panel);
  TControlSpec browser;
  browser.name = "browser";
  browser.kind = TControlKind::ckBrowser;
  browser.parent = "Panel1";
  browser.left = 1, browser.top = 1, browser.width = 98, browser.height = 48;
  browser.align = platform::TAlign::alClient;
  f.controls.push_back(browser);
  TControlSpec timer;
  timer.name = "ticker";
  timer.kind = TControlKind::ckTimer;
  timer.enabled = true;
  timer.interval = 5;
  timer.onTimer = [ticks] { ++*ticks; };
  f.controls.push_back(timer);
  return f;
}

TEST(QtFormHostTest, PlaceholderBrowserFillsItsPanelAndRecordsTheAddress) {
  int ticks = 0;
  QtFormHost host;
  const platform::TFormControls controls = host.Build(SmallForm(&ticks));
  QWidget* placeholder = host.Widget("browser");
  ASSERT_NE(placeholder, nullptr);
  EXPECT_EQ(placeholder->parentWidget(), host.Widget("Panel1"));
  EXPECT_EQ(placeholder->geometry(), QRect(1, 1, 98, 48));
  host.Show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(host.Window()));
  host.Window()->resize(350, 230);
  EXPECT_TRUE(QTest::qWaitFor([&] { return host.Widget("Panel1")->size() == QSize(150, 80); }));
  EXPECT_EQ(placeholder->geometry(), QRect(1, 1, 148, 78));

  controls.browser->Navigate(u"http://example.org/a/");
  EXPECT_EQ(controls.browser->LocationURL(), u"http://example.org/a/");
  EXPECT_EQ(controls.browser->ReadyState(), platform::kReadyStateComplete);
  EXPECT_TRUE(QTest::qWaitFor([&] { return ticks > 0; }));
}

TEST(QtFormHostTest, UnknownParentIsRefused) {
  TFormSpec f;
  f.name = "Bad";
  TControlSpec orphan;
  orphan.name = "orphan";
  orphan.kind = TControlKind::ckButton;
  orphan.parent = "Nowhere";
  f.controls.push_back(orphan);
  QtFormHost host;
  EXPECT_THROW(host.Build(f), std::invalid_argument);
}

}  // namespace
