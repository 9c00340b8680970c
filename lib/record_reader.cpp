#include "record_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#if defined(__GLIBC__) && __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>
#endif

#include "stream_buffer.h"

namespace support::internal
{
namespace
{

constexpr size_t first_block = 120;

// True when the process has only ever had one thread, so no other can use the stream. Where the
// platform cannot tell, the answer is no.
bool single_threaded()
{
#if defined(__GLIBC__) && __has_include(<sys/single_threaded.h>)
    return __libc_single_threaded != 0;
#else
    return false;
#endif
}

// Holds the stream's lock for the whole record. A process with one thread skips the two atomic
// operations: on short records they cost as much as the reading.
struct stream_lock {
    FILE *stream;
    bool held;
    explicit stream_lock(FILE *s) : stream(s), held(!single_threaded())
    {
        if (held)
            flockfile(stream);
    }
    ~stream_lock()
    {
        if (held)
            funlockfile(stream);
    }
    stream_lock(const stream_lock &) = delete;
    stream_lock &operator=(const stream_lock &) = delete;
};

// Result of making room for one more byte and the NUL after it.
enum class room { ok, overflow, no_memory };

// Grows the block (2n + 1, but never past cap) when byte number count + 1 and the NUL after it
// do not fit. On failure the block and its size are unchanged.
room make_room(char **lineptr, size_t *n, size_t count, size_t cap)
{
    if (count + 1 < *n)
        return room::ok;
    size_t size = *n > (cap - 1) / 2 ? cap : 2 * *n + 1;
    if (count + 1 >= size) {
        errno = EOVERFLOW;
        return room::overflow;
    }
    auto *block = static_cast<char *>(realloc(*lineptr, size));
    if (!block)
        return room::no_memory;
    *lineptr = block;
    *n = size;
    return room::ok;
}

} // namespace

ssize_t read_record(char **lineptr, size_t *n, int delimiter, FILE *stream, size_t cap)
{
    if (!lineptr || !n || !stream) {
        errno = EINVAL;
        return -1;
    }
    stream_lock lock(stream);
    if (!*lineptr || *n == 0) {
        *n = first_block;
        *lineptr = static_cast<char *>(realloc(*lineptr, first_block));
        if (!*lineptr)
            return -1;
    }
    const bool matchable = delimiter >= 0 && delimiter <= 255;
    size_t count = 0;
    for (;;) {
        const std::string_view in = buffered_input(stream);
        if (in.empty()) {
            // One byte through stdio, which refills the buffer when it is empty.
            int c = getc_unlocked(stream);
            if (c == EOF)
                break;
            if (make_room(lineptr, n, count, cap) != room::ok)
                return -1;
            (*lineptr)[count++] = static_cast<char>(c);
            if (c == delimiter)
                break;
            continue;
        }
        // The buffered bytes up to the delimiter, in runs that fit the block.
        const void *hit = matchable ? memchr(in.data(), delimiter, in.size()) : nullptr;
        const size_t want =
            hit ? static_cast<size_t>(static_cast<const char *>(hit) - in.data()) + 1 : in.size();
        for (size_t done = 0; done < want;) {
            if (make_room(lineptr, n, count, cap) != room::ok) {
                // The byte that needed room is gone, as in a byte read.
                consume_input(stream, 1);
                return -1;
            }
            const size_t run = std::min(*n - 1 - count, want - done);
            memcpy(*lineptr + count, in.data() + done, run);
            consume_input(stream, run);
            count += run;
            done += run;
        }
        if (hit)
            break;
    }
    (*lineptr)[count] = '\0';
    return count ? static_cast<ssize_t>(count) : -1;
}

} // namespace support::internal
