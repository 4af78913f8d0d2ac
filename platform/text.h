#pragma once
// Text conversions. 16-bit text is UTF-16 in std::u16string; 8-bit text is UTF-8 in std::string,
// the program's system code page, so conversions in both directions lose nothing.

#include <string>
#include <string_view>

namespace platform {

std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

// Unicode case folding (QtCore's folding tables; plain ASCII takes a fast path).
// Two texts are equal ignoring case exactly when their folded forms are equal.
std::u16string FoldCase(std::u16string_view text);
bool SameTextIgnoreCase(std::u16string_view a, std::u16string_view b);

}  // namespace platform
