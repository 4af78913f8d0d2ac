// Wexa Category Scraper: the program's start-up order, the window toolkit and the message loop,
// with the window shown or, with --headless, driven windowless.

#include <QTimer>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/Unit1.h"
#include "app/command_line.h"
#include "app/config.h"
#include "app/crawl_folder.h"
#include "app/headless.h"
#include "common/XmlPersistance.h"
#include "common/exceptions.h"
#include "common/logging.h"
#include "platform/qt/crash_report.h"
#include "platform/qt/fatal_report.h"
#include "platform/qt/fetcher.h"
#include "platform/qt/form_host.h"
#include "platform/qt/http_page_view.h"
#include "platform/qt/web_browser.h"
#include "version/VersionInfo.h"

namespace {

// Written by the signal handler, read by the window's thread: a lock-free atomic is safe for both.
std::atomic<int> stopSignals{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop-signal flag must be usable in a signal handler");

// The windowless run's host while it runs: whatever else writes to the terminal ends its status
// line first.
THeadlessHost* windowlessHost = nullptr;

// SIGINT and SIGTERM ask the windowless run to stop and save; a second one ends the program at
// once (the state files are replaced only by whole new ones, so the last saved state stays).
void OnStopSignal(int signal) {
  if (stopSignals.fetch_add(1) > 0) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
  }
}

void InstallStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// In windowless mode an error leaving a handler ends the program: message and stack trace on
// stderr, nothing saved, exit code 1.
void ExitOnHandlerError(const platform::qt::TErrorReport& report) {
  if (windowlessHost) windowlessHost->EndStatusLine();
  std::cout << std::flush;
  if (!report.inputFile.empty()) {
    // The user's input is at fault, not the program: one line naming the file, no stack trace.
    std::string line = InputErrorText(report.inputFile, report.inputLine, report.message);
    for (char& c : line) c = c == '\n' || c == '\r' ? ' ' : c;
    std::cerr << "wexa-scraper: " << line << '\n' << std::flush;
    std::_Exit(1);
  }
  std::cerr << report.className << ": " << report.message << '\n';
  if (!report.stackTrace.empty()) std::cerr << report.stackTrace << '\n';
  std::cerr << std::flush;
  std::_Exit(1);
}

// The log folder beside the executable, unless the user cannot write there (an installed program in
// /usr/bin): then the user's state folder, $XDG_STATE_HOME/wexa-scraper/logs/ (~/.local/state/...).
void ChooseLogFolder() {
  const std::string beside = DefaultLogPath();
  const std::string executableFolder = beside.substr(0, beside.size() - std::string("logs/").size());
  if (::access(beside.c_str(), W_OK) == 0 || ::access(executableFolder.c_str(), W_OK) == 0) return;
  std::string state;
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg) {
    state = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    state = std::string(home) + "/.local/state";
  } else {
    return;
  }
  TLogger::SetDefaultLogPath(state + "/wexa-scraper/logs/");
}

// The logger of the toolkit's messages in windowless runs. The toolkit may report from its own
// threads, so the pointer is atomic; it is cleared (after the handler is uninstalled) before the
// logging unit frees its loggers.
std::atomic<TLogger*> qtLog{nullptr};

// Windowless stderr carries only the window's lines (Memo1, message boxes) and errors, so the
// toolkit's own diagnostics go to the log file; only its critical ones also reach stderr.
void LogToolkitMessage(QtMsgType type, const QMessageLogContext&, const QString& text) {
  if (type == QtDebugMsg || type == QtInfoMsg) return;
  const std::string line = text.toStdString();
  if (TLogger* log = qtLog.load()) log->Log("Qt: " + line, type == QtWarningMsg ? llWarn : llError);
  if (type == QtCriticalMsg || type == QtFatalMsg) {
    if (windowlessHost) windowlessHost->EndStatusLine();
    std::cerr << line << '\n' << std::flush;
  }
}

int RunHeadless(platform::qt::QtFormHost& host, const THeadlessOptions& options) {
  THeadlessHost headless(
      host, std::cout, std::cerr,
      [] {
        using namespace std::chrono;
        return duration<double>(steady_clock::now().time_since_epoch()).count();
      },
      ::isatty(STDOUT_FILENO) == 1);
  windowlessHost = &headless;
  platform::qt::SetErrorHook(ExitOnHandlerError);
  std::optional<TForm1> form;
  std::optional<THeadlessRunner> runner;
  platform::qt::RunHandler([&] { form.emplace(headless); }, false);
  runner.emplace(*form, headless, options, std::cout);
  InstallStopSignals();

  int exitCode = 0;
  QTimer::singleShot(0, [&] { platform::qt::RunHandler([&] { runner->Begin(); }, false); });
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    platform::qt::RunHandler(
        [&] {
          if (stopSignals > 0) runner->RequestStop();
          if (std::optional<int> code = runner->Poll()) {
            poll.stop();
            exitCode = *code;
            QCoreApplication::exit(exitCode);
          }
        },
        false);
  });
  poll.start(20);
  QCoreApplication::exec();
  headless.EndStatusLine();
  windowlessHost = nullptr;
  std::cout << std::flush;
  return exitCode;
}

// The http engine's settings: the web engine's delay, pages ahead and User-Agent.
platform::http::THttpBrowserOptions HttpOptions(const platform::qt::TWebBrowserOptions& web) {
  platform::http::THttpBrowserOptions options;
  options.navigationDelayMs = web.navigationDelayMs;
  options.pagesAhead = web.pagesAhead;
  options.userAgent = web.userAgent;
  return options;
}

// Whether an X server listens on the local display number, through its socket in the file system
// or in the abstract namespace.
bool LocalXServerListens(const std::string& number) {
  for (const bool abstract : {false, true}) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;  // cannot tell: let the toolkit try
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = "/tmp/.X11-unix/X" + number;
    std::memcpy(address.sun_path + (abstract ? 1 : 0), path.c_str(), path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + (abstract ? 1 : 0));
    const bool listens = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
    ::close(fd);
    if (listens) return true;
  }
  return false;
}

// Why the window cannot be shown, or nullopt when a display looks usable. Without one the toolkit
// would abort the program with a hint about reinstalling it.
std::optional<std::string> DisplayProblem() {
  if (const char* platform = std::getenv("QT_QPA_PLATFORM"); platform && *platform) return std::nullopt;
  if (const char* wayland = std::getenv("WAYLAND_DISPLAY"); wayland && *wayland) return std::nullopt;
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) return std::string("no display to open the window on (DISPLAY is not set)");
  // ":N", ":N.S" and "unix:N" are local; a remote display is left to the toolkit.
  const std::string name = display;
  const std::size_t colon = name.rfind(':');
  const std::string host = colon == std::string::npos ? name : name.substr(0, colon);
  if (colon == std::string::npos || !(host.empty() || host == "unix")) return std::nullopt;
  const std::string number = name.substr(colon + 1, name.find('.', colon) - colon - 1);
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  if (LocalXServerListens(number)) return std::nullopt;
  return "no display to open the window on (nothing answers on DISPLAY " + name + ")";
}

// Answers --help and --version before anything starts, so that they need no display, no sandbox
// setting and no log folder.
int AnswerInformationRequest(TInformationRequest request) {
  if (request == irHelp) {
    std::cout << ProgramHelpText() << std::flush;
    return 0;
  }
  // The window caption's version, read from the same version data; a version that does not parse
  // shows as 0.0.0.0 there, and here the error also goes to stderr.
  std::string problem;
  const std::string version = ProgramVersionText([&](const Exception& error) { problem = error.Message(); });
  std::cout << ProgramVersionLine(version) << '\n' << std::flush;
  if (!problem.empty()) std::cerr << "wexa-scraper: " << problem << '\n';
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (const TInformationRequest request = InformationRequested(args); request != irNone)
    return AnswerInformationRequest(request);
  std::optional<THeadlessOptions> headless;
  try {
    headless = ParseHeadlessArguments(args);
  } catch (const std::invalid_argument& error) {
    std::cerr << "wexa-scraper: " << error.what() << '\n' << HeadlessUsage() << "\n(see --help)\n";
    return 2;
  }
  platform::qt::TWebBrowserOptions browserOptions;
  TPageEngine engine = peWeb;
  try {
    engine = PageEngine(headless, std::getenv("WEXA_ENGINE"));
    browserOptions.navigationDelayMs = NavigationDelayMs(headless, std::getenv("WEXA_DELAY_MS"));
    browserOptions.pagesAhead = ParallelPages(headless, std::getenv("WEXA_PARALLEL"), engine) - 1;
    browserOptions.userAgent = config::UserAgent(headless ? headless->userAgent : std::nullopt);
  } catch (const std::invalid_argument& error) {
    std::cerr << "wexa-scraper: " << error.what() << '\n';
    return 2;
  }

  // A windowless run checks its folder before anything starts: what is saved there, and whether its
  // state can be saved there at all.
  if (headless) {
    std::error_code error;
    const std::string folder = std::filesystem::current_path(error).string();
    if (const std::optional<TStartRefusal> refusal = CheckWindowlessStart(".", folder.empty() ? "." : folder, *headless)) {
      std::cerr << "wexa-scraper: " << refusal->message << '\n';
      return refusal->exitCode;
    }
  }

  if (!headless) {
    if (const std::optional<std::string> problem = DisplayProblem()) {
      std::cerr << "wexa-scraper: " << *problem << "; wexa-scraper --headless crawls without a window\n";
      return 2;
    }
  }

  // Unit start-ups, in this order, before the application object: logging, then the XML
  // persistence, then the category model's class registration, then the log threshold.
  InitializeLogging();
  ChooseLogFolder();
  InitializeXmlPersistance();
  RegisterModelClasses();
  LogLevel = llWarn;

  std::string sandboxProblem;
  if (engine == peWeb && !platform::qt::CheckWebEngineSandboxSetting(&sandboxProblem)) {
    std::cerr << "wexa-scraper: " << sandboxProblem << '\n';
    return 2;
  }
  // The web engine shares its GL contexts with the widgets; this must be set before the
  // application object exists.
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  // Windowless runs need no display.
  if (headless) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qtLog = TLogger::GetLogger("toolkit.log", config::kLogSizeLimit);
    qInstallMessageHandler(LogToolkitMessage);
  }

  int exitCode = 0;
  {
    platform::qt::WexaApplication application(argc, argv);
    platform::qt::InstallFatalSignalReport(DefaultLogPath());
    platform::qt::QtFormHost host(engine == peHttp ? platform::qt::HttpBrowserFactory(HttpOptions(browserOptions), !headless)
                                                   : platform::qt::WebBrowserFactory(browserOptions),
                                  std::make_unique<platform::qt::QtFetcher>(browserOptions.userAgent));
    if (headless) {
      exitCode = RunHeadless(host, *headless);
    } else {
      TForm1 form(host);
      form.SetObeyRobots(config::ObeyRobots());
      host.Show();
      exitCode = application.exec();
      platform::qt::RunHandler([&] { form.FormDestroy(); }, false);
    }
  }
  if (headless) {
    qInstallMessageHandler(nullptr);
    qtLog = nullptr;
  }
  FinalizeXmlPersistance();
  FinalizeLogging();
  return exitCode;
}
