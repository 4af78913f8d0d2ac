#include "app/Unit1.h"

#include <fcntl.h>
#include <unistd.h>

#include <fmt/printf.h>

#include <algorithm>
#include <deque>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <tuple>
#include <filesystem>
#include <vector>

#include "app/config.h"
#include "app/crawl_folder.h"
#include "app/page_reading.h"
#include "app/state_files.h"
#include "common/logging.h"
#include "platform/text.h"
#include "version/VersionInfo.h"

using platform::FromUtf8;
using platform::ToUtf8;
using platform::TreeNode;
using platform::Variant;

namespace {

constexpr const char* kProgressLine = "Categories: %d | Symbolic categories: %d | Queue: %d";
constexpr const char* kPassLine =
    "Computing symbolic categories: item %d of %d | Categories: %d | Symbolic categories: %d | Queue: %d";
constexpr const char* kFinishedLine = "*** FINISHED *** Categories: %d | Symbolic categories: %d | Queue: %d";
constexpr const char* kSaveQuestion = "Do you want to save the state?";
constexpr const char* kUnknownQueueEntry = "Queue entry %d names no category; skipped";
constexpr const char* kSkippedByRobots = "Skipped by robots.txt: %s";
constexpr const char* kSavedLine = "State saved: %d categories, %d pending entries (tree.xml, queue.lst)";
constexpr const char* kFolderNotWritable =
    "The crawl's state cannot be saved in %s (%s), so the crawl does not start. Start the program in a folder "
    "you can write to.";
constexpr const char* kStartWhileRunning = "start: the crawl is already running";
constexpr const char* kStartWhileFinished = "start: the crawl has finished; load state or close to begin another";
constexpr const char* kWaitForTheSave = "%s: the state is being saved; try again when it is done";
constexpr const char* kLoadWhileRunning = "load state: not while the crawl runs; press stop first";
constexpr const char* kQueueFile = "queue.lst";
constexpr const char* kTreeFile = "tree.xml";
constexpr const char* kJournalFile = "crawl.journal";
constexpr const char* kPreviousSuffix = ".previous";
constexpr const char* kJournalKeptLine =
    "The crawl journal %s held work that no saved state has; it was kept as %s. To go back to it, rename it "
    "to %s and press \"load state\".";
constexpr const char* kPairKeptLine =
    "The saved state in %s and %s belongs to another crawl; it was kept as %s and %s.";
constexpr const char* kJournalWriteFailed =
    "The crawl stopped: the crawl journal cannot be written (%s). Make room, then press \"start\" or \"save state\".";
constexpr const char* kTornJournalLine =
    "The last entry of the crawl journal %s was incomplete (offset %d) and was dropped; its page is loaded again.";
constexpr const char* kForeignJournalLine =
    "The crawl journal %s belongs to another saved state; it was ignored and left as it is.";
constexpr const char* kHeaderlessJournalLine = "The crawl journal %s holds no entries (it was never completed); ignored.";
constexpr const char* kFinishingLine = "The crawl is finishing (computing symbolic categories); wait for the finished line.";
constexpr const char* kLowMinimumQuestion =
    "For the minimum content level you choosed, it might take long to process and a lot of memory will be "
    "involved resulting in a possible out of memory. This will be fixed in future versions. Continue?";

constexpr int kFirstRetryWaitMs = 1000;
constexpr int kMaxRetryWaitMs = 5 * 60 * 1000;
constexpr int kMaxRetryAfterSeconds = 60 * 60;
constexpr auto kRobotsLifetime = std::chrono::hours(24);

// "N s", or "at once" for no wait.
std::string WaitText(int milliseconds) {
  if (milliseconds <= 0) return "at once";
  return fmt::sprintf("in %d s", (milliseconds + 999) / 1000);
}

// Why an answer counts as none, for the log.
std::string FetchCause(const platform::TFetchResult& result) {
  if (result.status != 0) return fmt::sprintf("HTTP status %d", result.status);
  return result.error.empty() ? std::string("no answer") : result.error;
}

bool Contains(const std::u16string& text, const char16_t* part) { return text.find(part) != std::u16string::npos; }
bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// True when a comes before b in the tree's index order. Both are nodes of the same tree.
bool ComesBefore(const TreeNode* a, const TreeNode* b) {
  auto path = [](const TreeNode* n) {
    std::vector<std::size_t> p;
    for (; n; n = n->Parent()) p.push_back(n->IndexInParent());
    return std::vector<std::size_t>(p.rbegin(), p.rend());
  };
  // A prefix (an ancestor) comes first, which is what lexicographic order gives.
  return path(a) < path(b);
}

// The node that follows node's whole subtree in index order, or nullptr.
TreeNode* NextAfterSubtree(const TreeNode* node) {
  for (const TreeNode* n = node; n; n = n->Parent()) {
    if (TreeNode* sibling = n->GetNextSibling()) return sibling;
  }
  return nullptr;
}

// Shows a label for as long as it lives, and hides it also when an error leaves.
class TShownWhileAlive {
 public:
  explicit TShownWhileAlive(platform::ILabel& label) : label_(label) { label_.Show(); }
  TShownWhileAlive(const TShownWhileAlive&) = delete;
  TShownWhileAlive& operator=(const TShownWhileAlive&) = delete;
  ~TShownWhileAlive() { label_.Hide(); }

 private:
  platform::ILabel& label_;
};

// Sets a flag for as long as it lives.
class TFlagWhileAlive {
 public:
  explicit TFlagWhileAlive(bool& flag) : flag_(flag) { flag_ = true; }
  TFlagWhileAlive(const TFlagWhileAlive&) = delete;
  TFlagWhileAlive& operator=(const TFlagWhileAlive&) = delete;
  ~TFlagWhileAlive() { flag_ = false; }

 private:
  bool& flag_;
};

}  // namespace

int RetryWaitMs(int retryInARow, int retryAfterSeconds) {
  int wait = 0;
  if (retryInARow >= 2) {
    wait = kFirstRetryWaitMs;
    for (int i = 2; i < retryInARow && wait < kMaxRetryWaitMs; ++i) wait *= 2;
    wait = std::min(wait, kMaxRetryWaitMs);
  }
  if (retryAfterSeconds > 0) wait = std::max(wait, std::min(retryAfterSeconds, kMaxRetryAfterSeconds) * 1000);
  return wait;
}

TForm1::TForm1(platform::IFormHost& host) : host_(host) {
  const platform::TFormSpec layout = Form1Layout(*this);
  formCaption_ = layout.caption;
  controls_ = host_.Build(layout);
  categories = controls_.categories;
  StatusBar1 = controls_.StatusBar1;
  Memo1 = controls_.Memo1;
  Edit1 = controls_.Edit1;
  Label1 = controls_.Label1;
  reloader = controls_.reloader;
  browser = controls_.browser;
  waiter = controls_.waiter;
  fetcher_ = controls_.fetcher;
  // The Url index follows every node that comes and goes, whoever adds it (parsers, tree loading).
  categories->SetOnAdded([this](TreeNode* node) { IndexNode(node); });
  categories->SetOnDeletion([this](TreeNode* node) {
    UnindexNode(node);
    categoriesDeletion(node);
  });
  FormCreate();
}

TForm1::~TForm1() {
  // The nodes own the records; free them while the form's handlers can still run.
  if (categories) {
    categories->Clear();
    categories->SetOnAdded(nullptr);
    categories->SetOnDeletion(nullptr);
  }
}

void TForm1::FormCreate() {
  // A version that cannot be read must not keep the window from starting.
  const std::string version = ProgramVersionText([](const Exception& error) {
    TLogger::GetLogger("Wexa.log", config::kLogSizeLimit)
        ->Log("The program's version could not be read; the caption shows 0.0.0.0.", llError, &error);
  });
  host_.SetCaption(formCaption_ + version);
  queue = std::make_unique<TMyQueue>();
  lastID = 0;
  categoryCount = 0;
  symbolicCount = 0;
  directory = std::make_unique<TWexa>();
  stopped = true;
  journal_ = std::make_unique<TJournalWriter>();
}

void TForm1::FormCloseQuery(bool& canClose) {
  closeAnswer_ = host_.Dialogs().Confirm(kSaveQuestion, true);
  if (*closeAnswer_ != platform::TModalResult::mrCancel) return;
  closeAnswer_.reset();
  canClose = false;
}

void TForm1::FormDestroy() {
  closing_ = true;
  // The answer given when the window was closed; a host without that question asks here.
  const platform::TModalResult answer = closeAnswer_ ? *closeAnswer_ : host_.Dialogs().Confirm(kSaveQuestion, false);
  if (queue && answer == platform::TModalResult::mrYes) {
    SaveState();
  } else if (journal_ && journalAppended_) {
    // The next "load state" gives what was saved last, as asked; the work since stays recoverable.
    journal_->Close();
    KeepJournalAside();
  }
  if (journal_) journal_->Close();
  directory.reset();
  queue.reset();
}

void TForm1::Button2Click() {
  // During a save the tree must not change under it; the symbolic pass would delete nodes.
  if (saving_) return Memo1->AddLine(fmt::sprintf(kWaitForTheSave, "start"));
  if (finishing_) return Memo1->AddLine(kFinishingLine);
  if (!stopped) {
    const bool running = awaitingPage_ || queue->Pending() > 0 || robotsFetching_ || waiting_ != TWait::wtNone;
    return Memo1->AddLine(running ? kStartWhileRunning : kStartWhileFinished);
  }
  if (const std::optional<std::string> problem = FolderWriteProblem(".")) {
    std::error_code error;
    return host_.Dialogs().ShowMessage(
        fmt::sprintf(kFolderNotWritable, std::filesystem::current_path(error).string(), *problem));
  }
  minContent = StrToInt(Edit1->Text());
  if (minContent < config::kConfirmationThreshold &&
      host_.Dialogs().Confirm(kLowMinimumQuestion, true) != platform::TModalResult::mrYes) {
    return;
  }
  stopped = false;
  ResumeCrawl();
}

void TForm1::ResumeCrawl() {
  if (stopped || !RobotsReady()) return;
  if (categories->Count() > 0 && awaitingPage_ && queue->ReadPos() > 0) {
    // A "stop" cancelled the page of the category taken last and no reload has brought it since:
    // it is asked for again before anything else, or it and its subtree would be lost.
    const std::u16string address = queue->Items(queue->ReadPos() - 1)->Url;
    if (RobotsAllow(address)) {
      NavigateCrawl(address);
      return;
    }
    Memo1->AddLine(fmt::sprintf(kSkippedByRobots, ToUtf8(address)));
    awaitingPage_ = false;
    loadCancelled_ = false;
    Progress();
  } else if (categories->Count() > 0) {
    Progress();
  } else {
    // A crawl from an empty tree is new work: its journal extends no saved pair.
    journal_->Close();
    journalBase_ = TJournalHeader{};
    if (RobotsAllow(config::RootUrl())) {
      NavigateCrawl(config::RootUrl());
      return;
    }
    Memo1->AddLine(fmt::sprintf(kSkippedByRobots, ToUtf8(config::RootUrl())));
    Progress();
  }
}

bool TForm1::RobotsReady() {
  if (!obeyRobots_ || !fetcher_) return true;
  if (robotsOk_ && std::chrono::steady_clock::now() - robotsFetchedAt_ < kRobotsLifetime) return true;
  if (!robotsFetching_ && waiting_ != TWait::wtRobots) FetchRobots();
  // An answer that came at once may have put the rules in force already.
  return robotsOk_ && !robotsFetching_;
}

void TForm1::FetchRobots() {
  robotsOrigin_ = robots::OriginOfAddress(ToUtf8(config::RootUrl()));
  robotsFetching_ = true;
  const std::weak_ptr<int> alive = alive_;
  TFlagWhileAlive inside(insideRobotsFetch_);
  // One byte past the limit tells the parser that the file went on.
  fetcher_->Fetch(FromUtf8(robotsOrigin_ + "/robots.txt"), robots::kMaxParsedBytes + 1,
                  [this, alive](const platform::TFetchResult& result) {
                    if (!alive.expired()) OnRobotsAnswer(result);
                  });
}

void TForm1::OnRobotsAnswer(const platform::TFetchResult& result) {
  robotsFetching_ = false;
  const robots::TRobotsAnswer answer = robots::AnswerOfStatus(result.status);
  if (answer == robots::TRobotsAnswer::raUnreachable) {
    // Until a later answer, nothing of the site may be requested; the crawl waits for it.
    robots_ = robots::TRobotsRules::DisallowAll();
    robotsOk_ = false;
    ++robotsFailures_;
    if (stopped) return;
    const int wait = RetryWaitMs(robotsFailures_, platform::RetryAfterSeconds(platform::HeaderValue(result, "Retry-After")));
    Memo1->AddLine(fmt::sprintf("robots.txt of %s could not be read (%s); the crawl waits and asks again %s",
                                robotsOrigin_, FetchCause(result), WaitText(wait)));
    StartWait(TWait::wtRobots, u"", wait);
    return;
  }
  robots_ = answer == robots::TRobotsAnswer::raRules ? robots::TRobotsRules::Parse(result.body, config::kProductToken)
                                                     : robots::TRobotsRules::AllowAll();
  if (robotsFailures_ > 0) Memo1->AddLine(fmt::sprintf("robots.txt of %s read; the crawl goes on", robotsOrigin_));
  robotsOk_ = true;
  robotsFailures_ = 0;
  robotsFetchedAt_ = std::chrono::steady_clock::now();
  int delayMs = 0;
  if (const std::optional<double> delay = robots_->CrawlDelay()) {
    delayMs = static_cast<int>(std::min(*delay * 1000.0, static_cast<double>(config::kMaxCrawlDelayMs)));
    Memo1->AddLine(fmt::sprintf("robots.txt asks for a Crawl-delay of %g s; page loads start at least %d ms apart",
                                *delay, delayMs));
  }
  browser->SetLeastLoadInterval(delayMs);
  // An answer that came at once is used by the caller, which is on its way.
  if (!insideRobotsFetch_) ResumeCrawl();
}

bool TForm1::RobotsAllow(const std::u16string& address) const {
  if (!obeyRobots_ || !robots_) return true;
  const std::string text = ToUtf8(address);
  // Rules speak only for their own host.
  if (robots::OriginOfAddress(text) != robotsOrigin_) return true;
  return robots_->Allowed(robots::PathOfAddress(text));
}

void TForm1::StartWait(TWait what, const std::u16string& address, int milliseconds) {
  waiting_ = what;
  waitAddress_ = address;
  waiter->SetEnabled(false);
  waiter->SetInterval(milliseconds);
  waiter->SetEnabled(true);
}

void TForm1::waiterTimer() {
  waiter->SetEnabled(false);
  const TWait what = waiting_;
  waiting_ = TWait::wtNone;
  if (stopped) return;
  if (what == TWait::wtPage) {
    NavigateCrawl(waitAddress_);
  } else if (what == TWait::wtRobots) {
    ResumeCrawl();
  }
}

void TForm1::Button1Click() {
  stopped = true;
  // A wait ends at once; the page waited for stays awaited, and "start" asks for it first.
  if (waiting_ != TWait::wtNone) {
    waiter->SetEnabled(false);
    if (waiting_ == TWait::wtPage) loadCancelled_ = true;
    waiting_ = TWait::wtNone;
  }
  // Pages loaded ahead would be next no longer once the crawl stands still.
  if (browser->LoadsAhead() > 0) browser->HintUpcoming({});
  if (browser->ReadyState() == platform::kReadyStateComplete) {
    halted = queue->Pending() == 0;
  } else {
    browser->Stop();
    halted = true;
    // The page stays awaited (the reload timer or "start" asks for it again) but is not coming.
    if (awaitingPage_) loadCancelled_ = true;
  }
  // At rest (no page of the crawl outstanding, e.g. after a parser error or the duplicate
  // message) no Progress step will come to set halted, so there is nothing to wait for. The same
  // holds when the awaited page stops being outstanding during the wait without a Progress step:
  // its parse ended in the duplicate message or an error, or "load state" dropped it.
  // A page held by a running save is parsed only when the save is over, after this handler has
  // returned; its Progress step will find stopped set.
  auto atRest = [this] { return !awaitingPage_ || loadCancelled_ || heldPage_.has_value(); };
  if (atRest()) halted = true;
  while (!halted) {
    host_.Application().ProcessMessages();
    if (atRest()) halted = true;
    if (!halted) host_.Application().Sleep(100);
  }
}

void TForm1::Button3Click() {
  // Counted before the save, which writes what is pending when it begins.
  const auto categories = static_cast<std::int32_t>(directory->Categories().size());
  const std::int32_t pending = PendingToSave();
  SaveState();
  Memo1->AddLine(fmt::sprintf(kSavedLine, categories, pending));
}

void TForm1::Button4Click() {
  if (saving_) return Memo1->AddLine(fmt::sprintf(kWaitForTheSave, "load state"));
  if (finishing_) return Memo1->AddLine(kFinishingLine);
  if (!stopped) return Memo1->AddLine(kLoadWhileRunning);
  LoadState();
}

std::int32_t TForm1::PendingToSave() const {
  return queue->Pending() + (awaitingPage_ && queue->ReadPos() > 0 ? 1 : 0);
}

void TForm1::Edit1KeyPress(char16_t& key) {
  if (key != 8 && !(key >= u'0' && key <= u'9')) key = 0;
}

void TForm1::categoriesDeletion(TreeNode* node) {
  if (node->Data()) {
    delete node->Data();
    node->SetData(nullptr);
  }
}

void TForm1::browserNavigateComplete2(const Variant&, Variant&) {}

void TForm1::browserStatusTextChange(const std::u16string&) {}

void TForm1::RestartReloader() {
  reloader->SetEnabled(false);
  reloader->SetEnabled(true);
}

void TForm1::NavigateCrawl(const std::u16string& address) {
  browser->Navigate(address);
  awaitingPage_ = true;
  loadCancelled_ = false;
  RestartReloader();
  HintLoadsAhead();
}

void TForm1::HintLoadsAhead() {
  const int room = browser->LoadsAhead();
  // A stopped crawl requests nothing, ahead neither.
  if (room <= 0 || stopped) return;
  // The entries that Progress takes next, in its order (those robots.txt disallows it skips); the
  // queue itself does not change.
  std::vector<std::u16string> next;
  for (int i = queue->ReadPos(); i < queue->Count() && static_cast<int>(next.size()) < room; ++i)
    if (RobotsAllow(queue->Items(i)->Url)) next.push_back(queue->Items(i)->Url);
  browser->HintUpcoming(next);
}

void TForm1::browserDocumentComplete(const Variant&, Variant& URL) {
  // A page nobody waits for (one requested by a crawl that "load state" has replaced) must not
  // reach the parsers.
  if (!awaitingPage_) return;
  // A save is reading the tree and the queue; the page is handed on when it is over.
  if (saving_) {
    heldPage_ = URL.AsText();
    return;
  }
  // A frame completes with its own address; only the top-level document counts.
  if (ToUtf8(browser->LocationURL()) != ToUtf8(URL.AsText())) return;

  bool accepted = Contains(browser->LocationName(), config::kTitleMarker1) ||
                  Contains(browser->LocationName(), config::kTitleMarker2);
  const char* refusal = "a page without the directory's title";
  if (accepted) {
    const Variant document = browser->Document();
    accepted = IsElementAssigned(document) && browser->IsHtmlDocument(document);
    refusal = "a page that is no HTML document";
  }
  if (accepted) {
    const std::string body = browser->Application().Get(u"Document").Get(u"body").Get(u"innerhtml").AsString();
    accepted = Contains(body, config::SearchHost());
    refusal = "a page without the directory's search form";
  }

  if (accepted) {
    reloader->SetEnabled(false);
    awaitingPage_ = false;
    retriesInARow_ = 0;
    if (categories->Count() == 0) {
      ParseRootPage();
    } else {
      ParseCategoryPage();
    }
    return;
  }

  Memo1->AddLine("Retrying server (" + ToUtf8(browser->LocationURL()) + ")...");
  const platform::TLoadReport report = browser->LastLoadReport();
  browser->Stop();
  const std::u16string address = browser->LocationURL();
  if (stopped) {
    // A stopped crawl requests nothing: the page stays awaited, and "start" asks for it first.
    Memo1->AddLine("Not requesting it again: the crawl is stopped");
    loadCancelled_ = true;
    return;
  }
  if (address != retryAddress_) {
    retryAddress_ = address;
    retriesInARow_ = 0;
  }
  ++retriesInARow_;
  const int wait = RetryWaitMs(retriesInARow_, report.retryAfterSeconds);
  std::string cause = refusal;
  if (report.httpStatus != 0 && (report.httpStatus < 200 || report.httpStatus > 299)) {
    cause = fmt::sprintf("HTTP status %d", report.httpStatus);
  } else if (!report.failure.empty()) {
    cause = report.failure;
  }
  if (report.retryAfterSeconds >= 0) cause += fmt::sprintf(", Retry-After %d s", report.retryAfterSeconds);
  Memo1->AddLine(fmt::sprintf("Requesting it again %s: %s", WaitText(wait), cause));
  if (wait == 0) {
    NavigateCrawl(address);
    return;
  }
  // The watchdog counts from the request, which the wait puts off.
  reloader->SetEnabled(false);
  StartWait(TWait::wtPage, address, wait);
}

void TForm1::reloaderTimer() {
  std::u16string address = browser->LocationURL();
  // The category taken last is what the crawl waits for, whenever one has been taken: the
  // location may still show the page before it.
  if (queue->ReadPos() > 0) {
    const TCategory* last = queue->Items(queue->ReadPos() - 1);
    if (!platform::SameTextIgnoreCase(last->Url, address)) address = last->Url;
  }
  Memo1->AddLine("TIMER: Reloading page " + ToUtf8(address) + "...");
  browser->Stop();
  browser->Navigate(address);
  awaitingPage_ = true;
  loadCancelled_ = false;
}

void TForm1::ShowProgressLine() {
  StatusBar1->SetSimpleText(fmt::sprintf(kProgressLine, categoryCount, symbolicCount, queue->Pending()));
}

void TForm1::ParseCategoryPage() {
  const Variant document = browser->Document();
  const std::u16string rootUrl = config::RootUrl();

  std::int32_t boundary = 2147483647;
  const Variant paragraphs = document.Get(u"all").Call(u"tags", {Variant(u"P")});
  const int paragraphCount = paragraphs.Get(u"length").AsInteger();
  for (int i = 0; i < paragraphCount; ++i) {
    const Variant p = paragraphs.Call(u"item", {Variant(i)});
    if (Contains(p.Get(u"innertext").AsString(), "See also:")) {
      boundary = p.Get(u"offsetTop").AsInteger();
      break;
    }
  }

  const Variant items = document.Get(u"all").Call(u"tags", {Variant(u"LI")});
  TJournalPage page;
  page.takenID = queue->ReadPos() > 0 ? queue->Items(queue->ReadPos() - 1)->ID : 0;
  page.minContent = minContent;
  page.location = browser->LocationURL();
  TreeNode* parent = FindCategoryNode(page.location);
  // What the page changed is journaled also when an error ends the parse half-way, so that the
  // journal always matches the tree. The error that ended it is the one reported.
  try {
    const int itemCount = items.Get(u"length").AsInteger();
    for (int i = 0; i < itemCount; ++i) {
      const Variant item = items.Call(u"item", {Variant(i)});
      const std::int32_t top = item.Get(u"offsetTop").AsInteger();
      if (boundary < top) break;
      const Variant link = item.Get(u"all").Call(u"tags", {Variant(u"A")}).Call(u"item", {Variant(0)});
      if (!IsElementAssigned(link)) break;
      const std::u16string linkText = link.Get(u"innertext").AsText();
      if (Contains(linkText, u":")) break;
      if (Contains(item.Get(u"innertext").AsString(), " - ")) break;

      std::int32_t count = -1;
      const Variant countElement = item.Get(u"all").Call(u"tags", {Variant(u"I")}).Call(u"item", {Variant(0)});
      if (IsElementAssigned(countElement)) {
        const std::u16string countText = countElement.Get(u"innertext").AsText();
        // The count stands in brackets; the first and the last character are always dropped.
        const std::u16string inner = countText.size() >= 2 ? countText.substr(1, countText.size() - 2) : u"";
        count = ExtractNumber(ToUtf8(inner));
      }
      if (count < minContent) continue;

      const std::u16string address = GetHref(link, rootUrl);
      if (Contains(item.Get(u"innertext").AsString(), "@")) {
        ++symbolicCount;
        auto* record = new TSymbolicCategory(-1, linkText, address);
        directory->AddCategory(record);
        categories->AddChildObject(parent, ToUtf8(record->Name) + "@", record);
        page.items.push_back({TJournalItem::jkSymbolic, 0, 0, record->Name, record->Url});
      } else {
        ++lastID;
        ++categoryCount;
        auto* record = new TCategory(lastID, link.Get(u"innertext").AsText(), address, count);
        directory->AddCategory(record);
        categories->AddChildObject(parent, link.Get(u"innertext").AsString(), record);
        if (QueueHasUrl(address)) {
          page.items.push_back({TJournalItem::jkUnqueued, record->ID, record->Content, record->Name, record->Url});
          AppendJournal(page);
          host_.Dialogs().ShowMessage(fmt::sprintf("bingo %d %d", boundary, top));
          return;
        }
        queue->Push(record);
        page.items.push_back({TJournalItem::jkQueued, record->ID, record->Content, record->Name, record->Url});
      }
      ShowProgressLine();
    }
  } catch (const EInOutError&) {
    throw;
  } catch (...) {
    try {
      AppendJournal(page);
    } catch (const EInOutError&) {
      // The page stays due in the journal writer and goes out with the next one.
    }
    throw;
  }
  AppendJournal(page);
  Progress();
}

void TForm1::ParseRootPage() {
  const Variant document = browser->Document();
  const std::string page = ToUtf8(browser->LocationURL());
  const Variant tables = document.Get(u"all").Call(u"tags", {Variant(u"TABLE")});
  if (tables.Get(u"length").AsInteger() < 2)
    throw EAutomationError(fmt::sprintf("The home page %s has no category table (a second table)", page));
  const Variant cells = tables.Call(u"item", {Variant(1)}).Get(u"all").Call(u"tags", {Variant(u"TD")});

  // Every cell is checked before anything is recorded, so a malformed home page leaves no trace.
  const int cellCount = cells.Get(u"length").AsInteger();
  std::vector<Variant> links;
  links.reserve(static_cast<std::size_t>(cellCount));
  for (int i = 0; i < cellCount; ++i) {
    Variant link = cells.Call(u"item", {Variant(i)}).Get(u"all").Call(u"tags", {Variant(u"A")}).Call(u"item", {Variant(0)});
    if (!IsElementAssigned(link))
      throw EAutomationError(fmt::sprintf("The home page %s has a category cell without a link (cell %d)", page, i + 1));
    links.push_back(std::move(link));
  }

  TreeNode* parent = categories->GetFirstNode();
  TJournalPage entry;
  entry.root = true;
  entry.minContent = minContent;
  entry.location = browser->LocationURL();
  entry.items.reserve(links.size());
  for (const Variant& link : links) {
    ++lastID;
    ++categoryCount;
    auto* record = new TCategory(lastID, link.Get(u"innertext").AsText(), link.Get(u"href").AsText(), -1);
    directory->AddCategory(record);
    categories->AddChildObject(parent, link.Get(u"innertext").AsString(), record);
    queue->Push(record);
    entry.items.push_back({TJournalItem::jkQueued, record->ID, record->Content, record->Name, record->Url});
  }
  AppendJournal(entry);
  Progress();
}

void TForm1::Progress() {
  if (stopped) {
    halted = true;
    return;
  }
  // A day-old robots.txt is read again before the next page.
  if (!RobotsReady()) return;
  ShowProgressLine();
  while (queue->Pending() > 0) {
    const std::u16string& address = queue->Pop()->Url;
    if (RobotsAllow(address)) {
      NavigateCrawl(address);
      return;
    }
    Memo1->AddLine(fmt::sprintf(kSkippedByRobots, ToUtf8(address)));
  }
  {
    // "stop" may come during the pass; "load state" and "start" wait for the finished line, so the
    // pass never runs over a tree it did not start on.
    TFlagWhileAlive finishing(finishing_);
    SymbolicPass();
    StatusBar1->SetSimpleText(fmt::sprintf(kFinishedLine, categoryCount, symbolicCount, queue->Pending()));
  }
  SaveState();
}

void TForm1::SymbolicPass() {
  // Walks the tree in index order with a cursor instead of fetching the node at index i each step,
  // which keeps the pass linear. When a handler run inside ProcessMessages changes the tree, the
  // cursor is found again by index, as the step-by-step definition would find it.
  std::size_t i = 0;
  TreeNode* node = nullptr;
  std::uint64_t knownVersion = categories->Version() + 1;
  while (i < categories->Count()) {
    StatusBar1->SetSimpleText(fmt::sprintf(kPassLine, static_cast<int>(i), static_cast<int>(categories->Count()),
                                           categoryCount, symbolicCount, queue->Pending()));
    if (knownVersion != categories->Version()) node = categories->Item(i);
    auto* symbolic = dynamic_cast<TSymbolicCategory*>(node->Data());
    if (symbolic && !FindCategoryNode(symbolic->Url)) {
      TreeNode* next = NextAfterSubtree(node);
      directory->RemoveCategory(symbolic);
      categories->Delete(node);
      node = next;
    } else {
      node = node->GetNext();
      ++i;
    }
    knownVersion = categories->Version();
    host_.Application().ProcessMessages();
  }
}

bool TForm1::QueueHasUrl(const std::u16string& url) const { return queue->HasUrlIgnoringCase(url); }

TreeNode* TForm1::FindCategoryNode(const std::u16string& url) const {
  TreeNode* first = nullptr;
  const auto [begin, end] = nodesByUrl_.equal_range(std::hash<std::u16string>{}(url));
  for (auto it = begin; it != end; ++it) {
    TreeNode* candidate = it->second;
    if (static_cast<const TCategory*>(candidate->Data())->Url != url) continue;
    if (!first || ComesBefore(candidate, first)) first = candidate;
  }
  return first;
}

void TForm1::IndexNode(TreeNode* node) {
  if (const auto* category = dynamic_cast<const TCategory*>(node->Data()))
    nodesByUrl_.emplace(std::hash<std::u16string>{}(category->Url), node);
}

void TForm1::UnindexNode(TreeNode* node) {
  const auto* category = dynamic_cast<const TCategory*>(node->Data());
  if (!category) return;
  const auto [begin, end] = nodesByUrl_.equal_range(std::hash<std::u16string>{}(category->Url));
  for (auto it = begin; it != end; ++it) {
    if (it->second == node) {
      nodesByUrl_.erase(it);
      return;
    }
  }
}

void TForm1::SaveState() {
  // A handler run inside a save asks again: the running save writes this same state.
  if (saving_) return;
  {
    TShownWhileAlive wait(*Label1);
    TFlagWhileAlive frozen(saving_);

    // The IDs are copied before any message is processed, so the file holds exactly the entries
    // pending now, and the queue is only read.
    std::vector<std::int32_t> ids;
    ids.reserve(static_cast<std::size_t>(queue->Pending()) + 1);
    if (awaitingPage_ && queue->ReadPos() > 0) ids.push_back(queue->Items(queue->ReadPos() - 1)->ID);
    for (int i = queue->ReadPos(); i < queue->Count(); ++i) ids.push_back(queue->Items(i)->ID);

    try {
      std::string text;
      text.reserve(ids.size() * 9);
      for (std::size_t i = 0; i < ids.size(); ++i) {
        text += QueueFileLine(ids[i]);
        if ((i + 1) % 100 == 0) host_.Application().ProcessMessages();
      }
      // A save that was killed after its first rename is completed first; one killed earlier left
      // temporary files that would stay for good.
      if (const std::string done = RecoverInterruptedSave(kTreeFile, kQueueFile, kJournalFile); !done.empty())
        Memo1->AddLine(done);
      RemoveStaleReplacements(kQueueFile);
      RemoveStaleReplacements(kTreeFile);
      RemoveStaleReplacements(kJournalFile);
      // The new pair and its empty journal are complete and on the disk before anything replaces
      // the earlier files. The new journal names the new pair, so a load can tell which files belong
      // together; a save killed after its first rename is completed by the next load.
      TReplacement queueFile(kQueueFile);
      queueFile.Write(text);
      TReplacement treeFile(kTreeFile);
      SaveTree(*categories, treeFile.TempName(), host_.Application());
      SyncFile(queueFile.TempName());
      SyncFile(treeFile.TempName());
      TJournalHeader header{TPairId{}, minContent};
      std::tie(header.pair->treeSize, header.pair->treeCrc) = FileCheck(treeFile.TempName());
      header.pair->queueSize = text.size();
      header.pair->queueCrc = Crc32c(text);
      TReplacement journalFile(kJournalFile);
      journal_->Prepare(journalFile.TempName(), header);
      SyncFolderOf(kJournalFile);
      queueFile.Keep();
      treeFile.Keep();
      journalFile.Keep();
      KeepPairAside();
      treeFile.Commit();
      queueFile.Commit();
      journalFile.Commit();
      journal_->Adopt();
      journalAppended_ = false;
      journalBase_ = header;
      continuedPair_.emplace(StampOf(kTreeFile), StampOf(kQueueFile));
      SyncFolderOf(kJournalFile);
    } catch (...) {
      journal_->Discard();
      // A page held back is not handed on after a failure; it is not coming either, so "stop"
      // need not wait for it. The reload timer, still running for it, asks for it again.
      if (heldPage_) loadCancelled_ = true;
      heldPage_.reset();
      throw;
    }
  }
  if (heldPage_ && !closing_) {
    Variant url(*heldPage_);
    heldPage_.reset();
    // A reload requested meanwhile brings its own arrival.
    if (browser->ReadyState() == platform::kReadyStateComplete) browserDocumentComplete(Variant(), url);
  }
}

void TForm1::AppendJournal(const TJournalPage& page) {
  try {
    if (!journal_->IsOpen()) StartJournal();
    journal_->Append(page);
    journalAppended_ = true;
  } catch (const EInOutError& error) {
    stopped = true;
    halted = true;
    const std::string line = fmt::sprintf(kJournalWriteFailed, error.Message());
    Memo1->AddLine(line);
    StatusBar1->SetSimpleText(line);
    throw;
  }
}

void TForm1::StartJournal() {
  KeepJournalAside();
  TJournalHeader header = journalBase_;
  header.minContent = minContent;
  journal_->Start(kJournalFile, header);
  journalAppended_ = false;
}

void TForm1::KeepJournalAside() {
  if (!JournalHasEntries(kJournalFile)) return;
  const std::string previous = std::string(kJournalFile) + kPreviousSuffix;
  if (std::rename(kJournalFile, previous.c_str()) != 0)
    throw EFCreateError(fmt::sprintf("Cannot create file \"%s\". %s", previous, std::strerror(errno)));
  Memo1->AddLine(fmt::sprintf(kJournalKeptLine, kJournalFile, previous, kJournalFile));
}

void TForm1::KeepPairAside() {
  const std::optional<TFileStamp> tree = StampOf(kTreeFile);
  const std::optional<TFileStamp> queueStamp = StampOf(kQueueFile);
  if (!tree && !queueStamp) return;
  if (continuedPair_ && continuedPair_->first == tree && continuedPair_->second == queueStamp) return;
  const std::string treePrevious = std::string(kTreeFile) + kPreviousSuffix;
  const std::string queuePrevious = std::string(kQueueFile) + kPreviousSuffix;
  for (const auto& [file, previous, present] : {std::tuple{std::string(kTreeFile), treePrevious, tree.has_value()},
                                                std::tuple{std::string(kQueueFile), queuePrevious, queueStamp.has_value()}}) {
    if (!present) {
      std::remove(previous.c_str());
    } else if (std::rename(file.c_str(), previous.c_str()) != 0) {
      throw EFCreateError(fmt::sprintf("Cannot create file \"%s\". %s", previous, std::strerror(errno)));
    }
  }
  Memo1->AddLine(fmt::sprintf(kPairKeptLine, kTreeFile, kQueueFile, treePrevious, queuePrevious));
}

void TForm1::ApplyJournalPage(const TJournalPage& page) {
  if (page.takenID != 0 && queue->Pending() > 0 && queue->Items(queue->ReadPos())->ID == page.takenID) queue->Pop();
  TreeNode* parent = page.root ? nullptr : FindCategoryNode(page.location);
  for (const TJournalItem& item : page.items) {
    if (item.kind == TJournalItem::jkSymbolic) {
      ++symbolicCount;
      auto* record = new TSymbolicCategory(-1, item.name, item.url);
      directory->AddCategory(record);
      categories->AddChildObject(parent, ToUtf8(record->Name) + "@", record);
      continue;
    }
    lastID = std::max(lastID, item.id);
    ++categoryCount;
    auto* record = new TCategory(item.id, item.name, item.url, item.content);
    directory->AddCategory(record);
    categories->AddChildObject(parent, ToUtf8(record->Name), record);
    if (item.kind == TJournalItem::jkQueued) queue->Push(record);
  }
  minContent = page.minContent;
}

TForm1::TQueueFile TForm1::ReadQueue(const std::unordered_map<std::int32_t, TCategory*>& byID) const {
  TQueueFile file;
  file.highest = lastID;
  const std::vector<std::int32_t> ids = ReadQueueFile(kQueueFile);
  file.entries.reserve(ids.size());
  for (const std::int32_t id : ids) {
    file.highest = std::max(file.highest, id);
    const auto it = byID.find(id);
    if (it == byID.end()) {
      file.unknown.push_back(id);
    } else {
      file.entries.push_back(it->second);
    }
  }
  return file;
}

void TForm1::ApplyQueue(const TQueueFile& file) {
  queue->Reserve(file.entries.size());
  for (TCategory* entry : file.entries) queue->Push(entry);
  for (const std::int32_t id : file.unknown) Memo1->AddLine(fmt::sprintf(kUnknownQueueEntry, id));
  lastID = file.highest;
}

namespace {
// The first real category with each ID, as FindCategoryByID finds it, in one pass.
void IndexByID(std::unordered_map<std::int32_t, TCategory*>& byID, TBaseCategory& record) {
  if (auto* category = dynamic_cast<TCategory*>(&record)) byID.emplace(category->ID, category);
}
}  // namespace

void TForm1::LoadQueue() {
  std::unordered_map<std::int32_t, TCategory*> byID;
  for (TCategory* category : directory->Categories()) IndexByID(byID, *category);
  ApplyQueue(ReadQueue(byID));
}

void TForm1::LoadState() {
  TShownWhileAlive wait(*Label1);
  // A save killed after its first rename left the rest in temporary files; completing it gives the
  // pair that save wrote.
  const std::string recovered = RecoverInterruptedSave(kTreeFile, kQueueFile, kJournalFile);
  std::vector<std::string> notes;
  if (!recovered.empty()) notes.push_back(recovered);

  // The journal decides what to read: one that names no pair is a crawl begun from an empty tree,
  // newer than any pair beside it; one that names another pair is not applied.
  // A long journal is scanned twice from its mapping, once to check it and once to apply it, rather
  // than held decoded in memory.
  std::optional<TJournalMapping> journalBytes;
  std::optional<TJournalContents> journal;
  std::optional<TPairId> pairId;
  bool fromEmpty = false;
  std::error_code error;
  const bool treePresent = std::filesystem::exists(kTreeFile, error) || error;
  if (std::filesystem::exists(kJournalFile, error) || error) {
    journalBytes.emplace(kJournalFile);
    TJournalContents contents = ParseJournalHeader(journalBytes->Bytes(), kJournalFile);
    if (!contents.hasHeader) {
      notes.push_back(fmt::sprintf(kHeaderlessJournalLine, kJournalFile));
    } else if (!contents.header.pair) {
      fromEmpty = true;
      journal.emplace(std::move(contents));
    } else {
      if (treePresent && std::filesystem::exists(kQueueFile, error)) pairId = PairIdOfFiles(kTreeFile, kQueueFile);
      if (pairId == contents.header.pair) {
        journal.emplace(std::move(contents));
      } else {
        notes.push_back(fmt::sprintf(kForeignJournalLine, kJournalFile));
      }
    }
  }

  std::optional<TLoadedTree> loaded;
  TQueueFile queueFile;
  std::size_t realInTree = 0;
  // A tree file that cannot even be looked at counts as present: reading it then names the error.
  if (treePresent && !fromEmpty) {
    // Everything is read and checked before anything in memory changes.
    loaded.emplace(TLoadedTree::Read(kTreeFile));
    std::unordered_map<std::int32_t, TCategory*> byID;
    std::int32_t highestInTree = lastID;
    loaded->ForEachRecord([&](TBaseCategory& record) {
      IndexByID(byID, record);
      if (const auto* category = dynamic_cast<const TCategory*>(&record)) {
        highestInTree = std::max(highestInTree, category->ID);
        ++realInTree;
      }
    });
    queueFile = ReadQueue(byID);
    queueFile.highest = std::max(queueFile.highest, highestInTree);
    if (!journal && !pairId) pairId = PairIdOfFiles(kTreeFile, kQueueFile);
  }
  if (journal) {
    std::deque<std::int32_t> pending;
    for (const TCategory* entry : queueFile.entries) pending.push_back(entry->ID);
    TJournalCheck check(std::move(pending), !loaded || loaded->Root().Nodes.empty(), kJournalFile);
    journal.emplace(ScanJournal(journalBytes->Bytes(), kJournalFile,
                                [&](const TJournalPage& page, std::uint64_t offset) { check.Page(page, offset); }));
  }

  // The journal is continued after the load; one that cannot be written is refused now, while
  // nothing has changed.
  if (journal) {
    const int fd = ::open(kJournalFile, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
      EFOpenError failure(fmt::sprintf("Cannot open file \"%s\". %s", kJournalFile, std::strerror(errno)));
      failure.SetInput(kJournalFile);
      throw failure;
    }
    ::close(fd);
  }

  categories->Clear();
  directory->Clear();
  queue->Empty();
  // The page the previous crawl waited for belongs to a state that is gone: no reload for it.
  reloader->SetEnabled(false);
  waiter->SetEnabled(false);
  waiting_ = TWait::wtNone;
  retriesInARow_ = 0;
  if (awaitingPage_) browser->Stop();
  if (browser->LoadsAhead() > 0) browser->HintUpcoming({});
  awaitingPage_ = false;
  loadCancelled_ = false;
  heldPage_.reset();
  journal_->Close();
  journalAppended_ = false;
  loadedMinContent_.reset();
  continuedPair_.reset();
  journalBase_ = TJournalHeader{};

  if (loaded) {
    // Room for the Url index of every real category at once: growing it step by step would rehash
    // a million entries again and again.
    nodesByUrl_.reserve(nodesByUrl_.size() + realInTree);
    loaded->AddTo(*categories, directory.get());
    categoryCount = static_cast<std::int32_t>(directory->Categories().size());
    symbolicCount = static_cast<std::int32_t>(directory->SymbolicCategories().size());
    ApplyQueue(queueFile);
    continuedPair_.emplace(StampOf(kTreeFile), StampOf(kQueueFile));
    journalBase_.pair = pairId;
  } else if (fromEmpty) {
    categoryCount = 0;
    symbolicCount = 0;
    lastID = 0;
  }
  if (journal) {
    minContent = journal->header.minContent;
    ScanJournal(journalBytes->Bytes(), kJournalFile,
                [&](const TJournalPage& page, std::uint64_t) { ApplyJournalPage(page); });
    Edit1->SetText(std::to_string(minContent));
    loadedMinContent_ = minContent;
    if (journal->tornAt)
      notes.push_back(fmt::sprintf(kTornJournalLine, kJournalFile, static_cast<long long>(*journal->tornAt)));
    journal_->Continue(kJournalFile, journal->validEnd);
    journalBase_ = journal->header;
  }
  for (const std::string& note : notes) Memo1->AddLine(note);
}
