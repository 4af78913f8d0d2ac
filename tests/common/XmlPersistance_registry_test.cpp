// Class registry, class descriptions, and a save-and-load round trip of every kind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>

#include "common/XmlPersistance.h"
#include "tests/common/XmlPersistance_test_fixture.h"

namespace xml_test {
namespace {

class XmlRegistryTest : public TXmlTest {};

TEST_F(XmlRegistryTest, NamesMatchIgnoringAsciiCaseAndTheFirstRegistrationKeepsTheName) {
  const std::size_t count = XmlClassManager->Count();
  RegisterXmlClass<TCategory>();
  // Same name in other letters: not added.
  static const TXmlClass upper("TCATEGORY", nullptr, typeid(TCategory), nullptr, {});
  RegisterXmlClass(upper);
  EXPECT_EQ(XmlClassManager->Count(), count);
  for (const char* name : {"TCategory", "tcategory", "TCATEGORY"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(FindXmlClass(name), &TCategory::StaticXmlClass());
  }
  EXPECT_EQ(FindXmlClass("TBaseCategory"), nullptr);
  EXPECT_EQ(FindXmlClass(""), nullptr);
  EXPECT_EQ(FindXmlClass("TCategor"), nullptr);
}

TEST_F(XmlRegistryTest, OnlyAsciiLettersFoldCase) {
  EXPECT_TRUE(SameXmlName("aZ_09", "Az_09"));
  EXPECT_FALSE(SameXmlName("_", "\x7F"));  // differ only in bit 0x20, but are not letters
  EXPECT_FALSE(SameXmlName("@", "`"));
  EXPECT_FALSE(SameXmlName("\xC3\xA9", "\xE3\xA9"));
  EXPECT_FALSE(SameXmlName("ab", "abc"));
}

TEST_F(XmlRegistryTest, LookupWhileTheSameThreadHoldsTheLockDoesNotBlock) {
  std::lock_guard<std::recursive_mutex> guard(XmlClassManager->FLock);
  EXPECT_EQ(FindXmlClass("TXMLTreeNode"), &TXMLTreeNode::StaticXmlClass());
}

TEST_F(XmlRegistryTest, AnotherThreadWaitsForTheLock) {
  std::atomic<bool> found{false};
  std::thread other;
  {
    std::lock_guard<std::recursive_mutex> guard(XmlClassManager->FLock);
    other = std::thread([&] { found = FindXmlClass("TCategory") != nullptr; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(found);
  }
  other.join();
  EXPECT_TRUE(found);
}

TEST_F(XmlRegistryTest, UnitMustBeStarted) {
  FinalizeXmlPersistance();
  EXPECT_EQ(Failure([] { FindXmlClass("TCategory"); }),
            "EXmlPersistance: The XML persistence is not initialized.");
  InitializeXmlPersistance();
  EXPECT_NE(XmlLogger, nullptr);
}

TEST_F(XmlRegistryTest, ClassDescriptions) {
  const TXmlClass& cat = TCategory::StaticXmlClass();
  EXPECT_EQ(cat.Name(), "TCategory");
  EXPECT_EQ(cat.Properties().size(), 4u);  // Name and Url inherited
  EXPECT_TRUE(cat.InheritsFrom(TBaseCategory::StaticXmlClass()));
  EXPECT_FALSE(TBaseCategory::StaticXmlClass().InheritsFrom(cat));
  ASSERT_NE(cat.FindProperty("url"), nullptr);
  EXPECT_EQ(cat.FindProperty("url")->Name, "Url");
  EXPECT_EQ(cat.FindProperty("Parent"), nullptr);

  const TXmlClass& node = TXMLTreeNode::StaticXmlClass();
  const TPropertyInfo* nodes = node.FindProperty("Nodes");
  ASSERT_NE(nodes, nullptr);
  EXPECT_EQ(nodes->Kind, pkDynArray);
  EXPECT_EQ(nodes->Dimensions, 1);
  EXPECT_EQ(nodes->ItemKind, pkClass);
  EXPECT_EQ(TWithMatrix::StaticXmlClass().FindProperty("Rows")->Dimensions, 2);

  std::vector<std::string> kinds;
  for (const TPropertyInfo* p : TAllKinds::StaticXmlClass().SortedProperties()) {
    kinds.push_back(p->Name + "=" + std::to_string(p->Kind));
  }
  EXPECT_EQ(kinds, (std::vector<std::string>{
                       "Char=2", "Color=3", "Doubled=1", "Flag=3", "Float=4", "Int=1", "Int64=16", "Ints=17",
                       "Object=7", "Objects=17", "OnChange=8", "Set=6", "Short=5", "Small=1", "String=10",
                       "Strings=17", "Unsigned=1", "Variant=12", "WideChar=9", "WideString=11", "WideStrings=17"}));
}

TEST_F(XmlRegistryTest, DuplicatePropertyNamesAreRefused) {
  std::vector<TPropertyInfo> props;
  props.push_back(XmlUnsupported("Name", pkInteger));
  EXPECT_EQ(Failure([&] {
              TXmlClass cls("TDup", &TBaseCategory::StaticXmlClass(), typeid(TCategory), nullptr,
                            std::move(props));
            }),
            "EXmlPersistance: Class TDup publishes property Name more than once.");
}

TEST_F(XmlRegistryTest, SaveAndLoadTraceEveryObjectInTheLogAtFullDebug) {
  ASSERT_NE(XmlLogger, nullptr);
  const std::string logFile = XmlLogger->FileName;
  const auto sizeBefore = std::filesystem::exists(logFile) ? std::filesystem::file_size(logFile) : 0;
  TCategory cat(1, u"A", u"", 0);
  TXMLTreeNode root;
  auto* node = new TXMLTreeNode;
  node->Data = &cat;
  root.AddNode(node);
  std::string text;
  const TLogLevel level = LogLevel;
  LogLevel = llFullDebug;
  TXmlPersistance::SaveToString(&root, true, text);
  LogLevel = level;
  node->Data = nullptr;

  std::ifstream in(logFile, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(sizeBefore));
  std::vector<std::string> traces;
  for (std::string line; std::getline(in, line);) {
    const std::size_t at = line.find(" : ");
    if (at != std::string::npos) traces.push_back(line.substr(at + 3, line.find('\r') - at - 3));
  }
  EXPECT_EQ(traces, (std::vector<std::string>{"saving to xml TXMLTreeNode", "saving to xml TXMLTreeNode",
                                               "saving to xml TCategory", "done saving to xml TCategory",
                                               "done saving to xml TXMLTreeNode",
                                               "done saving to xml TXMLTreeNode"}));
}

class XmlRoundTripTest : public TXmlTest {
 protected:
  void TearDown() override {
    std::filesystem::remove(file_);
    TXmlTest::TearDown();
  }
  std::string file_ =
      (std::filesystem::temp_directory_path() / ("xml_roundtrip_" + std::to_string(::getpid()) + ".xml")).string();
};

TEST_F(XmlRoundTripTest, EveryKindComesBack) {
  const std::vector<double> floats = {0.5,  -3, 123.25, 1e20, 1.5e-7, 0.1, -2.5e-300, 123456789012345,
                                      1e15, std::numeric_limits<double>::infinity()};
  const std::vector<TXmlVariant> variants = {TXmlNull{}, std::string("text & <more>"), std::string(" ")};
  for (std::size_t round = 0; round < floats.size(); ++round) {
    SCOPED_TRACE(round);
    TAllKinds all;
    all.Int = std::numeric_limits<std::int32_t>::min();
    all.Small = -32768;
    all.Unsigned = 3000000000u;
    all.Char = '\xFF';
    all.Color = clGreen;
    all.Flag = true;
    all.Float = floats[round];
    all.Short = "sh<o>rt";
    all.Set = std::bitset<8>("10000001");
    all.Object = std::make_unique<TCategory>(9, u"in", u"u&", -1);
    all.WideString = u"Caf\u00E9 \u4E2D\U0001F600 \r\n\t";
    all.WideChar = u'\uFFFD';
    all.String = "R&D \"quoted\"";
    all.Variant = variants[round % variants.size()];
    all.Int64 = std::numeric_limits<std::int64_t>::max();
    all.Ints = {3, -4, 0};
    all.Strings = {"", " ", "a&b"};
    all.WideStrings = {u"\u00FC", u""};
    all.Objects.push_back(std::make_unique<TSymbolicCategory>(-1, u"S", u"s"));
    all.Objects.push_back(std::make_unique<TCategory>(2, u"C", u"c", 5));
    all.SetDoubled(42);

    TXmlPersistance::SaveToFile(&all, file_);
    std::unique_ptr<TXMLPersistentObject> loaded = TXmlPersistance::LoadFromFile(file_);
    auto* back = dynamic_cast<TAllKinds*>(loaded.get());
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->Int, all.Int);
    EXPECT_EQ(back->Small, all.Small);
    EXPECT_EQ(back->Unsigned, all.Unsigned);
    EXPECT_EQ(back->Char, all.Char);
    EXPECT_EQ(back->Color, all.Color);
    EXPECT_EQ(back->Flag, all.Flag);
    EXPECT_EQ(back->Float, all.Float);
    EXPECT_EQ(back->Short, all.Short);
    EXPECT_EQ(back->Set, all.Set);
    ASSERT_NE(back->Object, nullptr);
    EXPECT_EQ(back->Object->ID, 9);
    EXPECT_EQ(back->Object->Url, u"u&");
    EXPECT_EQ(back->WideString, all.WideString);
    EXPECT_EQ(back->WideChar, all.WideChar);
    EXPECT_EQ(back->String, all.String);
    EXPECT_EQ(back->Variant, all.Variant);
    EXPECT_EQ(back->Int64, all.Int64);
    EXPECT_EQ(back->Ints, all.Ints);
    EXPECT_EQ(back->Strings, all.Strings);
    EXPECT_EQ(back->WideStrings, all.WideStrings);
    ASSERT_EQ(back->Objects.size(), 2u);
    auto* sym = dynamic_cast<TSymbolicCategory*>(back->Objects[0].get());
    ASSERT_NE(sym, nullptr);
    EXPECT_EQ(sym->Name, u"S");
    auto* cat = dynamic_cast<TCategory*>(back->Objects[1].get());
    ASSERT_NE(cat, nullptr);
    EXPECT_EQ(cat->Content, 5);
    EXPECT_EQ(back->Doubled(), 42);
  }
}

TEST_F(XmlRoundTripTest, TreeComesBackInOrder) {
  TXMLTreeNode root;
  for (int i = 0; i < 3; ++i) {
    auto* top = new TXMLTreeNode;
    top->Data = new TCategory(i + 1, u"C" + std::u16string(1, char16_t(u'0' + i)), u"", i * 10);
    for (int j = 0; j < i; ++j) {
      auto* leaf = new TXMLTreeNode;
      leaf->Data = new TSymbolicCategory(-1, u"S", u"");
      top->AddNode(leaf);
    }
    root.AddNode(top);
  }
  TXmlPersistance::SaveToFile(&root, file_);
  std::unique_ptr<TXMLPersistentObject> loaded = TXmlPersistance::LoadFromFile(file_);
  auto* back = dynamic_cast<TXMLTreeNode*>(loaded.get());
  ASSERT_NE(back, nullptr);
  std::string text;
  TXmlPersistance::SaveToString(back, true, text);
  std::string original;
  TXmlPersistance::SaveToString(&root, true, original);
  EXPECT_EQ(text, original);
  ASSERT_EQ(back->Nodes.size(), 3u);
  EXPECT_EQ(static_cast<TCategory*>(back->Nodes[2]->Data)->ID, 3);
  EXPECT_EQ(back->Nodes[2]->Nodes.size(), 2u);
  back->FreeData();
  root.FreeData();
}

}  // namespace
}  // namespace xml_test
