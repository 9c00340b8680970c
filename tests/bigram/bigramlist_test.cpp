#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>

#include "pair_model.h"
#include "program_paths.h"
#include "run_program.h"

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
