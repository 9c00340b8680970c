#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "pair_model.h"
#include "program_paths.h"
#include "run_program.h"
#include "temp_dir.h"

namespace
{

using harness::RunOptions;
using harness::RunResult;

RunResult run_bigramlist(const RunOptions &o)
{
    return harness::run_program(program_paths::bigramlist, {"P"}, o);
}

RunResult run_bigramlist(const std::string &input)
{
    return run_bigramlist(RunOptions{.input = input});
}

using bigram_model::pairs;

TEST(Bigramlist, ListsThePairsAfterTheSharedPrefix)
{
    struct Case {
        const char *what;
        std::string input, output;
    } cases[] = {
        {"worked example", "/usr/bin\n/usr/lib\n/usr/lib/x\n/usr/lib/x\n/var\n",
         "/u\nsr\n/b\nin\nli\n/x\nva\n"},
        {"empty input", "", ""},
        {"empty line resets the prefix", "abcd\n\nabcd\n", "ab\ncd\nab\ncd\n"},
        {"repeated line", "abcd\nabcd\n", "ab\ncd\n"},
        {"prefix of the previous line", "abcd\nab\n", "ab\ncd\n"},
        {"pairs depend on the previous line", "/usr/lab\n/usr/lib\n", "/u\nsr\n/l\nab\nib\n"},
        {"odd remainder and one-byte remainder", "abcde\nabcdf\n", "ab\ncd\n"},
        {"carriage return is an ordinary byte", "a\r\n", "a\r\n"},
        {"embedded NUL ends the line", std::string("ab\0cd\nabxy\n", 11), "ab\nxy\n"},
        {"bytes are not characters", "\xC3\xA9\xC3\n", "\xC3\xA9\n"},
        // A last line without a newline keeps its last byte.
        {"no final newline", "ab\ncd", "ab\ncd\n"},
        {"no final newline, odd remainder", "ab\nabc", "ab\n"},
        {"single line without newline", "xy", "xy\n"},
    };
    for (const auto &c : cases) {
        RunResult r = run_bigramlist(c.input);
        EXPECT_EQ(r.out, c.output) << c.what;
        EXPECT_EQ(r.out, pairs(c.input)) << c.what;
        EXPECT_EQ(r.err, "") << c.what;
        EXPECT_EQ(r.status, 0) << c.what;
    }
    EXPECT_EQ(run_bigramlist(cases[0].input).out.size(), 21u);
}

TEST(Bigramlist, LongLinesGrowTheBuffers)
{
    std::mt19937 rng(7);
    auto text = [&](size_t n) {
        std::string s(n, 'a');
        for (auto &ch : s)
            ch = static_cast<char>('a' + rng() % 26);
        return s;
    };
    const std::string big = text(5 * 1024 * 1024);
    struct Case {
        const char *what;
        std::string input;
    } cases[] = {
        {"1025 bytes with newline", text(1024) + "\n"},
        {"1026 bytes with newline", text(1025) + "\n"},
        {"long after short, sharing a prefix", "abc\n" + std::string("abc") + text(3000) + "\n"},
        {"5 MB line then a line sharing most of it", big + "\n" + big.substr(0, 4000000) + "zz\n"},
    };
    for (const auto &c : cases) {
        RunResult r = run_bigramlist(c.input);
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_EQ(r.out.size(), pairs(c.input).size()) << c.what;
        EXPECT_TRUE(r.out == pairs(c.input)) << c.what;
    }
}

TEST(Bigramlist, AgreesWithTheModelOnRandomSortedLists)
{
    std::mt19937 rng(12345);
    for (int round = 0; round < 20; ++round) {
        std::string input, line;
        int lines = static_cast<int>(rng() % 200);
        for (int i = 0; i < lines; ++i) {
            line.resize(rng() % (line.size() + 1)); // keep a prefix of the previous line
            for (unsigned k = rng() % 40; k > 0; --k)
                line += static_cast<char>(rng() % 4 == 0 ? rng() % 256 : 'a' + rng() % 3);
            input += line;
            if (i + 1 < lines || rng() % 2)
                input += '\n';
        }
        RunResult r = run_bigramlist(input);
        ASSERT_EQ(r.status, 0) << "round " << round;
        ASSERT_TRUE(r.out == pairs(input)) << "round " << round;
    }
}

TEST(Bigramlist, ReadErrorIsReportedNotTakenForTheEnd)
{
    RunResult r = run_bigramlist(RunOptions{.in = harness::file("/", O_RDONLY)});
    EXPECT_EQ(r.err, "P: read error: " + std::string(strerror(EISDIR)) + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
}

TEST(Bigramlist, StopsAtTheFirstReadError)
{
    // The second read of standard input fails with EIO (injected by strace, which reaches the C
    // library's own reads). The bytes before it are the last line, and nothing after the failure
    // is read, although the input goes on.
    const char *strace = "/usr/bin/strace";
    if (access(strace, X_OK) != 0)
        GTEST_SKIP() << "strace is not installed";
    const harness::temp_dir dir;
    const std::string fifo = dir.path() + "/in";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        int fd = open(fifo.c_str(), O_WRONLY);
        if (fd < 0)
            return;
        auto put = [fd](std::string_view s) { return write(fd, s.data(), s.size()) > 0; };
        // The second part only once the first has been read, so that it comes by a later read.
        int left = 1;
        if (put("/usr/bin\n/usr/li"))
            for (int i = 0; i < 10000 && ioctl(fd, FIONREAD, &left) == 0 && left > 0; ++i)
                usleep(1000);
        put("b/x\n/var\n");
        close(fd);
    });
    std::vector<std::string> argv = {strace,       "-o", "/dev/null",
                                     "-P",         fifo, "-e",
                                     "trace=read", "-e", "inject=read:error=EIO:when=2"};
    if (const char *emulator = getenv("HARNESS_EMULATOR"))
        argv.push_back(emulator);
    argv.push_back(program_paths::bigramlist);
    // The leak check of a sanitizer build cannot run under a tracer.
    RunResult r = harness::run_program(
        strace, argv,
        {.in = harness::file(fifo, O_RDONLY), .env = {"ASAN_OPTIONS=detect_leaks=0"}});
    writer.join();
    EXPECT_EQ(r.out, "/u\nsr\n/b\nin\nli\n");
    EXPECT_EQ(r.err,
              std::string(program_paths::bigramlist) + ": read error: " + strerror(EIO) + "\n");
    EXPECT_EQ(r.status, 1);
}

TEST(Bigramlist, ArgumentsAreIgnored)
{
    RunResult r = harness::run_program(program_paths::bigramlist, {"P", "-x", "--help", "file"},
                                       {.input = "abcd\n"});
    EXPECT_EQ(r.out, "ab\ncd\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Bigramlist, MemoryExhaustionEndsWithAMessageAfterTheEarlierPairs)
{
    const std::string long_line(1500, 'q');
    struct Case {
        const char *what;
        std::vector<std::string> env;
        std::string out;
    } cases[] = {
        {"first line buffer", {"FAIL_ALLOC_SIZE=1026", "FAIL_ALLOC_NTH=1"}, ""},
        {"second line buffer", {"FAIL_ALLOC_SIZE=1026", "FAIL_ALLOC_NTH=2"}, ""},
        // Growing for the long line fails: the pairs of the line before it still come out.
        {"growth", {"FAIL_ALLOC_SIZE=2053"}, "ab\ncd\n"},
    };
    for (const auto &c : cases) {
        RunOptions o{.input = "abcd\n" + long_line + "\nzz\n", .env = c.env};
        o.env.push_back(program_paths::preload_failing_alloc);
        RunResult r = run_bigramlist(o);
        EXPECT_EQ(r.err, "P: memory exhausted\n") << c.what;
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.status, 1) << c.what;
    }
}

} // namespace
