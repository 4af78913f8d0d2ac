#pragma once
// The files of a saved crawl state, apart from the tree file (model/helper.h): the queue file and
// the replacement of a file as a whole.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Replaces fileName with content as a whole: writes a temporary file beside it, flushes it and renames
// it over fileName. On failure fileName is left as it was and no temporary file remains. A new file
// gets the mode of the file it replaces, else what the umask allows. Throws EFCreateError when the
// file cannot be created or renamed, EInOutError when it cannot be written.
void ReplaceFile(const std::string& fileName, std::string_view content);

// One line of a queue file: the ID in decimal digits, ended by CR LF. A queue file is these lines in
// queue order; an empty queue gives an empty file.
std::string QueueFileLine(std::int32_t id);

// The lines of text: a line ends at CR, LF or CR LF; text after the last line break is a last line;
// a final line break does not make an extra empty line.
std::vector<std::string_view> SplitLines(std::string_view text);

// Reads the IDs of the queue file fileName, one per line, in order. Throws EFOpenError when the file
// cannot be read, and EConvertError "'%s' is not a valid integer value" for the first line that is
// not a decimal 32-bit integer (an empty line included).
std::vector<std::int32_t> ReadQueueFile(const std::string& fileName);
