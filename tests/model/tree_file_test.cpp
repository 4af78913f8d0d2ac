// The category tree file: saving the tree view, loading it back into tree view and store, and the
// files that a save never writes.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "common/logging.h"
#include "model/helper.h"
#include "platform/text.h"
#include "tests/support/model_environment.h"

namespace {

namespace fs = std::filesystem;
using platform::TreeNode;
using platform::TreeView;

using test_support::ReadFile;
using test_support::WriteFile;

// The lines joined with CR LF, each line ended.
std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& l : lines) text += l + "\r\n";
  return text;
}

// Starts the persistence with the model's classes and gives every test a folder of its own. The
// tree views free their records when nodes go, as the window's deletion handler does.
class TreeFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = (dir_ / "tree.xml").string();
    for (TreeView* t : {&tree, &other}) {
      t->SetOnDeletion([](TreeNode* n) {
        delete n->Data();
        n->SetData(nullptr);
      });
    }
  }
  void TearDown() override {
    tree.Clear();
    other.Clear();
  }

  TreeNode* Real(TreeNode* parent, int id, const std::u16string& name, const std::u16string& url, int content = -1) {
    return tree.AddChildObject(parent, "x", new TCategory(id, name, url, content));
  }
  TreeNode* Symbolic(TreeNode* parent, const std::u16string& name, const std::u16string& url) {
    return tree.AddChildObject(parent, "x", new TSymbolicCategory(-1, name, url));
  }

  // "caption[ID,Content|Parent,Name,Url](children)" for every top-level node of t.
  static std::string Dump(const TreeView& t) {
    std::string out;
    for (std::size_t i = 0; i < t.TopLevelCount(); ++i) DumpNode(t.TopLevel(i), out);
    return out;
  }
  static void DumpNode(const TreeNode* n, std::string& out) {
    out += n->Text() + "[";
    if (auto* c = dynamic_cast<TCategory*>(n->Data())) {
      out += std::to_string(c->ID) + "," + std::to_string(c->Content);
    } else if (auto* s = dynamic_cast<TSymbolicCategory*>(n->Data())) {
      out += "p" + std::to_string(s->Parent);
    }
    if (auto* b = dynamic_cast<TBaseCategory*>(n->Data())) {
      out += "," + platform::ToUtf8(b->Name) + "," + platform::ToUtf8(b->Url);
    }
    out += "](";
    for (const TreeNode* c = n->GetFirstChild(); c; c = c->GetNextSibling()) DumpNode(c, out);
    out += ")";
  }

  test_support::ModelPersistence persistence_;
  test_support::TestFolder folder_{"wexa-tree-test-"};
  const fs::path& dir_ = folder_.Path();
  TreeView tree;
  TreeView other;
  std::string file_;
};

std::string Failure(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return std::string(e.ClassName()) + ": " + e.Message();
  }
  return "no exception";
}

TEST_F(TreeFileTest, RegistersTheFourClassesAndNotTheBase) {
  EXPECT_EQ(XmlClassManager->Count(), 4u);
  EXPECT_EQ(FindXmlClass("TCategory"), &TCategory::StaticXmlClass());
  EXPECT_EQ(FindXmlClass("tsymboliccategory"), &TSymbolicCategory::StaticXmlClass());
  EXPECT_EQ(FindXmlClass("TWexa"), &TWexa::StaticXmlClass());
  EXPECT_EQ(FindXmlClass("TXMLTreeNode"), &TXMLTreeNode::StaticXmlClass());
  EXPECT_EQ(FindXmlClass("TBaseCategory"), nullptr);
}

TEST_F(TreeFileTest, OneRealWithOneSymbolicChildGivesTheExactFile) {
  TreeNode* arts = Real(nullptr, 1, u"Arts", u"http://www.wexa.org/Arts/");
  Symbolic(arts, u"Music", u"http://www.wexa.org/Music/");
  SaveTree(tree, file_);
  EXPECT_EQ(ReadFile(file_), Lines({
                                 "<DUMMY_NODE>",
                                 "  <TXMLTreeNode>",
                                 "    <Data isNull=\"true\"/>",
                                 "    <Nodes>",
                                 "      <TXMLTreeNode>",
                                 "        <Data>",
                                 "          <TCategory>",
                                 "            <Content>-1</Content>",
                                 "            <ID>1</ID>",
                                 "            <Name>Arts</Name>",
                                 "            <Url>http://www.wexa.org/Arts/</Url>",
                                 "          </TCategory>",
                                 "        </Data>",
                                 "        <Nodes>",
                                 "          <TXMLTreeNode>",
                                 "            <Data>",
                                 "              <TSymbolicCategory>",
                                 "                <Name>Music</Name>",
                                 "                <Parent>-1</Parent>",
                                 "                <Url>http://www.wexa.org/Music/</Url>",
                                 "              </TSymbolicCategory>",
                                 "            </Data>",
                                 "            <Nodes/>",
                                 "          </TXMLTreeNode>",
                                 "        </Nodes>",
                                 "      </TXMLTreeNode>",
                                 "    </Nodes>",
                                 "  </TXMLTreeNode>",
                                 "</DUMMY_NODE>",
                             }));
}

TEST_F(TreeFileTest, EmptyTreeSavesAnEmptyRootAndLoadsAsEmptyTree) {
  SaveTree(tree, file_);
  EXPECT_EQ(ReadFile(file_), Lines({"<DUMMY_NODE>", "  <TXMLTreeNode>", "    <Data isNull=\"true\"/>", "    <Nodes/>",
                                    "  </TXMLTreeNode>", "</DUMMY_NODE>"}));
  TWexa store;
  LoadTree(other, file_, &store);
  EXPECT_EQ(other.Count(), 0u);
  EXPECT_TRUE(store.Categories().empty());
}

// Sibling order at every level, captions, every field, Unicode text and the store's depth-first order.
TEST_F(TreeFileTest, RoundTripKeepsShapeOrderFieldsAndUnicode) {
  TreeNode* a = Real(nullptr, 1, u"Arts", u"http://x/Arts/", -1);
  TreeNode* b = Real(nullptr, 2, u"Bücher & <Ω>", u"http://x/B%C3%BC/ü?q=1&r=2", 0);
  Real(nullptr, 3, u"", u"", 2147483647);
  TreeNode* a1 = Real(a, 4, u"Z first", u"http://x/Arts/Z/", 5000);
  Symbolic(a, u"Music", u"http://x/Music/");
  Real(a, 5, u"A last", u"http://x/Arts/A/", 7);
  Symbolic(a1, u"日本語 😀", u"http://x/日本/");
  Real(a1, 6, u"deep", u"http://x/deep/", 1);
  Real(b, 7, u"b child", u"http://x/bc/", 2);
  auto* sym = new TSymbolicCategory(7, u"odd parent", u"http://x/odd/");
  tree.AddChildObject(b, "odd parent@", sym);

  SaveTree(tree, file_);
  TWexa store;
  LoadTree(other, file_, &store);

  EXPECT_EQ(Dump(other),
            "Arts[1,-1,Arts,http://x/Arts/]("
            "Z first[4,5000,Z first,http://x/Arts/Z/]("
            "日本語 😀@[p-1,日本語 😀,http://x/日本/]()"
            "deep[6,1,deep,http://x/deep/]())"
            "Music@[p-1,Music,http://x/Music/]()"
            "A last[5,7,A last,http://x/Arts/A/]())"
            "Bücher & <Ω>[2,0,Bücher & <Ω>,http://x/B%C3%BC/ü?q=1&r=2]("
            "b child[7,2,b child,http://x/bc/]()"
            "odd parent@[p7,odd parent,http://x/odd/]())"
            "[3,2147483647,,]()");
  std::vector<int> ids;
  for (const TCategory* c : store.Categories()) ids.push_back(c->ID);
  EXPECT_EQ(ids, (std::vector<int>{1, 4, 6, 5, 2, 7, 3}));
  std::vector<std::u16string> names;
  for (const TSymbolicCategory* s : store.SymbolicCategories()) names.push_back(s->Name);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"日本語 😀", u"Music", u"odd parent"}));
  // The store refers to the very records the new nodes carry.
  EXPECT_EQ(store.Categories()[1], other.GetFirstNode()->GetFirstChild()->Data());
}

TEST_F(TreeFileTest, LoadingTwiceAppendsEverythingTwiceAndNoStoreFillsTheTreeOnly) {
  TreeNode* a = Real(nullptr, 1, u"a", u"http://x/a/");
  Symbolic(a, u"s", u"http://x/s/");
  SaveTree(tree, file_);

  TWexa store;
  LoadTree(other, file_, &store);
  LoadTree(other, file_, &store);
  EXPECT_EQ(Dump(other), "a[1,-1,a,http://x/a/](s@[p-1,s,http://x/s/]())a[1,-1,a,http://x/a/](s@[p-1,s,http://x/s/]())");
  ASSERT_EQ(store.Categories().size(), 2u);
  EXPECT_NE(store.Categories()[0], store.Categories()[1]);
  EXPECT_EQ(store.SymbolicCategories().size(), 2u);

  TreeView alone;
  alone.SetOnDeletion([](TreeNode* n) { delete n->Data(); });
  LoadTree(alone, file_, nullptr);
  EXPECT_EQ(alone.Count(), 2u);
}

TEST_F(TreeFileTest, SaveProcessesMessagesOncePerNodeAndAroundTheWalk) {
  TreeNode* a = Real(nullptr, 1, u"a", u"u");
  Real(a, 2, u"b", u"u");
  Symbolic(nullptr, u"c", u"u");
  int calls = 0;
  SaveTree(tree, file_, [&] { ++calls; });
  EXPECT_EQ(calls, 3 + 2);
}

// A node without a record (a hand-edited file) fails the load before anything is added; so does a
// file that holds some other object. Every record read so far is freed (ASan checks the leaks).
TEST_F(TreeFileTest, RefusedFilesChangeNeitherTreeNorStore) {
  const std::string real = "<TCategory><Content>1</Content><ID>9</ID><Name>n</Name><Url>u</Url></TCategory>";
  const std::string leaf = "<TXMLTreeNode><Data>" + real + "</Data><Nodes/></TXMLTreeNode>";
  const std::string bare = "<TXMLTreeNode><Data isNull=\"true\"/><Nodes/></TXMLTreeNode>";
  struct Case {
    std::string name;
    std::string xml;
    std::string failure;
  };
  const std::vector<Case> cases = {
      {"bare top-level node",
       "<DUMMY_NODE><TXMLTreeNode><Data isNull=\"true\"/><Nodes>" + leaf + bare + "</Nodes></TXMLTreeNode></DUMMY_NODE>",
       "EXmlPersistance: The tree file %s has a node without a category record (node 2 in tree order); nothing was "
       "loaded."},
      {"bare deep node",
       "<DUMMY_NODE><TXMLTreeNode><Data isNull=\"true\"/><Nodes><TXMLTreeNode><Data>" + real + "</Data><Nodes>" + leaf +
           bare + "</Nodes></TXMLTreeNode></Nodes></TXMLTreeNode></DUMMY_NODE>",
       "EXmlPersistance: The tree file %s has a node without a category record (node 3 in tree order); nothing was "
       "loaded."},
      {"a record instead of a tree", "<DUMMY_NODE>" + real + "</DUMMY_NODE>",
       "EXmlPersistance: The tree file %s holds a TCategory, not a TXMLTreeNode; nothing was loaded."},
      {"a store instead of a tree",
       "<DUMMY_NODE><TWexa><Categories>" + real + "</Categories><SymbolicCategories/></TWexa></DUMMY_NODE>",
       "EXmlPersistance: The tree file %s holds a TWexa, not a TXMLTreeNode; nothing was loaded."},
  };
  Real(nullptr, 1, u"kept", u"http://x/kept/");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(file_, c.xml);
    TWexa store;
    std::string expected = c.failure;
    if (const auto at = expected.find("%s"); at != std::string::npos) expected.replace(at, 2, file_);
    EXPECT_EQ(Failure([&] { LoadTree(tree, file_, &store); }), expected);
    EXPECT_EQ(Dump(tree), "x[1,-1,kept,http://x/kept/]()");
    EXPECT_TRUE(store.Categories().empty());
  }
}

// A save that cannot be loaded back, or that saw the tree change under it, writes nothing: the earlier
// file stays whole.
TEST_F(TreeFileTest, FailedSavesLeaveTheEarlierFileWhole) {
  WriteFile(file_, "earlier");
  TreeNode* a = Real(nullptr, 1, u"a", u"u");
  tree.AddChildObject(a, "no record", nullptr);
  EXPECT_EQ(Failure([&] { SaveTree(tree, file_); }),
            "EXmlPersistance: The tree node \"no record\" has no category record, so the tree cannot be saved.");
  EXPECT_EQ(ReadFile(file_), "earlier");

  tree.Clear();
  a = Real(nullptr, 1, u"a", u"u");
  Real(a, 2, u"b", u"u");
  int calls = 0;
  // A handler run while messages are processed deletes the node being mirrored.
  EXPECT_EQ(Failure([&] { SaveTree(tree, file_, [&] { if (++calls == 2) tree.Delete(a); }); }),
            "EXmlPersistance: The tree view changed while " + file_ + " was being saved; the file was not written.");
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(ReadFile(file_), "earlier");
  EXPECT_EQ(fs::directory_iterator(dir_)->path().filename(), "tree.xml") << "no temporary file is left";
}

// The store's arrays are saved as references to the records, without those noted for removal.
TEST_F(TreeFileTest, StoreSavesItsArraysWithoutRemovedRecords) {
  TCategory a(1, u"a", u"ua", 2), gone(2, u"gone", u"ug", 3);
  TSymbolicCategory s(-1, u"s", u"us");
  TWexa store;
  store.AddCategory(&a);
  store.AddCategory(&gone);
  store.AddCategory(&s);
  store.RemoveCategory(&gone);
  std::string text;
  TXmlPersistance::SaveToString(&store, false, text);
  EXPECT_EQ(text,
            "<TWexa><Categories><TCategory><Content>2</Content><ID>1</ID><Name>a</Name><Url>ua</Url></TCategory>"
            "</Categories><SymbolicCategories><TSymbolicCategory><Name>s</Name><Parent>-1</Parent><Url>us</Url>"
            "</TSymbolicCategory></SymbolicCategories></TWexa>");
}

}  // namespace
