// Quoting of arbitrary arguments in every style, with arbitrary per-byte bits and buffer sizes,
// in the POSIX and a UTF-8 locale. Checked: nothing is written at or past the buffer size and
// nothing read past the argument (the address checks see both, the buffers being exactly as
// large as given), the full length is always returned and equals the size-0 measurement, the
// stored prefix and NUL are right, errno is kept, escaping styles print nothing unprintable,
// the slots give the same text, and with unambiguous bits the text decodes to the argument.
#include "check.h"
#include "quoting.h"

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <optional>
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

// Reverses the backslash escapes; nullopt when malformed or when a bare closing mark appears.
std::optional<std::string> unescape(std::string_view s, char bare_forbidden)
{
    static constexpr std::string_view letters = "abfnrtv", controls = "\a\b\f\n\r\t\v";
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (bare_forbidden != '\0' && c == bare_forbidden)
            return std::nullopt;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == s.size())
            return std::nullopt;
        c = s[i];
        if (c >= '0' && c <= '7') {
            auto octal = [&](size_t k) { return k < s.size() && s[k] >= '0' && s[k] <= '7'; };
            if (!octal(i + 1) || !octal(i + 2))
                return std::nullopt;
            out += static_cast<char>((c - '0') * 64 + (s[i + 1] - '0') * 8 + (s[i + 2] - '0'));
            i += 2;
            continue;
        }
        size_t k = letters.find(c);
        out += k == std::string_view::npos ? c : controls[k];
    }
    return out;
}

std::optional<std::string_view> strip(std::string_view s, char open, char close)
{
    if (s.size() < 2 || s.front() != open || s.back() != close)
        return std::nullopt;
    return s.substr(1, s.size() - 2);
}

std::optional<std::string> unquote_shell_always(std::string_view s)
{
    auto inner = strip(s, '\'', '\'');
    if (!inner)
        return std::nullopt;
    std::string out;
    for (size_t i = 0; i < inner->size(); ++i) {
        if ((*inner)[i] != '\'') {
            out += (*inner)[i];
        } else if (inner->substr(i, 4) == "'\\''") {
            out += '\'';
            i += 3;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

// The argument back from its quoted text.
std::optional<std::string> unquote(quoting_style style, std::string_view s)
{
    switch (static_cast<uint32_t>(style)) {
    case quoting_shell:
        return s.starts_with('\'') ? unquote_shell_always(s) : std::string(s);
    case quoting_shell_always:
        return unquote_shell_always(s);
    case quoting_c:
    case quoting_clocale:
        if (auto inner = strip(s, '"', '"'))
            return unescape(*inner, '"');
        return std::nullopt;
    case quoting_escape:
        return unescape(s, '\0');
    case quoting_locale:
        if (auto inner = strip(s, '`', '\''))
            return unescape(*inner, '\'');
        return std::nullopt;
    default:
        return std::string(s);
    }
}

bool printable(std::string_view s, bool unibyte)
{
    if (unibyte) {
        for (unsigned char c : s)
            if (c < 0x20 || c >= 0x7f)
                return false;
        return true;
    }
    mbstate_t state{};
    for (size_t i = 0; i < s.size();) {
        wchar_t w;
        size_t r = mbrtowc(&w, s.data() + i, s.size() - i, &state);
        if (r == 0 || r > s.size() - i || !iswprint(static_cast<wint_t>(w)))
            return false;
        i += r;
    }
    return true;
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
        FUZZ_CHECK(printable(text, unibyte));
    if (!any_bits) {
        auto back = unquote(o.style, text);
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
