#pragma once
// Version resources of executable files, with the interface of the Windows version API (8-bit
// variants). On Linux the version data is a block in the Windows version-resource layout (see
// version/version_block.h) stored in the ELF section ".wexa_version" of the file; a file without
// that section, or one that is not a readable ELF64 little-endian file, has no version information.
//
// The functions keep no state between calls and are safe to call from any thread. Every length and
// offset read from the file or the block is checked: a truncated or malformed file reads as "no
// version information".

#include <cstdint>

namespace platform {

inline constexpr const char* kVersionSectionName = ".wexa_version";

// Size in bytes of the block that GetFileVersionInfoA needs for the file's version data: the data
// itself and room for the 8-bit copies of its strings that VerQueryValueA makes. 0 when the file has
// no version information (or cannot be read). Sets *handle to 0 when handle is not null.
std::uint32_t GetFileVersionInfoSizeA(const char* fileName, std::uint32_t* handle);

// Copies the file's version data into data, which must hold len bytes. handle is ignored. Fails
// (returns false) when the file has no version information, when data is null, or when len is less
// than GetFileVersionInfoSizeA reports: a cut-off copy would hold lengths that point past its end.
bool GetFileVersionInfoA(const char* fileName, std::uint32_t handle, std::uint32_t len, void* data);

// Looks up a value in a block filled by GetFileVersionInfoA, by its path of keys separated by '\'
// (keys compared ignoring ASCII letter case):
//   "\"                               the fixed part (VS_FIXEDFILEINFO); *len is its size in bytes
//   "\VarFileInfo\Translation"        the translation table: pairs of 16-bit language and code
//                                     page; *len is its size in bytes
//   "\StringFileInfo\040904E4\Key"    a string value as zero-terminated 8-bit text (UTF-8); *len is
//                                     its length in characters (bytes) including the zero
// On success *buffer points into the block and stays valid as long as the block. As on Windows, a
// string value is converted into spare room at the end of the block, so the block must be writable
// memory even though it is passed as const; converting the same value again writes the same bytes
// to the same place. Returns false when the path names no value, or names a binary value of size 0,
// or when an argument is null.
bool VerQueryValueA(const void* block, const char* subBlock, void** buffer, std::uint32_t* len);

}  // namespace platform
