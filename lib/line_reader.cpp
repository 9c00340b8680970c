#include "line_reader.h"
#include "record_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform.h"
#include "record_copy.h"

namespace support
{
namespace internal
{
namespace
{

constexpr size_t first_block = 120;

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

// The first delimiter among the buffered bytes in, or null; a delimiter outside 0 to 255 never
// matches.
const char *find_delimiter(std::string_view in, int delimiter)
{
    if (delimiter < 0 || delimiter > 255 || in.empty())
        return nullptr;
    return static_cast<const char *>(memchr(in.data(), delimiter, in.size()));
}

// The record from the stream's position on, with a block in place and the stream the caller's
// alone (one thread, or the lock held), whose first searched buffered bytes hold no delimiter.
// Stores the NUL after the bytes read and returns getdelim's result. Apart from the common
// case, so that its registers and calls cost that case nothing.
[[gnu::noinline]] ssize_t read_general(char **lineptr, size_t *n, int delimiter, FILE *stream,
                                       size_t cap, size_t searched)
{
    size_t count = 0;
    for (;; searched = 0) {
        const std::string_view in = buffered_input(stream);
        const char *hit = find_delimiter({in.data() + searched, in.size() - searched}, delimiter);
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
        const size_t want = hit ? static_cast<size_t>(hit - in.data()) + 1 : in.size();
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

// The unit that copies and searches the buffered bytes, the machine's widest unless a test chose
// another.
vector_unit reader_unit = best_vector_unit();

// The record from the stream's position on, with a block in place and the stream the caller's
// alone. The common case, a record that is wholly buffered and fits the block with its NUL,
// takes one pass that copies the bytes while searching them, then stores the NUL after them;
// the pass goes no further than such a record can, so that a hit needs no other test. Otherwise
// the general path searches on from there. The block may hold, after the record's NUL, buffered
// bytes that follow it.
inline ssize_t read_buffered(char **lineptr, size_t *n, int delimiter, FILE *stream, size_t cap)
{
    const std::string_view in = buffered_input(stream);
    const size_t fits = std::min(in.size(), *n - 1);
    const size_t count = delimiter >= 0 && delimiter <= 255
                             ? copy_record(*lineptr, in.data(), fits, delimiter, reader_unit)
                             : 0;
    if (count == 0) [[unlikely]]
        return read_general(lineptr, n, delimiter, stream, cap, fits);
    consume_input(stream, count);
    return static_cast<ssize_t>(count);
}

// The record with the stream locked, after putting the first block in place when there is none.
[[gnu::noinline]] ssize_t read_locked(char **lineptr, size_t *n, int delimiter, FILE *stream,
                                      size_t cap)
{
    stream_lock lock(stream);
    if (!*lineptr || *n == 0) {
        *n = first_block;
        *lineptr = static_cast<char *>(realloc(*lineptr, first_block));
        if (!*lineptr)
            return -1;
    }
    return read_buffered(lineptr, n, delimiter, stream, cap);
}

} // namespace

ssize_t read_record(char **lineptr, size_t *n, int delimiter, FILE *stream, size_t cap)
{
    if (!lineptr || !n || !stream) {
        errno = EINVAL;
        return -1;
    }
    // With one thread there is no other user to lock out: a block in place is read into at once.
    if (single_threaded() && *lineptr && *n != 0) [[likely]]
        return read_buffered(lineptr, n, delimiter, stream, cap);
    return read_locked(lineptr, n, delimiter, stream, cap);
}

void set_reader_unit(vector_unit unit)
{
    reader_unit = unit;
}

} // namespace internal

ssize_t getdelim(char **lineptr, size_t *n, int delimiter, FILE *stream)
{
    return internal::read_record(lineptr, n, delimiter, stream, internal::record_cap);
}

ssize_t rpl_getline(char **lineptr, size_t *n, FILE *stream)
{
    return support::getdelim(lineptr, n, '\n', stream);
}

} // namespace support
