#pragma once
// Shared by the writer and the reader of the XML persistence; not part of its interface.

#include <fmt/printf.h>

#include <cstddef>
#include <string>

#include "common/XmlPersistance.h"

namespace xml_internal {

// Deepest element nesting the reader accepts and the writer produces, so that every file written can
// be read back and a hostile file cannot exhaust the stack.
constexpr std::size_t kMaxDepth = 1024;

// "0.5", "-3", "1E20", "1.5E-7": at most 15 significant digits, fixed notation unless the value has
// more than 15 integer digits or is below 1E-4 in magnitude.
std::string FormatFloat(double value);
std::string VariantText(const TXmlVariant& v);

// The accessor, or EXmlPersistance when the declaration gave none for the property's kind.
template <class F>
const F& Need(const F& accessor, const TXmlClass& cls, const TPropertyInfo& prop) {
  if (!accessor) {
    throw EXmlPersistance(
        fmt::sprintf("Property %s of class %s has no accessor for its kind %d.", prop.Name, cls.Name(),
                     static_cast<int>(prop.Kind)));
  }
  return accessor;
}

}  // namespace xml_internal
