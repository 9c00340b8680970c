#include "run_program.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace harness
{
namespace
{

[[noreturn]] void child_fail(const char *what)
{
    dprintf(STDERR_FILENO, "harness: %s: %s\n", what, strerror(errno));
    _exit(127);
}

struct Pipes {
    int fds[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
};

// Points descriptors 0 to 2 of the child where the options say; runs in the child.
void setup_child(const RunOptions &o, const Pipes &p)
{
    signal(SIGPIPE, SIG_DFL);
    const Redirect *r[3] = {&o.in, &o.out, &o.err};
    for (int fd = 0; fd < 3; ++fd) {
        if (r[fd]->kind == Redirect::pipe) {
            int end = fd == 0 ? p.fds[0][0] : p.fds[fd][1];
            if (dup2(end, fd) < 0)
                child_fail("dup2");
        } else if (r[fd]->kind == Redirect::broken_pipe) {
            int ends[2];
            if (pipe(ends) < 0 || close(ends[0]) < 0 || dup2(ends[1], fd) < 0)
                child_fail("broken pipe");
        } else if (r[fd]->kind == Redirect::hung_up_terminal) {
            // The terminal's side of a pseudo-terminal whose controlling side is gone.
            int master = posix_openpt(O_RDWR | O_NOCTTY);
            const char *name = master < 0 || grantpt(master) < 0 || unlockpt(master) < 0
                                   ? nullptr
                                   : ptsname(master);
            int f = name == nullptr ? -1 : open(name, O_WRONLY | O_NOCTTY);
            if (f < 0 || close(master) < 0 || (f != fd && (dup2(f, fd) < 0 || close(f) < 0)))
                child_fail("hung-up terminal");
        } else if (r[fd]->kind == Redirect::file) {
            int f = open(r[fd]->path.c_str(), r[fd]->flags, 0644);
            if (f < 0)
                child_fail(r[fd]->path.c_str());
            if (f != fd && (dup2(f, fd) < 0 || close(f) < 0))
                child_fail("dup2");
        }
    }
    for (int fd = 0; fd < 3; ++fd)
        if (r[fd]->kind == Redirect::closed)
            close(fd);
    for (int fd = 3; fd < 1024; ++fd)
        close(fd);
}

// Set when the tests run under a user-mode emulator (a cross build): the emulator's path.
const char *emulator()
{
    return getenv("HARNESS_EMULATOR");
}

// Removes the emulator's own report of a target signal from what the child wrote, so that
// the tests see what the target program itself wrote.
void drop_emulator_notes(std::string &err)
{
    static constexpr std::string_view note = "qemu: uncaught target signal ";
    for (size_t at = err.find(note); at != std::string::npos; at = err.find(note, at)) {
        if (at != 0 && err[at - 1] != '\n') {
            at += note.size();
            continue;
        }
        size_t end = err.find('\n', at);
        err.erase(at, end == std::string::npos ? std::string::npos : end + 1 - at);
    }
}

std::vector<char *> pointers(const std::vector<std::string> &strings)
{
    std::vector<char *> p;
    for (const auto &s : strings)
        p.push_back(const_cast<char *>(s.c_str()));
    p.push_back(nullptr);
    return p;
}

RunResult run(const std::function<void()> &child, const RunOptions &o)
{
    Pipes p;
    const Redirect *r[3] = {&o.in, &o.out, &o.err};
    for (int fd = 0; fd < 3; ++fd)
        if (r[fd]->kind == Redirect::pipe && pipe2(p.fds[fd], O_CLOEXEC) < 0)
            throw std::runtime_error("pipe");
    pid_t pid = start_child([&] {
        setup_child(o, p);
        child();
        _exit(127);
    });
    for (auto &f : p.fds) {
        int child_end = &f == &p.fds[0] ? f[0] : f[1];
        if (child_end >= 0)
            close(child_end);
    }
    int in = p.fds[0][1], out = p.fds[1][0], err = p.fds[2][0];
    if (in >= 0)
        fcntl(in, F_SETFL, O_NONBLOCK);
    auto old_pipe = signal(SIGPIPE, SIG_IGN);
    RunResult res;
    size_t written = 0;
    if (in >= 0 && o.input.empty()) {
        close(in);
        in = -1;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(o.timeout_ms);
    while (in >= 0 || out >= 0 || err >= 0) {
        pollfd fds[3] = {{in, POLLOUT, 0}, {out, POLLIN, 0}, {err, POLLIN, 0}};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            res.timed_out = true;
            break;
        }
        if (poll(fds, 3, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        if (in >= 0 && fds[0].revents) {
            ssize_t n = write(in, o.input.data() + written, o.input.size() - written);
            if (n > 0)
                written += static_cast<size_t>(n);
            if ((n < 0 && errno != EAGAIN) || written == o.input.size()) {
                close(in);
                in = -1;
            }
        }
        int *readers[2] = {&out, &err};
        std::string *sinks[2] = {&res.out, &res.err};
        for (int i = 0; i < 2; ++i) {
            if (*readers[i] < 0 || !fds[i + 1].revents)
                continue;
            char buf[65536];
            ssize_t n = read(*readers[i], buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(*readers[i]);
                *readers[i] = -1;
            }
        }
    }
    for (int fd : {in, out, err})
        if (fd >= 0)
            close(fd);
    int wstatus = wait_for(pid);
    signal(SIGPIPE, old_pipe);
    if (emulator())
        drop_emulator_notes(res.err);
    if (wstatus != -1 && WIFEXITED(wstatus))
        res.status = WEXITSTATUS(wstatus);
    else if (wstatus != -1 && WIFSIGNALED(wstatus))
        res.signal = WTERMSIG(wstatus);
    return res;
}

// Up to 60 bytes of text from byte at on, as a C string literal, "..." marking what is cut off.
std::string excerpt(std::string_view text, size_t at)
{
    std::string shown = at > 0 ? "...\"" : "\"";
    for (unsigned char c : text.substr(at, 60)) {
        if (c == '\n') {
            shown += "\\n";
        } else if (c == '\\' || c == '"') {
            shown += {'\\', static_cast<char>(c)};
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            shown += hex;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown + (text.size() > at + 60 ? "\"..." : "\"");
}

// How got differs from want: both in full when short, else their sizes and where they part.
std::string difference(std::string_view got, std::string_view want)
{
    auto at = static_cast<size_t>(
        std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin());
    if (got.size() > 60 || want.size() > 60) {
        at = at < 20 ? 0 : at - 20;
        return std::to_string(got.size()) + " bytes, want " + std::to_string(want.size()) +
               "; from byte " + std::to_string(at) + ": " + excerpt(got, at) + ", want " +
               excerpt(want, at);
    }
    return excerpt(got, 0) + ", want " + excerpt(want, 0);
}

} // namespace

bool expect_run(const RunResult &result, int status, std::string_view out, std::string_view err,
                std::string_view label, std::source_location where)
{
    std::string failure;
    if (result.status != status) {
        failure +=
            "\n  status " + std::to_string(result.status) + ", want " + std::to_string(status);
        if (result.signal != 0)
            failure += " (ended by signal " + std::to_string(result.signal) + ")";
        if (result.timed_out)
            failure += " (timed out)";
    }
    if (result.out != out)
        failure += "\n  out: " + difference(result.out, out);
    if (result.err != err)
        failure += "\n  err: " + difference(result.err, err);
    if (failure.empty())
        return true;
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line())) << label << failure;
    return false;
}

RunResult run_program(const std::string &path, const std::vector<std::string> &argv,
                      const RunOptions &options)
{
    // Everything exec needs is built before the fork.
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        std::string_view entry(*e);
        bool replaced = false;
        for (const auto &add : options.env)
            if (entry.substr(0, entry.find('=') + 1) == add.substr(0, add.find('=') + 1))
                replaced = true;
        if (!replaced)
            env.emplace_back(entry);
    }
    env.insert(env.end(), options.env.begin(), options.env.end());
    std::vector<char *> args = pointers(argv), envp = pointers(env);
    // Under an emulator a target program cannot be started directly (exec fails with ENOEXEC):
    // the child starts it through the emulator, which hands the target's preload library to
    // the target program instead of loading it itself.
    std::vector<std::string> emu_argv, emu_env;
    if (emulator()) {
        emu_argv = {emulator(), "-0", argv.empty() ? path : argv[0]};
        for (const auto &e : env) {
            if (e.starts_with("LD_PRELOAD="))
                emu_argv.insert(emu_argv.end(), {"-E", e});
            else
                emu_env.push_back(e);
        }
        emu_argv.push_back(path);
        if (!argv.empty())
            emu_argv.insert(emu_argv.end(), argv.begin() + 1, argv.end());
    }
    std::vector<char *> emu_args = pointers(emu_argv), emu_envp = pointers(emu_env);
    return run(
        [&] {
            execve(path.c_str(), args.data(), envp.data());
            if (errno == ENOEXEC && !emu_argv.empty())
                execve(emu_args[0], emu_args.data(), emu_envp.data());
            child_fail(path.c_str());
        },
        options);
}

pid_t start_child(const std::function<void()> &body)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork");
    if (pid == 0) {
        body();
        _exit(0);
    }
    return pid;
}

int wait_for(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
}

RunResult run_function(const std::function<int()> &body, const RunOptions &options)
{
    return run([&] { exit(body()); }, options);
}

bool under_emulator()
{
    return emulator() != nullptr;
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f.flush())
        throw std::runtime_error("write " + path);
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int open_descriptors()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (d != nullptr && readdir(d) != nullptr)
        ++n;
    if (d != nullptr)
        closedir(d);
    return n;
}

} // namespace harness
