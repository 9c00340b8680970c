// sb_standin: the daemon's part in tests and the demo.
//   sb_standin write FILE [-m MAGIC] [-V VERSION] [-d DAEMON_PID] [-u UPTIME] [-p BYTES] PID...
//       writes a scoreboard with one slot per PID ("dead" picks a process that has ended,
//       0 an empty slot) and BYTES of a trailing partial slot
//   sb_standin show FILE        describes the header and every slot
//   sb_standin lock FILE read|write MS
//       takes that lock on the whole file, prints "locked", holds it MS milliseconds
#include "standin.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

int usage()
{
    fputs("usage: sb_standin write FILE [-m MAGIC] [-V VERSION] [-d PID] [-u UPTIME] [-p BYTES]"
          " PID...\n"
          "       sb_standin show FILE\n"
          "       sb_standin lock FILE read|write MS\n",
          stderr);
    return 2;
}

// Parses a whole number (decimal, or hex with 0x) into *out.
bool number(const char *s, long long *out)
{
    char *end;
    errno = 0;
    *out = strtoll(s, &end, 0);
    return errno == 0 && end != s && *end == '\0';
}

int write_board(int argc, char **argv)
{
    standin::Board board;
    int i = 3;
    for (; i + 1 < argc && argv[i][0] == '-' && argv[i][1] != '\0' && argv[i][2] == '\0'; i += 2) {
        long long v;
        if (!number(argv[i + 1], &v))
            return usage();
        switch (argv[i][1]) {
        case 'm':
            board.magic = static_cast<uint32_t>(v);
            break;
        case 'V':
            board.version = static_cast<uint32_t>(v);
            break;
        case 'd':
            board.daemon_pid = static_cast<int32_t>(v);
            break;
        case 'u':
            board.daemon_uptime = static_cast<uint32_t>(v);
            break;
        case 'p':
            board.partial = static_cast<size_t>(v) % standin::slot_size;
            break;
        default:
            return usage();
        }
    }
    for (; i < argc; ++i) {
        long long v;
        if (strcmp(argv[i], "dead") == 0)
            v = standin::dead_pid();
        else if (!number(argv[i], &v))
            return usage();
        board.pids.push_back(static_cast<int32_t>(v));
    }
    standin::write(argv[2], board);
    return 0;
}

int lock_file(const char *path, const char *kind, const char *ms_text)
{
    long long ms;
    bool write = strcmp(kind, "write") == 0;
    if ((!write && strcmp(kind, "read") != 0) || !number(ms_text, &ms) || ms < 0)
        return usage();
    int fd = open(path, write ? O_RDWR : O_RDONLY);
    if (fd < 0 || !standin::lock_whole(fd, write ? F_WRLCK : F_RDLCK)) {
        fprintf(stderr, "sb_standin: %s: %s\n", path, strerror(errno));
        return 1;
    }
    puts("locked");
    fflush(stdout);
    usleep(static_cast<useconds_t>(ms) * 1000);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        return usage();
    std::string command = argv[1];
    if (command == "write")
        return write_board(argc, argv);
    if (command == "show" && argc == 3) {
        fputs(standin::describe(argv[2]).c_str(), stdout);
        return 0;
    }
    if (command == "lock" && argc == 5)
        return lock_file(argv[2], argv[3], argv[4]);
    return usage();
}
