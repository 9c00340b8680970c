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

// Bodies of the runs: a byte written to standard output, and then flushed.
int write_byte()
{
    fputs("x", stdout);
    return 0;
}
int write_and_flush()
{
    write_byte();
    fflush(stdout);
    return 0;
}

// A fatal error once a byte is written.
int error_after_a_byte()
{
    write_byte();
    error(3, 0, "boom");
    return 0;
}

std::string lost(int errnum)
{
    return "prog: write error: " + text(errnum) + "\n";
}

TEST(CloseStdout, ReportsLostOutputAndSetsTheStatus)
{
    using harness::closed, harness::full, harness::piped;
    const struct Case {
        const char *what;
        std::function<int()> body;
        harness::Redirect out;
        int status;
        std::string err, out_text = "";
        harness::Redirect err_to = piped();
    } cases[] = {
        {"all written", [] { return fputs("hello\n", stdout) < 0 ? 9 : 5; }, piped(), 5, "",
         "hello\n"},
        {"closed before start, nothing written", [] { return 3; }, closed(), 3, ""},
        {"closed before start, output written", write_byte, closed(), 1, lost(EBADF)},
        {"full device, failing at the close", write_byte, full(), 1, lost(ENOSPC)},
        {"earlier write error, clean close", write_and_flush, full(), 1, "prog: write error\n"},
        {"named output file",
         [] {
             close_stdout_set_file_name("out:put");
             return write_byte();
         },
         full(), 1, "prog: out:put: write error: " + text(ENOSPC) + "\n"},
        {"named output file, quoted",
         [] {
             close_stdout_set_file_name("out:put");
             set_quoting_style(nullptr, quoting_c);
             return write_byte();
         },
         full(), 1, "prog: \"out\\:put\": write error: " + text(ENOSPC) + "\n"},
        {"named output file, errno 0",
         [] {
             close_stdout_set_file_name("o");
             return write_and_flush();
         },
         full(), 1, "prog: o: write error\n"},
        {"error with status 3 while output is lost", error_after_a_byte, full(), 1,
         "prog: boom\nprog: write error\n"},
        {"error with status 3, output fine", error_after_a_byte, piped(), 3, "prog: boom\n", "x"},
        // A failure of standard error ends the run silently.
        {"error recorded on standard error, clean close",
         [] {
             fputs("kept\n", stdout);
             getc(stderr);
             return 0;
         },
         piped(), 1, "", "kept\n"},
        {"standard error on a full device",
         [] {
             fputs("kept\n", stdout);
             fputs("lost\n", stderr);
             return 0;
         },
         piped(), 1, "", "kept\n", full()},
        {"standard error closed before start, never used", [] { return 4; }, piped(), 4, "", "",
         closed()},
    };
    for (const auto &c : cases)
        harness::expect_run(run_closing(c.body, c.out, c.err_to), c.status, c.out_text, c.err,
                            c.what);
}

int handler_fd = -1;

TEST(CloseStdout, EarlierExitHandlersRunOnlyAfterSuccess)
{
    for (bool lost_output : {false, true}) {
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
                return write_byte();
            },
            {.out = lost_output ? harness::closed() : harness::piped()});
        if (lost_output)
            harness::expect_run(r, 1, "", lost(EBADF), "output lost");
        else
            harness::expect_run(r, 0, "x", "handler\n", "output fine");
    }
}

// A stream writing the file at path, with data pending when data is not null.
FILE *writing(const std::string &path, const char *data)
{
    FILE *f = fopen(path.c_str(), "w");
    if (f != nullptr && data != nullptr)
        fputs(data, f);
    return f;
}

TEST(CloseStream, ResultAndErrno)
{
    // A stream on a temporary file, or on a descriptor closed underneath it.
    const struct Case {
        const char *what;
        std::function<FILE *(const std::string &dir)> open;
        int result;
        int errnum;
    } cases[] = {
        {"written and closed", [](const std::string &d) { return writing(d + "/a", "data"); }, 0,
         0},
        {"full device", [](const std::string &) { return writing("/dev/full", "data"); }, EOF,
         ENOSPC},
        {"error indicator set, close fine",
         [](const std::string &d) {
             FILE *f = writing(d + "/b", nullptr);
             getc(f);
             return f;
         },
         EOF, 0},
        {"descriptor gone, output pending",
         [](const std::string &d) {
             FILE *f = writing(d + "/c", "data");
             close(fileno(f));
             return f;
         },
         EOF, EBADF},
        {"descriptor gone, nothing pending",
         [](const std::string &d) {
             FILE *f = writing(d + "/d", nullptr);
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
