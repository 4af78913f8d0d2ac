#include "output_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/printf.h>

namespace exporter {

namespace {

constexpr std::size_t kBlockSize = 1 << 16;

bool Exists(const std::string& fileName) {
  struct stat st;
  return ::lstat(fileName.c_str(), &st) == 0;
}

mode_t NewFileMode(const std::string& fileName) {
  struct stat st;
  if (::stat(fileName.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

std::string OutputExistsMessage(const std::string& fileName) {
  return fmt::sprintf("%s exists already; use --force to replace it", fileName);
}

TOutputFile::TOutputFile(std::string fileName, bool overwrite)
    : fileName_(std::move(fileName)), tempName_(fileName_ + ".XXXXXX"), overwrite_(overwrite) {
  if (!overwrite_ && Exists(fileName_)) throw EOutputExists(OutputExistsMessage(fileName_));
  fd_ = ::mkstemp(tempName_.data());
  if (fd_ < 0) throw EFCreateError(fmt::sprintf("Cannot create file \"%s\". %s", fileName_, std::strerror(errno)));
  ::fchmod(fd_, NewFileMode(fileName_));
}

TOutputFile::~TOutputFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(tempName_.c_str());
}

void TOutputFile::Write(std::string_view text) {
  buffer_ += text;
  if (buffer_.size() >= kBlockSize) Flush();
}

void TOutputFile::Flush() {
  for (std::size_t done = 0; done < buffer_.size();) {
    const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      throw EInOutError(fmt::sprintf("Cannot write file \"%s\". %s", fileName_, std::strerror(n < 0 ? errno : EIO)));
    }
    done += static_cast<std::size_t>(n);
  }
  buffer_.clear();
}

void TOutputFile::Commit() {
  Flush();
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    throw EInOutError(fmt::sprintf("Cannot write file \"%s\". %s", fileName_, std::strerror(errno)));
  }
  if (!overwrite_) {
    // RENAME_NOREPLACE closes the gap between the check in the constructor and the rename. A file
    // system without it gets the check once more and a plain rename.
    if (::renameat2(AT_FDCWD, tempName_.c_str(), AT_FDCWD, fileName_.c_str(), RENAME_NOREPLACE) == 0) {
      committed_ = true;
      return;
    }
    if (errno == EEXIST) throw EOutputExists(OutputExistsMessage(fileName_));
    if (errno != EINVAL && errno != ENOSYS) {
      throw EFCreateError(fmt::sprintf("Cannot create file \"%s\". %s", fileName_, std::strerror(errno)));
    }
    if (Exists(fileName_)) throw EOutputExists(OutputExistsMessage(fileName_));
  }
  if (::rename(tempName_.c_str(), fileName_.c_str()) != 0) {
    throw EFCreateError(fmt::sprintf("Cannot create file \"%s\". %s", fileName_, std::strerror(errno)));
  }
  committed_ = true;
}

}  // namespace exporter
