#pragma once
// Text conversions. 16-bit text is UTF-16 in std::u16string; 8-bit text is UTF-8 in std::string,
// the program's system code page, so conversions in both directions lose nothing.

#include <string>
#include <string_view>

#include "common/utf.h"

namespace platform {

// The program's one conversion (common/utf.h): an unpaired surrogate, and UTF-8 that is not well
// formed, become U+FFFD.
using utf::FromUtf8;
using utf::ToUtf8;

// Unicode case folding (QtCore's folding tables; plain ASCII takes a fast path).
// Two texts are equal ignoring case exactly when their folded forms are equal.
std::u16string FoldCase(std::u16string_view text);
bool SameTextIgnoreCase(std::u16string_view a, std::u16string_view b);

}  // namespace platform
