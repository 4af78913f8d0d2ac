#include "platform/qt/fatal_report.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/ucontext.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QtGlobal>
#include <atomic>
#include <boost/stacktrace/frame.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace platform::qt {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kMaxFrames = 64;
constexpr std::size_t kPathCapacity = 4096;
// Room for "crash-yyyymmdd-hhmmss-<pid>.txt" after the folder.
constexpr std::size_t kNameRoom = 64;
constexpr std::size_t kSignalStackSize = 512 * 1024;
// How long the child that adds source lines may take; it loads the debug information of the program.
constexpr int kRenderMilliseconds = 10000;

// Everything the handler reads is prepared at installation in plain arrays: the handler must not
// allocate, and must not see a std::string halfway through an assignment.
char reportFolder[kPathCapacity];  // absolute, ends in "/"
char fallbackFolder[kPathCapacity];
char header[8192];
std::size_t headerLength = 0;

// Thread id of the thread writing a report; 0 while none is.
std::atomic<pid_t> reportingThread{0};

// A fixed buffer filled with async-signal-safe formatting (no printf: it may allocate or lock).
class TLine {
 public:
  TLine& Text(const char* text) {
    while (*text && length_ < sizeof(data_)) data_[length_++] = *text++;
    return *this;
  }
  TLine& Decimal(unsigned long value, int width = 1) {
    char digits[24];
    int count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0 && count < 24);
    for (int i = count; i < width; ++i) Char('0');
    while (count > 0) Char(digits[--count]);
    return *this;
  }
  TLine& Hex(std::uintptr_t value) {
    Text("0x");
    char digits[2 * sizeof(value)];
    int count = 0;
    do {
      digits[count++] = "0123456789abcdef"[value & 0xf];
      value >>= 4;
    } while (value != 0);
    while (count > 0) Char(digits[--count]);
    return *this;
  }
  TLine& Char(char c) {
    if (length_ < sizeof(data_)) data_[length_++] = c;
    return *this;
  }
  // The text so far as a C string (truncated when the buffer is full).
  const char* CString() {
    data_[length_ < sizeof(data_) ? length_ : sizeof(data_) - 1] = '\0';
    return data_;
  }
  const char* Data() const { return data_; }
  std::size_t Length() const { return length_; }

 private:
  char data_[kPathCapacity + kNameRoom + 1];
  std::size_t length_ = 0;
};

void WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

void WriteLine(int fd, TLine& line) { WriteAll(fd, line.Data(), line.Length()); }

const char* SignalName(int signal) {
  switch (signal) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
  }
}

const char* SignalMeaning(int signal) {
  switch (signal) {
    case SIGSEGV: return "segmentation fault";
    case SIGBUS: return "bus error";
    case SIGFPE: return "arithmetic exception";
    case SIGILL: return "illegal instruction";
    case SIGABRT: return "aborted";
    default: return "fatal signal";
  }
}

// What the signal's code says about its cause; null when it says nothing known.
const char* CodeMeaning(int signal, int code) {
  switch (code) {
    case SI_USER: return "sent by kill";
    case SI_TKILL: return "sent by raise, abort or tgkill";
    case SI_QUEUE: return "sent by sigqueue";
    default: break;
  }
  switch (signal) {
    case SIGSEGV:
      if (code == SEGV_MAPERR) return "address not mapped";
      if (code == SEGV_ACCERR) return "access not permitted";
      break;
    case SIGBUS:
      if (code == BUS_ADRALN) return "misaligned address";
      if (code == BUS_ADRERR) return "no such physical address";
      if (code == BUS_OBJERR) return "hardware error";
      break;
    case SIGFPE:
      if (code == FPE_INTDIV) return "integer division by zero";
      if (code == FPE_INTOVF) return "integer overflow";
      if (code == FPE_FLTDIV) return "floating-point division by zero";
      if (code == FPE_FLTOVF) return "floating-point overflow";
      if (code == FPE_FLTINV) return "invalid floating-point operation";
      break;
    case SIGILL:
      if (code == ILL_ILLOPC) return "illegal opcode";
      if (code == ILL_ILLOPN) return "illegal operand";
      if (code == ILL_PRVOPC) return "privileged opcode";
      break;
    default: break;
  }
  return nullptr;
}

// Whether the signal came from a faulting instruction, so that its address means something.
bool FromInstruction(int code) { return code > 0; }

struct TUtc {
  long year;
  unsigned month, day, hour, minute, second;
};

// Calendar date of a time in seconds since 1970 (the proleptic Gregorian calendar, days counted in
// 400-year eras), without gmtime: gmtime may take the time-zone lock.
TUtc UtcFromSeconds(long seconds) {
  long days = seconds / 86400;
  long rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  days += 719468;
  const long era = (days >= 0 ? days : days - 146096) / 146097;
  const long dayOfEra = days - era * 146097;
  const long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const long shiftedMonth = (5 * dayOfYear + 2) / 153;  // March is 0
  TUtc utc{};
  utc.day = static_cast<unsigned>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
  utc.month = static_cast<unsigned>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
  utc.year = yearOfEra + era * 400 + (utc.month <= 2 ? 1 : 0);
  utc.hour = static_cast<unsigned>(rest / 3600);
  utc.minute = static_cast<unsigned>(rest / 60 % 60);
  utc.second = static_cast<unsigned>(rest % 60);
  return utc;
}

int OpenReport(const char* folder, const TUtc& utc, pid_t pid, TLine& path) {
  path = TLine();
  path.Text(folder).Text("crash-");
  path.Decimal(static_cast<unsigned long>(utc.year), 4).Decimal(utc.month, 2).Decimal(utc.day, 2).Char('-');
  path.Decimal(utc.hour, 2).Decimal(utc.minute, 2).Decimal(utc.second, 2).Char('-');
  path.Decimal(static_cast<unsigned long>(pid)).Text(".txt");
  int fd;
  do {
    fd = ::open(path.CString(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void SleepMilliseconds(long milliseconds) {
  timespec wait{milliseconds / 1000, (milliseconds % 1000) * 1000000};
  while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

// The instruction the signal interrupted; null where the machine context is not known here.
void* InterruptedInstruction(const void* context) {
  if (!context) return nullptr;
  const auto* machine = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
  return reinterpret_cast<void*>(machine->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return reinterpret_cast<void*>(machine->uc_mcontext.pc);
#else
  (void)machine;
  return nullptr;
#endif
}

// The child's part: function, file and line of each frame. It allocates and may meet the locks and
// the heap as the crash left them, which is why it runs in a process of its own.
[[noreturn]] void RenderFramesAndExit(int fd, void* const* frames, int count, const void* interrupted) {
  for (int signal : kFatalSignals) ::signal(signal, SIG_DFL);
  std::string text;
  for (int i = 0; i < count; ++i) {
    if (interrupted && i + 1 < count && frames[i + 1] == interrupted) {
      // The kernel's return path into the interrupted code; it has no source of its own.
      text += '#' + std::to_string(i) + " <signal handler called>\n";
      continue;
    }
    // Every frame but the interrupted one holds a return address, which may already lie in the next
    // line or, after a call that does not return, in the next function: look up the call itself.
    const char* address = static_cast<const char*>(frames[i]);
    if (frames[i] != interrupted && address != nullptr) --address;
    const boost::stacktrace::frame frame(reinterpret_cast<boost::stacktrace::frame::native_frame_ptr_t>(address));
    std::string name = frame.name();
    text += '#' + std::to_string(i) + ' ' + (name.empty() ? "??" : name);
    const std::string file = frame.source_file();
    if (!file.empty()) text += " at " + file + ':' + std::to_string(frame.source_line());
    text += '\n';
  }
  WriteAll(fd, text.data(), text.size());
  ::_exit(0);
}

void AppendRenderedFrames(int fd, void* const* frames, int count, const void* interrupted) {
  TLine line;
  line.Text("\nStack trace with source lines:\n");
  WriteLine(fd, line);
  // _Fork, unlike fork, runs no fork handlers, so it is safe here.
  const pid_t child = ::_Fork();
  if (child == 0) RenderFramesAndExit(fd, frames, count, interrupted);
  line = TLine();
  if (child < 0) {
    line.Text("(not available: no process for it, error ").Decimal(static_cast<unsigned long>(errno)).Text(")\n");
    WriteLine(fd, line);
    return;
  }
  int status = 0;
  pid_t done = 0;
  for (int waited = 0; waited < kRenderMilliseconds; waited += 20) {
    done = ::waitpid(child, &status, WNOHANG);
    if (done != 0) break;
    SleepMilliseconds(20);
  }
  if (done == 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    line.Text("\n(stopped after ").Decimal(kRenderMilliseconds / 1000).Text(" s; the raw frames above stand)\n");
    WriteLine(fd, line);
  } else if (done < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    line.Text("\n(rendering failed");
    if (done > 0 && WIFSIGNALED(status)) line.Text(" by ").Text(SignalName(WTERMSIG(status)));
    line.Text("; the raw frames above stand)\n");
    WriteLine(fd, line);
  }
}

void WriteReport(int fd, int signal, const siginfo_t* info, const void* context, const TUtc& utc, pid_t pid,
                 pid_t tid, void* const* frames, int count) {
  WriteAll(fd, header, headerLength);
  TLine line;
  line.Text("Signal: ").Text(SignalName(signal));
  if (std::strcmp(SignalName(signal), "signal") == 0) line.Char(' ').Decimal(static_cast<unsigned long>(signal));
  line.Text(" (").Text(SignalMeaning(signal)).Text(")\n");
  if (info) {
    line.Text("Code: ").Text(info->si_code < 0 ? "-" : "").Decimal(static_cast<unsigned long>(std::abs(info->si_code)));
    if (const char* meaning = CodeMeaning(signal, info->si_code)) line.Text(" (").Text(meaning).Char(')');
    line.Char('\n');
    if (FromInstruction(info->si_code) && signal != SIGABRT)
      line.Text("Address: ").Hex(reinterpret_cast<std::uintptr_t>(info->si_addr)).Char('\n');
  }
  line.Text("Process: ").Decimal(static_cast<unsigned long>(pid)).Text("  Thread: ").Decimal(static_cast<unsigned long>(tid));
  if (tid == pid) line.Text(" (main thread)");
  line.Char('\n');
  line.Text("Time: ").Decimal(static_cast<unsigned long>(utc.year), 4).Char('-').Decimal(utc.month, 2).Char('-');
  line.Decimal(utc.day, 2).Char(' ').Decimal(utc.hour, 2).Char(':').Decimal(utc.minute, 2).Char(':');
  line.Decimal(utc.second, 2).Text(" UTC\n\nStack trace:\n");
  WriteLine(fd, line);
  for (int i = 0; i < count; ++i) {
    line = TLine();
    line.Char('#').Decimal(static_cast<unsigned long>(i)).Char(' ');
    WriteLine(fd, line);
    ::backtrace_symbols_fd(&frames[i], 1, fd);
  }
  if (count == 0) WriteAll(fd, "(none)\n", 7);
  if (count == kMaxFrames - 1) {
    line = TLine();
    line.Text("(outer frames not shown)\n");
    WriteLine(fd, line);
  }
  AppendRenderedFrames(fd, frames, count, InterruptedInstruction(context));
}

// Ends the process by signal with its default action (termination, core dump).
[[noreturn]] void DieBy(int signal) {
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  ::sigaction(signal, &defaultAction, nullptr);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
  ::raise(signal);
  ::_exit(128 + signal);
}

void FatalSignalHandler(int signal, siginfo_t* info, void* context) {
  const pid_t tid = ::gettid();
  pid_t none = 0;
  if (!reportingThread.compare_exchange_strong(none, tid)) {
    // Another thread is writing the report and ends the process when done; this thread waits for
    // that, and dies by its own signal only if that never comes. The same thread faulting again while
    // writing dies at once.
    if (none != tid)
      for (int waited = 0; waited < kRenderMilliseconds + 5000; waited += 100) SleepMilliseconds(100);
    DieBy(signal);
  }
  void* frames[kMaxFrames];
  int count = ::backtrace(frames, kMaxFrames);
  // Frame 0 is this handler; the signal trampoline and the faulting function follow.
  void* const* shown = count > 0 ? frames + 1 : frames;
  count = count > 0 ? count - 1 : 0;

  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const TUtc utc = UtcFromSeconds(static_cast<long>(now.tv_sec));
  const pid_t pid = ::getpid();

  TLine path;
  int fd = OpenReport(reportFolder, utc, pid, path);
  if (fd < 0) fd = OpenReport(fallbackFolder, utc, pid, path);
  const int openError = errno;
  TLine notice;
  notice.Text("Fatal signal ").Text(SignalName(signal)).Text(" (").Text(SignalMeaning(signal)).Text("); ");
  if (fd >= 0) {
    WriteReport(fd, signal, info, context, utc, pid, tid, shown, count);
    ::close(fd);
    notice.Text("report written to ").Text(path.CString()).Char('\n');
  } else {
    notice.Text("the report could not be written to ").Text(path.CString()).Text(", error ");
    notice.Decimal(static_cast<unsigned long>(openError)).Char('\n');
  }
  WriteLine(STDERR_FILENO, notice);
  DieBy(signal);
}

// Copies text into a handler-readable array; throws when it does not fit with kNameRoom to spare.
void StoreFolder(const std::string& folder, char (&target)[kPathCapacity]) {
  if (folder.size() + kNameRoom >= kPathCapacity) throw std::system_error(ENAMETOOLONG, std::generic_category(), folder);
  std::memcpy(target, folder.c_str(), folder.size() + 1);
}

std::string WithSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

std::string TemporaryFolder() {
  for (const char* name : {"temp", "TMPDIR"})
    if (const char* value = std::getenv(name); value && *value) return WithSlash(value);
  return "/tmp/";
}

std::string BuildHeader() {
  std::string text = "Wexa Category Scraper crash report\n";
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  text += "Program: " + (error ? std::string("(unknown)") : program.string()) + "\n";
  std::ifstream commandLine("/proc/self/cmdline", std::ios::binary);
  std::string arguments((std::istreambuf_iterator<char>(commandLine)), std::istreambuf_iterator<char>());
  while (!arguments.empty() && arguments.back() == '\0') arguments.pop_back();
  for (char& c : arguments)
    if (c == '\0') c = ' ';
  text += "Command line: " + arguments + "\n";
  text += "Qt: " + std::string(qVersion()) + "\n";
  if (text.size() >= sizeof(header)) text.resize(sizeof(header) - 1);
  return text;
}

// Gives the installing thread a stack for the handler, so that a stack overflow can be reported.
void InstallSignalStack() {
  stack_t current{};
  if (::sigaltstack(nullptr, &current) != 0) throw std::system_error(errno, std::generic_category(), "sigaltstack");
  if (!(current.ss_flags & SS_DISABLE)) return;  // this thread has one already
  void* memory = ::mmap(nullptr, kSignalStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) throw std::system_error(errno, std::generic_category(), "mmap");
  stack_t stack{};
  stack.ss_sp = memory;
  stack.ss_size = kSignalStackSize;
  if (::sigaltstack(&stack, nullptr) != 0) {
    const int error = errno;
    ::munmap(memory, kSignalStackSize);
    throw std::system_error(error, std::generic_category(), "sigaltstack");
  }
}

}  // namespace

void InstallFatalSignalReport(const std::string& folder) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(folder.empty() ? "." : folder, error);
  if (error) absolute = folder;
  const std::string target = WithSlash(absolute.lexically_normal().string());
  std::filesystem::create_directories(target, error);  // when this fails, the report goes to the fallback

  // Prepare everything before the handlers can run. The handler never runs while this does: the
  // signals are installed last, and installing again is a start-up act on the main thread.
  StoreFolder(target, reportFolder);
  StoreFolder(TemporaryFolder(), fallbackFolder);
  const std::string text = BuildHeader();
  std::memcpy(header, text.data(), text.size());
  headerLength = text.size();
  // The first backtrace call loads the unwinder, which allocates; do it now rather than in the handler.
  void* probe[2];
  ::backtrace(probe, 2);

  InstallSignalStack();
  struct sigaction action {};
  action.sa_sigaction = FatalSignalHandler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  // While one report is written, another fatal signal of the same thread ends the process at once.
  sigemptyset(&action.sa_mask);
  for (int signal : kFatalSignals) sigaddset(&action.sa_mask, signal);
  for (int signal : kFatalSignals)
    if (::sigaction(signal, &action, nullptr) != 0) throw std::system_error(errno, std::generic_category(), "sigaction");
}

}  // namespace platform::qt
