// Runs a built program, or a function in a forked child, with chosen standard descriptors,
// returns its exit status and everything it wrote, and checks them against what a test expects.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <functional>
#include <source_location>
#include <string>
#include <string_view>
#include <vector>

namespace harness
{

// Where one standard descriptor of the child points.
struct Redirect {
    enum Kind { pipe, closed, file, broken_pipe, hung_up_terminal } kind = pipe;
    std::string path;     // for file
    int flags = O_RDONLY; // for file
};

// A pipe to or from the parent (the default).
inline Redirect piped()
{
    return {};
}
// The descriptor is closed when the child starts.
inline Redirect closed()
{
    return {Redirect::closed, {}, 0};
}
// The write end of a pipe whose read end is closed (standard output or error only).
inline Redirect broken_pipe()
{
    return {Redirect::broken_pipe, {}, 0};
}
// A terminal whose other side is closed: every write fails with EIO (standard output or error
// only).
inline Redirect hung_up_terminal()
{
    return {Redirect::hung_up_terminal, {}, 0};
}
// The descriptor is the file at path, opened with flags.
inline Redirect file(std::string path, int flags)
{
    return {Redirect::file, std::move(path), flags};
}
// The descriptor is /dev/full, where every write fails with ENOSPC.
inline Redirect full()
{
    return file("/dev/full", O_WRONLY);
}

// How to run the child.
struct RunOptions {
    std::string input = {};               // fed to standard input when it is a pipe
    Redirect in = {}, out = {}, err = {}; // the three standard descriptors
    std::vector<std::string> env = {};    // "NAME=value" entries added to the environment
    int timeout_ms = 60000;               // the child is killed after this long
};

// What the child did.
struct RunResult {
    int status = -1; // exit status, or -1 when it did not exit normally
    int signal = 0;  // the signal that ended it, or 0
    bool timed_out = false;
    std::string out, err; // what it wrote to piped standard output and standard error
};

// Checks that a run exited with status (-1 when a signal ended it) and wrote exactly out and err.
// What differs makes one failure of the current test, at the caller's line, headed by label (the
// row's name) with a line for each of status, out and err that differed; returns true when none.
bool expect_run(const RunResult &result, int status, std::string_view out, std::string_view err,
                std::string_view label = {},
                std::source_location where = std::source_location::current());

// Runs the program at path with the given argument vector (argv[0] included).
RunResult run_program(const std::string &path, const std::vector<std::string> &argv,
                      const RunOptions &options = {});

// Runs body in a forked child, which then ends with exit(body()), so exit handlers run.
RunResult run_function(const std::function<int()> &body, const RunOptions &options = {});

// Forks a child that runs body and then ends with _exit(0); standard I/O is flushed first, so
// that the child writes nothing twice. The child's ID; throws when the fork fails.
pid_t start_child(const std::function<void()> &body);
// Waits for the child pid, repeating an interrupted wait: its wait status, or -1.
int wait_for(pid_t pid);

// True when the tests run under an emulator (a cross build): run_program starts the built
// programs through it, but a host program such as a shell cannot start them.
bool under_emulator();

// Writes bytes to the file at path, creating or truncating it.
void write_file(const std::string &path, const std::string &bytes);
// Reads the whole file at path.
std::string read_file(const std::string &path);
// True when something exists at path (a broken symbolic link does not count).
bool exists(const std::string &path);
// How many descriptors this process has open (the count of /proc/self/fd while it is read).
int open_descriptors();

} // namespace harness
