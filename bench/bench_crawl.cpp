// Benchmarks of the crawl's hot paths on the fake toolkit: the end-of-crawl symbolic pass and the
// reading of one category page through late binding.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "app/Unit1.h"
#include "common/XmlPersistance.h"
#include "common/logging.h"
#include "platform/fake/fake_dom.h"
#include "platform/fake/fake_host.h"
#include "platform/text.h"

namespace {

using platform::TreeNode;
using platform::fake::At;
using platform::fake::El;
using platform::fake::FakeFormHost;
using platform::fake::Text;

std::u16string Url(int i) { return u"http://www.wexa.org/c/" + platform::FromUtf8(std::to_string(i)) + u"/"; }

// A tree of `total` nodes, a fifth of them symbolic; half of those point to a recorded category.
void BuildTree(TForm1& form, int total) {
  std::mt19937 rng(7);
  const int symbolic = total / 5;
  const int real = total - symbolic;
  std::vector<TreeNode*> realNodes;
  realNodes.reserve(static_cast<std::size_t>(real));
  for (int i = 0; i < real; ++i) {
    // Breadth-first shape with about 20 children a node, as a directory has.
    TreeNode* parent = i < 50 ? nullptr : realNodes[static_cast<std::size_t>((i - 50) / 20)];
    auto* record = new TCategory(i + 1, u"name", Url(i), 10000);
    form.Directory().AddCategory(record);
    realNodes.push_back(form.Categories().AddChildObject(parent, "name", record));
  }
  for (int i = 0; i < symbolic; ++i) {
    const bool hasTarget = i % 2 == 0;
    auto* record = new TSymbolicCategory(-1, u"link", hasTarget ? Url(static_cast<int>(rng() % real)) : Url(real + i));
    form.Directory().AddCategory(record);
    form.Categories().AddChildObject(realNodes[rng() % realNodes.size()], "link@", record);
  }
}

// The pass alone: from "start" on a loaded tree with an empty queue to the finished line. The save
// of the finished crawl that follows is timed apart (the "save" counter, seconds); its files go to
// a folder of their own below WEXA_BENCH_DIR (else /tmp).
void BM_SymbolicPass(benchmark::State& state) {
  namespace fs = std::filesystem;
  using Clock = std::chrono::steady_clock;
  const char* base = std::getenv("WEXA_BENCH_DIR");
  const fs::path saved = fs::current_path();
  const fs::path dir = fs::path(base != nullptr && *base != 0 ? base : "/tmp") /
                       ("wexa-bench-pass-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  fs::current_path(dir);
  // As at program start: the persistence's debug lines would cost more than the work itself.
  const TLogLevel savedLevel = LogLevel;
  LogLevel = llWarn;
  InitializeXmlPersistance();
  RegisterModelClasses();
  const int total = static_cast<int>(state.range(0));
  double saveSeconds = 0;
  for (auto _ : state) {
    auto host = std::make_unique<FakeFormHost>();
    host->statusBar.keepHistory = false;
    auto form = std::make_unique<TForm1>(*host);
    BuildTree(*form, total);
    Clock::time_point finished{};
    host->statusBar.onText = [&](const std::string& text) {
      if (text.rfind("*** FINISHED ***", 0) == 0) finished = Clock::now();
    };

    const Clock::time_point start = Clock::now();
    host->Click("Button2");  // tree loaded, queue empty: straight to the pass, then the save
    const Clock::time_point end = Clock::now();

    state.SetIterationTime(std::chrono::duration<double>(finished - start).count());
    saveSeconds += std::chrono::duration<double>(end - finished).count();
    if (finished == Clock::time_point{} || form->Categories().Count() != static_cast<std::size_t>(total - total / 10))
      state.SkipWithError("wrong result");
  }
  state.counters["save"] = saveSeconds / static_cast<double>(state.iterations());
  FinalizeXmlPersistance();
  LogLevel = savedLevel;
  fs::current_path(saved);
  fs::remove_all(dir);
}
BENCHMARK(BM_SymbolicPass)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();

void BM_ParseCategoryPage(benchmark::State& state) {
  const int entries = static_cast<int>(state.range(0));
  FakeFormHost host;
  host.statusBar.keepHistory = false;
  TForm1 form(host);
  auto* top = new TCategory(1, u"Top", u"http://www.wexa.org/Top/", 10000);
  form.Categories().AddChildObject(nullptr, "Top", top);
  form.Queue().Push(top);
  host.Click("Button2");  // running; navigates to the page
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<platform::fake::FakeNodePtr> body;
    for (int i = 0; i < entries; ++i) {
      const std::u16string href = u"/Top/" + platform::FromUtf8(std::to_string(round * entries + i)) + u"/";
      body.push_back(At(10 * i, El(u"LI", {El(u"A", {{u"href", href}}, {Text(u"Entry name")}), Text(u" "),
                                           El(u"I", {Text(u"(12,345)")})})));
    }
    body.push_back(At(10 * entries + 5, El(u"P", {Text(u"See also:")})));
    body.push_back(El(u"FORM", {{u"action", u"http://search.wexa.org/"}}, {}));
    host.browser.Show(platform::fake::FakePage{u"http://www.wexa.org/Top/", u"Talmorex - Top", true,
                                               platform::fake::MakeDocument(std::move(body), u"http://www.wexa.org")});
    ++round;
    state.ResumeTiming();

    form.ParseCategoryPage();
  }
  state.counters["pages/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseCategoryPage)->Arg(100)->Unit(benchmark::kMillisecond);

}  // namespace
