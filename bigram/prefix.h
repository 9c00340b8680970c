// The length of the prefix that two lines share.
#pragma once

#include <bit>
#include <cstddef>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace bigram
{

// common_prefix on any machine: whole words first, then single bytes.
size_t common_prefix_words(const char *a, const char *b, size_t n);

#ifdef __SSE2__

// One bit for each of the 16 bytes at a + p and b + p that differ, the first byte lowest.
inline unsigned differing_bytes(const char *a, const char *b, size_t p)
{
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + p));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + p));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y))) ^ 0xFFFFu;
}

// The index of the first differing byte of the 16 at a + p and b + p, or none when they are
// all equal.
inline size_t first_difference(const char *a, const char *b, size_t p, size_t none)
{
    const unsigned d = differing_bytes(a, b, p);
    return d ? p + static_cast<size_t>(std::countr_zero(d)) : none;
}

// Index of the first byte at which a and b differ, or n when their first n bytes are equal.
// Sixteen bytes at a time, as SSE2 is there.
inline size_t common_prefix(const char *a, const char *b, size_t n)
{
    if (n < 16)
        return common_prefix_words(a, b, n);
    // Thirty-two bytes a step while they last; the bytes of a step are tested together.
    size_t p = 0;
    for (; p + 32 <= n; p += 32) {
        const __m128i same = _mm_and_si128(
            _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(a + p)),
                           _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + p))),
            _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(a + p + 16)),
                           _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + p + 16))));
        if (_mm_movemask_epi8(same) != 0xFFFF)
            return first_difference(a, b, p, first_difference(a, b, p + 16, n));
    }
    if (p + 16 <= n && differing_bytes(a, b, p))
        return first_difference(a, b, p, n);
    // The last 16 bytes, overlapping those already found equal.
    return p == n ? n : first_difference(a, b, n - 16, n);
}

#else

// Index of the first byte at which a and b differ, or n when their first n bytes are equal.
inline size_t common_prefix(const char *a, const char *b, size_t n)
{
    return common_prefix_words(a, b, n);
}

#endif

} // namespace bigram
