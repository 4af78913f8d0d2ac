#pragma once
// Compile-time builder of a version block in the Windows version-resource layout.
//
// The block is what platform/version_resource.h reads back out of an executable:
//
//   VS_VERSIONINFO          key "VS_VERSION_INFO", value VS_FIXEDFILEINFO (binary)
//     StringFileInfo        key "StringFileInfo" (text node, no value)
//       StringTable         key: language and code page as eight hexadecimal digits, e.g. "040904E4"
//         String ...        key: the name, value: the text, UTF-16LE, zero-terminated
//     VarFileInfo           key "VarFileInfo" (text node, no value)
//       Var                 key "Translation", value: one 16-bit language and one 16-bit code page
//
// Every node starts with three 16-bit words (length of the node in bytes, value length, type: 0
// binary, 1 text), then its zero-terminated UTF-16LE key; the value and each child start on a 32-bit
// boundary, counted from the start of the block. A text value's length counts 16-bit characters
// including the terminating zero, a binary value's length counts bytes. A node's length does not
// include the padding after its last child.
//
// Everything here is constexpr: a bad input (invalid UTF-8, a version that is not four numbers, a
// block larger than 64 KiB) stops the compilation when it is evaluated at compile time and throws
// std::invalid_argument when it is evaluated at run time.

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace version {

// One entry of the string table: key and value as UTF-8.
struct TVersionString {
  std::string_view Key;
  std::string_view Value;
};

// What goes into a block: the numbers of the fixed part, the translation and the string table.
template <std::size_t K>
struct TVersionBlockContent {
  std::array<std::uint16_t, 4> FileVersion{};
  std::array<std::uint16_t, 4> ProductVersion{};
  std::uint16_t Language = 0x0409;  // US English
  std::uint16_t CodePage = 0x04E4;  // Windows Latin-1
  std::array<TVersionString, K> Strings{};
};

inline constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
inline constexpr std::uint32_t kFixedFileInfoStrucVersion = 0x00010000;
inline constexpr std::uint32_t kFixedFileInfoTypeApp = 1;  // VFT_APP
inline constexpr std::size_t kFixedFileInfoSize = 13 * 4;

// "a.b.c.d", each part a decimal number from 0 to 65535. Exactly four parts, as the fixed part of
// the block and the "FileVersion" string both carry four numbers.
constexpr std::array<std::uint16_t, 4> ParseVersionNumbers(std::string_view text) {
  std::array<std::uint16_t, 4> numbers{};
  std::size_t part = 0;
  std::size_t pos = 0;
  while (true) {
    if (part == numbers.size()) throw std::invalid_argument("a version has four numbers");
    std::uint32_t value = 0;
    const std::size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      value = value * 10 + static_cast<std::uint32_t>(text[pos] - '0');
      if (value > 0xFFFF) throw std::invalid_argument("a version number is at most 65535");
      ++pos;
    }
    if (pos == start) throw std::invalid_argument("a version number is a decimal number");
    numbers[part++] = static_cast<std::uint16_t>(value);
    if (pos == text.size()) break;
    if (text[pos] != '.') throw std::invalid_argument("version numbers are separated by '.'");
    ++pos;
  }
  if (part != numbers.size()) throw std::invalid_argument("a version has four numbers");
  return numbers;
}

namespace detail {

// Decodes one UTF-8 sequence at pos; advances pos. Throws on malformed input.
constexpr char32_t DecodeUtf8(std::string_view text, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  // Sequence length, payload bits of the lead byte, smallest code point of that length.
  std::size_t length = 0;
  char32_t c = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    c = lead & 0x1F;
    minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    c = lead & 0x0F;
    minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    c = lead & 0x07;
    minimum = 0x10000;
  } else {
    throw std::invalid_argument("invalid UTF-8 in a version string");
  }
  if (text.size() - pos < length) throw std::invalid_argument("truncated UTF-8 in a version string");
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(pos + i) & 0xC0) != 0x80) throw std::invalid_argument("invalid UTF-8 in a version string");
    c = (c << 6) | (byte(pos + i) & 0x3F);
  }
  if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    throw std::invalid_argument("invalid UTF-8 in a version string");
  }
  pos += length;
  return c;
}

// Number of UTF-16 code units of a UTF-8 text, without a terminating zero.
constexpr std::size_t Utf16Length(std::string_view text) {
  std::size_t units = 0;
  for (std::size_t pos = 0; pos < text.size();) units += DecodeUtf8(text, pos) >= 0x10000 ? 2 : 1;
  return units;
}

// Writes the block into out, or only measures it when out is null (the first of the two passes).
class TBlockWriter {
 public:
  constexpr TBlockWriter(std::uint8_t* out, std::size_t capacity) : out_(out), capacity_(capacity) {}

  constexpr std::size_t Position() const { return pos_; }

  constexpr void Put8(std::uint8_t value) {
    if (out_ != nullptr) {
      if (pos_ >= capacity_) throw std::invalid_argument("version block larger than measured");
      out_[pos_] = value;
    }
    ++pos_;
  }
  constexpr void Put16(std::uint16_t value) {
    Put8(static_cast<std::uint8_t>(value & 0xFF));
    Put8(static_cast<std::uint8_t>(value >> 8));
  }
  constexpr void Put32(std::uint32_t value) {
    Put16(static_cast<std::uint16_t>(value & 0xFFFF));
    Put16(static_cast<std::uint16_t>(value >> 16));
  }
  constexpr void Align4() {
    while (pos_ % 4 != 0) Put8(0);
  }
  // UTF-8 text as UTF-16LE with a terminating zero.
  constexpr void PutText(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
      char32_t c = DecodeUtf8(text, pos);
      if (c >= 0x10000) {
        c -= 0x10000;
        Put16(static_cast<std::uint16_t>(0xD800 + (c >> 10)));
        Put16(static_cast<std::uint16_t>(0xDC00 + (c & 0x3FF)));
      } else {
        Put16(static_cast<std::uint16_t>(c));
      }
    }
    Put16(0);
  }

  // Starts a node: header with a length to be filled in by EndNode, the key, padding to the value.
  constexpr std::size_t BeginNode(std::string_view key, std::size_t valueLength, std::uint16_t type) {
    if (valueLength > 0xFFFF) throw std::invalid_argument("version value too long");
    Align4();
    const std::size_t start = pos_;
    Put16(0);
    Put16(static_cast<std::uint16_t>(valueLength));
    Put16(type);
    PutText(key);
    Align4();
    return start;
  }
  constexpr void EndNode(std::size_t start) {
    const std::size_t length = pos_ - start;
    if (length > 0xFFFF) throw std::invalid_argument("version block larger than 64 KiB");
    if (out_ != nullptr) {
      out_[start] = static_cast<std::uint8_t>(length & 0xFF);
      out_[start + 1] = static_cast<std::uint8_t>(length >> 8);
    }
  }

 private:
  std::uint8_t* out_;
  std::size_t capacity_;
  std::size_t pos_ = 0;
};

constexpr char HexDigit(unsigned value) {
  return static_cast<char>(value < 10 ? '0' + value : 'A' + (value - 10));
}

template <std::size_t K>
constexpr void WriteBlock(TBlockWriter& w, const TVersionBlockContent<K>& content) {
  const auto& fv = content.FileVersion;
  const auto& pv = content.ProductVersion;
  const std::size_t root = w.BeginNode("VS_VERSION_INFO", kFixedFileInfoSize, 0);
  w.Put32(kFixedFileInfoSignature);
  w.Put32(kFixedFileInfoStrucVersion);
  w.Put32(static_cast<std::uint32_t>(fv[0]) << 16 | fv[1]);
  w.Put32(static_cast<std::uint32_t>(fv[2]) << 16 | fv[3]);
  w.Put32(static_cast<std::uint32_t>(pv[0]) << 16 | pv[1]);
  w.Put32(static_cast<std::uint32_t>(pv[2]) << 16 | pv[3]);
  w.Put32(0x3F);                   // file flags mask
  w.Put32(0);                      // file flags: a release build
  w.Put32(0);                      // operating system: none of the Windows ones
  w.Put32(kFixedFileInfoTypeApp);  // file type
  w.Put32(0);                      // file subtype
  w.Put32(0);                      // file date, high and low word: not recorded
  w.Put32(0);

  const std::size_t stringFileInfo = w.BeginNode("StringFileInfo", 0, 1);
  char tableKey[8] = {};
  const std::uint32_t translation = static_cast<std::uint32_t>(content.Language) << 16 | content.CodePage;
  for (int i = 0; i < 8; ++i) tableKey[i] = HexDigit((translation >> (28 - 4 * i)) & 0xF);
  const std::size_t table = w.BeginNode(std::string_view(tableKey, 8), 0, 1);
  for (const TVersionString& s : content.Strings) {
    const std::size_t node = w.BeginNode(s.Key, Utf16Length(s.Value) + 1, 1);
    w.PutText(s.Value);
    w.EndNode(node);
  }
  w.EndNode(table);
  w.EndNode(stringFileInfo);

  const std::size_t varFileInfo = w.BeginNode("VarFileInfo", 0, 1);
  const std::size_t var = w.BeginNode("Translation", 4, 0);
  w.Put16(content.Language);
  w.Put16(content.CodePage);
  w.EndNode(var);
  w.EndNode(varFileInfo);
  w.EndNode(root);
}

}  // namespace detail

// Size in bytes of the block that BuildVersionBlock makes of content.
template <std::size_t K>
constexpr std::size_t VersionBlockSize(const TVersionBlockContent<K>& content) {
  detail::TBlockWriter measure(nullptr, 0);
  detail::WriteBlock(measure, content);
  return measure.Position();
}

// The block of content. N must be VersionBlockSize(content).
template <std::size_t N, std::size_t K>
constexpr std::array<std::uint8_t, N> BuildVersionBlock(const TVersionBlockContent<K>& content) {
  std::array<std::uint8_t, N> block{};
  detail::TBlockWriter writer(block.data(), block.size());
  detail::WriteBlock(writer, content);
  if (writer.Position() != N) throw std::invalid_argument("version block size differs from N");
  return block;
}

}  // namespace version
