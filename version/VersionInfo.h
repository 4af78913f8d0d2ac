#pragma once
// Unit VersionInfo: the version data of an executable file, read through the version-resource
// functions of platform/version_resource.h.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/exceptions.h"
#include "common/object.h"

// The version data of one file: the first translation, the ten standard string values and the four
// numbers of its "FileVersion". Everything is read by the constructor; afterwards the object only
// answers questions. It owns the version data block until it is destroyed. Not shared between
// threads.
class TVersionInfo : public TObject {
 public:
  // Number and names of the standard string values, in the order of Values.
  static constexpr int kValueCount = 10;
  static const std::array<const char*, kValueCount> kValueNames;

  // Reads the version data of the file at fileName (a full path). A file without version data, or
  // without a translation table, gives HasInfo false, empty Values and the numbers 0; that is not an
  // error. Throws when the "FileVersion" value does not parse (see ParseVersion).
  explicit TVersionInfo(const std::string& fileName);
  ~TVersionInfo() override;

  // The string value of keyName (any key, not only the ten; matched ignoring ASCII letter case)
  // under Translation. Empty text when the file has version information but not that value; "N/A"
  // when HasInfo is false.
  std::string GetValue(const std::string& keyName) const;
  // Values[index]. Throws Exception "List index out of bounds (%d)" unless 0 <= index < 10.
  const std::string& GetValueByIndex(int index) const;
  // Splits text at every "." and sets Major, Minor, Release and Build from the first four parts;
  // later parts are ignored. Throws Exception "List index out of bounds (%d)" when there are fewer
  // than four parts (empty text has none), EConvertError "'%s' is not a valid integer value" when
  // one of the four is not a decimal integer. On an error the numbers keep their old values.
  void ParseVersion(const std::string& text);
  // The four numbers in decimal, joined with ".": 1, 0, 0, 6 gives "1.0.0.6".
  static std::string VersionToString(std::int32_t major, std::int32_t minor, std::int32_t release,
                                     std::int32_t build);

  std::int32_t Major = 0;
  std::int32_t Minor = 0;
  std::int32_t Release = 0;
  std::int32_t Build = 0;
  // Language and code page of the first translation, four upper-case hexadecimal digits each,
  // language first ("040904E4"). Empty when HasInfo is false.
  std::string Translation;
  // True when the version data was read and holds a translation table.
  bool HasInfo = false;
  // The values of kValueNames, in that order.
  std::array<std::string, kValueCount> Values;

 private:
  // The file's whole version data as GetFileVersionInfoA returns it.
  std::unique_ptr<std::uint8_t[]> data_;
};

// Receives the error that kept the version from being read.
using TVersionErrorHandler = std::function<void(const Exception& error)>;

// The version for the window caption: VersionToString of the four numbers of the file's version
// data, "0.0.0.0" when the file has none. When reading fails with an Exception (a "FileVersion" that
// does not parse), the answer is "0.0.0.0" and the error goes to onError (when it is set) instead of
// leaving this function, so that the window is still created.
std::string VersionCaptionText(const std::string& fileName, const TVersionErrorHandler& onError);

// VersionCaptionText of the running program's own executable file.
std::string ProgramVersionText(const TVersionErrorHandler& onError);
