#include "line_reader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "alloc_control.h"
#include "record_copy.h"
#include "record_reader.h"

namespace
{

// A stream over a copy of bytes, closed when the test ends.
struct MemStream {
    std::string bytes;
    FILE *f;
    explicit MemStream(std::string b) : bytes(std::move(b))
    {
        f = fmemopen(bytes.empty() ? nullptr : bytes.data(), bytes.empty() ? 1 : bytes.size(), "r");
        if (bytes.empty())
            fgetc(f); // an empty stream: position it at its end
    }
    ~MemStream() { fclose(f); }
};

// A caller's buffer, freed when the test ends.
// A stream's buffering: setvbuf's mode and size, or -1 for stdio's own.
struct Mode {
    const char *what;
    int mode;
    size_t size;
};

struct Buffer {
    char *p = nullptr;
    size_t n = 0;
    ~Buffer() { free(p); }
};

TEST(LineReader, ReadsRecordsUpToAndIncludingTheDelimiter)
{
    MemStream in("one\ntwo\n\nlast");
    Buffer b;
    const char *records[] = {"one\n", "two\n", "\n", "last"};
    for (const char *want : records) {
        ssize_t count = support::rpl_getline(&b.p, &b.n, in.f);
        ASSERT_EQ(count, static_cast<ssize_t>(strlen(want))) << want;
        EXPECT_STREQ(b.p, want) << want;
        EXPECT_GE(b.n, static_cast<size_t>(count) + 1) << want;
    }
    errno = 0;
    EXPECT_EQ(support::rpl_getline(&b.p, &b.n, in.f), -1);
    EXPECT_EQ(errno, 0);
    EXPECT_STREQ(b.p, "");
}

TEST(LineReader, NoBlockOrABlockOfSizeZeroGetsAFirstBlockOf120Bytes)
{
    struct Case {
        const char *input;
        bool block; // a block of size zero is given, not a null pointer
        ssize_t count;
    } cases[] = {{"", false, -1}, {"abc\n", true, 4}};
    for (const auto &c : cases) {
        MemStream in(c.input);
        Buffer b;
        b.p = c.block ? static_cast<char *>(malloc(16)) : nullptr;
        EXPECT_EQ(support::rpl_getline(&b.p, &b.n, in.f), c.count) << c.input;
        ASSERT_NE(b.p, nullptr) << c.input;
        EXPECT_EQ(b.n, 120u) << c.input;
        EXPECT_STREQ(b.p, c.input);
    }
}

TEST(LineReader, DelimiterIsAnyByteValue)
{
    struct Case {
        int delimiter;
        std::string input, first;
    } cases[] = {
        {':', "a:b:c", "a:"},
        {':', ":rest", ":"}, // delimiter first: count 1
        {0, std::string("ab\0cd", 5), std::string("ab\0", 3)},
        {0xE9, "x\xE9y", "x\xE9"},     // compared as unsigned
        {256 + ':', "a:b:c", "a:b:c"}, // outside 0 to 255: never matches
        {-1, "a\xFF\nb", "a\xFF\nb"},
        // Found after the stream's first buffer is used up: a count of 10,001.
        {0xFF, std::string(10000, 'x') + "\xFFy", std::string(10000, 'x') + "\xFF"},
    };
    for (const auto &c : cases) {
        MemStream in(c.input);
        Buffer b;
        ssize_t count = support::getdelim(&b.p, &b.n, c.delimiter, in.f);
        ASSERT_EQ(count, static_cast<ssize_t>(c.first.size())) << c.delimiter;
        EXPECT_EQ(std::string(b.p, static_cast<size_t>(count)), c.first) << c.delimiter;
        EXPECT_EQ(b.p[count], '\0') << c.delimiter;
    }
}

TEST(LineReader, NulBytesInsideARecordAreCounted)
{
    const std::string rec("a\0b\0\n", 5);
    MemStream in(rec);
    Buffer b;
    ASSERT_EQ(support::rpl_getline(&b.p, &b.n, in.f), 5);
    EXPECT_EQ(std::string(b.p, 5), rec);
}

TEST(LineReader, NullArgumentsGiveEinvalAndChangeNothing)
{
    MemStream in("abc\n");
    Buffer b;
    size_t n = 7;
    char *p = nullptr;
    errno = 0;
    EXPECT_EQ(support::getdelim(nullptr, &n, '\n', in.f), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(support::getdelim(&p, nullptr, '\n', in.f), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(support::rpl_getline(&b.p, &b.n, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(n, 7u);
    EXPECT_EQ(b.p, nullptr);
    EXPECT_EQ(b.n, 0u);
    EXPECT_EQ(support::rpl_getline(&b.p, &b.n, in.f), 4); // nothing was consumed
}

// The size a buffer reaches after reading one record of length bytes, the last of them a
// delimiter or not.
size_t size_after(size_t start, size_t length, bool delimited = false)
{
    MemStream in(std::string(length - delimited, 'x') + (delimited ? "\nnext" : ""));
    Buffer b;
    if (start != 0) {
        b.p = static_cast<char *>(malloc(start));
        b.n = start;
    }
    EXPECT_EQ(support::getdelim(&b.p, &b.n, '\n', in.f), static_cast<ssize_t>(length));
    return b.n;
}

TEST(LineReader, GrowsToTwiceThePreviousSizePlusOne)
{
    struct Case {
        size_t start, length, size;
    } cases[] = {
        {0, 1, 120},        {0, 119, 120},      {0, 120, 241},      {0, 240, 241},
        {0, 241, 483},      {0, 483, 967},      {0, 1000, 1935},    {0, 3000, 3871},
        {1026, 1025, 1026}, {1026, 1026, 2053}, {1026, 2053, 4107}, {1026, 5000, 8215},
        {1, 1, 3},
    };
    // Whole records in the stream's buffer: taken at once while they fit with their NUL.
    const Case delimited[] = {
        {0, 119, 120}, {0, 120, 241},   {1026, 1025, 1026}, {1026, 1026, 2053},
        {1, 1, 3},     {129, 128, 129}, {129, 129, 259},
    };
    for (const auto &c : cases)
        EXPECT_EQ(size_after(c.start, c.length), c.size) << c.start << " " << c.length;
    for (const auto &c : delimited)
        EXPECT_EQ(size_after(c.start, c.length, true), c.size) << c.start << " " << c.length;
}

TEST(LineReader, ResultsDoNotDependOnTheStreamsBufferingOrTheVectorUnit)
{
    // Records that straddle buffer refills, a pushed-back byte, and growth within a run; records
    // at the edges of the copy's 16- and 32-byte steps, of the parts of its first 128-byte window
    // (where the NUL after the record goes) and of the length it leaves to the C library.
    std::string input;
    for (size_t len : {0,  1,  5,   6,   7,   8,   15,  16,  17,  31,  32,  33,  63,  64,  65,
                       95, 96, 118, 119, 120, 121, 126, 127, 128, 255, 256, 257, 289, 500, 3000})
        input += std::string(len, static_cast<char>('a' + len % 26)) + "\n";
    input += "tail";
    const Mode modes[] = {
        {"unbuffered", _IONBF, 0}, {"7-byte buffer", _IOFBF, 7}, {"default", -1, 0}};
    std::vector<std::pair<ssize_t, size_t>> reference;
    const auto best = support::internal::best_vector_unit();
    for (int u = 0; u <= static_cast<int>(best); ++u)
        for (const auto &m : modes) {
            support::internal::set_reader_unit(static_cast<support::internal::vector_unit>(u));
            MemStream in(input);
            char vbuf[7];
            if (m.mode >= 0)
                setvbuf(in.f, m.size ? vbuf : nullptr, m.mode, m.size);
            ungetc(fgetc(in.f), in.f);
            Buffer b;
            std::vector<std::pair<ssize_t, size_t>> seen;
            std::string joined;
            ssize_t count;
            while ((count = support::rpl_getline(&b.p, &b.n, in.f)) > 0) {
                seen.emplace_back(count, b.n);
                joined.append(b.p, static_cast<size_t>(count));
                ASSERT_EQ(b.p[count], '\0') << m.what << ", unit " << u << ", count " << count;
            }
            EXPECT_EQ(joined, input) << m.what << ", unit " << u;
            if (reference.empty())
                reference = seen;
            EXPECT_EQ(seen, reference) << m.what << ", unit " << u;
        }
    support::internal::set_reader_unit(best);
}

TEST(LineReader, RecordCopyStopsAtTheFirstDelimiterWithEveryUnit)
{
    // Every size up to past the hand-off to the C library, the delimiter at every place or at
    // none, another after it now and then: memchr's count, the bytes up to it and the NUL after
    // them. Blocks of exactly the sizes allowed, so that a read or write past them shows.
    std::mt19937 rng(5);
    const auto best = support::internal::best_vector_unit();
    for (int u = 0; u <= static_cast<int>(best); ++u) {
        for (size_t size = 0; size <= 300; ++size) {
            for (size_t at = 0; at <= size; ++at) {
                std::vector<char> src(size), dst(size + 1, '#');
                for (auto &c : src)
                    c = static_cast<char>('a' + rng() % 26);
                if (at < size)
                    src[at] = '\n';
                if (at + 1 < size && rng() % 4 == 0)
                    src[at + 1 + rng() % (size - at - 1)] = '\n';
                const size_t count =
                    support::internal::copy_record(dst.data(), src.data(), size, '\n',
                                                   static_cast<support::internal::vector_unit>(u));
                ASSERT_EQ(count, at < size ? at + 1 : 0) << "unit " << u << ", size " << size;
                if (count) {
                    ASSERT_EQ(memcmp(dst.data(), src.data(), count), 0) << "unit " << u;
                    ASSERT_EQ(dst[count], '\0') << "unit " << u << ", size " << size;
                }
            }
        }
    }
}

TEST(LineReader, ThreadsSharingAStreamEachGetWholeRecords)
{
    // Records of one repeated letter and varied lengths, read by two threads at once through a
    // small buffer, so that refills fall inside records: each record must come out whole.
    std::string input;
    constexpr int records = 20000;
    for (int i = 0; i < records; ++i)
        input += std::string(1 + i % 97, static_cast<char>('a' + i % 26)) + "\n";
    MemStream in(input);
    char vbuf[16];
    setvbuf(in.f, vbuf, _IOFBF, sizeof vbuf);
    std::atomic<int> whole{0}, broken{0};
    auto reader = [&] {
        Buffer b;
        ssize_t count;
        while ((count = support::rpl_getline(&b.p, &b.n, in.f)) > 0) {
            std::string_view r(b.p, static_cast<size_t>(count));
            bool ok = r.back() == '\n' && r.find_first_not_of(r[0]) == r.size() - 1;
            ++(ok ? whole : broken);
        }
    };
    std::thread first(reader), second(reader);
    first.join();
    second.join();
    EXPECT_EQ(broken, 0);
    EXPECT_EQ(whole, records);
}

TEST(LineReader, FailedGrowthKeepsTheBufferAndConsumesTheRecord)
{
    // The byte that needs room (the 120th of the second record, at offset 125) comes from the
    // buffered run, through a stdio refill, or alone from an unbuffered stream.
    const Mode modes[] = {
        {"default buffer", -1, 0},
        {"5-byte buffer, refilled at that byte", _IOFBF, 5},
        {"unbuffered", _IONBF, 0},
    };
    for (const auto &m : modes) {
        MemStream in("short\n" + std::string(200, 'x') + "\n");
        char vbuf[5];
        if (m.mode >= 0)
            setvbuf(in.f, m.size ? vbuf : nullptr, m.mode, m.size);
        Buffer b;
        ASSERT_EQ(support::rpl_getline(&b.p, &b.n, in.f), 6) << m.what;
        char *before = b.p;
        harness::fail_allocation(1, 121);
        errno = 0;
        ssize_t count = support::rpl_getline(&b.p, &b.n, in.f);
        int saved = errno;
        harness::reset_allocations();
        EXPECT_EQ(count, -1) << m.what;
        EXPECT_EQ(saved, ENOMEM) << m.what;
        EXPECT_EQ(b.p, before) << m.what;
        EXPECT_EQ(b.n, 120u) << m.what;
        // The 119 bytes that fitted and the one that needed room are gone.
        EXPECT_EQ(support::rpl_getline(&b.p, &b.n, in.f), 81) << m.what;
    }
}

TEST(LineReader, FailedFirstAllocationLeavesANullBlockOfSize120)
{
    MemStream in("abc\n");
    Buffer b;
    harness::fail_allocation(1);
    ssize_t count = support::rpl_getline(&b.p, &b.n, in.f);
    int saved = errno;
    harness::reset_allocations();
    EXPECT_EQ(count, -1);
    EXPECT_EQ(saved, ENOMEM);
    EXPECT_EQ(b.p, nullptr);
    EXPECT_EQ(b.n, 120u);
    EXPECT_EQ(support::rpl_getline(&b.p, &b.n, in.f), 4); // nothing was read
}

} // namespace
