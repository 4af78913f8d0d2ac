// Inputs kept from fuzzing the reader, and hostile documents: each must end in a result or in one of
// the persistence's own exceptions, never in a crash, a hang or another exception.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "common/XmlPersistance.h"
#include "tests/common/XmlPersistance_test_fixture.h"

namespace xml_test {
namespace {

class XmlFuzzRegressionTest : public TXmlTest {};

std::string LoadOutcome(const std::filesystem::path& file) {
  return Failure([&] {
    std::unique_ptr<TXMLPersistentObject> obj = TXmlPersistance::LoadFromFile(file.string());
    if (auto* node = dynamic_cast<TXMLTreeNode*>(obj.get())) node->FreeData();
  });
}

TEST_F(XmlFuzzRegressionTest, EveryKeptInputEndsInAResultOrOwnException) {
  const std::filesystem::path dir = std::filesystem::path(WEXA_TEST_DATA_DIR) / ".." / "fuzz" / "corpus-regressions";
  // Outcomes of the hand-made hostile documents; fuzzer finds only need to end cleanly.
  const std::map<std::string, std::string> expected = {
      {"billion-laughs.xml", "EXmlPersistance: Xml class lolz is not registered."},
      // The document type is the first node; it bears the name "DUMMY_NODE" but holds no object.
      {"external-entity.xml", "EXmlDocumentError: List index out of bounds (0): DUMMY_NODE has no child nodes."},
      {"utf16-tree.xml", "no exception"},
  };
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    SCOPED_TRACE(name);
    ++files;
    const std::string outcome = LoadOutcome(entry.path());
    EXPECT_EQ(outcome.rfind("std::exception", 0), std::string::npos) << outcome;
    if (auto it = expected.find(name); it != expected.end()) {
      EXPECT_EQ(outcome, it->second);
    }
    if (name == "deep-nesting.xml") {
      EXPECT_NE(outcome.find("Elements are nested deeper than 1024 levels."), std::string::npos) << outcome;
    }
  }
  EXPECT_GE(files, expected.size() + 1);
}

}  // namespace
}  // namespace xml_test
