// The line reader over arbitrary stream contents, delimiters, starting blocks and stdio buffer
// sizes, against a model that splits the contents into records. Built twice: getdelim and
// rpl_getline with the real cap on the block, and the reader behind them with a small cap
// (SMALL_CAP) where too-long records are common.
#include "check.h"
#include "line_reader.h"
#include "record_reader.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{

#ifdef SMALL_CAP
constexpr size_t cap = SMALL_CAP;
#else
constexpr size_t cap = support::internal::record_cap;
#endif

// Control bytes in front of the stream contents.
struct reader_setup {
    int delimiter;      // passed to getdelim; 256 and above, or negative, never matches
    bool use_getline;   // read with rpl_getline (delimiter newline)
    char *block;        // the starting block, or null
    size_t size;        // its claimed size
    int buffering;      // _IOFBF or _IONBF
    size_t buffer_size; // stdio buffer for _IOFBF, 0 for the default
};

reader_setup decode(const uint8_t *c)
{
    reader_setup s{c[0], false, nullptr, 0, _IOFBF, 0};
    switch (c[1] & 3) {
    case 1:
        s.use_getline = true;
        s.delimiter = '\n';
        break;
    case 2:
        s.delimiter = c[0] & 1 ? 256 + c[0] : -1 - c[0];
        break;
    default:
        break;
    }
    switch ((c[1] >> 2) & 3) {
    case 1: // no block, any size
        s.size = c[2];
        break;
    case 2: // a block of the caller's
        s.size = c[2] + size_t{1};
        s.block = static_cast<char *>(malloc(s.size));
        break;
    case 3: // a block with size 0 is replaced through realloc
        s.block = static_cast<char *>(malloc(16));
        break;
    default:
        break;
    }
    switch ((c[1] >> 4) & 3) {
    case 1:
        s.buffering = _IONBF;
        break;
    case 2:
        s.buffer_size = c[3] % 64 + 1;
        break;
    case 3:
        s.buffer_size = c[3] * size_t{16} + 1;
        break;
    default:
        break;
    }
    return s;
}

// One record from stream into the setup's block.
ssize_t read_one(reader_setup &s, FILE *stream)
{
#ifdef SMALL_CAP
    return support::internal::read_record(&s.block, &s.size, s.delimiter, stream, cap);
#else
    return s.use_getline ? support::rpl_getline(&s.block, &s.size, stream)
                         : support::getdelim(&s.block, &s.size, s.delimiter, stream);
#endif
}

// True when size is reached from before by the reader's growth steps (2n + 1, at most cap).
bool grown_from(size_t before, size_t size)
{
    for (size_t s = before;; s = 2 * s + 1 > cap ? cap : 2 * s + 1) {
        if (s == size)
            return true;
        if (s >= size || s >= cap)
            return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    reader_setup s = decode(data);
    std::vector<char> contents(data + 4, data + size);
    FILE *stream = fmemopen(contents.data(), contents.size(), "r");
    FUZZ_CHECK(stream != nullptr);
    std::vector<char> stdio_buffer(s.buffer_size);
    if (s.buffering == _IONBF || s.buffer_size > 0)
        FUZZ_CHECK(setvbuf(stream, s.buffer_size ? stdio_buffer.data() : nullptr, s.buffering,
                           s.buffer_size) == 0);

    const bool matchable = s.delimiter >= 0 && s.delimiter <= 255;
    size_t pos = 0;
    for (;;) {
        size_t before = s.block && s.size ? s.size : 120;
        size_t limit = before > cap ? before : cap;
        errno = 0;
        ssize_t got = read_one(s, stream);
        FUZZ_CHECK(s.block != nullptr);
        FUZZ_CHECK(grown_from(before, s.size));
        if (pos == contents.size()) {
            FUZZ_CHECK(got == -1);
            FUZZ_CHECK(s.block[0] == '\0');
            break;
        }
        const char *rest = contents.data() + pos;
        size_t left = contents.size() - pos;
        const void *hit = matchable ? memchr(rest, s.delimiter, left) : nullptr;
        size_t length = hit ? static_cast<size_t>(static_cast<const char *>(hit) - rest) + 1 : left;
        if (length <= limit - 1) {
            FUZZ_CHECK(got == static_cast<ssize_t>(length));
            FUZZ_CHECK(s.size >= length + 1);
            FUZZ_CHECK(memcmp(s.block, rest, length) == 0);
            FUZZ_CHECK(s.block[length] == '\0');
            pos += length;
        } else {
            // The record does not fit under the cap: the bytes that fit and the one that needed
            // room are consumed, and the next call goes on after them.
            FUZZ_CHECK(got == -1);
            FUZZ_CHECK(errno == EOVERFLOW);
            FUZZ_CHECK(memcmp(s.block, rest, limit - 1) == 0);
            pos += limit;
        }
    }
    fclose(stream);
    free(s.block);
    return 0;
}
