// Output of the byte pairs of a line after the prefix it shares with the line before it, each
// pair followed by a newline.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <span>

#include "platform.h"
#include "prefix.h"
#include "simd.h"

namespace bigram
{

// Stores the first pairs byte pairs at s at out, each followed by a newline: 3 × pairs bytes.
// Reads no byte past the pairs. A two-byte copy and a newline a pair, four pairs a step.
inline void store_pairs(char *out, const char *s, size_t pairs)
{
    constexpr auto store_pair = [](char *o, const char *p) {
        memcpy(o, p, 2);
        o[2] = '\n';
    };
    for (; pairs >= 4; pairs -= 4, s += 8, out += 12) {
        store_pair(out, s);
        store_pair(out + 3, s + 2);
        store_pair(out + 6, s + 4);
        store_pair(out + 9, s + 6);
    }
    for (; pairs > 0; --pairs, s += 2, out += 3)
        store_pair(out, s);
}

// Writes the first pairs byte pairs at s to out, each followed by a newline, as the single-byte
// write would: as many as fit the room left in out's buffer at a time, and one through the
// single-byte write, which flushes, when none does.
void put_pairs(FILE *out, const char *s, size_t pairs);

// Writes to out the byte pairs of line after the prefix it shares with prev, each followed by a
// newline, with the single-byte write when out's buffer has no room for them, and returns the
// line's length. The line is its first end bytes, cut at the first NUL among them; prev holds no
// NUL before prev_len. The caller is out's only user (its lock is not taken).
inline size_t list_pairs_plain(FILE *out, const char *line, size_t end, const char *prev,
                               size_t prev_len, vector_unit unit)
{
    // The previous line has no NUL before prev_len, so the comparison stops at the line's first.
    const size_t p = common_prefix(line, prev, std::min(end, prev_len), unit);
    const size_t len = p + strnlen(line + p, end - p);
    put_pairs(out, line + p, (len - p) / 2);
    return len;
}

// list_pairs_plain, with a line of 15 bytes or more going to the vector unit when the room left
// in out's buffer takes 2 × end + 32 bytes: every pair the line can have, and the overhang of
// the last vector store. The first readable bytes at line and at prev (at least end + 1) may be
// read, past the line's NUL and prev_len too.
inline size_t list_pairs(FILE *out, const char *line, size_t end, const char *prev, size_t prev_len,
                         size_t readable, vector_unit unit)
{
    if (unit != vector_unit::none && end >= 15 &&
        support::internal::output_room_holds(out, 2 * end + 32)) [[likely]] {
        const listed done = list_pairs_vector(support::internal::output_position(out), line, end,
                                              prev, smaller(end, prev_len), readable, unit);
        support::internal::commit_output_to(out, done.out);
        return done.len;
    }
    return list_pairs_plain(out, line, end, prev, prev_len, unit);
}

} // namespace bigram
