#include "app/crawl_folder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

namespace {

bool Present(const std::string& folder, const char* name) {
  std::error_code error;
  const bool exists = std::filesystem::exists(std::filesystem::path(folder) / name, error);
  return exists || error;
}

}  // namespace

std::string TSavedCrawl::Files() const {
  std::string files;
  for (const auto& [present, name] : {std::pair{tree, "tree.xml"}, {queue, "queue.lst"}, {journal, "crawl.journal"}})
    if (present) files += (files.empty() ? "" : ", ") + std::string(name);
  return files;
}

TSavedCrawl FindSavedCrawl(const std::string& folder) {
  TSavedCrawl saved;
  saved.tree = Present(folder, "tree.xml");
  saved.queue = Present(folder, "queue.lst");
  saved.journal = Present(folder, "crawl.journal");
  return saved;
}

std::optional<std::string> FolderWriteProblem(const std::string& folder) {
  // A try rather than access(W_OK): it also sees a read-only file system, a full quota of inodes
  // and the privileges of root.
  std::string probe = (std::filesystem::path(folder) / ".wexa-write-test-XXXXXX").string();
  std::vector<char> name(probe.begin(), probe.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return std::string(std::strerror(errno));
  ::close(fd);
  ::unlink(name.data());
  return std::nullopt;
}

std::optional<TStartRefusal> CheckWindowlessStart(const std::string& folder, const std::string& folderName,
                                                 const THeadlessOptions& options) {
  const TSavedCrawl saved = FindSavedCrawl(folder);
  if (!options.resume && !options.newCrawl && saved.Any()) {
    return TStartRefusal{2, folderName + " holds a saved crawl (" + saved.Files() +
                                "): --resume continues it, --new starts a fresh crawl"};
  }
  if (options.resume && !saved.Any()) return TStartRefusal{2, "no saved crawl in " + folderName};
  if (options.resume && !saved.journal && saved.tree != saved.queue) {
    const char* missing = saved.tree ? "queue.lst" : "tree.xml";
    const char* there = saved.tree ? "tree.xml" : "queue.lst";
    return TStartRefusal{1, (std::filesystem::path(folderName) / missing).string() + ": missing beside " + there +
                                ", so the saved crawl cannot be resumed; --new starts a fresh crawl"};
  }
  if (const std::optional<std::string> problem = FolderWriteProblem(folder))
    return TStartRefusal{1, folderName + ": the crawl's state cannot be saved here (" + *problem + ")"};
  return std::nullopt;
}
