#include "common/exceptions.h"

#include <fmt/printf.h>

#include <cctype>
#include <cstdint>

#include "common/stack_trace.h"

Exception::Exception(std::string message)
    : message_(std::move(message)), stackTrace_(CaptureStackTrace(1)) {}

std::string InputErrorText(const std::string& file, int line, const std::string& message) {
  if (file.empty() || message.find(file) != std::string::npos) return message;
  return file + (line > 0 ? ", line " + std::to_string(line) : "") + ": " + message;
}

int StrToInt(const std::string& text) {
  std::size_t pos = 0;
  const std::size_t end = text.find_last_not_of(' ') == std::string::npos ? 0 : text.find_last_not_of(' ') + 1;
  while (pos < end && text[pos] == ' ') ++pos;
  bool negative = false;
  if (pos < end && (text[pos] == '-' || text[pos] == '+')) {
    negative = text[pos] == '-';
    ++pos;
  }
  const std::size_t digitsStart = pos;
  std::int64_t value = 0;
  for (; pos < end; ++pos) {
    const unsigned char c = static_cast<unsigned char>(text[pos]);
    if (!std::isdigit(c)) break;
    value = value * 10 + (c - '0');
    if (value > 2147483648LL) break;
  }
  const bool ok = pos == end && pos > digitsStart &&
                  (negative ? value <= 2147483648LL : value <= 2147483647LL);
  if (!ok) throw EConvertError(fmt::sprintf("'%s' is not a valid integer value", text));
  return static_cast<int>(negative ? -value : value);
}

void Assert(bool condition, const std::string& message, const std::string& unit, int line) {
  if (!condition) throw EAssertionFailed(fmt::sprintf("%s (%s, line %d)", message, unit, line));
}
