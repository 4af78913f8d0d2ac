// The fatal-signal report: a process that dies of a fatal signal still dies of it, and leaves a report
// file naming the signal, with the frames that led there.

#include "platform/qt/fatal_report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using ::testing::HasSubstr;
using ::testing::KilledBySignal;
using ::testing::Not;

namespace {

namespace fs = std::filesystem;

volatile int recursionLimit = INT_MAX;
volatile int divisor = 0;
int* volatile nowhere = nullptr;

[[gnu::noinline]] void WriteThroughNull() { *nowhere = 1; }

[[gnu::noinline]] int RecurseWithoutEnd(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  if (depth < recursionLimit) return RecurseWithoutEnd(depth + 1) + frame[0];
  return frame[0];
}

[[gnu::noinline]] void DivideByZero() { recursionLimit = 10 / divisor; }

[[gnu::noinline]] void AbortNow() { std::abort(); }

// A crash leaves no core file behind in the test's folder.
void NoCoreFile() {
  rlimit none{0, 0};
  setrlimit(RLIMIT_CORE, &none);
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string UtcDate(std::time_t t) {
  char text[16];
  std::tm utc{};
  gmtime_r(&t, &utc);
  std::strftime(text, sizeof(text), "%Y%m%d", &utc);
  return text;
}

class FatalReportTest : public ::testing::Test {
 protected:
  // The application object has threads, so a death test runs in a fresh start of this program, which
  // runs SetUp again: the folder is handed to it in the environment.
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    if (const char* inherited = std::getenv(kFolderVariable)) {
      folder = inherited;
      return;
    }
    std::string pattern = (fs::temp_directory_path() / "wexa-fatal-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder = pattern;
    setenv(kFolderVariable, pattern.c_str(), 1);
  }
  void TearDown() override {
    unsetenv(kFolderVariable);
    fs::remove_all(folder);
  }

  static constexpr const char* kFolderVariable = "WEXA_FATAL_REPORT_TEST_FOLDER";

  // The report files in dir.
  static std::vector<fs::path> Reports(const fs::path& dir) {
    std::vector<fs::path> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error))
      if (entry.path().filename().string().rfind("crash-", 0) == 0) found.push_back(entry.path());
    return found;
  }

  fs::path folder;
};

using FatalReportDeathTest = FatalReportTest;

// Source files and lines come from debug information, which a Release build does not carry.
constexpr bool kBuildHasDebugInformation = WEXA_TESTS_HAVE_DEBUG_INFO;

TEST_F(FatalReportDeathTest, EachFatalSignalEndsTheProcessAndLeavesAReport) {
  struct TCase {
    const char* name;
    void (*crash)();
    int signal;
    const char* signalLine;
    const char* codeMeaning;  // null when the line is not checked
    const char* crashingFunction;
  };
  const std::vector<TCase> cases = {
      {"null write", WriteThroughNull, SIGSEGV, "Signal: SIGSEGV (segmentation fault)", "address not mapped",
       "WriteThroughNull"},
      // The handler needs a stack of its own for this one.
      {"stack overflow", [] { RecurseWithoutEnd(0); }, SIGSEGV, "Signal: SIGSEGV (segmentation fault)", nullptr,
       "RecurseWithoutEnd"},
      {"division by zero", DivideByZero, SIGFPE, "Signal: SIGFPE (arithmetic exception)", "integer division by zero",
       "DivideByZero"},
      {"abort", AbortNow, SIGABRT, "Signal: SIGABRT (aborted)", "sent by raise, abort or tgkill", "AbortNow"},
  };
  // All the deaths first: the child of a death test runs this body again up to its own case, and
  // must meet no checks of the files on the way.
  const std::time_t before = std::time(nullptr);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = folder / c.name;
    EXPECT_EXIT(
        {
          NoCoreFile();
          platform::qt::InstallFatalSignalReport(dir.string());
          c.crash();
        },
        KilledBySignal(c.signal), "report written to " + dir.string() + "/crash-");
  }
  const std::time_t after = std::time(nullptr);

  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<fs::path> reports = Reports(folder / c.name);
    ASSERT_EQ(reports.size(), 1u);
    const std::string name = reports[0].filename().string();
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(name, parts, std::regex(R"(crash-(\d{8})-\d{6}-(\d+)\.txt)"))) << name;
    EXPECT_TRUE(parts[1] == UtcDate(before) || parts[1] == UtcDate(after)) << name;

    const std::string text = ReadFile(reports[0]);
    EXPECT_THAT(text, HasSubstr("Wexa Category Scraper crash report\n"));
    EXPECT_THAT(text, HasSubstr(std::string(c.signalLine) + "\n"));
    if (c.codeMeaning) {
      EXPECT_THAT(text, HasSubstr(std::string("(") + c.codeMeaning + ")\n"));
    }
    EXPECT_THAT(text, HasSubstr("Process: " + std::string(parts[2]) + "  Thread: " + std::string(parts[2]) +
                                " (main thread)\n"));
    EXPECT_THAT(text, HasSubstr("\nStack trace:\n#0 "));
    // The rendered frames name the function that crashed (from the symbol table, which every build
    // has) and, where the build carries debug information, its source file and line.
    const std::size_t rendered = text.find("\nStack trace with source lines:\n");
    ASSERT_NE(rendered, std::string::npos) << text;
    const std::string frames = text.substr(rendered);
    EXPECT_THAT(frames, HasSubstr(" <signal handler called>\n")) << text;
    EXPECT_THAT(frames, HasSubstr(c.crashingFunction)) << text;
    if (kBuildHasDebugInformation) {
      EXPECT_THAT(frames, HasSubstr("fatal_report_test.cpp:")) << text;
    }
    EXPECT_THAT(frames, Not(HasSubstr("rendering failed"))) << text;
  }
}

TEST_F(FatalReportDeathTest, AFolderThatCannotBeMadeSendsTheReportToTheTemporaryFolder) {
  // A regular file where a folder of the path should be: no one, root included, can make the folder.
  std::ofstream(folder / "file").put('x');
  const fs::path unusable = folder / "file" / "logs";
  const fs::path temporary = folder / "temp";
  fs::create_directory(temporary);
  EXPECT_EXIT(
      {
        NoCoreFile();
        setenv("temp", temporary.c_str(), 1);
        platform::qt::InstallFatalSignalReport(unusable.string());
        WriteThroughNull();
      },
      KilledBySignal(SIGSEGV), "report written to " + temporary.string() + "/crash-");
  const std::vector<fs::path> reports = Reports(temporary);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_THAT(ReadFile(reports[0]), HasSubstr("Signal: SIGSEGV"));
}

TEST_F(FatalReportDeathTest, ARelativeFolderIsTakenFromTheDirectoryAtInstallation) {
  const fs::path start = folder / "start";
  fs::create_directories(start);
  fs::create_directories(folder / "elsewhere");
  EXPECT_EXIT(
      {
        NoCoreFile();
        fs::current_path(start);
        platform::qt::InstallFatalSignalReport("logs");
        fs::current_path(folder / "elsewhere");
        WriteThroughNull();
      },
      KilledBySignal(SIGSEGV), "report written to ");
  EXPECT_EQ(Reports(start / "logs").size(), 1u);
  EXPECT_TRUE(Reports(folder / "elsewhere").empty());
}

}  // namespace
