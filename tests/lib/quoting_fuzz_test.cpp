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
#include <iostream>
#include <random>
#include <string>
#include <string_view>

#include "quoted_text.h"

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
            ASSERT_TRUE(harness::printable(text, unibyte)) << text;
        }
        if (check_roundtrip) {
            auto back = harness::unquote(o.style, text);
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
