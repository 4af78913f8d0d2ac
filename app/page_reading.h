#pragma once
// Free helpers that read a page through late binding.

#include <cstdint>
#include <string>

#include "platform/automation.h"

// The root address followed by the raw value of the element's href attribute, taken from the
// element's outerhtml; empty text when the markup holds no href attribute followed by "=". Never
// reads past the markup: a value whose closing delimiter is missing runs to the end of the
// markup, and an "=" at the very end gives an empty value.
std::u16string GetHref(const platform::Variant& element, const std::u16string& rootUrl);
// The decimal number made of the digits in text, all other characters dropped. Throws
// EConvertError "'%s' is not a valid integer value" (the kept digits) when there is no digit or the
// number is above 2147483647.
std::int32_t ExtractNumber(const std::string& text);
// False for empty, null, error values (the missing-parameter marker included) and nil objects.
bool IsElementAssigned(const platform::Variant& value);
