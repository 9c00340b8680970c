// Opening the scoreboard, checking its header, and reading its occupied slots.
#include "io_faults.h"
#include "run_program.h"
#include "scoreboard.h"
#include "scoreboard_fixture.h"
#include "standin.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace
{

using faults::Op;

std::string header(uint32_t magic, uint32_t version)
{
    standin::Board b{.magic = magic, .version = version};
    return standin::build(b);
}

class ReaderTest : public scoreboard_fixture
{
  protected:
    void TearDown() override
    {
        faults::reset();
        scoreboard_fixture::TearDown();
    }
    // Writes the board and opens it; the open's result.
    int open_board(const standin::Board &b)
    {
        standin::write(path, b);
        return util_open_scoreboard(O_RDONLY);
    }
};

TEST_F(ReaderTest, HeaderChecks)
{
    struct Case {
        const char *what;
        std::string bytes;
        int result;
    };
    const Case cases[] = {
        {"empty", "", -1},
        {"8 bytes", header(SCOREBOARD_MAGIC, SCOREBOARD_VERSION).substr(0, 8), -1},
        {"15 bytes", header(SCOREBOARD_MAGIC, SCOREBOARD_VERSION).substr(0, 15), -1},
        {"wrong magic", header(0xEFBEADDE, SCOREBOARD_VERSION), -2},
        {"older version", header(SCOREBOARD_MAGIC, 0x01040002), -3},
        {"version 0", header(SCOREBOARD_MAGIC, 0), -3},
        {"newer version", header(SCOREBOARD_MAGIC, 0x01040004), -4},
        {"top version", header(SCOREBOARD_MAGIC, 0xFFFFFFFF), -4},
        {"header only", header(SCOREBOARD_MAGIC, SCOREBOARD_VERSION), 0},
    };
    int before = harness::open_descriptors();
    for (const Case &c : cases) {
        harness::write_file(path, c.bytes);
        EXPECT_EQ(util_open_scoreboard(O_RDONLY), c.result) << c.what;
        // The descriptor stays open after a header failure, until closed.
        EXPECT_EQ(harness::open_descriptors(), before + 1) << c.what;
        EXPECT_EQ(util_close_scoreboard(), 0) << c.what;
        EXPECT_EQ(harness::open_descriptors(), before) << c.what;
    }
}

TEST_F(ReaderTest, FailuresAfterTheOpen)
{
    standin::Board b{.pids = {101}};
    auto fail = faults::fail;
    struct Case {
        const char *what;
        faults::Op op;
        std::vector<faults::Outcome> outcomes;
        int result, error;
        bool stays_open;
    };
    const Case cases[] = {
        {"interrupted header reads are repeated", Op::read, {fail(EINTR), fail(EINTR)}, 0, 0, true},
        {"failed header read", Op::read, {fail(EIO)}, -1, EIO, true},
        {"interrupted, then failed header read", Op::read, {fail(EINTR), fail(EIO)}, -1, EIO, true},
    };
    int before = harness::open_descriptors();
    for (const Case &c : cases) {
        standin::write(path, b);
        faults::target(path);
        faults::script(c.op, c.outcomes);
        errno = 0;
        EXPECT_EQ(util_open_scoreboard(O_RDONLY), c.result) << c.what;
        if (c.result < 0) {
            EXPECT_EQ(errno, c.error) << c.what;
        }
        EXPECT_EQ(faults::calls(c.op), static_cast<int>(c.outcomes.size()) + (c.result == 0))
            << c.what;
        EXPECT_EQ(harness::open_descriptors(), before + (c.stays_open ? 1 : 0)) << c.what;
        if (c.result == 0) {
            scoreboard_entry *e = util_scoreboard_entry_read();
            ASSERT_NE(e, nullptr) << c.what;
            EXPECT_EQ(e->pid, 101) << c.what;
        } else if (!c.stays_open) {
            errno = 0;
            EXPECT_EQ(util_scoreboard_entry_read(), nullptr) << c.what;
            EXPECT_EQ(errno, EINVAL) << c.what;
        }
        EXPECT_EQ(util_close_scoreboard(), 0) << c.what;
        EXPECT_EQ(harness::open_descriptors(), before) << c.what;
    }
}

TEST_F(ReaderTest, RefusesSymbolicLinkAndLeavesNothingOpen)
{
    standin::write(dir + "/real", standin::Board{});
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(symlink((dir + "/real").c_str(), path.c_str()), 0);
    int before = harness::open_descriptors();
    errno = 0;
    EXPECT_EQ(util_open_scoreboard(O_RDONLY), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(harness::open_descriptors(), before);
    EXPECT_EQ(util_scoreboard_entry_read(), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(ReaderTest, ALinkRacingWithAFileIsNeverFollowed)
{
    // Another process swaps the path between the scoreboard and a link to another file. The
    // reader and the scrub either get the scoreboard or refuse the link with EPERM; they never
    // land on the link's target, and never report the open's ELOOP.
    standin::Board own, other;
    own.daemon_pid = 111;
    other.daemon_pid = 222;
    other.pids = {standin::dead_pid()};
    const std::string file = dir + "/file", target = dir + "/target";
    standin::write(file, own);
    standin::write(path, own);
    standin::write(target, other);
    struct Case {
        const char *what;
        int (*open_path)(); // 0 when it opened the scoreboard, else -1 with errno
    };
    const Case cases[] = {
        {"reader",
         [] {
             int rc = util_open_scoreboard(O_RDONLY);
             if (rc == 0 && util_scoreboard_get_daemon_pid() != 111)
                 rc = -2;
             util_close_scoreboard();
             return rc;
         }},
        {"scrub", [] { return util_scoreboard_scrub(0); }},
    };
    for (const Case &c : cases) {
        std::atomic<bool> stop{false};
        std::thread swapper([&] {
            const std::string link_tmp = dir + "/link.tmp", copy = dir + "/file.tmp";
            while (!stop) {
                symlink("target", link_tmp.c_str());
                rename(link_tmp.c_str(), path.c_str());
                link(file.c_str(), copy.c_str());
                rename(copy.c_str(), path.c_str());
            }
        });
        // Until both outcomes have been seen often enough to show the race was run.
        int opened = 0, refused = 0;
        for (int i = 0; i < 200000 && (opened < 200 || refused < 200); ++i) {
            errno = 0;
            int rc = c.open_path();
            ASSERT_TRUE(rc == 0 || (rc == -1 && errno == EPERM))
                << c.what << ": result " << rc << ", " << strerror(errno);
            (rc == 0 ? opened : refused) += 1;
        }
        stop = true;
        swapper.join();
        EXPECT_EQ(harness::read_file(target), standin::build(other)) << c.what;
        EXPECT_GT(refused, 0) << c.what << ": the swap never raced with the open";
    }
}

TEST_F(ReaderTest, MissingFileFailsWithOpenError)
{
    ASSERT_EQ(unlink(path.c_str()), 0);
    errno = 0;
    EXPECT_EQ(util_open_scoreboard(O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(ReaderTest, GettersHandOnTheHeaderEvenWithWrongMagic)
{
    standin::Board b{.magic = 0x12345678, .daemon_pid = 4321, .daemon_uptime = 0xFEEDF00D};
    EXPECT_EQ(open_board(b), -2);
    EXPECT_EQ(util_scoreboard_get_daemon_pid(), 4321);
    EXPECT_EQ(util_scoreboard_get_daemon_uptime(), 0xFEEDF00Du);
}

TEST_F(ReaderTest, ReturnsOccupiedSlotsInFileOrder)
{
    standin::Board b{.pids = {0, 101, 0, 202}};
    ASSERT_EQ(open_board(b), 0);
    for (int32_t pid : {101, 202}) {
        scoreboard_entry *e = util_scoreboard_entry_read();
        ASSERT_NE(e, nullptr) << pid;
        EXPECT_EQ(e->pid, pid);
        size_t index = pid == 101 ? 1 : 3;
        EXPECT_EQ(std::string(reinterpret_cast<char *>(e), sizeof *e),
                  standin::slot_bytes(index, pid))
            << pid;
    }
    errno = EBADF;
    EXPECT_EQ(util_scoreboard_entry_read(), nullptr);
    EXPECT_EQ(errno, 0);
}

TEST_F(ReaderTest, TrailingPartialSlotCountsAsASlot)
{
    standin::Board b{.pids = {101}, .partial = 10};
    ASSERT_EQ(open_board(b), 0);
    ASSERT_NE(util_scoreboard_entry_read(), nullptr);
    scoreboard_entry *e = util_scoreboard_entry_read();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->pid, 0x7777);
    EXPECT_EQ(e->data[10], 0) << "bytes past the partial slot are zero";
    EXPECT_EQ(util_scoreboard_entry_read(), nullptr);
}

// Found by fuzzing: the tail of a partial slot after an empty one held the empty slot's bytes.
TEST_F(ReaderTest, PartialSlotAfterAnEmptySlotIsPaddedWithZeros)
{
    standin::Board b{.pids = {0}, .partial = 10};
    ASSERT_EQ(open_board(b), 0);
    scoreboard_entry *e = util_scoreboard_entry_read();
    ASSERT_NE(e, nullptr);
    std::string expected = standin::slot_bytes(1, 0x7777).substr(0, 10);
    expected.resize(sizeof *e, '\0');
    EXPECT_EQ(std::string(reinterpret_cast<char *>(e), sizeof *e), expected);
    EXPECT_EQ(util_scoreboard_entry_read(), nullptr);
}

TEST_F(ReaderTest, HeaderOnlyEndsAtOnceAndPrintsNothing)
{
    // End of file is no error, also when a signal interrupted the read before it or the unlock
    // after it was busy at first.
    struct Case {
        const char *what;
        Op op;
        std::vector<faults::Outcome> outcomes;
    };
    const Case cases[] = {
        {"end of file", Op::read, {}},
        {"end of file after interrupted reads",
         Op::read,
         {faults::fail(EINTR), faults::fail(EINTR)}},
        {"end of file, then a busy unlock", Op::unlock, {faults::fail(EAGAIN)}},
    };
    for (const Case &c : cases) {
        auto r = harness::run_function([&] {
            if (open_board(standin::Board{}) != 0)
                return 10;
            faults::target(path);
            faults::script(c.op, c.outcomes);
            errno = EBADF;
            if (util_scoreboard_entry_read() != nullptr)
                return 11;
            return errno;
        });
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
    }
}

TEST_F(ReaderTest, ReadErrorIsReportedOnStandardOutput)
{
    standin::Board b{.pids = {0, 101}};
    auto r = harness::run_function([&] {
        if (open_board(b) != 0)
            return 100;
        faults::target(path);
        faults::script(Op::read, {faults::pass(), faults::fail(EIO)});
        if (util_scoreboard_entry_read() != nullptr)
            return 101;
        return errno;
    });
    EXPECT_EQ(r.status, EIO);
    EXPECT_EQ(r.out, std::string("error reading scoreboard entry: ") + strerror(EIO) + "\n");
}

TEST_F(ReaderTest, InterruptedCallsAreRepeated)
{
    standin::Board b{.pids = {101}};
    ASSERT_EQ(open_board(b), 0);
    faults::target(path);
    faults::script(Op::lock, {faults::fail(EINTR), faults::fail(EAGAIN), faults::fail(EINTR)});
    faults::script(Op::read, {faults::fail(EINTR), faults::fail(EINTR)});
    scoreboard_entry *e = util_scoreboard_entry_read();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->pid, 101);
    EXPECT_EQ(faults::calls(Op::lock), 4);
    EXPECT_EQ(faults::calls(Op::read), 3);
    EXPECT_EQ(faults::calls(Op::unlock), 1);
}

TEST_F(ReaderTest, OtherLockFailureReadsWithoutALock)
{
    standin::Board b{.pids = {101}};
    ASSERT_EQ(open_board(b), 0);
    faults::target(path);
    faults::script(Op::lock, {faults::fail(ENOLCK)});
    scoreboard_entry *e = util_scoreboard_entry_read();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->pid, 101);
    EXPECT_EQ(faults::calls(Op::lock), 1);
}

TEST_F(ReaderTest, UnlockIsRepeatedOnlyWhenBusyOrInterrupted)
{
    standin::Board b{.pids = {101, 202}};
    auto fail = faults::fail;
    struct Case {
        const char *what;
        std::vector<faults::Outcome> unlocks;
        int calls;
    };
    const Case cases[] = {
        {"released at once", {}, 1},
        {"busy, then interrupted", {fail(EAGAIN), fail(EINTR)}, 3},
        {"another error gives up", {fail(ENOLCK)}, 1},
        {"interrupted, then another error", {fail(EINTR), fail(EIO)}, 2},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(open_board(b), 0);
        faults::target(path);
        faults::script(Op::unlock, c.unlocks);
        // The slot is handed out whether or not the lock could be dropped.
        scoreboard_entry *e = util_scoreboard_entry_read();
        ASSERT_NE(e, nullptr) << c.what;
        EXPECT_EQ(e->pid, 101) << c.what;
        EXPECT_EQ(faults::calls(Op::unlock), c.calls) << c.what;
        // The next read locks again and goes on from there.
        e = util_scoreboard_entry_read();
        ASSERT_NE(e, nullptr) << c.what;
        EXPECT_EQ(e->pid, 202) << c.what;
        EXPECT_EQ(faults::calls(Op::lock), 2) << c.what;
        EXPECT_EQ(faults::calls(Op::unlock), c.calls + 1) << c.what;
        util_close_scoreboard();
    }
}

// Closes the scoreboard, as a caller's handler for a signal that ends its work would.
void close_scoreboard_on_signal(int)
{
    util_close_scoreboard();
}

TEST_F(ReaderTest, ClosingInASignalHandlerDuringAReadDropsTheLock)
{
    standin::Board b{.pids = {0, 101}};
    auto r = harness::run_function([&] {
        int before = harness::open_descriptors();
        if (open_board(b) != 0)
            return 100;
        struct sigaction sa {
        };
        sa.sa_handler = close_scoreboard_on_signal;
        if (sigaction(SIGUSR1, &sa, nullptr) < 0)
            return 101;
        // The signal arrives as the second slot is about to be read, under the read lock.
        faults::target(path);
        faults::before(Op::read, [] {
            if (faults::calls(Op::read) == 1)
                raise(SIGUSR1);
        });
        errno = 0;
        scoreboard_entry *e = util_scoreboard_entry_read();
        int err = errno;
        fprintf(stderr, "%d %d %d %d %d", e == nullptr, err, faults::calls(Op::lock),
                faults::calls(Op::unlock), harness::open_descriptors() - before);
        return 0;
    });
    EXPECT_EQ(r.status, 0);
    int null_result = 0, error = 0, locks = 0, unlocks = 0, left_open = -1;
    ASSERT_EQ(
        sscanf(r.err.c_str(), "%d %d %d %d %d", &null_result, &error, &locks, &unlocks, &left_open),
        5)
        << r.err;
    // The handler dropped the lock and closed the file; the read then found no descriptor.
    EXPECT_EQ(null_result, 1);
    EXPECT_EQ(error, EBADF);
    EXPECT_EQ(locks, 1);
    EXPECT_EQ(unlocks, 1);
    EXPECT_EQ(left_open, 0);
    EXPECT_EQ(r.out, std::string("error reading scoreboard entry: ") + strerror(EBADF) + "\n");
}

TEST_F(ReaderTest, WaitsForAWriterButNotForAnotherReader)
{
    standin::Board b{.pids = {101}};
    standin::write(path, b);
    struct Case {
        const char *what;
        short type;
        bool waits;
    };
    for (Case c : {Case{"write lock", F_WRLCK, true}, Case{"read lock", F_RDLCK, false}}) {
        ASSERT_EQ(util_open_scoreboard(O_RDONLY), 0) << c.what;
        standin::Holder h = standin::hold_lock(path, c.type, 400);
        ASSERT_GE(h.pid, 0) << c.what;
        auto start = std::chrono::steady_clock::now();
        scoreboard_entry *e = util_scoreboard_entry_read();
        auto waited = std::chrono::steady_clock::now() - start;
        ASSERT_NE(e, nullptr) << c.what;
        EXPECT_EQ(e->pid, 101) << c.what;
        if (c.waits)
            EXPECT_GE(waited, std::chrono::milliseconds(300)) << c.what;
        else
            EXPECT_LT(waited, std::chrono::milliseconds(300)) << c.what;
        EXPECT_EQ(standin::release(h), 0) << c.what;
        util_close_scoreboard();
    }
}

TEST(ReaderStateTest, NothingOpenGivesEinvalAndCloseIsHarmless)
{
    EXPECT_EQ(util_close_scoreboard(), 0);
    EXPECT_EQ(util_close_scoreboard(), 0);
    errno = 0;
    EXPECT_EQ(util_scoreboard_entry_read(), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

} // namespace
