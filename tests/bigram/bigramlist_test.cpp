#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "build_facts.h"
#include "pair_model.h"
#include "run_program.h"
#include "temp_dir.h"

namespace
{

using harness::RunOptions;
using harness::RunResult;

RunResult run_bigramlist(const RunOptions &o)
{
    return harness::run_program(build_facts::bigramlist, {"P"}, o);
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

// The sanitizer build's leak check cannot run under strace; elsewhere the setting is ignored.
constexpr const char *leak_check_off = "ASAN_OPTIONS=detect_leaks=0";

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
        // The lister may be gone before the second part: the write then fails with EPIPE, and
        // the signal, blocked in this thread alone, goes with it.
        sigset_t pipe_signal;
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
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
    argv.push_back(build_facts::bigramlist);
    RunResult r = harness::run_program(
        strace, argv, {.in = harness::file(fifo, O_RDONLY), .env = {leak_check_off}});
    writer.join();
    EXPECT_EQ(r.out, "/u\nsr\n/b\nin\nli\n");
    EXPECT_EQ(r.err,
              std::string(build_facts::bigramlist) + ": read error: " + strerror(EIO) + "\n");
    EXPECT_EQ(r.status, 1);
}

// The sizes that bigramlist, run under strace, asked for in each read of standard input and
// each write of standard output.
struct Requests {
    std::vector<size_t> reads, writes;
};

Requests traced_requests(const RunOptions &o, const std::string &trace)
{
    std::vector<std::string> argv = {"/usr/bin/strace", "-o", trace, "-e", "trace=read,write", "-e",
                                     "signal=none",     "-s", "0"};
    if (const char *emulator = getenv("HARNESS_EMULATOR"))
        argv.push_back(emulator);
    argv.push_back(build_facts::bigramlist);
    RunOptions traced = o;
    traced.env.push_back(leak_check_off);
    RunResult r = harness::run_program(argv[0], argv, traced);
    EXPECT_EQ(r.status, 0) << r.err;
    Requests q;
    static const std::regex call(R"(^(read|write)\(([01]), .*, ([0-9]+)\) += )");
    std::ifstream in(trace);
    std::smatch m;
    for (std::string line; std::getline(in, line);)
        if (std::regex_search(line, m, call) && (m[1] == "read") == (m[2] == "0"))
            (m[1] == "read" ? q.reads : q.writes).push_back(std::stoul(m[3]));
    return q;
}

TEST(Bigramlist, StandardStreamsGetLargeBuffersUnlessATerminal)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "strace is not installed";
    constexpr size_t buffer = 128 * 1024;
    const harness::temp_dir scratch;
    const std::string dir = scratch.path(), file = dir + "/in";
    // The terminal: its other end is fed the input, then the end-of-file character.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string terminal = ptsname(master);
    std::string many; // 2 pairs a line, 480 KB of output
    for (int i = 0; i < 40000; ++i)
        many += "abcd\nefgh\n";
    harness::write_file(file, "abcd\nefgh\nabcd\n");
    struct Case {
        const char *what;
        harness::Redirect in, out;
        std::string input;  // through a pipe, or typed at the terminal
        bool big_reads;     // reads of the whole buffer, else stdio's own size for a terminal
        bool line_buffered; // a write for each output line, else writes of the whole buffer
    } cases[] = {
        {"pipe to pipe", harness::piped(), harness::piped(), many, true, false},
        {"file to terminal", harness::file(file, O_RDONLY), harness::file(terminal, O_WRONLY), "",
         true, true},
        {"terminal to pipe", harness::file(terminal, O_RDONLY), harness::piped(),
         "abcd\nefgh\n\x04", false, false},
    };
    for (const auto &c : cases) {
        RunOptions o;
        o.in = c.in;
        o.out = c.out;
        if (c.in.path == terminal) {
            ASSERT_EQ(write(master, c.input.data(), c.input.size()),
                      static_cast<ssize_t>(c.input.size()))
                << c.what;
        } else {
            o.input = c.input;
        }
        const Requests q = traced_requests(o, dir + "/trace");
        ASSERT_FALSE(q.reads.empty()) << c.what;
        ASSERT_FALSE(q.writes.empty()) << c.what;
        for (size_t size : q.reads)
            EXPECT_TRUE(c.big_reads ? size == buffer : size <= BUFSIZ) << c.what << ": " << size;
        // Every write but the last fills the buffer; on a terminal each is one of the six lines.
        for (size_t i = 0; i < q.writes.size(); ++i) {
            if (c.line_buffered || i + 1 < q.writes.size()) {
                EXPECT_EQ(q.writes[i], c.line_buffered ? 3 : buffer) << c.what << ": write " << i;
            }
        }
        if (c.line_buffered) {
            EXPECT_EQ(q.writes.size(), 6u) << c.what;
        }
    }
    close(master);
}

TEST(Bigramlist, ArgumentsAreIgnored)
{
    RunResult r = harness::run_program(build_facts::bigramlist, {"P", "-x", "--help", "file"},
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
        o.env.push_back(build_facts::preload_failing_alloc);
        RunResult r = run_bigramlist(o);
        EXPECT_EQ(r.err, "P: memory exhausted\n") << c.what;
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.status, 1) << c.what;
    }
}

} // namespace
