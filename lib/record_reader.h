// The reader behind getdelim, with the cap on the block as a parameter so that the library's
// tests can reach the cap with short records.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>

#include "vector_unit.h"

namespace support::internal
{

// getdelim's cap: no block grows past it, so a count always fits a signed 32-bit size.
inline constexpr size_t record_cap = size_t{1} << 31;

// getdelim with no block growing past cap bytes (at least 120, the first block); a record that
// needs more room fails with EOVERFLOW.
ssize_t read_record(char **lineptr, size_t *n, int delimiter, FILE *stream, size_t cap);

// Makes the reader copy and search with unit, which the machine must have, in place of the
// widest one chosen at start-up; for the tests, which try each.
void set_reader_unit(vector_unit unit);

} // namespace support::internal
