// The vector instructions of this machine that the tree's loops can use, found once at start-up,
// and the bit count that those loops share.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace support::internal
{

// The vector instructions a loop can use, from none to the widest.
enum class vector_unit { none, sse2, avx2 };

// The index of the lowest bit set in the 128-bit mask high:low, or 128 when it has none.
inline size_t first_bit_128(uint64_t low, uint64_t high)
{
    return low ? static_cast<size_t>(std::countr_zero(low))
               : 64 + static_cast<size_t>(std::countr_zero(high));
}

// The widest unit of this machine that the build can use: none on other processors and in a
// portable build.
vector_unit best_vector_unit();

} // namespace support::internal
