#include "io_faults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <utility>

extern "C" {
ssize_t __real_read(int fd, void *buf, size_t n);
ssize_t __real_write(int fd, const void *buf, size_t n);
off64_t __real_lseek64(int fd, off64_t offset, int whence);
int __real_fstat64(int fd, struct stat64 *st);
int __real_fcntl(int fd, int cmd, ...);
ssize_t __wrap_read(int fd, void *buf, size_t n);
ssize_t __wrap_write(int fd, const void *buf, size_t n);
off64_t __wrap_lseek64(int fd, off64_t offset, int whence);
int __wrap_fstat64(int fd, struct stat64 *st);
int __wrap_fcntl(int fd, int cmd, ...);
}

namespace faults
{
namespace
{

// The offset of a call that works at none.
constexpr off64_t no_offset = -1;

// One call made on the target.
struct Made {
    Op op;
    off64_t offset;
};

struct State {
    bool armed = false;
    dev_t dev = 0;
    ino64_t ino = 0;
    std::vector<Script> scripts; // with the outcomes still to come
    std::vector<std::pair<Call, std::function<void()>>> hooks;
    std::vector<Made> made;
} state;

bool matches(const Call &call, Op op, off64_t offset)
{
    return call.op == op &&
           (call.at.size < 0 || (offset >= call.at.start && offset - call.at.start < call.at.size));
}

// Whether fd is open on the target. The real calls are used here and below, so that the checks
// and the offsets never count or fail themselves.
bool is_target(int fd)
{
    struct stat64 st;
    return state.armed && __real_fstat64(fd, &st) == 0 && S_ISREG(st.st_mode) &&
           st.st_dev == state.dev && st.st_ino == state.ino;
}

// The offset fd stands at.
off64_t position(int fd)
{
    return __real_lseek64(fd, 0, SEEK_CUR);
}

// The offset a seek of fd lands at; a seek from the end is taken to work at none.
off64_t landing(int fd, off64_t offset, int whence)
{
    return whence == SEEK_SET ? offset : whence == SEEK_CUR ? position(fd) + offset : no_offset;
}

// Runs the hooks of a call of op at offset, records the call and takes its scripted outcome, if
// any; a failure sets errno.
Outcome take(Op op, off64_t offset = no_offset)
{
    // A copy, as a hook may add hooks or clear them.
    const auto hooks = state.hooks;
    for (const auto &[call, hook] : hooks)
        if (matches(call, op, offset))
            hook();
    state.made.push_back({op, offset});
    for (Script &s : state.scripts) {
        if (!matches(s.call, op, offset) || s.outcomes.empty())
            continue;
        Outcome o = s.outcomes.front();
        s.outcomes.erase(s.outcomes.begin());
        if (o.error != 0)
            errno = o.error;
        return o;
    }
    return pass();
}

size_t limited(size_t n, const Outcome &o)
{
    return o.limit >= 0 && static_cast<size_t>(o.limit) < n ? static_cast<size_t>(o.limit) : n;
}

} // namespace

void target(const std::string &path, const std::vector<Script> &scripts)
{
    reset();
    struct stat64 st;
    if (stat64(path.c_str(), &st) == 0) {
        state.armed = true;
        state.dev = st.st_dev;
        state.ino = st.st_ino;
    }
    state.scripts = scripts;
}

void before(Call call, std::function<void()> hook)
{
    state.hooks.emplace_back(call, std::move(hook));
}

int calls(Call call)
{
    int n = 0;
    for (const Made &m : state.made)
        n += matches(call, m.op, m.offset);
    return n;
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
    faults::Outcome o = faults::take(Op::read, faults::position(fd));
    return o.error != 0 ? -1 : __real_read(fd, buf, faults::limited(n, o));
}

ssize_t __wrap_write(int fd, const void *buf, size_t n)
{
    if (!faults::is_target(fd))
        return __real_write(fd, buf, n);
    faults::Outcome o = faults::take(Op::write, faults::position(fd));
    return o.error != 0 ? -1 : __real_write(fd, buf, faults::limited(n, o));
}

off64_t __wrap_lseek64(int fd, off64_t offset, int whence)
{
    if (faults::is_target(fd)) {
        Op op = whence == SEEK_CUR && offset == 0 ? Op::position : Op::seek;
        if (faults::take(op, faults::landing(fd, offset, whence)).error != 0)
            return -1;
    }
    return __real_lseek64(fd, offset, whence);
}

int __wrap_fstat64(int fd, struct stat64 *st)
{
    if (faults::is_target(fd) && faults::take(Op::stat).error != 0)
        return -1;
    return __real_fstat64(fd, st);
}

int __wrap_fcntl(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    bool scripted = true;
    Op op = Op::get_flags;
    if (cmd == F_SETLK || cmd == F_SETLKW || cmd == F_SETLK64 || cmd == F_SETLKW64)
        op = static_cast<struct flock *>(arg)->l_type == F_UNLCK ? Op::unlock : Op::lock;
    else if (cmd == F_SETFL)
        op = Op::set_flags;
    else
        scripted = cmd == F_GETFL;
    if (scripted && faults::is_target(fd) && faults::take(op).error != 0)
        return -1;
    return __real_fcntl(fd, cmd, arg);
}
