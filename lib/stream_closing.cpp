#include "stream_closing.h"

#include <unistd.h>

#include <cerrno>

#include "diagnostics.h"
#include "platform.h"
#include "quoting.h"
#include "stdout_state.h"

namespace support
{
namespace
{

// The name of standard output for the failure message, or null.
const char *output_file_name = nullptr;

} // namespace

int close_stream(FILE *stream)
{
    const bool some_pending = internal::pending_output(stream) != 0;
    const bool prev_fail = ferror(stream) != 0;
    // The report of a failure goes through error, which flushes standard output first; the
    // flag makes it skip that flush once the stream is gone, closed cleanly or not.
    if (stream == stdout)
        internal::stdout_closed = true;
    const bool fclose_fail = fclose(stream) != 0;
    // A close that fails with EBADF and loses nothing means the descriptor was never open,
    // which is fine for a program that wrote nothing.
    if (prev_fail || (fclose_fail && (some_pending || errno != EBADF))) {
        if (!fclose_fail)
            errno = 0;
        return EOF;
    }
    return 0;
}

void close_stdout()
{
    if (close_stream(stdout) != 0) {
        constexpr const char *write_error = "write error";
        if (output_file_name) {
            // Quoting keeps errno, but is done before errno is read all the same.
            const char *quoted = quotearg_colon(output_file_name);
            const int errnum = errno;
            error(0, errnum, "%s: %s", quoted, write_error);
        } else {
            error(0, errno, "%s", write_error);
        }
        // At once: no later exit handler may touch the closed stream.
        _exit(exit_failure);
    }
    if (close_stream(stderr) != 0)
        _exit(exit_failure);
}

void close_stdout_set_file_name(const char *file)
{
    output_file_name = file;
}

} // namespace support
