// The reader with a 4096-byte cap: the largest block, and the overflow past it.
#include "record_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace
{

constexpr size_t cap = 4096;

TEST(LineReaderCap, GrowthStopsAtTheCapAndARecordOneByteLongerOverflows)
{
    struct Case {
        size_t length;  // bytes before the newline
        ssize_t result; // of the first call
        size_t size;    // after it
        ssize_t next;   // result of the second call
    } cases[] = {
        {4094, 4095, 4096, 5}, // the longest record: cap - 1 bytes with its newline
        {4095, -1, 4096, 5},   // one byte more: its newline is the byte that needed room
        {6000, -1, 4096, 6000 - 4096 + 1},
    };
    for (const auto &c : cases) {
        std::string input = std::string(c.length, 'x') + "\nnext\n";
        FILE *in = fmemopen(input.data(), input.size(), "r");
        char *p = nullptr;
        size_t n = 0;
        errno = 0;
        ssize_t count = support::internal::read_record(&p, &n, '\n', in, cap);
        EXPECT_EQ(count, c.result) << c.length;
        EXPECT_EQ(n, c.size) << c.length;
        if (count < 0) {
            EXPECT_EQ(errno, EOVERFLOW);
        }
        // After an overflow the 4095 bytes that fitted and the one that needed room are gone.
        EXPECT_EQ(support::internal::read_record(&p, &n, '\n', in, cap), c.next) << c.length;
        free(p);
        fclose(in);
    }
}

} // namespace
