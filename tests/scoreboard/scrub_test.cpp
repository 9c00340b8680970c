// The scrub: which slots it clears, what it leaves alone, its locking, and its failures.
#include "io_faults.h"
#include "run_program.h"
#include "scoreboard.h"
#include "scoreboard_fixture.h"
#include "standin.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace
{

using faults::Op;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

using standin::scrubbed;

// What a scrub run in a child process did.
struct Outcome {
    int result = 0, error = 0, writes = 0, unlocks = 0;
    std::string out;
};

class ScrubTest : public scoreboard_fixture
{
  protected:
    void TearDown() override
    {
        faults::reset();
        scoreboard_fixture::TearDown();
    }

    // Writes board to the scoreboard and scripts the outcomes of op's next calls on it.
    void arm(const standin::Board &board, Op op, std::vector<faults::Outcome> outcomes)
    {
        standin::write(path, board);
        faults::target(path);
        faults::script(op, std::move(outcomes));
    }

    // Runs the scrub in a child, with the faults scripted before the call, and reports back.
    Outcome scrub_in_child(int verbose)
    {
        auto r = harness::run_function([&] {
            int rc = util_scoreboard_scrub(verbose);
            int err = errno;
            fprintf(stderr, "%d %d %d %d", rc, err, faults::calls(Op::write),
                    faults::calls(Op::unlock));
            return 0;
        });
        Outcome o;
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(sscanf(r.err.c_str(), "%d %d %d %d", &o.result, &o.error, &o.writes, &o.unlocks),
                  4)
            << r.err;
        o.out = r.out;
        return o;
    }

    // The verbose message of one failed write.
    static std::string write_error(int e)
    {
        return std::string("error scrubbing scoreboard: ") + strerror(e);
    }

    const pid_t dead1 = standin::dead_pid(), dead2 = standin::dead_pid(), live = getpid();
};

TEST_F(ScrubTest, ClearsOnlyTheSlotsOfProcessesThatAreGone)
{
    struct Case {
        const char *what;
        standin::Board board;
        int result; // a file that is no scoreboard of this layout is left untouched
    };
    standin::Board mixed{
        .pids = {live, dead1, 0, dead2, 1, live}, .partial = 300, .partial_pid = dead1};
    standin::Board tiny_partial{
        .pids = {dead2}, .partial = standin::slot_size - 1, .partial_pid = dead1};
    const Case cases[] = {
        {"header only", standin::Board{}, 0},
        {"mixed slots", mixed, 0},
        {"partial slot one byte short", tiny_partial, 0},
        {"wrong magic", {.magic = 0x01020304, .pids = {dead1, live}}, -2},
        {"magic in the other byte order", {.magic = 0xEFBEADDE, .pids = {dead1}}, -2},
        {"older version", {.version = SCOREBOARD_VERSION - 1, .pids = {dead1}}, -3},
        {"newer version", {.version = SCOREBOARD_VERSION + 1, .pids = {dead1}}, -4},
    };
    for (const Case &c : cases) {
        standin::write(path, c.board);
        EXPECT_EQ(util_scoreboard_scrub(0), c.result) << c.what;
        const auto gone =
            c.result == 0 ? std::vector<int32_t>{dead1, dead2} : std::vector<int32_t>{};
        EXPECT_EQ(harness::read_file(path), scrubbed(c.board, gone)) << c.what;
    }
}

TEST_F(ScrubTest, FilesShorterThanAHeaderAreLeftAlone)
{
    for (std::string bytes : {std::string(), std::string(10, '\x55')}) {
        harness::write_file(path, bytes);
        EXPECT_EQ(util_scoreboard_scrub(0), 0) << bytes.size() << " bytes";
        EXPECT_EQ(harness::read_file(path), bytes) << bytes.size() << " bytes";
    }
}

TEST_F(ScrubTest, VerboseOutputByteForByte)
{
    standin::Board b{.pids = {dead1, live, dead2}};
    standin::write(path, b);
    Outcome o = scrub_in_child(1);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "scrubbing ScoreboardFile " + path + "\nscrubbing scoreboard slot for PID " +
                         std::to_string(dead1) + "scrubbing scoreboard slot for PID " +
                         std::to_string(dead2));
    EXPECT_EQ(harness::read_file(path), scrubbed(b, {dead1, dead2}));

    ASSERT_EQ(unlink(path.c_str()), 0);
    o = scrub_in_child(1);
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.error, ENOENT);
    EXPECT_EQ(o.out, "scrubbing ScoreboardFile " + path + "\n");
}

TEST_F(ScrubTest, KeepsTheSlotOfAnotherUsersProcess)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to probe as another user";
    standin::Board b{.pids = {live, dead1, 1}};
    standin::write(path, b);
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    auto r = harness::run_function([] {
        // Root stays the saved user ID, to be taken back before the child exits: the files
        // it leaves at exit (coverage counters among them) belong to root.
        if (setresgid(65534, 65534, 0) < 0 || setresuid(65534, 65534, 0) < 0)
            return 100;
        // As another user the probe of a root process fails with EPERM, not ESRCH.
        if (kill(1, 0) == 0 || errno != EPERM)
            return 101;
        int rc = util_scoreboard_scrub(0);
        if (setresuid(0, 0, 0) < 0 || setresgid(0, 0, 0) < 0)
            return 103;
        return rc == 0 ? 0 : 102;
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(harness::read_file(path), scrubbed(b, {dead1}));
}

TEST_F(ScrubTest, WaitsForTheDaemonsLock)
{
    standin::Board b{.pids = {dead1, live}};
    for (short type : {F_WRLCK, F_RDLCK}) {
        standin::write(path, b);
        standin::Holder h = standin::hold_lock(path, type, 400);
        ASSERT_GE(h.pid, 0) << "lock type " << type;
        auto start = steady_clock::now();
        EXPECT_EQ(util_scoreboard_scrub(0), 0) << "lock type " << type;
        EXPECT_GE(steady_clock::now() - start, milliseconds(300)) << "lock type " << type;
        EXPECT_EQ(standin::release(h), 0) << "lock type " << type;
        EXPECT_EQ(harness::read_file(path), scrubbed(b, {dead1})) << "lock type " << type;
    }
}

TEST_F(ScrubTest, ReadersWaitForTheScrub)
{
    standin::Board b{.pids = {dead1, live}};
    standin::write(path, b);
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t reader = harness::start_child([&] {
        // Starts reading while the scrub holds its lock, which it keeps for a while longer;
        // had the reader not waited, it would see the stale slot still in place.
        char c;
        if (read(go[0], &c, 1) != 1)
            _exit(10);
        if (util_open_scoreboard(O_RDONLY) != 0)
            _exit(11);
        scoreboard_entry *e = util_scoreboard_entry_read();
        _exit(e == nullptr ? 12 : e->pid == getppid() ? 0 : 13);
    });
    faults::target(path);
    faults::before(Op::write, [&] {
        char c = 'w';
        EXPECT_EQ(write(go[1], &c, 1), 1);
        usleep(500 * 1000);
    });
    EXPECT_EQ(util_scoreboard_scrub(0), 0);
    int status = harness::wait_for(reader);
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    close(go[0]);
    close(go[1]);
}

TEST_F(ScrubTest, RefusesAnythingButARegularFile)
{
    standin::Board b{.pids = {dead1}};
    std::string target = dir + "/other-file";
    standin::write(target, b);
    std::string original = harness::read_file(target);
    std::vector<standin::refused_path> cases = standin::make_refused_paths(dir, target);
    cases.push_back({"/dev/null", EPERM});
    int before = harness::open_descriptors();
    for (const auto &c : cases) {
        ASSERT_EQ(util_set_scoreboard(c.path.c_str()), 0) << c.path;
        errno = 0;
        EXPECT_EQ(util_scoreboard_scrub(0), -1) << c.path;
        EXPECT_EQ(errno, c.error) << c.path;
        EXPECT_EQ(harness::open_descriptors(), before) << c.path;
    }
    EXPECT_EQ(harness::read_file(target), original);
}

TEST_F(ScrubTest, ALinkLoopAboveTheFileIsNoLinkAtThePath)
{
    // Only a symbolic link at the path itself is refused with EPERM; a loop of links in the
    // directories above it keeps the open's ELOOP.
    std::string sub = dir + "/sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    standin::Board b{.pids = {dead1}};
    standin::write(sub + "/ferryd.scoreboard", b);
    ASSERT_EQ(util_set_scoreboard((sub + "/ferryd.scoreboard").c_str()), 0);
    ASSERT_EQ(rename(sub.c_str(), (dir + "/real").c_str()), 0);
    ASSERT_EQ(symlink("sub", sub.c_str()), 0);
    int before = harness::open_descriptors();
    errno = 0;
    EXPECT_EQ(util_scoreboard_scrub(0), -1);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(harness::open_descriptors(), before);
    EXPECT_EQ(harness::read_file(dir + "/real/ferryd.scoreboard"), standin::build(b));
}

TEST_F(ScrubTest, ReadFailures)
{
    standin::Board b{.pids = {dead1, dead2}};
    struct Case {
        const char *what;
        std::vector<faults::Outcome> reads;
        int result, error;
        std::vector<int32_t> cleared;
    };
    // The first read is the header's.
    const Case cases[] = {
        {"interrupted reads are repeated",
         {faults::fail(EINTR), faults::pass(), faults::fail(EINTR)},
         0,
         0,
         {dead1, dead2}},
        {"a failed header read ends the scrub", {faults::fail(EIO)}, -1, EIO, {}},
        {"a short header read leaves the file alone", {faults::cut(10)}, 0, 0, {}},
        {"a failed read ends the scan with its error",
         {faults::pass(), faults::pass(), faults::fail(EIO)},
         -1,
         EIO,
         {dead1}},
        {"a short read ends the scan quietly",
         {faults::pass(), faults::pass(), faults::cut(100)},
         0,
         0,
         {dead1}},
    };
    for (const Case &c : cases) {
        arm(b, Op::read, c.reads);
        Outcome o = scrub_in_child(1);
        EXPECT_EQ(o.result, c.result) << c.what;
        if (c.result < 0) {
            EXPECT_EQ(o.error, c.error) << c.what;
        }
        EXPECT_GE(o.unlocks, 1) << c.what;
        EXPECT_EQ(harness::read_file(path), scrubbed(b, c.cleared)) << c.what;
    }
}

TEST_F(ScrubTest, WriteFailuresAreRetriedAFewTimes)
{
    standin::Board b{.pids = {live, dead1, dead2}};
    const std::string intact = standin::build(b);
    const std::string cleared = scrubbed(b, {dead1, dead2});
    const size_t first = standin::header_size + standin::slot_size; // offset of dead1's slot
    auto partly = [&](size_t zeroed) {
        std::string bytes = intact;
        bytes.replace(first, zeroed, std::string(zeroed, '\0'));
        return bytes;
    };
    auto fail = faults::fail;
    auto cut = faults::cut;
    struct Case {
        const char *what;
        std::vector<faults::Outcome> writes;
        int result, error, writes_made, messages;
        std::string after;
    };
    const Case cases[] = {
        {"interrupted", {fail(EINTR), fail(EINTR)}, 0, 0, 4, 0, cleared},
        {"one failure", {fail(ENOSPC)}, 0, 0, 3, 1, cleared},
        {"short write goes on where it stopped", {cut(100)}, 0, 0, 3, 1, cleared},
        {"mixed, then success", {fail(EIO), cut(10), fail(EINTR), cut(5)}, 0, 0, 6, 3, cleared},
        {"attempts used up", {fail(EIO), fail(EIO), fail(EIO), fail(EIO)}, -1, EIO, 4, 4, intact},
        {"short writes used up",
         {cut(100), cut(100), cut(100), cut(100)},
         -1,
         EIO,
         4,
         4,
         partly(400)},
        {"last error wins",
         {cut(50), fail(EIO), fail(EIO), fail(ENOSPC)},
         -1,
         ENOSPC,
         4,
         4,
         partly(50)},
    };
    for (const Case &c : cases) {
        arm(b, Op::write, c.writes);
        Outcome o = scrub_in_child(1);
        EXPECT_EQ(o.result, c.result) << c.what;
        if (c.result < 0) {
            EXPECT_EQ(o.error, c.error) << c.what;
        }
        EXPECT_EQ(o.writes, c.writes_made) << c.what;
        EXPECT_GE(o.unlocks, 1) << c.what;
        EXPECT_EQ(harness::read_file(path), c.after) << c.what;
        // Count the failure messages in the verbose output.
        int messages = 0;
        for (size_t at = o.out.find("error scrubbing scoreboard: "); at != std::string::npos;
             at = o.out.find("error scrubbing scoreboard: ", at + 1))
            ++messages;
        EXPECT_EQ(messages, c.messages) << c.what << ": " << o.out;
    }
    // The message reads as the system's text for the error, with no line break.
    arm(b, Op::write, {fail(ENOSPC)});
    Outcome o = scrub_in_child(1);
    EXPECT_NE(o.out.find("PID " + std::to_string(dead1) + write_error(ENOSPC) +
                         "scrubbing scoreboard slot for PID " + std::to_string(dead2)),
              std::string::npos)
        << o.out;
    // A quiet scrub retries the same way and prints nothing.
    arm(b, Op::write, {fail(ENOSPC), cut(10)});
    o = scrub_in_child(0);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.writes, 4);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(harness::read_file(path), cleared);
}

TEST_F(ScrubTest, OtherFailuresEndTheScrubWithTheirError)
{
    standin::Board b{.pids = {live, dead1, dead2}};
    const std::string intact = standin::build(b);
    auto fail = faults::fail;
    auto pass = faults::pass;
    struct Script {
        Op op;
        std::vector<faults::Outcome> outcomes;
    };
    struct Case {
        const char *what;
        std::vector<Script> scripts;
        int error;
        bool locked; // whether the failure comes under the write lock
        std::string after;
    };
    // The seeks of this board: to the first slot, past the live slot, to dead1's slot, past it
    // (or back into it for another attempt), to dead2's slot, past it.
    const Case cases[] = {
        {"status of the opened file", {{Op::stat, {fail(EIO)}}}, EIO, false, intact},
        {"reading the file status flags", {{Op::get_flags, {fail(EBADF)}}}, EBADF, false, intact},
        {"leaving non-blocking mode", {{Op::set_flags, {fail(EINVAL)}}}, EINVAL, false, intact},
        {"seek to the first slot", {{Op::seek, {fail(EINVAL)}}}, EINVAL, true, intact},
        {"position after a slot", {{Op::seek, {pass(), fail(EOVERFLOW)}}}, EOVERFLOW, true, intact},
        {"seek to a stale slot",
         {{Op::seek, {pass(), pass(), fail(EOVERFLOW)}}},
         EOVERFLOW,
         true,
         intact},
        {"seek for another attempt at a slot",
         {{Op::seek, {pass(), pass(), pass(), fail(EIO)}}, {Op::write, {fail(ENOSPC)}}},
         EIO,
         true,
         intact},
        {"position after a cleared slot",
         {{Op::seek, {pass(), pass(), pass(), fail(EOVERFLOW)}}},
         EOVERFLOW,
         true,
         scrubbed(b, {dead1})},
    };
    int before = harness::open_descriptors();
    for (const Case &c : cases) {
        standin::write(path, b);
        faults::target(path);
        for (const Script &s : c.scripts)
            faults::script(s.op, s.outcomes);
        errno = 0;
        EXPECT_EQ(util_scoreboard_scrub(0), -1) << c.what;
        EXPECT_EQ(errno, c.error) << c.what;
        EXPECT_EQ(harness::open_descriptors(), before) << c.what;
        EXPECT_EQ(faults::calls(Op::lock), c.locked ? 1 : 0) << c.what;
        EXPECT_EQ(faults::calls(Op::unlock), c.locked ? 1 : 0) << c.what;
        EXPECT_EQ(harness::read_file(path), c.after) << c.what;
    }
}

TEST_F(ScrubTest, LockFailures)
{
    standin::Board b{.pids = {dead1}};
    arm(b, Op::lock, {faults::fail(EINTR), faults::fail(EINTR)});
    EXPECT_EQ(util_scoreboard_scrub(0), 0);
    EXPECT_EQ(faults::calls(Op::lock), 3);
    EXPECT_EQ(harness::read_file(path), scrubbed(b, {dead1}));

    arm(b, Op::lock, {faults::fail(ENOLCK)});
    int before = harness::open_descriptors();
    errno = 0;
    EXPECT_EQ(util_scoreboard_scrub(0), -1);
    EXPECT_EQ(errno, ENOLCK);
    EXPECT_EQ(harness::open_descriptors(), before);
    EXPECT_EQ(faults::calls(Op::unlock), 0);
    EXPECT_EQ(harness::read_file(path), standin::build(b));
}

TEST_F(ScrubTest, UnlockIsTriedAtMostThreeTimesAndCloseReleasesTheLock)
{
    standin::Board b{.pids = {dead1}};
    struct Case {
        const char *what;
        std::vector<faults::Outcome> unlocks;
        int calls;
    };
    const Case cases[] = {
        {"released at once", {}, 1},
        {"one failure", {faults::fail(EIO)}, 2},
        {"failures past the attempts",
         {faults::fail(EIO), faults::fail(EIO), faults::fail(EIO), faults::fail(EIO)},
         3},
    };
    for (const Case &c : cases) {
        arm(b, Op::unlock, c.unlocks);
        EXPECT_EQ(util_scoreboard_scrub(0), 0) << c.what;
        EXPECT_EQ(faults::calls(Op::unlock), c.calls) << c.what;
        faults::reset();
        // Another process can take the lock at once.
        auto start = steady_clock::now();
        standin::Holder h = standin::hold_lock(path, F_WRLCK, 0);
        EXPECT_GE(h.pid, 0) << c.what;
        EXPECT_EQ(standin::release(h), 0) << c.what;
        EXPECT_LT(steady_clock::now() - start, milliseconds(1000)) << c.what;
    }
}

} // namespace
