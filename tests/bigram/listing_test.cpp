// The lister's prefix comparison and pair output with each vector unit this machine has, and
// without one, against the plain byte-by-byte ways.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "pairs.h"
#include "prefix.h"

namespace
{

using bigram::vector_unit;

// Every unit this machine has, none included: each path is tested on its own, the SSE2 one on
// a machine with AVX2 too.
std::vector<vector_unit> available_units()
{
    std::vector<vector_unit> units;
    for (int u = 0; u <= static_cast<int>(bigram::best_vector_unit()); ++u)
        units.push_back(static_cast<vector_unit>(u));
    return units;
}

// Random bytes, a quarter of them NUL.
std::string random_bytes(std::mt19937 &rng, size_t n)
{
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(rng() % 4 == 0 ? 0 : rng() % 256);
    return s;
}

TEST(Listing, CommonPrefixFindsTheFirstDifferingByte)
{
    // Every length up to a few of the widest steps, every place of the first difference (or
    // none), sources at every alignment, and bytes that include NUL on either side.
    const auto units = available_units();
    std::mt19937 rng(3);
    for (size_t n = 0; n <= 200; ++n) {
        for (size_t diff = 0; diff <= n; ++diff) {
            const size_t shift_a = rng() % 8, shift_b = rng() % 8;
            const std::string bytes = random_bytes(rng, n);
            std::string a = std::string(shift_a, 'a') + bytes,
                        b = std::string(shift_b, 'b') + bytes;
            if (diff < n)
                b[shift_b + diff] = static_cast<char>(a[shift_a + diff] ^ (1 + rng() % 255));
            const char *pa = a.data() + shift_a, *pb = b.data() + shift_b;
            for (auto unit : units)
                ASSERT_EQ(bigram::common_prefix(pa, pb, n, unit), diff)
                    << n << " unit " << static_cast<int>(unit);
            ASSERT_EQ(bigram::common_prefix_words(pa, pb, n), diff) << n;
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

TEST(Listing, LinesListTheirPairsWithEveryUnit)
{
    // Lines of every length up to past the vector unit's windows, sharing any part of the
    // previous line, some with a NUL inside, at every alignment, each listed after fill bytes
    // into a buffer that holds it whole (the vector unit's way) or into one of 64 bytes (the
    // byte-by-byte way), from blocks that end after the reader's newline and NUL or go on with
    // bytes that may be read: the pairs of the plain model, and the line's length.
    struct Buffering {
        size_t size;
        size_t fill;
        size_t slack; // readable bytes after the reader's
    } bufferings[] = {{4096, 0, 0}, {4096, 3, 0}, {64, 20, 0}, {4096, 0, 200}, {4096, 5, 40}};
    std::mt19937 rng(11);
    for (auto unit : available_units()) {
        for (const auto &buffering : bufferings) {
            for (size_t end = 0; end <= 200; ++end) {
                SCOPED_TRACE(testing::Message()
                             << "unit " << static_cast<int>(unit) << " buffer " << buffering.size
                             << " slack " << buffering.slack << " end " << end);
                // The line and the previous one, a NUL after each, each at its own alignment.
                std::string line = random_bytes(rng, end);
                for (auto &c : line)
                    c = c == '\0' && rng() % 8 != 0 ? 'x' : c;
                // Now and then the previous line is the line's start, and the line has a NUL
                // where the previous one ends.
                const size_t shared = rng() % (end + 1);
                if (shared < end && rng() % 8 == 0)
                    line[shared] = '\0';
                std::string prev =
                    line.substr(0, shared) + std::string(rng() % 4 == 0 ? 0 : rng() % 40, 'y');
                for (auto &c : prev)
                    c = c == '\0' ? 'z' : c;
                // As the reader leaves them: the line, its newline and a NUL; the previous line
                // and its NUL. Both blocks go on with the same bytes at the same places, to
                // catch a comparison that runs past the lines.
                const size_t shift = rng() % 16;
                const std::string tail =
                    random_bytes(rng, std::max(end + 2, prev.size() + 1) + buffering.slack);
                std::string line_block = tail, prev_block = tail;
                line_block.replace(0, end + 2, line + std::string("\n", 2));
                prev_block.replace(0, prev.size() + 1, prev + '\0');
                line_block.insert(0, shift, '-');
                const size_t readable = tail.size();

                size_t p = 0;
                while (p < line.size() && p < prev.size() && line[p] == prev[p])
                    ++p;
                const size_t len = std::min(line.size(), line.find('\0'));
                std::string want(buffering.fill, '.');
                for (size_t q = p; q + 1 < len; q += 2)
                    want += line.substr(q, 2) + "\n";

                FILE *out = tmpfile();
                ASSERT_TRUE(out);
                std::vector<char> buffer(buffering.size);
                setvbuf(out, buffer.data(), _IOFBF, buffer.size());
                for (size_t i = 0; i < buffering.fill; ++i)
                    putc('.', out);
                EXPECT_EQ(bigram::list_pairs(out, line_block.data() + shift, end, prev_block.data(),
                                             prev.size(), readable, unit),
                          len);
                EXPECT_EQ(contents(out), want);
                fclose(out);
            }
        }
    }
}

} // namespace
