// The pair-listing algorithm written the plain way, for comparison: the platform's getline to
// read, putc_unlocked to write.
#include <cstdio>
#include <cstdlib>
#include <utility>

int main()
{
    size_t line_size = 0, prev_size = 0;
    char *line = nullptr, *prev = nullptr;
    prev = static_cast<char *>(calloc(1, 1));
    ssize_t count;
    while ((count = getline(&line, &line_size, stdin)) > 0) {
        if (line[count - 1] == '\n')
            line[count - 1] = '\0';
        size_t p = 0;
        while (line[p] != '\0' && line[p] == prev[p])
            ++p;
        for (; line[p] != '\0' && line[p + 1] != '\0'; p += 2) {
            putc_unlocked(line[p], stdout);
            putc_unlocked(line[p + 1], stdout);
            putc_unlocked('\n', stdout);
        }
        std::swap(line, prev);
        std::swap(line_size, prev_size);
    }
    free(line);
    free(prev);
    return fclose(stdout) == 0 ? 0 : 1;
}
