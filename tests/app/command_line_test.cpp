// The command line's one table of options: the parser and the help text both come from it.

#include "app/command_line.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandLineTest, ParsesFromTheTableAndNamesTheFirstProblem) {
  struct Case {
    std::vector<std::string> args;
    const char* error;  // nullptr: accepted
  };
  const std::vector<Case> cases = {
      {{"--headless", "--new"}, nullptr},
      {{"--headless", "--min-content=2147483647"}, nullptr},
      {{"--headless", "--resume", "--new"}, "--resume and --new exclude each other"},
      {{"--headless", "--new", "--resume"}, "--new and --resume exclude each other"},
      {{"--headless", "--min-content", "2147483648"},
       "--min-content takes a whole number from 0 to 2147483647, not '2147483648'"},
      {{"--headless", "--min-content", "99999999999999999999"},
       "--min-content takes a whole number from 0 to 2147483647, not '99999999999999999999'"},
      {{"--new"}, "--new needs --headless"},
      {{"--headless=yes"}, "--headless takes no value: --headless=yes"},
      {{"--headless", "--parallel"}, "--parallel needs a number"},
      {{"--headless", "-x"}, "unknown argument: -x"},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    if (!c.error) {
      EXPECT_NO_THROW(ParseCommandLine(c.args));
      continue;
    }
    try {
      ParseCommandLine(c.args);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), c.error);
    }
  }
  const TCommandLine fresh = ParseCommandLine({"--headless", "--new"});
  EXPECT_TRUE(fresh.headless && fresh.options.newCrawl && !fresh.options.resume);
}

TEST(CommandLineTest, EveryRowIsInTheHelpAndItsModesUsageLine) {
  const std::string help = ProgramHelpText();
  const std::string usage = HeadlessUsage();
  for (const TOptionRow& row : CommandLineOptions()) {
    SCOPED_TRACE(row.name);
    const std::string spelling = row.valueName.empty() ? row.name : row.name + " " + row.valueName;
    EXPECT_NE(help.find("\n  " + (row.shortName.empty() ? "" : row.shortName + ", ") + spelling + " "),
              std::string::npos);
    // The first words of the row's text start its entry in the help.
    EXPECT_NE(help.find(row.help.substr(0, 20)), std::string::npos);
    const bool inUsage = usage.find(spelling + "]") != std::string::npos || usage.find(spelling + " |") != std::string::npos;
    EXPECT_EQ(inUsage, (row.modes & omHeadless) && row.name != "--headless" && row.name != "--help" &&
                           row.name != "--version");
  }
  std::size_t widest = 0;
  for (std::size_t start = 0, end; start < help.size(); start = end + 1) {
    end = help.find('\n', start);
    // A usage line stays whole, however long: the manual page's synopsis takes one per line.
    const std::string line = help.substr(start, end - start);
    if (line.rfind("Usage: ", 0) == 0 || line.rfind("  or:  ", 0) == 0) continue;
    widest = std::max(widest, end - start);
  }
  EXPECT_LE(widest, 100u);
}

}  // namespace
