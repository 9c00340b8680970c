// The bounded copy and the validation of a new scoreboard path.
#include "run_program.h"
#include "scoreboard.h"
#include "scoreboard_fixture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace
{

TEST(SstrncpyTest, CopiesAtMostNMinusOneAndTerminates)
{
    struct Case {
        const char *src;
        size_t n;
        const char *want; // null: nothing is written and null is returned
    };
    const Case cases[] = {
        {"abc", 3, "ab"}, {"abc", 4, "abc"}, {"abc", 10, "abc"},  {"abc", 1, ""},
        {nullptr, 5, ""}, {"", 5, ""},       {"abc", 0, nullptr},
    };
    for (const Case &c : cases) {
        const std::string what =
            (c.src ? c.src : "(null)") + std::string(" n=") + std::to_string(c.n);
        char dest[12];
        memset(dest, 'x', sizeof dest);
        EXPECT_EQ(util_sstrncpy(dest, c.src, c.n), c.want ? dest : nullptr) << what;
        // Nothing beyond the terminator is touched.
        const std::string want = c.want ? std::string(c.want) + '\0' : "";
        EXPECT_EQ(std::string(dest, want.size() + 1), want + 'x') << what;
    }
    EXPECT_EQ(util_sstrncpy(nullptr, "abc", 4), nullptr);
}

using SetScoreboardTest = scoreboard_fixture;

TEST_F(SetScoreboardTest, PathsAreValidatedAndARefusedOneKeepsThePrevious)
{
    ASSERT_EQ(mkdir((dir + "/open").c_str(), 0700), 0);
    ASSERT_EQ(chmod((dir + "/open").c_str(), 0777), 0);
    ASSERT_EQ(mkdir((dir + "/group").c_str(), 0700), 0);
    ASSERT_EQ(chmod((dir + "/group").c_str(), 0775), 0);
    for (const char *file : {"/open/sb", "/group/sb", "/plain"})
        harness::write_file(dir + file, "");
    // The longest path that fits, 1023 characters, through nested directories.
    std::string deep = dir;
    while (deep.size() + 201 < 972) { // leaves 51 to 251 characters for the file name
        deep += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    }
    deep += "/";
    deep += std::string(1023 - deep.size(), 'f');
    ASSERT_EQ(deep.size(), 1023u);
    harness::write_file(deep, "");
    struct Case {
        std::string path;
        int error; // 0: accepted
    };
    const Case cases[] = {
        {dir + "/group/sb", 0},
        {dir + "/", 0},
        {dir + "/./ferryd.scoreboard", 0},
        {deep, 0},
        {"no-slash.scoreboard", EINVAL},
        {"", EINVAL},
        {dir + "/missing/sb", ENOENT},
        {dir + "/plain/sb", ENOTDIR},
        {dir + "/open/sb", EPERM},
        {dir + "/absent.scoreboard", ENOENT},
        {dir + "/" + std::string(1100, 'a'), ENAMETOOLONG},
        {"/" + std::string(1023, 'b'), ENAMETOOLONG},
        // One character more is refused rather than cut back to the existing file's name.
        {deep + "x", ENAMETOOLONG},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(util_set_scoreboard(path.c_str()), 0);
        errno = 0;
        EXPECT_EQ(util_set_scoreboard(c.path.c_str()), c.error ? -1 : 0) << c.path;
        EXPECT_EQ(c.error ? errno : 0, c.error) << c.path;
        EXPECT_EQ(util_get_scoreboard(), c.error ? path : c.path) << c.path;
    }
    errno = 0;
    EXPECT_EQ(util_set_scoreboard(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(util_get_scoreboard(), path);
}

TEST(SetScoreboardRootTest, FileInTheRootDirectoryIsCheckedAgainstTheRoot)
{
    struct stat st;
    ASSERT_EQ(stat("/", &st), 0);
    if (st.st_mode & S_IWOTH)
        GTEST_SKIP() << "the root directory is writable by others here";
    // The root directory itself always exists, so "/." names an existing file in it.
    EXPECT_EQ(util_set_scoreboard("/."), 0);
    EXPECT_STREQ(util_get_scoreboard(), "/.");
}

} // namespace
