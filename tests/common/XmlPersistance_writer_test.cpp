// Object-to-XML writer: layout, the content of every kind, escaping, failures, and the file handling.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/XmlPersistance.h"
#include "common/XmlPersistanceInternal.h"
#include "tests/common/XmlPersistance_test_fixture.h"

namespace xml_test {
namespace {

std::string Save(const TXMLPersistentObject& obj, bool formatted = true) {
  std::string text;
  TXmlPersistance::SaveToString(&obj, formatted, text);
  return text;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class XmlWriterTest : public TXmlTest {};

TEST_F(XmlWriterTest, EmptyRootGivesTheSixLineDocument) {
  TXMLTreeNode root;
  EXPECT_EQ(Save(root),
            "<DUMMY_NODE>\r\n"
            "  <TXMLTreeNode>\r\n"
            "    <Data isNull=\"true\"/>\r\n"
            "    <Nodes/>\r\n"
            "  </TXMLTreeNode>\r\n"
            "</DUMMY_NODE>\r\n");
}

TEST_F(XmlWriterTest, UnformattedIsTheObjectElementOnOneLine) {
  TXMLTreeNode root;
  EXPECT_EQ(Save(root, false), "<TXMLTreeNode><Data isNull=\"true\"/><Nodes/></TXMLTreeNode>");
}

TEST_F(XmlWriterTest, CategoryTreeExample) {
  TCategory arts(1, u"Arts", u"http://www.wexa.org/Arts/", -1);
  TSymbolicCategory music(-1, u"Music", u"http://www.wexa.org/Arts/Music/");
  TXMLTreeNode root;
  auto* artsNode = new TXMLTreeNode;
  artsNode->Data = &arts;
  auto* musicNode = new TXMLTreeNode;
  musicNode->Data = &music;
  artsNode->AddNode(musicNode);
  root.AddNode(artsNode);
  EXPECT_EQ(Save(root),
            "<DUMMY_NODE>\r\n"
            "  <TXMLTreeNode>\r\n"
            "    <Data isNull=\"true\"/>\r\n"
            "    <Nodes>\r\n"
            "      <TXMLTreeNode>\r\n"
            "        <Data>\r\n"
            "          <TCategory>\r\n"
            "            <Content>-1</Content>\r\n"
            "            <ID>1</ID>\r\n"
            "            <Name>Arts</Name>\r\n"
            "            <Url>http://www.wexa.org/Arts/</Url>\r\n"
            "          </TCategory>\r\n"
            "        </Data>\r\n"
            "        <Nodes>\r\n"
            "          <TXMLTreeNode>\r\n"
            "            <Data>\r\n"
            "              <TSymbolicCategory>\r\n"
            "                <Name>Music</Name>\r\n"
            "                <Parent>-1</Parent>\r\n"
            "                <Url>http://www.wexa.org/Arts/Music/</Url>\r\n"
            "              </TSymbolicCategory>\r\n"
            "            </Data>\r\n"
            "            <Nodes/>\r\n"
            "          </TXMLTreeNode>\r\n"
            "        </Nodes>\r\n"
            "      </TXMLTreeNode>\r\n"
            "    </Nodes>\r\n"
            "  </TXMLTreeNode>\r\n"
            "</DUMMY_NODE>\r\n");
}

TEST_F(XmlWriterTest, EveryKindContent) {
  TAllKinds all;
  all.Int = -1;
  all.Small = -7;
  all.Unsigned = 0xFFFFFFFFu;  // written as a 32-bit signed value
  all.Char = '\xE9';           // the code of the 8-bit character
  all.Color = clBlue;
  all.Flag = true;
  all.Float = 123.25;
  all.Short = "short";
  all.Set = std::bitset<8>("00000101");
  all.WideString = u"Caf\u00E9 \u4E2D";
  all.WideChar = u'\u20AC';
  all.String = "";
  all.Variant = std::int64_t{42};
  all.Int64 = -9223372036854775807LL - 1;
  all.Ints = {3, -4};
  all.Strings = {"a", ""};
  all.WideStrings = {u"\u00FC"};
  all.SetDoubled(10);
  all.Objects.push_back(std::make_unique<TSymbolicCategory>(-1, u"S", u""));
  EXPECT_EQ(Save(all, false),
            "<TAllKinds>"
            "<Char>233</Char>"
            "<Color>2</Color>"
            "<Doubled>10</Doubled>"
            "<Flag>1</Flag>"
            "<Float>123.25</Float>"
            "<Int>-1</Int>"
            "<Int64>-9223372036854775808</Int64>"
            "<Ints><e v=\"3\"/><e v=\"-4\"/></Ints>"
            "<Object isNull=\"true\"/>"
            "<Objects><TSymbolicCategory><Name>S</Name><Parent>-1</Parent><Url/></TSymbolicCategory></Objects>"
            "<OnChange>&lt;not assigned&gt;</OnChange>"
            "<Set>5</Set>"
            "<Short>short</Short>"
            "<Small>-7</Small>"
            "<String/>"
            "<Strings><e>a</e><e/></Strings>"
            "<Unsigned>-1</Unsigned>"
            "<Variant>42</Variant>"
            "<WideChar>8364</WideChar>"
            "<WideString>Caf\xC3\xA9 \xE4\xB8\xAD</WideString>"
            "<WideStrings><e>\xC3\xBC</e></WideStrings>"
            "</TAllKinds>");
}

TEST_F(XmlWriterTest, PropertyOrderFoldsCaseDigitsBeforeLettersUnderscoreAfter) {
  // Own class for the names that matter to the order only.
  struct TNames : TXMLPersistentObject {
    std::int32_t a = 0;
  };
  std::vector<TPropertyInfo> props;
  for (const char* n : {"b_", "B1", "bA", "a", "AB", "Ab0"}) props.push_back(XmlUnsupported(n, pkInteger));
  TXmlClass cls("TNames", nullptr, typeid(TNames), nullptr, std::move(props));
  std::vector<std::string> order;
  for (const TPropertyInfo* p : cls.SortedProperties()) order.push_back(p->Name);
  EXPECT_EQ(order, (std::vector<std::string>{"a", "AB", "Ab0", "B1", "bA", "b_"}));
}

TEST_F(XmlWriterTest, TextIsEscapedAndUnrepresentableCharactersReplaced) {
  struct TCase {
    std::u16string name;
    std::string xml;
  };
  const std::vector<TCase> cases = {
      {u"R&D <new> \"q\" 'a'", "R&amp;D &lt;new&gt; \"q\" 'a'"},
      {u"a\r\nb\tc", "a&#13;&#10;b\tc"},
      {u"\nlf\n\ncr\r", "&#10;lf&#10;&#10;cr&#13;"},
      {u"bell\u0007", "bell\xEF\xBF\xBD"},
      {std::u16string(u"lone ") + char16_t(0xD800), "lone \xEF\xBF\xBD"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {u" ", " "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.xml);
    TSymbolicCategory cat(0, c.name, u"");
    EXPECT_EQ(Save(cat, false),
              "<TSymbolicCategory><Name>" + c.xml + "</Name><Parent>0</Parent><Url/></TSymbolicCategory>");
  }
}

TEST_F(XmlWriterTest, InvalidUtf8InStringsIsReplaced) {
  TAllKinds all;
  all.String = "ok\xC3(\xFF";
  const std::string xml = Save(all, false);
  EXPECT_NE(xml.find("<String>ok\xEF\xBF\xBD(\xEF\xBF\xBD</String>"), std::string::npos) << xml;
}

TEST_F(XmlWriterTest, AttributeValuesAreEscaped) {
  TXmlWriter w(false);
  w.StartElement("e");
  w.Attribute("v", "a\"b<&>\n\t\r");
  w.EndElement();
  w.Finish();
  EXPECT_EQ(w.Take(), "<e v=\"a&quot;b&lt;&amp;&gt;&#10;&#9;&#13;\"/>");
}

TEST_F(XmlWriterTest, FloatFormat) {
  const std::vector<std::pair<double, std::string>> cases = {
      {0.5, "0.5"},       {-3, "-3"},          {123.25, "123.25"},
      {1e20, "1E20"},     {1.5e-7, "1.5E-7"},  {0, "0"},
      {0.0001, "0.0001"}, {0.00001, "1E-5"},   {999999999999999, "999999999999999"},
      {1e15, "1E15"},     {0.1 + 0.2, "0.3"},  {-2.5e-300, "-2.5E-300"},
      {1.0 / 3, "0.333333333333333"},          {123456789.125, "123456789.125"},
  };
  for (const auto& [value, text] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(xml_internal::FormatFloat(value), text);
  }
}

TEST_F(XmlWriterTest, FailuresNameTheirCause) {
  TWithRecord record;
  TWithFloatArray floats;  // empty: the item kind is checked all the same
  TWithMatrix matrix;
  TXMLTreeNode withNullItem;
  withNullItem.Nodes.push_back(nullptr);
  TXMLTreeNode cycle;
  auto* child = new TXMLTreeNode;
  cycle.AddNode(child);
  child->AddNode(&cycle);

  const std::vector<std::pair<const TXMLPersistentObject*, std::string>> cases = {
      {&record, "EXmlPersistance: Property type 14 not implemented."},
      {&floats, "Exception: Element type 4 not implemented."},
      {&matrix,
       "EAssertionFailed: Only single dimension arrays are supported. (common\\XmlPersistance, line 370)"},
      {nullptr, "EXmlPersistance: Cannot save a null object."},
      {&withNullItem, "EXmlPersistance: Property Nodes of class TXMLTreeNode holds a null object in its array."},
      {&cycle,
       "EXmlPersistance: Property Nodes of class TXMLTreeNode refers to an object that contains it; a cycle "
       "cannot be saved."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.second);
    std::string text;
    EXPECT_EQ(Failure([&] { TXmlPersistance::SaveToString(c.first, true, text); }), c.second);
  }
  child->Nodes.clear();
  withNullItem.Nodes.clear();
}

TEST_F(XmlWriterTest, AClassWithoutItsOwnTableIsRefused) {
  struct TUndeclared : TCategory {
    TUndeclared() : TCategory(TXmlBlank{}) {}
  };
  TUndeclared obj;
  const std::string failure = Failure([&] { Save(obj); });
  EXPECT_NE(failure.find("EXmlPersistance: An object of type"), std::string::npos) << failure;
}

TEST_F(XmlWriterTest, AnObjectReachedTwiceIsWrittenTwice) {
  TCategory shared(7, u"X", u"", 0);
  TXMLTreeNode root;
  for (int i = 0; i < 2; ++i) {
    auto* n = new TXMLTreeNode;
    n->Data = &shared;
    root.AddNode(n);
  }
  const std::string xml = Save(root, false);
  EXPECT_EQ(xml.find("<ID>7</ID>", xml.find("<ID>7</ID>") + 1) != std::string::npos, true) << xml;
}

TEST_F(XmlWriterTest, NestingBeyondTheReadableDepthIsRefused) {
  TXMLTreeNode root;
  TXMLTreeNode* tip = &root;
  for (int i = 0; i < 600; ++i) {
    auto* n = new TXMLTreeNode;
    tip->AddNode(n);
    tip = n;
  }
  EXPECT_EQ(Failure([&] { Save(root); }),
            "EXmlPersistance: Property Nodes of class TXMLTreeNode nests objects deeper than 1024 XML levels.");
}

class XmlSaveToFileTest : public TXmlTest {
 protected:
  void SetUp() override {
    TXmlTest::SetUp();
    dir_ = std::filesystem::temp_directory_path() / ("xml_save_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    file_ = (dir_ / "tree.xml").string();
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    TXmlTest::TearDown();
  }
  std::size_t FilesInDir() const {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir_), {}));
  }
  std::filesystem::path dir_;
  std::string file_;
};

TEST_F(XmlSaveToFileTest, WritesTheFormattedDocument) {
  TXMLTreeNode root;
  TXmlPersistance::SaveToFile(&root, file_);
  EXPECT_EQ(ReadAll(file_), Save(root));
  EXPECT_EQ(FilesInDir(), 1u);
}

// Line breaks inside values are references: every line of the file ends in CR LF, and the values
// read back as they were.
TEST_F(XmlSaveToFileTest, LineBreaksInValuesKeepTheFilesLineEndsAndReadBack) {
  const std::vector<std::u16string> names = {u"a\nb", u"a\r\nb", u"a\rb", u"\n", u"\r\n\r\n", u"tab\tend\n"};
  for (std::size_t n = 0; n < names.size(); ++n) {
    const std::u16string& name = names[n];
    SCOPED_TRACE("name " + std::to_string(n));
    TSymbolicCategory written(0, name, u"http://x/\n");
    TXmlPersistance::SaveToFile(&written, file_);
    const std::string text = ReadAll(file_);
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\n') {
        EXPECT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at " << i;
      } else if (text[i] == '\r') {
        EXPECT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << "bare CR at " << i;
      }
    }
    const std::unique_ptr<TXMLPersistentObject> read = TXmlPersistance::LoadFromFile(file_);
    const auto* category = dynamic_cast<const TSymbolicCategory*>(read.get());
    ASSERT_NE(category, nullptr);
    EXPECT_EQ(category->Name, name);
    EXPECT_EQ(category->Url, u"http://x/\n");
  }
}

TEST_F(XmlSaveToFileTest, AFailedSaveLeavesThePreviousFileWhole) {
  { std::ofstream(file_, std::ios::binary) << "previous"; }
  TWithRecord record;
  EXPECT_EQ(Failure([&] { TXmlPersistance::SaveToFile(&record, file_); }),
            "EXmlPersistance: Property type 14 not implemented.");
  EXPECT_EQ(ReadAll(file_), "previous");
  EXPECT_EQ(FilesInDir(), 1u);  // no temporary file left behind
}

TEST_F(XmlSaveToFileTest, AFolderThatDoesNotExistFailsWithCreateError) {
  TXMLTreeNode root;
  const std::string failure = Failure([&] { TXmlPersistance::SaveToFile(&root, (dir_ / "no" / "tree.xml").string()); });
  EXPECT_EQ(failure.rfind("EFCreateError: Cannot create file", 0), 0u) << failure;
}

}  // namespace
}  // namespace xml_test
