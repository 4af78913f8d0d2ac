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
#include <string>
#include <unordered_map>
#include <vector>

#include "app/queue.h"
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
  void FormCreate();
  // Releases the store and the queue. Called by the host when the window closes.
  void FormDestroy();
  // "stop": stops the crawl and waits until it is at rest.
  void Button1Click();
  // "start": starts or continues the crawl. Throws EConvertError when Edit1 does not hold a
  // 32-bit integer; nothing changes then.
  void Button2Click();
  // Lets through digits and backspace; any other character becomes the null character.
  void Edit1KeyPress(char16_t& key);
  // Destroys the record of a node that is being deleted.
  void categoriesDeletion(platform::TreeNode* node);
  // "save state" and "load state".
  void Button3Click();
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
  bool Halted() const { return halted; }
  // True while a navigation of the crawl waits for its accepted page.
  bool AwaitingPage() const { return awaitingPage_; }

 private:
  void RestartReloader();
  void NavigateCrawl(const std::u16string& address);
  void ShowProgressLine();
  void SymbolicPass();
  void IndexNode(platform::TreeNode* node);
  void UnindexNode(platform::TreeNode* node);

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
  // Nodes whose data is a real category, by exact Url. Kept by the tree's add and delete hooks.
  std::unordered_map<std::u16string, std::vector<platform::TreeNode*>> nodesByUrl_;
};

// The window's control table: every control with its geometry, anchors, captions, fonts and the
// handlers of form, in creation order.
platform::TFormSpec Form1Layout(TForm1& form);
