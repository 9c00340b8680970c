// The allocation-failure sweep: every path that allocates is run once for each allocation it
// makes, with exactly that allocation failing (counted from the start of the process), and each
// run must either succeed with the full result or fail as documented, with nothing lost,
// corrupted or leaked. Sanitizer reports end a run with a status that no check accepts.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "pair_model.h"
#include "program_paths.h"
#include "run_program.h"
#include "sbscrub_messages.h"
#include "standin.h"
#include "temp_dir.h"

namespace
{

using harness::RunOptions;
using harness::RunResult;

// One program run to sweep.
struct Target {
    std::string path;
    std::vector<std::string> argv;
    RunOptions options;
};

RunResult run_with(const Target &t, std::vector<std::string> env)
{
    RunOptions o = t.options;
    o.env.push_back(program_paths::preload_failing_alloc);
    o.env.insert(o.env.end(), env.begin(), env.end());
    return harness::run_program(t.path, t.argv, o);
}

std::string describe(const RunResult &r)
{
    return "status " + std::to_string(r.status) + ", signal " + std::to_string(r.signal) +
           ", stderr: " + r.err;
}

// What the sweep of one path saw.
struct Tally {
    unsigned long points = 0;    // allocations made by a run without failures
    unsigned long exhausted = 0; // runs that ended with the documented failure
    RunResult full;              // the run without failures
};

// Runs t once to count its allocations, then once for each of them with it failing. before()
// resets the run's files; check(n, result) judges the run with the n-th allocation failing and
// returns whether that run ended in the documented failure.
Tally sweep(const std::string &name, const Target &t, const std::function<void()> &before,
            const std::function<bool(unsigned long, const RunResult &)> &check)
{
    Tally tally;
    const harness::temp_dir scratch;
    const std::string &dir = scratch.path();
    std::string count_file = dir + "/count";
    before();
    tally.full = run_with(
        t, {"FAIL_ALLOC_MIN=0", "FAIL_ALLOC_NTH=0", "FAIL_ALLOC_COUNT_FILE=" + count_file});
    std::string count = harness::read_file(count_file);
    if (count.empty()) {
        ADD_FAILURE() << name << ": the run without failures wrote no count; "
                      << describe(tally.full);
        return tally;
    }
    tally.points = std::stoul(count);
    for (unsigned long n = 1; n <= tally.points; ++n) {
        before();
        RunResult r = run_with(t, {"FAIL_ALLOC_MIN=0", "FAIL_ALLOC_NTH=" + std::to_string(n)});
        if (r.timed_out || r.signal != 0) {
            ADD_FAILURE() << name << ": allocation " << n << " of " << tally.points
                          << " failing: " << describe(r) << (r.timed_out ? " (timed out)" : "");
            continue;
        }
        if (check(n, r))
            ++tally.exhausted;
    }
    std::cout << "[ sweep    ] " << name << ": " << tally.points << " failure points, "
              << tally.exhausted << " ended in the documented failure\n";
    ::testing::Test::RecordProperty(name + "_failure_points", static_cast<int>(tally.points));
    return tally;
}

bool is_prefix(const std::string &part, const std::string &whole)
{
    return whole.compare(0, part.size(), part) == 0;
}

// A run that fails with "memory exhausted" and status 1 after writing a prefix of the output,
// or succeeds with all of it.
bool exhausted_or_whole(const std::string &name, unsigned long n, const RunResult &r,
                        const std::string &program, const std::string &expected)
{
    if (r.status == 0) {
        EXPECT_EQ(r.out, expected) << name << ", allocation " << n;
        EXPECT_EQ(r.err, "") << name << ", allocation " << n;
        return false;
    }
    EXPECT_EQ(r.status, 1) << name << ", allocation " << n << ": " << describe(r);
    EXPECT_EQ(r.err, program + ": memory exhausted\n") << name << ", allocation " << n;
    EXPECT_TRUE(is_prefix(r.out, expected))
        << name << ", allocation " << n << ": output is not a prefix of the full output";
    return r.status == 1;
}

TEST(AllocationSweep, BigramlistStartUpAndBufferGrowth)
{
    struct Case {
        const char *what;
        std::string input;
    } cases[] = {
        {"empty input", ""},
        {"short lines", "/usr/bin\n/usr/lib\n/usr/lib/x\n/var\n"},
        // Lines of 3000, 9000 and 20000 bytes grow both buffers several times.
        {"growing lines", "/usr/bin\n" + std::string(3000, 'a') + "\n/usr/lib\n" +
                              std::string(9000, 'b') + "\n" + std::string(20000, 'c') + "tail"},
    };
    for (const Case &c : cases) {
        Target t{program_paths::bigramlist, {"P"}, {}};
        t.options.input = c.input;
        std::string expected = bigram_model::pairs(c.input);
        Tally tally = sweep(
            std::string("bigramlist ") + c.what, t, [] {},
            [&](unsigned long n, const RunResult &r) {
                return exhausted_or_whole(c.what, n, r, "P", expected);
            });
        EXPECT_EQ(tally.full.status, 0) << c.what << ": " << describe(tally.full);
        EXPECT_EQ(tally.full.out, expected) << c.what;
        // At least the two line buffers must have been failed.
        EXPECT_GE(tally.exhausted, 2u) << c.what;
    }
}

TEST(AllocationSweep, QuotingIntoSlots)
{
    Target t{program_paths::sweep_quoting_driver, {"Q"}, {}};
    Tally tally = sweep(
        "quoting into slots", t, [] {},
        [&](unsigned long n, const RunResult &r) {
            return exhausted_or_whole("quoting", n, r, "Q", tally.full.out);
        });
    ASSERT_EQ(tally.full.status, 0) << describe(tally.full);
    // Five slots of three texts each, a colon, a style, two heap results and the last slot.
    EXPECT_EQ(std::count(tally.full.out.begin(), tally.full.out.end(), '\n'), 15 + 2 + 2 + 1);
    // Every slot vector growth, slot buffer and heap copy is one documented failure.
    EXPECT_GE(tally.exhausted, 10u);
}

TEST(AllocationSweep, QuotingTheOutputNameAtExit)
{
    // A name too long for slot 0's static buffer, so that quoting it at exit allocates.
    std::string name(600, 'n');
    Target t{program_paths::sweep_quoting_driver, {"Q", "close", name}, {}};
    t.options.out = harness::file("/dev/full", O_WRONLY);
    std::string write_error = "Q: " + name + ": write error: " + strerror(ENOSPC) + "\n";
    // Without a buffer for standard output the write fails at once, and the close that finds
    // the error recorded has no system text to add.
    std::string unbuffered_write_error = "Q: " + name + ": write error\n";
    Tally tally = sweep(
        "quoting the output name at exit", t, [] {},
        [&](unsigned long n, const RunResult &r) {
            EXPECT_EQ(r.status, 1) << "allocation " << n << ": " << describe(r);
            if (r.err == write_error || r.err == unbuffered_write_error)
                return false;
            EXPECT_EQ(r.err, "Q: memory exhausted\n") << "allocation " << n;
            return true;
        });
    EXPECT_EQ(tally.full.status, 1);
    EXPECT_EQ(tally.full.err, write_error);
    EXPECT_GE(tally.exhausted, 1u);
}

TEST(AllocationSweep, ConfigurationScanReturnsNullWhenMemoryRunsOut)
{
    const harness::temp_dir scratch;
    const std::string &dir = scratch.path();
    std::string conf = dir + "/ferryd.conf";
    std::string value(700, 'v');
    // Comments, blanks, another directive and a quoted value: every step of the scan runs.
    harness::write_file(conf, "# ferryd\n\n   ServerName x\n" + std::string(1500, '#') +
                                  "\nScoreboardFile \"" + value + "\"\nScoreboardFile /later\n");
    Target t{program_paths::sweep_scan_driver, {"S", conf, "ScoreboardFile"}, {}};
    std::string found = "value: " + value + "\n";
    std::string null = std::string("null: ") + strerror(ENOMEM) + "\n";
    Tally tally = sweep(
        "configuration scan", t, [] {},
        [&](unsigned long n, const RunResult &r) {
            EXPECT_EQ(r.status, 0) << "allocation " << n << ": " << describe(r);
            EXPECT_TRUE(r.out == found || r.out == null) << "allocation " << n << ": " << r.out;
            return r.out == null;
        });
    EXPECT_EQ(tally.full.out, found);
    // The stream and the copy at least.
    EXPECT_GE(tally.exhausted, 2u);
}

// sbscrub finding its scoreboard through the configuration file named with -c: on every failed
// run no byte of the scoreboard has changed.
TEST(AllocationSweep, SbscrubConfigurationCopyAndScan)
{
    if (harness::exists(program_paths::default_scoreboard))
        GTEST_SKIP() << "a scoreboard exists at the compiled-in path";
    const harness::temp_dir scratch;
    const std::string &dir = scratch.path();
    std::string sb = dir + "/ferryd.scoreboard", conf = dir + "/ferryd.conf";
    harness::write_file(conf, "# ferryd\nServerName x\nScoreboardFile \"" + sb + "\"\n");
    pid_t dead = standin::dead_pid();
    standin::Board board{.pids = {dead, getpid(), 0, dead}};
    const std::string original = standin::build(board);
    const std::string scrubbed = standin::scrubbed(board, {dead});
    const std::string missing =
        sbscrub_messages::missing(program_paths::default_scoreboard, ENOENT);

    struct Case {
        const char *what;
        std::vector<std::string> args;
    } cases[] = {
        {"-v -c", {"-v", "-c", conf}},
        {"a replaced -c and a refused -f",
         {"-c", dir + "/none.conf", "--config", conf, "-f", dir + "/absent"}},
    };
    for (const Case &c : cases) {
        Target t{program_paths::sbscrub, {"sbscrub"}, {}};
        t.argv.insert(t.argv.end(), c.args.begin(), c.args.end());
        Tally tally = sweep(
            std::string("sbscrub ") + c.what, t, [&] { harness::write_file(sb, original); },
            [&](unsigned long n, const RunResult &r) {
                std::string now = harness::read_file(sb);
                // Verbose messages that cannot be kept are lost output; the scrub goes on.
                const bool lost = r.err == "write error: " + std::string(strerror(ENOMEM)) + "\n";
                if (r.status == 0 || lost) {
                    EXPECT_EQ(r.status, lost ? 1 : 0) << c.what << ", allocation " << n;
                    EXPECT_EQ(now, scrubbed) << c.what << ", allocation " << n;
                    return lost;
                }
                EXPECT_EQ(r.status, 1) << c.what << ", allocation " << n << ": " << describe(r);
                EXPECT_EQ(now, original) << c.what << ", allocation " << n;
                bool copy_failed = false;
                for (size_t i = 1; i + 1 < t.argv.size(); ++i)
                    if (r.err == t.argv[i + 1] + ": " + strerror(ENOMEM) + "\n")
                        copy_failed = true;
                EXPECT_TRUE(copy_failed || r.err == missing)
                    << c.what << ", allocation " << n << ": " << r.err;
                return true;
            });
        EXPECT_EQ(tally.full.status, 0) << c.what << ": " << describe(tally.full);
        // Each -c copy, the stream and the copy of the value.
        EXPECT_GE(tally.exhausted, 3u) << c.what;
    }
}

} // namespace
