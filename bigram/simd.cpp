#include "simd.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "lines_loop.h"
#include "pairs.h"
#include "prefix.h"

#if defined(__x86_64__) && !defined(PORTABLE_BUILD)
#define BIGRAM_X86_VECTORS 1
#include <immintrin.h>
// Code for the avx2 unit, compiled for it whatever the build's target; every processor with AVX2
// also has BMI1 and BMI2, whose bit counts need no test for zero.
#define AVX2_CODE gnu::target("avx2,bmi,bmi2")
#endif

namespace bigram
{
#ifdef BIGRAM_X86_VECTORS

namespace
{

// Vectors are loaded from anywhere in a line, unaligned; the lowest bit of a mask is the first
// byte.

__m128i load_16(const void *p)
{
    return _mm_loadu_si128(static_cast<const __m128i *>(p));
}

[[AVX2_CODE]] __m256i load_32(const void *p)
{
    return _mm256_loadu_si256(static_cast<const __m256i *>(p));
}

// One bit for each of the 16 bytes at a and b that differ.
unsigned differing_bytes_16(const char *a, const char *b)
{
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(load_16(a), load_16(b)))) ^
           0xFFFFu;
}

// One bit for each of the 32 bytes at a and b that differ.
[[AVX2_CODE]] unsigned differing_bytes_32(const char *a, const char *b)
{
    return ~static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(load_32(a), load_32(b))));
}

// One bit for each NUL byte of v.
unsigned nul_bytes(__m128i v)
{
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
}

// Index of the lowest bit set in a mask, or its width when it has none.
template <typename Mask> size_t first_bit(Mask mask)
{
    return static_cast<unsigned>(std::countr_zero(mask));
}

// Sixteen bytes a step, the last step overlapping the one before; fewer than 16 as words.
size_t common_prefix_sse2(const char *a, const char *b, size_t n)
{
    if (n < 16)
        return common_prefix_words(a, b, n);
    size_t p = 0;
    for (; p + 16 <= n; p += 16) {
        if (const unsigned differ = differing_bytes_16(a + p, b + p))
            return p + first_bit(differ);
    }
    if (p == n)
        return n;
    const unsigned differ = differing_bytes_16(a + n - 16, b + n - 16);
    return differ ? n - 16 + first_bit(differ) : n;
}

// The index of the first of the 64 bytes at a and b that differ, or 64 when none does. The two
// halves are tested together.
[[AVX2_CODE]] size_t first_difference_64(const char *a, const char *b)
{
    const __m256i low = _mm256_cmpeq_epi8(load_32(a), load_32(b));
    const __m256i high = _mm256_cmpeq_epi8(load_32(a + 32), load_32(b + 32));
    if (_mm256_movemask_epi8(_mm256_and_si256(low, high)) == -1)
        return 64;
    const uint64_t equal = uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(high))} << 32 |
                           static_cast<uint32_t>(_mm256_movemask_epi8(low));
    return first_bit(~equal);
}

// Sixty-four bytes a step, the last step overlapping the one before; fewer than 64 in two
// overlapping halves, fewer than 32 with SSE2.
[[AVX2_CODE]] size_t common_prefix_avx2(const char *a, const char *b, size_t n)
{
    if (n < 64) [[unlikely]] {
        if (n < 32)
            return common_prefix_sse2(a, b, n);
        if (const unsigned differ = differing_bytes_32(a, b))
            return first_bit(differ);
        const unsigned differ = differing_bytes_32(a + n - 32, b + n - 32);
        return differ ? n - 32 + first_bit(differ) : n;
    }
    if (const size_t k = first_difference_64(a, b); k < 64)
        return k;
    // Lines of up to 128 bytes take no step between the first and the last.
    const size_t last = n - 64;
    for (size_t p = 64; p < last; p += 64) {
        if (const size_t k = first_difference_64(a + p, b + p); k < 64)
            return p + k;
    }
    return last + first_difference_64(a + last, b + last);
}

// The bit of line[end] in the NUL mask of the last 16-byte step, which ends there: the line ends
// at that byte when no NUL comes before it.
constexpr unsigned end_bit = 1u << 15;

// Sixteen bytes a step searched for the NUL, their pairs stored one by one. The last step
// searches the 16 bytes that end with line[end], without those before q.
listed store_pairs_sse2(char *out, const char *line, size_t p, size_t end)
{
    const size_t last = end - 15;
    size_t q = p;
    for (; q < last; q += 16, out += 24) {
        if (const unsigned nul = nul_bytes(load_16(line + q))) {
            const size_t k = first_bit(nul);
            store_pairs(out, line + q, k / 2);
            return {q + k, out + 3 * (k / 2)};
        }
        store_pairs(out, line + q, 8);
    }
    const size_t k = first_bit((nul_bytes(load_16(line + last)) | end_bit) >> (q - last));
    store_pairs(out, line + q, k / 2);
    return {q + k, out + 3 * (k / 2)};
}

// The bytes that the pairs of the first k bytes take, for k from 0 to 32: 3 for each whole pair.
constexpr auto pair_bytes = [] {
    std::array<unsigned char, 33> bytes{};
    for (size_t k = 0; k < bytes.size(); ++k)
        bytes[k] = static_cast<unsigned char>(3 * (k / 2));
    return bytes;
}();

// Indices that pick bytes s to 15 of a vector, then zeros, when loaded from slide + s.
alignas(32) constexpr signed char slide[32] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                                               11, 12, 13, 14, 15, -1, -1, -1, -1, -1, -1,
                                               -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

// Stores the 8 pairs of the 16 bytes of v at out, each followed by a newline: 24 bytes, then 8
// zero bytes.
[[AVX2_CODE]] void store_pairs_16(char *out, __m128i v)
{
    // Both halves of the vector hold v: the first picks output bytes 0 to 15, the second 16 to
    // 31, and the newlines go where the picks give zero.
    const __m256i order =
        _mm256_setr_epi8(0, 1, -1, 2, 3, -1, 4, 5, -1, 6, 7, -1, 8, 9, -1, 10, 11, -1, 12, 13, -1,
                         14, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i newlines =
        _mm256_setr_epi8(0, 0, '\n', 0, 0, '\n', 0, 0, '\n', 0, 0, '\n', 0, 0, '\n', 0, 0, '\n', 0,
                         0, '\n', 0, 0, '\n', 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i both = _mm256_broadcastsi128_si256(v);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out),
                        _mm256_or_si256(_mm256_shuffle_epi8(both, order), newlines));
}

// Sixteen bytes a step, searched for the NUL and their pairs stored with one shuffle. The last
// step takes the 16 bytes that end with line[end] and slides those from q on to the front,
// zeros behind them.
[[AVX2_CODE]] listed store_pairs_avx2(char *out, const char *line, size_t p, size_t end)
{
    const char *q = line + p, *const last = line + end - 15;
    // Most lines differ from the one before in their last 16 bytes and go straight to the tail.
    if (q < last) [[unlikely]] {
        for (; q < last; q += 16, out += 24) {
            const __m128i v = load_16(q);
            store_pairs_16(out, v);
            if (const unsigned nul = nul_bytes(v)) {
                const size_t k = first_bit(nul);
                return {static_cast<size_t>(q - line) + k, out + pair_bytes[k]};
            }
        }
    }
    const __m128i tail = load_16(last);
    const size_t skip = static_cast<size_t>(q - last);
    store_pairs_16(out, _mm_shuffle_epi8(tail, load_16(slide + skip)));
    const size_t k = first_bit((nul_bytes(tail) | end_bit) >> skip);
    return {static_cast<size_t>(q - line) + k, out + pair_bytes[k]};
}

// The bytes of both lines that the avx2 listing compares in one step, when the blocks hold as
// many: most names in a list part from the one before within them, and a loop that ends where
// two lines part costs them a mispredicted branch.
constexpr size_t prefix_window = 128;

// The bytes after the prefix that it searches for the NUL and stores the pairs of in the same
// way: most names differ from the one before in fewer.
constexpr size_t suffix_window = 32;

// The index of the first of the prefix_window bytes at a and b that differ, or prefix_window
// when none does.
[[AVX2_CODE]] size_t first_difference_window(const char *a, const char *b)
{
    return support::internal::first_bit_128(
        differing_bytes_32(a, b) | uint64_t{differing_bytes_32(a + 32, b + 32)} << 32,
        differing_bytes_32(a + 64, b + 64) | uint64_t{differing_bytes_32(a + 96, b + 96)} << 32);
}

// Stores the pairs of the suffix_window bytes at line + p, which may all be read, at out, and
// returns what list_pairs_vector does when the line ends among them; otherwise goes on after
// them.
[[AVX2_CODE]] listed store_pairs_window(char *out, const char *line, size_t p, size_t end)
{
    const unsigned nul = static_cast<unsigned>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(load_32(line + p), _mm256_setzero_si256())));
    store_pairs_16(out, load_16(line + p));
    store_pairs_16(out + 24, load_16(line + p + 16));
    const size_t len = smaller(p + first_bit(nul), end);
    if (len >= p + suffix_window) [[unlikely]]
        return store_pairs_avx2(out + 48, line, p + suffix_window, end);
    return {len, out + pair_bytes[len - p]};
}

// The prefix, then the pairs after it.
listed list_pairs_sse2(char *out, const char *line, size_t end, const char *prev, size_t n)
{
    return store_pairs_sse2(out, line, common_prefix_sse2(line, prev, n), end);
}

// Both loops inlined: one call a line, and no call inside, so no registers to save. With
// readable bytes of both lines at hand, both windows; the bytes read past the lines change
// nothing, as the prefix is cut at n and the pairs at the line's end.
[[AVX2_CODE, gnu::flatten]] listed list_pairs_avx2(char *out, const char *line, size_t end,
                                                   const char *prev, size_t n, size_t readable)
{
    if (readable < prefix_window + suffix_window) [[unlikely]]
        return store_pairs_avx2(out, line, common_prefix_avx2(line, prev, n), end);
    size_t p = smaller(first_difference_window(line, prev), n);
    if (p == prefix_window) [[unlikely]]
        p += common_prefix_avx2(line + p, prev + p, n - p);
    if (p + suffix_window > readable) [[unlikely]]
        return store_pairs_avx2(out, line, p, end);
    return store_pairs_window(out, line, p, end);
}

} // namespace

size_t common_prefix_vector(const char *a, const char *b, size_t n, vector_unit unit)
{
    return unit == vector_unit::avx2 ? common_prefix_avx2(a, b, n) : common_prefix_sse2(a, b, n);
}

listed list_pairs_vector(char *out, const char *line, size_t end, const char *prev, size_t n,
                         size_t readable, vector_unit unit)
{
    return unit == vector_unit::avx2 ? list_pairs_avx2(out, line, end, prev, n, readable)
                                     : list_pairs_sse2(out, line, end, prev, n);
}

// The whole loop compiled for the unit: the pairs are listed and the reader's records copied
// with no call between them.
[[AVX2_CODE, gnu::flatten]] int list_lines_avx2(FILE *in, FILE *out, line_buffers *buffers)
{
    return list_lines_with(in, out, buffers, vector_unit::avx2);
}

#else

// No vector unit is ever chosen; these do the same the plain way.

size_t common_prefix_vector(const char *a, const char *b, size_t n, vector_unit)
{
    return common_prefix_words(a, b, n);
}

listed list_pairs_vector(char *out, const char *line, size_t end, const char *prev, size_t n,
                         size_t, vector_unit)
{
    const size_t p = common_prefix_words(line, prev, n);
    const size_t len = p + strnlen(line + p, end - p);
    store_pairs(out, line + p, (len - p) / 2);
    return {len, out + 3 * ((len - p) / 2)};
}

int list_lines_avx2(FILE *in, FILE *out, line_buffers *buffers)
{
    return list_lines_with(in, out, buffers, vector_unit::none);
}

#endif

} // namespace bigram
