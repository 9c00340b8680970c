// sbscrub run as a child process: options, usage, messages, exit statuses, path resolution.
#include "build_facts.h"
#include "run_program.h"
#include "sbscrub_messages.h"
#include "standin.h"
#include "temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace
{

using sbscrub_messages::hint;
using sbscrub_messages::missing;

std::string usage(const std::string &name)
{
    return "usage: " + name +
           " [options]\n"
           "  -c, --config\n"
           "    specify full path to ferryd configuration file\n"
           "  -f, --file\n"
           "    specify full path to scoreboard file\n"
           "  -h, --help\n"
           "    display " +
           name +
           " usage\n"
           "  -v, --verbose\n"
           "    print progress while scrubbing\n"
           "  -n, --dry-run\n"
           "    list the stale slots a scrub would clear, and change nothing\n";
}

harness::RunResult sbscrub(std::vector<std::string> args, std::string argv0 = "sbscrub",
                           std::vector<std::string> env = {})
{
    args.insert(args.begin(), argv0);
    return harness::run_program(build_facts::sbscrub, args,
                                {.env = std::move(env), .timeout_ms = 20000});
}

// Tests that may fall back to the compiled-in paths must not touch a real scoreboard.
bool defaults_absent()
{
    return !harness::exists(build_facts::default_scoreboard) &&
           !harness::exists(build_facts::default_config);
}

class SbscrubTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        board.pids = {getpid(), dead, 0};
        standin::write(path, board);
    }

    // The board's bytes with the dead process's slot cleared.
    std::string scrubbed() const { return standin::scrubbed(board, {dead}); }

    // Starts sbscrub -v -f path with options in a thread, into r, while holder, a reader of the
    // scoreboard for up to ms, makes the scrub wait for the lock; the thread.
    std::thread run_while_locked(standin::Holder &holder, int ms, harness::RunResult &r,
                                 const harness::RunOptions &options)
    {
        holder = standin::hold_lock(path, F_RDLCK, ms);
        EXPECT_GT(holder.pid, 0);
        return std::thread([this, &r, options] {
            r = harness::run_program(build_facts::sbscrub, {"sbscrub", "-v", "-f", path}, options);
        });
    }

    const harness::temp_dir scratch;
    const std::string dir = scratch.path(), path = dir + "/ferryd.scoreboard";
    const pid_t dead = standin::dead_pid();
    standin::Board board;
};

TEST(SbscrubUsageTest, HelpPrintsUsageAndRunsNothing)
{
    EXPECT_EQ(hint.size(), 67u + 38u);
    EXPECT_EQ(hint.find('\n'), 66u);
    struct Case {
        std::string argv0;
        std::vector<std::string> args;
        std::string name;
    };
    const Case cases[] = {
        {"sbscrub", {"-h"}, "sbscrub"},
        {"/usr/sbin/sbscrub", {"--help"}, "sbscrub"},
        {"relative/dir/scrubber", {"-v", "-h"}, "scrubber"},
        {"sbscrub", {"-h", "-x", "-f"}, "sbscrub"},
        {"sbscrub", {"-vh"}, "sbscrub"},
        {"sbscrub", {"--he"}, "sbscrub"},
    };
    for (const Case &c : cases) {
        auto r = sbscrub(c.args, c.argv0);
        harness::expect_run(r, 0, usage(c.name), "", c.argv0);
    }
}

TEST(SbscrubUsageTest, UnknownOptionsAndMissingArguments)
{
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"-x"}, "unknown option: x\n"},          {{"-v", "-q"}, "unknown option: q\n"},
        {{"-vx"}, "unknown option: x\n"},         {{"-f"}, "unknown option: f\n"},
        {{"-c"}, "unknown option: c\n"},          {{"--file"}, "unknown option: f\n"},
        {{"--config"}, "unknown option: c\n"},    {{"--bogus"}, "unknown option: --bogus\n"},
        {{"--verbose=1"}, "unknown option: v\n"}, {{"-x", "-h"}, "unknown option: x\n"},
    };
    for (const Case &c : cases) {
        auto r = sbscrub(c.args);
        harness::expect_run(r, 1, usage("sbscrub"), c.message, c.args[0]);
    }
}

TEST_F(SbscrubTest, FileOptionScrubsQuietlyOrVerbosely)
{
    const std::string verbose = "scrubbing ScoreboardFile " + path +
                                "\nscrubbing scoreboard slot for PID " + std::to_string(dead);
    // An existing file given with -f is never overridden by the configuration.
    const std::string other = dir + "/other.scoreboard", conf = dir + "/ferryd.conf";
    standin::write(other, board);
    harness::write_file(conf, "ScoreboardFile " + other + "\n");
    const std::vector<std::pair<std::vector<std::string>, std::string>> forms = {
        {{"-f", path}, ""},
        {{"--file", path}, ""},
        {{"--file=" + path}, ""},
        {{"-f" + path}, ""},
        {{"stray", "-f", path}, ""},
        {{"-c", conf, "-f", path}, ""},
        {{"-v", "-f", path}, verbose},
        {{"--verbose", "-f", path}, verbose},
    };
    for (const auto &[args, out] : forms) {
        standin::write(path, board);
        auto r = sbscrub(args);
        harness::expect_run(r, 0, out, "", args[0]);
        EXPECT_EQ(harness::read_file(path), scrubbed()) << args[0];
    }
    EXPECT_EQ(harness::read_file(other), standin::build(board));
}

TEST_F(SbscrubTest, LostOutputIsAFailure)
{
    // Enough stale slots, between live ones, that keeping their messages takes a block of at
    // least 64 KiB, which the preload library can refuse.
    for (int i = 0; i < 2000; ++i)
        board.pids.insert(board.pids.end(), {dead, getpid()});
    const std::vector<std::string> short_of_memory = {build_facts::preload_failing_alloc,
                                                      "FAIL_ALLOC_MIN=65536"};
    const harness::Redirect full = harness::file("/dev/full", O_WRONLY);
    const std::vector<std::string> verbose = {"-v", "-f", path}, quiet = {"-f", path};
    struct Case {
        const char *what;
        std::vector<std::string> args;
        harness::Redirect out;
        int error; // of the lost output, 0 when nothing is lost
        std::vector<std::string> env = {};
    };
    const Case cases[] = {
        {"-h, full", {"-h"}, full, ENOSPC},
        {"-v, full", verbose, full, ENOSPC},
        {"-v, closed", verbose, harness::closed(), EBADF},
        {"-v, reader gone", verbose, harness::broken_pipe(), EPIPE},
        {"-v, messages beyond memory", verbose, harness::piped(), ENOMEM, short_of_memory},
        // Nor does message text find its way into the scoreboard.
        {"-v, closed, beyond memory", verbose, harness::closed(), EBADF, short_of_memory},
        // Nothing is written without -v, so nothing is lost.
        {"quiet, full", quiet, full, 0},
        {"quiet, closed", quiet, harness::closed(), 0},
    };
    for (const Case &c : cases) {
        standin::write(path, board);
        std::vector<std::string> argv{"sbscrub"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = harness::run_program(build_facts::sbscrub, argv, {.out = c.out, .env = c.env});
        // Into a pipe, what was kept is written: the first message, then slot messages.
        const std::string kept = "scrubbing ScoreboardFile " + path + "\nscrubbing scoreboard";
        const bool piped = c.out.kind == harness::Redirect::pipe;
        harness::expect_run(
            r, c.error ? 1 : 0, !piped || r.out.compare(0, kept.size(), kept) == 0 ? r.out : kept,
            c.error ? "write error: " + std::string(strerror(c.error)) + "\n" : "", c.what);
        // The scrub ran all the same (compared whole: the board is too large to print).
        if (c.args[0] != "-h") {
            EXPECT_TRUE(harness::read_file(path) == scrubbed()) << c.what;
        }
    }
}

// The descriptors on which processes other than this one and except hold the file at path.
std::vector<int> descriptors_holding(const std::string &path, pid_t except)
{
    namespace fs = std::filesystem;
    std::vector<int> found;
    std::error_code ec;
    for (const auto &process : fs::directory_iterator("/proc", ec)) {
        const pid_t pid = atoi(process.path().filename().c_str());
        if (pid <= 0 || pid == getpid() || pid == except)
            continue;
        for (const auto &fd : fs::directory_iterator(process.path() / "fd", ec))
            if (fs::read_symlink(fd.path(), ec) == path)
                found.push_back(atoi(fd.path().filename().c_str()));
    }
    return found;
}

TEST_F(SbscrubTest, OpensNoFileOnAStandardDescriptor)
{
    using harness::closed;
    struct Case {
        const char *what;
        harness::Redirect in, out, err;
        int status;
    };
    const Case cases[] = {
        {"all three closed", closed(), closed(), closed(), 1},
        {"standard input closed", closed(), {}, {}, 0},
        {"standard output closed", {}, closed(), {}, 1},
    };
    for (const Case &c : cases) {
        standin::write(path, board);
        // sbscrub waits for the lock with the scoreboard open, to be seen in /proc.
        standin::Holder holder;
        harness::RunResult r;
        std::thread run =
            run_while_locked(holder, 20000, r, {.in = c.in, .out = c.out, .err = c.err});
        std::vector<int> fds;
        for (int i = 0; i < 5000 && fds.empty(); ++i, usleep(1000))
            fds = descriptors_holding(path, holder.pid);
        kill(holder.pid, SIGKILL);
        standin::release(holder);
        run.join();
        ASSERT_EQ(fds.size(), 1u) << c.what;
        EXPECT_GE(fds[0], 3) << c.what;
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(harness::read_file(path), scrubbed()) << c.what;
    }
}

TEST_F(SbscrubTest, NeverHoldsTheLockWhileItsOutputWaits)
{
    // Enough stale slots that their messages overfill a pipe nobody reads.
    board.pids.assign(3000, dead);
    standin::write(path, board);
    const std::string fifo = dir + "/out";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    standin::Holder holder;
    harness::RunResult r;
    std::thread run = run_while_locked(holder, 1000, r, {.out = harness::file(fifo, O_WRONLY)});
    std::string out;
    auto drain = [&] {
        char buf[4096];
        for (ssize_t n; (n = read(reader, buf, sizeof buf)) > 0;)
            out.append(buf, static_cast<size_t>(n));
    };
    // The first message is out while the scrub still waits for the lock.
    const std::string first = "scrubbing ScoreboardFile " + path + "\n";
    for (int i = 0; i < 1000 && out.size() < first.size(); ++i, usleep(1000))
        drain();
    EXPECT_EQ(out, first);
    EXPECT_EQ(standin::release(holder), 0);
    // Once every slot is cleared, the scrub waits on its output without the lock.
    const std::string cleared = standin::scrubbed(board, {dead});
    for (int i = 0; i < 5000 && harness::read_file(path) != cleared; ++i)
        usleep(1000);
    EXPECT_TRUE(standin::lockable(path)) << "the scrub holds its lock";
    fcntl(reader, F_SETFL, 0);
    drain();
    run.join();
    close(reader);
    std::string expected = first;
    for (size_t i = 0; i < board.pids.size(); ++i)
        expected += "scrubbing scoreboard slot for PID " + std::to_string(dead);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(harness::read_file(path), cleared);
}

// A path of an unusual length for the scoreboard at path, so that only the copy of a
// configuration value naming it asks for exactly its size and the terminator.
std::string long_path_to(const std::string &dir)
{
    std::string long_path = dir;
    while (long_path.size() < 777)
        long_path += "/.";
    return long_path + "/ferryd.scoreboard";
}

TEST_F(SbscrubTest, ConfigurationSuppliesTheScoreboard)
{
    if (!defaults_absent())
        GTEST_SKIP() << "a scoreboard or configuration exists at the compiled-in paths";
    std::string conf = dir + "/ferryd.conf", long_conf = dir + "/long.conf";
    harness::write_file(conf, "# ferryd\n  scoreboardfile \"" + path + "\"\n");
    harness::write_file(long_conf, "ScoreboardFile " + long_path_to(dir) + "\n");
    const std::vector<std::vector<std::string>> forms = {
        {"-c", conf},
        {"--config", conf},
        {"--config=" + conf},
        {"-c", dir + "/absent.conf", "-c", conf},
        {"-f", dir + "/absent", "-c", conf},
        {"-c", long_conf},
    };
    for (const auto &args : forms) {
        standin::write(path, board);
        auto r = sbscrub(args);
        harness::expect_run(r, 0, "", "", args.back());
        EXPECT_EQ(harness::read_file(path), scrubbed()) << args.back();
    }
}

TEST_F(SbscrubTest, NoScoreboardFoundNamesThePathAndHints)
{
    if (!defaults_absent())
        GTEST_SKIP() << "a scoreboard or configuration exists at the compiled-in paths";
    ASSERT_EQ(mkdir((dir + "/open").c_str(), 0700), 0);
    ASSERT_EQ(chmod((dir + "/open").c_str(), 0777), 0);
    standin::write(dir + "/open/sb", board);
    std::string conf = dir + "/ferryd.conf";
    struct Case {
        const char *what;
        std::string config;
        std::vector<std::string> env = {};
    };
    std::string nul_line = "ScoreboardFile ";
    nul_line += '\0';
    nul_line += path + "\n";
    const std::string long_path = long_path_to(dir);
    const Case cases[] = {
        {"no configuration file", ""},
        {"no directive", "# ScoreboardFile " + path + "\nScoreboard " + path + "\n"},
        {"directory writable by others", "ScoreboardFile " + dir + "/open/sb\n"},
        {"carriage return kept", "ScoreboardFile " + path + "\r\n"},
        {"file name cut at a NUL byte", nul_line},
        {"value without a slash", "ScoreboardFile ferryd.scoreboard\n"},
        {"long line", "ScoreboardFile /" + std::string(5000, 'x') + "\n"},
        {"failed copy of the value",
         "ScoreboardFile " + long_path + "\n",
         {build_facts::preload_failing_alloc,
          "FAIL_ALLOC_SIZE=" + std::to_string(long_path.size() + 1)}},
    };
    for (const Case &c : cases) {
        if (c.config.empty())
            unlink(conf.c_str());
        else
            harness::write_file(conf, c.config);
        auto r = sbscrub({"-c", conf}, "sbscrub", c.env);
        harness::expect_run(r, 1, "", missing(build_facts::default_scoreboard, ENOENT), c.what);
    }
    EXPECT_EQ(harness::read_file(path), standin::build(board));
    EXPECT_EQ(harness::read_file(dir + "/open/sb"), standin::build(board));
}

TEST_F(SbscrubTest, ScrubFailuresAreReported)
{
    std::string target = dir + "/target";
    standin::write(target, board);
    auto refused = standin::make_refused_paths(dir, target);
    refused.push_back({"/dev/zero", EPERM});
    for (const auto &c : refused) {
        const std::string failure =
            "error scrubbing scoreboard " + c.path + ": " + strerror(c.error) + "\n";
        auto r = sbscrub({"-v", "-f", c.path});
        harness::expect_run(r, 1, "scrubbing ScoreboardFile " + c.path + "\n", failure, c.path);
        // A dry run refuses the same, at once: it never waits on the FIFO.
        harness::expect_run(sbscrub({"-n", "-f", c.path}), 1, "", failure, c.path);
        // Output lost on a terminal that went away is reported with its own cause, not the
        // scrub's.
        r = harness::run_program(build_facts::sbscrub, {"sbscrub", "-v", "-f", c.path},
                                 {.out = harness::hung_up_terminal()});
        harness::expect_run(r, 1, "", failure + "write error: " + strerror(EIO) + "\n", c.path);
    }
    EXPECT_EQ(harness::read_file(target), standin::build(board));
}

TEST_F(SbscrubTest, BadScoreboardContents)
{
    struct Case {
        const char *what;
        std::string bytes, after;
        const char *refusal; // the reason sbscrub gives, or null when the scrub runs
    };
    const std::string header = standin::build(standin::Board{});
    const std::string ones(3 * standin::slot_size, '\xff');
    const std::string partial =
        standin::build(board).substr(0, standin::header_size + standin::slot_size - 1);
    const std::string truncated = standin::build(board).substr(0, 9);
    std::string text;
    while (text.size() < 30000)
        text += "Dec  9 15:19:53 host ferryd[4711]: session opened for user ftp\n";
    const char *no_magic = "not a scoreboard file (no scoreboard magic number in its header)";
    const Case cases[] = {
        {"empty", "", "", nullptr},
        {"truncated header", truncated, truncated, nullptr},
        {"header and a partial slot", partial, partial, nullptr},
        // Pid -1 names no process (kill would probe every process), so the slots go.
        {"slots of all ones", header + ones, header + std::string(ones.size(), '\0'), nullptr},
        {"all ones", std::string(standin::header_size, '\xff') + ones, "", no_magic},
        {"a text file", text, "", no_magic},
        {"older layout", standin::build({.version = SCOREBOARD_VERSION - 1, .pids = {dead}}), "",
         "scoreboard of an older layout than this program reads"},
        {"newer layout", standin::build({.version = SCOREBOARD_VERSION + 1, .pids = {dead}}), "",
         "scoreboard of a newer layout than this program reads"},
    };
    for (const Case &c : cases) {
        harness::write_file(path, c.bytes);
        // A refused file keeps its modification time too, and so does every file a dry run reads.
        const struct timespec old_times[2] = {{1000, 0}, {1000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old_times, 0), 0);
        struct stat st;
        const std::string refused =
            c.refusal ? "error scrubbing scoreboard " + path + ": " + c.refusal + "\n" : "";
        // A dry run first, which refuses what the scrub refuses, and changes nothing.
        auto r = sbscrub({"--dry-run", "-f", path});
        EXPECT_EQ(r.status, c.refusal ? 1 : 0) << c.what;
        EXPECT_EQ(r.err, refused) << c.what;
        EXPECT_EQ(harness::read_file(path), c.bytes) << c.what;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime, 1000) << c.what;
        r = sbscrub({"-f", path});
        harness::expect_run(r, c.refusal ? 1 : 0, "", refused, c.what);
        EXPECT_EQ(harness::read_file(path), c.refusal ? c.bytes : c.after) << c.what;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        if (c.refusal) {
            EXPECT_EQ(st.st_mtime, 1000) << c.what;
        }
    }
}

// The directory holding both compiled-in paths, for a private tmpfs over it; empty when they
// share no directory below the root.
std::string common_directory(const std::string &a, const std::string &b)
{
    size_t end = 0;
    for (size_t i = 1; i < a.size() && i < b.size() && a[i] == b[i]; ++i)
        if (a[i] == '/')
            end = i;
    return a.substr(0, end);
}

// The mount point, created for the test when absent and removed again afterwards.
class MountPoint
{
  public:
    explicit MountPoint(const std::string &path)
    {
        for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
            std::string part = path.substr(0, at);
            if (mkdir(part.c_str(), 0755) == 0)
                created.push_back(part);
            if (at == std::string::npos)
                break;
        }
    }
    ~MountPoint()
    {
        for (auto it = created.rbegin(); it != created.rend(); ++it)
            rmdir(it->c_str());
    }

  private:
    std::vector<std::string> created;
};

// What sbscrub did inside the private namespace, and the scoreboard afterwards.
struct NamespaceRun {
    int status = -1;
    std::string out, err, board;
};

// In a private mount namespace with an empty tmpfs over root, runs setup (shell commands,
// with $SB, $CONF, $ROOT and $STANDIN set), then sbscrub with args, then describes the file
// named by $SHOW. The shell starts target programs through $EMU, the emulator or nothing.
NamespaceRun run_in_namespace(const std::string &root, const std::string &setup,
                              const std::string &args)
{
    std::string script = "set -e; mount -t tmpfs -o mode=0755 tmpfs \"$ROOT\"; "
                         "mkdir -p \"$(dirname \"$SB\")\" \"$(dirname \"$CONF\")\"; " +
                         setup + "; set +e; $EMU \"$SBSCRUB\" " + args +
                         "; s=$?; printf '\\n--- %d\\n' $s; $EMU \"$STANDIN\" show \"$SHOW\"";
    const harness::RunOptions o{
        .env = {"ROOT=" + root, std::string("SB=") + build_facts::default_scoreboard,
                std::string("CONF=") + build_facts::default_config,
                std::string("SBSCRUB=") + build_facts::sbscrub,
                std::string("STANDIN=") + build_facts::sb_standin,
                std::string("SHOW=") + build_facts::default_scoreboard,
                std::string("EMU=") +
                    (harness::under_emulator() ? getenv("HARNESS_EMULATOR") : "")},
        .timeout_ms = 20000};
    auto r = harness::run_program("/usr/bin/unshare", {"unshare", "-m", "sh", "-c", script}, o);
    NamespaceRun n;
    n.err = r.err;
    size_t mark = r.out.rfind("\n--- ");
    if (mark == std::string::npos)
        return n;
    n.out = r.out.substr(0, mark);
    n.status = std::stoi(r.out.substr(mark + 5));
    n.board = r.out.substr(r.out.find('\n', mark + 1) + 1);
    return n;
}

TEST(SbscrubDefaultsTest, CompiledInPathsInAPrivateMountNamespace)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private mount namespace";
    std::string root =
        common_directory(build_facts::default_scoreboard, build_facts::default_config);
    if (root.empty())
        GTEST_SKIP() << "the compiled-in paths share no directory to mount over";
    MountPoint mount_point(root);
    if (harness::run_program(
            "/usr/bin/unshare",
            {"unshare", "-m", "sh", "-c", "mount -t tmpfs tmpfs \"$0\" && umount \"$0\"", root})
            .status != 0)
        GTEST_SKIP() << "mount namespaces are not permitted here";

    // Slot 0 is the shell's own process, slot 1 one that has ended.
    const std::string board = "$EMU \"$STANDIN\" write \"$SB\" $$ dead";
    const std::string kept = "slot 0 at offset " + std::to_string(standin::header_size) + ": pid ";
    const std::string cleared = "slot 1 at offset " +
                                std::to_string(standin::header_size + standin::slot_size) +
                                ": pid 0 (empty), cleared (all zero)\n";
    struct Case {
        const char *what;
        std::string setup, args;
        int status;
        std::string err;
        bool scrubbed;
    };
    const std::string open_dir = root + "/open";
    const Case cases[] = {
        {"no options", board, "", 0, "", true},
        {"-f naming a missing file", board, "-f " + root + "/var/absent", 0, "", true},
        {"-f in a directory writable by others",
         board + "; mkdir -m 0777 " + open_dir + "; $EMU \"$STANDIN\" write " + open_dir +
             "/sb dead",
         "-f " + open_dir + "/sb", 0, "", true},
        {"configuration names the scoreboard",
         "mkdir -p " + root + "/run; SB=" + root +
             "/run/ferryd.scoreboard; echo \"ScoreboardFile $SB\" > \"$CONF\"; " + board +
             "; SHOW=$SB",
         "", 0, "", true},
        {"nothing found", "true", "", 1, missing(build_facts::default_scoreboard, ENOENT), false},
    };
    for (const Case &c : cases) {
        NamespaceRun n = run_in_namespace(root, c.setup, c.args);
        EXPECT_EQ(n.status, c.status) << c.what << "\n" << n.err;
        EXPECT_EQ(n.out, "") << c.what;
        if (c.scrubbed) {
            EXPECT_EQ(n.err, "") << c.what;
            EXPECT_NE(n.board.find(kept), std::string::npos) << c.what << "\n" << n.board;
            EXPECT_NE(n.board.find(cleared), std::string::npos) << c.what << "\n" << n.board;
        } else {
            EXPECT_EQ(n.err, c.err) << c.what;
        }
    }
    // The verbose run names the compiled-in path.
    NamespaceRun n = run_in_namespace(root, board, "-v");
    EXPECT_EQ(n.status, 0);
    EXPECT_EQ(n.out.substr(0, n.out.find('\n') + 1),
              std::string("scrubbing ScoreboardFile ") + build_facts::default_scoreboard + "\n");
    struct stat st;
    EXPECT_NE(stat(build_facts::default_scoreboard, &st), 0)
        << "nothing leaked out of the namespace";
}

} // namespace
