#include "platform/text.h"

#include <QString>

namespace platform {

std::u16string FoldCase(std::u16string_view text) {
  bool ascii = true;
  for (char16_t c : text) {
    if (c >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (ascii) {
    std::u16string out(text);
    for (char16_t& c : out)
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    return out;
  }
  const QString folded = QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())).toCaseFolded();
  return folded.toStdU16String();
}

bool SameTextIgnoreCase(std::u16string_view a, std::u16string_view b) { return FoldCase(a) == FoldCase(b); }

}  // namespace platform
