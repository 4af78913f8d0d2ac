#pragma once
// The program's one conversion between 16-bit text (UTF-16 in std::u16string) and 8-bit text
// (UTF-8 in std::string), used by the XML persistence and by the platform layer alike.
//
// Well-formed text converts losslessly in both directions. What has no form on the other side
// becomes U+FFFD: an unpaired surrogate in UTF-16; in UTF-8, every byte at which no valid sequence
// starts (so a broken sequence never swallows the text after it), an overlong form, an encoded
// surrogate and anything above U+10FFFF.

#include <string>
#include <string_view>

namespace utf {

std::string ToUtf8(std::u16string_view text);
// Appends text to out as UTF-8.
void AppendUtf8(std::string& out, std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

}  // namespace utf
