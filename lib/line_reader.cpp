#include "line_reader.h"

#include <cerrno>
#include <cstdlib>

namespace support
{
namespace
{

// No block grows past this many bytes, so a count always fits a signed 32-bit size. Tests
// build a copy of this file with a small cap to reach the limit cheaply.
#ifdef LINE_READER_CAP
constexpr size_t block_cap = LINE_READER_CAP;
#else
constexpr size_t block_cap = size_t{1} << 31;
#endif
constexpr size_t first_block = 120;

// Holds the stream's lock for the whole record.
struct StreamLock {
    FILE *stream;
    explicit StreamLock(FILE *s) : stream(s) { flockfile(stream); }
    ~StreamLock() { funlockfile(stream); }
    StreamLock(const StreamLock &) = delete;
    StreamLock &operator=(const StreamLock &) = delete;
};

// The size a block of n bytes grows to: 2n + 1, but never past the cap.
size_t grown_size(size_t n)
{
    return n > (block_cap - 1) / 2 ? block_cap : 2 * n + 1;
}

} // namespace

ssize_t getdelim(char **lineptr, size_t *n, int delimiter, FILE *stream)
{
    if (!lineptr || !n || !stream) {
        errno = EINVAL;
        return -1;
    }
    StreamLock lock(stream);
    if (!*lineptr || *n == 0) {
        *n = first_block;
        *lineptr = static_cast<char *>(realloc(*lineptr, first_block));
        if (!*lineptr)
            return -1;
    }
    size_t count = 0;
    for (;;) {
        int c = getc_unlocked(stream);
        if (c == EOF)
            break;
        if (count + 1 >= *n) {
            size_t size = grown_size(*n);
            if (count + 1 >= size) {
                errno = EOVERFLOW;
                return -1;
            }
            auto *block = static_cast<char *>(realloc(*lineptr, size));
            if (!block)
                return -1;
            *lineptr = block;
            *n = size;
        }
        (*lineptr)[count++] = static_cast<char>(c);
        if (c == delimiter)
            break;
    }
    (*lineptr)[count] = '\0';
    return count ? static_cast<ssize_t>(count) : -1;
}

ssize_t rpl_getline(char **lineptr, size_t *n, FILE *stream)
{
    return support::getdelim(lineptr, n, '\n', stream);
}

} // namespace support
