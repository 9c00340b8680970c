// Preload library that makes chosen allocations fail, for tests of out-of-memory paths.
//
// FAIL_ALLOC_SIZE=S    count only requests of exactly S bytes
// FAIL_ALLOC_MIN=S     count only requests of at least S bytes
// FAIL_ALLOC_NTH=N     the N-th counted request fails with ENOMEM (default 1)
// Without FAIL_ALLOC_SIZE or FAIL_ALLOC_MIN nothing fails.
#include <cerrno>
#include <cstddef>
#include <cstdlib>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
}

namespace
{

struct Plan {
    bool ready = false;
    bool active = false;
    size_t exact = 0, min = 0;
    bool has_exact = false;
    unsigned long nth = 1, seen = 0;
};
Plan plan;

size_t env_size(const char *name, bool &present)
{
    const char *v = getenv(name);
    present = v != nullptr;
    return v ? static_cast<size_t>(strtoull(v, nullptr, 10)) : 0;
}

// True when this request is the one to fail.
bool should_fail(size_t n)
{
    if (!plan.ready) {
        plan.ready = true;
        bool has_min = false, has_nth = false;
        plan.exact = env_size("FAIL_ALLOC_SIZE", plan.has_exact);
        plan.min = env_size("FAIL_ALLOC_MIN", has_min);
        size_t nth = env_size("FAIL_ALLOC_NTH", has_nth);
        plan.nth = has_nth ? nth : 1;
        plan.active = plan.has_exact || has_min;
    }
    if (!plan.active || (plan.has_exact ? n != plan.exact : n < plan.min))
        return false;
    if (++plan.seen != plan.nth)
        return false;
    errno = ENOMEM;
    return true;
}

} // namespace

extern "C" {

void *malloc(size_t n)
{
    return should_fail(n) ? nullptr : __libc_malloc(n);
}

void *calloc(size_t n, size_t s)
{
    return should_fail(n * s) ? nullptr : __libc_calloc(n, s);
}

void *realloc(void *p, size_t n)
{
    return should_fail(n) ? nullptr : __libc_realloc(p, n);
}
}
