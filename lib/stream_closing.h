// Closing of the standard streams at exit, so that a lost write shows in the diagnostics and
// the exit status.
#pragma once

#include <cstdio>

namespace support
{

// Closes stream; returns 0, or EOF with errno holding the cause (0 when none is known) when an
// earlier write failed or the close failed. The stream is closed either way.
int close_stream(FILE *stream);
// Closes standard output, then standard error; on a failure reports "write error" (for
// standard output) and ends the process with exit_failure. Meant for atexit.
void close_stdout();
// Names standard output in close_stdout's message; file is borrowed, not copied.
void close_stdout_set_file_name(const char *file);

} // namespace support
