// Windowless mode: the command line and the outputs turned into lines.

#include "app/headless.h"

#include <sstream>

#include "tests/app/form_fixture.h"

namespace wexa_test {
namespace {

TEST(HeadlessArgumentsTest, AcceptsTheContractAndRefusesTheRest) {
  EXPECT_FALSE(ParseHeadlessArguments({}).has_value());
  auto o = ParseHeadlessArguments({"--headless"});
  ASSERT_TRUE(o);
  EXPECT_FALSE(o->resume);
  EXPECT_FALSE(o->minContent);
  o = ParseHeadlessArguments({"--headless", "--min-content", "120", "--resume"});
  ASSERT_TRUE(o);
  EXPECT_TRUE(o->resume);
  EXPECT_EQ(*o->minContent, "120");
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"--headless", "--min-content"}, {"--headless", "--min-content", "-5"},
        {"--headless", "--min-content", "12x"}, {"--headless", "--bogus"}, {"--resume"}}) {
    EXPECT_THROW(ParseHeadlessArguments(bad), std::invalid_argument) << bad.back();
  }
}

class HeadlessHostTest : public ::testing::Test {
 protected:
  double now = 0;
  std::ostringstream out, err;
  platform::fake::FakeFormHost inner;
  THeadlessHost host{inner, out, err, [this] { return now; }};
};

TEST_F(HeadlessHostTest, StatusLinesAreThrottledButTheLastAndTheFinishedLineAlwaysShow) {
  unsetenv("WEXA_ROOT_URL");
  TForm1 form(host);
  auto* bar = form.Controls().StatusBar1;
  bar->SetSimpleText("one");      // printed: the first
  now = 0.01;
  bar->SetSimpleText("two");      // held back
  now = 0.02;
  bar->SetSimpleText("three");    // held back, replaces two
  now = 0.03;
  bar->SetSimpleText("*** FINISHED *** Categories: 0 | Symbolic categories: 0 | Queue: 0");  // always
  now = 0.2;
  bar->SetSimpleText("four");     // printed: enough time has passed
  now = 0.21;
  bar->SetSimpleText("five");     // held back until the flush
  host.FlushStatus();
  host.FlushStatus();             // nothing more
  EXPECT_EQ(out.str(), "one\n*** FINISHED *** Categories: 0 | Symbolic categories: 0 | Queue: 0\nfour\nfive\n");
  EXPECT_TRUE(host.Finished());
  EXPECT_EQ(inner.statusBar.SimpleText(), "five") << "the hidden window still shows every line";
}

TEST_F(HeadlessHostTest, MemoLinesAndMessagesGoToStderrAndQuestionsAreAnsweredYes) {
  TForm1 form(host);
  form.Controls().Memo1->AddLine("Retrying server (x)...");
  EXPECT_EQ(host.Dialogs().Confirm("Continue?", true), platform::TModalResult::mrYes);
  host.Dialogs().ShowMessage("bingo 1 2");
  EXPECT_EQ(err.str(), "Retrying server (x)...\nContinue?\nbingo 1 2\n");
  EXPECT_EQ(host.MessagesShown(), 1);
  EXPECT_EQ(inner.memo.Lines().size(), 1u);
}

}  // namespace
}  // namespace wexa_test
