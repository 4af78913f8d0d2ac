// "load state" in the real window: a state file that cannot be read is reported to the operator, and
// the tree that was showing, the store, the queue and the window stay as they were.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/Unit1.h"
#include "common/XmlPersistance.h"
#include "common/logging.h"
#include "model/helper.h"
#include "platform/fake/fake_host.h"
#include "platform/qt/crash_report.h"
#include "platform/qt/form_host.h"

using platform::fake::FakeBrowser;
using platform::qt::QtFormHost;
using platform::qt::TErrorReport;
using ::testing::HasSubstr;

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// text with every from replaced by to; from must occur.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  EXPECT_NE(text.find(from), std::string::npos) << from;
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// What the tree view shows: every row's caption, indented by its depth, in display order.
void CollectRows(const QAbstractItemModel& model, const QModelIndex& parent, int depth, std::vector<std::string>& rows) {
  for (int row = 0; row < model.rowCount(parent); ++row) {
    const QModelIndex index = model.index(row, 0, parent);
    rows.push_back(std::string(2 * depth, ' ') + model.data(index).toString().toStdString());
    CollectRows(model, index, depth + 1, rows);
  }
}

// The window on Qt with the fake browser, in a working directory of its own (where the state
// files go), with the XML persistence started and the model's classes registered as at start-up.
class LoadStateWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedLevel = LogLevel;
    LogLevel = llWarn;
    InitializeXmlPersistance();
    RegisterModelClasses();
    savedDir = fs::current_path();
    workDir = fs::temp_directory_path() / ("wexa-qt-load-" + std::to_string(::getpid()));
    fs::remove_all(workDir);
    fs::create_directories(workDir);
    fs::current_path(workDir);

    host = std::make_unique<QtFormHost>([](QWidget*) { return std::make_unique<FakeBrowser>(); });
    form = std::make_unique<TForm1>(*host);
    host->Show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(host->Window()));
  }
  void TearDown() override {
    platform::qt::SetErrorHook(nullptr);
    form.reset();
    host.reset();
    fs::current_path(savedDir);
    fs::remove_all(workDir);
    FinalizeXmlPersistance();
    LogLevel = savedLevel;
  }

  // A real category as the crawl shows it: the caption is the name.
  TCategory* AddReal(platform::TreeNode* parent, int id, const std::u16string& name, const std::string& caption) {
    auto* record = new TCategory(id, name, u"http://www.wexa.org/" + name + u"/", 5000 + id);
    form->Directory().AddCategory(record);
    form->Categories().AddChildObject(parent, caption, record);
    return record;
  }

  // A small crawl's tree: top-level categories, a nested one with a non-ASCII name, a symbolic
  // one, and two categories pending in the queue; saved with "save state" so that the files on disk
  // are the program's own.
  void ShowTreeAndSave() {
    AddReal(nullptr, 1, u"Arts", "Arts");
    TCategory* science = AddReal(nullptr, 2, u"Science", "Science");
    platform::TreeNode* scienceNode = form->Categories().TopLevel(1);
    TCategory* physics = AddReal(scienceNode, 3, u"Physik", "Physik");
    AddReal(scienceNode, 4, u"Künste", "Künste");
    auto* symbolic = new TSymbolicCategory(-1, u"Music", u"http://www.wexa.org/Arts/Music/");
    form->Directory().AddCategory(symbolic);
    form->Categories().AddChildObject(scienceNode, "Music@", symbolic);
    form->Queue().Push(science);
    form->Queue().Push(physics);
    Click("Button3");
    ASSERT_TRUE(fs::exists("tree.xml"));
    ASSERT_TRUE(fs::exists("queue.lst"));
  }

  void Click(const std::string& name) {
    auto* button = qobject_cast<QPushButton*>(host->Widget(name));
    ASSERT_NE(button, nullptr) << name;
    QTest::mouseClick(button, Qt::LeftButton);
  }

  std::vector<std::string> ShownRows() {
    auto* view = qobject_cast<QTreeView*>(host->Widget("categories"));
    std::vector<std::string> rows;
    if (view) CollectRows(*view->model(), QModelIndex(), 0, rows);
    return rows;
  }

  TLogLevel savedLevel = llAll;
  fs::path savedDir;
  fs::path workDir;
  std::unique_ptr<QtFormHost> host;
  std::unique_ptr<TForm1> form;
};

const std::vector<std::string> kShownTree = {"Arts", "Science", "  Physik", "  Künste", "  Music@"};

TEST_F(LoadStateWindowTest, ABadStateFileIsReportedAndTheShownTreeStaysAsItWas) {
  ShowTreeAndSave();
  ASSERT_EQ(ShownRows(), kShownTree);
  const std::string goodTree = ReadFile("tree.xml");
  const std::string goodQueue = ReadFile("queue.lst");

  struct TCase {
    const char* name;
    std::string tree;
    std::string queue;
    const char* errorClass;
    const char* messagePart;
  };
  const std::vector<TCase> cases = {
      {"not XML", "this is no tree\r\n", goodQueue, "EXmlDocumentError", "Cannot parse file \"tree.xml\": line 1: "},
      {"cut off half way", goodTree.substr(0, goodTree.size() / 2), goodQueue, "EXmlDocumentError",
       "Cannot parse file \"tree.xml\": line "},
      {"unregistered class", Replaced(goodTree, "TSymbolicCategory", "TNoSuchCategory"), goodQueue, "EXmlPersistance",
       "Xml class TNoSuchCategory is not registered."},
      {"number that is none", Replaced(goodTree, ">5003<", ">5k3<"), goodQueue, "EConvertError",
       "'5k3' is not a valid integer value"},
      {"queue line that is no number", goodTree, "3\r\nabc\r\n", "EConvertError", "'abc' is not a valid integer value"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile("tree.xml", c.tree);
    WriteFile("queue.lst", c.queue);
    std::vector<TErrorReport> reports;
    platform::qt::SetErrorHook([&reports](const TErrorReport& r) { reports.push_back(r); });
    Click("Button4");
    platform::qt::SetErrorHook(nullptr);

    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].className, c.errorClass) << reports[0].message;
    EXPECT_THAT(reports[0].message, HasSubstr(c.messagePart));
    EXPECT_EQ(ShownRows(), kShownTree);
    EXPECT_EQ(form->Categories().Count(), 5u);
    EXPECT_EQ(form->Directory().Categories().size(), 4u);
    EXPECT_EQ(form->Directory().SymbolicCategories().size(), 1u);
    EXPECT_EQ(form->Queue().Pending(), 2);
    EXPECT_TRUE(qobject_cast<QLabel*>(host->Widget("Label1"))->isHidden()) << "the WAIT label goes with the error";
    EXPECT_TRUE(host->Window()->isVisible());
  }

  // The files as saved load, and show the same tree: the failures above came from the damage alone.
  WriteFile("tree.xml", goodTree);
  WriteFile("queue.lst", goodQueue);
  std::vector<TErrorReport> reports;
  platform::qt::SetErrorHook([&reports](const TErrorReport& r) { reports.push_back(r); });
  Click("Button4");
  EXPECT_TRUE(reports.empty()) << reports[0].className << ": " << reports[0].message;
  EXPECT_EQ(ShownRows(), kShownTree);
  EXPECT_EQ(form->Queue().Pending(), 2);
}

TEST_F(LoadStateWindowTest, TheCrashReportDialogShowsTheErrorAndContinueLeavesTheTreeShown) {
  ShowTreeAndSave();
  WriteFile("tree.xml", Replaced(ReadFile("tree.xml"), ">5003<", ">abc<"));

  std::string shownMessage;
  bool treeUnchangedWhileOpen = false;
  // Owned here, so that it cannot outlive what it looks at when the dialog never opens.
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!dialog || dialog->objectName() != "CrashReportDialog") return;
    poll.stop();
    if (auto* message = dialog->findChild<QLabel*>("message")) shownMessage = message->text().toStdString();
    treeUnchangedWhileOpen = ShownRows() == kShownTree;
    for (QPushButton* button : dialog->findChildren<QPushButton*>())
      if (button->text() == "Continue") button->click();
  });
  poll.start(5);
  Click("Button4");

  EXPECT_EQ(shownMessage, "'abc' is not a valid integer value");
  EXPECT_TRUE(treeUnchangedWhileOpen);
  EXPECT_EQ(ShownRows(), kShownTree);
  EXPECT_EQ(form->Queue().Pending(), 2);
  EXPECT_TRUE(host->Window()->isVisible());
}

}  // namespace
