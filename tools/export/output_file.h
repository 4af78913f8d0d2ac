#pragma once
// An output file that appears whole or not at all: written to a temporary file beside it and renamed
// into place by Commit.

#include <string>
#include <string_view>

#include "common/exceptions.h"

namespace exporter {

// The output exists and may not be replaced.
WEXA_DECLARE_EXCEPTION(EOutputExists, EFCreateError)

// A new output file. Until Commit the file itself is untouched; destroyed without Commit, the temporary
// file is removed. Not copyable; one thread.
class TOutputFile {
 public:
  // Creates the temporary file "<fileName>.XXXXXX" (empty). Unless overwrite, throws EOutputExists when
  // fileName exists already (a dangling link or a folder included). Throws EFCreateError when the
  // temporary file cannot be created.
  TOutputFile(std::string fileName, bool overwrite);
  TOutputFile(const TOutputFile&) = delete;
  TOutputFile& operator=(const TOutputFile&) = delete;
  ~TOutputFile();

  const std::string& TempName() const { return tempName_; }
  // Appends text. Writes in large blocks; throws EInOutError when a block cannot be written.
  void Write(std::string_view text);
  // Writes the rest, closes the temporary file and renames it to the file name. Unless overwrite, the
  // rename never replaces a file that appeared meanwhile: it throws EOutputExists instead. The new file
  // gets the mode of the file it replaces, else what the umask allows. Throws EInOutError or
  // EFCreateError on failure; the temporary file is then removed by the destructor.
  void Commit();

 private:
  void Flush();

  std::string fileName_;
  std::string tempName_;
  bool overwrite_;
  int fd_ = -1;
  std::string buffer_;
  bool committed_ = false;
};

// The message of EOutputExists for fileName.
std::string OutputExistsMessage(const std::string& fileName);

}  // namespace exporter
