// Standard output whose failures are remembered, so that the check at exit can name the cause
// of a write that failed long before: stdio drops the bytes and keeps only its error flag. The
// one file of scoreboard/ that asks stdio for more than the standard gives (__fpending).
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

// Makes one output call (true when it says it failed) and remembers its errno when it failed, or
// when it set the stream's error indicator without saying so, as a line-buffered or unbuffered
// write may. The errno is taken at once: by the check at exit it would name some later, unrelated
// failure. errno is left as it was before the call.
template <typename F> void watch(F call)
{
    const int saved = errno;
    const bool clean_before = ferror(stdout) == 0;
    errno = 0;
    const bool failed = call();
    if (failed || (clean_before && ferror(stdout) != 0))
        lost(errno != 0 ? errno : EIO);
    errno = saved;
}

} // namespace

void write(const char *data, size_t n)
{
    watch([&] { return fwrite(data, 1, n, stdout) != n; });
}

void print(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    watch([&] { return vprintf(format, args) < 0; });
    va_end(args);
}

void lost(int error)
{
    if (first_failure == 0)
        first_failure = error;
}

void flush()
{
    watch([] { return fflush(stdout) != 0; });
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
    // Every write above remembered its own failure; an error indicator set some other way has
    // no known cause.
    if (ferror(stdout) != 0)
        lost(EIO);
    // A closed standard output is no failure while nothing was written to it.
    const bool pending = __fpending(stdout) != 0;
    errno = 0;
    if (fclose(stdout) != 0 && (pending || errno != EBADF))
        lost(errno != 0 ? errno : EIO);
    if (first_failure != 0) {
        report("write error: %s\n", strerror(first_failure));
        _exit(1);
    }
}

} // namespace output_check
