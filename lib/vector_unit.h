// The vector instructions of this machine that the tree's loops can use, found once at start-up.
#pragma once

namespace support::internal
{

// The vector instructions a loop can use, from none to the widest.
enum class vector_unit { none, sse2, avx2 };

// The widest unit of this machine that the build can use: none on other processors and in a
// portable build.
vector_unit best_vector_unit();

} // namespace support::internal
