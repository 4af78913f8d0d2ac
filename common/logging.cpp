#include "common/logging.h"

#include <fcntl.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/core/demangle.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fmt/printf.h>
#include <typeinfo>
#include <utility>

TLogLevel LogLevel = llAll;

namespace {

constexpr int kCriticalMaxSize = 1048576;

// Function-local statics, so that a unit that logs from its own static initialisation finds them ready.
std::unique_ptr<TLoggerList>& LoggerListSlot() {
  static std::unique_ptr<TLoggerList> list;
  return list;
}

std::string& DefaultLogPathSlot() {
  static std::string path;
  return path;
}

TLogClock& ClockSlot() {
  static TLogClock clock;
  return clock;
}

std::chrono::system_clock::time_point Now() {
  const TLogClock& clock = ClockSlot();
  return clock ? clock() : std::chrono::system_clock::now();
}

// A caught error that is not one of the program's exceptions, carried into a log line by its type name.
class TForeignError : public Exception {
 public:
  TForeignError(std::string className, std::string message)
      : Exception(std::move(message)), className_(std::move(className)) {}
  const char* ClassName() const override { return className_.c_str(); }

 private:
  std::string className_;
};

// Full path of the running executable. The logging unit is linked statically, so the executable is also
// the module whose code creates every logger.
const std::string& ExecutablePath() {
  static const std::string path = [] {
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : target.string();
  }();
  return path;
}

std::string IncludeTrailingDelimiter(const std::string& folder) {
  return !folder.empty() && folder.back() == '/' ? folder : folder + '/';
}

// Everything up to and including the last "/"; empty when there is none.
std::string ExtractFilePath(const std::string& name) {
  const std::size_t slash = name.rfind('/');
  return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

std::string ExtractFileName(const std::string& name) { return name.substr(ExtractFilePath(name).size()); }

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The environment variable "temp", else TMPDIR, else /tmp, with a trailing "/". An empty variable counts
// as unset, since an empty value would put the files into the root folder.
std::string TempFolder() {
  for (const char* variable : {"temp", "TMPDIR"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return IncludeTrailingDelimiter(value);
  }
  return "/tmp/";
}

struct TLocalTime {
  std::tm fields{};
  int milliseconds = 0;
};

TLocalTime LocalTime(std::chrono::system_clock::time_point when) {
  TLocalTime result;
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  localtime_r(&seconds, &result.fields);
  const auto sinceEpoch = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch());
  result.milliseconds = static_cast<int>(((sinceEpoch.count() % 1000) + 1000) % 1000);
  return result;
}

std::string FormatTime(const char* pattern, const std::tm& fields) {
  char buffer[128];
  const std::size_t length = std::strftime(buffer, sizeof buffer, pattern, &fields);
  return std::string(buffer, length);
}

// The date and the time separator follow the C library's LC_TIME locale: the short date format is
// nl_langinfo(D_FMT) ("%m/%d/%y" in the C/POSIX locale; the user's own once the Qt application has
// called setlocale), and the separator is the character that follows the hours when the locale's time
// format (T_FMT) renders 13:45:56. A locale without such a character gives ":".
std::string ShortDate(const std::tm& fields) {
  const char* pattern = nl_langinfo(D_FMT);
  std::string date = pattern != nullptr && *pattern != '\0' ? FormatTime(pattern, fields) : std::string();
  return date.empty() ? FormatTime("%d.%m.%Y", fields) : date;
}

char TimeSeparator() {
  const char* pattern = nl_langinfo(T_FMT);
  if (pattern == nullptr || *pattern == '\0') return ':';
  std::tm reference{};
  reference.tm_hour = 13;
  reference.tm_min = 45;
  reference.tm_sec = 56;
  const std::string rendered = FormatTime(pattern, reference);
  std::size_t pos = rendered.find_first_of("0123456789");
  if (pos == std::string::npos) return ':';
  pos = rendered.find_first_not_of("0123456789", pos);
  if (pos == std::string::npos || rendered[pos] == ' ') return ':';
  return rendered[pos];
}

// Local date in the short date format, a blank, and hh:mm:ss:zzz with the locale's time separator.
std::string Timestamp(std::chrono::system_clock::time_point when) {
  const TLocalTime local = LocalTime(when);
  const char separator = TimeSeparator();
  return fmt::sprintf("%s %02d%c%02d%c%02d%c%03d", ShortDate(local.fields), local.fields.tm_hour, separator,
                      local.fields.tm_min, separator, local.fields.tm_sec, separator, local.milliseconds);
}

// fileName with its extension replaced by " Archived yyyy-mm-dd hh-mm-ss.log".
std::string ArchiveName(const std::string& fileName, std::chrono::system_clock::time_point when) {
  const std::size_t nameStart = ExtractFilePath(fileName).size();
  const std::size_t dot = fileName.rfind('.');
  const std::string base = dot == std::string::npos || dot < nameStart ? fileName : fileName.substr(0, dot);
  const std::tm& t = LocalTime(when).fields;
  return fmt::sprintf("%s Archived %04d-%02d-%02d %02d-%02d-%02d.log", base, t.tm_year + 1900, t.tm_mon + 1,
                      t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
}

// Renames without ever replacing an existing target, which would destroy an earlier archive.
bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
  // The file system cannot rename without replacing: check first (the rename holds FileLock).
  struct stat target;
  if (::lstat(to.c_str(), &target) == 0 || errno != ENOENT) return false;
  return std::rename(from.c_str(), to.c_str()) == 0;
}

// Opens fileName for appending, creating it when missing. Throws EFCreateError.
int OpenForAppend(const std::string& fileName) {
  const int fd = ::open(fileName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    throw EFCreateError(fmt::sprintf("Cannot create file \"%s\". %s", fileName, std::strerror(errno)));
  }
  return fd;
}

// Appends text to fileName (created when missing) and closes it. Throws EFCreateError or EInOutError.
void AppendToFile(const std::string& fileName, const std::string& text) {
  const int fd = OpenForAppend(fileName);
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      ::close(fd);
      throw EInOutError(fmt::sprintf("Cannot write file \"%s\". %s", fileName, std::strerror(error)));
    }
    written += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) {
    throw EInOutError(fmt::sprintf("Cannot write file \"%s\". %s", fileName, std::strerror(errno)));
  }
}

// A rendered stack trace as CR LF lines; an empty trace is one empty line.
std::string TraceLines(const std::string& trace) {
  std::string lines;
  for (const char c : trace) {
    if (c == '\n') lines += '\r';
    lines += c;
  }
  if (lines.size() < 2 || lines.compare(lines.size() - 2, 2, "\r\n") != 0) lines += "\r\n";
  return lines;
}

// Logs text at llError with the retained error, if any, as its exception.
void LogSetUpError(TLogger& logger, const std::string& text, const std::exception_ptr& cause) {
  if (!cause) {
    logger.Log(text, llError);
    return;
  }
  try {
    std::rethrow_exception(cause);
  } catch (const Exception& error) {
    logger.Log(text, llError, &error);
  } catch (const std::exception& error) {
    const TForeignError foreign(boost::core::demangle(typeid(error).name()), error.what());
    logger.Log(text, llError, &foreign);
  }
}

}  // namespace

std::string LogLevelName(TLogLevel level) {
  static const char* const names[] = {"None", "Error", "Warn", "Info", "Debug", "FullDebug", "Disabled", "All"};
  const int index = static_cast<int>(level);
  if (index < 0 || index >= static_cast<int>(std::size(names))) return std::to_string(index);
  return names[index];
}

TLogger::TLogger(const std::string& fileName, int maxSize)
    : FileName(fileName), ModuleName(ExecutablePath()), MaxSize(maxSize) {
  std::string folderError;
  std::exception_ptr folderCause;
  std::string folder = ExtractFilePath(fileName);
  if (!folder.empty()) folder.pop_back();
  try {
    if (!folder.empty() && folder.front() != '/') folder = (std::filesystem::current_path() / folder).string();
    std::error_code ec;
    if (!folder.empty() && !std::filesystem::is_directory(folder, ec)) {
      std::filesystem::create_directories(folder, ec);
      if (!std::filesystem::is_directory(folder, ec)) folderError = "Cannot create log path: " + folder;
    }
  } catch (const std::exception& error) {
    folderError = "Cannot create log path: " + folder + " with message: " + error.what();
    folderCause = std::current_exception();
  }

  std::string fileError;
  std::exception_ptr fileCause;
  {
    const std::lock_guard<std::mutex> lock(FileLock);
    // Opening for appending creates a missing file and never empties an existing one.
    try {
      ::close(OpenForAppend(fileName));
    } catch (const std::exception& error) {
      fileError = fmt::sprintf("Error initializing log file: %s (%s)", fileName, error.what());
      fileCause = std::current_exception();
    }
  }

  if (!folderError.empty() || !fileError.empty()) {
    FileName = TempFolder() + "Critical" + ExtractFileName(fileName);
    if (!folderError.empty()) LogSetUpError(*this, folderError, folderCause);
    if (!fileError.empty()) LogSetUpError(*this, fileError, fileCause);
  }
}

TLogger* TLogger::GetLogger(const std::string& FileName, int MaxSize) {
  if (!LoggerListSlot()) InitializeLogging();
  TLoggerList& list = *LoggerListSlot();
  if (FileName.empty()) return list.front().get();

  // Only the file-name part is lower-cased: the file system distinguishes case in folder names.
  const std::string folder = ExtractFilePath(FileName);
  std::string name = folder + LowerAscii(FileName.substr(folder.size()));
  if (folder.size() < 3) name = DefaultLogPathSlot() + name;

  const std::string& module = ExecutablePath();
  for (std::size_t i = 1; i < list.size(); ++i) {
    if (list[i]->ModuleName == module && list[i]->FileName == name) return list[i].get();
  }
  std::unique_ptr<TLogger> logger(new TLogger(name, MaxSize));
  list.push_back(std::move(logger));
  return list.back().get();
}

void TLogger::SetDefaultLogPath(const std::string& folder) {
  DefaultLogPathSlot() = folder.empty() ? std::string() : IncludeTrailingDelimiter(folder);
}

void TLogger::Log(const std::string& Msg, TLogLevel Level, const Exception* E) {
  if (Level > LogLevel) return;
  const int cycled = CycleIfFull();
  const std::string prefix = fmt::sprintf("[%s] : ", Timestamp(Now()));
  std::string exceptionPart;
  std::string stackTrace;
  if (E != nullptr) {
    exceptionPart = fmt::sprintf(" %s %s", E->ClassName(), E->Message());
    stackTrace = E->StackTrace();
  }

  const std::lock_guard<std::mutex> fileLock(FileLock);
  try {
    std::string text;
    if (cycled == 1) text += "log file was cycled due to reaching maximum limit.\r\n";
    if (cycled == -1) text += "ERROR - error cycling file.\r\n";
    text += LogLevelName(Level) + " " + prefix + Msg + exceptionPart + "\r\n";
    if (E != nullptr) text += "Stack trace follows:\r\n" + TraceLines(stackTrace);
    AppendToFile(FileName, text);
  } catch (const std::exception& error) {
    const std::lock_guard<std::mutex> criticalLock(CriticalLock);
    const std::string record = prefix + "critical error: <" + error.what() + "> while logging message: <" + Msg +
                               "> in file: [" + FileName + "] with log level: " + LogLevelName(Level) + " (" +
                               exceptionPart + ")\r\nStack trace follows:\r\n" + TraceLines(stackTrace);
    AppendToFile(CriticalLogFileName(), record);
  }
}

int TLogger::CycleIfFull() {
  const int64_t size = LogFileSize(FileName);
  if (size == -1) return -1;
  if (size < MaxSize) return 0;
  const std::lock_guard<std::mutex> lock(FileLock);
  return RenameNoReplace(FileName, ArchiveName(FileName, Now())) ? 1 : -1;
}

const TLoggerList* Loggers() { return LoggerListSlot().get(); }

std::string DefaultLogPath() { return DefaultLogPathSlot(); }

std::string CriticalLogFileName() {
  return TempFolder() + "Ravok_Logger_Critical_" + ExtractFileName(ExecutablePath()) + ".log";
}

int64_t LogFileSize(const std::string& fileName) {
  struct stat info;
  if (::stat(fileName.c_str(), &info) != 0) {
    return errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG ? 0 : -1;
  }
  // A folder is not a file.
  if (S_ISDIR(info.st_mode)) return 0;
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const int result = ::fstat(fd, &info);
  ::close(fd);
  return result == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

bool LoggingInitialized() { return LoggerListSlot() != nullptr; }

void InitializeLogging() {
  Assert(!LoggingInitialized(), "Assertion failure", "common/logging", 57);
  const std::string& executable = ExecutablePath();
  TLogger::SetDefaultLogPath(ExtractFilePath(executable) + "logs/");
  // The list is published only once the critical logger exists, so that a failed start leaves the unit
  // unstarted rather than started without its element 0.
  auto list = std::make_unique<TLoggerList>();
  list->push_back(std::unique_ptr<TLogger>(new TLogger(CriticalLogFileName(), kCriticalMaxSize)));
  LoggerListSlot() = std::move(list);
  TLogger::GetLogger("", 0)->Log(
      fmt::sprintf("This is not an error just an information message that the Logging system is up and running "
                   "(module: %s).",
                   executable),
      llInfo);
}

void FinalizeLogging() {
  LoggerListSlot().reset();
  DefaultLogPathSlot().clear();
}

void SetLogClock(TLogClock clock) { ClockSlot() = std::move(clock); }
