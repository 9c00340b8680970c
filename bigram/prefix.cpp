#include "prefix.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace bigram
{

size_t common_prefix_words(const char *a, const char *b, size_t n)
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

} // namespace bigram
