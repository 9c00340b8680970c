// Uses each public header of the installed support library: reads lines of any length, prints
// each one quoted for a shell, and checks at exit that standard output was written.
#include <bigram-tools/diagnostics.h>
#include <bigram-tools/line_reader.h>
#include <bigram-tools/quoting.h>
#include <bigram-tools/stream_closing.h>

#include <cstdio>
#include <cstdlib>

int main(int, char **argv)
{
    support::program_name = argv[0];
    atexit(support::close_stdout);
    size_t size = 0;
    char *line = nullptr;
    ssize_t n;
    while ((n = support::rpl_getline(&line, &size, stdin)) > 0) {
        if (line[n - 1] == '\n')
            line[n - 1] = '\0';
        printf("%s\n", support::quotearg_style(support::quoting_shell_always, line));
    }
    free(line);
    support::quotearg_free();
    return 0;
}
