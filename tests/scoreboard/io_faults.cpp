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
int __real_fcntl(int fd, int cmd, ...);
ssize_t __wrap_read(int fd, void *buf, size_t n);
ssize_t __wrap_write(int fd, const void *buf, size_t n);
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
    ino_t ino = 0;
    std::deque<Outcome> scripts[op_count];
    int counts[op_count] = {};
    std::function<void()> before_write;
} state;

bool is_target(int fd)
{
    struct stat st;
    return state.armed && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == state.dev &&
           st.st_ino == state.ino;
}

// Counts the call and takes its scripted outcome, if any.
Outcome next(Op op)
{
    int i = static_cast<int>(op);
    ++state.counts[i];
    if (state.scripts[i].empty())
        return pass();
    Outcome o = state.scripts[i].front();
    state.scripts[i].pop_front();
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
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        state.armed = true;
        state.dev = st.st_dev;
        state.ino = st.st_ino;
    }
}

void script(Op op, std::vector<Outcome> outcomes)
{
    state.scripts[static_cast<int>(op)].assign(outcomes.begin(), outcomes.end());
}

void before_write(std::function<void()> hook)
{
    state.before_write = std::move(hook);
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
    faults::Outcome o = faults::next(Op::read);
    if (o.error != 0) {
        errno = o.error;
        return -1;
    }
    return __real_read(fd, buf, faults::limited(n, o));
}

ssize_t __wrap_write(int fd, const void *buf, size_t n)
{
    if (!faults::is_target(fd))
        return __real_write(fd, buf, n);
    if (faults::state.before_write)
        faults::state.before_write();
    faults::Outcome o = faults::next(Op::write);
    if (o.error != 0) {
        errno = o.error;
        return -1;
    }
    return __real_write(fd, buf, faults::limited(n, o));
}

int __wrap_fcntl(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    bool lock_request = cmd == F_SETLK || cmd == F_SETLKW || cmd == F_SETLK64 || cmd == F_SETLKW64;
    if (lock_request && faults::is_target(fd)) {
        auto *fl = static_cast<struct flock *>(arg);
        faults::Outcome o = faults::next(fl->l_type == F_UNLCK ? Op::unlock : Op::lock);
        if (o.error != 0) {
            errno = o.error;
            return -1;
        }
    }
    return __real_fcntl(fd, cmd, arg);
}
