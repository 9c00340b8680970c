// The listing loop over a list of lines built from the input, with each vector unit of this
// machine and without one, the reader copying with the same unit, into memory through stdio
// buffers of chosen sizes, against a model that takes the list one byte at a time.
#include "check.h"
#include "lines.h"
#include "record_reader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

// Reads control bytes and line bytes from the front of the input; zeros when it runs out.
struct input {
    const uint8_t *data;
    size_t size;
    size_t next_byte() { return size ? (--size, *data++) : 0; }
};

// The list: each line shares a prefix of chosen length with the line before, then has a chosen
// number of bytes of the input (a pattern once it runs out), up to lengths past the block's first
// size; the last line may go without its newline.
std::string make_list(input &in, bool last_newline)
{
    std::string list, prev;
    while (in.size > 0 && list.size() < 4096) {
        const size_t shared = in.next_byte(), code = in.next_byte();
        const size_t length = code < 192 ? code : (code - 192) * 64 + 192;
        std::string line = prev.substr(0, shared);
        for (size_t i = 0; i < length; ++i)
            line += in.size ? static_cast<char>(in.next_byte()) : static_cast<char>('a' + i % 26);
        list += line;
        list += '\n';
        prev = line;
    }
    if (!last_newline && !list.empty())
        list.pop_back();
    return list;
}

// The pairs of the list, one byte at a time: a line ends before its newline (a last line without
// one keeps all its bytes) and at its first NUL, and its pairs start where it first differs from
// the line before.
std::string model(const std::string &list)
{
    std::string out, prev;
    size_t start = 0;
    while (start < list.size()) {
        const size_t newline = list.find('\n', start);
        const size_t stop = newline == std::string::npos ? list.size() : newline;
        std::string line = list.substr(start, stop - start);
        start = stop + 1;
        line = line.substr(0, line.find('\0'));
        size_t p = 0;
        while (p < line.size() && p < prev.size() && line[p] == prev[p])
            ++p;
        for (; p + 1 < line.size(); p += 2) {
            out += line[p];
            out += line[p + 1];
            out += '\n';
        }
        prev = line;
    }
    return out;
}

// Gives stream a buffer of a size chosen by code: its own, a few bytes, some hundreds, a line's
// buffering (output only) or none.
void set_buffering(FILE *stream, size_t code, size_t size_byte, std::vector<char> &buffer)
{
    switch (code) {
    case 1:
        buffer.resize(size_byte % 64 + 1);
        break;
    case 2:
        buffer.resize(size_byte * 16 + 1);
        break;
    case 3:
        FUZZ_CHECK(setvbuf(stream, nullptr, _IONBF, 0) == 0);
        return;
    case 4:
        buffer.resize(size_byte + 1);
        FUZZ_CHECK(setvbuf(stream, buffer.data(), _IOLBF, buffer.size()) == 0);
        return;
    default:
        return;
    }
    FUZZ_CHECK(setvbuf(stream, buffer.data(), _IOFBF, buffer.size()) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    input in{data, size};
    const size_t control = in.next_byte(), in_size = in.next_byte(), out_size = in.next_byte(),
                 first_size = in.next_byte();
    std::string list = make_list(in, (control & 1) == 0);
    const std::string expected = model(list);

    // One byte more than the list, so that an empty list makes a stream too; room for more than
    // the pairs, so that extra output shows as such. Both streams serve every unit in turn.
    std::vector<char> list_bytes(list.begin(), list.end());
    list_bytes.push_back('\0');
    std::vector<char> sink(2 * list.size() + 64);
    FILE *source = fmemopen(list_bytes.data(), list.size(), "r");
    FILE *listed = fmemopen(sink.data(), sink.size(), "w");
    FUZZ_CHECK(source && listed);
    std::vector<char> in_buffer, out_buffer;
    set_buffering(source, (control >> 1) % 4, in_size, in_buffer);
    set_buffering(listed, (control >> 3) % 5, out_size, out_buffer);
    // Blocks of the program's size, or small ones that the reader grows.
    const size_t block = control & 0x80 ? first_size % 40 + 1 : 1026;

    const int best = static_cast<int>(support::internal::best_vector_unit());
    for (int u = 0; u <= best; ++u) {
        const auto unit = static_cast<bigram::vector_unit>(u);
        support::internal::set_reader_unit(unit);
        rewind(source);
        rewind(listed);
        bigram::line_buffers buffers{static_cast<char *>(malloc(block)), block,
                                     static_cast<char *>(malloc(block)), block};
        FUZZ_CHECK(buffers.line && buffers.prev);
        buffers.prev[0] = '\0';
        FUZZ_CHECK(bigram::list_lines(source, listed, &buffers, unit) == 0);
        FUZZ_CHECK(feof(source));
        FUZZ_CHECK(fflush(listed) == 0 && !ferror(listed));
        FUZZ_CHECK(ftell(listed) == static_cast<long>(expected.size()));
        FUZZ_CHECK(memcmp(sink.data(), expected.data(), expected.size()) == 0);
        // The next unit's pairs must be its own.
        memset(sink.data(), 0, sink.size());
        free(buffers.line);
        free(buffers.prev);
    }
    fclose(listed);
    fclose(source);
    support::internal::set_reader_unit(static_cast<support::internal::vector_unit>(best));
    return 0;
}
