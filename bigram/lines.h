// The listing loop: every line of a stream read, compared with the line before it, and its pairs
// written.
#pragma once

#include <cstddef>
#include <cstdio>

#include "simd.h"

namespace bigram
{

// The two line buffers, each a heap block with its size; they change roles after every line.
struct line_buffers {
    char *line;
    size_t line_size;
    char *prev;
    size_t prev_size;
};

// Lists the pairs of every line of in to out, comparing each with the line before it (the first
// with the empty string, which buffers->prev holds), with the instructions of unit, which the
// machine must have and the line reader must use. Stops at the first line the reader does not
// give, and returns the errno of the failed read that cut the last line short, or 0. The caller
// is the only user of both streams.
int list_lines(FILE *in, FILE *out, line_buffers *buffers, vector_unit unit);

} // namespace bigram
