#pragma once
// TForm1: the program's one window and the crawl it runs.
//
// The crawl is a chain of events on the window's thread: "start" navigates the browser, each
// accepted page is parsed, and the parser ends in Progress, which navigates to the next queued
// category or finishes. Handlers never catch: an error leaves the handler and reaches the
// toolkit's error reporting with the crawl standing where it was.
//
// Ownership: the window owns the queue and the store. Category records belong to the tree view's
// nodes and are destroyed when their node is deleted (categoriesDeletion). The controls belong to
// the host that built the window and outlive the form.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/journal.h"
#include "app/queue.h"
#include "app/state_files.h"
#include "model/helper.h"
#include "platform/toolkit.h"

class TForm1 {
 public:
  // Builds the window from its control table on host, then runs FormCreate.
  explicit TForm1(platform::IFormHost& host);
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;
  ~TForm1();

  // ---- handlers -------------------------------------------------------------------------------
  // Completes the caption with the program's version (0.0.0.0, with the error logged, when it cannot
  // be read), then sets up the queue, the counters, the store and the stopped flag.
  void FormCreate();
  // The operator closes the window: asks "Do you want to save the state?" with Yes, No and Cancel.
  // Cancel (also Escape) sets canClose to false and the window stays open; Yes or No is kept for
  // FormDestroy.
  void FormCloseQuery(bool& canClose);
  // Saves on Yes to the closing question (the one FormCloseQuery got, else asked here with Yes and
  // No), then releases the store and the queue. Called by the host when the window closes.
  void FormDestroy();
  // "stop": stops the crawl and waits until it is at rest.
  void Button1Click();
  // "start": starts or continues the crawl. Throws EConvertError when Edit1 does not hold a
  // 32-bit integer; nothing changes then. While the crawl runs, has finished or is being saved, says
  // so in Memo1; when the state could not be saved in the working directory, says so in a message;
  // in both cases nothing else happens.
  void Button2Click();
  // Lets through digits and backspace; any other character becomes the null character.
  void Edit1KeyPress(char16_t& key);
  // Destroys the record of a node that is being deleted.
  void categoriesDeletion(platform::TreeNode* node);
  // "save state": SaveState, in every state of the crawl, then a Memo1 line with the categories and
  // pending entries saved.
  void Button3Click();
  // "load state": LoadState while the crawl is stopped (and no save is running); otherwise a Memo1
  // line saying why nothing happens.
  void Button4Click();
  // Page arrival: validates the top-level document and hands it to the right parser, or requests
  // the same address again.
  void browserDocumentComplete(const platform::Variant& pDisp, platform::Variant& URL);
  // The watchdog: no accepted page for a whole interval, so the current page is requested again.
  void reloaderTimer();
  void browserNavigateComplete2(const platform::Variant& pDisp, platform::Variant& URL);
  void browserStatusTextChange(const std::u16string& text);

  // ---- crawl ----------------------------------------------------------------------------------
  // Takes the next pending category and navigates to it; with nothing pending, drops the symbolic
  // categories that point to no recorded category and shows the finished line.
  void Progress();
  // True when any entry ever pushed onto the queue (taken or pending) has this Url, ignoring case.
  bool QueueHasUrl(const std::u16string& url) const;
  // The first node in index order whose data is a real category with exactly this Url, or nullptr.
  platform::TreeNode* FindCategoryNode(const std::u16string& url) const;

  // Turns the loaded category page into records, nodes and queue entries, then calls Progress
  // (except after the duplicate message). Throws what a document call or a count conversion throws.
  void ParseCategoryPage();
  // Seeds a fresh crawl from the home page's category table, then calls Progress. Throws
  // EAutomationError naming the page when it has no second table or a cell without a link;
  // nothing is recorded then.
  void ParseRootPage();

  // ---- state files: "queue.lst" and "tree.xml" in the working directory ------------------------
  // Writes the pending categories to queue.lst, one ID a line in queue order, preceded by the category
  // whose page is loading and not yet parsed, so that a resume visits it; then the tree view to
  // tree.xml (SaveTree). Reads the entries without taking them: the queue is unchanged afterwards.
  // Both files are written beside the earlier ones and put in place only when both are complete, so
  // a failed save leaves the earlier pair whole. Label1 shows while it works. Messages are processed
  // after every 100th line and during the tree walk; meanwhile the crawl stands still: a page that
  // arrives is held and handed on when the save has succeeded (after a failure the reload timer asks
  // for it again), and "start", "load state" and a further save do nothing. Throws the file errors
  // and those of SaveTree.
  void SaveState();
  // Reads and checks tree.xml and queue.lst completely (every line an ID, every ID resolved against
  // the file's records) and only then replaces tree, store and queue with them. An ID that no real
  // category has is skipped with a line in Memo1. Afterwards lastID is at least the highest ID in
  // both files, and the counters are the store's. Without tree.xml, tree, store and queue are emptied
  // and the counters kept. The page the previous crawl waited for no longer counts. Throws the first
  // error found (EFOpenError, EConvertError, the tree file's errors); then nothing has changed.
  void LoadState();
  // Appends the entries of queue.lst, resolved against the store, to the queue and raises lastID to
  // the highest ID in the file. Checks every line and ID first; throws as LoadState, pushing nothing.
  void LoadQueue();

  // ---- the crawl journal: "crawl.journal" beside the state files --------------------------------
  // Every parsed page is appended to the journal before the next page is requested. "save state"
  // starts an empty journal that names the pair it wrote; "load state" replays the journal that
  // extends the loaded pair (or, when it names none, replays it from an empty crawl).

  // Replays page onto the tree, store, queue and counters as its parse changed them.
  void ApplyJournalPage(const TJournalPage& page);

  // ---- read access for the window's tests and the windowless runner ---------------------------
  TMyQueue& Queue() { return *queue; }
  TWexa& Directory() { return *directory; }
  platform::TreeView& Categories() { return *categories; }
  const platform::TFormControls& Controls() const { return controls_; }
  std::int32_t LastID() const { return lastID; }
  std::int32_t CategoryCount() const { return categoryCount; }
  std::int32_t SymbolicCount() const { return symbolicCount; }
  std::int32_t MinContent() const { return minContent; }
  bool Stopped() const { return stopped; }
  // The entries a save now writes to queue.lst: the pending ones and the page in flight.
  std::int32_t PendingToSave() const;
  bool Halted() const { return halted; }
  // True while a navigation of the crawl waits for its accepted page.
  bool AwaitingPage() const { return awaitingPage_; }

 private:
  void RestartReloader();
  // Appends page to the journal, starting a journal first when none is open. On a write error the
  // crawl stops with a line in Memo1 and the status bar, and the error is thrown; the page stays
  // due and is written before the next one.
  void AppendJournal(const TJournalPage& page);
  // Starts a journal naming journalBase_. A journal on disk that holds entries is kept as
  // "crawl.journal.previous" first, with a line in Memo1.
  void StartJournal();
  // Keeps crawl.journal as crawl.journal.previous when it holds entries; says so in Memo1.
  void KeepJournalAside();
  // Puts the pair on disk aside as tree.xml.previous and queue.lst.previous when this crawl does
  // not continue it, with a line in Memo1.
  void KeepPairAside();
  void NavigateCrawl(const std::u16string& address);
  // Tells the browser which categories Progress takes next, as many as it can load ahead.
  void HintLoadsAhead();
  void ShowProgressLine();
  void SymbolicPass();
  void IndexNode(platform::TreeNode* node);
  void UnindexNode(platform::TreeNode* node);
  // The pending queue entries resolved against records (byID), for LoadQueue and LoadState. IDs without
  // a record go to unknown; highest becomes the largest ID seen.
  struct TQueueFile {
    std::vector<TCategory*> entries;
    std::vector<std::int32_t> unknown;
    std::int32_t highest = 0;
  };
  TQueueFile ReadQueue(const std::unordered_map<std::int32_t, TCategory*>& byID) const;
  void ApplyQueue(const TQueueFile& file);

  platform::IFormHost& host_;
  platform::TFormControls controls_;
  platform::TreeView* categories = nullptr;
  platform::IStatusBar* StatusBar1 = nullptr;
  platform::IMemo* Memo1 = nullptr;
  platform::IEdit* Edit1 = nullptr;
  platform::ILabel* Label1 = nullptr;
  platform::ITimer* reloader = nullptr;
  platform::IBrowser* browser = nullptr;

  std::unique_ptr<TMyQueue> queue;
  std::int32_t lastID = 0;
  std::int32_t categoryCount = 0;
  std::int32_t symbolicCount = 0;
  std::unique_ptr<TWexa> directory;
  bool stopped = true;
  bool halted = false;
  std::int32_t minContent = 0;

  bool awaitingPage_ = false;
  // "stop" cancelled the awaited page's load; nothing arrives until it is requested again.
  bool loadCancelled_ = false;
  // The form file's caption, before the version is added.
  std::string formCaption_;
  // A save is running; the crawl stands still until it ends.
  bool saving_ = false;
  // Address of a page that arrived during a save, to be handed on afterwards.
  std::optional<std::u16string> heldPage_;
  // FormDestroy has begun: nothing is handed on any more.
  bool closing_ = false;
  // Yes or No to the closing question asked by FormCloseQuery.
  std::optional<platform::TModalResult> closeAnswer_;
  // Nodes whose data is a real category, by the hash of the exact Url; the records' own Urls settle
  // collisions. Kept by the tree's add and delete hooks. Hashes rather than copies of the Urls keep
  // the index small in a crawl of a million categories.
  std::unordered_multimap<std::size_t, platform::TreeNode*> nodesByUrl_;

  std::unique_ptr<TJournalWriter> journal_;
  // What a journal started now names: the pair this crawl continues, or none for a crawl that
  // began from an empty tree.
  TJournalHeader journalBase_;
  // The files of the pair on disk that this crawl continues (it loaded or saved them); nullopt when
  // it continues none.
  std::optional<std::pair<std::optional<TFileStamp>, std::optional<TFileStamp>>> continuedPair_;
  // The end-of-crawl pass runs; "start" and "load state" wait for the finished line.
  bool finishing_ = false;
  // This run has appended to the open journal since it was started or adopted.
  bool journalAppended_ = false;
};

// The window's control table: every control with its geometry, anchors, captions, fonts and the
// handlers of form, in creation order.
platform::TFormSpec Form1Layout(TForm1& form);
