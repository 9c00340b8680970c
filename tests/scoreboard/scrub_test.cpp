// The scrub: which slots it clears, what it leaves alone, its locking, and its failures.
#include "dry_run.h"
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
#include <cstring>
#include <string>
#include <vector>

namespace
{

using faults::Op;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

using standin::scrubbed;

// What a scrub did: its result, errno after it, and what it printed.
struct Scrubbed {
    int result = 0, error = 0;
    std::string out;
};

class ScrubTest : public faults::fixture
{
  protected:
    // Scrubs the scoreboard in this process, or makes a dry run of the scrub.
    static Scrubbed scrub(int verbose, bool dry_run = false)
    {
        Scrubbed r;
        r.out = stdout_of([&] {
            errno = 0;
            r.result = dry_run ? util_scoreboard_dry_run(verbose) : util_scoreboard_scrub(verbose);
            r.error = errno;
        });
        return r;
    }

    // The verbose message of one slot cleared.
    static std::string clearing(pid_t pid)
    {
        return "scrubbing scoreboard slot for PID " + std::to_string(pid);
    }

    // The verbose message of one failed write.
    static std::string write_error(int e)
    {
        return std::string("error scrubbing scoreboard: ") + strerror(e);
    }

    const pid_t dead1 = standin::dead_pid(), dead2 = standin::dead_pid(), live = getpid();
};

// The numbers of the slots a dry run names in its output.
std::vector<size_t> named_slots(const std::string &out)
{
    std::vector<size_t> named;
    for (size_t at = 0; (at = out.find("slot ", at)) != std::string::npos; at = out.find('\n', at))
        named.push_back(std::stoul(out.substr(at + 5)));
    return named;
}

// The numbers of the whole slots that differ between two images of a scoreboard.
std::vector<size_t> changed_slots(const std::string &before, const std::string &after)
{
    std::vector<size_t> changed;
    for (size_t i = 0, at = standin::header_size; at + standin::slot_size <= before.size();
         ++i, at += standin::slot_size)
        if (before.compare(at, standin::slot_size, after, at, standin::slot_size) != 0)
            changed.push_back(i);
    return changed;
}

TEST_F(ScrubTest, ClearsOnlyTheSlotsOfProcessesThatAreGone)
{
    struct Case {
        const char *what;
        std::string bytes;
        int result; // a file that is no scoreboard of this layout is left untouched
        std::string after;
    };
    // A board scrubbed, and one left as it is.
    auto scrubs = [&](const char *what, const standin::Board &board) {
        return Case{what, standin::build(board), 0, scrubbed(board, {dead1, dead2})};
    };
    auto refuses = [&](const char *what, const standin::Board &board, int result) {
        return Case{what, standin::build(board), result, standin::build(board)};
    };
    const std::string short_file(10, '\x55');
    const Case cases[] = {
        {"empty file", "", 0, ""},
        {"shorter than a header", short_file, 0, short_file},
        scrubs("header only", {}),
        scrubs("mixed slots",
               {.pids = {live, dead1, 0, dead2, 1, live}, .partial = 300, .partial_pid = dead1}),
        scrubs("partial slot one byte short",
               {.pids = {dead2}, .partial = standin::slot_size - 1, .partial_pid = dead1}),
        refuses("wrong magic", {.magic = 0x01020304, .pids = {dead1, live}}, -2),
        refuses("magic in the other byte order",
                {.magic = __builtin_bswap32(SCOREBOARD_MAGIC), .pids = {dead1}}, -2),
        refuses("older version", {.version = SCOREBOARD_VERSION - 1, .pids = {dead1}}, -3),
        refuses("newer version", {.version = SCOREBOARD_VERSION + 1, .pids = {dead1}}, -4),
    };
    for (const Case &c : cases) {
        harness::write_file(path, c.bytes);
        // A dry run first names the slots the scrub clears, or refuses the file as it does, and
        // changes nothing.
        Scrubbed dry = scrub(0, true);
        EXPECT_EQ(dry.result, c.result) << c.what;
        EXPECT_EQ(named_slots(dry.out), changed_slots(c.bytes, c.after)) << c.what << dry.out;
        EXPECT_EQ(harness::read_file(path), c.bytes) << c.what;
        EXPECT_EQ(util_scoreboard_scrub(0), c.result) << c.what;
        EXPECT_EQ(harness::read_file(path), c.after) << c.what;
    }
}

TEST_F(ScrubTest, KeepsTheSlotOfAnotherUsersProcess)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to probe as another user";
    standin::Board b{.pids = {live, dead1, 1}};
    for (bool dry_run : {false, true}) {
        standin::write(path, b);
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
        // The dry run needs no more than to read the file.
        ASSERT_EQ(chmod(path.c_str(), dry_run ? 0644 : 0666), 0);
        auto r = harness::run_function([dry_run] {
            // Root stays the saved user ID, to be taken back before the child exits: the files
            // it leaves at exit (coverage counters among them) belong to root.
            if (setresgid(65534, 65534, 0) < 0 || setresuid(65534, 65534, 0) < 0)
                return 100;
            // As another user the probe of a root process fails with EPERM, not ESRCH.
            if (kill(1, 0) == 0 || errno != EPERM)
                return 101;
            int rc = dry_run ? util_scoreboard_dry_run(0) : util_scoreboard_scrub(0);
            if (setresuid(0, 0, 0) < 0 || setresgid(0, 0, 0) < 0)
                return 103;
            return rc == 0 ? 0 : 102;
        });
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, dry_run ? "slot 1 at offset 632: PID " + std::to_string(dead1) +
                                       " is gone\n1 of 3 occupied slots are stale\n"
                                 : "");
        EXPECT_EQ(harness::read_file(path), dry_run ? standin::build(b) : scrubbed(b, {dead1}));
    }
}

TEST_F(ScrubTest, WaitsForTheDaemonsLock)
{
    // The scrub waits for every lock; a dry run, which takes the readers' shared lock, only for
    // a writer's.
    standin::Board b{.pids = {dead1, live}};
    struct Case {
        const char *what;
        short type;
        bool dry_run, waits;
    };
    const Case cases[] = {
        {"scrub, write lock", F_WRLCK, false, true},
        {"scrub, read lock", F_RDLCK, false, true},
        {"dry run, write lock", F_WRLCK, true, true},
        {"dry run, read lock", F_RDLCK, true, false},
    };
    for (const Case &c : cases) {
        standin::write(path, b);
        standin::Holder h = standin::hold_lock(path, c.type, 400);
        ASSERT_GE(h.pid, 0) << c.what;
        auto start = steady_clock::now();
        EXPECT_EQ(scrub(0, c.dry_run).result, 0) << c.what;
        auto waited = steady_clock::now() - start;
        if (c.waits)
            EXPECT_GE(waited, milliseconds(300)) << c.what;
        else
            EXPECT_LT(waited, milliseconds(300)) << c.what;
        EXPECT_EQ(standin::release(h), 0) << c.what;
        EXPECT_EQ(harness::read_file(path), c.dry_run ? standin::build(b) : scrubbed(b, {dead1}))
            << c.what;
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
        Scrubbed r = scrub(1);
        EXPECT_EQ(r.result, -1) << c.path;
        EXPECT_EQ(r.error, c.error) << c.path;
        EXPECT_EQ(r.out, "scrubbing ScoreboardFile " + c.path + "\n") << c.path;
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

TEST_F(ScrubTest, FailingCalls)
{
    using faults::after, faults::header, faults::slot;
    auto fail = faults::fail;
    auto cut = faults::cut;
    auto pass = faults::pass;
    const standin::Board b{.pids = {live, dead1, dead2}};
    const std::string intact = standin::build(b), cleared = scrubbed(b, {dead1, dead2}),
                      first_cleared = scrubbed(b, {dead1});
    // The board with the first n bytes of dead1's slot zeroed.
    auto partly = [&](size_t n) {
        return std::string(intact).replace(standin::header_size + standin::slot_size, n,
                                           std::string(n, '\0'));
    };
    const std::string s1 = clearing(dead1), s2 = clearing(dead2);
    const std::string eio = write_error(EIO), enospc = write_error(ENOSPC);
    // The errno of a failed scrub (0 when it succeeds), the file's bytes after it, what it
    // printed after its first line, and the writes, lock and unlock requests it made.
    struct Expected {
        int error;
        std::string after, messages;
        int writes, locks, unlocks;
    };
    struct Case {
        const char *what;
        std::vector<faults::Script> scripts;
        Expected expected;
        bool verbose = true;
    };
    const Case cases[] = {
        {"no failure", {}, {0, cleared, s1 + s2, 2, 1, 1}},
        // Reads.
        {"interrupted reads are repeated",
         {{{Op::read, header()}, {fail(EINTR)}}, {{Op::read, slot(1)}, {fail(EINTR), fail(EINTR)}}},
         {0, cleared, s1 + s2, 2, 1, 1}},
        {"failed read of the header",
         {{{Op::read, header()}, {fail(EIO)}}},
         {EIO, intact, "", 0, 1, 1}},
        {"short read of the header leaves the file alone",
         {{{Op::read, header()}, {cut(10)}}},
         {0, intact, "", 0, 1, 1}},
        {"failed read of a slot ends the scan with its error",
         {{{Op::read, slot(2)}, {fail(EIO)}}},
         {EIO, first_cleared, s1, 1, 1, 1}},
        {"short read of a slot ends the scan quietly",
         {{{Op::read, slot(2)}, {cut(100)}}},
         {0, first_cleared, s1, 1, 1, 1}},
        // Writes: a failed or short write of a slot is reported, and the rest of the slot is
        // written again at most three times more.
        {"interrupted writes are repeated",
         {{{Op::write, slot(1)}, {fail(EINTR), fail(EINTR)}}},
         {0, cleared, s1 + s2, 4, 1, 1}},
        {"failed write, reported between the slot messages",
         {{{Op::write, slot(1)}, {fail(ENOSPC)}}},
         {0, cleared, s1 + enospc + s2, 3, 1, 1}},
        {"short write goes on where it stopped",
         {{{Op::write, slot(1)}, {cut(100)}}},
         {0, cleared, s1 + eio + s2, 3, 1, 1}},
        {"mixed, then success",
         {{{Op::write, slot(1)}, {fail(EIO), cut(10), fail(EINTR), cut(5)}}},
         {0, cleared, s1 + eio + eio + eio + s2, 6, 1, 1}},
        {"attempts used up",
         {{{Op::write, slot(1)}, {fail(EIO), fail(EIO), fail(EIO), fail(EIO)}}},
         {EIO, intact, s1 + eio + eio + eio + eio, 4, 1, 1}},
        {"short writes used up",
         {{{Op::write, slot(1)}, {cut(100), cut(100), cut(100), cut(100)}}},
         {EIO, partly(400), s1 + eio + eio + eio + eio, 4, 1, 1}},
        {"last error wins",
         {{{Op::write, slot(1)}, {cut(50), fail(EIO), fail(EIO), fail(ENOSPC)}}},
         {ENOSPC, partly(50), s1 + eio + eio + eio + enospc, 4, 1, 1}},
        {"a quiet scrub retries the same way and prints nothing",
         {{{Op::write, slot(1)}, {fail(ENOSPC), cut(10)}}},
         {0, cleared, "", 4, 1, 1},
         false},
        // The checks of the opened file, before the lock.
        {"status of the opened file", {{Op::stat, {fail(EIO)}}}, {EIO, intact, "", 0, 0, 0}},
        {"reading the file status flags",
         {{Op::get_flags, {fail(EBADF)}}},
         {EBADF, intact, "", 0, 0, 0}},
        {"leaving non-blocking mode",
         {{Op::set_flags, {fail(EINVAL)}}},
         {EINVAL, intact, "", 0, 0, 0}},
        // Seeks and position queries, under the lock.
        {"seek to the first slot",
         {{{Op::seek, slot(0)}, {fail(EINVAL)}}},
         {EINVAL, intact, "", 0, 1, 1}},
        {"position after a slot",
         {{{Op::position, after(slot(0))}, {fail(EOVERFLOW)}}},
         {EOVERFLOW, intact, "", 0, 1, 1}},
        {"seek to a stale slot",
         {{{Op::seek, slot(1)}, {fail(EOVERFLOW)}}},
         {EOVERFLOW, intact, s1, 0, 1, 1}},
        {"seek back for another attempt at a slot",
         {{{Op::write, slot(1)}, {fail(ENOSPC)}}, {{Op::seek, slot(1)}, {pass(), fail(EIO)}}},
         {EIO, intact, s1 + enospc, 1, 1, 1}},
        {"position after a cleared slot",
         {{{Op::position, after(slot(1))}, {fail(EOVERFLOW)}}},
         {EOVERFLOW, first_cleared, s1, 1, 1, 1}},
        // Lock requests: an interrupted one is repeated; the unlock is tried at most three
        // times, and closing the file releases the lock in any case.
        {"interrupted lock requests",
         {{Op::lock, {fail(EINTR), fail(EINTR)}}},
         {0, cleared, s1 + s2, 2, 3, 1}},
        {"failed lock request", {{Op::lock, {fail(ENOLCK)}}}, {ENOLCK, intact, "", 0, 1, 0}},
        {"failed unlock", {{Op::unlock, {fail(EIO)}}}, {0, cleared, s1 + s2, 2, 1, 2}},
        {"unlock failing past the attempts",
         {{Op::unlock, {fail(EIO), fail(EIO), fail(EIO), fail(EIO)}}},
         {0, cleared, s1 + s2, 2, 1, 3}},
    };
    const int before = harness::open_descriptors();
    for (const Case &c : cases) {
        standin::write(path, b);
        faults::target(path, c.scripts);
        const Scrubbed r = scrub(c.verbose);
        const int writes = faults::calls(Op::write), locks = faults::calls(Op::lock),
                  unlocks = faults::calls(Op::unlock);
        faults::reset();
        // Another process can take the lock at once. Checked first: this process closing any
        // descriptor of the file, as reading it does, would drop a lock left behind.
        EXPECT_TRUE(standin::lockable(path)) << c.what;
        EXPECT_EQ(harness::open_descriptors(), before) << c.what;
        const Expected &e = c.expected;
        EXPECT_EQ(r.result, e.error != 0 ? -1 : 0) << c.what;
        EXPECT_EQ(r.result < 0 ? r.error : 0, e.error) << c.what;
        EXPECT_EQ(harness::read_file(path), e.after) << c.what;
        EXPECT_EQ(r.out, c.verbose ? "scrubbing ScoreboardFile " + path + "\n" + e.messages : "")
            << c.what;
        EXPECT_EQ(writes, e.writes) << c.what;
        EXPECT_EQ(locks, e.locks) << c.what;
        EXPECT_EQ(unlocks, e.unlocks) << c.what;
    }
}

} // namespace
