#pragma once
// The stack-trace service shared by the exceptions, the logger and the crash report.

#include <string>

// Renders the current call stack, innermost frame first, one frame a line ("#N function at file:line").
// skip drops that many innermost frames besides this function itself.
std::string CaptureStackTrace(int skip = 0);
