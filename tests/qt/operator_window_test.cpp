// The real window with the real WebEngine browser, driven as an operator drives it: "stop" and
// "start" clicked again and again while pages load from a distant-seeming sample site, a save and a
// load in the middle. The crawl must end in exactly the uninterrupted crawl's tree.xml.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "app/Unit1.h"
#include "platform/qt/crash_report.h"
#include "platform/qt/form_host.h"
#include "platform/qt/web_browser.h"
#include "tests/qt/event_loop.h"
#include "tests/support/model_environment.h"

// Built only where the sample site is.
#ifdef WEXA_SAMPLE_SITE
namespace {

using qt_test::WaitUntil;

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The sample site as a child process on 127.0.0.1, every response delayed as a distant server's.
class SampleSiteProcess {
 public:
  explicit SampleSiteProcess(const QStringList& args) {
    process_.start(QString::fromUtf8(WEXA_SAMPLE_SITE), QStringList{"--print-port"} + args);
    if (!process_.waitForStarted(10000)) return;
    WaitUntil([&] { return process_.canReadLine(); }, 10000);
    port_ = QString::fromUtf8(process_.readLine()).trimmed().toInt();
  }
  ~SampleSiteProcess() {
    process_.terminate();
    if (!process_.waitForFinished(5000)) process_.kill();
    process_.waitForFinished(5000);
  }
  int Port() const { return port_; }

 private:
  QProcess process_;
  int port_ = 0;
};

// A working folder of its own, made current while it lives: the state files go there.
class CurrentFolder {
 public:
  explicit CurrentFolder(const std::filesystem::path& path) : previous_(std::filesystem::current_path()) {
    std::filesystem::create_directories(path);
    std::filesystem::current_path(path);
  }
  ~CurrentFolder() { std::filesystem::current_path(previous_); }

 private:
  std::filesystem::path previous_;
};

// The window with the WebEngine browser, shown on the offscreen platform. A message box that opens
// is recorded and closed, so that the test never waits on it.
class OperatorWindow {
 public:
  OperatorWindow()
      : host_(platform::qt::WebBrowserFactory(platform::qt::TWebBrowserOptions{})), form_(host_) {
    QObject::connect(&boxes_, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      messages.push_back(box->text().toStdString());
      box->done(QMessageBox::Yes);
    });
    boxes_.start(5);
    host_.Show();
  }
  void Click(const std::string& name) {
    auto* button = qobject_cast<QPushButton*>(host_.Widget(name));
    ASSERT_NE(button, nullptr) << name;
    QTest::mouseClick(button, Qt::LeftButton);
  }
  TForm1& Form() { return form_; }
  // True once the finished crawl has saved its state.
  bool Finished() {
    return form_.Controls().StatusBar1->SimpleText().rfind("*** FINISHED ***", 0) == 0 &&
           !form_.Controls().Label1->Visible();
  }

  std::vector<std::string> messages;

 private:
  QTimer boxes_;
  platform::qt::QtFormHost host_;
  TForm1 form_;
};

class OperatorWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() / ("wexa-operator-window-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder_);
    platform::qt::SetErrorHook([this](const platform::qt::TErrorReport& report) { errors_.push_back(report.message); });
  }
  void TearDown() override {
    platform::qt::SetErrorHook(nullptr);
    unsetenv("WEXA_ROOT_URL");
    unsetenv("WEXA_SEARCH_HOST");
    std::filesystem::remove_all(folder_);
  }
  // The XML persistence started with the model's classes, as at program start.
  test_support::ModelPersistence persistence_;
  std::filesystem::path folder_;
  std::vector<std::string> errors_;
};

TEST_F(OperatorWindowTest, StopAndStartDuringLoadsWithASaveAndALoadEndInTheUninterruptedTree) {
  // Every count at least 5000: the form's minimum takes every category and asks nothing.
  SampleSiteProcess site({"--seed", "11", "--categories", "60", "--top-level", "5", "--min-count", "5000",
                          "--max-count", "9000", "--no-count-ratio", "0", "--latency", "40"});
  ASSERT_GT(site.Port(), 0) << "the sample site did not start";
  setenv("WEXA_ROOT_URL", ("http://127.0.0.1:" + std::to_string(site.Port())).c_str(), 1);
  setenv("WEXA_SEARCH_HOST", "search.wexa.org", 1);

  std::string reference;
  {
    CurrentFolder here(folder_ / "reference");
    OperatorWindow window;
    window.Click("Button2");
    ASSERT_TRUE(WaitUntil([&] { return window.Finished(); }, 120000))
        << "the uninterrupted crawl did not finish: " << window.Form().Controls().StatusBar1->SimpleText();
    ASSERT_TRUE(window.messages.empty()) << window.messages.front();
    reference = ReadAll("tree.xml");
    ASSERT_EQ(window.Form().CategoryCount(), 60);
  }

  CurrentFolder here(folder_ / "interrupted");
  OperatorWindow window;
  window.Click("Button2");
  int cancelled = 0;
  const int cycles = 10;
  for (int k = 0; k < cycles; ++k) {
    SCOPED_TRACE("cycle " + std::to_string(k));
    // A few more pages each time, then "stop" and at once "start", while the next page loads.
    const int target = 6 + 4 * k;
    ASSERT_TRUE(WaitUntil([&] { return window.Form().CategoryCount() >= target || window.Finished(); }, 60000));
    if (window.Finished()) break;
    window.Click("Button1");
    if (window.Form().AwaitingPage()) ++cancelled;
    if (k == cycles / 2) {
      window.Click("Button3");  // save
      window.Click("Button4");  // load
    }
    window.Click("Button2");
  }
  ASSERT_TRUE(WaitUntil([&] { return window.Finished(); }, 120000))
      << "the interrupted crawl did not finish: " << window.Form().Controls().StatusBar1->SimpleText();
  EXPECT_TRUE(window.messages.empty()) << window.messages.front();
  for (const std::string& e : errors_) ADD_FAILURE() << "handler error: " << e;
  EXPECT_GE(cancelled, 3) << "too few clicks landed while a page loaded; the test proves little";
  EXPECT_TRUE(ReadAll("tree.xml") == reference) << "tree.xml differs from the uninterrupted crawl's";
  EXPECT_EQ(ReadAll("queue.lst"), "");
}

// The window's process killed during a crawl (no closing question, no save): started again in the
// same folder, "load state" and "start" end in exactly the uninterrupted crawl's tree.xml.
TEST_F(OperatorWindowTest, AWindowKilledDuringACrawlLoadsAndFinishesInTheUninterruptedTree) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The killed window runs in a child process that runs this test again up to the kill; the folder
  // and the site come from the parent through the environment.
  std::optional<SampleSiteProcess> site;
  if (std::getenv("WEXA_KILLED_WINDOW_PORT") == nullptr) {
    site.emplace(QStringList{"--seed", "11", "--categories", "60", "--top-level", "5", "--min-count", "5000",
                             "--max-count", "9000", "--no-count-ratio", "0", "--latency", "20"});
    ASSERT_GT(site->Port(), 0) << "the sample site did not start";
    setenv("WEXA_KILLED_WINDOW_PORT", std::to_string(site->Port()).c_str(), 1);
    setenv("WEXA_KILLED_WINDOW_FOLDER", (folder_ / "killed").c_str(), 1);
  }
  const std::string root = std::string("http://127.0.0.1:") + std::getenv("WEXA_KILLED_WINDOW_PORT");
  const std::filesystem::path killed = std::getenv("WEXA_KILLED_WINDOW_FOLDER");
  setenv("WEXA_ROOT_URL", root.c_str(), 1);
  setenv("WEXA_SEARCH_HOST", "search.wexa.org", 1);
  EXPECT_EXIT(
      {
        CurrentFolder here(killed);
        OperatorWindow window;
        window.Click("Button2");
        WaitUntil([&] { return window.Form().CategoryCount() >= 30; }, 60000);
        std::raise(SIGKILL);
      },
      ::testing::KilledBySignal(SIGKILL), "");
  unsetenv("WEXA_KILLED_WINDOW_PORT");
  unsetenv("WEXA_KILLED_WINDOW_FOLDER");
  ASSERT_TRUE(std::filesystem::exists(killed / "crawl.journal"));
  ASSERT_FALSE(std::filesystem::exists(killed / "tree.xml")) << "nothing was saved before the kill";

  std::string reference;
  {
    CurrentFolder here(folder_ / "reference");
    OperatorWindow window;
    window.Click("Button2");
    ASSERT_TRUE(WaitUntil([&] { return window.Finished(); }, 120000));
    reference = ReadAll("tree.xml");
  }
  CurrentFolder here(killed);
  OperatorWindow window;
  window.Click("Button4");
  EXPECT_GE(window.Form().CategoryCount(), 30) << "the journal's pages are loaded";
  window.Click("Button2");
  ASSERT_TRUE(WaitUntil([&] { return window.Finished(); }, 120000))
      << "the resumed crawl did not finish: " << window.Form().Controls().StatusBar1->SimpleText();
  for (const std::string& e : errors_) ADD_FAILURE() << "handler error: " << e;
  EXPECT_TRUE(ReadAll("tree.xml") == reference) << "tree.xml differs from the uninterrupted crawl's";
  EXPECT_EQ(ReadAll("queue.lst"), "");
}

}  // namespace
#endif  // WEXA_SAMPLE_SITE
