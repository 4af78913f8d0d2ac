#pragma once
// Support for the end-to-end tests: child processes with bounded waits, a private working folder per
// test, the sample site as a child process, its expected-crawl dump, and a reader of tree.xml built
// on libxml2 directly (not on the program's own persistence code).
//
// Threading: everything here is used from the test's one thread.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The built programs, as CMake located them.
std::string ScraperProgram();
std::string SampleSiteProgram();

// A fresh folder under the system's temporary folder, removed with everything in it on destruction
// (kept when WEXA_E2E_KEEP is set, for a look after a failure).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& bytes);
std::vector<std::string> SplitLines(const std::string& text);

// How a child ended: its exit code, or the signal that killed it.
struct ExitStatus {
  bool exited = false;
  int code = -1;    // when exited
  int signal = 0;   // when killed by a signal
  std::string Describe() const;
};

// A child process in a process group of its own (the browser's helper processes join it), with
// stdout and stderr going to files. The destructor kills the whole group and reaps the child, so a
// failing test leaves nothing running.
class Process {
 public:
  // Starts argv[0] with the given arguments in folder cwd. env holds variables to set on top of this
  // process's environment; a variable mapped to nullopt is removed. Throws std::runtime_error when the
  // program cannot be started.
  Process(const std::vector<std::string>& argv, const std::filesystem::path& cwd,
          const std::map<std::string, std::optional<std::string>>& env, const std::filesystem::path& stdoutFile,
          const std::filesystem::path& stderrFile);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t Pid() const { return pid_; }
  // Whether the child has ended (reaps it if so).
  bool Ended();
  // Waits at most timeout for the child to end; nullopt when it is still running.
  std::optional<ExitStatus> Wait(Clock::duration timeout);
  // The status of an ended child; requires Ended().
  const ExitStatus& Status() const { return *status_; }
  // Sends sig to the child itself (not to its group).
  void Signal(int sig);
  // SIGKILL to the child's whole group, then reaps the child.
  void KillGroup();

  std::string Stdout() const { return ReadFile(stdoutFile_); }
  std::string Stderr() const { return ReadFile(stderrFile_); }

 private:
  pid_t pid_ = -1;
  std::optional<ExitStatus> status_;
  std::filesystem::path stdoutFile_;
  std::filesystem::path stderrFile_;
};

// Polls pred every few milliseconds until it holds, the process ends, or timeout passes. Returns
// whether pred held.
bool WaitUntil(const std::function<bool()>& pred, Clock::duration timeout, Process* process = nullptr,
               Clock::duration step = 10ms);

// The sample site's generator options, as its command-line arguments.
using SiteArgs = std::vector<std::string>;

// The expected crawl, from the sample site's dump (addresses with the root address in front).
struct ExpectedCategory {
  int id = 0;
  int content = 0;
  std::string url;
  std::string parentUrl;  // empty for a top-level category
  std::string name;
};
struct ExpectedSymbolic {
  std::string parentUrl;
  std::string url;
  std::string name;
};
struct ExpectedCrawl {
  std::vector<ExpectedCategory> categories;  // in ID order
  std::vector<ExpectedSymbolic> symbolics;   // survivors, in discovery order
  int categoryCount = -1;
  int symbolicFound = -1;
  int symbolicKept = -1;
  int pagesVisited = -1;
};
// Throws std::runtime_error on a line that is not of the dump's form.
ExpectedCrawl ParseDump(const std::string& text);

// wexa-sample-site serving on 127.0.0.1 with the given generator and fault options. Stops it on
// destruction.
class SampleSite {
 public:
  SampleSite(const SiteArgs& args, const TempDir& dir, const std::string& name = "site");
  ~SampleSite();
  int Port() const { return port_; }
  std::string RootUrl() const;  // "http://127.0.0.1:PORT"
  // The expected crawl of this site's options at the given minimum content.
  ExpectedCrawl Expected(int minContent) const;
  // Stops serving (a stalled request is then answered and logged at once). Idempotent.
  void Stop();
  // The request log (with --log-requests among the options): "METHOD PATH STATUS FAULT" lines, one
  // per response; a stalled request is logged only when its stall ends.
  std::string RequestLog() const { return process_->Stderr(); }

 private:
  SiteArgs args_;
  std::filesystem::path dir_;
  std::unique_ptr<Process> process_;
  int port_ = 0;
};

// One node of tree.xml: a category record with its place in the tree.
struct TreeRecord {
  bool symbolic = false;
  int id = 0;       // TCategory
  int content = 0;  // TCategory
  int parent = 0;   // TSymbolicCategory's Parent
  std::string name;
  std::string url;
  int treeParent = -1;  // index of the parent node, -1 at the top level
  std::vector<int> children;
};
struct SavedTree {
  std::vector<TreeRecord> nodes;  // depth first, each node before its children
  std::vector<int> top;
  int RealCount() const;
  int SymbolicCount() const;
};
// Reads tree.xml and checks its shape (element names, their order, the null root, CR LF line ends).
// Throws std::runtime_error naming the first deviation.
SavedTree ReadTreeFile(const std::filesystem::path& path);

// The differences between a saved tree and the expected crawl (at most a few dozen); empty when
// they agree. Checks every real category (ID, name, address, content, parent), every kept symbolic
// category (parent, address, name, Parent -1), and the order of siblings: real ones in ID order,
// symbolic ones in discovery order, under each parent.
std::vector<std::string> CompareTree(const SavedTree& tree, const ExpectedCrawl& expected);

// The differences between two trees, node by node in tree order (records and shape); empty when equal.
std::vector<std::string> CompareTrees(const SavedTree& got, const SavedTree& want);

// Checks a tree saved part-way through a crawl: its real categories are those with IDs 1..n of the
// expected crawl, each with the expected record and parent. Returns the differences.
std::vector<std::string> CompareUnfinishedTree(const SavedTree& tree, const ExpectedCrawl& expected);

// Writes a tree.xml in the program's format for the given tree (ReadTreeFile's inverse).
std::string FormatTreeFile(const SavedTree& tree);

// A run of wexa-scraper --headless in a working folder, against a site.
class ScraperRun {
 public:
  ScraperRun(const std::filesystem::path& cwd, const std::string& rootUrl, const std::vector<std::string>& args,
             const std::string& label, const std::string& searchHost = "search.wexa.org");
  Process& Proc() { return *process_; }
  std::vector<std::string> StdoutLines() const { return SplitLines(process_->Stdout()); }
  std::vector<std::string> StderrLines() const { return SplitLines(process_->Stderr()); }
  std::string Stdout() const { return process_->Stdout(); }
  std::string Stderr() const { return process_->Stderr(); }
  // A short account of the run for failure messages: status and the last lines of both streams.
  std::string Tail() const;

 private:
  std::unique_ptr<Process> process_;
};

// The finished line for these counts.
std::string FinishedLine(int categories, int symbolic);

// The environment every run of the scraper gets (sandbox off when running as root).
std::map<std::string, std::optional<std::string>> ScraperEnvironment(const std::string& rootUrl,
                                                                     const std::string& searchHost);

}  // namespace e2e
