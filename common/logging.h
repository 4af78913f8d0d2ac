#pragma once
// Log files. Named, shared loggers append one level- and time-stamped line per message to a plain-text
// file, archive the file by renaming it once it has reached a size limit, and report their own failures
// (a folder or file that cannot be created or written) into a critical file in the temporary folder.
//
// The unit owns every logger; callers obtain one with TLogger::GetLogger, keep the pointer and never
// free it. Pointers stay valid until FinalizeLogging.
//
// Threading: each logger serialises its own file with FileLock (and its writes to the critical file with
// CriticalLock, always taken after FileLock). The unit-wide state (LogLevel, the logger list, the default
// folder, the clock) is not locked: it is set up and read on the main thread.
//
// Paths: "/" is the path delimiter. The temporary folder (TEMP) is the environment variable "temp",
// else TMPDIR, else /tmp, always with a trailing "/"; it is read each time it is needed.
//
// Text is 8-bit (UTF-8) and written as it is; every line ends in CR LF.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/exceptions.h"
#include "common/object.h"

// Ordered log levels: a smaller value is more important.
enum TLogLevel { llNone, llError, llWarn, llInfo, llDebug, llFullDebug, llDisabled, llAll };

// Threshold of the whole program: a message whose level is greater than this is dropped before any file
// access. Starts as llAll; the main window's unit sets llWarn during start-up.
extern TLogLevel LogLevel;

// The level's name without its two-letter prefix: "None", "Error", "Warn", "Info", "Debug", "FullDebug",
// "Disabled", "All". A value outside the enumeration gives its number as text.
std::string LogLevelName(TLogLevel level);

// One log file. Created only by GetLogger and the unit's start-up; owned by the unit.
class TLogger : public TObject {
 public:
  ~TLogger() override = default;

  // The shared logger of FileName, created on first request (starting the unit first when it has not
  // been started); the critical logger when FileName is empty. The file-name part of FileName is
  // lower-cased (ASCII letters); when its folder part (up to and including the last "/") is shorter than
  // 3 characters, DefaultLogPath() is put in front. The folder keeps its letter case, as the file system
  // distinguishes case. The MaxSize of an existing logger is not changed.
  // Throws only when a new logger can neither set up its file nor report that in the critical file
  // (the error of the critical file is passed on). The unit keeps ownership of the result.
  static TLogger* GetLogger(const std::string& FileName, int MaxSize);

  // Stores folder with a trailing "/" as DefaultLogPath(); an empty folder stays empty (names without a
  // folder are then relative to the current directory).
  static void SetDefaultLogPath(const std::string& folder);

  // Unless Level is greater than LogLevel: archives the file when it is full (CycleIfFull) and appends,
  // with CR LF line ends,
  //   "log file was cycled due to reaching maximum limit." when it was just archived, or
  //   "ERROR - error cycling file." when archiving failed;
  //   "<level name> [<timestamp>] : <Msg>", followed by " <class name> <message>" of E when E is given;
  //   when E is given, "Stack trace follows:" and E's stack trace (one or more lines).
  // When the log file cannot be written, a critical record goes to CriticalLogFileName() instead and no
  // error reaches the caller; when the critical file cannot be written either, that error (an
  // EInOutError descendant) is thrown. E is only read during the call.
  void Log(const std::string& Msg, TLogLevel Level, const Exception* E = nullptr);

  // Archives the file by renaming it to "<name without extension> Archived yyyy-mm-dd hh-mm-ss.log"
  // (current local time) once its size has reached MaxSize. An existing archive of that name is never
  // replaced. Returns 0 when nothing was done, 1 when the file was archived, -1 when the rename failed or
  // the file exists but cannot be opened. Never throws for file-system failures.
  int CycleIfFull();

  // Read-only for callers. FileName is the file this logger writes: the name it was created for, or its
  // fallback TEMP + "Critical" + file-name part when that name's folder or file could not be set up.
  std::string FileName;
  // Full path of the module whose code created the logger (the executable: the unit is linked statically).
  std::string ModuleName;
  // Size in bytes at which the file is archived before the next message.
  int MaxSize;
  // Serialises opening, writing and renaming of the log file.
  std::mutex FileLock;
  // Serialises this logger's writes to the critical file; taken only while FileLock is held.
  std::mutex CriticalLock;

 private:
  // Sets up the folder and the file of fileName; on failure switches FileName to the fallback and logs
  // the reasons there at llError. Throws only what Log throws.
  TLogger(const std::string& fileName, int maxSize);

  friend void InitializeLogging();
};

// Every logger of the program in order of creation; element 0 is the critical logger. Null until the
// unit is started. The unit owns the loggers.
using TLoggerList = std::vector<std::unique_ptr<TLogger>>;
const TLoggerList* Loggers();

// The default log folder, ending in "/": after start-up the running executable's folder + "logs/".
// Empty before start-up and after FinalizeLogging.
std::string DefaultLogPath();

// TEMP + "Ravok_Logger_Critical_" + the running executable's file name + ".log".
std::string CriticalLogFileName();

// The file's size in bytes; 0 when it does not exist (a folder is not a file); -1 when it exists but
// cannot be opened, or when its existence cannot be checked (a folder on the way cannot be searched).
int64_t LogFileSize(const std::string& fileName);

// True once the unit has been started and not yet finalised.
bool LoggingInitialized();

// Starts the unit: sets DefaultLogPath() to the executable's folder + "logs/", creates the critical
// logger (CriticalLogFileName(), 1048576 bytes) as element 0 and logs an llInfo line through it saying
// that logging is up. Call once at program start, before any unit that logs.
// Throws EAssertionFailed "Assertion failure (common/logging, line 57)" when the unit is already
// started; passes on an error of the critical file.
void InitializeLogging();

// Shuts the unit down: frees every logger (pointers from GetLogger become invalid) and empties
// DefaultLogPath(). Does nothing when the unit is not started.
void FinalizeLogging();

// The time source of timestamps and archive names. An empty function restores the system clock.
// Meant for tests; not locked.
using TLogClock = std::function<std::chrono::system_clock::time_point()>;
void SetLogClock(TLogClock clock);
