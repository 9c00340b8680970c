// In the coverage build, _exit and abort write the coverage counters first: the paths that end
// a process that way would otherwise count as never run. Linked with --wrap for both.
#include <dlfcn.h>

extern "C" {

void __gcov_dump();
[[noreturn]] void __real__exit(int status);
[[noreturn]] void __real_abort();
}

namespace
{

// Writing the counters allocates. Under the failing-allocation test library those requests are
// not the program's, so that library is told to stop counting first.
void dump_counters()
{
    using stop_fn = void (*)();
    if (auto stop = reinterpret_cast<stop_fn>(dlsym(RTLD_DEFAULT, "failing_alloc_stop")))
        stop();
    __gcov_dump();
}

} // namespace

extern "C" {

[[noreturn]] void __wrap__exit(int status)
{
    dump_counters();
    __real__exit(status);
}

[[noreturn]] void __wrap_abort()
{
    dump_counters();
    __real_abort();
}
}
