// The whole command: options, refusal to replace an output, and failures that leave no output, both
// through RunExportTool and through the built program's exit status.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <sstream>

#include "export_fixture.h"
#include "export_tool.h"
#include "output_file.h"

namespace export_test {
namespace {

using namespace exporter;

class CommandTest : public ExportTest {
 protected:
  void SetUp() override {
    ExportTest::SetUp();
    tree_ = SaveBuiltTree("tree.xml", [](platform::TreeView& t) {
      auto* a = Real(t, nullptr, 1, u"A", u"http://w/A/", -1);
      Real(t, a, 2, u"B", u"http://w/B/", 5);
    });
  }

  int Run(const std::vector<std::string>& args) {
    out_.str("");
    err_.str("");
    return RunExportTool(args, out_, err_);
  }

  // stderr holds exactly one line, beginning with the program's name.
  void ExpectOneErrorLine() {
    const std::string err = err_.str();
    EXPECT_TRUE(err.starts_with("wexa-export: ")) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_TRUE(err.ends_with("\n")) << err;
  }

  std::string tree_;
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(CommandTest, ExistingOutputIsKeptWithoutForceAndReplacedWithIt) {
  WriteFile(Path("out.csv"), "mine");
  EXPECT_EQ(Run({"-o", Path("out.csv"), tree_}), 2);
  EXPECT_EQ(err_.str(), "wexa-export: " + Path("out.csv") + " exists already; use --force to replace it\n");
  EXPECT_EQ(ReadFile(Path("out.csv")), "mine");

  WriteFile(Path("queue.lst"), "2\r\n");
  EXPECT_EQ(Run({"--force", "--output=" + Path("out.csv"), tree_}), 0);
  EXPECT_EQ(err_.str(), "");
  EXPECT_EQ(ReadFile(Path("out.csv")),
            "id,kind,name,address,content,parent_id,depth,path,visited\r\n"
            "1,category,A,http://w/A/,-1,,1,A,true\r\n"
            "2,category,B,http://w/B/,5,1,2,A / B,false\r\n");

  // The diff refuses the same way, also when its trees are fine.
  EXPECT_EQ(Run({"--diff", "-o", Path("out.csv"), tree_, tree_}), 2);
  EXPECT_TRUE(ReadFile(Path("out.csv")).starts_with("id,"));
  EXPECT_EQ(Run({"--diff", "-o", Path("out.csv"), "--force", tree_, tree_}), 0);
  EXPECT_EQ(ReadFile(Path("out.csv")), "change,address,old_name,new_name,old_content,new_content\r\n");
  EXPECT_EQ(FolderEntries(), (std::vector<std::string>{"out.csv", "queue.lst", "tree.xml"}));
}

TEST_F(CommandTest, OutputThatAppearsDuringTheRunIsNotReplaced) {
  TOutputFile file(Path("out.csv"), false);
  file.Write("new");
  WriteFile(Path("out.csv"), "someone else's");
  EXPECT_THROW(file.Commit(), EOutputExists);
  EXPECT_EQ(ReadFile(Path("out.csv")), "someone else's");
}

TEST_F(CommandTest, BadInputFailsOnOneLineAndLeavesNoOutput) {
  WriteFile(Path("malformed.xml"), "<DUMMY_NODE><TXMLTreeNode>\n<Data isNull=\"true\"/>");
  WriteFile(Path("store.xml"), "<DUMMY_NODE><TWexa><Categories/><SymbolicCategories/></TWexa></DUMMY_NODE>");
  WriteFile(Path("bad.lst"), "1\r\nnot a number\r\n");
  const std::string out = Path("out.csv");
  const std::vector<std::vector<std::string>> cases = {
      {"-o", out, Path("missing.xml")},
      {"-o", out, Path("malformed.xml")},
      {"-o", out, Path("store.xml")},
      {"-o", out, "--queue", Path("bad.lst"), tree_},
      {"-o", out, "--queue", Path("missing.lst"), tree_},
      {"-o", out, "--format", "xml", tree_},
      {"-o", out, "--colour", tree_},
      {"-o", out},
      {tree_},
      {"-o", out, tree_, tree_},
      {"-o", out, "--queue", Path("bad.lst"), "--diff", tree_, tree_},
      {"--diff", "-o", out, tree_},
      {"--diff", "-o", out, tree_, Path("malformed.xml")},
      {"-o", out, "--force=yes", tree_},
      {"-o", out, "-o", out, tree_},
      {"-o", Path("no-such-folder/out.csv"), tree_},
  };
  for (const auto& args : cases) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    SCOPED_TRACE(joined);
    EXPECT_EQ(Run(args), 2);
    ExpectOneErrorLine();
    EXPECT_EQ(out_.str(), "");
    EXPECT_EQ(FolderEntries(), (std::vector<std::string>{"bad.lst", "malformed.xml", "store.xml", "tree.xml"}));
  }
  // A malformed queue file beside the tree is found without --queue and fails the same way.
  WriteFile(Path("queue.lst"), "x");
  EXPECT_EQ(Run({"-o", out, tree_}), 2);
  EXPECT_EQ(err_.str(), "wexa-export: " + Path("queue.lst") + ", line 1: 'x' is not a valid integer value\n");
}

TEST_F(CommandTest, MissingQueueFileIsNotedAndEveryRealCategoryIsVisited) {
  EXPECT_EQ(Run({"--format", "jsonl", "-o", Path("out.jsonl"), tree_}), 0);
  EXPECT_EQ(err_.str(), "wexa-export: no queue.lst beside " + tree_ + "; every real category counts as visited\n");
  const std::string json = ReadFile(Path("out.jsonl"));
  EXPECT_EQ(std::count(json.begin(), json.end(), '\n'), 2);
  EXPECT_EQ(json.find("\"visited\":false"), std::string::npos);
}

TEST_F(CommandTest, DiffWithoutOutputGoesToStandardOutput) {
  const std::string after = SaveBuiltTree("new.xml", [](platform::TreeView& t) {
    Real(t, nullptr, 1, u"A", u"http://w/A/", -1);
  });
  EXPECT_EQ(Run({"--diff", "--format=jsonl", tree_, after}), 1) << "the trees differ";
  EXPECT_EQ(out_.str(),
            R"({"change":"removed","address":"http://w/B/","old_name":"B","new_name":null,"old_content":5,"new_content":null})"
            "\n");
  EXPECT_EQ(err_.str(), "");
}

// "-o -" is standard output; an output that is an input (by identity, under any name) or a folder is
// refused, --force or not, and every file stays as it was.
TEST_F(CommandTest, DashIsStandardOutputAndAnInputOrAFolderIsNoOutput) {
  WriteFile(Path("queue.lst"), "2\r\n");
  fs::create_directory(Path("folder"));
  fs::create_hard_link(tree_, Path("same.xml"));
  const std::string other = SaveBuiltTree("other.xml", [](platform::TreeView& t) {
    Real(t, nullptr, 7, u"Z", u"http://elsewhere/Z/", 1);
  });
  const std::string csv =
      "id,kind,name,address,content,parent_id,depth,path,visited\r\n"
      "1,category,A,http://w/A/,-1,,1,A,true\r\n"
      "2,category,B,http://w/B/,5,1,2,A / B,false\r\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"-o", "-", tree_}, 0, csv, ""},
      {{"--output=-", "--force", tree_}, 0, csv, ""},
      {{"--force", "-o", tree_, tree_}, 2, "", "wexa-export: " + tree_ + " is the input " + tree_ + "; name another output\n"},
      {{"--force", "-o", Path("same.xml"), tree_}, 2, "",
       "wexa-export: " + Path("same.xml") + " is the input " + tree_ + "; name another output\n"},
      {{"--force", "-o", Path("queue.lst"), tree_}, 2, "",
       "wexa-export: " + Path("queue.lst") + " is the input " + Path("queue.lst") + "; name another output\n"},
      {{"--diff", "--force", "-o", other, tree_, other}, 2, "",
       "wexa-export: " + other + " is the input " + other + "; name another output\n"},
      {{"--force", "-o", Path("folder"), tree_}, 2, "", "wexa-export: " + Path("folder") + " is a directory\n"},
      {{"--diff", "--format=jsonl", "-o", "-", tree_, tree_}, 0, "", ""},
      {{"--diff", "--format=jsonl", tree_, other}, 1, "",
       "wexa-export: no address of " + tree_ + " is in " + other + ": the two trees are of different directories or hosts\n"},
  };
  const std::vector<std::string> before = FolderEntries();
  for (const Case& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    EXPECT_EQ(Run(c.args), c.status);
    if (!c.out.empty()) {
      EXPECT_EQ(out_.str(), c.out);
    }
    EXPECT_EQ(err_.str(), c.err);
    EXPECT_EQ(FolderEntries(), before);
    EXPECT_EQ(ReadFile(Path("queue.lst")), "2\r\n");
  }
  EXPECT_TRUE(ReadFile(tree_).starts_with("<"));
}

TEST_F(CommandTest, HelpNamesEveryOptionAndTheVisitedRule) {
  EXPECT_EQ(Run({"-o", "x", "--help", "--bogus"}), 0);
  const std::string help = out_.str();
  for (const char* option : {"-o, --output", "--format", "csv", "jsonl", "--queue", "--force", "--diff", "-h, --help"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
  EXPECT_NE(help.find("visited unless its ID is\n             pending in the queue file"), std::string::npos);
  EXPECT_NE(help.find("Symbolic categories are never visited"), std::string::npos);
  EXPECT_EQ(err_.str(), "");
  // After "--" it is a file name.
  EXPECT_EQ(Run({"-o", Path("out.csv"), "--", "--help"}), 2);
}

TEST_F(CommandTest, VersionIsAnsweredAloneAndNamesTheProgram) {
  EXPECT_EQ(Run({"--format", "xml", "--version", "--help"}), 0);
  EXPECT_THAT(out_.str(), ::testing::MatchesRegex("wexa-export [0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+\n"));
  EXPECT_EQ(err_.str(), "");
  EXPECT_NE(HelpText().find("--version"), std::string::npos);
  const TExportOptions afterEnd = ParseCommandLine({"-o", "x", "--", "--version"});
  EXPECT_FALSE(afterEnd.version);
  EXPECT_EQ(afterEnd.inputs, std::vector<std::string>{"--version"}) << "after \"--\" it is a file name";
}

// The built program: its exit status and its files, as scripts see them.
int RunProgram(const std::string& arguments) {
  const int status = std::system((std::string("'") + WEXA_EXPORT_BINARY + "' " + arguments).c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(CommandTest, ProgramExitsZeroOnSuccessAndTwoOnFailure) {
  const std::string out = Path("out.csv");
  const std::string err = Path("err.txt");
  EXPECT_EQ(RunProgram("-o '" + out + "' '" + tree_ + "' 2>'" + err + "'"), 0);
  EXPECT_TRUE(ReadFile(out).starts_with("id,kind,name,address,content,parent_id,depth,path,visited\r\n1,category,A,"));

  EXPECT_EQ(RunProgram("-o '" + out + "' '" + tree_ + "' 2>'" + err + "'"), 2);
  EXPECT_EQ(ReadFile(err), "wexa-export: " + out + " exists already; use --force to replace it\n");

  std::filesystem::remove(out);
  EXPECT_EQ(RunProgram("-o '" + out + "' '" + Path("missing.xml") + "' 2>'" + err + "'"), 2);
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_EQ(RunProgram("--help >'" + out + "'"), 0);
  EXPECT_NE(ReadFile(out).find("--queue"), std::string::npos);
}

}  // namespace
}  // namespace export_test
