// Checked opens, whole-file record locks and the descriptor guard.
#include "file_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace file_access
{
namespace
{

// Whether path itself is a symbolic link; errno is kept.
bool is_link(const char *path)
{
    bool link = false;
    keeping_errno([&] {
        struct stat64 st;
        link = lstat64(path, &st) == 0 && S_ISLNK(st.st_mode);
    });
    return link;
}

// The errno that refuses a file of mode by types, or 0.
int kind_refusal(type_check types, mode_t mode)
{
    if (types == type_check::not_regular && !S_ISREG(mode))
        return EPERM;
    if (types == type_check::devices && (S_ISCHR(mode) || S_ISBLK(mode)))
        return EINVAL;
    return 0;
}

// The errno that refuses the file open on fd at path, or 0 when rules keep it.
int refusal(const char *path, int fd, const open_rules &rules)
{
    struct stat64 st;
    if (rules.links == link_check::by_path_status) {
        if (lstat64(path, &st) < 0)
            return errno;
        if (S_ISLNK(st.st_mode))
            return EPERM;
    }
    if (rules.types == type_check::none)
        return 0;
    return fstat64(fd, &st) < 0 ? errno : kind_refusal(rules.types, st.st_mode);
}

} // namespace

int open_checked(const char *path, const open_rules &rules)
{
    int flags = rules.flags;
    if (rules.links == link_check::by_open)
        flags |= O_NOFOLLOW;
    if (rules.nonblocking_open)
        flags |= O_NONBLOCK;
    int fd = open64(path, flags);
    if (fd < 0) {
        if (rules.links == link_check::by_open && errno == ELOOP && is_link(path))
            errno = EPERM;
        return -1;
    }
    descriptor_guard guard{fd};
    if (int refused = refusal(path, fd, rules); refused != 0) {
        errno = refused;
        return -1;
    }
    // Non-blocking mode only kept the open of a FIFO or a device from waiting.
    if (rules.nonblocking_open) {
        int status = fcntl(fd, F_GETFL);
        if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0)
            return -1;
    }
    return guard.release();
}

int lock_whole_file(int fd, short type, bool wait)
{
    struct flock64 fl {
    };
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    return fcntl(fd, wait ? F_SETLKW64 : F_SETLK64, &fl);
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
