#include "common/stack_trace.h"

#include <boost/stacktrace.hpp>
#include <sstream>

std::string CaptureStackTrace(int skip) {
  boost::stacktrace::stacktrace trace(static_cast<std::size_t>(skip) + 1, 64);
  std::ostringstream out;
  for (std::size_t i = 0; i < trace.size(); ++i) {
    const auto& frame = trace[i];
    std::string name = frame.name();
    // A frame without a symbol (a static function of a library) still shows where it was.
    if (name.empty()) {
      std::ostringstream address;
      address << "?? (" << frame.address() << ')';
      name = address.str();
    }
    out << '#' << i << ' ' << name;
    const std::string file = frame.source_file();
    if (!file.empty()) out << " at " << file << ':' << frame.source_line();
    out << '\n';
  }
  return out.str();
}
