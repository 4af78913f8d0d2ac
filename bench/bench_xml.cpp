// Saving and loading a category tree file of the size of a full crawl: BM_SaveTree/N and BM_LoadTree/N
// with N real categories and N/4 symbolic ones, spread over a tree with 10 to 50 children per category.
// The classes here have the shape of the program's tree node and records (and their element names),
// so that the file is the one a crawl of that size writes.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/XmlPersistance.h"
#include "common/logging.h"

namespace bench_xml {

class TBaseCategory : public TXMLPersistentObject {
  WEXA_XML_CLASS(TBaseCategory)
 public:
  TBaseCategory() = default;
  explicit TBaseCategory(TXmlBlank) {}
  std::u16string Name;
  std::u16string Url;
};

class TCategory : public TBaseCategory {
  WEXA_XML_CLASS(TCategory)
 public:
  TCategory() = default;
  explicit TCategory(TXmlBlank blank) : TBaseCategory(blank) {}
  std::int32_t ID = 0;
  std::int32_t Content = 0;
};

class TSymbolicCategory : public TBaseCategory {
  WEXA_XML_CLASS(TSymbolicCategory)
 public:
  TSymbolicCategory() = default;
  explicit TSymbolicCategory(TXmlBlank blank) : TBaseCategory(blank) {}
  std::int32_t Parent = 0;
};

// Owns its child nodes, not its Data.
class TXMLTreeNode : public TXMLPersistentObject {
  WEXA_XML_CLASS(TXMLTreeNode)
 public:
  TXMLTreeNode() = default;
  ~TXMLTreeNode() override {
    for (TXMLTreeNode* n : Nodes) delete n;
  }
  void FreeData() {
    std::vector<TXMLTreeNode*> todo{this};
    while (!todo.empty()) {
      TXMLTreeNode* n = todo.back();
      todo.pop_back();
      delete n->Data;
      n->Data = nullptr;
      todo.insert(todo.end(), n->Nodes.begin(), n->Nodes.end());
    }
  }
  TBaseCategory* Data = nullptr;
  std::vector<TXMLTreeNode*> Nodes;
};

WEXA_XML_PUBLISH(TBaseCategory, TXMLPersistentObject,
                 XmlProperty("Name", &TBaseCategory::Name),
                 XmlProperty("Url", &TBaseCategory::Url))
WEXA_XML_PUBLISH(TCategory, TBaseCategory,
                 XmlProperty("ID", &TCategory::ID),
                 XmlProperty("Content", &TCategory::Content))
WEXA_XML_PUBLISH(TSymbolicCategory, TBaseCategory,
                 XmlProperty("Parent", &TSymbolicCategory::Parent))
WEXA_XML_PUBLISH(TXMLTreeNode, TXMLPersistentObject,
                 XmlObjectArray("Nodes", &TXMLTreeNode::Nodes, xoOwned),
                 XmlObject("Data", &TXMLTreeNode::Data, xoReferenced))

std::u16string Text16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Breadth first: each category gets 10 to 50 real children until `categories` exist; then every
// symbolic category hangs below a category picked at random. Deterministic.
std::unique_ptr<TXMLTreeNode> BuildTree(int categories) {
  std::mt19937 rng(20240101);
  auto root = std::make_unique<TXMLTreeNode>();
  std::vector<TXMLTreeNode*> realNodes;
  realNodes.reserve(static_cast<std::size_t>(categories));
  std::deque<TXMLTreeNode*> queue;
  int made = 0;
  auto addCategory = [&](TXMLTreeNode* parent, const std::u16string& parentUrl) {
    auto* cat = new TCategory;
    cat->ID = ++made;
    cat->Content = static_cast<std::int32_t>(rng() % 200000);
    const std::string name = "Category " + std::to_string(made);
    cat->Name = Text16(name);
    cat->Url = parentUrl + Text16("Category_" + std::to_string(made) + "/");
    auto* node = new TXMLTreeNode;
    node->Data = cat;
    parent->Nodes.push_back(node);
    realNodes.push_back(node);
    queue.push_back(node);
  };
  for (int i = 0; i < 20 && made < categories; ++i) addCategory(root.get(), u"http://www.wexa.org/");
  while (made < categories && !queue.empty()) {
    TXMLTreeNode* parent = queue.front();
    queue.pop_front();
    const int children = 10 + static_cast<int>(rng() % 41);
    for (int i = 0; i < children && made < categories; ++i) addCategory(parent, parent->Data->Url);
  }
  for (int i = 0; i < categories / 4; ++i) {
    TXMLTreeNode* parent = realNodes[rng() % realNodes.size()];
    auto* sym = new TSymbolicCategory;
    sym->Parent = -1;
    sym->Name = Text16("Link " + std::to_string(i));
    sym->Url = u"http://www.wexa.org/Category_" + Text16(std::to_string(rng() % categories)) + u"/";
    auto* node = new TXMLTreeNode;
    node->Data = sym;
    parent->Nodes.push_back(node);
  }
  return root;
}

void Start() {
  static bool started = false;
  if (started) return;
  started = true;
  LogLevel = llWarn;
  InitializeXmlPersistance();
  RegisterXmlClass<TCategory>();
  RegisterXmlClass<TSymbolicCategory>();
  RegisterXmlClass<TXMLTreeNode>();
}

// The folder of the bench files: WEXA_BENCH_DIR, else /tmp.
std::string FileName(int categories) {
  const char* dir = std::getenv("WEXA_BENCH_DIR");
  return std::string(dir != nullptr && *dir != 0 ? dir : "/tmp") + "/wexa-bench-tree-" + std::to_string(::getpid()) + "-" + std::to_string(categories) + ".xml";
}

void BM_SaveTree(benchmark::State& state) {
  Start();
  const int categories = static_cast<int>(state.range(0));
  std::unique_ptr<TXMLTreeNode> root = BuildTree(categories);
  const std::string file = FileName(categories);
  for (auto _ : state) TXmlPersistance::SaveToFile(root.get(), file);
  state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(file));
  std::remove(file.c_str());
  root->FreeData();
}

void BM_LoadTree(benchmark::State& state) {
  Start();
  const int categories = static_cast<int>(state.range(0));
  const std::string file = FileName(categories);
  {
    std::unique_ptr<TXMLTreeNode> root = BuildTree(categories);
    TXmlPersistance::SaveToFile(root.get(), file);
    root->FreeData();
  }
  for (auto _ : state) {
    std::unique_ptr<TXMLPersistentObject> loaded = TXmlPersistance::LoadFromFile(file);
    state.PauseTiming();
    static_cast<TXMLTreeNode*>(loaded.get())->FreeData();
    loaded.reset();
    state.ResumeTiming();
  }
  std::remove(file.c_str());
}

BENCHMARK(BM_SaveTree)->Arg(1000000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadTree)->Arg(1000000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace bench_xml
