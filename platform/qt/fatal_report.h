#pragma once
// The report of a fatal signal: when the program dies of SIGSEGV, SIGBUS, SIGFPE, SIGILL or SIGABRT,
// a text file describing the signal and the stack goes into the log folder before the process ends.
//
// The report file is
//   <folder>/crash-<yyyymmdd>-<hhmmss>-<pid>.txt      (UTC time of the signal, the dying process's id)
// and holds, in this order:
//   - a header prepared at installation: program path, command line, Qt version;
//   - the signal ("Signal: SIGSEGV (segmentation fault)"), its code, the faulting address, the process
//     and thread ids and the time;
//   - "Stack trace:", one raw frame a line ("#N module(symbol+offset) [address]"), written with
//     async-signal-safe calls only, so it is there even when the heap or a lock is broken;
//   - "Stack trace with source lines:", the same frames with function, file and line, rendered by the
//     stack-trace service in a child process that gets a few seconds; when that child hangs or dies (a
//     heap broken by the crash), the raw frames above are the report.
// When the folder cannot be written, the file goes to the temporary folder instead (the environment
// variable "temp", else TMPDIR, else /tmp, as the logger's critical file). One line on stderr names the
// file. Then the signal's default action is restored and the signal raised again, so the process ends
// by that signal (exit status, core dump) as it would have without the report.
//
// Threading: install on the main thread at start-up. The handlers are the whole process's; the handler
// runs on whichever thread the signal hits, and on the installing thread on a stack of its own, so a
// stack overflow there is reported too. A second thread that faults meanwhile waits for the first
// report. The program calls this with DefaultLogPath() once the application object exists.

#include <string>

namespace platform::qt {

// Installs the report for the five fatal signals, writing into folder (with or without a trailing "/";
// a relative or empty folder is taken from the current directory now). Creates folder when it does not
// exist; when that fails, reports go to the temporary folder. Installing again replaces the folder.
// Throws std::system_error when the folder path is too long or the handlers or the signal stack cannot
// be set up.
void InstallFatalSignalReport(const std::string& folder);

}  // namespace platform::qt
