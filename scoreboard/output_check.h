// Standard output of sbscrub and its scrub: writes whose failure is remembered, and the check at
// exit that reports lost output.
#pragma once

#include <cstddef>

namespace output_check
{

// Writes the n bytes at data to standard output and remembers the errno of a failure.
void write(const char *data, size_t n);
// Remembers that output was lost for error, as a failed write would be.
void lost(int error);
// Flushes standard output and remembers the errno of a failure.
void flush();
// For atexit: when standard output could not be written or closed, writes "write error" and
// the system's text on standard error and ends the process with status 1.
void report_at_exit();

} // namespace output_check
