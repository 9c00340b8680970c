// The lister's prefix comparison, with and without the vector unit, and its pair output into a
// stream's buffer, against the plain byte-by-byte ways.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <random>
#include <string>

#include "pairs.h"
#include "prefix.h"

namespace
{

TEST(Listing, CommonPrefixFindsTheFirstDifferingByte)
{
    // Every length up to a few vector steps, every place of the first difference (or none),
    // sources at every alignment, and bytes that include NUL on either side.
    std::mt19937 rng(3);
    for (size_t n = 0; n <= 80; ++n) {
        for (size_t diff = 0; diff <= n; ++diff) {
            const size_t shift_a = rng() % 8, shift_b = rng() % 8;
            std::string a(shift_a + n, '\0'), b(shift_b + n, '\0');
            for (size_t i = 0; i < n; ++i) {
                const char byte = static_cast<char>(rng() % 4 == 0 ? 0 : rng() % 256);
                a[shift_a + i] = b[shift_b + i] = byte;
            }
            if (diff < n)
                b[shift_b + diff] = static_cast<char>(a[shift_a + diff] ^ (1 + rng() % 255));
            const char *pa = a.data() + shift_a, *pb = b.data() + shift_b;
            EXPECT_EQ(bigram::common_prefix(pa, pb, n), diff) << n;
            EXPECT_EQ(bigram::common_prefix_words(pa, pb, n), diff) << n;
        }
    }
}

// Bytes written so far to the file of stream, and all its bytes once flushed.
size_t written(FILE *stream)
{
    struct stat st;
    return fstat(fileno(stream), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

std::string contents(FILE *stream)
{
    fflush(stream);
    rewind(stream);
    std::string s;
    for (int c; (c = getc(stream)) != EOF;)
        s += static_cast<char>(c);
    return s;
}

TEST(Listing, PairsLeaveTheStreamAsSingleByteWritesWould)
{
    // After fill bytes, pairs that fit the room left in a 16-byte buffer, end at its end, or
    // run past it, on fully buffered, line-buffered and unbuffered streams: the same bytes and
    // the same flushes as putc.
    const std::string source = "abcdefghijklmnopqrstuvwxyz";
    for (int mode : {_IOFBF, _IOLBF, _IONBF}) {
        for (size_t fill = 0; fill <= 17; ++fill) {
            for (size_t pairs = 0; pairs <= 12; ++pairs) {
                SCOPED_TRACE(testing::Message() << mode << " " << fill << " " << pairs);
                FILE *bulk = tmpfile(), *bytes = tmpfile();
                ASSERT_TRUE(bulk && bytes);
                char bulk_buffer[16], bytes_buffer[16];
                setvbuf(bulk, mode == _IONBF ? nullptr : bulk_buffer, mode, 16);
                setvbuf(bytes, mode == _IONBF ? nullptr : bytes_buffer, mode, 16);
                for (size_t i = 0; i < fill; ++i) {
                    putc('.', bulk);
                    putc('.', bytes);
                }
                bigram::put_pairs(bulk, source.data(), pairs);
                for (size_t i = 0; i < pairs; ++i) {
                    putc(source[2 * i], bytes);
                    putc(source[2 * i + 1], bytes);
                    putc('\n', bytes);
                }
                EXPECT_EQ(written(bulk), written(bytes));
                EXPECT_EQ(contents(bulk), contents(bytes));
                fclose(bulk);
                fclose(bytes);
            }
        }
    }
}

} // namespace
