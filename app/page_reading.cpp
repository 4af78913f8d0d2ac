#include "app/page_reading.h"

#include <fmt/printf.h>

std::u16string GetHref(const platform::Variant& element, const std::u16string& rootUrl) {
  // The search copy has A-Z folded to a-z; every other character, and so every position, is kept.
  std::u16string search = element.Get(u"outerhtml").AsText();
  for (char16_t& c : search)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);

  std::size_t p = 0;
  bool match = false;
  while (!match) {
    const std::size_t found = search.find(u"href", p);
    if (found == std::u16string::npos) break;
    p = found + 4;
    while (p < search.size() && search[p] <= 32) ++p;
    if (p >= search.size()) break;
    match = search[p++] == u'=';
  }
  if (!match) return u"";

  const std::u16string value = element.Get(u"outerhtml").AsText();
  if (p >= value.size()) return rootUrl;
  const char16_t delimiter = value[p];
  const std::size_t start = p + 1;
  const std::size_t end = value.find(delimiter, start);
  return rootUrl + value.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
}

std::int32_t ExtractNumber(const std::string& text) {
  std::string digits;
  for (char c : text)
    if (c >= '0' && c <= '9') digits += c;
  bool ok = !digits.empty();
  std::int64_t value = 0;
  for (char c : digits) {
    value = value * 10 + (c - '0');
    if (value > 2147483647LL) {
      ok = false;
      break;
    }
  }
  if (!ok) throw EConvertError(fmt::sprintf("'%s' is not a valid integer value", digits));
  return static_cast<std::int32_t>(value);
}

bool IsElementAssigned(const platform::Variant& value) {
  switch (value.GetKind()) {
    case platform::Variant::Kind::vkEmpty:
    case platform::Variant::Kind::vkNull:
    case platform::Variant::Kind::vkError: return false;
    case platform::Variant::Kind::vkObject: return value.Object() != nullptr;
    default: return true;
  }
}
