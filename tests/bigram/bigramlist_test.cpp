// bigramlist run as a child process: the pairs it lists, its buffers, and how it ends when its
// input, its output or memory fails.
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

using bigram_model::pairs;
using harness::RunOptions;
using harness::RunResult;

RunResult run_bigramlist(const RunOptions &o, const std::vector<std::string> &argv = {"P"})
{
    return harness::run_program(build_facts::bigramlist, argv, o);
}

TEST(Bigramlist, ListsThePairsAfterTheSharedPrefix)
{
    struct Case {
        const char *what;
        std::string input, output;
        std::vector<std::string> argv = {"P"};
    };
    std::mt19937 rng(7);
    auto text = [&](size_t n) {
        std::string s(n, 'a');
        for (auto &ch : s)
            ch = static_cast<char>('a' + rng() % 26);
        return s;
    };
    // Long lines grow the buffers; the model gives their pairs.
    auto long_lines = [](const char *what, const std::string &input) {
        return Case{what, input, pairs(input)};
    };
    const std::string big = text(5 * 1024 * 1024);
    const Case cases[] = {
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
        {"arguments are ignored", "abcd\n", "ab\ncd\n", {"P", "-x", "--help", "file"}},
        long_lines("1025 bytes with newline", text(1024) + "\n"),
        long_lines("1026 bytes with newline", text(1025) + "\n"),
        long_lines("long after short, sharing a prefix", "abc\nabc" + text(3000) + "\n"),
        long_lines("5 MB line then a line sharing most of it",
                   big + "\n" + big.substr(0, 4000000) + "zz\n"),
    };
    for (const auto &c : cases) {
        EXPECT_EQ(pairs(c.input), c.output) << c.what;
        harness::expect_run(run_bigramlist({.input = c.input}, c.argv), 0, c.output, "", c.what);
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
        if (!harness::expect_run(run_bigramlist({.input = input}), 0, pairs(input), "",
                                 "round " + std::to_string(round)))
            return;
    }
}

std::string write_error(int errnum)
{
    return "P: write error" + (errnum ? ": " + std::string(strerror(errnum)) : "") + "\n";
}

TEST(Bigramlist, LostInputOutputOrMemoryIsReportedOnceAndFails)
{
    // Lines that alternate, so that every one of them yields two pairs.
    std::string many_lines, many_pairs;
    for (int i = 0; i < 20000; ++i) {
        many_lines += i % 2 ? "abcd\n" : "efgh\n";
        many_pairs += i % 2 ? "ab\ncd\n" : "ef\ngh\n";
    }
    const std::string long_line(1500, 'q'), exhausted = "P: memory exhausted\n";
    auto failing = [](const char *size, const char *nth = nullptr) {
        std::vector<std::string> env = {build_facts::preload_failing_alloc, size};
        if (nth != nullptr)
            env.push_back(nth);
        return env;
    };
    const struct Case {
        const char *what;
        RunOptions options;
        int status;
        std::string out, err;
    } cases[] = {
        {"read error",
         {.in = harness::file("/", O_RDONLY)},
         1,
         "",
         "P: read error: " + std::string(strerror(EISDIR)) + "\n"},
        {"full device",
         {.input = "/usr/bin\n", .out = harness::full()},
         1,
         "",
         write_error(ENOSPC)},
        // Flushes fail while the program runs; the last one fails again at the close.
        {"full device, long output",
         {.input = many_lines, .out = harness::full()},
         1,
         "",
         write_error(ENOSPC)},
        {"closed", {.input = "/usr/bin\n", .out = harness::closed()}, 1, "", write_error(EBADF)},
        {"closed, no input", {.out = harness::closed()}, 0, "", ""},
        {"closed, no pairs", {.input = "a\nab\n", .out = harness::closed()}, 0, "", ""},
        {"clean long output", {.input = many_lines}, 0, many_pairs, ""},
        {"first line buffer",
         {.input = "abcd\n" + long_line + "\nzz\n",
          .env = failing("FAIL_ALLOC_SIZE=1026", "FAIL_ALLOC_NTH=1")},
         1,
         "",
         exhausted},
        {"second line buffer",
         {.input = "abcd\n" + long_line + "\nzz\n",
          .env = failing("FAIL_ALLOC_SIZE=1026", "FAIL_ALLOC_NTH=2")},
         1,
         "",
         exhausted},
        // Growing for the long line fails: the pairs of the line before it still come out.
        {"growth",
         {.input = "abcd\n" + long_line + "\nzz\n", .env = failing("FAIL_ALLOC_SIZE=2053")},
         1,
         "ab\ncd\n",
         exhausted},
        // Memory runs out with pairs pending: its own message first, then the lost output.
        {"memory exhausted, output lost",
         {.input = "abcd\n" + long_line + "\n",
          .out = harness::full(),
          .env = failing("FAIL_ALLOC_SIZE=2053")},
         1,
         "",
         exhausted + write_error(0)},
    };
    for (const auto &c : cases)
        harness::expect_run(run_bigramlist(c.options), c.status, c.out, c.err, c.what);
}

constexpr char strace[] = "/usr/bin/strace";

// bigramlist run by strace with the given options of strace.
RunResult run_traced(std::vector<std::string> strace_options, RunOptions o)
{
    std::vector<std::string> argv = {strace};
    argv.insert(argv.end(), strace_options.begin(), strace_options.end());
    if (const char *emulator = getenv("HARNESS_EMULATOR"))
        argv.push_back(emulator);
    argv.push_back(build_facts::bigramlist);
    // The sanitizer build's leak check cannot run under strace; elsewhere the setting is ignored.
    o.env.push_back("ASAN_OPTIONS=detect_leaks=0");
    return harness::run_program(strace, argv, o);
}

TEST(Bigramlist, StopsAtTheFirstReadError)
{
    // The second read of standard input fails with EIO (injected by strace, which reaches the C
    // library's own reads). The bytes before it are the last line, and nothing after the failure
    // is read, although the input goes on.
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
    RunResult r = run_traced(
        {"-o", "/dev/null", "-P", fifo, "-e", "trace=read", "-e", "inject=read:error=EIO:when=2"},
        {.in = harness::file(fifo, O_RDONLY)});
    writer.join();
    harness::expect_run(r, 1, "/u\nsr\n/b\nin\nli\n",
                        std::string(build_facts::bigramlist) + ": read error: " + strerror(EIO) +
                            "\n");
}

// The sizes that bigramlist, run under strace, asked for in each read of standard input and
// each write of standard output.
struct Requests {
    std::vector<size_t> reads, writes;
};

// The requests of a run that must list output, written to the trace file.
Requests traced_requests(const RunOptions &o, const std::string &output, const std::string &trace)
{
    RunResult r =
        run_traced({"-o", trace, "-e", "trace=read,write", "-e", "signal=none", "-s", "0"}, o);
    harness::expect_run(r, 0, output, "", "traced run");
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
    if (access(strace, X_OK) != 0)
        GTEST_SKIP() << "strace is not installed";
    constexpr size_t in_buffer = 1024 * 1024, out_buffer = 128 * 1024;
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
        std::string output; // what the output pipe receives
        bool big_reads;     // reads of the whole buffer, else stdio's own size for a terminal
        bool line_buffered; // a write for each output line, else writes of the whole buffer
    } cases[] = {
        {"pipe to pipe", harness::piped(), harness::piped(), many, pairs(many), true, false},
        {"file to terminal", harness::file(file, O_RDONLY), harness::file(terminal, O_WRONLY), "",
         "", true, true},
        {"terminal to pipe", harness::file(terminal, O_RDONLY), harness::piped(),
         "abcd\nefgh\n\x04", "ab\ncd\nef\ngh\n", false, false},
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
        SCOPED_TRACE(c.what);
        const Requests q = traced_requests(o, c.output, dir + "/trace");
        ASSERT_FALSE(q.reads.empty()) << c.what;
        ASSERT_FALSE(q.writes.empty()) << c.what;
        for (size_t size : q.reads)
            EXPECT_TRUE(c.big_reads ? size == in_buffer : size <= BUFSIZ) << c.what << ": " << size;
        // Every write but the last fills the buffer; on a terminal each is one of the six lines.
        for (size_t i = 0; i < q.writes.size(); ++i) {
            if (c.line_buffered || i + 1 < q.writes.size()) {
                EXPECT_EQ(q.writes[i], c.line_buffered ? 3 : out_buffer)
                    << c.what << ": write " << i;
            }
        }
        if (c.line_buffered) {
            EXPECT_EQ(q.writes.size(), 6u) << c.what;
        }
    }
    close(master);
}

} // namespace
