// Descriptor-level file access shared by the scoreboard reader, the scrub and the configuration
// scan: whole-file record locks, retrying interrupted calls, and closing without losing errno.
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

// Calls f again while it fails (a negative result) with EINTR; its last result.
template <typename F> auto retry_after_signal(F f)
{
    auto result = f();
    while (result < 0 && errno == EINTR)
        result = f();
    return result;
}

// One record-lock request of type (F_RDLCK, F_WRLCK or F_UNLCK) on the whole of fd, to its end
// however it grows; wait picks the waiting form. The fcntl result.
int lock_whole_file(int fd, short type, bool wait);

// Closes fd when it goes out of scope, keeping errno, unless it was released.
struct descriptor_guard {
    int fd;
    ~descriptor_guard();
    // Keeps fd open past the guard and hands it back.
    int release();
};

} // namespace file_access
