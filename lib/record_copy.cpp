#include "record_copy.h"

#include <algorithm>
#include <bit>
#include <cstdint>
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

// The count of a record that has been copied to dst, after storing the NUL that ends it there.
size_t ended(char *dst, size_t count)
{
    if (count)
        dst[count] = '\0';
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

// The bytes that the avx2 copy takes in one step, four vectors copied and searched at once: most
// records of a list of names are shorter, and a loop that ends where a record does costs them a
// mispredicted branch.
constexpr size_t record_window = 128;

// Copies the record_window bytes at src to dst and returns the index of the first that equals
// wanted's, or record_window when none does.
[[AVX2_CODE]] size_t copy_window(char *dst, const char *src, __m256i wanted)
{
    uint32_t hits[4];
    for (size_t i = 0; i < 4; ++i)
        hits[i] = copy_32(dst + 32 * i, src + 32 * i, wanted);
    return first_bit_128(hits[0] | uint64_t{hits[1]} << 32, hits[2] | uint64_t{hits[3]} << 32);
}

// Stores the NUL at dst[at] (below record_window) by storing again, with the NUL in it, the
// 32 bytes of the window's copy that hold it: the caller's loads of the record then take their
// bytes from single stores, which a byte stored over a vector would make them wait for.
[[AVX2_CODE]] void store_nul_in_window(char *dst, const char *src, size_t at)
{
    const size_t part = at & ~size_t{31};
    const __m256i index =
        _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                         21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    const __m256i nul = _mm256_cmpeq_epi8(index, _mm256_set1_epi8(static_cast<char>(at & 31)));
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + part));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + part), _mm256_andnot_si256(nul, bytes));
}

// As copy_record_sse2, 32 bytes a step after a first window of record_window bytes when there
// are as many; fewer than 32 with SSE2. Stores the NUL after the record.
[[AVX2_CODE]] size_t copy_record_avx2(char *dst, const char *src, size_t size, int delimiter)
{
    if (size < 32) [[unlikely]]
        return ended(dst, copy_record_sse2(dst, src, size, delimiter));
    const __m256i wanted = _mm256_set1_epi8(static_cast<char>(delimiter));
    const size_t last = size - 32;
    size_t p = 0;
    if (size >= record_window) [[likely]] {
        const size_t k = copy_window(dst, src, wanted);
        if (k + 1 < record_window) [[likely]] {
            store_nul_in_window(dst, src, k + 1);
            return k + 1;
        }
        if (k + 1 == record_window)
            return ended(dst, record_window);
        if (size == record_window)
            return 0;
        p = record_window;
    }
    for (const size_t stop = std::min(last, long_record); p < stop; p += 32) {
        if (const unsigned hit = copy_32(dst + p, src + p, wanted))
            return ended(dst, p + static_cast<size_t>(std::countr_zero(hit)) + 1);
    }
    if (p < last) [[unlikely]]
        return ended(dst, copy_record_from(dst, src, size, delimiter, p));
    const unsigned hit = copy_32(dst + last, src + last, wanted) >> (p - last);
    return ended(dst, hit ? p + static_cast<size_t>(std::countr_zero(hit)) + 1 : 0);
}

#endif

} // namespace

size_t copy_record(char *dst, const char *src, size_t size, int delimiter, vector_unit unit)
{
#ifdef SUPPORT_X86_VECTORS
    if (unit == vector_unit::avx2)
        return copy_record_avx2(dst, src, size, delimiter);
    if (unit == vector_unit::sse2)
        return ended(dst, copy_record_sse2(dst, src, size, delimiter));
#else
    (void)unit;
#endif
    return ended(dst, copy_record_plain(dst, src, size, delimiter));
}

} // namespace support::internal
