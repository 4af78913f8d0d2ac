// Version data: the ELF section reader, the compile-time block builder and TVersionInfo.

#include "version/VersionInfo.h"

#include <elf.h>
#include <fmt/printf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "platform/version_resource.h"
#include "version/embedded/program_version.h"
#include "version/version_block.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kSelf = "/proc/self/exe";

// The block of a constexpr content, as bytes.
template <const auto& Content>
Bytes BlockBytes() {
  constexpr auto block = version::BuildVersionBlock<version::VersionBlockSize(Content)>(Content);
  return Bytes(block.begin(), block.end());
}

constexpr const char* kLongThreeByteText =
    "\u65E5\u672C\u8A9E\u306E\u8AAC\u660E\u6587\u3067\u3059"
    "\u65E5\u672C\u8A9E\u306E\u8AAC\u660E\u6587\u3067\u3059"
    "\u65E5\u672C\u8A9E\u306E\u8AAC\u660E\u6587\u3067\u3059\u3002";
constexpr version::TVersionBlockContent<5> kOtherVersion = {
    {2, 5, 0, 17},
    {2, 5, 0, 0},
    0x0407,
    0x04B0,
    {{
        {"FileVersion", "2.5.0.17"},
        {"CompanyName", "Z\u00FCrich \u03A9 \U0001F600 GmbH"},
        // Three UTF-8 bytes for each UTF-16 character: the largest 8-bit copy a value can need.
        {"FileDescription", kLongThreeByteText},
        {"PrivateBuild", "nightly"},
        {"Comments", ""},
    }},
};
constexpr version::TVersionBlockContent<2> kLetterInVersion = {
    {1, 0, 0, 6}, {1, 0, 0, 6}, 0x0409, 0x04E4, {{{"CompanyName", "x"}, {"FileVersion", "1.x.0.6"}}}};
constexpr version::TVersionBlockContent<2> kThreePartVersion = {
    {1, 0, 0, 6}, {1, 0, 0, 6}, 0x0409, 0x04E4, {{{"CompanyName", "x"}, {"FileVersion", "1.0.6"}}}};
constexpr version::TVersionBlockContent<1> kNoFileVersion = {
    {1, 0, 0, 6}, {1, 0, 0, 6}, 0x0409, 0x04E4, {{{"CompanyName", "x"}}}};

// Where the parts of a hand-made ELF file are.
struct TElfLayout {
  std::size_t namesOffset = 0;
  std::size_t namesSize = 0;
  std::size_t tableOffset = 0;
  std::size_t dataOffset = 0;
  std::size_t dataSize = 0;
};

// A minimal ELF64 file: header, section names, section table (null, .shstrtab, the named section),
// and the section's contents last, so that every cut of the file cuts into the section.
Bytes MakeElf(const Bytes& contents, TElfLayout* layout = nullptr, std::string_view sectionName = ".wexa_version") {
  TElfLayout l;
  std::string names("\0.shstrtab\0", 11);
  const std::size_t sectionNameOffset = names.size();
  names += sectionName;
  names += '\0';
  l.namesOffset = sizeof(Elf64_Ehdr);
  l.namesSize = names.size();
  l.tableOffset = (l.namesOffset + l.namesSize + 7) & ~std::size_t{7};
  l.dataOffset = l.tableOffset + 3 * sizeof(Elf64_Shdr);
  l.dataSize = contents.size();

  Bytes file(l.dataOffset + l.dataSize);
  Elf64_Ehdr header{};
  std::memcpy(header.e_ident, ELFMAG, SELFMAG);
  header.e_ident[EI_CLASS] = ELFCLASS64;
  header.e_ident[EI_DATA] = ELFDATA2LSB;
  header.e_ident[EI_VERSION] = EV_CURRENT;
  header.e_type = ET_EXEC;
  header.e_machine = EM_X86_64;
  header.e_version = EV_CURRENT;
  header.e_ehsize = sizeof(Elf64_Ehdr);
  header.e_shoff = l.tableOffset;
  header.e_shentsize = sizeof(Elf64_Shdr);
  header.e_shnum = 3;
  header.e_shstrndx = 1;
  std::memcpy(file.data(), &header, sizeof header);
  std::memcpy(file.data() + l.namesOffset, names.data(), names.size());

  Elf64_Shdr sections[3]{};
  sections[1].sh_name = 1;
  sections[1].sh_type = SHT_STRTAB;
  sections[1].sh_offset = l.namesOffset;
  sections[1].sh_size = l.namesSize;
  sections[2].sh_name = static_cast<Elf64_Word>(sectionNameOffset);
  sections[2].sh_type = SHT_PROGBITS;
  sections[2].sh_flags = SHF_ALLOC;
  sections[2].sh_offset = l.dataOffset;
  sections[2].sh_size = l.dataSize;
  sections[2].sh_addralign = 4;
  std::memcpy(file.data() + l.tableOffset, sections, sizeof sections);
  std::copy(contents.begin(), contents.end(), file.begin() + static_cast<std::ptrdiff_t>(l.dataOffset));
  if (layout != nullptr) *layout = l;
  return file;
}

template <typename T>
void Poke(Bytes& bytes, std::size_t offset, T value) {
  std::memcpy(bytes.data() + offset, &value, sizeof value);
}

std::size_t SectionField(const TElfLayout& l, int index, std::size_t fieldOffset) {
  return l.tableOffset + static_cast<std::size_t>(index) * sizeof(Elf64_Shdr) + fieldOffset;
}

// Offset of the node whose key is key (UTF-16LE, as the block holds it).
std::size_t NodeOffset(const Bytes& block, std::u16string_view key) {
  Bytes pattern;
  for (char16_t c : key) {
    pattern.push_back(static_cast<std::uint8_t>(c & 0xFF));
    pattern.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  const auto it = std::search(block.begin(), block.end(), pattern.begin(), pattern.end());
  if (it == block.end()) throw std::runtime_error("key not in block");
  return static_cast<std::size_t>(it - block.begin()) - 6;
}

class VersionFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/wexa-version-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string& name, const Bytes& bytes) const {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  fs::path dir_;
};

void ExpectNoInfo(const std::string& path) {
  std::uint32_t handle = 7;
  EXPECT_EQ(platform::GetFileVersionInfoSizeA(path.c_str(), &handle), 0u);
  EXPECT_EQ(handle, 0u);
  std::vector<std::uint8_t> block(4096);
  EXPECT_FALSE(platform::GetFileVersionInfoA(path.c_str(), 0, static_cast<std::uint32_t>(block.size()), block.data()));
  const TVersionInfo info(path);
  EXPECT_FALSE(info.HasInfo);
  EXPECT_EQ(info.Translation, "");
  EXPECT_EQ(info.GetValue("CompanyName"), "N/A");
  EXPECT_EQ(info.GetValueByIndex(0), "");
  EXPECT_EQ(TVersionInfo::VersionToString(info.Major, info.Minor, info.Release, info.Build), "0.0.0.0");
  bool called = false;
  EXPECT_EQ(VersionCaptionText(path, [&](const Exception&) { called = true; }), "0.0.0.0");
  EXPECT_FALSE(called);
}

// Queries every string of content in the version data of file, keeping the answers, then checks
// that every 8-bit copy lies inside the caller's block and that no later copy overwrote an earlier.
template <std::size_t K>
void ExpectStringCopiesInsideBlock(const std::string& file, const version::TVersionBlockContent<K>& content) {
  const std::uint32_t size = platform::GetFileVersionInfoSizeA(file.c_str(), nullptr);
  std::vector<std::uint8_t> block(size);
  ASSERT_TRUE(platform::GetFileVersionInfoA(file.c_str(), 0, size, block.data()));
  const std::string table = fmt::sprintf("\\StringFileInfo\\%.4X%.4X\\", content.Language, content.CodePage);
  std::vector<const char*> copies;
  for (const auto& s : content.Strings) {
    const std::string path = table + std::string(s.Key);
    void* value = nullptr;
    std::uint32_t length = 0;
    ASSERT_TRUE(platform::VerQueryValueA(block.data(), path.c_str(), &value, &length)) << path;
    const auto* text = static_cast<const std::uint8_t*>(value);
    EXPECT_TRUE(text >= block.data() && text + length <= block.data() + size) << path;
    EXPECT_EQ(length, s.Value.size() + 1) << "length in 8-bit characters, with the zero: " << path;
    copies.push_back(static_cast<const char*>(value));
  }
  for (std::size_t i = 0; i < copies.size(); ++i) {
    EXPECT_EQ(std::string_view(copies[i]), content.Strings[i].Value) << content.Strings[i].Key;
  }
}

TEST(VersionInfoTest, OwnExecutableCarriesTheProjectVersion) {
  const TVersionInfo info(kSelf);
  ASSERT_TRUE(info.HasInfo);
  EXPECT_EQ(info.Translation, "040904E4");
  EXPECT_EQ(info.Major, 1);
  EXPECT_EQ(info.Minor, 0);
  EXPECT_EQ(info.Release, 0);
  EXPECT_EQ(info.Build, 6);
  EXPECT_EQ(TVersionInfo::VersionToString(info.Major, info.Minor, info.Release, info.Build), "1.0.0.6");
  EXPECT_EQ(ProgramVersionText(nullptr), "1.0.0.6");
  for (int i = 0; i < TVersionInfo::kValueCount; ++i) {
    SCOPED_TRACE(TVersionInfo::kValueNames[i]);
    EXPECT_EQ(version::kProgramVersion.Strings[i].Key, TVersionInfo::kValueNames[i]);
    EXPECT_EQ(info.GetValueByIndex(i), version::kProgramVersion.Strings[i].Value);
    EXPECT_FALSE(info.Values[i].empty());
  }
  EXPECT_EQ(info.GetValue("FileVersion"), "1.0.0.6");
  EXPECT_EQ(info.GetValue("fileversion"), "1.0.0.6") << "keys are matched ignoring case";
  EXPECT_EQ(info.GetValue("NoSuchKey"), "");
}

TEST(VersionInfoTest, GetValueByIndexOutsideTheTenThrows) {
  const TVersionInfo info(kSelf);
  for (int index : {-1, 10}) {
    SCOPED_TRACE(index);
    try {
      info.GetValueByIndex(index);
      ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "List index out of bounds (" + std::to_string(index) + ")");
    }
  }
}

TEST(VersionResourceTest, QueriesOnOwnExecutable) {
  const std::uint32_t size = platform::GetFileVersionInfoSizeA(kSelf, nullptr);
  ASSERT_GT(size, 0u);
  std::vector<std::uint8_t> block(size);
  EXPECT_FALSE(platform::GetFileVersionInfoA(kSelf, 0, size - 1, block.data())) << "a block too small is refused";
  EXPECT_FALSE(platform::GetFileVersionInfoA(kSelf, 0, size, nullptr));
  ASSERT_TRUE(platform::GetFileVersionInfoA(kSelf, 0, size, block.data()));

  void* value = nullptr;
  std::uint32_t length = 0;
  ASSERT_TRUE(platform::VerQueryValueA(block.data(), "\\", &value, &length));
  ASSERT_EQ(length, version::kFixedFileInfoSize);
  std::uint32_t fixed[13];
  std::memcpy(fixed, value, sizeof fixed);
  EXPECT_EQ(fixed[0], version::kFixedFileInfoSignature);
  EXPECT_EQ(fixed[2], 0x00010000u);  // file version 1.0 ...
  EXPECT_EQ(fixed[3], 0x00000006u);  // ... .0.6

  ASSERT_TRUE(platform::VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length));
  ASSERT_EQ(length, 4u);
  std::uint16_t translation[2];
  std::memcpy(translation, value, sizeof translation);
  EXPECT_EQ(translation[0], 0x0409);
  EXPECT_EQ(translation[1], 0x04E4);

  ExpectStringCopiesInsideBlock(kSelf, version::kProgramVersion);
  void* copy = nullptr;
  ASSERT_TRUE(platform::VerQueryValueA(block.data(), "\\StringFileInfo\\040904E4\\CompanyName", &copy, &length));
  ASSERT_TRUE(platform::VerQueryValueA(block.data(), "stringfileinfo\\040904e4\\\\COMPANYNAME", &value, &length));
  EXPECT_EQ(value, copy) << "the same value is converted into the same place";

  for (const char* path : {"\\StringFileInfo\\040904E4\\Nope", "\\Nope", "\\StringFileInfo\\040704B0\\CompanyName",
                           "\\VarFileInfo\\Translation\\More"}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(platform::VerQueryValueA(block.data(), path, &value, &length));
  }
  EXPECT_FALSE(platform::VerQueryValueA(block.data(), nullptr, &value, &length));
  EXPECT_FALSE(platform::VerQueryValueA(nullptr, "\\", &value, &length));
}

TEST_F(VersionFileTest, FilesWithoutVersionInformation) {
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::vector<std::string> paths = {
      Write("notes.txt", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}),
      Write("empty", Bytes{}),
      Write("other-section.elf", MakeElf(BlockBytes<kOtherVersion>(), nullptr, ".wexa_versio")),
      dir_.string(),
      (dir_ / "missing").string(),
      fifo,
  };
  if (fs::exists("/bin/true")) paths.push_back("/bin/true");  // an ELF executable without the section
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    ExpectNoInfo(path);
  }
}

TEST_F(VersionFileTest, AnyTranslationAndAnyKey) {
  const std::string path = Write("other.elf", MakeElf(BlockBytes<kOtherVersion>()));
  const TVersionInfo info(path);
  ASSERT_TRUE(info.HasInfo);
  EXPECT_EQ(info.Translation, "040704B0");
  EXPECT_EQ(TVersionInfo::VersionToString(info.Major, info.Minor, info.Release, info.Build), "2.5.0.17");
  EXPECT_EQ(info.Values[0], "Z\u00FCrich \u03A9 \U0001F600 GmbH") << "UTF-16 surrogates and all come back as UTF-8";
  EXPECT_EQ(info.Values[1], kLongThreeByteText);
  EXPECT_EQ(info.Values[3], "") << "a key the file lacks";
  EXPECT_EQ(info.Values[9], "") << "an empty value";
  EXPECT_EQ(info.GetValue("PrivateBuild"), "nightly");
  EXPECT_EQ(info.GetValue("PRIVATEBUILD"), "nightly");
  EXPECT_EQ(info.GetValue("LegalTrademarks"), "");
  ExpectStringCopiesInsideBlock(path, kOtherVersion);
}

TEST_F(VersionFileTest, CorruptElfFilesHaveNoVersionInformation) {
  TElfLayout l;
  const Bytes good = MakeElf(BlockBytes<kOtherVersion>(), &l);
  ASSERT_TRUE(TVersionInfo(Write("good.elf", good)).HasInfo) << "the uncorrupted file must read";

  constexpr auto kHuge = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    const char* name;
    std::function<void(Bytes&)> corrupt;
  };
  const Case cases[] = {
      {"bad magic", [](Bytes& b) { b[1] = 'X'; }},
      {"32-bit class", [](Bytes& b) { b[EI_CLASS] = ELFCLASS32; }},
      {"big-endian", [](Bytes& b) { b[EI_DATA] = ELFDATA2MSB; }},
      {"no section table", [](Bytes& b) { Poke<std::uint64_t>(b, offsetof(Elf64_Ehdr, e_shoff), 0); }},
      {"section table offset wraps",
       [&](Bytes& b) { Poke<std::uint64_t>(b, offsetof(Elf64_Ehdr, e_shoff), kHuge - 8); }},
      {"section entries too small",
       [](Bytes& b) { Poke<std::uint16_t>(b, offsetof(Elf64_Ehdr, e_shentsize), 32); }},
      {"section count beyond the file",
       [](Bytes& b) { Poke<std::uint16_t>(b, offsetof(Elf64_Ehdr, e_shnum), 0xFEFF); }},
      {"extended section count, huge",
       [&](Bytes& b) {
         Poke<std::uint16_t>(b, offsetof(Elf64_Ehdr, e_shnum), 0);
         Poke<std::uint64_t>(b, SectionField(l, 0, offsetof(Elf64_Shdr, sh_size)), kHuge);
       }},
      {"names index out of range",
       [](Bytes& b) { Poke<std::uint16_t>(b, offsetof(Elf64_Ehdr, e_shstrndx), 3); }},
      {"extended names index out of range",
       [&](Bytes& b) {
         Poke<std::uint16_t>(b, offsetof(Elf64_Ehdr, e_shstrndx), SHN_XINDEX);
         Poke<std::uint32_t>(b, SectionField(l, 0, offsetof(Elf64_Shdr, sh_link)), 99);
       }},
      {"names past the end",
       [&](Bytes& b) { Poke<std::uint64_t>(b, SectionField(l, 1, offsetof(Elf64_Shdr, sh_offset)), b.size()); }},
      {"names size wraps",
       [&](Bytes& b) { Poke<std::uint64_t>(b, SectionField(l, 1, offsetof(Elf64_Shdr, sh_size)), kHuge); }},
      {"section name offset beyond the names",
       [&](Bytes& b) { Poke<std::uint32_t>(b, SectionField(l, 2, offsetof(Elf64_Shdr, sh_name)), 1000); }},
      {"section name cut off before its zero",
       [&](Bytes& b) { Poke<std::uint64_t>(b, SectionField(l, 1, offsetof(Elf64_Shdr, sh_size)), l.namesSize - 1); }},
      {"section name differs in case", [&](Bytes& b) { b[l.namesOffset + l.namesSize - 2] = 'N'; }},
      {"section size wraps",
       [&](Bytes& b) { Poke<std::uint64_t>(b, SectionField(l, 2, offsetof(Elf64_Shdr, sh_size)), kHuge - 8); }},
      {"section without contents",
       [&](Bytes& b) { Poke<std::uint32_t>(b, SectionField(l, 2, offsetof(Elf64_Shdr, sh_type)), SHT_NOBITS); }},
      {"section shorter than a node header",
       [&](Bytes& b) { Poke<std::uint64_t>(b, SectionField(l, 2, offsetof(Elf64_Shdr, sh_size)), 4); }},
      {"resource longer than its section",
       [&](Bytes& b) { Poke<std::uint16_t>(b, l.dataOffset, static_cast<std::uint16_t>(l.dataSize + 4)); }},
      {"resource key cut off before its zero", [&](Bytes& b) { Poke<std::uint16_t>(b, l.dataOffset, 12); }},
      {"resource key differs", [&](Bytes& b) { b[l.dataOffset + 6] = 'X'; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = good;
    c.corrupt(bytes);
    ExpectNoInfo(Write("corrupt.elf", bytes));
  }
}

TEST_F(VersionFileTest, EveryTruncationHasNoVersionInformation) {
  const Bytes good = MakeElf(BlockBytes<kOtherVersion>());
  for (std::size_t length = 0; length < good.size(); ++length) {
    const std::string path = Write("cut.elf", Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length)));
    if (platform::GetFileVersionInfoSizeA(path.c_str(), nullptr) != 0) ADD_FAILURE() << "cut at " << length;
  }
}

TEST_F(VersionFileTest, CorruptNodesInsideTheBlock) {
  const Bytes good = BlockBytes<kOtherVersion>();
  const std::size_t translation = NodeOffset(good, u"Translation");
  const std::size_t privateBuild = NodeOffset(good, u"PrivateBuild");
  struct Case {
    const char* name;
    std::function<void(Bytes&)> corrupt;
    bool hasInfo;
    std::string privateBuild;
  };
  const Case cases[] = {
      {"translation node longer than its parent", [&](Bytes& b) { Poke<std::uint16_t>(b, translation, 0x4000); }, false,
       "N/A"},
      {"translation node without a value", [&](Bytes& b) { Poke<std::uint16_t>(b, translation + 2, 0); }, false, "N/A"},
      {"translation table shorter than one entry", [&](Bytes& b) { Poke<std::uint16_t>(b, translation + 2, 2); },
       false, "N/A"},
      {"string node shorter than a header", [&](Bytes& b) { Poke<std::uint16_t>(b, privateBuild, 2); }, true, ""},
      {"string value length past its node", [&](Bytes& b) { Poke<std::uint16_t>(b, privateBuild + 2, 0x7FFF); }, true,
       "nightly"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes block = good;
    c.corrupt(block);
    const TVersionInfo info(Write("nodes.elf", MakeElf(block)));
    EXPECT_EQ(info.HasInfo, c.hasInfo);
    EXPECT_EQ(info.GetValue("PrivateBuild"), c.privateBuild);
  }

  // Any single damaged byte: whatever is read, nothing is read outside the block (this loop is
  // what the sanitizer build checks).
  for (std::size_t i = 0; i < good.size(); ++i) {
    for (std::uint8_t damage : {std::uint8_t{0x00}, std::uint8_t{0xFF}}) {
      Bytes block = good;
      block[i] = damage;
      try {
        const TVersionInfo info(Write("byte.elf", MakeElf(block)));
        EXPECT_EQ(info.Translation.size(), info.HasInfo ? 8u : 0u) << "byte " << i;
      } catch (const Exception&) {
        // a damaged "FileVersion" does not parse; that is the expected error
      }
    }
  }
}

TEST(VersionInfoTest, ParseVersionTakesTheFirstFourParts) {
  struct Case {
    std::string text;
    std::array<std::int32_t, 4> numbers;
  };
  const Case cases[] = {
      {"1.2.3.4.5", {1, 2, 3, 4}},
      {"10.20.30.40", {10, 20, 30, 40}},
      {"1.2.3.4.not a number", {1, 2, 3, 4}},
      {" 7.8.9.10 ", {7, 8, 9, 10}},
  };
  TVersionInfo info(kSelf);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    info.ParseVersion(c.text);
    EXPECT_EQ((std::array{info.Major, info.Minor, info.Release, info.Build}), c.numbers);
  }
}

TEST(VersionInfoTest, ParseVersionErrors) {
  struct Case {
    std::string text;
    std::string className;
    std::string message;
  };
  const Case cases[] = {
      {"1.2.3", "Exception", "List index out of bounds (3)"},
      {"", "Exception", "List index out of bounds (0)"},
      {"1.x.0.6", "EConvertError", "'x' is not a valid integer value"},
      {"1..0.6", "EConvertError", "'' is not a valid integer value"},
      {"1.2.3.", "EConvertError", "'' is not a valid integer value"},
      {"1.2.3.99999999999", "EConvertError", "'99999999999' is not a valid integer value"},
  };
  TVersionInfo info(kSelf);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      info.ParseVersion(c.text);
      ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(e.ClassName(), c.className);
      EXPECT_EQ(e.Message(), c.message);
    }
    EXPECT_EQ(TVersionInfo::VersionToString(info.Major, info.Minor, info.Release, info.Build), "1.0.0.6")
        << "a failed parse changes no number";
  }
}

TEST_F(VersionFileTest, UnparsableFileVersionFailsTheReaderButNotTheCaption) {
  struct Case {
    Bytes block;
    std::string className;
    std::string message;
  };
  const Case cases[] = {
      {BlockBytes<kLetterInVersion>(), "EConvertError", "'x' is not a valid integer value"},
      {BlockBytes<kThreePartVersion>(), "Exception", "List index out of bounds (3)"},
      {BlockBytes<kNoFileVersion>(), "Exception", "List index out of bounds (0)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const std::string path = Write("bad-version.elf", MakeElf(c.block));
    try {
      TVersionInfo info(path);
      ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(e.ClassName(), c.className);
      EXPECT_EQ(e.Message(), c.message);
    }
    std::vector<std::string> errors;
    EXPECT_EQ(VersionCaptionText(path, [&](const Exception& e) { errors.push_back(e.Message()); }), "0.0.0.0");
    EXPECT_EQ(errors, std::vector<std::string>{c.message});
  }
}

TEST(VersionBlockTest, ProjectVersionMustBeFourNumbers) {
  EXPECT_EQ(version::ParseVersionNumbers("1.0.0.6"), (std::array<std::uint16_t, 4>{1, 0, 0, 6}));
  EXPECT_EQ(version::ParseVersionNumbers("65535.0.10.200"), (std::array<std::uint16_t, 4>{65535, 0, 10, 200}));
  for (const char* text : {"", "1.0.0", "1.0.0.6.7", "1.0.0.65536", "1..0.6", "1.0.0.6.", "1.0.0.x"}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(version::ParseVersionNumbers(text), std::invalid_argument);
  }
}

}  // namespace
