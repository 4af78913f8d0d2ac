#include "tree_diff.h"

#include <unordered_map>

#include "export_rows.h"
#include "platform/text.h"

namespace exporter {

namespace {

// The real categories below root, each node before its children.
std::vector<const TCategory*> RealCategories(const TXMLTreeNode& root) {
  std::vector<const TCategory*> result;
  std::vector<const TXMLTreeNode*> stack;
  for (auto it = root.Nodes.rbegin(); it != root.Nodes.rend(); ++it) stack.push_back(it->get());
  while (!stack.empty()) {
    const TXMLTreeNode* node = stack.back();
    stack.pop_back();
    if (const auto* real = dynamic_cast<const TCategory*>(node->Data)) result.push_back(real);
    for (auto it = node->Nodes.rbegin(); it != node->Nodes.rend(); ++it) stack.push_back(it->get());
  }
  return result;
}

void AppendOptionalCsvInt(std::string& out, const std::optional<std::int32_t>& value) {
  if (value) out += std::to_string(*value);
}

void AppendOptionalJsonText(std::string& out, const std::optional<std::string>& value) {
  if (value) AppendJsonString(out, *value);
  else out += "null";
}

void AppendOptionalJsonInt(std::string& out, const std::optional<std::int32_t>& value) {
  if (value) out += std::to_string(*value);
  else out += "null";
}

}  // namespace

std::vector<TCategoryChange> DiffTrees(const TXMLTreeNode& oldRoot, const TXMLTreeNode& newRoot) {
  const std::vector<const TCategory*> oldCategories = RealCategories(oldRoot);
  const std::vector<const TCategory*> newCategories = RealCategories(newRoot);

  // For each address, the old records that carry it in tree order, and how many of them are matched.
  struct TOccurrences {
    std::vector<std::size_t> indices;
    std::size_t matched = 0;
  };
  std::unordered_map<std::u16string, TOccurrences> oldByAddress;
  for (std::size_t i = 0; i < oldCategories.size(); ++i) oldByAddress[oldCategories[i]->Url].indices.push_back(i);
  std::vector<bool> oldMatched(oldCategories.size(), false);

  std::vector<TCategoryChange> changes;
  for (const TCategory* now : newCategories) {
    const auto found = oldByAddress.find(now->Url);
    if (found == oldByAddress.end() || found->second.matched == found->second.indices.size()) {
      changes.push_back({ckAdded, platform::ToUtf8(now->Url), std::nullopt, std::nullopt, platform::ToUtf8(now->Name),
                         now->Content});
      continue;
    }
    const std::size_t index = found->second.indices[found->second.matched++];
    oldMatched[index] = true;
    const TCategory* before = oldCategories[index];
    if (before->Name != now->Name || before->Content != now->Content) {
      changes.push_back({ckChanged, platform::ToUtf8(now->Url), platform::ToUtf8(before->Name), before->Content,
                         platform::ToUtf8(now->Name), now->Content});
    }
  }
  for (std::size_t i = 0; i < oldCategories.size(); ++i) {
    if (oldMatched[i]) continue;
    const TCategory* before = oldCategories[i];
    changes.push_back({ckRemoved, platform::ToUtf8(before->Url), platform::ToUtf8(before->Name), before->Content,
                       std::nullopt, std::nullopt});
  }
  return changes;
}

const char* ChangeKindName(TChangeKind kind) {
  switch (kind) {
    case ckAdded: return "added";
    case ckRemoved: return "removed";
    case ckChanged: return "changed";
  }
  return "changed";
}

std::string DiffCsvHeader() { return "change,address,old_name,new_name,old_content,new_content\r\n"; }

void AppendDiffCsvRow(std::string& out, const TCategoryChange& change) {
  out += ChangeKindName(change.kind);
  out += ',';
  AppendCsvField(out, change.address);
  out += ',';
  if (change.oldName) AppendCsvField(out, *change.oldName);
  out += ',';
  if (change.newName) AppendCsvField(out, *change.newName);
  out += ',';
  AppendOptionalCsvInt(out, change.oldContent);
  out += ',';
  AppendOptionalCsvInt(out, change.newContent);
  out += "\r\n";
}

void AppendDiffJsonRow(std::string& out, const TCategoryChange& change) {
  out += "{\"change\":\"";
  out += ChangeKindName(change.kind);
  out += "\",\"address\":";
  AppendJsonString(out, change.address);
  out += ",\"old_name\":";
  AppendOptionalJsonText(out, change.oldName);
  out += ",\"new_name\":";
  AppendOptionalJsonText(out, change.newName);
  out += ",\"old_content\":";
  AppendOptionalJsonInt(out, change.oldContent);
  out += ",\"new_content\":";
  AppendOptionalJsonInt(out, change.newContent);
  out += "}\n";
}

}  // namespace exporter
