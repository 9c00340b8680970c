// Checked opens, whole-file record locks and the descriptor guard.
#include "file_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace file_access
{
namespace
{

// Whether the ELOOP of an open that refused to follow a final link came from a symbolic link at
// path rather than from a loop of links above it; errno is kept. Neither probe opens the file
// for reading, so neither can wait on a FIFO or touch a device. A path that still leads to a
// file was a link, whatever it is now; one that leads nowhere is a link when it is one itself.
bool refused_link(const char *path)
{
    bool link = false;
    keeping_errno([&] {
        int fd = open64(path, O_PATH | O_CLOEXEC);
        if (fd >= 0) {
            link = true;
        } else {
            fd = open64(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
            struct stat64 st;
            link = fd >= 0 && fstat64(fd, &st) == 0 && S_ISLNK(st.st_mode);
        }
        if (fd >= 0)
            close(fd);
    });
    return link;
}

// A request of type on the whole of fd with command (F_SETLK64 or F_SETLKW64), repeated while it
// is interrupted or refused for now.
int whole_file_request(int fd, short type, int command)
{
    struct flock64 fl {
    };
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    return retry_after_signal([&] { return fcntl(fd, command, &fl); }, true);
}

} // namespace

int open_checked(const char *path, const open_rules &rules)
{
    int flags = rules.flags;
    if (rules.refuse_links)
        flags |= O_NOFOLLOW;
    if (rules.nonblocking_open)
        flags |= O_NONBLOCK;
    int fd = open64(path, flags);
    if (fd < 0) {
        // The open itself refuses the link, so no file swapped in afterwards can slip past.
        if (rules.refuse_links && errno == ELOOP && refused_link(path))
            errno = EPERM;
        return -1;
    }
    descriptor_guard guard{fd};
    if (rules.not_regular_errno != 0) {
        struct stat64 st;
        if (fstat64(fd, &st) < 0)
            return -1;
        if (!S_ISREG(st.st_mode)) {
            errno = S_ISDIR(st.st_mode) && rules.directory_errno != 0 ? rules.directory_errno
                                                                      : rules.not_regular_errno;
            return -1;
        }
    }
    // Non-blocking mode only kept the open of a FIFO or a device from waiting.
    if (rules.nonblocking_open) {
        int status = fcntl(fd, F_GETFL);
        if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0)
            return -1;
    }
    return guard.release();
}

int lock_whole_file(int fd, short type)
{
    return whole_file_request(fd, type, F_SETLKW64);
}

int unlock_whole_file(int fd)
{
    return whole_file_request(fd, F_UNLCK, F_SETLK64);
}

descriptor_guard::~descriptor_guard()
{
    if (fd >= 0)
        keeping_errno([this] { close(fd); });
}

int descriptor_guard::release()
{
    int kept = fd;
    fd = -1;
    return kept;
}

} // namespace file_access
