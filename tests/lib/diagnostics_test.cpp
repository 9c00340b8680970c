#include "diagnostics.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "alloc_control.h"
#include "run_program.h"
#include "temp_dir.h"

namespace
{

using harness::run_function;
using harness::RunResult;

// Runs body in a child whose program name is P; returns what it did.
RunResult in_child(const std::function<void()> &body, const harness::RunOptions &o = {})
{
    return run_function(
        [&] {
            support::program_name = "P";
            body();
            return 0;
        },
        o);
}

TEST(ProgramName, DerivedFromArgv0)
{
    struct Case {
        const char *argv0, *name;
    } cases[] = {
        {"/usr/local/bin/tool", "/usr/local/bin/tool"},
        {"tool", "tool"},
        {"/build/.libs/tool", "tool"},
        {"/build/.libs/lt-tool", "tool"},
        {"/.libs/tool", "tool"},
        {".libs/tool", ".libs/tool"},
        {"/usr/bin/lt-tool", "tool"},
        {"lt-tool", "tool"},
        {"lt-", ""},
        {"/x/.libs/", ""},
    };
    for (const auto &c : cases) {
        support::set_program_name(c.argv0);
        EXPECT_STREQ(support::program_name, c.name) << c.argv0;
        // The name points into argv0, never at a copy.
        EXPECT_GE(support::program_name, c.argv0) << c.argv0;
        EXPECT_LE(support::program_name, c.argv0 + strlen(c.argv0)) << c.argv0;
    }
}

TEST(Error, WritesOneLineWithTheNameThePositionAndTheSystemText)
{
    // Each body prints what error_message_count says where the row needs it.
    auto report = [](int errnum) {
        return [errnum] {
            support::error(0, errnum, "bad %d", 42);
            printf("returned %u", support::error_message_count);
        };
    };
    const struct Case {
        const char *what;
        std::function<void()> body;
        int status;
        std::string out, err;
    } cases[] = {
        {"no system text", report(0), 0, "returned 1", "P: bad 42\n"},
        {"system text", report(ENOENT), 0, "returned 1",
         "P: bad 42: " + std::string(strerror(ENOENT)) + "\n"},
        {"unknown error number", report(999999), 0, "returned 1",
         "P: bad 42: Unknown system error\n"},
        {"non-zero status exits through the exit handlers",
         [] {
             atexit([] { printf("handler ran after %u\n", support::error_message_count); });
             support::error(3, 0, "fatal");
             printf("error returned\n");
         },
         3, "handler ran after 1\n", "P: fatal\n"},
        {"positions",
         [] {
             support::error_at_line(0, ENOENT, "a.txt", 12, "cannot %s", "read");
             support::error_at_line(0, 0, nullptr, 12, "no file");
             support::error(0, 0, "no file");
             support::error_print_progname = [] { fputs("<cb>", stderr); };
             support::error_at_line(0, 0, "b", 4000000000u, "big line");
             support::error(0, 0, "plain");
             printf("%u", support::error_message_count);
         },
         0, "5",
         "P:a.txt:12: cannot read: " + std::string(strerror(ENOENT)) +
             "\nP: no file\nP: no file\n<cb>b:4000000000: big line\n<cb>plain\n"},
        // Turned on again, the flag compares with the pair remembered while it was on.
        {"one per line, turned off and on",
         [] {
             support::error_one_per_line = 1;
             support::error_at_line(0, 0, "a", 1, "1");
             support::error_one_per_line = 0;
             support::error_at_line(0, 0, "b", 2, "2");
             support::error_one_per_line = 1;
             support::error_at_line(0, 0, "a", 1, "3"); // suppressed: matches a:1
             support::error_at_line(0, 0, "b", 2, "4");
         },
         0, "", "P:a:1: 1\nP:b:2: 2\nP:b:2: 4\n"},
        // A program started with an empty argument vector has a null argv[0].
        {"null program name",
         [] {
             support::set_program_name("/usr/bin/tool");
             support::set_program_name(nullptr);
             printf("%s", support::program_name == nullptr ? "" : "not null");
             support::error(0, 0, "m");
             support::error_at_line(0, 0, "f", 2, "m");
         },
         0, "", ": m\n:f:2: m\n"},
    };
    for (const auto &c : cases)
        harness::expect_run(in_child(c.body), c.status, c.out, c.err, c.what);
}

TEST(Error, FlushesStandardOutputBeforeTheMessage)
{
    // Both streams append to one file, so the order of the bytes is the order of the writes.
    const harness::temp_dir scratch;
    const std::string &dir = scratch.path();
    std::string path = dir + "/both";
    const harness::Redirect both = harness::file(path, O_WRONLY | O_CREAT | O_APPEND);
    const harness::RunOptions o{.out = both, .err = both};
    RunResult r = in_child(
        [] {
            fputs("pending output ", stdout);
            support::error(0, 0, "message");
            support::error_at_line(0, 0, "f", 1, "at line");
        },
        o);
    harness::expect_run(r, 0, "", "");
    EXPECT_EQ(harness::read_file(path), "pending output P: message\nP:f:1: at line\n");
}

TEST(ErrorAtLine, OnePerLineSuppressesRepeatsOfTheLastPosition)
{
    // Each call: file name (null, "a.txt" as one of two distinct arrays, "b.txt"), line, and
    // whether the call prints.
    static char a1[] = "a.txt", a2[] = "a.txt", b[] = "b.txt";
    struct Call {
        const char *file;
        unsigned line;
        bool prints;
    };
    struct Case {
        const char *what;
        int flag;
        std::vector<Call> calls;
    } cases[] = {
        {"first call matches the initial pair", 1, {{nullptr, 0, false}, {nullptr, 1, true}}},
        {"equal names at the same line", 1, {{a1, 12, true}, {a2, 12, false}, {a1, 12, false}}},
        {"alternating lines", 1, {{a1, 12, true}, {a1, 13, true}, {a1, 12, true}}},
        {"null after a name", 1, {{a1, 12, true}, {nullptr, 12, true}, {nullptr, 12, false}}},
        {"name after null", 1, {{nullptr, 12, true}, {a1, 12, true}, {a2, 12, false}}},
        {"other name", 1, {{a1, 12, true}, {b, 12, true}}},
        {"flag off", 0, {{a1, 12, true}, {a1, 12, true}, {nullptr, 0, true}}},
    };
    for (const auto &c : cases) {
        RunResult r = in_child([&] {
            support::error_one_per_line = c.flag;
            for (const auto &call : c.calls) {
                fputs("|", stdout);
                // A suppressed call returns even with a non-zero status.
                support::error_at_line(call.prints ? 0 : 5, 0, call.file, call.line, "m");
            }
            printf("%u", support::error_message_count);
        });
        std::string want;
        unsigned printed = 0;
        for (const auto &call : c.calls) {
            if (!call.prints)
                continue;
            ++printed;
            want += call.file
                        ? "P:" + std::string(call.file) + ":" + std::to_string(call.line) + ": m\n"
                        : "P: m\n";
        }
        harness::expect_run(r, 0, std::string(c.calls.size(), '|') + std::to_string(printed), want,
                            c.what);
    }
}

TEST(Allocation, MemoryExhaustedEndsWithExitFailure)
{
    // The first allocation fails; for the size tests, which must end the process before the
    // allocator is asked, any request over 1 MiB aborts instead. With an exit_failure of 0 the
    // process aborts, and the exit handlers do not run.
    enum Arming { fail_first, trap_large, none };
    struct Case {
        const char *what;
        int exit_failure;
        std::function<void()> call;
        Arming arming = fail_first;
    } cases[] = {
        {"xmalloc", 1, [] { support::xmalloc(10); }},
        {"xzalloc", 1, [] { support::xzalloc(10); }},
        {"xcalloc", 1, [] { support::xcalloc(2, 5); }},
        {"xrealloc", 1, [] { support::xrealloc(nullptr, 10); }},
        {"xmemdup", 1, [] { support::xmemdup("abc", 3); }},
        {"xstrdup", 1, [] { support::xstrdup("abc"); }},
        {"x2realloc", 1,
         [] {
             size_t n = 0;
             support::x2realloc(nullptr, &n);
         }},
        {"xalloc_die, other status", 7, [] { support::xalloc_die(); }, none},
        {"xalloc_die, status 0", 0, [] { support::xalloc_die(); }, none},
        {"xcalloc overflow", 1, [] { support::xcalloc(SIZE_MAX / 8 + 1, 8); }, trap_large},
        {"x2realloc at two thirds of SIZE_MAX", 1,
         [] {
             size_t n = SIZE_MAX / 3 * 2;
             char c;
             support::x2realloc(&c, &n);
         },
         trap_large},
    };
    for (const auto &c : cases) {
        RunResult r = in_child([&] {
            support::exit_failure = c.exit_failure;
            atexit([] { printf("handler"); });
            if (c.arming == trap_large)
                harness::trap_allocations_over(1 << 20);
            else if (c.arming == fail_first)
                harness::fail_allocation(1);
            c.call();
            printf("returned");
        });
        const bool aborts = c.exit_failure == 0;
        harness::expect_run(r, aborts ? -1 : c.exit_failure, aborts ? "" : "handler",
                            "P: memory exhausted\n", c.what);
        EXPECT_EQ(r.signal, aborts ? SIGABRT : 0) << c.what;
    }
}

TEST(Allocation, ZeroByteRequestsAreNeverFailures)
{
    RunResult r = in_child([] {
        // Whatever the platform returns for zero bytes, null included, is handed back.
        harness::fail_allocation(1);
        void *a = support::xmalloc(0);
        harness::fail_allocation(1);
        void *b = support::xcalloc(0, 8);
        harness::fail_allocation(1);
        void *c = support::xcalloc(8, 0);
        void *four = support::xmalloc(4);
        harness::fail_allocation(1);
        void *d = support::xrealloc(four, 0);
        // The failed request left the block as it was.
        free(four);
        harness::fail_allocation(1);
        void *e = support::xzalloc(0);
        harness::fail_allocation(1);
        void *f = support::xmemdup("abc", 0);
        printf("done");
        free(a);
        free(b);
        free(c);
        free(d);
        free(e);
        free(f);
    });
    harness::expect_run(r, 0, "done", "");
}

TEST(Allocation, X2reallocGrowsByHalf)
{
    struct Case {
        size_t first;
        std::vector<size_t> sizes; // after each call, the first with a null buffer
    } cases[] = {
        {0, {64, 96, 144, 216, 324}},
        {10, {10, 15, 23}},
        {1, {1, 2, 3, 5, 8, 12, 18}},
    };
    for (const auto &c : cases) {
        size_t n = c.first;
        char *p = nullptr;
        for (size_t want : c.sizes) {
            p = static_cast<char *>(support::x2realloc(p, &n));
            ASSERT_EQ(n, want) << c.first;
            memset(p, 'x', n); // the whole new size is usable
        }
        free(p);
    }
}

TEST(Allocation, CopiesAndZeroedBlocks)
{
    auto *z = static_cast<unsigned char *>(support::xzalloc(100));
    auto *cz = static_cast<unsigned char *>(support::xcalloc(10, 10));
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(z[i] | cz[i], 0) << i;
    const char bytes[] = {'a', '\0', 'b'};
    auto *m = static_cast<char *>(support::xmemdup(bytes, 3));
    char *s = support::xstrdup("hello");
    EXPECT_EQ(memcmp(m, bytes, 3), 0);
    EXPECT_STREQ(s, "hello");
    for (void *p : {static_cast<void *>(z), static_cast<void *>(cz), static_cast<void *>(m),
                    static_cast<void *>(s)})
        free(p);
}

} // namespace
