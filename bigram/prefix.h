// The length of the prefix that two lines share.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "simd.h"

namespace bigram
{

// The smaller of a and b, chosen without a branch: which it is depends on the data.
inline size_t smaller(size_t a, size_t b)
{
    return b ^ ((a ^ b) & -static_cast<size_t>(a < b));
}

// common_prefix without vector instructions: whole words first, then single bytes. Inline, so
// that the vector loops, which take it for short lines, call nothing.
inline size_t common_prefix_words(const char *a, const char *b, size_t n)
{
    size_t p = 0;
    for (; p + 8 <= n; p += 8) {
        uint64_t x, y;
        memcpy(&x, a + p, 8);
        memcpy(&y, b + p, 8);
        // The first differing byte of a word is found from its bits.
        if (uint64_t d = x ^ y) {
            int bit = std::endian::native == std::endian::little ? std::countr_zero(d)
                                                                 : std::countl_zero(d);
            return p + static_cast<size_t>(bit) / 8;
        }
    }
    while (p < n && a[p] == b[p])
        ++p;
    return p;
}

// Index of the first byte at which a and b differ, or n when their first n bytes are equal,
// found with the instructions of unit, which the machine must have. Reads no byte past n.
inline size_t common_prefix(const char *a, const char *b, size_t n, vector_unit unit)
{
    return unit == vector_unit::none ? common_prefix_words(a, b, n)
                                     : common_prefix_vector(a, b, n, unit);
}

} // namespace bigram
