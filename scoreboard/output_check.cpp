// Standard output whose failures are remembered, so that the check at exit can name the cause
// of a write that failed long before: stdio drops the bytes and keeps only its error flag.
#include "output_check.h"

#include <stdio_ext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace output_check
{
namespace
{

int first_failure = 0; // errno of the first failed write or flush

void remember(bool failed)
{
    if (failed)
        lost(errno != 0 ? errno : EIO);
}

} // namespace

void write(const char *data, size_t n)
{
    remember(fwrite(data, 1, n, stdout) != n);
}

void lost(int error)
{
    if (first_failure == 0)
        first_failure = error;
}

void flush()
{
    remember(fflush(stdout) != 0);
}

void report(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
}

void report_at_exit()
{
    remember(ferror(stdout) != 0);
    // A closed standard output is no failure while nothing was written to it.
    const bool pending = __fpending(stdout) != 0;
    errno = 0;
    remember(fclose(stdout) != 0 && (pending || errno != EBADF));
    if (first_failure != 0) {
        report("write error: %s\n", strerror(first_failure));
        _exit(1);
    }
}

} // namespace output_check
