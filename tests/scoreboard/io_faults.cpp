#include "io_faults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <deque>

extern "C" {
ssize_t __real_read(int fd, void *buf, size_t n);
ssize_t __real_write(int fd, const void *buf, size_t n);
off64_t __real_lseek64(int fd, off64_t offset, int whence);
int __real_fstat64(int fd, struct stat64 *st);
int __real_lstat64(const char *path, struct stat64 *st);
int __real_fcntl(int fd, int cmd, ...);
ssize_t __wrap_read(int fd, void *buf, size_t n);
ssize_t __wrap_write(int fd, const void *buf, size_t n);
off64_t __wrap_lseek64(int fd, off64_t offset, int whence);
int __wrap_fstat64(int fd, struct stat64 *st);
int __wrap_lstat64(const char *path, struct stat64 *st);
int __wrap_fcntl(int fd, int cmd, ...);
}

namespace faults
{
namespace
{

constexpr int op_count = static_cast<int>(Op::count);

struct State {
    bool armed = false;
    dev_t dev = 0;
    ino64_t ino = 0;
    std::deque<Outcome> scripts[op_count];
    int counts[op_count] = {};
    std::function<void()> hooks[op_count];
} state;

// Whether st is the status of the target. The real calls are used so that the checks never
// count or fail themselves.
bool is_target_status(const struct stat64 &st)
{
    return S_ISREG(st.st_mode) && st.st_dev == state.dev && st.st_ino == state.ino;
}

bool is_target(int fd)
{
    struct stat64 st;
    return state.armed && __real_fstat64(fd, &st) == 0 && is_target_status(st);
}

bool is_target(const char *path)
{
    struct stat64 st;
    return state.armed && __real_lstat64(path, &st) == 0 && is_target_status(st);
}

// Runs the hook of op, counts the call and takes its scripted outcome, if any; a failure sets
// errno.
Outcome take(Op op)
{
    int i = static_cast<int>(op);
    // A copy, as the hook may replace or clear the hooks.
    if (std::function<void()> hook = state.hooks[i])
        hook();
    ++state.counts[i];
    if (state.scripts[i].empty())
        return pass();
    Outcome o = state.scripts[i].front();
    state.scripts[i].pop_front();
    if (o.error != 0)
        errno = o.error;
    return o;
}

size_t limited(size_t n, const Outcome &o)
{
    return o.limit >= 0 && static_cast<size_t>(o.limit) < n ? static_cast<size_t>(o.limit) : n;
}

} // namespace

void target(const std::string &path)
{
    reset();
    struct stat64 st;
    if (stat64(path.c_str(), &st) == 0) {
        state.armed = true;
        state.dev = st.st_dev;
        state.ino = st.st_ino;
    }
}

void script(Op op, std::vector<Outcome> outcomes)
{
    state.scripts[static_cast<int>(op)].assign(outcomes.begin(), outcomes.end());
}

void before(Op op, std::function<void()> hook)
{
    state.hooks[static_cast<int>(op)] = std::move(hook);
}

int calls(Op op)
{
    return state.counts[static_cast<int>(op)];
}

void reset()
{
    state = State{};
}

} // namespace faults

using faults::Op;

ssize_t __wrap_read(int fd, void *buf, size_t n)
{
    if (!faults::is_target(fd))
        return __real_read(fd, buf, n);
    faults::Outcome o = faults::take(Op::read);
    return o.error != 0 ? -1 : __real_read(fd, buf, faults::limited(n, o));
}

ssize_t __wrap_write(int fd, const void *buf, size_t n)
{
    if (!faults::is_target(fd))
        return __real_write(fd, buf, n);
    faults::Outcome o = faults::take(Op::write);
    return o.error != 0 ? -1 : __real_write(fd, buf, faults::limited(n, o));
}

off64_t __wrap_lseek64(int fd, off64_t offset, int whence)
{
    if (faults::is_target(fd) && faults::take(Op::seek).error != 0)
        return -1;
    return __real_lseek64(fd, offset, whence);
}

int __wrap_fstat64(int fd, struct stat64 *st)
{
    if (faults::is_target(fd) && faults::take(Op::stat).error != 0)
        return -1;
    return __real_fstat64(fd, st);
}

int __wrap_lstat64(const char *path, struct stat64 *st)
{
    if (faults::is_target(path) && faults::take(Op::link_stat).error != 0)
        return -1;
    return __real_lstat64(path, st);
}

int __wrap_fcntl(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    Op op = Op::count;
    if (cmd == F_SETLK || cmd == F_SETLKW || cmd == F_SETLK64 || cmd == F_SETLKW64)
        op = static_cast<struct flock *>(arg)->l_type == F_UNLCK ? Op::unlock : Op::lock;
    else if (cmd == F_GETFL)
        op = Op::get_flags;
    else if (cmd == F_SETFL)
        op = Op::set_flags;
    if (op != Op::count && faults::is_target(fd) && faults::take(op).error != 0)
        return -1;
    return __real_fcntl(fd, cmd, arg);
}
