// bigramlist: for each line of standard input, list the non-overlapping byte pairs of the part
// after the prefix it shares with the line before it, one pair per output line.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "diagnostics.h"
#include "line_reader.h"
#include "stream_closing.h"

namespace
{

// Both line buffers start this large, so ordinary lines never make the reader grow them.
constexpr size_t initial_line_size = 1026;

// Writes the pairs of line starting at index p; an odd last byte yields nothing.
void put_pairs(const char *line, size_t p)
{
    for (; line[p] != '\0' && line[p + 1] != '\0'; p += 2) {
        putc(line[p], stdout);
        putc(line[p + 1], stdout);
        putc('\n', stdout);
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

    ssize_t count;
    while ((count = support::rpl_getline(&line, &line_size, stdin)) > 0) {
        // Only the newline goes; a last line without one keeps its last byte.
        if (line[count - 1] == '\n')
            line[count - 1] = '\0';
        size_t p = 0;
        while (line[p] != '\0' && line[p] == prev[p])
            ++p;
        put_pairs(line, p);
        std::swap(line, prev);
        std::swap(line_size, prev_size);
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
