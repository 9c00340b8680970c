// The reader's common case: copying the buffered bytes of a record while searching them for its
// delimiter, built for each vector unit.
#pragma once

#include <cstddef>

#include "vector_unit.h"

namespace support::internal
{

// Copies the bytes at src to dst up to and including the first delimiter (0 to 255) among the
// first size, with the instructions of unit, which the machine must have, stores a NUL after
// them, and returns their number; returns 0 when none of them is the delimiter. dst holds size + 1
// bytes. May store any of them, and reads no byte of src past the first size.
size_t copy_record(char *dst, const char *src, size_t size, int delimiter, vector_unit unit);

} // namespace support::internal
