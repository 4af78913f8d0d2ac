#pragma once
// The files of a saved crawl state, apart from the tree file (model/helper.h): the queue file and
// the replacement of a file as a whole.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A new version of a file, written to a temporary file beside it and put in its place by Commit.
// Until then the file itself is untouched; destroyed without Commit, the temporary file is removed.
// That lets a save put several files in place only once all of them have been written.
// The temporary file is named "<fileName>.saving-XXXXXX" (six letters or digits), a name that only
// this class gives, so that one left by a killed save can be told from the user's own files.
class TReplacement {
 public:
  // Creates the temporary file (empty) with the mode of fileName, else what the umask allows.
  // Throws EFCreateError.
  explicit TReplacement(std::string fileName);
  TReplacement(const TReplacement&) = delete;
  TReplacement& operator=(const TReplacement&) = delete;
  ~TReplacement();

  // The temporary file; whoever writes it otherwise must leave a complete file under this name.
  const std::string& TempName() const { return tempName_; }
  // Replaces the temporary file's content with content, flushed to the system. Throws EInOutError.
  void Write(std::string_view content);
  // Renames the temporary file over the file. Throws EFCreateError.
  void Commit();
  // From now on the temporary file stays when this object is destroyed without Commit: a save whose
  // first rename has happened leaves the rest for the next load to put in place.
  void Keep() { kept_ = true; }

 private:
  std::string fileName_;
  std::string tempName_;
  bool committed_ = false;
  bool kept_ = false;
};

// True when name (a file name without folder) is a temporary file that TReplacement makes for the
// file named base, or the XML writer's temporary file beside such a file ("<that name>.XXXXXX").
bool IsReplacementName(std::string_view name, std::string_view base);

// Removes the temporary files of fileName that a killed save left behind (see IsReplacementName):
// regular files only, in fileName's folder. Nothing else is touched; a file that cannot be removed
// is left as it is.
void RemoveStaleReplacements(const std::string& fileName);

// One line of a queue file: the ID in decimal digits, ended by CR LF. A queue file is these lines in
// queue order; an empty queue gives an empty file.
std::string QueueFileLine(std::int32_t id);

// The lines of text: a line ends at CR, LF or CR LF; text after the last line break is a last line;
// a final line break does not make an extra empty line.
std::vector<std::string_view> SplitLines(std::string_view text);

// Reads the IDs of the queue file fileName, one per line, in order. Throws EFOpenError when the file
// cannot be read, and EConvertError "'%s' is not a valid integer value" for the first line that is
// not a decimal 32-bit integer (an empty line included); both marked as input errors of fileName
// (Exception::SetInput), the latter with its line.
std::vector<std::int32_t> ReadQueueFile(const std::string& fileName);

// Syncs the file's data to the disk (fsync). Throws EInOutError.
void SyncFile(const std::string& fileName);
// Syncs the folder that holds fileName, so that renames and new names in it survive a power cut.
// Throws EInOutError.
void SyncFolderOf(const std::string& fileName);

// Which file a name stands for at one moment: a file replaced by a rename is another file.
struct TFileStamp {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modifiedNs = 0;
  bool operator==(const TFileStamp&) const = default;
};
// The stamp of fileName, or nullopt when there is no such file.
std::optional<TFileStamp> StampOf(const std::string& fileName);
