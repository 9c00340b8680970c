// The body of list_lines, inline, so that each vector unit's copy is compiled with its
// instructions and takes the pair listing and the reader's common case into its own loop.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "line_reader.h"
#include "lines.h"
#include "pairs.h"

namespace bigram
{

// Lists the pairs of the last line of in, which has no newline, all of its count bytes, and
// returns the errno of the failed read that cut it short, or 0 when the input simply ended there.
// Not inlined, so that it costs the loop's common path no registers.
[[gnu::noinline]] int list_last_line(FILE *in, FILE *out, const char *line, size_t count,
                                     const char *prev, size_t prev_len, vector_unit unit);

// list_lines with the buffers in locals, which the loop keeps in registers.
[[gnu::always_inline]] inline int list_lines_with(FILE *in, FILE *out, line_buffers *buffers,
                                                  vector_unit unit)
{
    char *line = buffers->line, *prev = buffers->prev;
    size_t line_size = buffers->line_size, prev_size = buffers->prev_size;
    size_t prev_len = 0;
    int read_failure = 0;
    ssize_t count;
    while ((count = support::rpl_getline(&line, &line_size, in)) > 0) {
        const size_t end = static_cast<size_t>(count) - 1;
        if (line[end] != '\n') [[unlikely]] {
            // At the end of the input there is nothing more; after a failed read stdio would
            // read on.
            read_failure = list_last_line(in, out, line, end + 1, prev, prev_len, unit);
            break;
        }
        // The line ends before its newline, which stays: a byte stored over it would make the
        // vector loads that read the line next wait for that store. Both blocks may be read to
        // the end of the smaller.
        prev_len = list_pairs(out, line, end, prev, prev_len, std::min(line_size, prev_size), unit);
        std::swap(line, prev);
        std::swap(line_size, prev_size);
    }
    *buffers = {line, line_size, prev, prev_size};
    return read_failure;
}

} // namespace bigram
