#pragma once
// The version data of this program, as it is embedded in the executable's ".wexa_version" section
// (embedded_version.cpp). The numbers come from CMake's project version (WEXA_PROJECT_VERSION).

#include "version/version_block.h"

#ifndef WEXA_PROJECT_VERSION
#error "WEXA_PROJECT_VERSION must be defined; link the wexa_version_embedded target"
#endif

namespace version {

inline constexpr TVersionBlockContent<10> kProgramVersion = {
    ParseVersionNumbers(WEXA_PROJECT_VERSION),
    ParseVersionNumbers(WEXA_PROJECT_VERSION),
    0x0409,
    0x04E4,
    {{
        {"CompanyName", "Wexa Category Scraper developers"},
        {"FileDescription", "Wexa Category Scraper"},
        {"FileVersion", WEXA_PROJECT_VERSION},
        {"InternalName", "wexa-scraper"},
        {"LegalCopyright", "Copyright \u00A9 Wexa Category Scraper developers"},
        {"LegalTrademarks", "Wexa is a trademark of its owner"},
        {"OriginalFilename", "wexa-scraper"},
        {"ProductName", "Wexa Category Scraper"},
        {"ProductVersion", WEXA_PROJECT_VERSION},
        {"Comments", "Crawls the category tree of the Wexa directory"},
    }},
};

}  // namespace version
