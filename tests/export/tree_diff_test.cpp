// Comparing two saved trees: what counts as added, removed and changed, in which order, and how
// repeated addresses are paired.

#include <gtest/gtest.h>

#include "export_fixture.h"
#include "export_tool.h"
#include "tree_diff.h"

namespace export_test {
namespace {

using namespace exporter;

TEST_F(ExportTest, DiffListsAddedRemovedAndChangedButNotUnchanged) {
  const std::string before = SaveBuiltTree("old.xml", [](platform::TreeView& t) {
    auto* arts = Real(t, nullptr, 1, u"Arts", u"http://w/Arts/", -1);
    Real(t, arts, 2, u"Music", u"http://w/Arts/Music/", 120);          // content changes
    Real(t, arts, 3, u"Dance", u"http://w/Arts/Dance/", 40);           // removed
    Real(t, arts, 4, u"Film", u"http://w/Arts/Film/", 10);             // renamed
    Symbolic(t, arts, u"Gone", u"http://w/Gone/");                     // symbolic: never listed
    Real(t, nullptr, 5, u"Science", u"http://w/Science/", -1);         // unchanged, new ID below
    Real(t, nullptr, 6, u"Sports, \"Games\"", u"http://w/Sports/", 9);  // removed, needs quoting
  });
  const std::string after = SaveBuiltTree("new.xml", [](platform::TreeView& t) {
    Real(t, nullptr, 10, u"Science", u"http://w/Science/", -1);
    auto* arts = Real(t, nullptr, 11, u"Arts", u"http://w/Arts/", -1);
    Real(t, arts, 12, u"Cinéma", u"http://w/Arts/Film/", 10);
    Real(t, arts, 13, u"Music", u"http://w/Arts/Music/", 121);
    Real(t, arts, 14, u"Poetry", u"http://w/Arts/Poetry/", 3);          // added
    Symbolic(t, arts, u"New", u"http://w/New/");
    Real(t, nullptr, 15, u"ARTS", u"http://w/ARTS/", -1);              // another letter case: another address
  });

  EXPECT_EQ(DiffTreeFiles(before, after, ofCsv),
            "change,address,old_name,new_name,old_content,new_content\r\n"
            "changed,http://w/Arts/Film/,Film,Cinéma,10,10\r\n"
            "changed,http://w/Arts/Music/,Music,Music,120,121\r\n"
            "added,http://w/Arts/Poetry/,,Poetry,,3\r\n"
            "added,http://w/ARTS/,,ARTS,,-1\r\n"
            "removed,http://w/Arts/Dance/,Dance,,40,\r\n"
            "removed,http://w/Sports/,\"Sports, \"\"Games\"\"\",,9,\r\n");
  EXPECT_EQ(DiffTreeFiles(before, after, ofJsonLines),
            R"({"change":"changed","address":"http://w/Arts/Film/","old_name":"Film","new_name":"Cinéma","old_content":10,"new_content":10})" "\n"
            R"({"change":"changed","address":"http://w/Arts/Music/","old_name":"Music","new_name":"Music","old_content":120,"new_content":121})" "\n"
            R"({"change":"added","address":"http://w/Arts/Poetry/","old_name":null,"new_name":"Poetry","old_content":null,"new_content":3})" "\n"
            R"({"change":"added","address":"http://w/ARTS/","old_name":null,"new_name":"ARTS","old_content":null,"new_content":-1})" "\n"
            R"({"change":"removed","address":"http://w/Arts/Dance/","old_name":"Dance","new_name":null,"old_content":40,"new_content":null})" "\n"
            R"({"change":"removed","address":"http://w/Sports/","old_name":"Sports, \"Games\"","new_name":null,"old_content":9,"new_content":null})" "\n");
}

TEST_F(ExportTest, DiffOfATreeWithItselfIsEmpty) {
  const std::string tree = SaveBuiltTree("tree.xml", [](platform::TreeView& t) {
    auto* a = Real(t, nullptr, 1, u"A", u"http://w/A/", -1);
    Real(t, a, 2, u"B", u"http://w/B/", 5);
    Symbolic(t, a, u"C", u"http://w/C/");
  });
  EXPECT_EQ(DiffTreeFiles(tree, tree, ofCsv), "change,address,old_name,new_name,old_content,new_content\r\n");
  EXPECT_EQ(DiffTreeFiles(tree, tree, ofJsonLines), "");
}

TEST_F(ExportTest, RepeatedAddressesArePairedByOccurrence) {
  // Old: X twice (first "one", then "two"). New: X three times; the first two pair with the old ones
  // in order, the third is added. A and B each appear once per side only in one snapshot.
  const std::string before = SaveBuiltTree("old.xml", [](platform::TreeView& t) {
    Real(t, nullptr, 1, u"one", u"http://w/X/", 1);
    Real(t, nullptr, 2, u"two", u"http://w/X/", 2);
    Real(t, nullptr, 3, u"A", u"http://w/A/", 1);
  });
  const std::string after = SaveBuiltTree("new.xml", [](platform::TreeView& t) {
    Real(t, nullptr, 1, u"one", u"http://w/X/", 1);
    Real(t, nullptr, 2, u"TWO", u"http://w/X/", 2);
    Real(t, nullptr, 3, u"three", u"http://w/X/", 3);
    Real(t, nullptr, 4, u"B", u"http://w/B/", 1);
  });
  TLoadedTree oldTree = TLoadedTree::Read(before);
  TLoadedTree newTree = TLoadedTree::Read(after);
  const std::vector<TCategoryChange> changes = DiffTrees(oldTree.Root(), newTree.Root());
  ASSERT_EQ(changes.size(), 4u);
  EXPECT_EQ(changes[0].kind, ckChanged);
  EXPECT_EQ(changes[0].oldName, "two");
  EXPECT_EQ(changes[0].newName, "TWO");
  EXPECT_EQ(changes[1].kind, ckAdded);
  EXPECT_EQ(changes[1].newName, "three");
  EXPECT_EQ(changes[2].kind, ckAdded);
  EXPECT_EQ(changes[2].address, "http://w/B/");
  EXPECT_EQ(changes[3].kind, ckRemoved);
  EXPECT_EQ(changes[3].address, "http://w/A/");
  EXPECT_EQ(changes[3].newContent, std::nullopt);
}

TEST_F(ExportTest, DiffOfFilesThatCannotBeReadFailsWithTheReadersError) {
  const std::string good = SaveBuiltTree("tree.xml", [](platform::TreeView& t) {
    Real(t, nullptr, 1, u"A", u"http://w/A/", -1);
  });
  WriteFile(Path("store.xml"), "<DUMMY_NODE><TWexa><Categories/><SymbolicCategories/></TWexa></DUMMY_NODE>");
  EXPECT_THROW(DiffTreeFiles(good, Path("missing.xml"), ofCsv), EFOpenError);
  EXPECT_THROW(DiffTreeFiles(Path("store.xml"), good, ofCsv), EXmlPersistance);
}

}  // namespace
}  // namespace export_test
