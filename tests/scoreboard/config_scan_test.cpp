// Finding the ScoreboardFile directive in the daemon's configuration file.
#include "config_scan.h"
#include "io_faults.h"
#include "run_program.h"
#include "temp_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{

using faults::Op;

class ConfigScanTest : public ::testing::Test
{
  protected:
    void TearDown() override { faults::reset(); }

    // Scans a file holding text; the value, or "(null)".
    std::string scan(const std::string &text, const char *directive = "ScoreboardFile")
    {
        harness::write_file(dir + "/ferryd.conf", text);
        char *v = util_scan_config((dir + "/ferryd.conf").c_str(), directive);
        std::string got = v ? v : "(null)";
        free(v);
        return got;
    }

    const harness::temp_dir scratch;
    const std::string dir = scratch.path();
};

TEST_F(ConfigScanTest, Values)
{
    struct Case {
        std::string text, want;
    };
    const std::string nul(1, '\0'), value(2000, 'v');
    const Case cases[] = {
        {"ScoreboardFile /var/run/ferryd.scoreboard\n", "/var/run/ferryd.scoreboard"},
        {" \t \tScoreboardFile /x\n", "/x"},
        {"scoreboardfile /x\n", "/x"},
        {"SCOREBOARDFILE\t/x", "/x"},
        {"# ScoreboardFile /x\n   \n\t\nScoreboardFile /y\n", "/y"},
        {"  # ScoreboardFile /x\n", "(null)"},
        {"ScoreboardFileX /y\n", "X /y"},
        {"ScoreboardFile /x  # note\n", "/x  # note"},
        {"ScoreboardFile\nScoreboardFile /later\n", ""},
        {"ScoreboardFile   \n", ""},
        {"ScoreboardFile /first\nScoreboardFile /second\n", "/first"},
        {"Other /o\nScoreboard /s\nScoreboardFile /x\n", "/x"},
        {"ScoreboardFile \"/var/a b\"\n", "/var/a b"},
        {"ScoreboardFile \"/var/a\\\"b\"\n", "/var/a\"b"},
        {"ScoreboardFile \"/var/a\\\\b\"\n", "/var/a\\b"},
        {"ScoreboardFile \"/var/x\n", "/var/x"},
        {"ScoreboardFile \"/var/x\\\n", "/var/x"},
        {"ScoreboardFile \"\"\n", ""},
        {"ScoreboardFile \"\n", ""},
        {"ScoreboardFile /x\r\n", "/x\r"},
        {"ScoreboardFile /x\"y\"\n", "/x\"y\""},
        {"\xa0ScoreboardFile /x\n", "(null)"},
        {"ScoreboardFile \xa0/x\n", "\xa0/x"},
        {"\v\f\rScoreboardFile\v/x\n", "/x"},
        // A quote before the end of the line is dropped with the character after it.
        {"ScoreboardFile \"/a\" # x\n", "/a# x"},
        {"ScoreboardFile \"/a\" \n", "/a"},
        {"ScoreboardFile \"/a\"\"b\n", "/ab"},
        {"ScoreboardFile \"/a\"\n", "/a"},
        {"", "(null)"},
        {"\n\n# nothing\n", "(null)"},
        // Long lines are read in pieces of 1022 characters: a directive after 1022 characters
        // starts a piece of its own, and a value longer than a piece is cut at its end.
        {std::string(1022, 'z') + "ScoreboardFile /hidden\n", "/hidden"},
        {std::string(1021, 'z') + "ScoreboardFile /x\n", "(null)"},
        {"ScoreboardFile /" + value + "\n", "/" + value.substr(0, 1022 - 16)},
        // A NUL byte ends the line without harm; a line that starts with one is empty.
        {"ScoreboardFile /a" + nul + "tail\nScoreboardFile /b\n", "/a"},
        {"# x" + nul + "\nScoreboardFile /c\n", "/c"},
        {nul + "ScoreboardFile /a\nScoreboardFile /d\n", "/d"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(scan(c.text), c.want) << c.text;
}

TEST_F(ConfigScanTest, NoValueWithoutARegularFileToRead)
{
    // A FIFO nobody writes to, a device that never ends and a directory are refused at once,
    // like a file that cannot be opened or a null argument.
    const std::string fifo = dir + "/fifo.conf", absent = dir + "/absent.conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        const char *path, *directive;
        int error;
    };
    const Case cases[] = {
        {absent.c_str(), "ScoreboardFile", ENOENT}, {absent.c_str(), nullptr, EINVAL},
        {nullptr, "ScoreboardFile", EINVAL},        {fifo.c_str(), "ScoreboardFile", EINVAL},
        {"/dev/zero", "ScoreboardFile", EINVAL},    {dir.c_str(), "ScoreboardFile", EINVAL},
    };
    for (const Case &c : cases) {
        const std::string what =
            std::string(c.path ? c.path : "(null)") + ", " + (c.directive ? c.directive : "(null)");
        auto r = harness::run_function(
            [&] {
                errno = 0;
                char *v = util_scan_config(c.path, c.directive);
                return v == nullptr ? errno : -1;
            },
            {.timeout_ms = 5000});
        EXPECT_FALSE(r.timed_out) << what;
        EXPECT_EQ(r.status, c.error) << what;
    }
}

TEST_F(ConfigScanTest, FailuresAfterTheOpenCloseTheFile)
{
    struct Case {
        const char *what;
        Op op;
        int error;
    };
    const Case cases[] = {
        {"status of the opened file", Op::stat, EIO},
        {"reading the file status flags", Op::get_flags, EBADF},
        {"leaving non-blocking mode", Op::set_flags, EINVAL},
    };
    const std::string conf = dir + "/ferryd.conf";
    harness::write_file(conf, "ScoreboardFile /x\n");
    int before = harness::open_descriptors();
    for (const Case &c : cases) {
        faults::target(conf, {{c.op, {faults::fail(c.error)}}});
        errno = 0;
        EXPECT_EQ(util_scan_config(conf.c_str(), "ScoreboardFile"), nullptr) << c.what;
        EXPECT_EQ(errno, c.error) << c.what;
        EXPECT_EQ(faults::calls(c.op), 1) << c.what;
        EXPECT_EQ(harness::open_descriptors(), before) << c.what;
    }
}

TEST_F(ConfigScanTest, BlockDevicesAreRefused)
{
    // The first block device under /dev that opens here; reading it is never tried.
    std::vector<std::string> devices;
    if (DIR *d = opendir("/dev")) {
        while (dirent *e = readdir(d)) {
            std::string path = std::string("/dev/") + e->d_name;
            struct stat st;
            if (stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
                devices.push_back(path);
        }
        closedir(d);
    }
    std::sort(devices.begin(), devices.end());
    auto openable = std::find_if(devices.begin(), devices.end(), [](const std::string &p) {
        int fd = open(p.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY);
        return fd >= 0 && close(fd) == 0;
    });
    if (openable == devices.end())
        GTEST_SKIP() << "no block device can be opened for reading here";
    int before = harness::open_descriptors();
    errno = 0;
    EXPECT_EQ(util_scan_config(openable->c_str(), "ScoreboardFile"), nullptr) << *openable;
    EXPECT_EQ(errno, EINVAL) << *openable;
    EXPECT_EQ(harness::open_descriptors(), before);
}

} // namespace
