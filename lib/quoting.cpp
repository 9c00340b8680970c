#include "quoting.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string_view>

#include "diagnostics.h"
#include "quoting_slots.h"

namespace support
{

const char *const quoting_style_args[8] = {"literal", "shell",  "shell-always", "c",
                                           "escape",  "locale", "clocale",      nullptr};
const quoting_style quoting_style_vals[7] = {quoting_literal, quoting_shell,  quoting_shell_always,
                                             quoting_c,       quoting_escape, quoting_locale,
                                             quoting_clocale};

static_assert(sizeof(quoting_style) == 4);
static_assert(sizeof(quoting_options) == 36);

namespace
{

// A result buffer of the slot scheme.
struct quote_slot {
    size_t size;
    char *buffer;
};

constexpr size_t static_slot_size = 256;

quoting_options global_quoting_options{};
char static_slot_buffer[static_slot_size];
quote_slot static_quote_slot{static_slot_size, static_slot_buffer};
quote_slot *quote_slots = &static_quote_slot;
size_t quote_slot_count = 1;

// Keeps errno as it was on entry, whatever the calls in between do to it.
struct errno_keeper {
    int saved = errno;
    ~errno_keeper() { errno = saved; }
};

// Tab, line feed, carriage return, backslash and the sixteen shell-special bytes outside a
// multibyte character, and these five inside one, make the shell style quote the argument.
constexpr std::string_view shell_special = " !\"$&()*;<=>[^`|";
constexpr std::string_view shell_special_in_character = "[\\^`|";
// A second question mark followed by one of these is escaped in the C style.
constexpr std::string_view question_pair_ends = "!'()-/<=>";
// Bytes that pass through the final check without further tests.
constexpr std::string_view plain_punctuation = "%+,-./:]_";

bool contains(std::string_view set, unsigned char c)
{
    return c != '\0' && set.find(static_cast<char>(c)) != std::string_view::npos;
}

// The letter of a one-letter escape, or 0.
char escape_letter(unsigned char c)
{
    switch (c) {
    case '\a':
        return 'a';
    case '\b':
        return 'b';
    case '\t':
        return 't';
    case '\n':
        return 'n';
    case '\v':
        return 'v';
    case '\f':
        return 'f';
    case '\r':
        return 'r';
    case '\\':
        return '\\';
    default:
        return 0;
    }
}

bool is_plain(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           contains(plain_punctuation, c);
}

bool bit_is_set(const quoting_options *o, unsigned char c)
{
    return (o->char_quoting[c / 32] >> (c % 32)) & 1;
}

// The double quote for the clocale style, mark otherwise.
const char *quote_mark_for_style(const char *mark, quoting_style style)
{
    return style == quoting_clocale ? "\"" : mark;
}

quoting_options quoting_options_for_style(quoting_style style)
{
    quoting_options o{};
    o.style = style;
    return o;
}

// Quotes arg in style, with only o's bitmap taken from the options. Stores no byte at or past
// size and returns the full length; the NUL is stored only when it fits.
size_t quotearg_buffer_with_style(char *buffer, size_t size, const char *arg, size_t argsize,
                                  quoting_style style, const quoting_options *o)
{
    const size_t given_argsize = argsize;
    const bool unibyte = MB_CUR_MAX == 1;
    size_t len = 0;
    auto emit = [&](unsigned char c) {
        if (len < size)
            buffer[len] = static_cast<char>(c);
        ++len;
    };
    // The shell style gives way to shell-always as soon as anything needs quoting.
    auto restart = [&] {
        return quotearg_buffer_with_style(buffer, size, arg, given_argsize, quoting_shell_always,
                                          o);
    };
    auto byte = [&](size_t k) { return static_cast<unsigned char>(arg[k]); };

    bool escaping = false;
    std::string_view closing;
    switch (static_cast<std::uint32_t>(style)) {
    case quoting_shell_always:
        emit('\'');
        closing = "'";
        break;
    case quoting_c:
        emit('"');
        closing = "\"";
        escaping = true;
        break;
    case quoting_escape:
        escaping = true;
        break;
    case quoting_locale:
    case quoting_clocale:
        for (const char *p = quote_mark_for_style("`", style); *p; ++p)
            emit(static_cast<unsigned char>(*p));
        closing = quote_mark_for_style("'", style);
        escaping = true;
        break;
    default:
        break;
    }
    const bool shell = style == quoting_shell;

    size_t i = 0;
    for (; argsize == SIZE_MAX ? arg[i] != '\0' : i < argsize; ++i) {
        if (escaping && !closing.empty() &&
            (argsize == SIZE_MAX || i + closing.size() <= argsize) &&
            memcmp(arg + i, closing.data(), closing.size()) == 0)
            emit('\\');

        unsigned char ch = byte(i);
        if (ch == '\0') {
            if (!escaping) {
                emit(ch);
                continue;
            }
            // The third zero goes through the final check like any other.
            emit('\\');
            emit('0');
            emit('0');
            ch = '0';
        } else if (char letter = escape_letter(ch)) {
            if (shell && letter != 'a' && letter != 'b' && letter != 'v' && letter != 'f')
                return restart();
            if (escaping) {
                emit('\\');
                emit(static_cast<unsigned char>(letter));
            } else {
                emit(ch);
            }
            continue;
        } else if (ch == '?') {
            if (shell)
                return restart();
            if (style == quoting_c && i + 2 < argsize && byte(i + 1) == '?' &&
                contains(question_pair_ends, byte(i + 2))) {
                emit('?');
                emit('\\');
                emit('?');
                ch = byte(i + 2);
                i += 2;
            }
        } else if (ch == '\'') {
            if (shell)
                return restart();
            if (style == quoting_shell_always) {
                emit('\'');
                emit('\\');
                emit('\'');
            }
        } else if (contains(shell_special, ch) || ((ch == '#' || ch == '~') && i == 0) ||
                   ((ch == '{' || ch == '}') &&
                    (argsize == SIZE_MAX ? arg[1] == '\0' : argsize == 1))) {
            if (shell)
                return restart();
        } else if (!is_plain(ch) && ch != '#' && ch != '~' && ch != '{' && ch != '}') {
            // How many bytes make up the character at i, and whether it is printable.
            size_t m = 1;
            bool printable = true;
            if (unibyte) {
                printable = isprint(ch) != 0;
            } else {
                m = 0;
                mbstate_t state{};
                if (argsize == SIZE_MAX)
                    argsize = strlen(arg);
                for (;;) {
                    wchar_t w;
                    size_t r = mbrtowc(&w, arg + i + m, argsize - (i + m), &state);
                    if (r == 0)
                        break;
                    if (r == static_cast<size_t>(-1)) {
                        printable = false;
                        break;
                    }
                    if (r == static_cast<size_t>(-2)) {
                        printable = false;
                        while (i + m < argsize && arg[i + m] != '\0')
                            ++m;
                        break;
                    }
                    if (shell && r > 1)
                        for (size_t k = i + m + 1; k < i + m + r; ++k)
                            if (contains(shell_special_in_character, byte(k)))
                                return restart();
                    if (!iswprint(static_cast<wint_t>(w)))
                        printable = false;
                    m += r;
                    if (mbsinit(&state))
                        break;
                }
            }
            if (m > 1 || (escaping && !printable)) {
                // The whole character: unchanged, or each byte in octal when unprintable.
                const size_t n = m > 1 ? m : 1;
                for (size_t k = i; k < i + n; ++k) {
                    unsigned char b = byte(k);
                    if (escaping && !printable) {
                        emit('\\');
                        emit('0' + (b >> 6));
                        emit('0' + ((b >> 3) & 7));
                        emit('0' + (b & 7));
                    } else {
                        emit(b);
                    }
                }
                i += n - 1;
                continue;
            }
            if (!escaping) {
                emit(ch);
                continue;
            }
        }
        // The final check: a backslash before bytes whose bit is set.
        if (escaping && bit_is_set(o, ch))
            emit('\\');
        emit(ch);
    }

    if (i == 0 && shell)
        return restart();
    for (char c : closing)
        emit(static_cast<unsigned char>(c));
    if (len < size)
        buffer[len] = '\0';
    return len;
}

// Quotes arg into slot n, growing the vector and the slot's buffer as needed.
char *quote_into_slot(int n, const char *arg, size_t argsize, const quoting_options *o)
{
    errno_keeper keep;
    if (n < 0)
        abort();
    const auto index = static_cast<size_t>(n);
    if (index >= quote_slot_count) {
        const size_t count = index + 1;
        if (count > SIZE_MAX / sizeof(quote_slot))
            xalloc_die();
        if (quote_slots == &static_quote_slot) {
            quote_slots = static_cast<quote_slot *>(xrealloc(nullptr, count * sizeof(quote_slot)));
            quote_slots[0] = static_quote_slot;
        } else {
            quote_slots =
                static_cast<quote_slot *>(xrealloc(quote_slots, count * sizeof(quote_slot)));
        }
        memset(static_cast<void *>(quote_slots + quote_slot_count), 0,
               (count - quote_slot_count) * sizeof(quote_slot));
        quote_slot_count = count;
    }
    quote_slot &slot = quote_slots[index];
    const size_t len = quotearg_buffer(slot.buffer, slot.size, arg, argsize, o);
    if (len < slot.size)
        return slot.buffer;
    // Too small: replace the buffer by one of exactly the needed size.
    slot.size = len + 1;
    if (slot.buffer != static_slot_buffer)
        free(slot.buffer);
    slot.buffer = static_cast<char *>(xmalloc(slot.size));
    quotearg_buffer(slot.buffer, slot.size, arg, argsize, o);
    return slot.buffer;
}

} // namespace

quoting_options *clone_quoting_options(const quoting_options *o)
{
    errno_keeper keep;
    return static_cast<quoting_options *>(
        xmemdup(o ? o : &global_quoting_options, sizeof(quoting_options)));
}

quoting_style get_quoting_style(const quoting_options *o)
{
    return (o ? o : &global_quoting_options)->style;
}

void set_quoting_style(quoting_options *o, quoting_style s)
{
    (o ? o : &global_quoting_options)->style = s;
}

int set_char_quoting(quoting_options *o, char c, int flag)
{
    const auto u = static_cast<unsigned char>(c);
    std::uint32_t &word = (o ? o : &global_quoting_options)->char_quoting[u / 32];
    const unsigned shift = u % 32;
    const int old = static_cast<int>((word >> shift) & 1);
    word ^= static_cast<std::uint32_t>((flag & 1) ^ old) << shift;
    return old;
}

size_t quotearg_buffer(char *buffer, size_t buffersize, const char *arg, size_t argsize,
                       const quoting_options *o)
{
    errno_keeper keep;
    const quoting_options *p = o ? o : &global_quoting_options;
    return quotearg_buffer_with_style(buffer, buffersize, arg, argsize, p->style, p);
}

char *quotearg_alloc(const char *arg, size_t argsize, const quoting_options *o)
{
    errno_keeper keep;
    const size_t n = quotearg_buffer(nullptr, 0, arg, argsize, o) + 1;
    auto *p = static_cast<char *>(xmalloc(n));
    quotearg_buffer(p, n, arg, argsize, o);
    return p;
}

void quotearg_free()
{
    errno_keeper keep;
    for (size_t i = 1; i < quote_slot_count; ++i)
        free(quote_slots[i].buffer);
    if (quote_slots[0].buffer != static_slot_buffer) {
        free(quote_slots[0].buffer);
        static_quote_slot = {static_slot_size, static_slot_buffer};
    }
    if (quote_slots != &static_quote_slot) {
        free(quote_slots);
        quote_slots = &static_quote_slot;
    }
    quote_slot_count = 1;
}

char *quotearg_n(int n, const char *arg)
{
    return quote_into_slot(n, arg, SIZE_MAX, &global_quoting_options);
}

char *quotearg(const char *arg)
{
    return quotearg_n(0, arg);
}

char *quotearg_n_style(int n, quoting_style s, const char *arg)
{
    const quoting_options o = quoting_options_for_style(s);
    return quote_into_slot(n, arg, SIZE_MAX, &o);
}

char *quotearg_n_style_mem(int n, quoting_style s, const char *arg, size_t argsize)
{
    const quoting_options o = quoting_options_for_style(s);
    return quote_into_slot(n, arg, argsize, &o);
}

char *quotearg_style(quoting_style s, const char *arg)
{
    return quotearg_n_style(0, s, arg);
}

char *quotearg_char(const char *arg, char ch)
{
    quoting_options o = global_quoting_options;
    set_char_quoting(&o, ch, 1);
    return quote_into_slot(0, arg, SIZE_MAX, &o);
}

char *quotearg_colon(const char *arg)
{
    return quotearg_char(arg, ':');
}

namespace quoting_slots
{

size_t count()
{
    return quote_slot_count;
}

size_t size(size_t n)
{
    return quote_slots[n].size;
}

const char *buffer(size_t n)
{
    return quote_slots[n].buffer;
}

const char *static_buffer()
{
    return static_slot_buffer;
}

} // namespace quoting_slots

} // namespace support
