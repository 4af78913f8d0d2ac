#include "common/logging.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <clocale>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& name, const std::string& content) {
  std::ofstream(name, std::ios::binary) << content;
}

std::string WithCrLf(const std::string& trace) {
  std::string lines;
  for (const char c : trace) lines += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return lines;
}

// 7 December 2026, 00:12:<second>.345, local time.
std::chrono::system_clock::time_point At(int second) {
  std::tm fields{};
  fields.tm_year = 126, fields.tm_mon = 11, fields.tm_mday = 7, fields.tm_min = 12, fields.tm_sec = second;
  fields.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&fields)) + std::chrono::milliseconds(345);
}

// The C locale's short date is mm/dd/yy and its time separator ":".
const std::string kStamp = "[12/07/26 00:12:12:345] : ";
const std::string kCycled = "log file was cycled due to reaching maximum limit.\r\n";

// Each test gets its own loggers, its own folder as TEMP and default log folder, a C locale and a clock
// standing at At(12).
class LoggingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/wexa-logging-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("temp", dir_.c_str(), 1);
    std::setlocale(LC_TIME, "C");
    SetLogClock([this] { return now_; });
    // A fresh set of loggers for every test: a logger kept from an earlier test would still point at
    // that test's removed folder.
    if (LoggingInitialized()) FinalizeLogging();
    InitializeLogging();
    savedDefault_ = DefaultLogPath();
    TLogger::SetDefaultLogPath(dir_ + "/Default");
  }

  void TearDown() override {
    SetLogClock(nullptr);
    LogLevel = llAll;
    TLogger::SetDefaultLogPath(savedDefault_);
    unsetenv("temp");
    fs::remove_all(dir_);
  }

  TLogger* Logger(const std::string& name, int maxSize = 1000) {
    return TLogger::GetLogger(dir_ + "/" + name, maxSize);
  }

  std::string dir_, savedDefault_;
  std::chrono::system_clock::time_point now_ = At(12);
};

TEST_F(LoggingTest, StartUpCreatesCriticalLoggerAndWritesInformationLine) {
  FinalizeLogging();
  fs::remove(CriticalLogFileName());
  EXPECT_EQ(Loggers(), nullptr);
  EXPECT_EQ(DefaultLogPath(), "");

  InitializeLogging();
  const fs::path exe = fs::read_symlink("/proc/self/exe");
  const std::string critical = dir_ + "/Ravok_Logger_Critical_" + exe.filename().string() + ".log";
  ASSERT_EQ(Loggers()->size(), 1u);
  EXPECT_EQ(Loggers()->front()->FileName, critical);
  EXPECT_EQ(TLogger::GetLogger("", 5), Loggers()->front().get());
  EXPECT_EQ(DefaultLogPath(), exe.parent_path().string() + "/logs/");
  EXPECT_EQ(ReadFile(critical), "Info " + kStamp +
                                    "This is not an error just an information message that the Logging system is "
                                    "up and running (module: " + exe.string() + ").\r\n");
  try {
    InitializeLogging();
    FAIL() << "a second start must fail";
  } catch (const EAssertionFailed& error) {
    EXPECT_EQ(error.Message(), "Assertion failure (common/logging, line 57)");
  }
}

TEST_F(LoggingTest, MessageAtThresholdIsWrittenAndAboveItDropped) {
  struct Case { TLogLevel threshold, level; std::string written; };
  const std::vector<Case> cases = {{llWarn, llWarn, "Warn"},   {llWarn, llInfo, ""}, {llWarn, llFullDebug, ""},
                                   {llWarn, llError, "Error"}, {llNone, llError, ""},
                                   {llAll, llFullDebug, "FullDebug"}};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    TLogger* logger = Logger("level" + std::to_string(i) + ".log");
    LogLevel = cases[i].threshold;
    logger->Log("m", cases[i].level);
    const std::string line = cases[i].written.empty() ? "" : cases[i].written + " " + kStamp + "m\r\n";
    EXPECT_EQ(ReadFile(logger->FileName), line);
  }
  // A dropped message does not archive a full file either.
  TLogger* full = Logger("full.log", 10);
  WriteFile(full->FileName, "0123456789");
  LogLevel = llWarn;
  full->Log("m", llDebug);
  EXPECT_EQ(ReadFile(full->FileName), "0123456789");
}

TEST_F(LoggingTest, FileIsArchivedAtExactlyMaxSizeButNotOneByteBelow) {
  for (const int size : {99, 100}) {
    SCOPED_TRACE(size);
    const std::string folder = dir_ + "/s" + std::to_string(size);
    TLogger* logger = TLogger::GetLogger(folder + "/x.log", 100);
    WriteFile(logger->FileName, std::string(size, 'a'));
    logger->Log("next", llWarn);
    const std::string archived = ReadFile(folder + "/x Archived 2026-12-07 00-12-12.log");
    EXPECT_EQ(archived, size == 100 ? std::string(100, 'a') : "");
    const std::string kept = size == 100 ? kCycled : std::string(99, 'a');
    EXPECT_EQ(ReadFile(logger->FileName), kept + "Warn " + kStamp + "next\r\n");
  }
}

TEST_F(LoggingTest, SecondArchiveWithinOneSecondFailsAndIsRetriedByTheNextMessage) {
  TLogger* logger = Logger("x.log", 100);
  WriteFile(logger->FileName, std::string(100, 'a'));
  logger->Log("first", llWarn);
  WriteFile(logger->FileName, std::string(100, 'b'));
  logger->Log("second", llWarn);
  const std::string stillFull = std::string(100, 'b') + "ERROR - error cycling file.\r\nWarn " + kStamp + "second\r\n";
  EXPECT_EQ(ReadFile(dir_ + "/x Archived 2026-12-07 00-12-12.log"), std::string(100, 'a'));
  EXPECT_EQ(ReadFile(logger->FileName), stillFull);

  now_ = At(13);
  logger->Log("third", llWarn);
  EXPECT_EQ(ReadFile(dir_ + "/x Archived 2026-12-07 00-12-13.log"), stillFull);
  EXPECT_EQ(ReadFile(logger->FileName), kCycled + "Warn [12/07/26 00:12:13:345] : third\r\n");
}

TEST_F(LoggingTest, GetLoggerSharesOneLoggerPerLowerCasedFileName) {
  TLogger* logger = TLogger::GetLogger("XmlPersistance.log", 1048576);
  EXPECT_EQ(TLogger::GetLogger("xmlpersistance.log", 5), logger);
  EXPECT_EQ(logger->FileName, dir_ + "/Default/xmlpersistance.log");
  EXPECT_EQ(logger->MaxSize, 1048576);

  // A folder part shorter than 3 characters goes into the default folder; a longer one is relative to the
  // current directory. Folders keep their case.
  const fs::path savedCwd = fs::current_path();
  fs::current_path(dir_);
  struct Case { std::string requested, fileName; };
  const std::vector<Case> cases = {
      {"a/B.log", dir_ + "/Default/a/b.log"}, {"ab/C.log", "ab/c.log"}, {"Sub/A.LOG", "Sub/a.log"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.requested);
    EXPECT_EQ(TLogger::GetLogger(c.requested, 100)->FileName, c.fileName);
    EXPECT_TRUE(fs::is_regular_file(c.fileName));
  }
  fs::current_path(savedCwd);
}

TEST_F(LoggingTest, MessageWithExceptionAddsClassMessageAndStackTrace) {
  TLogger* logger = Logger("ex.log");
  const EConvertError error("'x' is not a valid integer value");
  ASSERT_FALSE(error.StackTrace().empty());
  logger->Log("Reading failed", llError, &error);
  EXPECT_EQ(ReadFile(logger->FileName), "Error " + kStamp +
                                            "Reading failed EConvertError 'x' is not a valid integer value\r\n"
                                            "Stack trace follows:\r\n" + WithCrLf(error.StackTrace()));
}

TEST_F(LoggingTest, UnwritableLogFileGivesCriticalRecord) {
  const EInOutError error("disk full");
  struct Case { const Exception* exception; std::string levelAndException, trace; };
  const std::vector<Case> cases = {{nullptr, "Warn ()", "\r\n"},
                                   {&error, "Warn ( EInOutError disk full)", WithCrLf(error.StackTrace())}};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const std::string name = dir_ + "/gone" + std::to_string(i) + "/x.log";
    TLogger* logger = TLogger::GetLogger(name, 100);
    fs::remove_all(fs::path(name).parent_path());
    const std::string before = ReadFile(CriticalLogFileName());
    logger->Log("hello", llWarn, cases[i].exception);
    EXPECT_EQ(ReadFile(CriticalLogFileName()).substr(before.size()),
              kStamp + "critical error: <Cannot create file \"" + name +
                  "\". No such file or directory> while logging message: <hello> in file: [" + name +
                  "] with log level: " + cases[i].levelAndException + "\r\nStack trace follows:\r\n" + cases[i].trace);
  }
  // When the critical file cannot be written either, its error reaches the caller.
  WriteFile(dir_ + "/blocker", "x");
  setenv("temp", (dir_ + "/blocker").c_str(), 1);
  try {
    TLogger::GetLogger(dir_ + "/gone0/x.log", 100)->Log("hello", llWarn);
    FAIL() << "expected EFCreateError";
  } catch (const EFCreateError& failure) {
    EXPECT_EQ(failure.Message(), "Cannot create file \"" + CriticalLogFileName() + "\". Not a directory");
  }
}

TEST_F(LoggingTest, FolderThatCannotBeCreatedSwitchesToFallbackFile) {
  WriteFile(dir_ + "/blocker", "x");
  const std::string requested = dir_ + "/blocker/sub/y.log";
  TLogger* logger = TLogger::GetLogger(dir_ + "/blocker/sub/Y.log", 100);
  EXPECT_EQ(logger->FileName, dir_ + "/Criticaly.log");

  const std::string openError = "Cannot create file \"" + requested + "\". Not a directory";
  const std::string head = "Error " + kStamp + "Cannot create log path: " + dir_ + "/blocker/sub\r\nError " + kStamp +
                           "Error initializing log file: " + requested + " (" + openError + ") EFCreateError " +
                           openError + "\r\nStack trace follows:\r\n";
  const std::string content = ReadFile(logger->FileName);
  EXPECT_EQ(content.substr(0, head.size()), head);
  EXPECT_GT(content.size(), head.size() + 2);  // the stack trace
  // The fallback name no longer matches the request, so a later request makes a further logger.
  EXPECT_NE(TLogger::GetLogger(requested, 100), logger);
}

TEST_F(LoggingTest, LogFileSizeOfMissingFolderAndUnreadableFiles) {
  WriteFile(dir_ + "/five", "12345");
  EXPECT_EQ(LogFileSize(dir_ + "/five"), 5);
  EXPECT_EQ(LogFileSize(dir_ + "/missing"), 0);
  EXPECT_EQ(LogFileSize(dir_), 0);
  fs::permissions(dir_ + "/five", fs::perms::none);
  if (geteuid() != 0) {  // permissions do not stop the superuser
    EXPECT_EQ(LogFileSize(dir_ + "/five"), -1);
  }
}

}  // namespace
