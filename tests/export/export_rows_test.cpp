// Exporting a saved tree: the rows of a known tree in CSV and JSON Lines, the visited column from the
// queue file, and the escaping of both formats.

#include <gtest/gtest.h>

#include "export_fixture.h"
#include "export_rows.h"
#include "export_tool.h"
#include "output_file.h"

namespace export_test {
namespace {

using namespace exporter;

// A tree with names that need quoting and escaping, letters outside Latin, a symbolic record with a
// real child (only a hand-edited file has one) and top-level categories without a count.
class KnownTreeTest : public ExportTest {
 protected:
  void SetUp() override {
    ExportTest::SetUp();
    tree_ = SaveBuiltTree("tree.xml", [](platform::TreeView& t) {
      auto* arts = Real(t, nullptr, 1, u"Arts, Crafts & \"Hobbies\"", u"http://www.wexa.org/Arts/", -1);
      auto* music = Real(t, arts, 2, u"Музыка", u"http://www.wexa.org/Arts/Music/", 120);
      Symbolic(t, music, u"Line\r\nbreak", u"http://www.wexa.org/Jazz/");
      Real(t, music, 3, u"日本語", u"http://www.wexa.org/Arts/Music/Japan/", 7);
      auto* greek = Symbolic(t, arts, u"Ελληνικά", u"http://www.wexa.org/Greek/");
      Real(t, greek, 5, u"Child", u"http://www.wexa.org/Greek/Child/", 3);
      Real(t, nullptr, 4, u"Zeta", u"http://www.wexa.org/Zeta/", 5000);
    });
  }

  std::string Export(const std::optional<std::string>& queue, TOutputFormat format) {
    const std::string out = Path(format == ofCsv ? "out.csv" : "out.jsonl");
    ExportTree(tree_, queue, format, out, false);
    return ReadFile(out);
  }

  std::string tree_;
};

TEST_F(KnownTreeTest, CsvHasOneQuotedRowPerRecordInTreeOrder) {
  // Pending: 3 and 4; 99 names no category and changes nothing. Mixed line ends, no final break.
  WriteFile(Path("queue.lst"), "3\r\n99\n4");
  const std::string a = "\"Arts, Crafts & \"\"Hobbies\"\"";
  EXPECT_EQ(Export(Path("queue.lst"), ofCsv),
            "id,kind,name,address,content,parent_id,depth,path,visited\r\n"
            "1,category," + a + "\",http://www.wexa.org/Arts/,-1,,1," + a + "\",true\r\n"
            "2,category,Музыка,http://www.wexa.org/Arts/Music/,120,1,2," + a + " / Музыка\",true\r\n"
            ",symbolic,\"Line\r\nbreak\",http://www.wexa.org/Jazz/,,2,3," + a + " / Музыка / Line\r\nbreak\",false\r\n"
            "3,category,日本語,http://www.wexa.org/Arts/Music/Japan/,7,2,3," + a + " / Музыка / 日本語\",false\r\n"
            ",symbolic,Ελληνικά,http://www.wexa.org/Greek/,,1,2," + a + " / Ελληνικά\",false\r\n"
            "5,category,Child,http://www.wexa.org/Greek/Child/,3,1,3," + a + " / Ελληνικά / Child\",true\r\n"
            "4,category,Zeta,http://www.wexa.org/Zeta/,5000,,1,Zeta,false\r\n");
}

TEST_F(KnownTreeTest, JsonLinesHaveOneEscapedObjectPerRecord) {
  WriteFile(Path("queue.lst"), "3\r\n4\r\n");
  const std::string a = R"(Arts, Crafts & \"Hobbies\")";
  EXPECT_EQ(Export(Path("queue.lst"), ofJsonLines),
            R"({"id":1,"kind":"category","name":")" + a +
                R"(","address":"http://www.wexa.org/Arts/","content":-1,"parent_id":null,"depth":1,"path":")" + a +
                R"(","visited":true})" "\n"
            R"({"id":2,"kind":"category","name":"Музыка","address":"http://www.wexa.org/Arts/Music/","content":120,)"
                R"("parent_id":1,"depth":2,"path":")" + a + R"( / Музыка","visited":true})" "\n"
            R"({"id":null,"kind":"symbolic","name":"Line\r\nbreak","address":"http://www.wexa.org/Jazz/",)"
                R"("content":null,"parent_id":2,"depth":3,"path":")" + a + R"( / Музыка / Line\r\nbreak","visited":false})" "\n"
            R"({"id":3,"kind":"category","name":"日本語","address":"http://www.wexa.org/Arts/Music/Japan/","content":7,)"
                R"("parent_id":2,"depth":3,"path":")" + a + R"( / Музыка / 日本語","visited":false})" "\n"
            R"({"id":null,"kind":"symbolic","name":"Ελληνικά","address":"http://www.wexa.org/Greek/","content":null,)"
                R"("parent_id":1,"depth":2,"path":")" + a + R"( / Ελληνικά","visited":false})" "\n"
            R"({"id":5,"kind":"category","name":"Child","address":"http://www.wexa.org/Greek/Child/","content":3,)"
                R"("parent_id":1,"depth":3,"path":")" + a + R"( / Ελληνικά / Child","visited":true})" "\n"
            R"({"id":4,"kind":"category","name":"Zeta","address":"http://www.wexa.org/Zeta/","content":5000,)"
                R"("parent_id":null,"depth":1,"path":"Zeta","visited":false})" "\n");
}

TEST_F(KnownTreeTest, VisitedFollowsThePendingIdsOfTheQueueFile) {
  struct Case {
    const char* queue;  // nullptr: no queue file
    const char* visited;
  };
  const std::vector<Case> cases = {
      {nullptr, "11111"},          // nothing pending
      {"", "11111"},               // a finished crawl's empty queue
      {"1\r\n2\r\n3\r\n5\r\n4\r\n", "00000"},
      {"2\n5\n", "10101"},         // line feeds only
      {"2\r5\r", "10101"},         // carriage returns only
      {"4", "11110"},              // no final break
      {" 4 \r\n", "11110"},        // blanks around the digits, as the crawler's load accepts them
      {"1\r\n1\r\n", "01111"},     // an ID twice
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.queue ? c.queue : "(none)");
    std::optional<std::string> queue;
    if (c.queue) {
      WriteFile(Path("queue.lst"), c.queue);
      queue = Path("queue.lst");
    }
    std::filesystem::remove(Path("out.csv"));
    const std::string csv = Export(queue, ofCsv);
    std::string flags;
    std::istringstream lines(csv);
    std::string line;
    while (std::getline(lines, line)) {
      if (line.find(",category,") == std::string::npos) continue;
      flags += line.ends_with("true\r") ? '1' : '0';
    }
    EXPECT_EQ(flags, c.visited);
  }
}

TEST_F(KnownTreeTest, BadQueueLineFailsNamingItAndLeavesNoOutput) {
  struct Case {
    const char* queue;
    const char* message;  // after the file name
  };
  const std::vector<Case> cases = {
      {"abc\r\n", ", line 1: 'abc' is not a valid integer value"},
      {"1\r\n\r\n2\r\n", ", line 2: '' is not a valid integer value"},
      {"1\n2\n2147483648\n", ", line 3: '2147483648' is not a valid integer value"},
      {"1\r\n0x10\r\n", ", line 2: '0x10' is not a valid integer value"},
      {"\n", ", line 1: '' is not a valid integer value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.queue);
    WriteFile(Path("queue.lst"), c.queue);
    try {
      ExportTree(tree_, Path("queue.lst"), ofCsv, Path("out.csv"), false);
      ADD_FAILURE() << "no error";
    } catch (const EConvertError& error) {
      EXPECT_EQ(error.Message(), Path("queue.lst") + c.message);
    }
    EXPECT_EQ(FolderEntries(), (std::vector<std::string>{"queue.lst", "tree.xml"}));
  }
}

TEST_F(KnownTreeTest, DefaultQueueIsTheOneBesideTheTree) {
  EXPECT_EQ(DefaultQueueFile(tree_), std::nullopt);
  WriteFile(Path("queue.lst"), "");
  EXPECT_EQ(DefaultQueueFile(tree_), Path("queue.lst"));
  // A bare file name looks in the current folder.
  EXPECT_EQ(DefaultQueueFile("tree.xml").has_value(), std::filesystem::exists("queue.lst"));
}

TEST_F(ExportTest, EmptyTreeGivesTheHeaderAloneInCsvAndNothingInJson) {
  const std::string tree = SaveBuiltTree("tree.xml", [](platform::TreeView&) {});
  ExportTree(tree, std::nullopt, ofCsv, Path("out.csv"), false);
  ExportTree(tree, std::nullopt, ofJsonLines, Path("out.jsonl"), false);
  EXPECT_EQ(ReadFile(Path("out.csv")), "id,kind,name,address,content,parent_id,depth,path,visited\r\n");
  EXPECT_EQ(ReadFile(Path("out.jsonl")), "");
}

TEST(CsvFieldTest, QuotesExactlyTheFieldsThatNeedIt) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"plain", "plain"},
      {" spaced ", " spaced "},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"\"", "\"\"\"\""},
      {"cr\rhere", "\"cr\rhere\""},
      {"lf\nhere", "\"lf\nhere\""},
      {"tab\there", "tab\there"},
      {"Ωμέγα;日本", "Ωμέγα;日本"},
  };
  for (const auto& [field, expected] : cases) {
    SCOPED_TRACE(field);
    std::string out = "x";
    AppendCsvField(out, field);
    EXPECT_EQ(out, "x" + expected);
  }
}

TEST(JsonStringTest, EscapesQuotesBackslashesAndEveryControlCharacter) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", R"("")"},
      {"a\"b\\c/d", R"("a\"b\\c/d")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {std::string("\0\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"\x7f", "\"\x7f\""},
      {"Ωμέγα 日本 😀", "\"Ωμέγα 日本 😀\""},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(expected);
    std::string out;
    AppendJsonString(out, text);
    EXPECT_EQ(out, expected);
  }
}

}  // namespace
}  // namespace export_test
