// Places this program's version block in its own ELF section, where GetFileVersionInfoA finds it.
// This object must be linked into the executable itself (not through a static library, whose
// unreferenced members the linker leaves out), hence the object library wexa_version_embedded.

#include <array>
#include <cstdint>

#include "version/embedded/program_version.h"

namespace {

constexpr std::size_t kProgramVersionBlockSize = version::VersionBlockSize(version::kProgramVersion);

// Nothing refers to the block; "used" and "retain" keep the compiler and the linker from dropping it.
[[gnu::used, gnu::retain, gnu::section(".wexa_version")]] alignas(4) constexpr std::array<
    std::uint8_t, kProgramVersionBlockSize> kProgramVersionBlock =
    version::BuildVersionBlock<kProgramVersionBlockSize>(version::kProgramVersion);

}  // namespace
