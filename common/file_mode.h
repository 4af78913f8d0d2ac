#pragma once
// The permission bits a new file gets when it replaces another one as a whole.

#include <sys/types.h>

#include <string>

// The mode of fileName when it exists, else the default mode that the umask allows (0666 & ~umask).
// Reads the umask by setting it and putting it back: call it from one thread at a time.
mode_t ReplacementFileMode(const std::string& fileName);
