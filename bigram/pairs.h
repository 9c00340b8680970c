// Output of the byte pairs of a line, each followed by a newline.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <span>

#include "platform.h"

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

// put_pairs for pairs that do not all fit the room left in out's buffer: as many as fit there
// at a time, and one through the single-byte write, which flushes, when none does.
void put_pairs_in_parts(FILE *out, const char *s, size_t pairs);

// Writes the first pairs byte pairs at s to out, each followed by a newline, as the single-byte
// write would: stored straight into the room left in out's buffer when they all fit there. The
// caller is out's only user (its lock is not taken).
inline void put_pairs(FILE *out, const char *s, size_t pairs)
{
    const std::span<char> room = support::internal::output_room(out);
    if (3 * pairs > room.size()) {
        put_pairs_in_parts(out, s, pairs);
        return;
    }
    store_pairs(room.data(), s, pairs);
    support::internal::commit_output(out, 3 * pairs);
}

} // namespace bigram
