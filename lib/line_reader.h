// Reading delimited records of any length into a caller-owned, growable buffer.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>

namespace support
{

// Reads from stream up to and including delimiter (0 to 255) into *lineptr, growing the block
// (and *n) with realloc as needed, and stores a NUL after the bytes. Returns the number of bytes
// read, or -1 at end of file with nothing read or on failure (errno EINVAL, EOVERFLOW, ENOMEM).
ssize_t getdelim(char **lineptr, size_t *n, int delimiter, FILE *stream);

// getdelim with the newline as delimiter.
ssize_t rpl_getline(char **lineptr, size_t *n, FILE *stream);

} // namespace support
