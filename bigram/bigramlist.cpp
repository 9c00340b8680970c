// bigramlist: for each line of standard input, list the non-overlapping byte pairs of the part
// after the prefix it shares with the line before it, one pair per output line.
#include <algorithm>
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

// Length of the prefix that the strings a and b share: the first index at which they differ
// or both end. Only the first known bytes of each, their NUL included, are looked at; whole
// words are compared while they are equal and hold no NUL.
size_t shared_prefix(const char *a, const char *b, size_t known)
{
    constexpr uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
    size_t p = 0;
    for (; p + 8 <= known; p += 8) {
        uint64_t x, y;
        memcpy(&x, a + p, 8);
        memcpy(&y, b + p, 8);
        if (x != y || ((x - ones) & ~x & highs) != 0)
            break;
    }
    while (a[p] != '\0' && a[p] == b[p])
        ++p;
    return p;
}

// Writes the pairs of line starting at index p; an odd last byte yields nothing. The program
// has one thread, so the stream's lock is not taken for each byte.
void put_pairs(const char *line, size_t p)
{
    for (; line[p] != '\0' && line[p + 1] != '\0'; p += 2) {
        putc_unlocked(line[p], stdout);
        putc_unlocked(line[p + 1], stdout);
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
    size_t prev_count = 0; // bytes of prev known to be written, before its final NUL

    ssize_t count;
    while ((count = support::rpl_getline(&line, &line_size, stdin)) > 0) {
        // Only the newline goes; a last line without one keeps its last byte.
        if (line[count - 1] == '\n')
            line[count - 1] = '\0';
        put_pairs(line,
                  shared_prefix(line, prev, std::min(static_cast<size_t>(count), prev_count) + 1));
        std::swap(line, prev);
        std::swap(line_size, prev_size);
        prev_count = static_cast<size_t>(count);
    }
    if (ferror(stdin) || !feof(stdin)) {
        if (errno == ENOMEM && !ferror(stdin))
            support::xalloc_die();
        support::error(support::exit_failure, errno, "read error");
    }
    free(line);
    free(prev);
    return 0;
}
