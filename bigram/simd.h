// The listing's loops written with vector instructions; which of them this machine has is found
// once at start-up, as for the line reader. simd.cpp is the listing's one file with vector code.
#pragma once

#include <cstddef>
#include <cstdio>

#include "vector_unit.h"

namespace bigram
{

// The vector instructions the listing can use, from none to the widest.
using support::internal::vector_unit;

// The widest unit of this machine that the build can use: none on other processors and in a
// portable build.
using support::internal::best_vector_unit;

// common_prefix with unit, which is not none.
size_t common_prefix_vector(const char *a, const char *b, size_t n, vector_unit unit);

// What list_pairs_vector did: the line's length, and the end of the bytes stored.
struct listed {
    size_t len;
    char *out;
};

// Stores at out the byte pairs of line after the prefix that its first n bytes share with prev,
// each followed by a newline. The line is its first end bytes, cut at the first NUL among them;
// end is at least 15, n is at most end, and none of the first n bytes of prev is a NUL. Reads
// none of the bytes of line and prev past their first readable (at least end + 1), and when
// readable is below 160 none past line[end] and prev's first n; writes at most 2 × end + 32
// bytes at out. unit is not none.
listed list_pairs_vector(char *out, const char *line, size_t end, const char *prev, size_t n,
                         size_t readable, vector_unit unit);

struct line_buffers;

// list_lines with the avx2 unit, which the machine must have.
int list_lines_avx2(FILE *in, FILE *out, line_buffers *buffers);

} // namespace bigram
