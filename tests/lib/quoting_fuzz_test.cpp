// Random arguments, styles and buffer sizes: quoting stays inside the buffer it is given and the
// argument it is given, always reports the full length, and its escapes decode to the argument.
#include "quoting.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <string_view>

using namespace support;

namespace
{

// Two pages, the second inaccessible: bytes placed at the end of the first can be read or
// written only up to the boundary.
struct GuardedPage {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    char *base = nullptr;
    GuardedPage()
    {
        void *p =
            mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            return;
        base = static_cast<char *>(p);
        if (mprotect(base + page, page, PROT_NONE) != 0) {
            munmap(base, 2 * page);
            base = nullptr;
        }
    }
    ~GuardedPage()
    {
        if (base)
            munmap(base, 2 * page);
    }
    GuardedPage(const GuardedPage &) = delete;
    GuardedPage &operator=(const GuardedPage &) = delete;
    // Room for n bytes that end at the inaccessible page.
    char *tail(size_t n) { return base + page - n; }
};

// Reverses the backslash escapes of the escaping styles; nullopt when the text is malformed,
// including a bare closing mark inside it.
std::optional<std::string> unescape(std::string_view s, char bare_forbidden)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == bare_forbidden)
            return std::nullopt;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == s.size())
            return std::nullopt;
        c = s[i];
        if (c >= '0' && c <= '7') {
            if (i + 2 >= s.size() || s[i + 1] < '0' || s[i + 1] > '7' || s[i + 2] < '0' ||
                s[i + 2] > '7')
                return std::nullopt;
            out += static_cast<char>((c - '0') * 64 + (s[i + 1] - '0') * 8 + (s[i + 2] - '0'));
            i += 2;
            continue;
        }
        static constexpr std::string_view letters = "abfnrtv", controls = "\a\b\f\n\r\t\v";
        size_t k = letters.find(c);
        out += k == std::string_view::npos ? c : controls[k];
    }
    return out;
}

// Strips open and close marks; nullopt when they are missing.
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

// The argument back from its quoted text, for the styles' byte-level syntax.
std::optional<std::string> unquote(quoting_style style, std::string_view s)
{
    switch (static_cast<std::uint32_t>(style)) {
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

// True when every character of s is printable in the current locale.
bool all_printable(std::string_view s)
{
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

// Bytes that make quoting interesting, drawn more often than the rest.
constexpr std::string_view interesting{"\0\a\b\t\n\v\f\r\x01\x1f\x7f\x80\xff\xc3\xa9\xe2\x82\xac"
                                       "\x81\x5c\x40 !\"#$&'()*;<=>?[]^`{}|~:",
                                       46};
// Bytes whose bit may be set without making the escapes ambiguous: not a digit, not an escape
// letter, not a quote mark.
constexpr std::string_view bit_candidates = ":,=+-/%@#~ !$&*;<>[]^_{}|?";

void fuzz(const char *locale, bool check_roundtrip, std::mt19937 &rng)
{
    ASSERT_NE(setlocale(LC_ALL, locale), nullptr) << locale;
    GuardedPage arg_page, out_page;
    ASSERT_TRUE(arg_page.base && out_page.base);
    const bool unibyte = MB_CUR_MAX == 1;

    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    for (int round = 0; round < 40000 && std::chrono::steady_clock::now() < deadline; ++round) {
        std::string arg;
        const size_t n = pick(24);
        for (size_t k = 0; k < n; ++k)
            arg += static_cast<char>(pick(2) ? interesting[pick(interesting.size())] : pick(256));
        const bool nul_terminated = pick(2) == 0;
        if (nul_terminated)
            arg.erase(std::remove(arg.begin(), arg.end(), '\0'), arg.end());
        const size_t argsize = nul_terminated ? SIZE_MAX : arg.size();

        quoting_options o{};
        o.style = static_cast<quoting_style>(pick(10) == 0 ? -1 : static_cast<int>(pick(9)));
        for (size_t k = pick(4); k > 0; --k)
            set_char_quoting(&o, bit_candidates[pick(bit_candidates.size())], 1);

        // The argument ends at the inaccessible page, its NUL included when it has one.
        const size_t stored = arg.size() + (nul_terminated ? 1 : 0);
        char *a = arg_page.tail(stored);
        memcpy(a, arg.c_str(), stored);

        SCOPED_TRACE(testing::Message() << "locale " << locale << " style " << o.style
                                        << " argsize " << argsize << " round " << round);
        const size_t len = quotearg_buffer(nullptr, 0, a, argsize, &o);
        char *full = quotearg_alloc(a, argsize, &o);
        ASSERT_EQ(full[len], '\0');
        const std::string text(full, len);
        free(full);

        // Any buffer size, the buffer ending at the inaccessible page.
        const size_t size = pick(len + 3);
        char *buf = out_page.tail(size);
        memset(buf, 0x55, size);
        ASSERT_EQ(quotearg_buffer(size ? buf : nullptr, size, a, argsize, &o), len);
        ASSERT_EQ(std::string_view(buf, std::min(size, len)),
                  std::string_view(text).substr(0, size));
        if (size > len) {
            ASSERT_EQ(buf[len], '\0');
        }

        const auto style = static_cast<std::uint32_t>(o.style);
        const bool escaping = style >= quoting_c && style <= quoting_clocale;
        if (escaping) {
            // Nothing unprintable reaches a diagnostic.
            if (unibyte) {
                for (unsigned char c : text)
                    ASSERT_TRUE(c >= 0x20 && c < 0x7f) << "byte " << int(c);
            } else {
                ASSERT_TRUE(all_printable(text));
            }
        }
        if (check_roundtrip) {
            auto back = unquote(o.style, text);
            ASSERT_TRUE(back.has_value()) << "malformed: " << text;
            ASSERT_EQ(*back, arg);
        }
    }
}

std::mt19937 seeded_rng()
{
    const char *env = getenv("QUOTING_FUZZ_SEED");
    unsigned seed = env ? static_cast<unsigned>(strtoul(env, nullptr, 10)) : std::random_device{}();
    std::cerr << "quoting fuzz seed " << seed << " (set QUOTING_FUZZ_SEED to repeat)\n";
    return std::mt19937(seed);
}

TEST(QuotingFuzz, SingleByteLocale)
{
    auto rng = seeded_rng();
    fuzz("C", true, rng);
}

TEST(QuotingFuzz, Utf8Locale)
{
    auto rng = seeded_rng();
    // UTF-8 never hides an ASCII byte inside a character, so the escapes decode byte by byte.
    fuzz("C.UTF-8", true, rng);
    setlocale(LC_ALL, "C");
}

} // namespace
