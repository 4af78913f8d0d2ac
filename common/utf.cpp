#include "common/utf.h"

#include <utf8.h>

#include <iterator>

namespace utf {

namespace {

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";  // U+FFFD
constexpr char16_t kReplacement = u'\uFFFD';

bool IsLeadSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsTrailSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

void AppendUtf8(std::string& out, std::u16string_view text) {
  // utfcpp's checked conversion throws at an unpaired surrogate; the runs between them are known to
  // be well formed and take the unchecked one.
  const char16_t* run = text.data();
  const char16_t* const end = text.data() + text.size();
  for (const char16_t* p = run; p != end; ++p) {
    if (*p < 0xD800 || *p > 0xDFFF) continue;
    if (IsLeadSurrogate(*p) && p + 1 != end && IsTrailSurrogate(p[1])) {
      ++p;
      continue;
    }
    utf8::unchecked::utf16to8(run, p, std::back_inserter(out));
    out += kReplacementUtf8;
    run = p + 1;
  }
  utf8::unchecked::utf16to8(run, end, std::back_inserter(out));
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendUtf8(out, text);
  return out;
}

std::u16string FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  auto run = text.begin();
  while (run != text.end()) {
    const auto invalid = utf8::find_invalid(run, text.end());
    utf8::unchecked::utf8to16(run, invalid, std::back_inserter(out));
    if (invalid == text.end()) break;
    // One replacement for the byte; the search goes on at the next one.
    out += kReplacement;
    run = invalid + 1;
  }
  return out;
}

}  // namespace utf
