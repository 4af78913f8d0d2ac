#include "app/journal.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/printf.h>

#include "app/state_files.h"

namespace {

constexpr std::uint8_t kHeaderRecord = 1;
constexpr std::uint8_t kPageRecord = 2;
constexpr std::size_t kRecordOverhead = 4 + 1 + 4 + 4;
constexpr std::string_view kMagic = "WEXAJRN1";
// A page of a directory lists at most a few thousand entries; anything near this is damage.
constexpr std::uint32_t kMaxPayload = 64u << 20;

// Slice-by-8 tables of the reflected Castagnoli polynomial.
struct TCrcTables {
  std::array<std::array<std::uint32_t, 256>, 8> t{};
  TCrcTables() {
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0x82F63B78u & (0u - (c & 1u)));
      t[0][i] = c;
    }
    for (std::uint32_t i = 0; i < 256; ++i) {
      for (std::size_t s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
  }
};
const TCrcTables kCrc;

void Put8(std::string& out, std::uint8_t v) { out.push_back(static_cast<char>(v)); }
void Put32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void Put64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void PutText(std::string& out, const std::u16string& text) {
  Put32(out, static_cast<std::uint32_t>(text.size()));
  for (const char16_t c : text) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
}

std::uint32_t Get32(std::string_view bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  return v;
}

// Reads a payload field by field; any read past the end marks the payload malformed.
class TPayloadReader {
 public:
  explicit TPayloadReader(std::string_view bytes) : bytes_(bytes) {}
  bool Ok() const { return ok_; }
  bool AtEnd() const { return pos_ == bytes_.size(); }
  std::uint8_t U8() { return Has(1) ? static_cast<std::uint8_t>(bytes_[pos_++]) : 0; }
  std::uint32_t U32() {
    if (!Has(4)) return 0;
    const std::uint32_t v = Get32(bytes_, pos_);
    pos_ += 4;
    return v;
  }
  std::uint64_t U64() {
    const std::uint64_t low = U32();
    return low | (static_cast<std::uint64_t>(U32()) << 32);
  }
  std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
  std::u16string Text() {
    const std::uint32_t n = U32();
    if (!Has(static_cast<std::size_t>(n) * 2)) return {};
    std::u16string text(n, u'\0');
    for (std::uint32_t i = 0; i < n; ++i) {
      text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes_[pos_]) |
                                      (static_cast<unsigned char>(bytes_[pos_ + 1]) << 8));
      pos_ += 2;
    }
    return text;
  }
  std::string_view Raw(std::size_t n) {
    if (!Has(n)) return {};
    const std::string_view v = bytes_.substr(pos_, n);
    pos_ += n;
    return v;
  }

 private:
  bool Has(std::size_t n) {
    if (ok_ && bytes_.size() - pos_ >= n) return true;
    ok_ = false;
    return false;
  }
  std::string_view bytes_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

std::string Record(std::uint8_t type, const std::string& payload) {
  std::string head;
  Put32(head, static_cast<std::uint32_t>(payload.size()));
  Put8(head, type);
  std::string out = head;
  Put32(out, Crc32c(head));
  out += payload;
  std::string typed(1, static_cast<char>(type));
  Put32(out, Crc32c(payload, Crc32c(typed)));
  return out;
}

bool AllZero(std::string_view bytes) { return bytes.find_first_not_of('\0') == std::string_view::npos; }

// An error in the journal's bytes is one of the files the user gave: reported in one line.
[[noreturn]] void Damaged(const std::string& fileName, std::size_t offset, const char* what) {
  EJournalError error(fmt::sprintf("The crawl journal %s is damaged at offset %d: %s", fileName,
                                   static_cast<long long>(offset), what));
  error.SetInput(fileName);
  throw error;
}

std::string SystemError(int err) { return std::strerror(err); }

void WriteAll(int fd, std::string_view bytes, const std::string& fileName) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      throw EInOutError(fmt::sprintf("Cannot write file \"%s\". %s", fileName, SystemError(n < 0 ? errno : EIO)));
    }
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

std::uint32_t Crc32c(std::string_view data, std::uint32_t crc) {
  const auto& t = kCrc.t;
  crc = ~crc;
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t n = data.size();
  while (n >= 8) {
    const std::uint32_t low = (static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                               static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24) ^
                              crc;
    crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^ t[3][p[4]] ^
          t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    p += 8;
    n -= 8;
  }
  while (n--) crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xFF];
  return ~crc;
}

std::pair<std::uint64_t, std::uint32_t> FileCheck(const std::string& fileName) {
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw EFOpenError(fmt::sprintf("Cannot open file \"%s\". %s", fileName, SystemError(errno)));
  std::string buffer(1 << 20, '\0');
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      throw EFOpenError(fmt::sprintf("Cannot read file \"%s\". %s", fileName, SystemError(err)));
    }
    if (n == 0) break;
    crc = Crc32c(std::string_view(buffer.data(), static_cast<std::size_t>(n)), crc);
    size += static_cast<std::uint64_t>(n);
  }
  ::close(fd);
  return {size, crc};
}

TPairId PairIdOfFiles(const std::string& treeFile, const std::string& queueFile) {
  TPairId id;
  std::tie(id.treeSize, id.treeCrc) = FileCheck(treeFile);
  std::tie(id.queueSize, id.queueCrc) = FileCheck(queueFile);
  return id;
}

std::string EncodeJournalHeader(const TJournalHeader& header) {
  std::string payload(kMagic);
  const TPairId pair = header.pair.value_or(TPairId{});
  Put8(payload, header.pair ? 1 : 0);
  Put64(payload, pair.treeSize);
  Put32(payload, pair.treeCrc);
  Put64(payload, pair.queueSize);
  Put32(payload, pair.queueCrc);
  Put32(payload, static_cast<std::uint32_t>(header.minContent));
  return Record(kHeaderRecord, payload);
}

std::string EncodeJournalPage(const TJournalPage& page) {
  std::string payload;
  Put8(payload, page.root ? 1 : 0);
  Put32(payload, static_cast<std::uint32_t>(page.takenID));
  Put32(payload, static_cast<std::uint32_t>(page.minContent));
  PutText(payload, page.location);
  Put32(payload, static_cast<std::uint32_t>(page.items.size()));
  for (const TJournalItem& item : page.items) {
    Put8(payload, item.kind);
    Put32(payload, static_cast<std::uint32_t>(item.id));
    Put32(payload, static_cast<std::uint32_t>(item.content));
    PutText(payload, item.name);
    PutText(payload, item.url);
  }
  return Record(kPageRecord, payload);
}

namespace {

const std::size_t kHeaderRecordSize = EncodeJournalHeader({}).size();

bool DecodeHeader(std::string_view payload, TJournalHeader& header) {
  TPayloadReader in(payload);
  if (in.Raw(kMagic.size()) != kMagic) return false;
  const std::uint8_t hasPair = in.U8();
  TPairId pair;
  pair.treeSize = in.U64();
  pair.treeCrc = in.U32();
  pair.queueSize = in.U64();
  pair.queueCrc = in.U32();
  header.minContent = in.I32();
  if (!in.Ok() || !in.AtEnd() || hasPair > 1) return false;
  if (hasPair) header.pair = pair;
  return true;
}

bool DecodePage(std::string_view payload, TJournalPage& page) {
  TPayloadReader in(payload);
  const std::uint8_t root = in.U8();
  page.takenID = in.I32();
  page.minContent = in.I32();
  page.location = in.Text();
  const std::uint32_t count = in.U32();
  if (!in.Ok() || root > 1 || count > payload.size()) return false;
  page.root = root == 1;
  page.items.resize(count);
  for (TJournalItem& item : page.items) {
    const std::uint8_t kind = in.U8();
    if (kind > TJournalItem::jkSymbolic) return false;
    item.kind = static_cast<TJournalItem::TKind>(kind);
    item.id = in.I32();
    item.content = in.I32();
    item.name = in.Text();
    item.url = in.Text();
    if (!in.Ok()) return false;
  }
  return in.AtEnd();
}

}  // namespace

TJournalContents ScanJournal(std::string_view bytes, const std::string& fileName, const TJournalVisitor& onPage) {
  TJournalContents contents;
  std::size_t at = 0;
  const auto torn = [&] {
    contents.tornAt = at;
    return contents;
  };
  while (at < bytes.size()) {
    const std::string_view rest = bytes.substr(at);
    // Zero bytes where a record should start: the file was extended but its data never reached the
    // disk (a power cut), or it is a tail of zeros after one.
    if (AllZero(rest)) return torn();
    if (rest.size() < kRecordOverhead) return torn();
    const std::uint32_t length = Get32(rest, 0);
    const auto type = static_cast<std::uint8_t>(rest[4]);
    if (Crc32c(rest.substr(0, 5)) != Get32(rest, 5)) Damaged(fileName, at, "its length does not check");
    if (length > kMaxPayload) Damaged(fileName, at, "its length is out of range");
    if (rest.size() - kRecordOverhead < length) return torn();
    const std::string_view payload = rest.substr(9, length);
    const std::size_t recordSize = kRecordOverhead + length;
    if (Crc32c(payload, Crc32c(rest.substr(4, 1))) != Get32(rest, 9 + length)) {
      if (recordSize == rest.size()) return torn();
      Damaged(fileName, at, "its content does not check");
    }
    if (at == 0) {
      if (type != kHeaderRecord || !DecodeHeader(payload, contents.header))
        Damaged(fileName, at, "it does not start with a crawl journal header");
      contents.hasHeader = true;
    } else {
      TJournalPage page;
      if (type != kPageRecord || !DecodePage(payload, page)) Damaged(fileName, at, "the entry is malformed");
      if (onPage) onPage(page, at);
      ++contents.pageCount;
    }
    at += recordSize;
    contents.validEnd = at;
  }
  return contents;
}

TJournalContents ParseJournal(std::string_view bytes, const std::string& fileName) {
  std::vector<TJournalPage> pages;
  std::vector<std::uint64_t> offsets;
  TJournalContents contents = ScanJournal(bytes, fileName, [&](const TJournalPage& page, std::uint64_t offset) {
    pages.push_back(page);
    offsets.push_back(offset);
  });
  contents.pages = std::move(pages);
  contents.pageOffsets = std::move(offsets);
  return contents;
}

TJournalContents ParseJournalHeader(std::string_view bytes, const std::string& fileName) {
  // The header record alone: what follows it is not looked at.
  if (bytes.size() >= kRecordOverhead) {
    const std::uint32_t length = Get32(bytes, 0);
    if (length <= kMaxPayload && bytes.size() - kRecordOverhead >= length)
      bytes = bytes.substr(0, std::min(bytes.size(), kRecordOverhead + length));
  }
  return ScanJournal(bytes, fileName, {});
}

TJournalMapping::TJournalMapping(const std::string& fileName) {
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw EFOpenError(fmt::sprintf("Cannot open file \"%s\". %s", fileName, SystemError(errno)));
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    throw EFOpenError(fmt::sprintf("Cannot read file \"%s\". %s", fileName, SystemError(err)));
  }
  size_ = static_cast<std::size_t>(st.st_size);
  if (size_ > 0) {
    void* data = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (data == MAP_FAILED) {
      const int err = errno;
      ::close(fd);
      throw EFOpenError(fmt::sprintf("Cannot read file \"%s\". %s", fileName, SystemError(err)));
    }
    data_ = static_cast<const char*>(data);
  }
  ::close(fd);
}

TJournalMapping::~TJournalMapping() {
  if (data_) ::munmap(const_cast<char*>(data_), size_);
}

TJournalContents ReadJournal(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) throw EFOpenError(fmt::sprintf("Cannot open file \"%s\". %s", fileName, SystemError(errno)));
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) throw EFOpenError(fmt::sprintf("Cannot read file \"%s\". %s", fileName, SystemError(errno)));
  return ParseJournal(buffer.view(), fileName);
}

bool JournalHasEntries(const std::string& fileName) {
  struct stat st {};
  return ::stat(fileName.c_str(), &st) == 0 && static_cast<std::size_t>(st.st_size) > kHeaderRecordSize;
}

// ---- TJournalWriter -----------------------------------------------------------------------------

TJournalWriter::TJournalWriter() : syncThread_([this] { SyncLoop(); }) {}

TJournalWriter::~TJournalWriter() {
  Close();
  Discard();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  syncThread_.join();
}

void TJournalWriter::SyncLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    wake_.wait_for(lock, std::chrono::seconds(1));
    if (syncFd_ >= 0 && dirty_.exchange(false)) ::fdatasync(syncFd_);
  }
}

void TJournalWriter::Replace(int fd, std::uint64_t end) {
  int old = -1;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old = fd_;
    if (old >= 0 && dirty_.exchange(false)) ::fdatasync(old);
    fd_ = fd;
    syncFd_ = fd;
    end_ = end;
  }
  if (old >= 0) ::close(old);
}

namespace {
int CreateWithHeader(const std::string& fileName, const TJournalHeader& header, std::uint64_t& end) {
  const int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw EFCreateError(fmt::sprintf("Cannot create file \"%s\". %s", fileName, SystemError(errno)));
  const std::string bytes = EncodeJournalHeader(header);
  try {
    WriteAll(fd, bytes, fileName);
  } catch (...) {
    ::close(fd);
    throw;
  }
  if (::fdatasync(fd) != 0) {
    const int err = errno;
    ::close(fd);
    throw EFCreateError(fmt::sprintf("Cannot create file \"%s\". %s", fileName, SystemError(err)));
  }
  end = bytes.size();
  return fd;
}
}  // namespace

void TJournalWriter::Start(const std::string& fileName, const TJournalHeader& header) {
  std::uint64_t end = 0;
  const int fd = CreateWithHeader(fileName, header, end);
  name_ = fileName;
  unwritten_.clear();
  Replace(fd, end);
}

void TJournalWriter::Continue(const std::string& fileName, std::uint64_t validEnd) {
  const int fd = ::open(fileName.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) throw EFOpenError(fmt::sprintf("Cannot open file \"%s\". %s", fileName, SystemError(errno)));
  if (::ftruncate(fd, static_cast<off_t>(validEnd)) != 0 || ::lseek(fd, static_cast<off_t>(validEnd), SEEK_SET) < 0) {
    const int err = errno;
    ::close(fd);
    throw EFOpenError(fmt::sprintf("Cannot open file \"%s\". %s", fileName, SystemError(err)));
  }
  name_ = fileName;
  unwritten_.clear();
  Replace(fd, validEnd);
}

void TJournalWriter::Prepare(const std::string& tempName, const TJournalHeader& header) {
  Discard();
  preparedFd_ = CreateWithHeader(tempName, header, preparedEnd_);
}

void TJournalWriter::Adopt() {
  if (preparedFd_ < 0) return;
  unwritten_.clear();
  Replace(preparedFd_, preparedEnd_);
  preparedFd_ = -1;
}

void TJournalWriter::Discard() {
  if (preparedFd_ >= 0) ::close(preparedFd_);
  preparedFd_ = -1;
}

void TJournalWriter::Append(const TJournalPage& page) {
  unwritten_ += EncodeJournalPage(page);
  if (fd_ < 0) throw EInOutError("The crawl journal is not open.");
  try {
    WriteAll(fd_, unwritten_, name_);
  } catch (...) {
    // A record cut short would end the journal for good: every later record would follow damage.
    if (::ftruncate(fd_, static_cast<off_t>(end_)) == 0) ::lseek(fd_, static_cast<off_t>(end_), SEEK_SET);
    throw;
  }
  end_ += unwritten_.size();
  unwritten_.clear();
  dirty_ = true;
}

void TJournalWriter::Close() { Replace(-1, 0); }

// ---- completing an interrupted save ----------------------------------------------------------------

namespace {
// The files in fileName's folder that a TReplacement of fileName made (not the XML writer's own).
std::vector<std::string> ReplacementsOf(const std::string& fileName) {
  namespace fs = std::filesystem;
  const fs::path path(fileName);
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  const std::string base = path.filename().string();
  std::vector<std::string> found;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (IsReplacementName(name, base) && name.size() == base.size() + std::string_view(".saving-XXXXXX").size())
      found.push_back((folder / name).string());
  }
  return found;
}

// The file among fileName and its temporary files whose size and CRC are wanted, or nullopt.
std::optional<std::string> FindVersion(const std::string& fileName, std::uint64_t size, std::uint32_t crc) {
  std::vector<std::string> candidates{fileName};
  for (std::string& temp : ReplacementsOf(fileName)) candidates.push_back(std::move(temp));
  for (const std::string& candidate : candidates) {
    try {
      if (FileCheck(candidate) == std::pair{size, crc}) return candidate;
    } catch (const EInOutError&) {
      // Not there, or not readable: not the version wanted.
    }
  }
  return std::nullopt;
}

void RenameInto(const std::string& from, const std::string& to) {
  if (from != to && std::rename(from.c_str(), to.c_str()) != 0)
    throw EFCreateError(fmt::sprintf("Cannot create file \"%s\". %s", to, SystemError(errno)));
}
}  // namespace

std::string RecoverInterruptedSave(const std::string& treeFile, const std::string& queueFile,
                                   const std::string& journalFile) {
  for (const std::string& temp : ReplacementsOf(journalFile)) {
    TJournalContents contents;
    try {
      contents = ReadJournal(temp);
    } catch (const EInOutError&) {
      continue;
    }
    // The save writes its journal only after both files of the pair are whole and synced.
    if (!contents.hasHeader || !contents.header.pair || !contents.pages.empty()) continue;
    const TPairId& pair = *contents.header.pair;
    const std::optional<std::string> tree = FindVersion(treeFile, pair.treeSize, pair.treeCrc);
    const std::optional<std::string> queue = FindVersion(queueFile, pair.queueSize, pair.queueCrc);
    if (!tree || !queue) continue;
    RenameInto(*tree, treeFile);
    RenameInto(*queue, queueFile);
    RenameInto(temp, journalFile);
    SyncFolderOf(journalFile);
    return fmt::sprintf("A save of %s and %s that was interrupted has been completed.", treeFile, queueFile);
  }
  return {};
}
