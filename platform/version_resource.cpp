#include "platform/version_resource.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace platform {
namespace {

// ELF structures are read by copying their bytes, which is only right on a little-endian host.
static_assert(std::endian::native == std::endian::little, "ELF64 little-endian reader on a big-endian host");

// A node's length is 16 bits wide, so a version resource is never larger than this.
constexpr std::uint64_t kMaxResourceSize = 0xFFFF;
// Guards against absurd allocations from corrupt headers; real executables have far fewer sections
// and section names.
constexpr std::uint64_t kMaxSections = 1u << 16;
constexpr std::uint64_t kMaxSectionNames = 1u << 20;
// Header of a node: length, value length, type.
constexpr std::size_t kNodeHeaderSize = 6;
constexpr std::uint16_t kTextNode = 1;

// After the resource (padded to 32 bits) the block holds a tail: a marker, the padded resource
// length, then the room for 8-bit string copies.
constexpr std::uint8_t kTailMarker[4] = {'W', 'X', 'V', '8'};
constexpr std::size_t kTailSize = 8;

constexpr std::size_t Align4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

// Room for the 8-bit copies. The copy of a text value at byte offset o with n 16-bit characters
// goes to CopyOffset(o), with room for 3 * n + 1 bytes: no character takes more than three bytes in
// UTF-8 (a surrogate pair takes four for two), plus the zero. Values never overlap and each is
// preceded by a node header, so their copies never overlap either.
constexpr std::size_t CopyRoom(std::size_t paddedLength) { return 3 * (paddedLength / 2 + 1); }
constexpr std::size_t CopyOffset(std::size_t valueOffset) { return valueOffset / 2 * 3; }

constexpr std::size_t BlockSize(std::size_t resourceLength) {
  const std::size_t padded = Align4(resourceLength);
  return padded + kTailSize + CopyRoom(padded);
}

std::uint16_t Read16(const std::uint8_t* p) {
  std::uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

std::uint32_t Read32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// One node of a version resource, located inside [start, end) of the block.
struct TNode {
  std::size_t start = 0;
  std::size_t end = 0;
  std::uint16_t valueLength = 0;
  std::uint16_t type = 0;
  std::size_t keyOffset = 0;  // first character of the key
  std::size_t keyUnits = 0;   // without the zero
  std::size_t valueOffset = 0;
  std::size_t valueBytes = 0;  // clipped to the node
  std::size_t childrenOffset = 0;
};

// The node at offset start, which must lie inside [start, limit). nullopt when its header or key
// does not fit there.
std::optional<TNode> ReadNode(const std::uint8_t* block, std::size_t start, std::size_t limit) {
  if (start > limit || limit - start < kNodeHeaderSize) return std::nullopt;
  TNode node;
  const std::uint16_t length = Read16(block + start);
  if (length < kNodeHeaderSize || length > limit - start) return std::nullopt;
  node.start = start;
  node.end = start + length;
  node.valueLength = Read16(block + start + 2);
  node.type = Read16(block + start + 4);
  node.keyOffset = start + kNodeHeaderSize;
  std::size_t p = node.keyOffset;
  while (node.end - p >= 2 && Read16(block + p) != 0) p += 2;
  if (node.end - p < 2) return std::nullopt;  // key without its zero
  node.keyUnits = (p - node.keyOffset) / 2;
  // Lengths written by other tools are not always exact; a value never reaches past its node.
  node.valueOffset = std::min(Align4(p + 2), node.end);
  const std::size_t declared = node.type == kTextNode ? std::size_t{node.valueLength} * 2 : node.valueLength;
  node.valueBytes = std::min(declared, node.end - node.valueOffset);
  node.childrenOffset = Align4(node.valueOffset + node.valueBytes);
  return node;
}

bool KeyEquals(const std::uint8_t* block, const TNode& node, std::u16string_view name) {
  if (node.keyUnits != name.size()) return false;
  const auto fold = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; };
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (fold(static_cast<char16_t>(Read16(block + node.keyOffset + 2 * i))) != fold(name[i])) return false;
  }
  return true;
}

std::optional<TNode> FindChild(const std::uint8_t* block, const TNode& parent, std::u16string_view name) {
  std::size_t p = parent.childrenOffset;
  while (p < parent.end) {
    const std::optional<TNode> child = ReadNode(block, p, parent.end);
    if (!child) return std::nullopt;
    if (KeyEquals(block, *child, name)) return child;
    p = Align4(child->end);
  }
  return std::nullopt;
}

// Closes the descriptor when it leaves scope.
class TFileDescriptor {
 public:
  explicit TFileDescriptor(int fd) : fd_(fd) {}
  TFileDescriptor(const TFileDescriptor&) = delete;
  TFileDescriptor& operator=(const TFileDescriptor&) = delete;
  ~TFileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int Get() const { return fd_; }

 private:
  int fd_;
};

// Reads an ELF file by offset, refusing every range that does not lie inside the file.
class TElfFile {
 public:
  explicit TElfFile(const char* fileName)
      : fd_(::open(fileName, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)) {
    struct stat st;
    // Only regular files: a FIFO or a device could block or never end.
    if (fd_.Get() >= 0 && ::fstat(fd_.Get(), &st) == 0 && S_ISREG(st.st_mode)) {
      size_ = static_cast<std::uint64_t>(st.st_size);
      ok_ = true;
    }
  }

  bool Ok() const { return ok_; }

  bool Contains(std::uint64_t offset, std::uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }

  bool Read(std::uint64_t offset, void* out, std::size_t length) const {
    if (!ok_ || !Contains(offset, length)) return false;
    auto* dest = static_cast<std::uint8_t*>(out);
    while (length > 0) {
      const ssize_t n = ::pread(fd_.Get(), dest, length, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;  // the file shrank under us, or a read error
      dest += n;
      offset += static_cast<std::uint64_t>(n);
      length -= static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  TFileDescriptor fd_;
  std::uint64_t size_ = 0;
  bool ok_ = false;
};

// The raw version resource of the file: the contents of its version section, cut to the length
// that the resource's root node gives. Empty when there is none.
std::vector<std::uint8_t> ReadVersionResource(const char* fileName) {
  if (fileName == nullptr) return {};
  const TElfFile file(fileName);
  if (!file.Ok()) return {};

  Elf64_Ehdr header;
  if (!file.Read(0, &header, sizeof header)) return {};
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_ident[EI_DATA] != ELFDATA2LSB || header.e_ident[EI_VERSION] != EV_CURRENT) {
    return {};
  }
  if (header.e_shoff == 0 || header.e_shentsize < sizeof(Elf64_Shdr)) return {};

  // Large section counts and string-table indexes live in the first section header.
  std::uint64_t sectionCount = header.e_shnum;
  std::uint64_t namesIndex = header.e_shstrndx;
  if (sectionCount == 0 || namesIndex == SHN_XINDEX) {
    Elf64_Shdr first;
    if (!file.Read(header.e_shoff, &first, sizeof first)) return {};
    if (sectionCount == 0) sectionCount = first.sh_size;
    if (namesIndex == SHN_XINDEX) namesIndex = first.sh_link;
  }
  if (sectionCount == 0 || sectionCount > kMaxSections || namesIndex == SHN_UNDEF || namesIndex >= sectionCount) {
    return {};
  }

  const std::size_t entrySize = header.e_shentsize;
  std::vector<std::uint8_t> table(static_cast<std::size_t>(sectionCount) * entrySize);
  if (!file.Read(header.e_shoff, table.data(), table.size())) return {};
  const auto section = [&](std::uint64_t index) {
    Elf64_Shdr s;
    std::memcpy(&s, table.data() + static_cast<std::size_t>(index) * entrySize, sizeof s);
    return s;
  };

  const Elf64_Shdr namesSection = section(namesIndex);
  if (namesSection.sh_type == SHT_NOBITS || namesSection.sh_size > kMaxSectionNames) return {};
  std::vector<char> names(static_cast<std::size_t>(namesSection.sh_size));
  if (!file.Read(namesSection.sh_offset, names.data(), names.size())) return {};

  const std::string_view wanted(kVersionSectionName);
  for (std::uint64_t i = 1; i < sectionCount; ++i) {
    const Elf64_Shdr s = section(i);
    // The name must end with its zero inside the string table.
    if (s.sh_name >= names.size() || names.size() - s.sh_name < wanted.size() + 1) continue;
    if (std::string_view(names.data() + s.sh_name, wanted.size()) != wanted || names[s.sh_name + wanted.size()] != '\0') {
      continue;
    }
    if (s.sh_type == SHT_NOBITS || s.sh_size < kNodeHeaderSize) return {};
    std::vector<std::uint8_t> resource(static_cast<std::size_t>(std::min<std::uint64_t>(s.sh_size, kMaxResourceSize)));
    if (!file.Contains(s.sh_offset, s.sh_size) || !file.Read(s.sh_offset, resource.data(), resource.size())) return {};
    const std::optional<TNode> root = ReadNode(resource.data(), 0, resource.size());
    if (!root || !KeyEquals(resource.data(), *root, u"VS_VERSION_INFO")) return {};
    resource.resize(root->end);
    return resource;
  }
  return {};
}

}  // namespace

std::uint32_t GetFileVersionInfoSizeA(const char* fileName, std::uint32_t* handle) {
  if (handle != nullptr) *handle = 0;
  const std::vector<std::uint8_t> resource = ReadVersionResource(fileName);
  return resource.empty() ? 0 : static_cast<std::uint32_t>(BlockSize(resource.size()));
}

bool GetFileVersionInfoA(const char* fileName, std::uint32_t /*handle*/, std::uint32_t len, void* data) {
  if (data == nullptr) return false;
  const std::vector<std::uint8_t> resource = ReadVersionResource(fileName);
  if (resource.empty() || len < BlockSize(resource.size())) return false;
  auto* block = static_cast<std::uint8_t*>(data);
  const std::size_t padded = Align4(resource.size());
  std::memcpy(block, resource.data(), resource.size());
  std::memset(block + resource.size(), 0, BlockSize(resource.size()) - resource.size());
  std::memcpy(block + padded, kTailMarker, sizeof kTailMarker);
  const auto paddedLength = static_cast<std::uint32_t>(padded);
  std::memcpy(block + padded + sizeof kTailMarker, &paddedLength, sizeof paddedLength);
  return true;
}

bool VerQueryValueA(const void* block, const char* subBlock, void** buffer, std::uint32_t* len) {
  if (block == nullptr || subBlock == nullptr || buffer == nullptr || len == nullptr) return false;
  // The block is the caller's writable memory from GetFileVersionInfoA (see the header).
  auto* bytes = static_cast<std::uint8_t*>(const_cast<void*>(block));
  const std::uint16_t resourceLength = Read16(bytes);
  std::optional<TNode> node = ReadNode(bytes, 0, resourceLength);
  if (!node) return false;

  // Path components, separated by one or more '\'.
  std::string_view path(subBlock);
  while (!path.empty()) {
    const std::size_t cut = path.find('\\');
    const std::string_view key = path.substr(0, cut);
    path = cut == std::string_view::npos ? std::string_view() : path.substr(cut + 1);
    if (key.empty()) continue;
    node = FindChild(bytes, *node, FromUtf8(key));
    if (!node) return false;
  }

  if (node->type != kTextNode) {
    if (node->valueBytes == 0) return false;
    *buffer = bytes + node->valueOffset;
    *len = static_cast<std::uint32_t>(node->valueBytes);
    return true;
  }

  // Text: convert into this value's place in the copy room.
  const std::size_t padded = Align4(resourceLength);
  if (std::memcmp(bytes + padded, kTailMarker, sizeof kTailMarker) != 0 || Read32(bytes + padded + 4) != padded) {
    return false;  // not a block from GetFileVersionInfoA: no room to convert into
  }
  const std::size_t units = node->valueBytes / 2;
  std::u16string text;
  for (std::size_t i = 0; i < units; ++i) {
    const std::uint16_t c = Read16(bytes + node->valueOffset + 2 * i);
    if (c == 0) break;
    text += static_cast<char16_t>(c);
  }
  const std::string converted = ToUtf8(text);
  if (converted.size() + 1 > 3 * units + 1) return false;  // cannot happen, see CopyOffset
  std::uint8_t* copy = bytes + padded + kTailSize + CopyOffset(node->valueOffset);
  std::memcpy(copy, converted.data(), converted.size());
  copy[converted.size()] = 0;
  *buffer = copy;
  *len = static_cast<std::uint32_t>(converted.size() + 1);
  return true;
}

}  // namespace platform
