#include "app/state_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/printf.h>

#include "common/exceptions.h"
#include "common/file_mode.h"

TReplacement::TReplacement(std::string fileName) : fileName_(std::move(fileName)), tempName_(fileName_ + ".saving-XXXXXX") {
  const int fd = ::mkstemp(tempName_.data());
  if (fd < 0) throw EFCreateError(fmt::sprintf("Cannot create file \"%s\". %s", fileName_, std::strerror(errno)));
  ::fchmod(fd, ReplacementFileMode(fileName_));
  ::close(fd);
}

TReplacement::~TReplacement() {
  if (!committed_ && !kept_) ::unlink(tempName_.c_str());
}

void TReplacement::Write(std::string_view content) {
  const int fd = ::open(tempName_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  auto fail = [&](int err) {
    if (fd >= 0) ::close(fd);
    throw EInOutError(fmt::sprintf("Cannot write file \"%s\". %s", fileName_, std::strerror(err)));
  };
  if (fd < 0) fail(errno);
  for (std::size_t done = 0; done < content.size();) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail(n < 0 ? errno : EIO);
    done += static_cast<std::size_t>(n);
  }
  // Flushed to the system by close, not synced to the disk, as the tree file is.
  if (::close(fd) != 0) {
    const int err = errno;
    throw EInOutError(fmt::sprintf("Cannot write file \"%s\". %s", fileName_, std::strerror(err)));
  }
}

void TReplacement::Commit() {
  if (::rename(tempName_.c_str(), fileName_.c_str()) != 0) {
    throw EFCreateError(fmt::sprintf("Cannot create file \"%s\". %s", fileName_, std::strerror(errno)));
  }
  committed_ = true;
}

namespace {
constexpr std::string_view kReplacementMarker = ".saving-";

// Six letters or digits, the random part that mkstemp puts in place of XXXXXX.
bool IsRandomPart(std::string_view part) {
  if (part.size() != 6) return false;
  for (const char c : part) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}
}  // namespace

bool IsReplacementName(std::string_view name, std::string_view base) {
  if (name.size() <= base.size() || name.substr(0, base.size()) != base) return false;
  name.remove_prefix(base.size());
  if (name.substr(0, kReplacementMarker.size()) != kReplacementMarker) return false;
  name.remove_prefix(kReplacementMarker.size());
  if (!IsRandomPart(name.substr(0, 6))) return false;
  name.remove_prefix(6);
  // The XML writer writes a file through a temporary file of its own beside it.
  return name.empty() || (name.front() == '.' && IsRandomPart(name.substr(1)));
}

void RemoveStaleReplacements(const std::string& fileName) {
  namespace fs = std::filesystem;
  const fs::path path(fileName);
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  const std::string base = path.filename().string();
  std::error_code error;
  std::vector<fs::path> stale;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    if (!IsReplacementName(it->path().filename().string(), base)) continue;
    std::error_code statusError;
    if (fs::is_regular_file(it->symlink_status(statusError))) stale.push_back(it->path());
  }
  // Removal is a courtesy: a file that stays does not stop the save.
  for (const fs::path& file : stale) fs::remove(file, error);
}

std::string QueueFileLine(std::int32_t id) { return std::to_string(id) + "\r\n"; }

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
  }
  return lines;
}

std::vector<std::int32_t> ReadQueueFile(const std::string& fileName) {
  int lineNumber = 0;
  try {
    std::ifstream in(fileName, std::ios::binary);
    if (!in) throw EFOpenError(fmt::sprintf("Cannot open file \"%s\". %s", fileName, std::strerror(errno)));
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) throw EFOpenError(fmt::sprintf("Cannot read file \"%s\". %s", fileName, std::strerror(errno)));
    const std::string text = std::move(buffer).str();
    std::vector<std::int32_t> ids;
    for (std::string_view line : SplitLines(text)) {
      ++lineNumber;
      ids.push_back(StrToInt(std::string(line)));
    }
    return ids;
  } catch (Exception& error) {
    error.SetInput(fileName, lineNumber);
    throw;
  }
}

void SyncFile(const std::string& fileName) {
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) {
    const int err = errno;
    if (fd >= 0) ::close(fd);
    throw EInOutError(fmt::sprintf("Cannot write file \"%s\". %s", fileName, std::strerror(err)));
  }
  ::close(fd);
}

void SyncFolderOf(const std::string& fileName) {
  const std::filesystem::path path(fileName);
  SyncFile(path.has_parent_path() ? path.parent_path().string() : std::string("."));
}

std::optional<TFileStamp> StampOf(const std::string& fileName) {
  struct stat st {};
  if (::stat(fileName.c_str(), &st) != 0) return std::nullopt;
  return TFileStamp{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                    static_cast<std::int64_t>(st.st_size),
                    static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}
