// bigramlist: for each line of standard input, list the non-overlapping byte pairs of the part
// after the prefix it shares with the line before it, one pair per output line.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "diagnostics.h"
#include "line_reader.h"
#include "pairs.h"
#include "stream_closing.h"

namespace
{

// Both line buffers start this large, so ordinary lines never make the reader grow them.
constexpr size_t initial_line_size = 1026;

// Standard input's and output's stdio buffers: large enough that reads and writes cost little
// beside the listing, small enough to keep the program's memory low. They live until exit,
// where the at-exit check flushes standard output.
constexpr size_t stream_buffer_size = 128 * 1024;
alignas(64) char input_buffer[stream_buffer_size];
alignas(64) char output_buffer[stream_buffer_size];

// Gives stream the buffer, unless it is a terminal, which keeps the line buffering that stdio
// gives it. A null buffer would leave stdio's own size in place.
void buffer_fully(FILE *stream, char *buffer)
{
    if (!isatty(fileno(stream)))
        setvbuf(stream, buffer, _IOFBF, stream_buffer_size);
}

// Lists the pairs of the last line, which has no newline, all of its count bytes, and returns
// the errno of the failed read that cut it short, or 0 when the input simply ended there. Not
// inlined, so that it costs the loop's common path no registers.
[[gnu::noinline]] int list_last_line(FILE *out, const char *line, size_t count, const char *prev,
                                     size_t prev_len, bigram::vector_unit unit)
{
    const int failure = ferror(stdin) ? errno : 0;
    bigram::list_pairs_plain(out, line, count, prev, prev_len, unit);
    return failure;
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
    buffer_fully(stdin, input_buffer);
    buffer_fully(stdout, output_buffer);
    size_t line_size = initial_line_size, prev_size = initial_line_size;
    auto *line = static_cast<char *>(support::xmalloc(line_size));
    auto *prev = static_cast<char *>(support::xmalloc(prev_size));
    prev[0] = '\0';
    size_t prev_len = 0;
    const bigram::vector_unit unit = bigram::best_vector_unit();

    ssize_t count;
    int read_failure = 0; // errno of a failed read, which ends the input
    // Read once: stdin and stdout are globals, which any call could change for all the compiler
    // knows.
    FILE *const in = stdin, *const out = stdout;
    while ((count = support::rpl_getline(&line, &line_size, in)) > 0) {
        const size_t end = static_cast<size_t>(count) - 1;
        if (line[end] != '\n') [[unlikely]] {
            // At the end of the input there is nothing more; after a failed read stdio would
            // read on.
            read_failure = list_last_line(out, line, end + 1, prev, prev_len, unit);
            break;
        }
        line[end] = '\0'; // the newline becomes the NUL that ends the line
        prev_len = bigram::list_pairs(out, line, end, prev, prev_len, unit);
        std::swap(line, prev);
        std::swap(line_size, prev_size);
    }
    end_of_input(read_failure);
    free(line);
    free(prev);
    return 0;
}
