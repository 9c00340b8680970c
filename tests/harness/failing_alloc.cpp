// Preload library that makes chosen allocations fail, for tests of out-of-memory paths.
//
// FAIL_ALLOC_SIZE=S    count only requests of exactly S bytes
// FAIL_ALLOC_MIN=S     count only requests of at least S bytes (0 counts every request)
// FAIL_ALLOC_NTH=N     the N-th counted request fails with ENOMEM (default 1; 0 fails none)
// FAIL_ALLOC_COUNT_FILE=PATH  at exit, the number of requests counted is written to PATH
// Without FAIL_ALLOC_SIZE or FAIL_ALLOC_MIN nothing fails.
//
// Requests are counted from the library's set-up on, after the C and C++ run-time libraries
// have set themselves up (the environment cannot be read earlier), until the program's own
// exit handlers have run: what the run-time does at exit after them (a coverage build writing
// its counters, say) is not the program's to handle. Requests are handed on to the next
// allocator in the lookup order (the C library's, or a sanitizer's when the program is built
// with one), so blocks stay compatible with that allocator's free. strdup and strndup are
// caught here too: a sanitizer's versions of them do not go through malloc, and the C
// library's do, so both builds count and fail the same requests.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

struct Plan {
    bool active = false;
    size_t exact = 0, min = 0;
    bool has_exact = false;
    unsigned long nth = 1, seen = 0;
    const char *count_file = nullptr;
};
Plan plan;

using malloc_fn = void *(*)(size_t);
using calloc_fn = void *(*)(size_t, size_t);
using realloc_fn = void *(*)(void *, size_t);

// The next allocator's entry points, looked up on first use.
template <typename F> F next(const char *name, F &slot)
{
    if (slot == nullptr) {
        slot = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
        if (slot == nullptr)
            abort();
    }
    return slot;
}
malloc_fn next_malloc;
calloc_fn next_calloc;
realloc_fn next_realloc;

size_t env_size(const char *name, bool &present)
{
    const char *v = getenv(name);
    present = v != nullptr;
    return v ? static_cast<size_t>(strtoull(v, nullptr, 10)) : 0;
}

// Ends counting. Registered just before main runs, so it runs after every exit handler that
// the program registers itself.
void stop_counting()
{
    plan.active = false;
}

using main_fn = int (*)(int, char **, char **);
main_fn program_main;

int counted_main(int argc, char **argv, char **envp)
{
    atexit(stop_counting);
    return program_main(argc, argv, envp);
}

// Reads the plan from the environment when the library is set up.
__attribute__((constructor)) void read_plan()
{
    bool has_min = false, has_nth = false;
    plan.exact = env_size("FAIL_ALLOC_SIZE", plan.has_exact);
    plan.min = env_size("FAIL_ALLOC_MIN", has_min);
    size_t nth = env_size("FAIL_ALLOC_NTH", has_nth);
    plan.nth = has_nth ? nth : 1;
    plan.count_file = getenv("FAIL_ALLOC_COUNT_FILE");
    plan.active = plan.has_exact || has_min;
}

// True when this request is the one to fail.
bool should_fail(size_t n)
{
    if (!plan.active || (plan.has_exact ? n != plan.exact : n < plan.min))
        return false;
    if (++plan.seen != plan.nth)
        return false;
    errno = ENOMEM;
    return true;
}

// Writes the count for a test that first measures how many requests a run makes: at exit, and
// at _exit (caught below), by which a program may end from an exit handler.
__attribute__((destructor)) void report_count()
{
    if (plan.count_file == nullptr)
        return;
    int fd = open(plan.count_file, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return;
    char text[32];
    int n = snprintf(text, sizeof text, "%lu\n", plan.seen);
    if (n > 0 && write(fd, text, static_cast<size_t>(n)) < 0)
        perror("failing_alloc: count file");
    close(fd);
}

} // namespace

extern "C" {

void *malloc(size_t n)
{
    return should_fail(n) ? nullptr : next("malloc", next_malloc)(n);
}

void *calloc(size_t n, size_t s)
{
    return should_fail(n * s) ? nullptr : next("calloc", next_calloc)(n, s);
}

void *realloc(void *p, size_t n)
{
    return should_fail(n) ? nullptr : next("realloc", next_realloc)(p, n);
}

char *strdup(const char *s)
{
    size_t n = strlen(s) + 1;
    auto *copy = static_cast<char *>(malloc(n));
    return copy != nullptr ? static_cast<char *>(memcpy(copy, s, n)) : nullptr;
}

char *strndup(const char *s, size_t limit)
{
    size_t n = strnlen(s, limit);
    auto *copy = static_cast<char *>(malloc(n + 1));
    if (copy == nullptr)
        return nullptr;
    memcpy(copy, s, n);
    copy[n] = '\0';
    return copy;
}

#if defined(__powerpc__)
// PowerPC's start-up takes the program's entry points in a record rather than as arguments,
// and calls main with the auxiliary vector as a fourth argument.
struct startup_info {
    void *sda_base;
    int (*main)(int, char **, char **, void *);
    int (*init)(int, char **, char **, void *);
    void (*fini)();
};
static startup_info counted_startup;

static int counted_powerpc_main(int argc, char **argv, char **envp, void *)
{
    return counted_main(argc, argv, envp);
}

// The C library's start-up, caught to run counted_powerpc_main in place of the program's main.
int __libc_start_main(int argc, char **argv, char **envp, void *auxv, void (*rtld_fini)(),
                      startup_info *info, char **stack_on_entry)
{
    using start_fn = int (*)(int, char **, char **, void *, void (*)(), startup_info *, char **);
    if (info != nullptr) {
        counted_startup = *info;
        // main is called with three arguments, as on other machines.
        program_main = reinterpret_cast<main_fn>(reinterpret_cast<void (*)()>(info->main));
        counted_startup.main = counted_powerpc_main;
        info = &counted_startup;
    }
    auto start = reinterpret_cast<start_fn>(dlsym(RTLD_NEXT, "__libc_start_main"));
    return start(argc, argv, envp, auxv, rtld_fini, info, stack_on_entry);
}
#else
// The C library's start-up, caught to run counted_main in place of the program's main.
int __libc_start_main(main_fn main, int argc, char **argv, void (*init)(), void (*fini)(),
                      void (*rtld_fini)(), void *stack_end)
{
    using start_fn = int (*)(main_fn, int, char **, void (*)(), void (*)(), void (*)(), void *);
    program_main = main;
    auto start = reinterpret_cast<start_fn>(dlsym(RTLD_NEXT, "__libc_start_main"));
    return start(counted_main, argc, argv, init, fini, rtld_fini, stack_end);
}
#endif

// Stops counting, for a coverage build that writes its counters before _exit or abort.
void failing_alloc_stop()
{
    stop_counting();
}

[[noreturn]] void _exit(int status)
{
    report_count();
    plan.count_file = nullptr;
    using exit_fn = void (*)(int);
    reinterpret_cast<exit_fn>(dlsym(RTLD_NEXT, "_exit"))(status);
    __builtin_unreachable();
}
}
