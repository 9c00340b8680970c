// The scrub of a sparse scoreboard larger than 4 GiB whose stale slot lies past the 4 GiB
// offset. On a 32-bit machine this needs the large-file calls throughout: a plain open refuses
// the file, and a 32-bit offset would wrap round and clear bytes near the start of the file.
#include "run_program.h"
#include "scoreboard.h"
#include "standin.h"
#include "temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace
{

constexpr off64_t header_size = standin::header_size, slot_size = standin::slot_size;
constexpr off64_t four_gib = off64_t{1} << 32;
// The first slot that starts past 4 GiB, and its offset.
constexpr off64_t far_index = (four_gib - header_size) / slot_size + 1;
constexpr off64_t far_offset = header_size + far_index * slot_size;
static_assert(far_offset > four_gib && far_offset - slot_size < four_gib);

// Writes bytes at offset; false with errno on failure.
bool put(int fd, off64_t offset, const std::string &bytes)
{
    return pwrite64(fd, bytes.data(), bytes.size(), offset) == static_cast<ssize_t>(bytes.size());
}

// Where to make the folder for the sparse file. The scrub reads every slot of the 4 GiB hole: a
// disk file system fills the page cache with 4 GiB of zeros for that, which takes from seconds
// to most of a minute, while tmpfs hands out its one zero page.
std::string sparse_parent()
{
    struct statfs fs;
    return statfs("/dev/shm", &fs) == 0 && fs.f_type == TMPFS_MAGIC ? "/dev/shm" : "";
}

std::string get(int fd, off64_t offset, size_t n)
{
    std::string bytes(n, '\x55');
    ssize_t got = pread64(fd, bytes.data(), n, offset);
    bytes.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return bytes;
}

TEST(LargeScoreboard, StaleSlotPastFourGibIsClearedAndNothingElse)
{
    const harness::temp_dir dir(sparse_parent());
    const std::string path = dir.path() + "/ferryd.scoreboard";
    const pid_t live = getpid(), dead = standin::dead_pid();

    // A header and a live slot, then a hole, the stale slot past 4 GiB and a live slot after it.
    standin::Board near{.pids = {live}};
    const std::string start = standin::build(near);
    const std::string stale = standin::slot_bytes(static_cast<size_t>(far_index), dead);
    const std::string after = standin::slot_bytes(static_cast<size_t>(far_index + 1), live);
    int fd = open64(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0) << strerror(errno);
    if (!put(fd, 0, start) || !put(fd, far_offset, stale) ||
        !put(fd, far_offset + slot_size, after)) {
        int err = errno;
        close(fd);
        GTEST_SKIP() << "no sparse file past 4 GiB here: " << strerror(err);
    }

    ASSERT_EQ(util_set_scoreboard(path.c_str()), 0) << strerror(errno);
    EXPECT_EQ(util_scoreboard_scrub(0), 0) << strerror(errno);

    struct stat64 st;
    ASSERT_EQ(fstat64(fd, &st), 0);
    EXPECT_EQ(st.st_size, far_offset + 2 * slot_size);
    // A wrapped offset would have landed here, inside the first slot.
    EXPECT_EQ(get(fd, 0, start.size()), start);
    EXPECT_EQ(get(fd, far_offset, stale.size()), std::string(stale.size(), '\0'));
    EXPECT_EQ(get(fd, far_offset + slot_size, after.size()), after);
    close(fd);
}

} // namespace
