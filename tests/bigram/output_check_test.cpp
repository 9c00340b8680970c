// bigramlist checks at exit that its output was written and closed: lost output is reported
// once as a write error and turns the exit status into a failure.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "build_facts.h"
#include "run_program.h"

namespace
{

std::string write_error(int errnum)
{
    return "bigramlist: write error" + (errnum ? ": " + std::string(strerror(errnum)) : "") + "\n";
}

// Lines that alternate, so that every one of them yields two pairs.
std::string many_lines(int count)
{
    std::string s;
    for (int i = 0; i < count; ++i)
        s += i % 2 ? "abcd\n" : "efgh\n";
    return s;
}

TEST(BigramlistOutput, LostOutputIsAFailure)
{
    struct Case {
        const char *what;
        harness::Redirect out;
        std::string input;
        std::vector<std::string> env;
        int status;
        std::string err;
    } cases[] = {
        {"full device",
         harness::file("/dev/full", O_WRONLY),
         "/usr/bin\n",
         {},
         1,
         write_error(ENOSPC)},
        // Flushes fail while the program runs; the last one fails again at the close.
        {"full device, long output",
         harness::file("/dev/full", O_WRONLY),
         many_lines(20000),
         {},
         1,
         write_error(ENOSPC)},
        {"closed", harness::closed(), "/usr/bin\n", {}, 1, write_error(EBADF)},
        {"closed, no input", harness::closed(), "", {}, 0, ""},
        {"closed, no pairs", harness::closed(), "a\nab\n", {}, 0, ""},
        // Memory runs out with pairs pending: its own message first, then the lost output.
        {"memory exhausted",
         harness::file("/dev/full", O_WRONLY),
         "abcd\n" + std::string(1500, 'q') + "\n",
         {"FAIL_ALLOC_SIZE=2053", build_facts::preload_failing_alloc},
         1,
         "bigramlist: memory exhausted\n" + write_error(0)},
    };
    for (const auto &c : cases) {
        auto r = harness::run_program(build_facts::bigramlist, {"bigramlist"},
                                      {.input = c.input, .out = c.out, .env = c.env});
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
    }
}

TEST(BigramlistOutput, CleanOutputKeepsStatusZero)
{
    auto r =
        harness::run_program(build_facts::bigramlist, {"bigramlist"}, {.input = many_lines(20000)});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.size(), 20000u * 6);
}

} // namespace
