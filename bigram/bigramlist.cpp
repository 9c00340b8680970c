// bigramlist: for each line of standard input, list the non-overlapping byte pairs of the part
// after the prefix it shares with the line before it, one pair per output line.
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "diagnostics.h"
#include "line_reader.h"
#include "stream_closing.h"

namespace
{

// Both line buffers start this large, so ordinary lines never make the reader grow them.
constexpr size_t initial_line_size = 1026;

// Index of the first byte at which a and b differ, or n when their first n bytes are equal.
// Whole words are compared first; the first differing byte of a word is found from its bits.
size_t mismatch(const char *a, const char *b, size_t n)
{
    size_t p = 0;
    for (; p + 8 <= n; p += 8) {
        uint64_t x, y;
        memcpy(&x, a + p, 8);
        memcpy(&y, b + p, 8);
        if (uint64_t d = x ^ y) {
            int bit = std::endian::native == std::endian::little ? std::countr_zero(d)
                                                                 : std::countl_zero(d);
            return p + static_cast<size_t>(bit) / 8;
        }
    }
    while (p < n && a[p] == b[p])
        ++p;
    return p;
}

// Writes the first pairs byte pairs at s, one per line. The program has one thread, so the
// stream's lock is not taken for each byte.
void put_pairs(const char *s, size_t pairs)
{
    for (; pairs > 0; --pairs, s += 2) {
        putc_unlocked(s[0], stdout);
        putc_unlocked(s[1], stdout);
        putc_unlocked('\n', stdout);
    }
}

} // namespace

int main(int, char **argv)
{
    support::program_name = argv[0];
    atexit(support::close_stdout);

    size_t line_size = initial_line_size;
    auto *line = static_cast<char *>(support::xmalloc(line_size));
    size_t prev_size = initial_line_size;
    auto *prev = static_cast<char *>(support::xmalloc(prev_size));
    prev[0] = '\0';
    size_t prev_len = 0;

    ssize_t count;
    int read_failure = 0; // errno of a failed read, which ends the input
    while (read_failure == 0 && (count = support::rpl_getline(&line, &line_size, stdin)) > 0) {
        // The bytes read before a failed read are the last line: stdio would read on after it.
        if (ferror(stdin))
            read_failure = errno;
        // Only the newline goes; a last line without one keeps its last byte.
        if (line[count - 1] == '\n')
            line[count - 1] = '\0';
        // A NUL inside the line ends it, for the pairs and for the next comparison.
        size_t len = strlen(line);
        size_t p = mismatch(line, prev, std::min(len, prev_len));
        put_pairs(line + p, (len - p) / 2);
        std::swap(line, prev);
        std::swap(line_size, prev_size);
        prev_len = len;
    }
    if (read_failure == 0 && (ferror(stdin) || !feof(stdin))) {
        if (errno == ENOMEM && !ferror(stdin))
            support::xalloc_die();
        read_failure = errno;
    }
    if (read_failure != 0)
        support::error(support::exit_failure, read_failure, "read error");
    free(line);
    free(prev);
    return 0;
}
