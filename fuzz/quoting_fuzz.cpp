// Quoting of arbitrary arguments in every style, with arbitrary per-byte bits and buffer sizes,
// in the POSIX and a UTF-8 locale. Checked: nothing is written at or past the buffer size and
// nothing read past the argument (the address checks see both, the buffers being exactly as
// large as given), the full length is always returned and equals the size-0 measurement, the
// stored prefix and NUL are right, errno is kept, escaping styles print nothing unprintable,
// the slots give the same text, and with unambiguous bits the text decodes to the argument.
#include "check.h"
#include "quoted_text.h"
#include "quoting.h"

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

using namespace support;

namespace
{

// Control bytes in front of the argument: style, flags, buffer size (two bytes), bitmap.
constexpr size_t header_size = 4 + 32;

// Bytes whose backslash keeps the text decodable: not a digit, an escape letter or a mark.
constexpr std::string_view bit_candidates = ":,=+-/%@#~ !$&*;<>[]^_{}|?";

quoting_style style_from(uint8_t b)
{
    static constexpr int32_t styles[] = {0, 1, 2, 3, 4, 5, 6, 7, 255, -1};
    return static_cast<quoting_style>(styles[b % 10]);
}

// Quotes into a heap buffer of exactly size bytes and checks it against the full text.
void check_buffer(size_t size, const char *arg, size_t argsize, const quoting_options &o,
                  std::string_view text)
{
    constexpr char filler = 0x55;
    char *buf = size ? new char[size] : nullptr;
    if (size)
        memset(buf, filler, size);
    errno = 4242;
    size_t len = quotearg_buffer(buf, size, arg, argsize, &o);
    FUZZ_CHECK(errno == 4242);
    FUZZ_CHECK(len == text.size());
    size_t stored = size < len ? size : len;
    FUZZ_CHECK(std::string_view(buf, stored) == text.substr(0, stored));
    if (size > len) {
        FUZZ_CHECK(buf[len] == '\0');
        for (size_t k = len + 1; k < size; ++k)
            FUZZ_CHECK(buf[k] == filler);
    }
    delete[] buf;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < header_size)
        return 0;
    const uint8_t flags = data[1];
    const bool utf8 = flags & 1, nul_terminated = flags & 2, any_bits = flags & 4;
    const bool slots = flags & 8, free_slots = flags & 16;
    // Switching locales is slow: only when the input asks for the other one.
    static int current = -1;
    if (current != utf8) {
        FUZZ_CHECK(setlocale(LC_CTYPE, utf8 ? "C.UTF-8" : "C") != nullptr);
        current = utf8;
    }
    const bool unibyte = MB_CUR_MAX == 1;

    quoting_options o{};
    o.style = style_from(data[0]);
    memcpy(o.char_quoting, data + 4, sizeof o.char_quoting);
    if (!any_bits) {
        quoting_options safe{};
        for (char c : bit_candidates)
            set_char_quoting(&safe, c, 1);
        for (size_t w = 0; w < 8; ++w)
            o.char_quoting[w] &= safe.char_quoting[w];
    }

    // The argument in a block of exactly its own size, its NUL included when it has one.
    std::string_view input(reinterpret_cast<const char *>(data + header_size), size - header_size);
    if (nul_terminated)
        input = input.substr(0, input.find('\0'));
    const size_t stored = input.size() + (nul_terminated ? 1 : 0);
    char *arg = new char[stored]; // an empty block when the argument is empty
    memcpy(arg, input.data(), input.size());
    if (nul_terminated)
        arg[input.size()] = '\0';
    const size_t argsize = nul_terminated ? SIZE_MAX : input.size();

    errno = 4242;
    const size_t len = quotearg_buffer(nullptr, 0, arg, argsize, &o);
    FUZZ_CHECK(errno == 4242);
    char *full = quotearg_alloc(arg, argsize, &o);
    FUZZ_CHECK(errno == 4242);
    FUZZ_CHECK(full[len] == '\0');
    const std::string text(full, len);
    free(full);

    const size_t buffer_size = (size_t{data[2]} << 8 | data[3]) % (len + 3);
    check_buffer(buffer_size, arg, argsize, o, text);
    check_buffer(len, arg, argsize, o, text);

    const auto style = static_cast<uint32_t>(o.style);
    if (style >= quoting_c && style <= quoting_clocale)
        FUZZ_CHECK(harness::printable(text, unibyte));
    if (!any_bits) {
        auto back = harness::unquote(o.style, text);
        FUZZ_CHECK(back.has_value());
        FUZZ_CHECK(*back == input);
    }

    if (slots) {
        // A slot holds the text quoted with the style alone.
        quoting_options plain{};
        plain.style = o.style;
        char *expected = quotearg_alloc(arg, argsize, &plain);
        size_t expected_len = quotearg_buffer(nullptr, 0, arg, argsize, &plain);
        int slot = data[2] % 4;
        errno = 4242;
        char *got = quotearg_n_style_mem(slot, o.style, arg, argsize);
        FUZZ_CHECK(errno == 4242);
        FUZZ_CHECK(memcmp(got, expected, expected_len + 1) == 0);
        free(expected);
    }
    if (free_slots)
        quotearg_free();
    delete[] arg;
    return 0;
}
