#include "record_copy.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__x86_64__) && !defined(PORTABLE_BUILD)
#define SUPPORT_X86_VECTORS 1
#include <immintrin.h>
// Code for the avx2 unit, compiled for it whatever the build's target.
#define AVX2_CODE gnu::target("avx2,bmi,bmi2")
#endif

namespace support::internal
{
namespace
{

// One search, then one copy of what it found.
size_t copy_record_plain(char *dst, const char *src, size_t size, int delimiter)
{
    const void *hit = size ? memchr(src, delimiter, size) : nullptr;
    if (!hit)
        return 0;
    const size_t count = static_cast<size_t>(static_cast<const char *>(hit) - src) + 1;
    memcpy(dst, src, count);
    return count;
}

#ifdef SUPPORT_X86_VECTORS

// The bytes that the vector loops search before they leave a long record to the C library's
// search and copy, which go faster on it than a step that stores as it goes.
constexpr size_t long_record = 256;

// copy_record_plain from byte p on, the bytes before it copied and searched already.
size_t copy_record_from(char *dst, const char *src, size_t size, int delimiter, size_t p)
{
    const size_t count = copy_record_plain(dst + p, src + p, size - p, delimiter);
    return count ? p + count : 0;
}

// Copies the 16 bytes at src to dst and returns one bit for each of them that equals wanted's.
unsigned copy_16(char *dst, const char *src, __m128i wanted)
{
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), v);
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, wanted)));
}

// Copies the 32 bytes at src to dst and returns one bit for each of them that equals wanted's.
[[AVX2_CODE]] unsigned copy_32(char *dst, const char *src, __m256i wanted)
{
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst), v);
    return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, wanted)));
}

// Sixteen bytes a step, each stored before its search is looked at; the last step overlaps the
// one before and its bytes before p are left out of the search. Fewer than 16 the plain way, and
// what is left after long_record too.
size_t copy_record_sse2(char *dst, const char *src, size_t size, int delimiter)
{
    if (size < 16) [[unlikely]]
        return copy_record_plain(dst, src, size, delimiter);
    const __m128i wanted = _mm_set1_epi8(static_cast<char>(delimiter));
    const size_t last = size - 16;
    size_t p = 0;
    for (const size_t stop = std::min(last, long_record); p < stop; p += 16) {
        if (const unsigned hit = copy_16(dst + p, src + p, wanted))
            return p + static_cast<size_t>(std::countr_zero(hit)) + 1;
    }
    if (p < last) [[unlikely]]
        return copy_record_from(dst, src, size, delimiter, p);
    const unsigned hit = copy_16(dst + last, src + last, wanted) >> (p - last);
    return hit ? p + static_cast<size_t>(std::countr_zero(hit)) + 1 : 0;
}

// As copy_record_sse2, 32 bytes a step; fewer than 32 with SSE2.
[[AVX2_CODE]] size_t copy_record_avx2(char *dst, const char *src, size_t size, int delimiter)
{
    if (size < 32) [[unlikely]]
        return copy_record_sse2(dst, src, size, delimiter);
    const __m256i wanted = _mm256_set1_epi8(static_cast<char>(delimiter));
    const size_t last = size - 32;
    size_t p = 0;
    for (const size_t stop = std::min(last, long_record); p < stop; p += 32) {
        if (const unsigned hit = copy_32(dst + p, src + p, wanted))
            return p + static_cast<size_t>(std::countr_zero(hit)) + 1;
    }
    if (p < last) [[unlikely]]
        return copy_record_from(dst, src, size, delimiter, p);
    const unsigned hit = copy_32(dst + last, src + last, wanted) >> (p - last);
    return hit ? p + static_cast<size_t>(std::countr_zero(hit)) + 1 : 0;
}

#endif

} // namespace

size_t copy_record(char *dst, const char *src, size_t size, int delimiter, vector_unit unit)
{
#ifdef SUPPORT_X86_VECTORS
    if (unit == vector_unit::avx2)
        return copy_record_avx2(dst, src, size, delimiter);
    if (unit == vector_unit::sse2)
        return copy_record_sse2(dst, src, size, delimiter);
#else
    (void)unit;
#endif
    return copy_record_plain(dst, src, size, delimiter);
}

} // namespace support::internal
