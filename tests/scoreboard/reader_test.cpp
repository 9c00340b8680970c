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

class ReaderTest : public faults::fixture
{
  protected:
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
        {"magic in the other byte order",
         header(__builtin_bswap32(SCOREBOARD_MAGIC), SCOREBOARD_VERSION), -2},
        {"older version", header(SCOREBOARD_MAGIC, SCOREBOARD_VERSION - 1), -3},
        {"version 0", header(SCOREBOARD_MAGIC, 0), -3},
        {"newer version", header(SCOREBOARD_MAGIC, SCOREBOARD_VERSION + 1), -4},
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
        // A second close finds nothing open and leaves errno alone.
        errno = EXDEV;
        EXPECT_EQ(util_close_scoreboard(), 0) << c.what;
        EXPECT_EQ(errno, EXDEV) << c.what;
    }
}

TEST_F(ReaderTest, ALinkOrNothingAtThePathIsRefusedAndLeavesNothingOpen)
{
    // The path named a file when it was set; a symbolic link put in its place since is refused,
    // wherever it leads, by the reader and the scrub alike.
    standin::write(dir + "/real", standin::Board{});
    struct Case {
        const char *what;
        const char *link_to; // what the link at the path leads to; null: nothing is there
        bool scrub;          // a verbose scrub instead of the reader's open
        int error;
    };
    const Case cases[] = {
        {"reader, link to a file", "real", false, EPERM},
        {"reader, link to nothing", "absent", false, EPERM},
        {"scrub, link to nothing", "absent", true, EPERM},
        {"reader, no file", nullptr, false, ENOENT},
        {"scrub, no file", nullptr, true, ENOENT},
    };
    int before = harness::open_descriptors();
    for (const Case &c : cases) {
        unlink(path.c_str());
        if (c.link_to != nullptr) {
            ASSERT_EQ(symlink(c.link_to, path.c_str()), 0) << c.what;
        }
        int result = 0, error = 0;
        const std::string out = stdout_of([&] {
            errno = 0;
            result = c.scrub ? util_scoreboard_scrub(1) : util_open_scoreboard(O_RDONLY);
            error = errno;
        });
        EXPECT_EQ(result, -1) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
        EXPECT_EQ(out, c.scrub ? "scrubbing ScoreboardFile " + path + "\n" : "") << c.what;
        EXPECT_EQ(harness::open_descriptors(), before) << c.what;
        errno = 0;
        EXPECT_EQ(util_scoreboard_entry_read(), nullptr) << c.what;
        EXPECT_EQ(errno, EINVAL) << c.what;
    }
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

TEST_F(ReaderTest, GettersHandOnTheHeaderEvenWithWrongMagic)
{
    standin::Board b{.magic = 0x12345678, .daemon_pid = 4321, .daemon_uptime = 0xFEEDF00D};
    EXPECT_EQ(open_board(b), -2);
    EXPECT_EQ(util_scoreboard_get_daemon_pid(), 4321);
    EXPECT_EQ(util_scoreboard_get_daemon_uptime(), 0xFEEDF00Du);
}

TEST_F(ReaderTest, ReturnsOccupiedSlotsInFileOrder)
{
    // A trailing partial slot counts as a slot, padded with zeros (found by fuzzing: after an
    // empty slot, its tail held the empty slot's bytes).
    auto partial = [](size_t index) {
        std::string bytes = standin::slot_bytes(index, 0x7777).substr(0, 10);
        bytes.resize(standin::slot_size, '\0');
        return bytes;
    };
    struct Case {
        const char *what;
        standin::Board board;
        std::vector<std::string> slots; // the images handed out, in order
    };
    const Case cases[] = {
        {"empty slots skipped",
         {.pids = {0, 101, 0, 202}},
         {standin::slot_bytes(1, 101), standin::slot_bytes(3, 202)}},
        {"partial slot", {.pids = {101}, .partial = 10}, {standin::slot_bytes(0, 101), partial(1)}},
        {"partial slot after an empty one", {.pids = {0}, .partial = 10}, {partial(1)}},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(open_board(c.board), 0) << c.what;
        std::vector<std::string> slots;
        errno = EBADF;
        while (scoreboard_entry *e = util_scoreboard_entry_read())
            slots.emplace_back(reinterpret_cast<char *>(e), sizeof *e);
        EXPECT_EQ(errno, 0) << c.what << ": the end is no error";
        EXPECT_EQ(slots, c.slots) << c.what;
        util_close_scoreboard();
    }
}

TEST_F(ReaderTest, FailingCalls)
{
    using faults::header, faults::slot;
    auto fail = faults::fail;
    // The open's result; errno after the open when it failed, else after the read that found no
    // more slots; the slots handed out; what was printed; the reads, lock and unlock requests.
    struct Expected {
        int opened, error;
        std::vector<int32_t> pids;
        std::string out;
        int reads, locks, unlocks;
    };
    struct Case {
        const char *what;
        standin::Board board;
        std::vector<faults::Script> scripts;
        Expected expected;
    };
    const std::string read_error = std::string("error reading scoreboard entry: ") + strerror(EIO);
    const standin::Board one{.pids = {101}}, two{.pids = {101, 202}}, none{};
    const Case cases[] = {
        // The open's read of the header.
        {"interrupted header reads are repeated",
         one,
         {{{Op::read, header()}, {fail(EINTR), fail(EINTR)}}},
         {0, 0, {101}, "", 5, 2, 2}},
        {"failed header read",
         one,
         {{{Op::read, header()}, {fail(EIO)}}},
         {-1, EIO, {}, "", 1, 0, 0}},
        {"interrupted, then failed header read",
         one,
         {{{Op::read, header()}, {fail(EINTR), fail(EIO)}}},
         {-1, EIO, {}, "", 2, 0, 0}},
        // Reads of the slots. End of file is no error, also after interrupted reads or a busy
        // unlock; a read error is reported on standard output.
        {"header only", none, {}, {0, 0, {}, "", 2, 1, 1}},
        {"end of file after interrupted reads",
         none,
         {{{Op::read, slot(0)}, {fail(EINTR), fail(EINTR)}}},
         {0, 0, {}, "", 4, 1, 1}},
        {"end of file, then a busy unlock",
         none,
         {{Op::unlock, {fail(EAGAIN)}}},
         {0, 0, {}, "", 2, 1, 2}},
        {"failed read of a slot",
         {.pids = {0, 101}},
         {{{Op::read, slot(1)}, {fail(EIO)}}},
         {0, EIO, {}, read_error + "\n", 3, 1, 1}},
        {"interrupted reads and lock requests are repeated",
         one,
         {{Op::lock, {fail(EINTR), fail(EAGAIN), fail(EINTR)}},
          {{Op::read, slot(0)}, {fail(EINTR), fail(EINTR)}}},
         {0, 0, {101}, "", 5, 5, 2}},
        // Without a read lock the slots are read all the same.
        {"failed lock request", one, {{Op::lock, {fail(ENOLCK)}}}, {0, 0, {101}, "", 3, 2, 2}},
        // A slot is handed out whether or not the lock could be dropped, and the next read
        // locks again; only a busy or interrupted unlock is repeated.
        {"released at once", two, {}, {0, 0, {101, 202}, "", 4, 3, 3}},
        {"busy, then interrupted unlock",
         two,
         {{Op::unlock, {fail(EAGAIN), fail(EINTR)}}},
         {0, 0, {101, 202}, "", 4, 3, 5}},
        {"failed unlock is not repeated",
         two,
         {{Op::unlock, {fail(ENOLCK)}}},
         {0, 0, {101, 202}, "", 4, 3, 3}},
        {"interrupted, then failed unlock",
         two,
         {{Op::unlock, {fail(EINTR), fail(EIO)}}},
         {0, 0, {101, 202}, "", 4, 3, 4}},
    };
    const int before = harness::open_descriptors();
    for (const Case &c : cases) {
        standin::write(path, c.board);
        faults::target(path, c.scripts);
        int opened = 0, error = 0;
        std::vector<int32_t> pids;
        const std::string out = stdout_of([&] {
            errno = EXDEV; // a mark that no call here sets
            opened = util_open_scoreboard(O_RDONLY);
            if (opened == 0)
                while (scoreboard_entry *e = util_scoreboard_entry_read())
                    pids.push_back(e->pid);
            error = errno;
        });
        const Expected &e = c.expected;
        EXPECT_EQ(opened, e.opened) << c.what;
        EXPECT_EQ(error, e.error) << c.what;
        EXPECT_EQ(pids, e.pids) << c.what;
        EXPECT_EQ(out, e.out) << c.what;
        EXPECT_EQ(faults::calls(Op::read), e.reads) << c.what;
        EXPECT_EQ(faults::calls(Op::lock), e.locks) << c.what;
        EXPECT_EQ(faults::calls(Op::unlock), e.unlocks) << c.what;
        // The file stays open, also after a failed header read, until closed.
        EXPECT_EQ(harness::open_descriptors(), before + 1) << c.what;
        EXPECT_EQ(util_close_scoreboard(), 0) << c.what;
        EXPECT_EQ(harness::open_descriptors(), before) << c.what;
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
        faults::before({Op::read, faults::slot(1)}, [] { raise(SIGUSR1); });
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
