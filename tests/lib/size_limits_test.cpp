// Sizes at the limits of a 32-bit size_t: the allocators' overflow tests, the quoting slot
// vector and the line reader's 2^31-byte cap. Each case states what a 32-bit and a 64-bit
// size_t give, and the allocator in the child tells whether it was asked, and for how much.
#include "diagnostics.h"
#include "line_reader.h"
#include "quoting.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "alloc_control.h"
#include "run_program.h"

namespace
{

constexpr bool narrow = sizeof(size_t) == 4;
// A slot record of the quoting module: a size and a buffer pointer.
constexpr size_t slot_record = sizeof(size_t) + sizeof(char *);
constexpr uint64_t asks_nothing = 0;

// Runs call in a child in which only an allocation request of exactly `asked` bytes gets
// through to the failing allocator (a larger one aborts, a smaller one is served), or in which
// any request over 1 MiB aborts when asked is asks_nothing. Either way the expected end is
// "memory exhausted" with status 1: a request of another size shows up as a signal (the
// allocator was asked for another size) or as the call returning.
void expect_exhausted(const char *what, uint64_t asked, const std::function<void()> &call)
{
    auto r = harness::run_function([&] {
        support::program_name = "P";
        if (asked == asks_nothing) {
            harness::trap_allocations_over(1 << 20);
        } else {
            harness::trap_allocations_over(static_cast<size_t>(asked));
            harness::fail_allocation(1, static_cast<size_t>(asked));
        }
        call();
        fputs("returned", stderr);
        return 0;
    });
    harness::expect_run(r, 1, "", "P: memory exhausted\n", what);
}

TEST(SizeLimits, AllocatorsRefuseSizesTooLargeForSizeT)
{
    struct Case {
        const char *what;
        uint64_t asked_narrow, asked_wide; // bytes asked of the allocator, or asks_nothing
        std::function<void()> call;
    };
    char byte = 0;
    const Case cases[] = {
        {"x2realloc of 0xAAAAAAAA bytes", asks_nothing, 0xFFFFFFFF,
         [&] {
             size_t n = 0xAAAAAAAA;
             support::x2realloc(&byte, &n);
         }},
        {"x2realloc of the largest size that may grow", SIZE_MAX - 1, SIZE_MAX - 1,
         [&] {
             size_t n = SIZE_MAX / 3 * 2 - 1;
             support::x2realloc(&byte, &n);
         }},
        {"xcalloc of 2^16 by 2^16 + 1", asks_nothing, 0x100010000,
         [] { support::xcalloc(0x10000, 0x10001); }},
        {"xcalloc of 2^31 by 2", asks_nothing, 0x100000000,
         [] { support::xcalloc(0x80000000, 2); }},
        {"xcalloc of 2^16 - 1 by 2^16 + 1", 0xFFFFFFFF, 0xFFFFFFFF,
         [] { support::xcalloc(0xFFFF, 0x10001); }},
    };
    for (const auto &c : cases)
        expect_exhausted(c.what, narrow ? c.asked_narrow : c.asked_wide, c.call);
}

TEST(SizeLimits, QuotingSlotVectorThatWouldNotFitIsRefused)
{
    // The largest slot index whose vector still fits in size_t bytes on a 32-bit size_t, and
    // the one after it. With a 64-bit size_t no int index overflows, and both are asked for.
    constexpr int fits = 0xFFFFFFFF / (4 + 4) - 1;
    struct Case {
        const char *what;
        int index;
        uint64_t asked_narrow, asked_wide;
    } cases[] = {
        {"last index that fits", fits, uint64_t{fits + 1} * 8, uint64_t{fits + 1} * slot_record},
        {"first index that does not", fits + 1, asks_nothing, uint64_t{fits + 2} * slot_record},
    };
    for (const auto &c : cases)
        expect_exhausted(c.what, narrow ? c.asked_narrow : c.asked_wide,
                         [&] { support::quotearg_n(c.index, "x"); });
}

// Reads one endless record (no newline in /dev/zero) into a caller's block of `size` bytes;
// growth to fail_at bytes fails and growth past it aborts. The child prints the result, errno
// and the size afterwards.
harness::RunResult read_endless_record(size_t size, size_t fail_at)
{
    return harness::run_function([=] {
        FILE *zero = fopen("/dev/zero", "r");
        if (zero == nullptr || setvbuf(zero, nullptr, _IOFBF, 1 << 20) != 0)
            return 2;
        size_t n = size;
        char *block = static_cast<char *>(malloc(n));
        if (block == nullptr)
            return 3;
        if (fail_at != 0) {
            harness::trap_allocations_over(fail_at);
            harness::fail_allocation(1, fail_at);
        }
        errno = 0;
        ssize_t count = support::rpl_getline(&block, &n, zero);
        int err = errno;
        harness::reset_allocations();
        printf("%zd %d %zu", count, err, n);
        free(block);
        fclose(zero);
        return 0;
    });
}

TEST(SizeLimits, LineReaderStopsAtTwoGibibytes)
{
    struct Case {
        const char *what;
        size_t first;   // the caller's block
        size_t fail_at; // growth to this size fails (0: none)
        std::string want;
    } cases[] = {
        // 2n + 1 is asked for up to the cap...
        {"growth below the cap", 0x3FFFFFFF, 0x7FFFFFFF,
         "-1 " + std::to_string(ENOMEM) + " 1073741823"},
        // ...then exactly the cap, and a record that would need more overflows.
        {"growth to the cap", 0x40000000, 0x80000000,
         "-1 " + std::to_string(ENOMEM) + " 1073741824"},
        // A 32-bit platform allocator refuses any block larger than PTRDIFF_MAX, so there the
        // growth to the cap itself fails and the record ends at 2^30 bytes.
        {"a record longer than 2^31 - 1 bytes", 0x40000000, 0,
         narrow ? "-1 " + std::to_string(ENOMEM) + " 1073741824"
                : "-1 " + std::to_string(EOVERFLOW) + " 2147483648"},
    };
    for (const auto &c : cases)
        harness::expect_run(read_endless_record(c.first, c.fail_at), 0, c.want, "", c.what);
}

} // namespace
