#include "quoting.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "quoting_slots.h"
#include "temp_dir.h"

using namespace support;

namespace
{

// One quoting, written as the argument's bytes and the exact text expected.
struct Case {
    quoting_style style;
    std::string arg;
    std::string want;
    size_t length = SIZE_MAX; // bytes of arg to quote; SIZE_MAX for up to its NUL
};

std::string printable(const std::string &s)
{
    std::string r;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F) {
            r += static_cast<char>(c);
        } else {
            char b[8];
            snprintf(b, sizeof b, "<%02X>", c);
            r += b;
        }
    }
    return r;
}

// Checks quotearg_buffer at every buffer size from 0 to one past the text: the full length is
// returned, the text's prefix is stored, the NUL only when it fits, and nothing beyond. Each
// failure names the row by what.
void expect_buffer(const std::string &arg, size_t argsize, const quoting_options *o,
                   const std::string &want, const std::string &what)
{
    constexpr char canary = 0x55;
    const size_t len = want.size();
    for (size_t size = 0; size <= len + 1; ++size) {
        const std::string at = what + ", buffer size " + std::to_string(size);
        std::vector<char> buf(size + 8, canary);
        size_t r = quotearg_buffer(size ? buf.data() : nullptr, size, arg.data(), argsize, o);
        EXPECT_EQ(r, len) << at;
        size_t stored = std::min(size, len);
        EXPECT_EQ(printable(std::string(buf.data(), stored)), printable(want.substr(0, stored)))
            << at;
        size_t untouched_from = size;
        if (size > len) {
            EXPECT_EQ(buf[len], '\0') << at;
            untouched_from = len + 1;
        }
        for (size_t k = untouched_from; k < buf.size(); ++k)
            ASSERT_EQ(buf[k], canary) << at << ": byte " << k << " written";
    }
}

// The same text through quotearg_buffer, quotearg_alloc and a slot.
void expect_quoted(const Case &c)
{
    const std::string what = "style " + std::to_string(c.style) + " arg " + printable(c.arg);
    quoting_options o{};
    o.style = c.style;
    expect_buffer(c.arg, c.length, &o, c.want, what);

    char *p = quotearg_alloc(c.arg.data(), c.length, &o);
    EXPECT_EQ(printable(std::string(p, c.want.size() + 1)), printable(c.want + '\0')) << what;
    free(p);

    char *s = quotearg_n_style_mem(1, c.style, c.arg.data(), c.length);
    EXPECT_EQ(printable(std::string(s, c.want.size() + 1)), printable(c.want + '\0')) << what;
}

// Sets the locale for the life of the object; back to "C" afterwards.
struct LocaleScope {
    bool ok;
    explicit LocaleScope(const char *name) : ok(setlocale(LC_ALL, name) != nullptr) {}
    ~LocaleScope() { setlocale(LC_ALL, "C"); }
};

class Quoting : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        setlocale(LC_ALL, "C");
        quotearg_free();
        set_quoting_style(nullptr, quoting_literal);
        for (int c = 0; c < 256; ++c)
            set_char_quoting(nullptr, static_cast<char>(c), 0);
    }
    void TearDown() override { quotearg_free(); }
};

const std::string c3 = "\"";

TEST_F(Quoting, EachStyleQuotesAsDocumented)
{
    // One past the last style: a read past the module's table of styles shows in the sanitizer
    // build.
    const auto past_the_last = static_cast<quoting_style>(std::size(quoting_style_vals));
    const auto negative = static_cast<quoting_style>(-1);
    const Case cases[] = {
        // The empty argument in every style.
        {quoting_literal, "", ""},
        {quoting_shell, "", "''"},
        {quoting_shell_always, "", "''"},
        {quoting_c, "", "\"\""},
        {quoting_escape, "", ""},
        {quoting_locale, "", "`'"},
        {quoting_clocale, "", "\"\""},
        // The shell style quotes only what needs it.
        {quoting_shell, "abc", "abc"},
        {quoting_shell, "x#", "x#"},
        {quoting_shell, "a~", "a~"},
        {quoting_shell, "{}", "{}"},
        {quoting_shell, "a{", "a{"},
        {quoting_shell, "@", "@"},
        {quoting_shell, "a\ab\b\v\f\x01\x7f\xff", "a\ab\b\v\f\x01\x7f\xff"},
        {quoting_shell, "a b", "'a b'"},
        {quoting_shell, "it's", "'it'\\''s'"},
        {quoting_shell, "#x", "'#x'"},
        {quoting_shell, "~", "'~'"},
        {quoting_shell, "{", "'{'"},
        {quoting_shell, "}", "'}'"},
        {quoting_shell, "a?", "'a?'"},
        {quoting_shell, "a\nb", "'a\nb'"},
        {quoting_shell, "\t", "'\t'"},
        {quoting_shell, "a\\b", "'a\\b'"},
        {quoting_shell, "x$y", "'x$y'"},
        {quoting_shell, "a|b", "'a|b'"},
        // Only the counted bytes matter: one byte of "{x" is a lone brace.
        {quoting_shell, "{x", "'{'", 1},
        {quoting_shell, "{x", "{x", 2},
        {quoting_shell, "abc", "''", 0},
        // The escaping styles, and the quote marks of the others.
        {quoting_c, "a\\b", c3 + "a\\\\b" + c3},
        {quoting_c, "\n", c3 + "\\n" + c3},
        {quoting_c, "\a\b\t\v\f\r", c3 + "\\a\\b\\t\\v\\f\\r" + c3},
        {quoting_c, "\x01", c3 + "\\001" + c3},
        {quoting_c, "\x7f", c3 + "\\177" + c3},
        {quoting_c, "\xff", c3 + "\\377" + c3},
        {quoting_c, "@", c3 + "@" + c3},
        {quoting_c, "\?\?=", c3 + "?\\?=" + c3},
        {quoting_c, "\?\?(x\?\?)", c3 + "?\\?(x?\\?)" + c3},
        {quoting_c, "\?\?a", c3 + "\?\?a" + c3},
        {quoting_c, "?", c3 + "?" + c3},
        {quoting_c, "\?\?", c3 + "\?\?" + c3},
        {quoting_c, "\?\?=", c3 + "\?\?" + c3, 2},
        {quoting_c, "say \"hi\"", c3 + "say \\\"hi\\\"" + c3},
        {quoting_c, "it's", c3 + "it's" + c3},
        {quoting_escape, "\?\?=", "\?\?="},
        {quoting_escape, "a\"b", "a\"b"},
        {quoting_escape, "a b\n", "a b\\n"},
        {quoting_escape, std::string("a\0b", 3), "a\\000b", 3},
        {quoting_escape, std::string{'\0', '1'}, "\\0001", 2},
        {quoting_literal, std::string("a\0b", 3), std::string("a\0b", 3), 3},
        {quoting_shell_always, "it's", "'it'\\''s'"},
        {quoting_shell_always, "a\\b\n", "'a\\b\n'"},
        {quoting_locale, "it's", "`it\\'s'"},
        {quoting_locale, "`x`", "``x`'"},
        {quoting_clocale, "\?\?=", c3 + "\?\?=" + c3},
        {quoting_clocale, "a\"b'", c3 + "a\\\"b'" + c3},
        // A style out of range quotes literally.
        {past_the_last, "a b\n'\"\\?", "a b\n'\"\\?"},
        {past_the_last, "", ""},
        {negative, "a b\n'\"\\?", "a b\n'\"\\?"},
        {negative, "", ""},
    };
    for (const auto &c : cases)
        expect_quoted(c);
}

TEST_F(Quoting, BitmapAddsBackslashOnlyWhereEscapingIsOn)
{
    struct BitCase {
        quoting_style style;
        char bit;
        std::string arg, want;
    };
    const BitCase cases[] = {
        {quoting_c, ':', "a:b", c3 + "a\\:b" + c3},
        {quoting_escape, ':', "a:b", "a\\:b"},
        {quoting_escape, 'x', "\?\?x", "\?\?\\x"},
        {quoting_c, '=', "\?\?=", c3 + "?\\?\\=" + c3},
        {quoting_escape, ' ', "a b", "a\\ b"},
        {quoting_literal, ':', "a:b", "a:b"},
        {quoting_shell, ':', "a:b", "a:b"},
        {quoting_shell_always, ':', "a:b", "'a:b'"},
        // Escaped bytes and octal bytes never reach the bitmap.
        {quoting_escape, '\n', "\n", "\\n"},
        {quoting_escape, '\x01', "\x01", "\\001"},
    };
    for (const auto &c : cases) {
        quoting_options o{};
        o.style = c.style;
        set_char_quoting(&o, c.bit, 1);
        expect_buffer(c.arg, SIZE_MAX, &o, c.want, printable(c.arg));
    }
}

TEST_F(Quoting, SlotFunctionsQuoteWithTheirOptions)
{
    // Each call is made with the global options in a style and, where bit is not NUL, with a
    // backslash asked before bit; none of the calls changes the global options.
    const struct SlotCase {
        quoting_style global;
        char bit;
        std::function<const char *()> call;
        const char *want;
    } cases[] = {
        {quoting_literal, 0, [] { return quotearg_colon("a:b"); }, "a:b"},
        {quoting_escape, 0, [] { return quotearg_colon("a:b"); }, "a\\:b"},
        {quoting_shell_always, 0, [] { return quotearg_colon("a:b"); }, "'a:b'"},
        {quoting_c, 0, [] { return quotearg_char("a-b", '-'); }, "\"a\\-b\""},
        // Slot 0: a later call in slot 1 leaves the result alone.
        {quoting_escape, 0,
         [] {
             const char *colon = quotearg_colon("a:b");
             quotearg_n(1, "slot 1");
             return colon;
         },
         "a\\:b"},
        {quoting_c, 0, [] { return quotearg("a:b"); }, "\"a:b\""},
        {quoting_escape, 'a', [] { return quotearg("a b"); }, "\\a b"},
        {quoting_escape, 'a', [] { return quotearg_n(2, "a\n"); }, "\\a\\n"},
        // The style functions start from a clear bitmap.
        {quoting_escape, 'a', [] { return quotearg_style(quoting_escape, "a\n"); }, "a\\n"},
        {quoting_escape, 'a', [] { return quotearg_n_style(3, quoting_shell, "a b"); }, "'a b'"},
        {quoting_escape, 'a', [] { return quotearg_n_style_mem(3, quoting_c, "a\0b", 3); },
         "\"a\\000b\""},
    };
    for (const auto &c : cases) {
        set_quoting_style(nullptr, c.global);
        if (c.bit != 0)
            set_char_quoting(nullptr, c.bit, 1);
        quoting_options *before = clone_quoting_options(nullptr);
        EXPECT_STREQ(c.call(), c.want);
        quoting_options *after = clone_quoting_options(nullptr);
        EXPECT_EQ(memcmp(before, after, sizeof *after), 0) << c.want;
        free(before);
        free(after);
        if (c.bit != 0)
            set_char_quoting(nullptr, c.bit, 0);
    }
}

TEST_F(Quoting, OptionsAccessors)
{
    quoting_options o{};
    set_quoting_style(&o, quoting_locale);
    EXPECT_EQ(get_quoting_style(&o), quoting_locale);
    EXPECT_EQ(get_quoting_style(nullptr), quoting_literal);

    // Old bit, then flag 2 clears (only the lowest bit counts) and 3 sets.
    EXPECT_EQ(set_char_quoting(&o, 'q', 1), 0);
    EXPECT_EQ(set_char_quoting(&o, 'q', 1), 1);
    EXPECT_EQ(set_char_quoting(&o, 'q', 2), 1);
    EXPECT_EQ(set_char_quoting(&o, 'q', 0), 0);
    EXPECT_EQ(set_char_quoting(&o, 'q', 3), 0);
    EXPECT_EQ(o.char_quoting['q' / 32], 1u << ('q' % 32));

    quoting_options e{};
    EXPECT_EQ(set_char_quoting(&e, static_cast<char>(0xE9), 1), 0);
    for (int w = 0; w < 8; ++w)
        EXPECT_EQ(e.char_quoting[w], w == 7 ? 1u << 9 : 0u) << "word " << w;

    quoting_options *copy = clone_quoting_options(&o);
    EXPECT_EQ(memcmp(copy, &o, sizeof o), 0);
    free(copy);
    set_char_quoting(nullptr, '#', 1);
    copy = clone_quoting_options(nullptr);
    EXPECT_EQ(copy->style, quoting_literal);
    EXPECT_EQ(copy->char_quoting['#' / 32], 1u << ('#' % 32));
    free(copy);
}

TEST_F(Quoting, StyleNamesAndValues)
{
    const char *names[] = {"literal", "shell", "shell-always", "c", "escape", "locale", "clocale"};
    for (int i = 0; i < 7; ++i) {
        EXPECT_STREQ(quoting_style_args[i], names[i]);
        EXPECT_EQ(quoting_style_vals[i], static_cast<quoting_style>(i));
    }
    EXPECT_EQ(quoting_style_args[7], nullptr);
}

TEST_F(Quoting, SlotBuffersAreReusedAndGrowExactly)
{
    char *first = quotearg_n(1, "abcdef");
    EXPECT_EQ(quoting_slots::count(), 2u);
    EXPECT_EQ(quoting_slots::size(1), 7u);
    EXPECT_EQ(quotearg_n(1, "abc"), first);
    EXPECT_STREQ(first, "abc");
    EXPECT_EQ(quoting_slots::size(1), 7u);
    EXPECT_STREQ(quotearg_n(1, "abcdefghij"), "abcdefghij");
    EXPECT_EQ(quoting_slots::size(1), 11u);
    // Slot 0 was never used by these calls and is still on its static buffer.
    EXPECT_EQ(quoting_slots::buffer(0), quoting_slots::static_buffer());
}

TEST_F(Quoting, SlotZeroStaticBufferAndRelease)
{
    const std::string fits(255, 'x'), too_long(256, 'y');
    EXPECT_EQ(quotearg("short"), quoting_slots::static_buffer());
    EXPECT_EQ(quotearg(fits.c_str()), quoting_slots::static_buffer());
    char *heap = quotearg(too_long.c_str());
    EXPECT_NE(heap, quoting_slots::static_buffer());
    EXPECT_EQ(too_long, heap);
    EXPECT_EQ(quoting_slots::size(0), 257u);
    EXPECT_EQ(quotearg("x"), heap); // never shrinks
    quotearg_free();
    EXPECT_EQ(quotearg("x"), quoting_slots::static_buffer());
    EXPECT_EQ(quoting_slots::count(), 1u);
}

TEST_F(Quoting, FreshModuleGrowsTheVectorToTheIndex)
{
    EXPECT_EQ(quoting_slots::count(), 1u);
    EXPECT_STREQ(quotearg_n(5, "five"), "five");
    EXPECT_EQ(quoting_slots::count(), 6u);
    EXPECT_EQ(quoting_slots::buffer(0), quoting_slots::static_buffer());
    for (size_t n = 1; n < 5; ++n) {
        EXPECT_EQ(quoting_slots::size(n), 0u);
        EXPECT_EQ(quoting_slots::buffer(n), nullptr);
    }
    // Earlier slot results survive the vector's growth.
    char *five = quotearg_n(5, "five");
    quotearg_n(9, "nine");
    EXPECT_STREQ(five, "five");

    const std::string long_text(1000, 'z');
    for (int n = 0; n < 4; ++n)
        EXPECT_EQ(long_text, quotearg_n(n, long_text.c_str()));
    quotearg_free();
    EXPECT_EQ(quoting_slots::count(), 1u);
    EXPECT_EQ(quotearg("short"), quoting_slots::static_buffer());
    EXPECT_EQ(quoting_slots::size(0), 256u);
}

TEST_F(Quoting, NegativeSlotIndexAborts)
{
    EXPECT_EXIT(quotearg_n(-1, "x"), ::testing::KilledBySignal(SIGABRT), "");
    EXPECT_EXIT(quotearg_n_style(-7, quoting_c, "x"), ::testing::KilledBySignal(SIGABRT), "");
}

// Every public call that quotes, with the argument given.
std::vector<std::pair<const char *, std::function<void(const std::string &)>>> quoting_calls()
{
    return {
        {"quotearg_buffer",
         [](const std::string &a) {
             char b[4];
             quotearg_buffer(b, sizeof b, a.data(), a.size(), nullptr);
         }},
        {"quotearg_alloc",
         [](const std::string &a) { free(quotearg_alloc(a.data(), a.size(), nullptr)); }},
        {"quotearg_n", [](const std::string &a) { quotearg_n(4, a.c_str()); }},
        {"quotearg", [](const std::string &a) { quotearg(a.c_str()); }},
        {"quotearg_n_style",
         [](const std::string &a) { quotearg_n_style(2, quoting_locale, a.c_str()); }},
        {"quotearg_n_style_mem",
         [](const std::string &a) { quotearg_n_style_mem(3, quoting_c, a.data(), a.size()); }},
        {"quotearg_style", [](const std::string &a) { quotearg_style(quoting_shell, a.c_str()); }},
        {"quotearg_char", [](const std::string &a) { quotearg_char(a.c_str(), 'x'); }},
        {"quotearg_colon", [](const std::string &a) { quotearg_colon(a.c_str()); }},
        {"clone_quoting_options",
         [](const std::string &) { free(clone_quoting_options(nullptr)); }},
        {"quotearg_free", [](const std::string &) { quotearg_free(); }},
        {"option accessors",
         [](const std::string &a) {
             quoting_options o{};
             set_quoting_style(&o, get_quoting_style(nullptr));
             set_char_quoting(&o, a.empty() ? 'x' : a[0], 1);
         }},
    };
}

TEST_F(Quoting, ErrnoIsKept)
{
    // Invalid and incomplete sequences make the character decoder set errno in UTF-8.
    const std::string args[] = {"plain", "\xff\xfe bad", "ends in \xe2\x82", std::string(300, 'l')};
    LocaleScope utf8("C.UTF-8");
    ASSERT_TRUE(utf8.ok) << "C.UTF-8 is built into the platform library";
    for (auto style : {quoting_escape, quoting_c, quoting_shell}) {
        set_quoting_style(nullptr, style);
        for (const auto &[name, call] : quoting_calls()) {
            for (const auto &a : args) {
                errno = 4711;
                call(a);
                EXPECT_EQ(errno, 4711) << name << " on " << printable(a) << " in style " << style;
            }
        }
    }
}

TEST_F(Quoting, Utf8Locale)
{
    LocaleScope utf8("C.UTF-8");
    ASSERT_TRUE(utf8.ok);
    const Case cases[] = {
        {quoting_c, "\xc3\xa9", c3 + "\xc3\xa9" + c3},
        {quoting_c, "\xc3", c3 + "\\303" + c3},
        {quoting_c, "\xff", c3 + "\\377" + c3},
        {quoting_c,
         "\xc3"
         "a",
         c3 + "\\303a" + c3},
        {quoting_c, "x\xe2\x82", c3 + "x\\342\\202" + c3},
        {quoting_c, std::string("\xe2\x82\0z", 4), c3 + "\\342\\202\\000z" + c3, 4},
        {quoting_c, "\x01", c3 + "\\001" + c3},
        // U+0085, a control character of two bytes.
        {quoting_escape, "\xc2\x85", "\\302\\205"},
        {quoting_locale, "\xe2\x82\xac'", "`\xe2\x82\xac\\''"},
        {quoting_shell, "\xc3\xa9", "\xc3\xa9"},
        {quoting_shell, "\xc3", "\xc3"},
        {quoting_shell, "\xc2\x85", "\xc2\x85"},
        {quoting_shell_always, "\xc3\xa9\xff", "'\xc3\xa9\xff'"},
        {quoting_literal, "\xc3\xff", "\xc3\xff"},
    };
    for (const auto &c : cases)
        expect_quoted(c);
}

// A double-byte locale in which the second byte of a character can be a backslash, generated
// from the platform's locale sources into a temporary directory.
class DoubleByteLocale : public Quoting
{
  protected:
    static void SetUpTestSuite()
    {
        if (geteuid() != 0) {
            reason = "not running as root";
            return;
        }
        scratch = std::make_unique<harness::temp_dir>();
        dir = scratch->path();
        // Compiled locale data is in the byte order of the machine that reads it.
        std::string order = std::endian::native == std::endian::big ? "--big-endian " : "";
        std::string cmd =
            "localedef " + order + "-i zh_CN -f GBK " + dir + "/zh_CN.GBK >/dev/null 2>&1";
        if (system(cmd.c_str()) != 0) {
            reason = "localedef could not generate zh_CN.GBK (is the locales package installed?)";
            return;
        }
        setenv("LOCPATH", dir.c_str(), 1);
        // The generated data only needs to be loaded; other locales come from the system.
        // Converting GBK also needs the C library's conversion module, which a cross
        // toolchain's libraries lack: then the locale loads but decodes nothing.
        mbstate_t state{};
        if (!setlocale(LC_ALL, "zh_CN.GBK"))
            reason = "zh_CN.GBK did not load";
        else if (mbrtowc(nullptr, "\x81\\", 2, &state) != 2)
            reason = "the C library has no GBK conversion module";
        else
            loaded = true;
        unsetenv("LOCPATH");
        setlocale(LC_ALL, "C");
    }
    static void TearDownTestSuite() { scratch.reset(); }
    void SetUp() override
    {
        Quoting::SetUp();
        if (!loaded)
            GTEST_SKIP() << "no double-byte locale: " << reason;
        setenv("LOCPATH", dir.c_str(), 1);
        ASSERT_NE(setlocale(LC_ALL, "zh_CN.GBK"), nullptr);
        unsetenv("LOCPATH");
    }
    void TearDown() override
    {
        setlocale(LC_ALL, "C");
        Quoting::TearDown();
    }
    static inline std::unique_ptr<harness::temp_dir> scratch;
    static inline std::string dir, reason;
    static inline bool loaded = false;
};

TEST_F(DoubleByteLocale, BackslashInsideACharacter)
{
    ASSERT_EQ(MB_CUR_MAX, 2u);
    const std::string with_backslash = "\x81\x5c", with_caret = "a\x81\x5e", plain = "\x81\x40";
    const Case cases[] = {
        // The shell would read the second byte as a backslash.
        {quoting_shell, with_backslash, "'" + with_backslash + "'"},
        {quoting_shell, with_caret, "'" + with_caret + "'"},
        {quoting_shell, plain, plain},
        // Within a character the backslash byte is no escape and stays single.
        {quoting_c, with_backslash, c3 + with_backslash + c3},
        {quoting_escape, with_backslash + "\\", with_backslash + "\\\\"},
        {quoting_c, "\x81", c3 + "\\201" + c3},
        {quoting_c, "\x81\x7f", c3 + "\\201\\177" + c3},
    };
    for (const auto &c : cases)
        expect_quoted(c);
}

} // namespace
