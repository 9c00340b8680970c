// sbscrub: clears the stale slots of the daemon's scoreboard file.
#include "config_scan.h"
#include "dry_run.h"
#include "output_check.h"
#include "scoreboard.h"

#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#ifndef SBSCRUB_DEFAULT_CONFIG
#error "SBSCRUB_DEFAULT_CONFIG must name the compiled-in configuration path"
#endif

namespace
{

const char *config_path = SBSCRUB_DEFAULT_CONFIG;
char *config_copy = nullptr; // the -c argument in force, owned here
int verbose = 0;
int dry_run = 0; // -n: name the slots a scrub would clear, and clear none

const struct option scrub_long_options[] = {
    {"config", required_argument, nullptr, 'c'},
    {"file", required_argument, nullptr, 'f'},
    {"help", no_argument, nullptr, 'h'},
    {"verbose", no_argument, nullptr, 'v'},
    {"dry-run", no_argument, nullptr, 'n'}, // last, as in the usage text
    {nullptr, 0, nullptr, 0},
};

// One row of the usage text; a row without a description is the help option's own.
struct option_help {
    const char *long_form;
    const char *short_form;
    const char *description;
};

const option_help scrub_option_help[] = {
    {"--config", "-c", "specify full path to ferryd configuration file"},
    {"--file", "-f", "specify full path to scoreboard file"},
    {"--help", "-h", nullptr},
    {"--verbose", "-v", "print progress while scrubbing"},
    {"--dry-run", "-n", "list the stale slots a scrub would clear, and change nothing"},
    {nullptr, nullptr, nullptr},
};
static_assert(std::size(scrub_option_help) == std::size(scrub_long_options),
              "every long option has its row in the usage text");

// Printed after the message that no scoreboard can be found.
constexpr const char *missing_scoreboard_hint =
    "(Perhaps you need to specify the ScoreboardFile with -f, or change\n"
    " the compile-time default directory?)\n";

[[noreturn]] void show_usage(const char *program_name, int status)
{
    output_check::print("usage: %s [options]\n", program_name);
    for (const option_help *row = scrub_option_help; row->long_form != nullptr; ++row) {
        output_check::print("  %s, %s\n", row->short_form, row->long_form);
        if (row->description != nullptr)
            output_check::print("    %s\n", row->description);
        else
            output_check::print("    display %s usage\n", program_name);
    }
    exit(status);
}

// Whether the scoreboard path in force names something whose status can be taken.
bool scoreboard_exists()
{
    struct stat64 st;
    return stat64(util_get_scoreboard(), &st) == 0;
}

// Settles on an existing scoreboard: the path in force, else the one the configuration file
// names. Reports on standard error when there is none; whether one was found.
bool find_scoreboard()
{
    if (scoreboard_exists())
        return true;
    if (char *found = util_scan_config(config_path, "ScoreboardFile")) {
        util_set_scoreboard(found);
        free(found);
    }
    if (scoreboard_exists())
        return true;
    output_check::report("%s: %s\n%s", util_get_scoreboard(), strerror(errno),
                         missing_scoreboard_hint);
    return false;
}

// Why the scrub failed: the system's text for errno, or what the header shows the file is not.
const char *scrub_failure(int result)
{
    switch (result) {
    case -2:
        return "not a scoreboard file (no scoreboard magic number in its header)";
    case -3:
        return "scoreboard of an older layout than this program reads";
    case -4:
        return "scoreboard of a newer layout than this program reads";
    default:
        return strerror(errno);
    }
}

// Puts /dev/null, read-only, on each standard descriptor that is closed, so that no file opened
// later lands there: output meant for a closed standard output would go into the scoreboard.
// Writes to it still fail with EBADF, as on a closed descriptor. False when one stays closed.
bool occupy_closed_standard_descriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDONLY) != fd)
            return false;
    return true;
}

// Reads the options in order and acts on each; -h and a bad option end the run with the usage
// text. False, reported, when a -c path cannot be copied.
bool read_options(int argc, char *argv[], const char *program_name)
{
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "c:f:hnv", scrub_long_options, nullptr)) != -1) {
        switch (c) {
        case 'c':
            // The last -c wins; an earlier copy is released.
            free(config_copy);
            config_copy = strdup(optarg);
            if (config_copy == nullptr) {
                output_check::report("%s: %s\n", optarg, strerror(errno));
                return false;
            }
            config_path = config_copy;
            break;
        case 'f':
            // A path that fails validation leaves the one in force.
            util_set_scoreboard(optarg);
            break;
        case 'h':
            show_usage(program_name, 0);
        case 'n':
            dry_run = 1;
            break;
        case 'v':
            verbose = 1;
            break;
        default:
            // An unknown long option leaves no option character; name the argument instead.
            if (optopt != 0)
                output_check::report("unknown option: %c\n", optopt);
            else
                output_check::report("unknown option: %s\n", argv[optind - 1]);
            show_usage(program_name, 1);
        }
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    const char *program_name = argc > 0 && argv[0] != nullptr ? argv[0] : "sbscrub";
    if (const char *slash = strrchr(program_name, '/'))
        program_name = slash + 1;
    if (!occupy_closed_standard_descriptors()) {
        output_check::report("/dev/null: %s\n", strerror(errno));
        return 1;
    }
    // A reader of standard output that goes away makes a write error, not the end of the scrub.
    signal(SIGPIPE, SIG_IGN);
    atexit(output_check::report_at_exit);
    if (!read_options(argc, argv, program_name) || !find_scoreboard())
        return 1;
    // A dry run's failures are the scrub's, and are reported in the same words.
    if (int result = dry_run ? util_scoreboard_dry_run(verbose) : util_scoreboard_scrub(verbose);
        result < 0) {
        output_check::report("error scrubbing scoreboard %s: %s\n", util_get_scoreboard(),
                             scrub_failure(result));
        return 1;
    }
    return 0;
}
