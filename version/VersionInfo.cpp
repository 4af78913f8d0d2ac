#include "version/VersionInfo.h"

#include <fmt/printf.h>

#include <cstring>
#include <vector>

#include "platform/version_resource.h"

const std::array<const char*, TVersionInfo::kValueCount> TVersionInfo::kValueNames = {
    "CompanyName",     "FileDescription",  "FileVersion", "InternalName",   "LegalCopyright",
    "LegalTrademarks", "OriginalFilename", "ProductName", "ProductVersion", "Comments",
};

namespace {

constexpr int kFileVersionIndex = 2;

}  // namespace

TVersionInfo::TVersionInfo(const std::string& fileName) {
  std::uint32_t handle = 0;
  const std::uint32_t size = platform::GetFileVersionInfoSizeA(fileName.c_str(), &handle);
  data_ = std::make_unique<std::uint8_t[]>(std::size_t{size} + 1);
  if (!platform::GetFileVersionInfoA(fileName.c_str(), handle, size, data_.get())) return;

  void* table = nullptr;
  std::uint32_t tableLength = 0;
  // An empty table has no first entry to take the translation from.
  if (!platform::VerQueryValueA(data_.get(), "\\VarFileInfo\\Translation", &table, &tableLength) ||
      tableLength < sizeof(std::uint32_t)) {
    return;
  }
  std::uint32_t first = 0;
  std::memcpy(&first, table, sizeof first);
  Translation = fmt::sprintf("%.4X%.4X", first & 0xFFFF, first >> 16);
  HasInfo = true;

  for (int i = 0; i < kValueCount; ++i) Values[i] = GetValue(kValueNames[i]);
  ParseVersion(GetValueByIndex(kFileVersionIndex));
}

TVersionInfo::~TVersionInfo() = default;

std::string TVersionInfo::GetValue(const std::string& keyName) const {
  if (!HasInfo) return "N/A";
  const std::string path = fmt::sprintf("\\StringFileInfo\\%s\\%s", Translation, keyName);
  void* value = nullptr;
  std::uint32_t length = 0;
  if (!platform::VerQueryValueA(data_.get(), path.c_str(), &value, &length) || length == 0) return "";
  return std::string(static_cast<const char*>(value), length - 1);
}

const std::string& TVersionInfo::GetValueByIndex(int index) const {
  if (index < 0 || index >= kValueCount) throw Exception(fmt::sprintf("List index out of bounds (%d)", index));
  return Values[index];
}

void TVersionInfo::ParseVersion(const std::string& text) {
  std::vector<std::string> parts;
  for (std::size_t start = 0; !text.empty();) {
    const std::size_t dot = text.find('.', start);
    parts.push_back(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  std::array<std::int32_t, 4> numbers{};
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    if (i >= parts.size()) throw Exception(fmt::sprintf("List index out of bounds (%d)", static_cast<int>(i)));
    numbers[i] = StrToInt(parts[i]);
  }
  Major = numbers[0];
  Minor = numbers[1];
  Release = numbers[2];
  Build = numbers[3];
}

std::string TVersionInfo::VersionToString(std::int32_t major, std::int32_t minor, std::int32_t release,
                                          std::int32_t build) {
  return fmt::sprintf("%d.%d.%d.%d", major, minor, release, build);
}

std::string VersionCaptionText(const std::string& fileName, const TVersionErrorHandler& onError) {
  std::int32_t major = 0, minor = 0, release = 0, build = 0;
  try {
    const TVersionInfo info(fileName);
    if (info.HasInfo) {
      major = info.Major;
      minor = info.Minor;
      release = info.Release;
      build = info.Build;
    }
  } catch (const Exception& error) {
    // The caption still gets a version; the caller logs why it is not the real one.
    if (onError) onError(error);
  }
  return TVersionInfo::VersionToString(major, minor, release, build);
}

std::string ProgramVersionText(const TVersionErrorHandler& onError) {
  return VersionCaptionText("/proc/self/exe", onError);
}
