// The crawl journal's cost per parsed page: BM_JournalAppend/N appends one page of N entries (the
// encoding, the checksums and the write to the system; the sync runs on the writer's own thread),
// and BM_JournalReplay/N reads back a journal of 10,000 such pages. The file goes to WEXA_BENCH_DIR
// (else /tmp).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/journal.h"

namespace {

std::string JournalPath() {
  const char* base = std::getenv("WEXA_BENCH_DIR");
  return (std::filesystem::path(base != nullptr && *base != 0 ? base : "/tmp") /
          ("wexa-bench-journal-" + std::to_string(::getpid())))
      .string();
}

// A category page as the crawl journals it: entries with names and addresses of typical length.
TJournalPage Page(int entries) {
  TJournalPage page;
  page.takenID = 4711;
  page.minContent = 5000;
  page.location = u"http://www.wexa.org/Arts/Music/Styles/Jazz/";
  for (int i = 0; i < entries; ++i)
    page.items.push_back({TJournalItem::jkQueued, 100000 + i, 12345, u"Bebop and Hard Bop " + std::u16string(1, u'a' + i % 26),
                          u"http://www.wexa.org/Arts/Music/Styles/Jazz/Bebop_and_Hard_Bop_" + std::u16string(1, u'a' + i % 26) + u"/"});
  return page;
}

void BM_JournalAppend(benchmark::State& state) {
  const std::string path = JournalPath();
  const TJournalPage page = Page(static_cast<int>(state.range(0)));
  {
    TJournalWriter writer;
    writer.Start(path, TJournalHeader{TPairId{}, 5000});
    for (auto _ : state) writer.Append(page);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * EncodeJournalPage(page).size()));
  std::filesystem::remove(path);
}
BENCHMARK(BM_JournalAppend)->Arg(20)->Arg(100)->Unit(benchmark::kMicrosecond);

void BM_JournalReplay(benchmark::State& state) {
  const std::string path = JournalPath();
  {
    TJournalWriter writer;
    writer.Start(path, TJournalHeader{TPairId{}, 5000});
    const TJournalPage page = Page(static_cast<int>(state.range(0)));
    for (int i = 0; i < 10000; ++i) writer.Append(page);
  }
  for (auto _ : state) benchmark::DoNotOptimize(ReadJournal(path).pages.size());
  std::filesystem::remove(path);
}
BENCHMARK(BM_JournalReplay)->Arg(20)->Unit(benchmark::kMillisecond);

}  // namespace
