#pragma once
// The crawl journal: the log of the pages parsed since the saved pair (tree.xml, queue.lst) was
// written, so that a crawl killed at any moment resumes with at most the pages in flight lost.
//
// File format. A sequence of records, each
//   u32 length of the payload | u8 type | u32 CRC-32C of length and type | payload | u32 CRC-32C of
//   type and payload
// all integers little-endian. The first record is the header (type 1, fixed size); every further
// record is one parsed page (type 2). The header names the pair the journal extends by the sizes and
// CRC-32C of both files, or names none: then it extends an empty crawl. A record cut short at the end
// of the file, or a last record whose payload check fails, or a tail of zero bytes, is a torn tail
// (the process died while writing it) and is dropped; anything else that does not check is damage.
//
// Text is stored as UTF-16 code units, as the records hold it, so that replay is exact.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/exceptions.h"

// A journal that cannot be used: damaged before its last record, or one that does not fit the state
// it is replayed onto. The message names the file and the record's offset.
WEXA_DECLARE_EXCEPTION(EJournalError, EInOutError)

// CRC-32C (Castagnoli) of data, continuing from crc (0 to start).
std::uint32_t Crc32c(std::string_view data, std::uint32_t crc = 0);

// What identifies a saved pair: the size and CRC-32C of each file.
struct TPairId {
  std::uint64_t treeSize = 0;
  std::uint32_t treeCrc = 0;
  std::uint64_t queueSize = 0;
  std::uint32_t queueCrc = 0;
  bool operator==(const TPairId&) const = default;
};

// The identity of the pair in these two files. Throws EFOpenError when one cannot be read.
TPairId PairIdOfFiles(const std::string& treeFile, const std::string& queueFile);
// The size and CRC-32C of one file, as TPairId holds them. Throws EFOpenError.
std::pair<std::uint64_t, std::uint32_t> FileCheck(const std::string& fileName);

struct TJournalHeader {
  // The pair the entries extend; nullopt: they extend an empty crawl.
  std::optional<TPairId> pair;
  // The minimum content count the crawl was started with.
  std::int32_t minContent = 0;
  bool operator==(const TJournalHeader&) const = default;
};

// One record a parsed page made, in the order the page made them.
struct TJournalItem {
  enum TKind : std::uint8_t {
    jkQueued = 0,    // a real category, pushed onto the queue
    jkUnqueued = 1,  // a real category that was found in the queue already (the duplicate stop)
    jkSymbolic = 2,  // a symbolic category
  };
  TKind kind = jkQueued;
  std::int32_t id = 0;       // real categories only
  std::int32_t content = 0;  // real categories only
  std::u16string name;
  std::u16string url;
  bool operator==(const TJournalItem&) const = default;
};

// Everything one parsed page changed.
struct TJournalPage {
  // The home page: its categories are the top-level nodes.
  bool root = false;
  // The ID of the category whose page this is (the one taken from the queue last); 0 for the home page.
  std::int32_t takenID = 0;
  // The minimum content count the page was parsed with.
  std::int32_t minContent = 0;
  // The address the page was shown at; the first real category with exactly this address is the
  // parent of the items (none: they go to the top level).
  std::u16string location;
  std::vector<TJournalItem> items;
  bool operator==(const TJournalPage&) const = default;
};

// The record bytes of a header or a page, as they are appended to the file.
std::string EncodeJournalHeader(const TJournalHeader& header);
std::string EncodeJournalPage(const TJournalPage& page);

// A journal as read from its file.
struct TJournalContents {
  // False when the file holds no whole header (empty, zero-filled, or torn while it was started);
  // such a journal has no entries.
  bool hasHeader = false;
  TJournalHeader header;
  std::vector<TJournalPage> pages;
  // The offset of each page's record in the file.
  std::vector<std::uint64_t> pageOffsets;
  // Number of whole pages (also when they were not kept).
  std::size_t pageCount = 0;
  // Bytes of the header and the whole pages; an append continues here.
  std::uint64_t validEnd = 0;
  // Offset of a torn tail that was dropped, if any.
  std::optional<std::uint64_t> tornAt;
};

// Called for each whole page of a journal, in order, with the offset of its record.
using TJournalVisitor = std::function<void(const TJournalPage& page, std::uint64_t offset)>;

// Checks every record of journal bytes and hands each page to onPage (may be empty) without keeping
// it; the result holds no pages. fileName only names the file in errors. Throws as ParseJournal.
TJournalContents ScanJournal(std::string_view bytes, const std::string& fileName, const TJournalVisitor& onPage);
// The header of journal bytes alone (hasHeader false when there is no whole one); what follows it is
// not checked. Throws EJournalError when the first record is damaged.
TJournalContents ParseJournalHeader(std::string_view bytes, const std::string& fileName);

// A journal file mapped into memory for reading, so that a long journal is scanned without a copy.
class TJournalMapping {
 public:
  // Throws EFOpenError when the file cannot be opened or mapped.
  explicit TJournalMapping(const std::string& fileName);
  TJournalMapping(const TJournalMapping&) = delete;
  TJournalMapping& operator=(const TJournalMapping&) = delete;
  ~TJournalMapping();
  std::string_view Bytes() const { return {data_ ? data_ : "", size_}; }

 private:
  const char* data_ = nullptr;
  std::size_t size_ = 0;
};

// Parses journal bytes and keeps every page; fileName only names the file in errors. Throws EJournalError naming the file
// and offset for a damaged record before the last one, an unknown record type or a malformed payload.
TJournalContents ParseJournal(std::string_view bytes, const std::string& fileName);
// Reads and parses fileName. Throws EFOpenError when it cannot be read, and as ParseJournal.
TJournalContents ReadJournal(const std::string& fileName);
// True when fileName exists and holds more than a header: it records work that no pair holds.
// Does not check the records.
bool JournalHasEntries(const std::string& fileName);

// Completes a save that was killed after its first rename: when a temporary journal of the save
// ("<journalFile>.saving-XXXXXX") is whole and the pair it names is there, in the files themselves or
// in their temporary files, those are renamed into place. Returns a line for the log saying so, or an
// empty text when there was nothing to complete. Throws the file errors of the renames.
std::string RecoverInterruptedSave(const std::string& treeFile, const std::string& queueFile,
                                   const std::string& journalFile);

// Appends records to a journal file. The bytes of a record are handed to the system (write) before
// Append returns; a thread of its own syncs the file to the disk (fdatasync) at most one second
// after each append, and Close syncs what is left. Used from one thread (the window's); the sync
// thread touches only the open file.
class TJournalWriter {
 public:
  TJournalWriter();
  TJournalWriter(const TJournalWriter&) = delete;
  TJournalWriter& operator=(const TJournalWriter&) = delete;
  ~TJournalWriter();

  // Creates fileName anew with header (any earlier file is replaced) and syncs it. Throws EFCreateError.
  void Start(const std::string& fileName, const TJournalHeader& header);
  // Opens fileName to append after its first validEnd bytes; what follows them (a torn tail) is
  // cut off. Throws EFOpenError.
  void Continue(const std::string& fileName, std::uint64_t validEnd);
  // Writes a new journal holding header alone to tempName and syncs it, without touching the open
  // journal. Adopt makes it the open journal once it has been renamed into place. Throws EFCreateError.
  void Prepare(const std::string& tempName, const TJournalHeader& header);
  // The prepared journal becomes the open one (the earlier one is closed); entries not written
  // because of an earlier error are dropped: the pair the new header names holds them.
  void Adopt();
  // Drops a prepared journal that was not adopted (its file is left to the caller).
  void Discard();
  // Appends page. Throws EInOutError when the system refuses the bytes (disk full): the file is cut
  // back to its last whole record, and the page is written before the next one at the next Append.
  void Append(const TJournalPage& page);
  // Syncs and closes the open journal, if any.
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  // Pages that an earlier Append could not write yet.
  bool HasUnwritten() const { return !unwritten_.empty(); }

 private:
  void SyncLoop();
  void Replace(int fd, std::uint64_t end);

  int fd_ = -1;
  std::uint64_t end_ = 0;
  int preparedFd_ = -1;
  std::uint64_t preparedEnd_ = 0;
  std::string unwritten_;
  std::string name_;

  std::mutex mutex_;  // guards syncFd_ and stop_ against the sync thread
  std::condition_variable wake_;
  int syncFd_ = -1;
  bool stop_ = false;
  std::atomic<bool> dirty_{false};
  std::thread syncThread_;
};
