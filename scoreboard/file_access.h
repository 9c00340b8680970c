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

// Locks the whole of fd, to its end however it grows, for reading (F_RDLCK) or writing
// (F_WRLCK), waiting until the lock is granted; 0, or -1 with errno. The request is repeated
// while it is interrupted (EINTR) or refused for now (EAGAIN).
int lock_whole_file(int fd, short type);
// Drops this process's lock on the whole of fd, repeated as lock_whole_file's request; an unlock
// is granted at once, so it never waits. 0, or -1 with errno.
int unlock_whole_file(int fd);

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
    int directory_errno = 0;       // when set, a directory is refused with it instead
    bool nonblocking_open = false; // open with O_NONBLOCK, cleared once the checks pass
};

// Opens path by rules and refuses what they exclude; the descriptor, or -1 with errno (a
// refused file is closed again).
int open_checked(const char *path, const open_rules &rules);

} // namespace file_access
