// Saving and loading the crawl state of a full crawl through the window's buttons, on the fake
// toolkit: BM_SaveState/N and BM_LoadState/N with N real categories and N/4 symbolic ones, spread over
// a tree with 10 to 50 children per category, half of the real categories still pending.
// The files go to a folder of their own below WEXA_BENCH_DIR (else /tmp), which is removed afterwards.
// Counters: held_MiB is the resident set holding the crawl (before the save, after the load); peak_MiB
// the peak resident set of the process during the timed work, whose start resets it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/Unit1.h"
#include "common/XmlPersistance.h"
#include "common/logging.h"
#include "platform/fake/fake_host.h"
#include "platform/text.h"

namespace bench_state {

namespace fs = std::filesystem;
using platform::TreeNode;
using platform::fake::FakeFormHost;

std::u16string Text16(const std::string& s) { return platform::FromUtf8(s); }

// The registry with the model's classes, as at program start, for as long as it lives; the one that
// was there before (other benchmarks register their own classes of the same names) comes back after.
class TModelRegistry {
 public:
  TModelRegistry() : saved_(XmlClassManager) {
    LogLevel = llWarn;
    XmlClassManager = new TXMLClassManager();
    RegisterModelClasses();
  }
  TModelRegistry(const TModelRegistry&) = delete;
  TModelRegistry& operator=(const TModelRegistry&) = delete;
  ~TModelRegistry() {
    delete XmlClassManager;
    XmlClassManager = saved_;
  }

 private:
  TXMLClassManager* saved_;
};

// A working directory of its own for as long as it lives.
class TWorkDir {
 public:
  TWorkDir() : saved_(fs::current_path()) {
    const char* base = std::getenv("WEXA_BENCH_DIR");
    dir_ = fs::path(base != nullptr && *base != 0 ? base : "/tmp") / ("wexa-bench-state-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    fs::current_path(dir_);
  }
  TWorkDir(const TWorkDir&) = delete;
  TWorkDir& operator=(const TWorkDir&) = delete;
  ~TWorkDir() {
    fs::current_path(saved_);
    fs::remove_all(dir_);
  }
  std::uintmax_t Size(const char* file) const { return fs::file_size(dir_ / file); }

 private:
  fs::path saved_;
  fs::path dir_;
};

// Resident set and its peak, in MiB, from /proc/self/status ("VmRSS", "VmHWM").
double MemoryMiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stod(line.substr(field.size() + 1)) / 1024.0;
  }
  return 0;
}

// Starts a new peak: the kernel sets VmHWM back to the current resident set.
void ResetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Breadth first, as a crawl finds them: each category gets 10 to 50 real children until `categories`
// exist, then every symbolic category hangs below a category picked at random. Every real category
// is queued and the first half taken, as if their pages had been visited. Deterministic.
void BuildCrawl(TForm1& form, int categories) {
  std::mt19937 rng(20240101);
  std::vector<TreeNode*> realNodes;
  realNodes.reserve(static_cast<std::size_t>(categories));
  std::deque<TreeNode*> toVisit;
  int made = 0;
  auto addCategory = [&](TreeNode* parent, const std::u16string& parentUrl) {
    ++made;
    const std::string name = "Category " + std::to_string(made);
    auto* record = new TCategory(made, Text16(name), parentUrl + Text16("Category_" + std::to_string(made) + "/"),
                                 static_cast<std::int32_t>(rng() % 200000));
    form.Directory().AddCategory(record);
    TreeNode* node = form.Categories().AddChildObject(parent, name, record);
    form.Queue().Push(record);
    realNodes.push_back(node);
    toVisit.push_back(node);
  };
  for (int i = 0; i < 20 && made < categories; ++i) addCategory(nullptr, u"http://www.wexa.org/");
  while (made < categories && !toVisit.empty()) {
    TreeNode* parent = toVisit.front();
    toVisit.pop_front();
    const int children = 10 + static_cast<int>(rng() % 41);
    for (int i = 0; i < children && made < categories; ++i)
      addCategory(parent, static_cast<TCategory*>(parent->Data())->Url);
  }
  for (int i = 0; i < categories / 4; ++i) {
    const std::string name = "Link " + std::to_string(i);
    auto* record = new TSymbolicCategory(
        -1, Text16(name), u"http://www.wexa.org/Category_" + Text16(std::to_string(rng() % categories)) + u"/");
    form.Directory().AddCategory(record);
    form.Categories().AddChildObject(realNodes[rng() % realNodes.size()], name + "@", record);
  }
  for (int i = 0; i < categories / 2; ++i) form.Queue().Pop();
}

void BM_SaveState(benchmark::State& state) {
  const int categories = static_cast<int>(state.range(0));
  TModelRegistry registry;
  TWorkDir dir;
  auto host = std::make_unique<FakeFormHost>();
  auto form = std::make_unique<TForm1>(*host);
  BuildCrawl(*form, categories);
  state.counters["held_MiB"] = MemoryMiB("VmRSS");
  ResetPeakMemory();
  for (auto _ : state) host->Click("Button3");
  state.counters["peak_MiB"] = MemoryMiB("VmHWM");
  state.counters["tree_bytes"] = static_cast<double>(dir.Size("tree.xml"));
  state.counters["queue_bytes"] = static_cast<double>(dir.Size("queue.lst"));
  if (form->Queue().Pending() != categories - categories / 2) state.SkipWithError("the save changed the queue");
}

void BM_LoadState(benchmark::State& state) {
  const int categories = static_cast<int>(state.range(0));
  TModelRegistry registry;
  TWorkDir dir;
  {
    FakeFormHost host;
    TForm1 form(host);
    BuildCrawl(form, categories);
    host.Click("Button3");
  }
  for (auto _ : state) {
    state.PauseTiming();
    auto host = std::make_unique<FakeFormHost>();
    auto form = std::make_unique<TForm1>(*host);
    ResetPeakMemory();
    state.ResumeTiming();

    host->Click("Button4");  // at program start: into an empty tree, store and queue

    state.PauseTiming();
    state.counters["held_MiB"] = MemoryMiB("VmRSS");
    state.counters["peak_MiB"] = MemoryMiB("VmHWM");
    const std::size_t nodes = static_cast<std::size_t>(categories) + static_cast<std::size_t>(categories / 4);
    if (form->Categories().Count() != nodes || form->Queue().Pending() != categories - categories / 2 ||
        form->CategoryCount() != categories || form->LastID() != categories) {
      state.SkipWithError("wrong result");
    }
    form.reset();
    host.reset();
    state.ResumeTiming();
  }
}

BENCHMARK(BM_SaveState)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadState)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace bench_state
