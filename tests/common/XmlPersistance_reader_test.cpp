// XML-to-object reader: what it tolerates, every failure with its exact message, and that a failed
// load frees what it created.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/XmlPersistance.h"
#include "tests/common/XmlPersistance_test_fixture.h"

namespace xml_test {
namespace {

class XmlReaderTest : public TXmlTest {
 protected:
  void SetUp() override {
    TXmlTest::SetUp();
    file_ = (std::filesystem::temp_directory_path() / ("xml_read_" + std::to_string(::getpid()) + ".xml")).string();
  }
  void TearDown() override {
    std::filesystem::remove(file_);
    TXmlTest::TearDown();
  }
  std::unique_ptr<TXMLPersistentObject> Load(const std::string& xml) {
    { std::ofstream(file_, std::ios::binary) << xml; }
    return TXmlPersistance::LoadFromFile(file_);
  }
  template <class T>
  std::unique_ptr<T> LoadAs(const std::string& xml) {
    std::unique_ptr<TXMLPersistentObject> obj = Load(xml);
    T* t = dynamic_cast<T*>(obj.get());
    EXPECT_NE(t, nullptr);
    if (t == nullptr) return nullptr;
    obj.release();
    return std::unique_ptr<T>(t);
  }
  std::string file_;
};

const char kCategory[] = "<TCategory><Content>-1</Content><ID>1</ID><Name>Arts</Name><Url>u</Url></TCategory>";

TEST_F(XmlReaderTest, LoadsWithAndWithoutTheWrapper) {
  for (const std::string& xml : {std::string("<DUMMY_NODE>\r\n  ") + kCategory + "\r\n</DUMMY_NODE>\r\n",
                                std::string(kCategory)}) {
    SCOPED_TRACE(xml);
    auto cat = LoadAs<TCategory>(xml);
    ASSERT_NE(cat, nullptr);
    EXPECT_EQ(cat->ID, 1);
    EXPECT_EQ(cat->Content, -1);
    EXPECT_EQ(cat->Name, u"Arts");
    EXPECT_EQ(cat->Url, u"u");
  }
}

TEST_F(XmlReaderTest, ToleratesOrderCaseAttributesAndItemNames) {
  auto cat = LoadAs<TCategory>(
      "<tcategory extra=\"1\"><url>u</url><NAME a=\"b\">N</NAME><Id>5</Id><content> 7 </content></tcategory>");
  ASSERT_NE(cat, nullptr);
  EXPECT_EQ(cat->ID, 5);
  EXPECT_EQ(cat->Content, 7);
  EXPECT_EQ(cat->Name, u"N");

  auto all = LoadAs<TAllKinds>(
      "<TAllKinds><Char>0</Char><Color>0</Color><Doubled>0</Doubled><Flag>0</Flag><Float>0</Float><Int>0</Int>"
      "<Int64>0</Int64><Ints><x v=\"1\"/><item v=\"2\" w=\"3\"/></Ints><Object isNull=\"true\"><ignored/></Object>"
      "<Objects/><OnChange><anything/>at all</OnChange><Set>0</Set><Short/><Small>0</Small><String/>"
      "<Strings><a>x</a><!--c--></Strings><Unsigned>0</Unsigned><Variant/><WideChar>0</WideChar><WideString/>"
      "<WideStrings/></TAllKinds>");
  ASSERT_NE(all, nullptr);
  EXPECT_EQ(all->Ints, (std::vector<std::int32_t>{1, 2}));
  EXPECT_EQ(all->Strings, (std::vector<std::string>{"x", "c"}));
  EXPECT_EQ(all->Object, nullptr);
  EXPECT_EQ(all->Variant, TXmlVariant(TXmlNull{}));
}

TEST_F(XmlReaderTest, ADuplicatePropertyPassesTheCountAndTheLastWins) {
  auto cat = LoadAs<TCategory>("<TCategory><Content>1</Content><Content>2</Content><Name/><Url/></TCategory>");
  ASSERT_NE(cat, nullptr);
  EXPECT_EQ(cat->Content, 2);
  EXPECT_EQ(cat->ID, 0);
}

TEST_F(XmlReaderTest, TextValues) {
  struct TCase {
    std::string element;
    std::u16string name;
  };
  const std::vector<TCase> cases = {
      {"<Name/>", u""},
      {"<Name></Name>", u""},
      {"<Name> </Name>", u" "},
      {"<Name>R&amp;D &lt;x&gt; &#13;&#10;</Name>", u"R&D <x> \r\n"},
      {"<Name><![CDATA[<raw>]]></Name>", u"<raw>"},
      {"<Name>\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80</Name>", u"\u00E9\u4E2D\U0001F600"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.element);
    auto cat = LoadAs<TCategory>("<TCategory><Content>0</Content><ID>0</ID>" + c.element + "<Url/></TCategory>");
    ASSERT_NE(cat, nullptr);
    EXPECT_EQ(cat->Name, c.name);
  }
}

TEST_F(XmlReaderTest, ReferencesAndArrays) {
  auto root = LoadAs<TXMLTreeNode>(
      "<DUMMY_NODE><TXMLTreeNode><Data isNull=\"true\"/><Nodes>"
      "<TXMLTreeNode><Data>" + std::string(kCategory) + "</Data><Nodes/></TXMLTreeNode>"
      "<TXMLTreeNode><Data isNull=\"True\"><TSymbolicCategory><Name>S</Name><Parent>-1</Parent><Url/>"
      "</TSymbolicCategory><ignored/></Data><Nodes/></TXMLTreeNode>"
      "</Nodes></TXMLTreeNode></DUMMY_NODE>");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->Data, nullptr);
  ASSERT_EQ(root->Nodes.size(), 2u);
  EXPECT_NE(dynamic_cast<TCategory*>(root->Nodes[0]->Data), nullptr);
  EXPECT_TRUE(root->Nodes[0]->Nodes.empty());
  // "True" is not the null marker: the element holds the object.
  auto* sym = dynamic_cast<TSymbolicCategory*>(root->Nodes[1]->Data);
  ASSERT_NE(sym, nullptr);
  EXPECT_EQ(sym->Parent, -1);
  root->FreeData();
}

TEST_F(XmlReaderTest, ObjectsAreCreatedBlank) {
  const int before = TCategory::constructed;
  auto cat = LoadAs<TCategory>(kCategory);
  EXPECT_EQ(TCategory::constructed, before);
}

TEST_F(XmlReaderTest, FailureTable) {
  const std::string treeStart = "<DUMMY_NODE><TXMLTreeNode><Data isNull=\"true\"/><Nodes>";
  const std::string treeEnd = "</Nodes></TXMLTreeNode></DUMMY_NODE>";
  auto withName = [](const std::string& name) {
    return "<TCategory><Content>0</Content><ID>0</ID>" + name + "<Url/></TCategory>";
  };
  struct TCase {
    std::string xml;
    std::string failure;
  };
  const std::vector<TCase> cases = {
      {"<TBaseCategory><Name/><Url/></TBaseCategory>", "EXmlPersistance: Xml class TBaseCategory is not registered."},
      {"<?xml version=\"1.0\"?>\r\n<DUMMY_NODE>" + std::string(kCategory) + "</DUMMY_NODE>",
       "EXmlPersistance: Xml class xml is not registered."},
      {"\xEF\xBB\xBF<?xml version=\"1.0\"?><X/>", "EXmlPersistance: Xml class xml is not registered."},
      {"<!-- c --><DUMMY_NODE/>", "EXmlPersistance: Xml class #comment is not registered."},
      {"<?pi x?><DUMMY_NODE/>", "EXmlPersistance: Xml class pi is not registered."},
      {"<!DOCTYPE d [<!ENTITY a \"b\">]><d>&a;</d>", "EXmlPersistance: Xml class d is not registered."},
      {"<DUMMY_NODE>text</DUMMY_NODE>", "EXmlPersistance: Xml class #text is not registered."},
      {"<TCategory><Content>0</Content><ID>0</ID><Name/></TCategory>",
       "EXmlPersistance: Property list not consistent. 4 properties found in class and 3 properties found in XML."},
      {"<TCategory><Content>0</Content><ID>0</ID><Name/><Url/><!--c--></TCategory>",
       "EXmlPersistance: Property list not consistent. 4 properties found in class and 5 properties found in XML."},
      {"<TCategory><Content>0</Content><ID>0</ID><Title/><Url/></TCategory>",
       "EXmlPersistance: Property name Title not found in class."},
      {"<TWithRecord><Record>1</Record></TWithRecord>", "EXmlPersistance: Property type 14 not implemented."},
      {"<TWithFloatArray><Values/></TWithFloatArray>", "Exception: Element type 4 not implemented."},
      {"<TWithMatrix><Rows/></TWithMatrix>", "Exception: Element type 17 not implemented."},
      {"<TCategory><Content>0</Content><ID/><Name/><Url/></TCategory>",
       "EConvertError: '' is not a valid integer value"},
      {"<TCategory><Content>12a</Content><ID>0</ID><Name/><Url/></TCategory>",
       "EConvertError: '12a' is not a valid integer value"},
      {"<TCategory><Content>2147483648</Content><ID>0</ID><Name/><Url/></TCategory>",
       "EConvertError: '2147483648' is not a valid integer value"},
      {withName("<Name><b/></Name>"), "EXmlDocumentError: Element Name holds child nodes instead of a text value."},
      {withName("<Name>a<!--c-->b</Name>"), "EXmlDocumentError: Element Name holds child nodes instead of a text value."},
      {treeStart + "<TXMLTreeNode><Data/><Nodes/></TXMLTreeNode>" + treeEnd,
       "EXmlDocumentError: List index out of bounds (0): Data has no child nodes."},
      {treeStart + "<TXMLTreeNode><Data isNull=\"True\"/><Nodes/></TXMLTreeNode>" + treeEnd,
       "EXmlDocumentError: List index out of bounds (0): Data has no child nodes."},
      {"<DUMMY_NODE/>", "EXmlDocumentError: List index out of bounds (0): DUMMY_NODE has no child nodes."},
      {treeStart + kCategory + treeEnd,
       "EXmlPersistance: Class TCategory does not fit property Nodes of class TXMLTreeNode, which holds TXMLTreeNode."},
      {"<TXMLTreeNode><Data><TXMLTreeNode><Data isNull=\"true\"/><Nodes/></TXMLTreeNode></Data><Nodes/></TXMLTreeNode>",
       "EXmlPersistance: Class TXMLTreeNode does not fit property Data of class TXMLTreeNode, which holds "
       "TBaseCategory."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.xml);
    EXPECT_EQ(Failure([&] { Load(c.xml); }), c.failure);
  }
}

TEST_F(XmlReaderTest, ConversionFailuresOfEveryNumericKind) {
  auto allKinds = [](const std::string& replace, const std::string& with) {
    std::string xml =
        "<TAllKinds><Char>0</Char><Color>0</Color><Doubled>0</Doubled><Flag>0</Flag><Float>0</Float><Int>0</Int>"
        "<Int64>0</Int64><Ints/><Object isNull=\"true\"/><Objects/><OnChange/><Set>0</Set><Short/><Small>0</Small>"
        "<String/><Strings/><Unsigned>0</Unsigned><Variant/><WideChar>0</WideChar><WideString/><WideStrings/>"
        "</TAllKinds>";
    return xml.replace(xml.find(replace), replace.size(), with);
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {allKinds("<Float>0</Float>", "<Float>1,5</Float>"), "EConvertError: '1,5' is not a valid floating point value"},
      {allKinds("<Float>0</Float>", "<Float/>"), "EConvertError: '' is not a valid floating point value"},
      {allKinds("<Int64>0</Int64>", "<Int64>9223372036854775808</Int64>"),
       "EConvertError: '9223372036854775808' is not a valid integer value"},
      {allKinds("<Ints/>", "<Ints><e v=\"1\"/><e/></Ints>"), "EConvertError: '' is not a valid integer value"},
      {allKinds("<Color>0</Color>", "<Color>x</Color>"), "EConvertError: 'x' is not a valid integer value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.second);
    EXPECT_EQ(Failure([&] { Load(c.first); }), c.second);
  }
}

TEST_F(XmlReaderTest, FileErrors) {
  const std::string missing = Failure([&] { TXmlPersistance::LoadFromFile(file_ + ".missing"); });
  EXPECT_EQ(missing, "EFOpenError: Cannot open file \"" + file_ + ".missing\". No such file or directory");
  for (const char* xml : {"", "<TCategory>", "<a></b>", "<a>&unknown;</a>", "<a/><b/>"}) {
    SCOPED_TRACE(xml);
    const std::string failure = Failure([&] { Load(xml); });
    EXPECT_EQ(failure.rfind("EXmlDocumentError: Cannot parse file \"" + file_ + "\": line ", 0), 0u) << failure;
  }
  std::string deep;
  for (int i = 0; i < 1100; ++i) deep += "<a>";
  EXPECT_EQ(Failure([&] { Load(deep); }),
            "EXmlDocumentError: Cannot parse file \"" + file_ + "\": Elements are nested deeper than 1024 levels.");
}

TEST_F(XmlReaderTest, AFailedLoadFreesEveryObjectItCreated) {
  // The first node's record is loaded into a reference that does not own it; the second node fails.
  const std::string xml = "<TXMLTreeNode><Data isNull=\"true\"/><Nodes>"
                          "<TXMLTreeNode><Data>" + std::string(kCategory) + "</Data><Nodes/></TXMLTreeNode>"
                          "<TXMLTreeNode><Data>" + std::string(kCategory) + "</Data><Nodes><Bad/></Nodes></TXMLTreeNode>"
                          "</Nodes></TXMLTreeNode>";
  const int before = TBaseCategory::live;
  EXPECT_EQ(Failure([&] { Load(xml); }), "EXmlPersistance: Xml class Bad is not registered.");
  EXPECT_EQ(TBaseCategory::live, before);
}

// A hostile file that gives a property twice: the last value wins, and whatever the earlier one
// brought is freed, also records that only an owned object dropped with it referred to.
TEST_F(XmlReaderTest, APropertyGivenTwiceFreesTheEarlierValue) {
  const std::string b = "<TCategory><Content>-1</Content><ID>2</ID><Name>B</Name><Url>u</Url></TCategory>";
  const std::string node = std::string("<TXMLTreeNode><Data>") + kCategory + "</Data><Nodes/></TXMLTreeNode>";
  struct Case {
    const char* what;
    std::string xml;
    std::u16string winner;  // the Name that the kept record has, empty for none
  };
  const std::vector<Case> cases = {
      {"Data twice", "<TXMLTreeNode><Data>" + std::string(kCategory) + "</Data><Data>" + b + "</Data></TXMLTreeNode>", u"B"},
      {"Data, then null", "<TXMLTreeNode><Data>" + std::string(kCategory) + "</Data><Data isNull=\"true\"/></TXMLTreeNode>", u""},
      {"Nodes twice, the first with records",
       "<TXMLTreeNode><Nodes>" + node + node + "</Nodes><Nodes/></TXMLTreeNode>", u""},
      {"a referencing array twice",
       "<TRecordRefs><Many>" + std::string(kCategory) + kCategory + "</Many><Many>" + b + "</Many></TRecordRefs>", u"B"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int recordsBefore = TBaseCategory::live;
    const int nodesBefore = TXMLTreeNode::live;
    std::unique_ptr<TXMLPersistentObject> loaded;
    ASSERT_NO_THROW(loaded = Load(c.xml));
    const TBaseCategory* kept = nullptr;
    if (auto* tree = dynamic_cast<TXMLTreeNode*>(loaded.get())) {
      EXPECT_TRUE(tree->Nodes.empty());
      kept = tree->Data;
    } else if (auto* refs = dynamic_cast<TRecordRefs*>(loaded.get())) {
      ASSERT_EQ(refs->Many.size(), 1u);
      kept = refs->Many[0];
    }
    EXPECT_EQ(kept ? kept->Name : u"", c.winner);
    EXPECT_EQ(TBaseCategory::live, recordsBefore + (kept ? 1 : 0)) << "only the winner is alive";
    EXPECT_EQ(TXMLTreeNode::live, nodesBefore + (dynamic_cast<TXMLTreeNode*>(loaded.get()) ? 1 : 0));
    if (auto* refs = dynamic_cast<TRecordRefs*>(loaded.get())) delete refs->Many[0];
    if (auto* tree = dynamic_cast<TXMLTreeNode*>(loaded.get())) tree->FreeData();
  }
}

}  // namespace
}  // namespace xml_test
