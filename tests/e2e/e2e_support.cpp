#include "e2e_support.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace e2e {

std::string ScraperProgram() { return WEXA_E2E_SCRAPER; }
std::string SampleSiteProgram() { return WEXA_E2E_SAMPLE_SITE; }

// ---- files and folders ----

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "wexa-e2e-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
  path_ = pattern;
}

TempDir::~TempDir() {
  if (std::getenv("WEXA_E2E_KEEP")) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string();
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

// ---- processes ----

std::string ExitStatus::Describe() const {
  if (exited) return "exit " + std::to_string(code);
  if (signal) return std::string("killed by signal ") + strsignal(signal);
  return "still running";
}

Process::Process(const std::vector<std::string>& argv, const std::filesystem::path& cwd,
                 const std::map<std::string, std::optional<std::string>>& env, const std::filesystem::path& stdoutFile,
                 const std::filesystem::path& stderrFile)
    : stdoutFile_(stdoutFile), stderrFile_(stderrFile) {
  // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::size_t eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [name, value] : env) {
    if (value) vars[name] = *value;
    else vars.erase(name);
  }
  std::vector<std::string> envStrings;
  for (const auto& [name, value] : vars) envStrings.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& s : args) argp.push_back(s.data());
  argp.push_back(nullptr);
  const std::string dir = cwd.string();
  const std::string out = stdoutFile.string();
  const std::string err = stderrFile.string();

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
  if (pid_ == 0) {
    ::setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    const int in = ::open("/dev/null", O_RDONLY);
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || o < 0 || e < 0 || ::chdir(dir.c_str()) != 0) ::_exit(127);
    ::dup2(in, 0);
    ::dup2(o, 1);
    ::dup2(e, 2);
    ::execve(argp[0], argp.data(), envp.data());
    ::_exit(127);
  }
  // Also from the parent, so a signal to the group cannot miss a child that has not run yet.
  ::setpgid(pid_, pid_);
}

Process::~Process() {
  if (pid_ > 0) KillGroup();
}

bool Process::Ended() {
  if (status_) return true;
  int st = 0;
  const pid_t r = ::waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    ExitStatus s;
    if (WIFEXITED(st)) {
      s.exited = true;
      s.code = WEXITSTATUS(st);
    } else if (WIFSIGNALED(st)) {
      s.signal = WTERMSIG(st);
    }
    status_ = s;
    return true;
  }
  return false;
}

std::optional<ExitStatus> Process::Wait(Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!Ended()) {
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(5ms);
  }
  return status_;
}

void Process::Signal(int sig) {
  if (!Ended()) ::kill(pid_, sig);
}

void Process::KillGroup() {
  // The group outlives its leader while the browser's helpers run; kill it either way.
  ::kill(-pid_, SIGKILL);
  if (!Ended()) {
    ::kill(pid_, SIGKILL);
    Wait(10s);
  }
  ::kill(-pid_, SIGKILL);
}

bool WaitUntil(const std::function<bool()>& pred, Clock::duration timeout, Process* process, Clock::duration step) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (pred()) return true;
    if (process && process->Ended()) return pred();
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(step);
  }
}

// ---- the sample site and its dump ----

namespace {

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return fields;
}

int ToInt(const std::string& text, const std::string& what) {
  std::size_t used = 0;
  int value = 0;
  try {
    value = std::stoi(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (text.empty() || used != text.size()) throw std::runtime_error(what + ": not an integer: '" + text + "'");
  return value;
}

}  // namespace

ExpectedCrawl ParseDump(const std::string& text) {
  ExpectedCrawl crawl;
  for (const std::string& line : SplitLines(text)) {
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> f = SplitTabs(line);
    if (f[0] == "C" && f.size() == 6) {
      crawl.categories.push_back({ToInt(f[1], "dump ID"), ToInt(f[2], "dump content"), f[3], f[4], f[5]});
    } else if (f[0] == "S" && f.size() == 4) {
      crawl.symbolics.push_back({f[1], f[2], f[3]});
    } else if (f[0] == "T" && f.size() == 5) {
      crawl.categoryCount = ToInt(f[1], "dump total");
      crawl.symbolicFound = ToInt(f[2], "dump total");
      crawl.symbolicKept = ToInt(f[3], "dump total");
      crawl.pagesVisited = ToInt(f[4], "dump total");
    } else {
      throw std::runtime_error("unexpected dump line: " + line);
    }
  }
  if (crawl.categoryCount != static_cast<int>(crawl.categories.size()) ||
      crawl.symbolicKept != static_cast<int>(crawl.symbolics.size()))
    throw std::runtime_error("dump totals disagree with its records");
  return crawl;
}

SampleSite::SampleSite(const SiteArgs& args, const TempDir& dir, const std::string& name)
    : args_(args), dir_(dir.Path()) {
  std::vector<std::string> argv{SampleSiteProgram()};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.insert(argv.end(), {"--port", "0", "--print-port"});
  process_ = std::make_unique<Process>(argv, dir_, std::map<std::string, std::optional<std::string>>{},
                                       dir_ / (name + ".out"), dir_ / (name + ".err"));
  std::string out;
  const bool up = WaitUntil(
      [&] {
        out = process_->Stdout();
        return out.find('\n') != std::string::npos;
      },
      20s, process_.get());
  if (!up) throw std::runtime_error("the sample site did not start: " + process_->Stderr());
  port_ = ToInt(out.substr(0, out.find('\n')), "sample site port");
}

SampleSite::~SampleSite() { Stop(); }

void SampleSite::Stop() {
  process_->Signal(SIGTERM);
  process_->Wait(10s);
}

std::string SampleSite::RootUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

ExpectedCrawl SampleSite::Expected(int minContent) const {
  std::vector<std::string> argv{SampleSiteProgram()};
  argv.insert(argv.end(), args_.begin(), args_.end());
  argv.insert(argv.end(), {"--dump-expected", std::to_string(minContent), "--dump-root", RootUrl()});
  const std::string stem = "dump-" + std::to_string(minContent);
  Process dump(argv, dir_, {}, dir_ / (stem + ".out"), dir_ / (stem + ".err"));
  const std::optional<ExitStatus> st = dump.Wait(120s);
  if (!st || !st->exited || st->code != 0)
    throw std::runtime_error("the expected-crawl dump failed: " + (st ? st->Describe() : "timeout") + " " +
                             dump.Stderr());
  return ParseDump(dump.Stdout());
}

// ---- tree.xml ----

int SavedTree::RealCount() const {
  int n = 0;
  for (const TreeRecord& r : nodes) n += r.symbolic ? 0 : 1;
  return n;
}

int SavedTree::SymbolicCount() const { return static_cast<int>(nodes.size()) - RealCount(); }

namespace {

std::string Name(const xmlNode* node) { return reinterpret_cast<const char*>(node->name); }

std::string Where(const xmlNode* node) {
  return "<" + Name(node) + "> at line " + std::to_string(xmlGetLineNo(const_cast<xmlNode*>(node)));
}

// The element children of node, in order; text between them must be layout whitespace.
std::vector<xmlNode*> Elements(xmlNode* node) {
  std::vector<xmlNode*> out;
  for (xmlNode* c = node->children; c; c = c->next) {
    if (c->type == XML_ELEMENT_NODE) {
      out.push_back(c);
    } else if (c->type == XML_TEXT_NODE) {
      const std::string text = c->content ? reinterpret_cast<const char*>(c->content) : "";
      if (text.find_first_not_of(" \t\r\n") != std::string::npos)
        throw std::runtime_error("text between elements in " + Where(node));
    } else {
      throw std::runtime_error("unexpected node kind in " + Where(node));
    }
  }
  return out;
}

std::vector<xmlNode*> Expect(xmlNode* node, const std::vector<std::string>& names) {
  const std::vector<xmlNode*> e = Elements(node);
  std::string seen;
  for (xmlNode* c : e) seen += " " + Name(c);
  bool ok = e.size() == names.size();
  for (std::size_t i = 0; ok && i < e.size(); ++i) ok = Name(e[i]) == names[i];
  if (!ok) {
    std::string want;
    for (const std::string& n : names) want += " " + n;
    throw std::runtime_error(Where(node) + " holds" + seen + " instead of" + want);
  }
  return e;
}

std::string Text(xmlNode* node) {
  for (xmlNode* c = node->children; c; c = c->next)
    if (c->type != XML_TEXT_NODE) throw std::runtime_error(Where(node) + " holds more than text");
  xmlChar* content = xmlNodeGetContent(node);
  std::string text = content ? reinterpret_cast<const char*>(content) : "";
  xmlFree(content);
  return text;
}

void ReadNode(xmlNode* element, int treeParent, SavedTree& tree) {
  const std::vector<xmlNode*> parts = Expect(element, {"Data", "Nodes"});
  const std::vector<xmlNode*> data = Elements(parts[0]);
  if (data.size() != 1) throw std::runtime_error(Where(parts[0]) + " must hold exactly one record");
  TreeRecord r;
  r.treeParent = treeParent;
  if (Name(data[0]) == "TCategory") {
    const std::vector<xmlNode*> f = Expect(data[0], {"Content", "ID", "Name", "Url"});
    r.content = ToInt(Text(f[0]), Where(f[0]));
    r.id = ToInt(Text(f[1]), Where(f[1]));
    r.name = Text(f[2]);
    r.url = Text(f[3]);
  } else if (Name(data[0]) == "TSymbolicCategory") {
    const std::vector<xmlNode*> f = Expect(data[0], {"Name", "Parent", "Url"});
    r.symbolic = true;
    r.name = Text(f[0]);
    r.parent = ToInt(Text(f[1]), Where(f[1]));
    r.url = Text(f[2]);
  } else {
    throw std::runtime_error("unexpected record " + Where(data[0]));
  }
  const int index = static_cast<int>(tree.nodes.size());
  tree.nodes.push_back(std::move(r));
  if (treeParent < 0) tree.top.push_back(index);
  else tree.nodes[static_cast<std::size_t>(treeParent)].children.push_back(index);
  for (xmlNode* child : Elements(parts[1])) {
    if (Name(child) != "TXMLTreeNode") throw std::runtime_error("unexpected " + Where(child));
    ReadNode(child, index, tree);
  }
}

struct DocFree {
  void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};

}  // namespace

SavedTree ReadTreeFile(const std::filesystem::path& path) {
  const std::string bytes = ReadFile(path);
  if (bytes.empty()) throw std::runtime_error(path.string() + " is missing or empty");
  std::size_t start = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  if (bytes.compare(start, 12, "<DUMMY_NODE>") != 0) throw std::runtime_error("tree.xml does not begin with <DUMMY_NODE>");
  if (bytes.size() < 2 || bytes.compare(bytes.size() - 2, 2, "\r\n") != 0)
    throw std::runtime_error("tree.xml does not end with CR LF");
  for (std::size_t p = bytes.find('\n'); p != std::string::npos; p = bytes.find('\n', p + 1))
    if (p == 0 || bytes[p - 1] != '\r') throw std::runtime_error("tree.xml has a line end without CR at byte " + std::to_string(p));

  std::unique_ptr<xmlDoc, DocFree> doc(xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), "tree.xml", "UTF-8",
                                                     XML_PARSE_NONET | XML_PARSE_HUGE | XML_PARSE_NOWARNING));
  if (!doc) throw std::runtime_error("tree.xml is not well-formed XML");
  xmlNode* root = xmlDocGetRootElement(doc.get());
  if (!root || Name(root) != "DUMMY_NODE") throw std::runtime_error("document element is not DUMMY_NODE");
  if (root->properties) throw std::runtime_error("DUMMY_NODE has attributes");
  xmlNode* treeRoot = Expect(root, {"TXMLTreeNode"})[0];
  const std::vector<xmlNode*> parts = Expect(treeRoot, {"Data", "Nodes"});
  xmlChar* isNull = xmlGetProp(parts[0], reinterpret_cast<const xmlChar*>("isNull"));
  const bool nullData = isNull && std::string(reinterpret_cast<const char*>(isNull)) == "true";
  xmlFree(isNull);
  if (!nullData || parts[0]->children) throw std::runtime_error("the root's Data is not an empty isNull=\"true\" element");
  SavedTree tree;
  for (xmlNode* child : Elements(parts[1])) {
    if (Name(child) != "TXMLTreeNode") throw std::runtime_error("unexpected " + Where(child));
    ReadNode(child, -1, tree);
  }
  return tree;
}

namespace {

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

void Line(std::string& out, int indent, const std::string& text) {
  out.append(static_cast<std::size_t>(indent), ' ');
  out += text;
  out += "\r\n";
}

void Leaf(std::string& out, int indent, const std::string& name, const std::string& value) {
  Line(out, indent, "<" + name + ">" + Escape(value) + "</" + name + ">");
}

void FormatNodes(std::string& out, int indent, const SavedTree& tree, const std::vector<int>& nodes) {
  if (nodes.empty()) {
    Line(out, indent, "<Nodes/>");
    return;
  }
  Line(out, indent, "<Nodes>");
  for (int index : nodes) {
    const TreeRecord& r = tree.nodes[static_cast<std::size_t>(index)];
    const int i = indent + 2;
    Line(out, i, "<TXMLTreeNode>");
    Line(out, i + 2, "<Data>");
    if (r.symbolic) {
      Line(out, i + 4, "<TSymbolicCategory>");
      Leaf(out, i + 6, "Name", r.name);
      Leaf(out, i + 6, "Parent", std::to_string(r.parent));
      Leaf(out, i + 6, "Url", r.url);
      Line(out, i + 4, "</TSymbolicCategory>");
    } else {
      Line(out, i + 4, "<TCategory>");
      Leaf(out, i + 6, "Content", std::to_string(r.content));
      Leaf(out, i + 6, "ID", std::to_string(r.id));
      Leaf(out, i + 6, "Name", r.name);
      Leaf(out, i + 6, "Url", r.url);
      Line(out, i + 4, "</TCategory>");
    }
    Line(out, i + 2, "</Data>");
    FormatNodes(out, i + 2, tree, r.children);
    Line(out, i, "</TXMLTreeNode>");
  }
  Line(out, indent, "</Nodes>");
}

}  // namespace

std::string FormatTreeFile(const SavedTree& tree) {
  std::string out;
  Line(out, 0, "<DUMMY_NODE>");
  Line(out, 2, "<TXMLTreeNode>");
  Line(out, 4, "<Data isNull=\"true\"/>");
  FormatNodes(out, 4, tree, tree.top);
  Line(out, 2, "</TXMLTreeNode>");
  Line(out, 0, "</DUMMY_NODE>");
  return out;
}

std::vector<std::string> CompareTree(const SavedTree& tree, const ExpectedCrawl& expected) {
  std::vector<std::string> diffs;
  auto note = [&](const std::string& d) {
    if (diffs.size() < 40) diffs.push_back(d);
  };
  if (tree.RealCount() != static_cast<int>(expected.categories.size()))
    note("real categories: " + std::to_string(tree.RealCount()) + ", expected " +
         std::to_string(expected.categories.size()));
  if (tree.SymbolicCount() != static_cast<int>(expected.symbolics.size()))
    note("symbolic categories: " + std::to_string(tree.SymbolicCount()) + ", expected " +
         std::to_string(expected.symbolics.size()));

  std::map<int, const ExpectedCategory*> byId;
  for (const ExpectedCategory& c : expected.categories) byId[c.id] = &c;
  std::set<int> seen;
  // Children expected under each parent address ("" for the top level), in order.
  std::map<std::string, std::vector<int>> realChildren;
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> symbolicChildren;
  for (const ExpectedCategory& c : expected.categories) realChildren[c.parentUrl].push_back(c.id);
  for (const ExpectedSymbolic& s : expected.symbolics) symbolicChildren[s.parentUrl].push_back({s.url, s.name});

  auto urlOf = [&](int index) {
    return index < 0 ? std::string() : tree.nodes[static_cast<std::size_t>(index)].url;
  };
  auto checkChildren = [&](int parentIndex, const std::vector<int>& kids) {
    const std::string parentUrl = urlOf(parentIndex);
    const std::string where = parentIndex < 0 ? "top level" : "under " + parentUrl;
    std::vector<int> ids;
    std::vector<std::pair<std::string, std::string>> links;
    for (int k : kids) {
      const TreeRecord& r = tree.nodes[static_cast<std::size_t>(k)];
      if (r.symbolic) links.push_back({r.url, r.name});
      else ids.push_back(r.id);
    }
    const auto wantIds = realChildren.find(parentUrl);
    if (ids != (wantIds == realChildren.end() ? std::vector<int>{} : wantIds->second)) {
      std::string got;
      for (int id : ids) got += " " + std::to_string(id);
      std::string want;
      if (wantIds != realChildren.end())
        for (int id : wantIds->second) want += " " + std::to_string(id);
      note("real children " + where + ":" + got + " instead of:" + want);
    }
    const auto wantLinks = symbolicChildren.find(parentUrl);
    if (links != (wantLinks == symbolicChildren.end() ? decltype(links){} : wantLinks->second))
      note("symbolic children " + where + " differ (" + std::to_string(links.size()) + " found, " +
           std::to_string(wantLinks == symbolicChildren.end() ? 0 : wantLinks->second.size()) + " expected)");
  };

  checkChildren(-1, tree.top);
  for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
    const TreeRecord& r = tree.nodes[i];
    const std::string parentUrl = urlOf(r.treeParent);
    if (r.treeParent >= 0 && tree.nodes[static_cast<std::size_t>(r.treeParent)].symbolic)
      note("node " + r.url + " hangs below a symbolic category");
    if (r.symbolic) {
      if (r.parent != -1) note("symbolic " + r.url + " has Parent " + std::to_string(r.parent));
      if (!r.children.empty()) note("symbolic " + r.url + " has children");
      continue;
    }
    if (!seen.insert(r.id).second) note("ID " + std::to_string(r.id) + " occurs twice");
    const auto it = byId.find(r.id);
    if (it == byId.end()) {
      note("unexpected category ID " + std::to_string(r.id) + " " + r.url);
    } else {
      const ExpectedCategory& e = *it->second;
      if (r.url != e.url) note("ID " + std::to_string(r.id) + ": Url " + r.url + ", expected " + e.url);
      if (r.name != e.name) note("ID " + std::to_string(r.id) + ": Name '" + r.name + "', expected '" + e.name + "'");
      if (r.content != e.content)
        note("ID " + std::to_string(r.id) + ": Content " + std::to_string(r.content) + ", expected " +
             std::to_string(e.content));
      if (parentUrl != e.parentUrl)
        note("ID " + std::to_string(r.id) + ": parent " + parentUrl + ", expected " + e.parentUrl);
    }
    checkChildren(static_cast<int>(i), r.children);
  }
  for (const ExpectedCategory& c : expected.categories)
    if (!seen.count(c.id)) note("missing category ID " + std::to_string(c.id) + " " + c.url);
  return diffs;
}

// ---- the scraper ----

std::map<std::string, std::optional<std::string>> ScraperEnvironment(const std::string& rootUrl,
                                                                     const std::string& searchHost) {
  std::map<std::string, std::optional<std::string>> env{{"WEXA_ROOT_URL", rootUrl}, {"WEXA_SEARCH_HOST", searchHost}};
  // Chromium refuses to run as root with its sandbox on; the program leaves that choice to its caller.
  if (::geteuid() == 0) env["QTWEBENGINE_DISABLE_SANDBOX"] = "1";
  return env;
}

ScraperRun::ScraperRun(const std::filesystem::path& cwd, const std::string& rootUrl,
                       const std::vector<std::string>& args, const std::string& label, const std::string& searchHost) {
  std::vector<std::string> argv{ScraperProgram(), "--headless"};
  argv.insert(argv.end(), args.begin(), args.end());
  // The output files live beside the working folder, so the folder holds only what the program writes.
  const std::filesystem::path logs = cwd.parent_path();
  process_ = std::make_unique<Process>(argv, cwd, ScraperEnvironment(rootUrl, searchHost), logs / (label + ".out"),
                                       logs / (label + ".err"));
}

std::string ScraperRun::Tail() const {
  auto last = [](const std::vector<std::string>& lines, std::size_t n) {
    std::string out;
    for (std::size_t i = lines.size() > n ? lines.size() - n : 0; i < lines.size(); ++i) out += "  | " + lines[i] + "\n";
    return out;
  };
  std::string status = process_->Ended() ? process_->Status().Describe() : "still running";
  return "[" + status + "]\n stdout (last lines):\n" + last(StdoutLines(), 8) + " stderr (last lines):\n" +
         last(StderrLines(), 15);
}

std::string FinishedLine(int categories, int symbolic) {
  return "*** FINISHED *** Categories: " + std::to_string(categories) +
         " | Symbolic categories: " + std::to_string(symbolic) + " | Queue: 0";
}

}  // namespace e2e

namespace e2e {

std::vector<std::string> CompareTrees(const SavedTree& got, const SavedTree& want) {
  std::vector<std::string> diffs;
  auto note = [&](const std::string& d) {
    if (diffs.size() < 40) diffs.push_back(d);
  };
  auto describe = [](const TreeRecord& r) {
    return (r.symbolic ? "symbolic '" : "category " + std::to_string(r.id) + " '") + r.name + "' " + r.url;
  };
  // Walk both trees side by side; a difference in one subtree does not hide the others.
  std::function<void(const std::vector<int>&, const std::vector<int>&, const std::string&)> walk =
      [&](const std::vector<int>& a, const std::vector<int>& b, const std::string& where) {
        if (a.size() != b.size())
          note(where + ": " + std::to_string(a.size()) + " children instead of " + std::to_string(b.size()));
        for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
          const TreeRecord& x = got.nodes[static_cast<std::size_t>(a[i])];
          const TreeRecord& y = want.nodes[static_cast<std::size_t>(b[i])];
          const bool same = x.symbolic == y.symbolic && x.name == y.name && x.url == y.url &&
                            (x.symbolic ? x.parent == y.parent : x.id == y.id && x.content == y.content);
          if (!same) {
            note(where + ", child " + std::to_string(i) + ": " + describe(x) + " instead of " + describe(y));
            continue;
          }
          walk(x.children, y.children, describe(x));
        }
      };
  walk(got.top, want.top, "top level");
  return diffs;
}

std::vector<std::string> CompareUnfinishedTree(const SavedTree& tree, const ExpectedCrawl& expected) {
  std::vector<std::string> diffs;
  auto note = [&](const std::string& d) {
    if (diffs.size() < 40) diffs.push_back(d);
  };
  std::set<int> ids;
  for (const TreeRecord& r : tree.nodes) {
    if (r.symbolic) continue;
    ids.insert(r.id);
    if (r.id < 1 || r.id > static_cast<int>(expected.categories.size())) {
      note("unexpected ID " + std::to_string(r.id));
      continue;
    }
    const ExpectedCategory& e = expected.categories[static_cast<std::size_t>(r.id - 1)];
    const std::string parentUrl = r.treeParent < 0 ? "" : tree.nodes[static_cast<std::size_t>(r.treeParent)].url;
    if (r.url != e.url || r.name != e.name || r.content != e.content || parentUrl != e.parentUrl)
      note("ID " + std::to_string(r.id) + " (" + r.url + ") differs from the expected record " + e.url);
  }
  if (!ids.empty() && (*ids.begin() != 1 || *ids.rbegin() != static_cast<int>(ids.size())))
    note("the IDs are not 1.." + std::to_string(ids.size()));
  return diffs;
}

}  // namespace e2e
