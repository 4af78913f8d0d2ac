#include "common/file_mode.h"

#include <sys/stat.h>

mode_t ReplacementFileMode(const std::string& fileName) {
  struct stat st;
  if (::stat(fileName.c_str(), &st) == 0) return st.st_mode & 07777;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}
