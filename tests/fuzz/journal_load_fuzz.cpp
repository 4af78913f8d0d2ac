// libFuzzer target: "load state" (TForm1::LoadState on the fake toolkit) with arbitrary bytes as
// crawl.journal, once beside a small saved pair and once with no pair. A load either replays or
// throws; when it throws, the window's state (tree, store, queue, counters) must be as before, or
// the target aborts. Each input is loaded as it is and with its records' checksums made right.
//
// The pair and the seed journals come from a small crawl that the target runs on the fake browser
// when it starts. With WEXA_JOURNAL_SEEDS=<folder> set it writes that crawl's journals there (whole
// and torn) and exits: that is how tests/fuzz/journal-seeds/ was made.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/Unit1.h"
#include "common/XmlPersistance.h"
#include "common/logging.h"
#include "model/helper.h"
#include "platform/fake/fake_dom.h"
#include "platform/fake/fake_host.h"

namespace {

namespace fs = std::filesystem;
using platform::TreeNode;
using platform::fake::At;
using platform::fake::El;
using platform::fake::FakeNodePtr;
using platform::fake::FakePage;
using platform::fake::Text;

const std::u16string kRoot = u"http://www.wexa.org";

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const fs::path& path, const void* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
}

FakePage Page(const std::u16string& url, std::vector<FakeNodePtr> body, const std::u16string& title) {
  body.push_back(El(u"FORM", {{u"action", u"http://search.wexa.org/cgi"}}, {}));
  return FakePage{url, title, true, platform::fake::MakeDocument(std::move(body), url)};
}

// Three top-level categories, two levels below, a cross-link, one to an unknown category and one
// category listed twice (the duplicate stop).
FakePage PageOf(const std::u16string& url) {
  if (url == kRoot) {
    std::vector<FakeNodePtr> cells;
    for (const char16_t* c : {u"/A/", u"/B/", u"/C/"}) cells.push_back(El(u"TD", {El(u"A", {{u"href", c}}, {Text(c)})}));
    return Page(kRoot, {El(u"TABLE"), El(u"TABLE", std::move(cells))}, u"Talmorex - Home");
  }
  static const std::map<std::u16string, std::vector<std::u16string>> children = {
      {u"/A/", {u"/A/x/", u"/B/@", u"/A/y/"}}, {u"/A/x/", {u"/A/x/z/", u"/Q/@"}},
      {u"/B/", {u"/B/w/", u"/B/v/"}},         {u"/C/", {u"/C/s/", u"/C/r/"}},
      {u"/C/s/", {u"/A/y/"}}};
  std::vector<FakeNodePtr> body;
  if (const auto it = children.find(url.substr(kRoot.size())); it != children.end()) {
    int top = 10;
    for (std::u16string child : it->second) {
      const bool symbolic = child.back() == u'@';
      if (symbolic) child.pop_back();
      std::vector<FakeNodePtr> li{El(u"A", {{u"href", child}}, {Text(child)})};
      if (symbolic) li.push_back(Text(u"@"));
      li.push_back(Text(u" "));
      li.push_back(El(u"I", {Text(u"(6000)")}));
      body.push_back(At(top += 20, El(u"LI", std::move(li))));
    }
  }
  return Page(url, std::move(body), u"Talmorex - Category");
}

// A window on the fake toolkit, as the program builds it.
struct TWindow {
  TWindow() : form(std::make_unique<TForm1>(host)) { host.statusBar.keepHistory = false; }
  // Serves pages until the crawl rests, answering the duplicate message as the windowless runner does.
  void Serve(int pages) {
    std::size_t messages = 0;
    for (int i = 0; i < pages; ++i) {
      if (!host.browser.Loading()) {
        if (host.dialogs.messages.size() == messages || form->Stopped()) return;
        messages = host.dialogs.messages.size();
        host.Click("Button1");
        host.Click("Button2");
        continue;
      }
      host.browser.Complete(PageOf(host.browser.navigations.back()));
    }
  }
  platform::fake::FakeFormHost host;
  std::unique_ptr<TForm1> form;
};

void DumpNode(const TreeNode* n, std::string& out) {
  out += n->Text();
  if (const auto* c = dynamic_cast<const TCategory*>(n->Data())) {
    out += "#" + std::to_string(c->ID) + "/" + std::to_string(c->Content) + "/" + utf::ToUtf8(c->Url);
  } else if (const auto* s = dynamic_cast<const TSymbolicCategory*>(n->Data())) {
    out += "@" + utf::ToUtf8(s->Url);
  }
  out += "(";
  for (const TreeNode* c = n->GetFirstChild(); c; c = c->GetNextSibling()) DumpNode(c, out);
  out += ")";
}

// Everything a load may change, as text.
std::string State(TForm1& form) {
  std::string out;
  for (std::size_t i = 0; i < form.Categories().TopLevelCount(); ++i) DumpNode(form.Categories().TopLevel(i), out);
  out += " queue";
  for (int i = 0; i < form.Queue().Count(); ++i) out += " " + std::to_string(form.Queue().Items(i)->ID);
  out += " read " + std::to_string(form.Queue().ReadPos()) + " last " + std::to_string(form.LastID()) + " counts " +
         std::to_string(form.CategoryCount()) + "/" + std::to_string(form.SymbolicCount()) + " store " +
         std::to_string(form.Directory().Categories().size()) + "/" +
         std::to_string(form.Directory().SymbolicCategories().size()) + " min " + std::to_string(form.MinContent());
  return out;
}

// A folder for each case, made once: "pair" holds the saved pair of the start-up crawl, "empty" none.
struct TSetup {
  fs::path pairDir;
  fs::path emptyDir;
  std::unique_ptr<TWindow> pairWindow;
  std::unique_ptr<TWindow> emptyWindow;
  int loads = 0;
};

void WriteSeeds(const fs::path& work, const char* seedDir) {
  // A crawl from an empty tree (its journal names no pair), killed after five pages.
  const fs::path fresh = work / "seed-fresh";
  fs::create_directories(fresh);
  fs::current_path(fresh);
  {
    TWindow w;
    w.host.edit.SetText("6000");
    w.host.Click("Button2");
    w.Serve(5);
  }
  const std::string freshJournal = ReadAll(fresh / "crawl.journal");
  const std::string pairJournal = ReadAll(work / "pair" / "crawl.journal");
  const fs::path out(seedDir);
  fs::create_directories(out);
  const auto put = [&](const char* name, const std::string& bytes) { WriteAll(out / name, bytes.data(), bytes.size()); };
  put("fresh.journal", freshJournal);
  put("fresh-torn.journal", freshJournal.substr(0, freshJournal.size() - 5));
  put("pair.journal", pairJournal);
  put("pair-torn.journal", pairJournal.substr(0, pairJournal.size() - 9));
  fs::current_path(work);
  fs::remove_all(fresh);
}

TSetup& Setup() {
  static TSetup* setup = [] {
    LogLevel = llWarn;
    InitializeXmlPersistance();
    RegisterModelClasses();
    auto* s = new TSetup;
    // In memory where there is such a folder: a load truncates and syncs the journal it continues.
    std::error_code error;
    const fs::path base = fs::is_directory("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
    const fs::path work = base / ("journal_load_fuzz_" + std::to_string(::getpid()));
    fs::remove_all(work);
    s->pairDir = work / "pair";
    s->emptyDir = work / "empty";
    fs::create_directories(s->pairDir);
    fs::create_directories(s->emptyDir);
    // The saved pair: a crawl stopped after four pages and saved, then continued for four more,
    // which makes the journal that extends the pair.
    fs::current_path(s->pairDir);
    {
      TWindow w;
      w.host.edit.SetText("6000");
      w.host.Click("Button2");
      w.Serve(4);
      w.host.Click("Button1");
      w.host.Click("Button3");
      w.host.Click("Button2");
      w.Serve(4);
      w.host.Click("Button1");
    }
    if (!fs::exists(s->pairDir / "tree.xml") || !fs::exists(s->pairDir / "queue.lst")) std::abort();
    if (const char* seeds = std::getenv("WEXA_JOURNAL_SEEDS")) {
      fs::current_path(work);
      WriteSeeds(work, seeds);
      fs::remove_all(work);
      // Not exit(): libFuzzer takes that for a crash of the target.
      std::_Exit(0);
    }
    fs::remove(s->pairDir / "crawl.journal.previous");
    static fs::path removed = work;
    std::atexit([] {
      std::error_code error;
      fs::remove_all(removed, error);
    });
    s->pairWindow = std::make_unique<TWindow>();
    s->emptyWindow = std::make_unique<TWindow>();
    return s;
  }();
  return *setup;
}

void LoadCase(const fs::path& dir, std::unique_ptr<TWindow>& window, const std::uint8_t* data, std::size_t size) {
  fs::current_path(dir);
  WriteAll(dir / "crawl.journal", data, size);
  TForm1& form = *window->form;
  const std::string before = State(form);
  try {
    form.LoadState();
  } catch (const Exception&) {
    const std::string after = State(form);
    if (after != before) {
      std::fprintf(stderr, "load failed and changed the state\nbefore: %s\nafter:  %s\n", before.c_str(), after.c_str());
      std::abort();
    }
  }
}

std::uint32_t Get32(const std::string& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  return v;
}
void Put32(std::string& bytes, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// The bytes with the checksums of every whole record made right, so that mutations of lengths,
// types and payloads reach the decoder and the replay instead of stopping at the checks.
std::string WithChecksFixed(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  for (std::size_t at = 0; bytes.size() - at >= 13;) {
    const std::uint32_t length = Get32(bytes, at);
    if (length > bytes.size() - at - 13) break;
    Put32(bytes, at + 5, Crc32c(std::string_view(bytes).substr(at, 5)));
    Put32(bytes, at + 9 + length, Crc32c(std::string_view(bytes).substr(at + 9, length), Crc32c(bytes.substr(at + 4, 1))));
    at += 13 + static_cast<std::size_t>(length);
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TSetup& s = Setup();
  // A fresh window now and then keeps the memo's lines from growing without bound.
  if (++s.loads % 4096 == 0) {
    s.pairWindow = std::make_unique<TWindow>();
    s.emptyWindow = std::make_unique<TWindow>();
  }
  LoadCase(s.pairDir, s.pairWindow, data, size);
  LoadCase(s.emptyDir, s.emptyWindow, data, size);
  const std::string fixed = WithChecksFixed(data, size);
  if (fixed.size() == size && (size == 0 || std::memcmp(fixed.data(), data, size) == 0)) return 0;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(fixed.data());
  LoadCase(s.pairDir, s.pairWindow, bytes, fixed.size());
  LoadCase(s.emptyDir, s.emptyWindow, bytes, fixed.size());
  return 0;
}
