// Scoreboard path, validation, and slot-by-slot reading under shared locks.
#include "scoreboard.h"

#include "file_access.h"
#include "output_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#ifndef SBSCRUB_DEFAULT_SCOREBOARD
#error "SBSCRUB_DEFAULT_SCOREBOARD must name the compiled-in scoreboard path"
#endif

namespace
{

constexpr size_t path_capacity = 1024;
static_assert(sizeof(SBSCRUB_DEFAULT_SCOREBOARD) <= path_capacity,
              "the default scoreboard path is too long");

char scoreboard_path[path_capacity] = SBSCRUB_DEFAULT_SCOREBOARD;
int scoreboard_fd = -1;
bool scoreboard_locked = false;
scoreboard_header header;
scoreboard_entry entry;
// Where the reads have reached in the file (the reader never seeks), and where the slot in entry
// lies and how many of its bytes were read.
off64_t next_offset = 0;
off64_t entry_offset = 0;
size_t entry_length = 0;

// Drops the read lock taken by util_scoreboard_entry_read; 0, or -1 with errno.
int scoreboard_unlock()
{
    scoreboard_locked = false;
    return file_access::unlock_whole_file(scoreboard_fd);
}

} // namespace

char *util_sstrncpy(char *dest, const char *src, size_t n)
{
    if (dest == nullptr || n == 0)
        return nullptr;
    size_t i = 0;
    if (src != nullptr)
        for (; i + 1 < n && src[i] != '\0'; ++i)
            dest[i] = src[i];
    dest[i] = '\0';
    return dest;
}

const char *util_get_scoreboard()
{
    return scoreboard_path;
}

int util_set_scoreboard(const char *path)
{
    // A longer path would be cut short and name some other file.
    if (path != nullptr && strnlen(path, path_capacity) == path_capacity) {
        errno = ENAMETOOLONG;
        return -1;
    }
    char copy[path_capacity] = {};
    util_sstrncpy(copy, path, sizeof copy);
    char *slash = strrchr(copy, '/');
    if (slash == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // The directory must exist and be closed to writers other than owner and group; a file
    // directly under the root is checked against the root directory.
    *slash = '\0';
    struct stat64 st;
    if (stat64(slash == copy ? "/" : copy, &st) < 0)
        return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    if (st.st_mode & S_IWOTH) {
        errno = EPERM;
        return -1;
    }
    *slash = '/';
    if (stat64(copy, &st) < 0)
        return -1;
    util_sstrncpy(scoreboard_path, path, sizeof scoreboard_path);
    return 0;
}

int util_check_scoreboard_header(const scoreboard_header *header)
{
    if (header->magic != SCOREBOARD_MAGIC)
        return -2;
    if (header->version < SCOREBOARD_VERSION)
        return -3;
    if (header->version > SCOREBOARD_VERSION)
        return -4;
    return 0;
}

int util_open_scoreboard(int flags)
{
    // A symbolic link at the path is refused: the scoreboard must be the file itself. So is
    // anything but a regular file, before a byte is read, as the scrub refuses it (a directory
    // with EISDIR, as an open for writing gives): reading a device may change it, and a FIFO
    // opened with O_NONBLOCK in flags is then never waited on.
    scoreboard_fd = file_access::open_checked(scoreboard_path, {.flags = flags,
                                                                .refuse_links = true,
                                                                .not_regular_errno = EPERM,
                                                                .directory_errno = EISDIR});
    if (scoreboard_fd < 0)
        return -1;
    ssize_t n =
        file_access::retry_after_signal([] { return read(scoreboard_fd, &header, sizeof header); });
    next_offset = n > 0 ? n : 0;
    if (n != static_cast<ssize_t>(sizeof header))
        return -1;
    return util_check_scoreboard_header(&header);
}

scoreboard_entry *util_scoreboard_entry_read()
{
    if (scoreboard_fd < 0) {
        errno = EINVAL;
        return nullptr;
    }
    // Without a lock the slots are still read, as the daemon itself would.
    if (!scoreboard_locked)
        scoreboard_locked = file_access::lock_whole_file(scoreboard_fd, F_RDLCK) == 0;
    errno = 0;
    for (;;) {
        // Zeroed before every read, so that a trailing partial slot is padded with zeros and
        // not with the bytes of an empty slot read before it.
        memset(&entry, 0, sizeof entry);
        ssize_t n = file_access::retry_after_signal(
            [] { return read(scoreboard_fd, &entry, sizeof entry); });
        if (n <= 0)
            break;
        const off64_t offset = next_offset;
        next_offset += n;
        if (entry.pid != 0) {
            entry_offset = offset;
            entry_length = static_cast<size_t>(n);
            scoreboard_unlock();
            return &entry;
        }
    }
    // A read error is the one reported; else a failed unlock's, if any.
    if (errno != 0)
        file_access::keeping_errno(scoreboard_unlock);
    else
        scoreboard_unlock();
    if (errno != 0)
        output_check::print("error reading scoreboard entry: %s\n", strerror(errno));
    return nullptr;
}

int util_close_scoreboard()
{
    if (scoreboard_fd == -1)
        return 0;
    if (scoreboard_locked)
        scoreboard_unlock();
    close(scoreboard_fd);
    scoreboard_fd = -1;
    return 0;
}

pid_t util_scoreboard_get_daemon_pid()
{
    return header.daemon_pid;
}

uint32_t util_scoreboard_get_daemon_uptime()
{
    return header.daemon_uptime;
}

off64_t util_scoreboard_get_entry_offset()
{
    return entry_offset;
}

size_t util_scoreboard_get_entry_length()
{
    return entry_length;
}
