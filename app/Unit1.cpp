#include "app/Unit1.h"

#include <fmt/printf.h>

#include "app/config.h"
#include "app/page_reading.h"
#include "platform/text.h"

using platform::FromUtf8;
using platform::ToUtf8;
using platform::TreeNode;
using platform::Variant;

namespace {

constexpr const char* kProgressLine = "Categories: %d | Symbolic categories: %d | Queue: %d";
constexpr const char* kPassLine =
    "Computing symbolic categories: item %d of %d | Categories: %d | Symbolic categories: %d | Queue: %d";
constexpr const char* kFinishedLine = "*** FINISHED *** Categories: %d | Symbolic categories: %d | Queue: %d";
constexpr const char* kLowMinimumQuestion =
    "For the minimum content level you choosed, it might take long to process and a lot of memory will be "
    "involved resulting in a possible out of memory. This will be fixed in future versions. Continue?";

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

}  // namespace

TForm1::TForm1(platform::IFormHost& host) : host_(host) {
  controls_ = host_.Build(Form1Layout(*this));
  categories = controls_.categories;
  StatusBar1 = controls_.StatusBar1;
  Memo1 = controls_.Memo1;
  Edit1 = controls_.Edit1;
  Label1 = controls_.Label1;
  reloader = controls_.reloader;
  browser = controls_.browser;
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
  queue = std::make_unique<TMyQueue>();
  lastID = 0;
  categoryCount = 0;
  symbolicCount = 0;
  directory = std::make_unique<TWexa>();
  stopped = true;
}

void TForm1::FormDestroy() {
  directory.reset();
  queue.reset();
}

void TForm1::Button2Click() {
  if (!stopped) return;
  minContent = StrToInt(Edit1->Text());
  if (minContent < config::kConfirmationThreshold &&
      host_.Dialogs().Confirm(kLowMinimumQuestion, true) != platform::TModalResult::mrYes) {
    return;
  }
  stopped = false;
  if (categories->Count() > 0) {
    Progress();
  } else {
    NavigateCrawl(config::RootUrl());
  }
}

void TForm1::Button1Click() {
  stopped = true;
  if (browser->ReadyState() == platform::kReadyStateComplete) {
    halted = queue->Pending() == 0;
  } else {
    browser->Stop();
    halted = true;
  }
  // At rest (no page of the crawl outstanding, e.g. after a parser error or the duplicate
  // message) no Progress step will come to set halted, so there is nothing to wait for.
  if (!awaitingPage_) halted = true;
  while (!halted) {
    host_.Application().ProcessMessages();
    if (!halted) host_.Application().Sleep(100);
  }
}

void TForm1::Button3Click() {
  throw Exception("Saving the state is not available in this build yet");
}

void TForm1::Button4Click() {
  throw Exception("Loading a state is not available in this build yet");
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
  RestartReloader();
}

void TForm1::browserDocumentComplete(const Variant&, Variant& URL) {
  // A frame completes with its own address; only the top-level document counts.
  if (ToUtf8(browser->LocationURL()) != ToUtf8(URL.AsText())) return;

  bool accepted = Contains(browser->LocationName(), config::kTitleMarker1) ||
                  Contains(browser->LocationName(), config::kTitleMarker2);
  if (accepted) {
    const Variant document = browser->Document();
    accepted = IsElementAssigned(document) && browser->IsHtmlDocument(document);
  }
  if (accepted) {
    const std::string body = browser->Application().Get(u"Document").Get(u"body").Get(u"innerhtml").AsString();
    accepted = Contains(body, config::SearchHost());
  }

  if (accepted) {
    reloader->SetEnabled(false);
    awaitingPage_ = false;
    if (categories->Count() == 0) {
      ParseRootPage();
    } else {
      ParseCategoryPage();
    }
    return;
  }

  Memo1->AddLine("Retrying server (" + ToUtf8(browser->LocationURL()) + ")...");
  browser->Stop();
  NavigateCrawl(browser->LocationURL());
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
  TreeNode* parent = FindCategoryNode(browser->LocationURL());

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
    } else {
      ++lastID;
      ++categoryCount;
      auto* record = new TCategory(lastID, link.Get(u"innertext").AsText(), address, count);
      directory->AddCategory(record);
      categories->AddChildObject(parent, link.Get(u"innertext").AsString(), record);
      if (QueueHasUrl(address)) {
        host_.Dialogs().ShowMessage(fmt::sprintf("bingo %d %d", boundary, top));
        return;
      }
      queue->Push(record);
    }
    ShowProgressLine();
  }
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
  for (const Variant& link : links) {
    ++lastID;
    ++categoryCount;
    auto* record = new TCategory(lastID, link.Get(u"innertext").AsText(), link.Get(u"href").AsText(), -1);
    directory->AddCategory(record);
    categories->AddChildObject(parent, link.Get(u"innertext").AsString(), record);
    queue->Push(record);
  }
  Progress();
}

void TForm1::Progress() {
  if (stopped) {
    halted = true;
    return;
  }
  ShowProgressLine();
  if (queue->Pending() > 0) {
    NavigateCrawl(queue->Pop()->Url);
    return;
  }
  SymbolicPass();
  StatusBar1->SetSimpleText(fmt::sprintf(kFinishedLine, categoryCount, symbolicCount, queue->Pending()));
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
  const auto it = nodesByUrl_.find(url);
  if (it == nodesByUrl_.end() || it->second.empty()) return nullptr;
  TreeNode* first = it->second.front();
  for (TreeNode* candidate : it->second)
    if (ComesBefore(candidate, first)) first = candidate;
  return first;
}

void TForm1::IndexNode(TreeNode* node) {
  if (const auto* category = dynamic_cast<const TCategory*>(node->Data())) nodesByUrl_[category->Url].push_back(node);
}

void TForm1::UnindexNode(TreeNode* node) {
  const auto* category = dynamic_cast<const TCategory*>(node->Data());
  if (!category) return;
  const auto it = nodesByUrl_.find(category->Url);
  if (it == nodesByUrl_.end()) return;
  std::erase(it->second, node);
  if (it->second.empty()) nodesByUrl_.erase(it);
}
