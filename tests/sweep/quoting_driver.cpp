// Exercises every allocating path of the quoting module, for the allocation-failure sweep:
// slot vector growth, slot buffers moving off the static buffer and growing, heap results,
// option copies and the release of everything. With "close FILE" it only names standard output
// FILE and writes a line, so that a failed write is reported through slot 0 at exit. It
// allocates nothing itself, so that every failure it meets is the module's.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diagnostics.h"
#include "quoting.h"
#include "stream_closing.h"

namespace
{

char medium[301], spaced[305], large[5001];

} // namespace

int main(int argc, char **argv)
{
    support::program_name = argv[0];
    atexit(support::close_stdout);
    if (argc == 3 && strcmp(argv[1], "close") == 0) {
        support::close_stdout_set_file_name(argv[2]);
        puts("output");
        return 0;
    }

    memset(medium, 'm', sizeof medium - 1);
    memcpy(spaced, "a b ", 4);
    memcpy(spaced + 4, medium, sizeof medium);
    memset(large, 'l', sizeof large - 1);
    // Slots 0 to 4 in turn, each first with a short text, then with texts that do not fit.
    for (int slot = 0; slot < 5; ++slot) {
        puts(support::quotearg_n(slot, "short"));
        puts(support::quotearg_n_style(slot, support::quoting_shell, spaced));
        puts(support::quotearg_n_style_mem(slot, support::quoting_c, large, sizeof large - 1));
    }
    puts(support::quotearg_colon("a:b"));
    puts(support::quotearg_style(support::quoting_locale, medium));

    char *copy = support::quotearg_alloc(large, SIZE_MAX, nullptr);
    puts(copy);
    free(copy);
    support::quoting_options *o = support::clone_quoting_options(nullptr);
    support::set_quoting_style(o, support::quoting_escape);
    copy = support::quotearg_alloc("tab\there", SIZE_MAX, o);
    puts(copy);
    free(copy);
    free(o);

    // After a release the slots grow again from the start.
    support::quotearg_free();
    puts(support::quotearg_n(7, medium));
    support::quotearg_free();
    return 0;
}
