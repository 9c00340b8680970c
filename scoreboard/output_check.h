// The standard streams of sbscrub and its scrub: writes to standard output whose failure is
// remembered when it happens, the check at exit that reports lost output, and the one way messages
// reach standard error. sbscrub links nothing of the support library (the programs share no code),
// so this check at exit is its own, although that library has a similar one.
#pragma once

#include <cstddef>

namespace output_check
{

// Writes the n bytes at data to standard output and remembers the errno of a failure.
void write(const char *data, size_t n);
// Writes to standard output as printf would and remembers the errno of a failure.
[[gnu::format(printf, 1, 2)]] void print(const char *format, ...);
// Remembers that output was lost for error, as a failed write would be.
void lost(int error);
// Flushes standard output and remembers the errno of a failure.
void flush();
// Writes a message on standard error, as printf would.
[[gnu::format(printf, 1, 2)]] void report(const char *format, ...);
// For atexit: when standard output could not be written or closed, writes "write error" and
// the system's text on standard error and ends the process with status 1.
void report_at_exit();

} // namespace output_check
