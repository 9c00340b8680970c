// Whole-file record locks and the descriptor guard.
#include "file_access.h"

#include <fcntl.h>
#include <unistd.h>

namespace file_access
{

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
