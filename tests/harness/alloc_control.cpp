#include "alloc_control.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace harness
{
namespace
{

unsigned long fail_countdown = 0; // 0: nothing to fail
size_t fail_min_size = 0;
size_t trap_size = SIZE_MAX;

// True when this request is the one to fail; aborts on a trapped size.
bool intercept(size_t n, bool overflow)
{
    if (overflow || n > trap_size) {
        if (trap_size != SIZE_MAX)
            abort();
    }
    if (fail_countdown == 0 || n < fail_min_size || --fail_countdown != 0)
        return false;
    errno = ENOMEM;
    return true;
}

// The allocator these replace: the next definition in the lookup order, which is the C
// library's or, in a sanitizer build, the sanitizer's, whose free the blocks must match.
template <typename F> F next(const char *name)
{
    static F fn = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
    if (fn == nullptr)
        abort();
    return fn;
}

} // namespace

void fail_allocation(unsigned long nth, size_t min_size)
{
    fail_countdown = nth;
    fail_min_size = min_size;
}

void trap_allocations_over(size_t max_size)
{
    trap_size = max_size;
}

void reset_allocations()
{
    fail_countdown = 0;
    trap_size = SIZE_MAX;
}

} // namespace harness

extern "C" {

void *malloc(size_t n)
{
    return harness::intercept(n, false) ? nullptr : harness::next<void *(*)(size_t)>("malloc")(n);
}

void *calloc(size_t n, size_t s)
{
    bool overflow = s != 0 && n > SIZE_MAX / s;
    return harness::intercept(overflow ? SIZE_MAX : n * s, overflow)
               ? nullptr
               : harness::next<void *(*)(size_t, size_t)>("calloc")(n, s);
}

void *realloc(void *p, size_t n)
{
    return harness::intercept(n, false) ? nullptr
                                        : harness::next<void *(*)(void *, size_t)>("realloc")(p, n);
}
}
