#include "stream_closing.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "diagnostics.h"
#include "quoting.h"
#include "run_program.h"
#include "temp_dir.h"

using namespace support;

// The library's fclose and fflush calls come here first, so that a flush of standard output
// after its close shows up as a line on standard error.
namespace
{
bool stdout_fclosed = false;

template <typename F> F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
} // namespace

extern "C" int fclose(FILE *stream)
{
    static auto next = real<int (*)(FILE *)>("fclose");
    if (stream == stdout)
        stdout_fclosed = true;
    return next(stream);
}

extern "C" int fflush(FILE *stream)
{
    static auto next = real<int (*)(FILE *)>("fflush");
    if (stream == stdout && stdout_fclosed) {
        static const char note[] = "[flush of closed stdout]\n";
        if (write(STDERR_FILENO, note, sizeof note - 1) < 0) {
        }
    }
    return next(stream);
}

namespace
{

std::string text(int errnum)
{
    return strerror(errnum);
}

// A program that registers close_stdout, runs body and returns its status.
harness::RunResult run_closing(const std::function<int()> &body, harness::Redirect out,
                               harness::Redirect err = harness::piped())
{
    return harness::run_function(
        [&] {
            program_name = "prog";
            atexit(close_stdout);
            return body();
        },
        {.out = std::move(out), .err = std::move(err)});
}

harness::Redirect full()
{
    return harness::file("/dev/full", O_WRONLY);
}

struct ExitCase {
    const char *what;
    std::function<int()> body;
    harness::Redirect out;
    int status;
    std::string err;
    std::string out_text = "";
};

TEST(CloseStdout, ReportsLostOutputAndSetsTheStatus)
{
    const ExitCase cases[] = {
        {"all written", [] { return fputs("hello\n", stdout) < 0 ? 9 : 5; }, harness::piped(), 5,
         "", "hello\n"},
        {"closed before start, nothing written", [] { return 3; }, harness::closed(), 3, ""},
        {"closed before start, output written",
         [] {
             fputs("x", stdout);
             return 0;
         },
         harness::closed(), 1, "prog: write error: " + text(EBADF) + "\n"},
        {"full device, failing at the close",
         [] {
             fputs("x", stdout);
             return 0;
         },
         full(), 1, "prog: write error: " + text(ENOSPC) + "\n"},
        {"earlier write error, clean close",
         [] {
             fputs("x", stdout);
             fflush(stdout);
             return 0;
         },
         full(), 1, "prog: write error\n"},
        {"named output file",
         [] {
             close_stdout_set_file_name("out:put");
             fputs("x", stdout);
             return 0;
         },
         full(), 1, "prog: out:put: write error: " + text(ENOSPC) + "\n"},
        {"named output file, quoted",
         [] {
             close_stdout_set_file_name("out:put");
             set_quoting_style(nullptr, quoting_c);
             fputs("x", stdout);
             return 0;
         },
         full(), 1, "prog: \"out\\:put\": write error: " + text(ENOSPC) + "\n"},
        {"named output file, errno 0",
         [] {
             close_stdout_set_file_name("o");
             fputs("x", stdout);
             fflush(stdout);
             return 0;
         },
         full(), 1, "prog: o: write error\n"},
        {"error with status 3 while output is lost",
         [] {
             fputs("x", stdout);
             error(3, 0, "boom");
             return 0;
         },
         full(), 1, "prog: boom\nprog: write error\n"},
        {"error with status 3, output fine",
         [] {
             fputs("x", stdout);
             error(3, 0, "boom");
             return 0;
         },
         harness::piped(), 3, "prog: boom\n", "x"},
    };
    for (const auto &c : cases) {
        auto r = run_closing(c.body, c.out);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_EQ(r.out, c.out_text) << c.what;
    }
}

TEST(CloseStdout, FailureOfStandardErrorEndsSilently)
{
    // A recorded error on standard error: its close succeeds, and nothing more is written.
    auto r = run_closing(
        [] {
            fputs("kept\n", stdout);
            getc(stderr);
            return 0;
        },
        harness::piped(), harness::piped());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "kept\n");
    EXPECT_EQ(r.err, "");

    // A real write failure on standard error.
    r = run_closing(
        [] {
            fputs("kept\n", stdout);
            fputs("lost\n", stderr);
            return 0;
        },
        harness::piped(), full());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "kept\n");

    // Standard error closed before start but never used is no failure.
    r = run_closing([] { return 4; }, harness::piped(), harness::closed());
    EXPECT_EQ(r.status, 4);
}

int handler_fd = -1;

TEST(CloseStdout, EarlierExitHandlersRunOnlyAfterSuccess)
{
    for (bool lost : {false, true}) {
        const char *what = lost ? "output lost" : "output fine";
        auto r = harness::run_function(
            [] {
                program_name = "prog";
                // Registered first, so it would run after close_stdout.
                handler_fd = fcntl(STDERR_FILENO, F_DUPFD, 3);
                atexit([] {
                    if (write(handler_fd, "handler\n", 8) < 0) {
                    }
                });
                atexit(close_stdout);
                fputs("x", stdout);
                return 0;
            },
            {.out = lost ? harness::closed() : harness::piped()});
        EXPECT_EQ(r.status, lost ? 1 : 0) << what;
        EXPECT_EQ(r.err, lost ? "prog: write error: " + text(EBADF) + "\n" : "handler\n") << what;
    }
}

// A stream on a temporary file, or on a descriptor closed underneath it.
struct StreamCase {
    const char *what;
    std::function<FILE *(const std::string &dir)> open;
    int result;
    int errnum;
};

TEST(CloseStream, ResultAndErrno)
{
    const StreamCase cases[] = {
        {"written and closed",
         [](const std::string &d) {
             FILE *f = fopen((d + "/a").c_str(), "w");
             fputs("data", f);
             return f;
         },
         0, 0},
        {"full device",
         [](const std::string &) {
             FILE *f = fopen("/dev/full", "w");
             fputs("data", f);
             return f;
         },
         EOF, ENOSPC},
        {"error indicator set, close fine",
         [](const std::string &d) {
             FILE *f = fopen((d + "/b").c_str(), "w");
             getc(f);
             return f;
         },
         EOF, 0},
        {"descriptor gone, output pending",
         [](const std::string &d) {
             FILE *f = fopen((d + "/c").c_str(), "w");
             fputs("data", f);
             close(fileno(f));
             return f;
         },
         EOF, EBADF},
        {"descriptor gone, nothing pending",
         [](const std::string &d) {
             FILE *f = fopen((d + "/d").c_str(), "w");
             close(fileno(f));
             return f;
         },
         0, 0},
        // As a file system that reports a deferred write error only when the file is closed.
        {"close fails, nothing pending",
         [](const std::string &) {
             cookie_io_functions_t io{};
             io.close = [](void *) {
                 errno = EIO;
                 return -1;
             };
             return fopencookie(nullptr, "w", io);
         },
         EOF, EIO},
    };
    const harness::temp_dir scratch;
    const std::string &dir = scratch.path();
    for (const auto &c : cases) {
        FILE *f = c.open(dir);
        ASSERT_NE(f, nullptr) << c.what;
        errno = 0;
        EXPECT_EQ(close_stream(f), c.result) << c.what;
        if (c.result != 0) {
            EXPECT_EQ(errno, c.errnum) << c.what << ": " << strerror(errno);
        }
    }
    EXPECT_EQ(harness::read_file(dir + "/a"), "data");
}

} // namespace
