// The scrub: clears, under a write lock on the whole scoreboard, the slots of processes that
// no longer exist.
#include "scrub.h"

#include "file_access.h"
#include "scoreboard.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace
{

// Further attempts at writing a cleared slot after a failed or short write.
constexpr int extra_write_attempts = 3;
// Unlock requests at the end of the scan; closing the file drops the lock in any case.
constexpr int unlock_attempts = 3;

constexpr off64_t first_slot = sizeof(scoreboard_header);

// Releases the write lock when the scrub returns, keeping errno.
struct write_lock {
    int fd;
    ~write_lock()
    {
        file_access::keeping_errno([this] {
            for (int i = 0;
                 i < unlock_attempts && file_access::lock_whole_file(fd, F_UNLCK, true) < 0; ++i) {
            }
        });
    }
};

// Reading and writing, refusing a symbolic link and anything but a regular file, so that the
// scrub never writes into some other file or a device.
constexpr file_access::open_rules scoreboard_rules{
    .flags = O_RDWR | O_NOCTTY,
    .links = file_access::link_check::by_open,
    .types = file_access::type_check::not_regular,
    .nonblocking_open = true,
};

// Overwrites the slot at pos with zeros. After a failed or short write (reported when verbose)
// the rest of the slot is written again at the offset reached, a bounded number of times.
// 0, or -1 with errno (EIO for a short write).
int clear_slot(int fd, off64_t pos, scoreboard_entry &slot, int verbose)
{
    memset(&slot, 0, sizeof slot);
    const char *bytes = reinterpret_cast<const char *>(&slot);
    size_t done = 0;
    int failures = 0;
    bool seek = true;
    while (done < sizeof slot) {
        if (seek && lseek64(fd, pos + static_cast<off64_t>(done), SEEK_SET) < 0)
            return -1;
        ssize_t n = file_access::retry_after_signal(
            [&] { return write(fd, bytes + done, sizeof slot - done); });
        seek = false;
        if (n > 0)
            done += static_cast<size_t>(n);
        if (done == sizeof slot)
            break;
        int err = n < 0 ? errno : EIO;
        if (verbose)
            printf("error scrubbing scoreboard: %s", strerror(err));
        if (++failures > extra_write_attempts) {
            errno = err;
            return -1;
        }
        seek = true;
    }
    return 0;
}

} // namespace

int util_scoreboard_scrub(int verbose)
{
    const char *path = util_get_scoreboard();
    if (verbose)
        printf("scrubbing ScoreboardFile %s\n", path);

    int fd = file_access::open_checked(path, scoreboard_rules);
    if (fd < 0)
        return -1;
    file_access::descriptor_guard file{fd};

    if (file_access::retry_after_signal(
            [fd] { return file_access::lock_whole_file(fd, F_WRLCK, true); }) < 0)
        return -1;
    write_lock lock{fd};

    off64_t pos = lseek64(fd, first_slot, SEEK_SET);
    if (pos < 0)
        return -1;
    scoreboard_entry slot{};
    for (;;) {
        ssize_t n = file_access::retry_after_signal([&] { return read(fd, &slot, sizeof slot); });
        if (n < 0)
            return -1;
        // End of file, or a trailing partial slot, ends the scan.
        if (n != static_cast<ssize_t>(sizeof slot))
            break;
        // Only a probe that finds no such process marks the slot stale; a process of another
        // user (EPERM) keeps its slot.
        if (slot.pid != 0 && kill(slot.pid, 0) < 0 && errno == ESRCH) {
            // This message and the write error in clear_slot end without a line break on
            // purpose: the daemon's tools read them that way, run together on one line.
            if (verbose)
                printf("scrubbing scoreboard slot for PID %u", static_cast<unsigned>(slot.pid));
            if (clear_slot(fd, pos, slot, verbose) < 0)
                return -1;
        }
        pos = lseek64(fd, 0, SEEK_CUR);
        if (pos < 0)
            return -1;
    }
    return 0;
}
