#include "export_rows.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/printf.h>

#include "common/exceptions.h"
#include "platform/text.h"

namespace exporter {

namespace {

constexpr std::string_view kPathSeparator = " / ";

std::string ReadWholeFile(const std::string& fileName) {
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw EFOpenError(fmt::sprintf("Cannot open file \"%s\". %s", fileName, std::strerror(errno)));
  std::string text;
  char block[65536];
  for (;;) {
    const ssize_t n = ::read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      // A folder opens but cannot be read (EISDIR); it is reported like any other unreadable file.
      const int err = errno;
      ::close(fd);
      throw EFOpenError(fmt::sprintf("Cannot read file \"%s\". %s", fileName, std::strerror(err)));
    }
    if (n == 0) break;
    text.append(block, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

// Walks one node and its subtree. Recursion is bounded: the XML reader refuses documents nested deeper
// than 1024 elements, and every tree level takes three of them.
class TRowWalker {
 public:
  TRowWalker(const TPendingIds& pending, const std::function<void(const TExportRow&)>& f) : pending_(pending), f_(f) {}

  void Walk(const TXMLTreeNode& node, std::optional<std::int32_t> parentId, int depth) {
    const TBaseCategory& record = *node.Data;
    const auto* real = dynamic_cast<const TCategory*>(&record);
    TExportRow& row = row_;
    row.symbolic = real == nullptr;
    row.id = real ? real->ID : 0;
    row.content = real ? real->Content : 0;
    row.parentId = parentId;
    row.depth = depth;
    row.name = platform::ToUtf8(record.Name);
    row.address = platform::ToUtf8(record.Url);
    row.visited = real != nullptr && !pending_.contains(real->ID);

    // The path of the parent stays in path_; this record's name is appended for itself and its
    // children and taken off again afterwards, so the walk stays linear in the size of the output.
    const std::size_t parentLength = path_.size();
    if (depth > 1) path_ += kPathSeparator;
    path_ += row.name;
    row.path = path_;
    f_(row);

    const std::optional<std::int32_t> childParent = real ? std::optional<std::int32_t>(real->ID) : parentId;
    for (const auto& child : node.Nodes) Walk(*child, childParent, depth + 1);
    path_.resize(parentLength);
  }

 private:
  const TPendingIds& pending_;
  const std::function<void(const TExportRow&)>& f_;
  TExportRow row_;
  std::string path_;
};

void AppendInt(std::string& out, std::int32_t value) { out += std::to_string(value); }

}  // namespace

TPendingIds ReadPendingIds(const std::string& fileName) {
  const std::vector<std::int32_t> ids = ReadQueueIds(fileName);
  return TPendingIds(ids.begin(), ids.end());
}

std::vector<std::int32_t> ReadQueueIds(const std::string& fileName) {
  const std::string text = ReadWholeFile(fileName);
  std::vector<std::int32_t> ids;
  std::size_t start = 0;
  int lineNumber = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    ++lineNumber;
    const std::string line = text.substr(start, end - start);
    try {
      ids.push_back(StrToInt(line));
    } catch (const EConvertError& error) {
      throw EConvertError(fmt::sprintf("%s, line %d: %s", fileName, lineNumber, error.Message()));
    }
    start = end + 1;
    if (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') ++start;
  }
  return ids;
}

void ForEachRow(const TXMLTreeNode& root, const TPendingIds& pending, const std::function<void(const TExportRow&)>& f) {
  TRowWalker walker(pending, f);
  for (const auto& node : root.Nodes) walker.Walk(*node, std::nullopt, 1);
}

void AppendCsvField(std::string& out, std::string_view field) {
  if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += field;
    return;
  }
  out += '"';
  for (char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

std::string CsvHeader() { return "id,kind,name,address,content,parent_id,depth,path,visited\r\n"; }

void AppendCsvRow(std::string& out, const TExportRow& row) {
  if (!row.symbolic) AppendInt(out, row.id);
  out += row.symbolic ? ",symbolic," : ",category,";
  AppendCsvField(out, row.name);
  out += ',';
  AppendCsvField(out, row.address);
  out += ',';
  if (!row.symbolic) AppendInt(out, row.content);
  out += ',';
  if (row.parentId) AppendInt(out, *row.parentId);
  out += ',';
  AppendInt(out, row.depth);
  out += ',';
  AppendCsvField(out, row.path);
  out += row.visited ? ",true\r\n" : ",false\r\n";
}

void AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20) {
          out += "\\u00";
          out += kHex[u >> 4];
          out += kHex[u & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

void AppendJsonRow(std::string& out, const TExportRow& row) {
  out += "{\"id\":";
  if (row.symbolic) out += "null";
  else AppendInt(out, row.id);
  out += row.symbolic ? ",\"kind\":\"symbolic\",\"name\":" : ",\"kind\":\"category\",\"name\":";
  AppendJsonString(out, row.name);
  out += ",\"address\":";
  AppendJsonString(out, row.address);
  out += ",\"content\":";
  if (row.symbolic) out += "null";
  else AppendInt(out, row.content);
  out += ",\"parent_id\":";
  if (row.parentId) AppendInt(out, *row.parentId);
  else out += "null";
  out += ",\"depth\":";
  AppendInt(out, row.depth);
  out += ",\"path\":";
  AppendJsonString(out, row.path);
  out += row.visited ? ",\"visited\":true}\n" : ",\"visited\":false}\n";
}

}  // namespace exporter
