// Descriptor-level file access shared by the scoreboard reader, the scrub and the configuration
// scan: opening with checks of what was opened, whole-file record locks, retrying interrupted
// calls, and closing without losing errno.
#pragma once

#include <cerrno>

namespace file_access
{

// Calls f and leaves errno as it was before the call.
template <typename F> void keeping_errno(F f)
{
    int saved = errno;
    f();
    errno = saved;
}

// Calls f again while it fails (a negative result) with EINTR, or with EAGAIN as well when busy
// is set; its last result. When that succeeds, errno is as it was before, as after a call that
// was never interrupted.
template <typename F> auto retry_after_signal(F f, bool busy = false)
{
    const int before = errno;
    auto result = f();
    while (result < 0 && (errno == EINTR || (busy && errno == EAGAIN)))
        result = f();
    if (result >= 0)
        errno = before;
    return result;
}

// Calls f until it succeeds (a result that is not negative), at most attempts times; its last
// result.
template <typename F> auto within_attempts(int attempts, F f)
{
    auto result = f();
    for (int i = 1; i < attempts && result < 0; ++i)
        result = f();
    return result;
}

// A record-lock request of type (F_RDLCK, F_WRLCK or F_UNLCK) on the whole of fd, to its end
// however it grows; wait picks the waiting form. Repeated while it is interrupted or, in the
// non-waiting form, refused for now (EAGAIN); 0, or -1 with errno.
int lock_whole_file(int fd, short type, bool wait);

// Closes fd when it goes out of scope, keeping errno, unless it was released.
struct descriptor_guard {
    int fd;
    ~descriptor_guard();
    // Keeps fd open past the guard and hands it back.
    int release();
};

// What open_checked opens and what it refuses.
struct open_rules {
    int flags;                     // handed to open64, no creation mode
    bool refuse_links = false;     // the open itself refuses a final symbolic link, with EPERM
    int not_regular_errno = 0;     // when set, anything but a regular file is refused with it
    bool nonblocking_open = false; // open with O_NONBLOCK, cleared once the checks pass
};

// Opens path by rules and refuses what they exclude; the descriptor, or -1 with errno (a
// refused file is closed again).
int open_checked(const char *path, const open_rules &rules);

} // namespace file_access
