// bigramlist: for each line of standard input, list the non-overlapping byte pairs of the part
// after the prefix it shares with the line before it, one pair per output line.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "diagnostics.h"
#include "lines.h"
#include "stream_closing.h"

namespace
{

// Both line buffers start this large, so ordinary lines never make the reader grow them.
constexpr size_t initial_line_size = 1026;

// Standard input's and output's stdio buffers, which live until exit, where the at-exit check
// flushes standard output. A read call costs the kernel about a third of what copying 128 KiB
// does, so the input is read 1 MiB at a time; the output, a sixth of the input's size on a list
// of names, gains nothing from more than 128 KiB, which keeps the program's memory low.
constexpr size_t input_buffer_size = 1024 * 1024;
constexpr size_t output_buffer_size = 128 * 1024;
alignas(64) char input_buffer[input_buffer_size];
alignas(64) char output_buffer[output_buffer_size];

// Gives stream the buffer of size bytes, unless it is a terminal, which keeps the line buffering
// that stdio gives it. A null buffer would leave stdio's own size in place.
void buffer_fully(FILE *stream, char *buffer, size_t size)
{
    if (!isatty(fileno(stream)))
        setvbuf(stream, buffer, _IOFBF, size);
}

// Tells why the reading stopped, after read_failure (an errno, or 0): at the end of the input,
// which is fine; for want of memory, which ends the program as an allocation failure does; or a
// read error, reported with status 1.
void end_of_input(int read_failure)
{
    if (read_failure == 0 && (ferror(stdin) || !feof(stdin))) {
        if (errno == ENOMEM && !ferror(stdin))
            support::xalloc_die();
        read_failure = errno;
    }
    if (read_failure != 0)
        support::error(support::exit_failure, read_failure, "read error");
}

} // namespace

int main(int, char **argv)
{
    support::program_name = argv[0];
    atexit(support::close_stdout);
    buffer_fully(stdin, input_buffer, input_buffer_size);
    buffer_fully(stdout, output_buffer, output_buffer_size);
    // The current-line buffer first, then the previous one, which holds the empty string.
    bigram::line_buffers buffers{nullptr, initial_line_size, nullptr, initial_line_size};
    buffers.line = static_cast<char *>(support::xmalloc(buffers.line_size));
    buffers.prev = static_cast<char *>(support::xmalloc(buffers.prev_size));
    buffers.prev[0] = '\0';
    const int read_failure =
        bigram::list_lines(stdin, stdout, &buffers, bigram::best_vector_unit());
    end_of_input(read_failure);
    free(buffers.line);
    free(buffers.prev);
    return 0;
}
