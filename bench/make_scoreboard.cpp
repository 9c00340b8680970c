// Writes a scoreboard of N slots, one in a hundred held by a process ID that names no
// process (above the system's largest), the rest by process 1, which always exists.
//
// usage: make_scoreboard SLOTS OUTPUT
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "scoreboard.h"

namespace
{

// One more than the largest process ID the system hands out.
int32_t first_unused_pid()
{
    long max = 4194304;
    if (FILE *f = fopen("/proc/sys/kernel/pid_max", "r")) {
        if (fscanf(f, "%ld", &max) != 1)
            max = 4194304;
        fclose(f);
    }
    return static_cast<int32_t>(max + 1);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: make_scoreboard SLOTS OUTPUT\n");
        return 2;
    }
    unsigned long slots = strtoul(argv[1], nullptr, 10);
    FILE *out = fopen64(argv[2], "w");
    if (!out) {
        perror(argv[2]);
        return 1;
    }
    scoreboard_header header{SCOREBOARD_MAGIC, SCOREBOARD_VERSION, 1, 0};
    fwrite(&header, sizeof header, 1, out);
    scoreboard_entry entry;
    memset(&entry, 'd', sizeof entry);
    int32_t stale = first_unused_pid();
    for (unsigned long i = 0; i < slots; ++i) {
        entry.pid = i % 100 == 50 ? stale++ : 1;
        fwrite(&entry, sizeof entry, 1, out);
    }
    if (fclose(out) != 0) {
        perror(argv[2]);
        return 1;
    }
    return 0;
}
