#include "quoting.h"

#include <algorithm>
#include <array>
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

// What a byte asks of the quoting, apart from the shell style's test.
enum class byte_kind : unsigned char {
    plain,         // the final check alone
    nul,           // \000 when escaping
    letter_escape, // a backslash and a letter when escaping
    question_mark, // the start of a question-mark pair in the C style
    apostrophe,    // '\'' in the shell-always style
    other,         // decided by the character it starts: printable or not, one byte or more
};

// Where a byte makes the shell style quote the whole argument.
enum class shell_need : unsigned char { never, always, at_start, alone };

// The rule for one byte value.
struct byte_rule {
    byte_kind kind;
    shell_need shell;
    char letter; // of a letter escape
};

// Bytes that pass through the final check without further tests, in code order.
constexpr std::string_view plain_bytes =
    "%+,-./0123456789:ABCDEFGHIJKLMNOPQRSTUVWXYZ]_abcdefghijklmnopqrstuvwxyz";
static_assert(plain_bytes.size() == 71);
// The bytes that make the shell style quote the argument wherever they stand.
constexpr std::string_view shell_special = " !\"$&()*;<=>[^`|";
// Later bytes of a multibyte character that make the shell style quote the argument.
constexpr std::string_view shell_special_in_character = "[\\^`|";
// A second question mark followed by one of these is escaped in the C style.
constexpr std::string_view question_pair_ends = "!'()-/<=>";

// The rule of every byte value; bytes named nowhere below are decided by their character.
constexpr std::array<byte_rule, 256> make_byte_rules()
{
    std::array<byte_rule, 256> rules{};
    auto set = [&rules](std::string_view bytes, byte_kind kind, shell_need shell,
                        std::string_view letters = {}) {
        for (size_t k = 0; k < bytes.size(); ++k)
            rules[static_cast<unsigned char>(bytes[k])] = {kind, shell,
                                                           letters.empty() ? '\0' : letters[k]};
    };
    for (auto &rule : rules)
        rule = {byte_kind::other, shell_need::never, '\0'};
    set(plain_bytes, byte_kind::plain, shell_need::never);
    set(shell_special, byte_kind::plain, shell_need::always);
    set("#~", byte_kind::plain, shell_need::at_start);
    set("{}", byte_kind::plain, shell_need::alone);
    set("?", byte_kind::question_mark, shell_need::always);
    set("'", byte_kind::apostrophe, shell_need::always);
    set(std::string_view("\0", 1), byte_kind::nul, shell_need::never);
    set("\a\b\v\f", byte_kind::letter_escape, shell_need::never, "abvf");
    set("\t\n\r\\", byte_kind::letter_escape, shell_need::always, "tnr\\");
    return rules;
}

constexpr std::array<byte_rule, 256> byte_rules = make_byte_rules();
static_assert(byte_rules['@'].kind == byte_kind::other &&
              byte_rules[0x7f].kind == byte_kind::other);

// The marks a style puts around the text (0 for none) and whether it escapes with backslashes.
struct style_rule {
    char opening;
    char closing;
    bool escaping;
};

// In style order; a style past the end quotes like the first.
constexpr style_rule style_rules[] = {
    {'\0', '\0', false}, // literal
    {'\0', '\0', false}, // shell: quoted as shell-always when it needs quotes
    {'\'', '\'', false}, // shell-always
    {'"', '"', true},    // c
    {'\0', '\0', true},  // escape
    {'`', '\'', true},   // locale
    {'"', '"', true},    // clocale
};

bool contains(std::string_view set, unsigned char c)
{
    return set.find(static_cast<char>(c)) != std::string_view::npos;
}

bool bit_is_set(const quoting_options *o, unsigned char c)
{
    return (o->char_quoting[c / 32] >> (c % 32)) & 1;
}

quoting_options quoting_options_for_style(quoting_style style)
{
    quoting_options o{};
    o.style = style;
    return o;
}

// One pass of quoting an argument in one style into a caller's buffer.
struct quoting_pass {
    char *buffer;             // the caller's buffer, of size bytes
    size_t size;              // nothing is stored at or past it
    size_t len;               // bytes of quoted text so far, stored or not
    const char *arg;          // the argument
    size_t argsize;           // its length
    quoting_style style;      // as given, also a value past the last style
    style_rule rule;          // the style's marks and escaping
    bool unibyte;             // the locale's characters are single bytes
    const quoting_options *o; // whose bitmap asks for more backslashes
};

unsigned char byte_at(const quoting_pass &p, size_t k)
{
    return static_cast<unsigned char>(p.arg[k]);
}

// Counts c and stores it when it fits.
void emit(quoting_pass &p, unsigned char c)
{
    if (p.len < p.size)
        p.buffer[p.len] = static_cast<char>(c);
    ++p.len;
}

void emit(quoting_pass &p, std::string_view bytes)
{
    for (char c : bytes)
        emit(p, static_cast<unsigned char>(c));
}

// The final check: a backslash before a byte whose bit is set, when escaping; then the byte.
void emit_checked(quoting_pass &p, unsigned char c)
{
    if (p.rule.escaping && bit_is_set(p.o, c))
        emit(p, '\\');
    emit(p, c);
}

// A character of the argument.
struct character {
    size_t bytes;      // its length; 0 for an invalid sequence
    bool printable;    // in the current locale
    bool shell_unsafe; // in the shell style, a later byte of it needs quotes
};

// The character that starts at byte i; in a single-byte locale, that byte alone.
character character_at(const quoting_pass &p, size_t i)
{
    if (p.unibyte)
        return {1, isprint(byte_at(p, i)) != 0, false};
    character c{0, true, false};
    mbstate_t state{};
    for (;;) {
        wchar_t w;
        const size_t r = mbrtowc(&w, p.arg + i + c.bytes, p.argsize - (i + c.bytes), &state);
        if (r == 0)
            break;
        if (r == static_cast<size_t>(-1)) {
            c.printable = false;
            break;
        }
        if (r == static_cast<size_t>(-2)) {
            c.printable = false;
            while (i + c.bytes < p.argsize && p.arg[i + c.bytes] != '\0')
                ++c.bytes;
            break;
        }
        if (p.style == quoting_shell && r > 1)
            for (size_t k = i + c.bytes + 1; k < i + c.bytes + r; ++k)
                if (contains(shell_special_in_character, byte_at(p, k)))
                    return {c.bytes, c.printable, true};
        if (!iswprint(static_cast<wint_t>(w)))
            c.printable = false;
        c.bytes += r;
        if (mbsinit(&state))
            break;
    }
    return c;
}

// Emits the character c at i, unchanged or, when unprintable and escaping, each byte as a
// backslash and three octal digits; moves i past it. The later bytes get no final check.
void emit_character(quoting_pass &p, size_t &i, const character &c)
{
    const size_t end = i + std::max<size_t>(c.bytes, 1);
    for (; i < end; ++i) {
        const unsigned char b = byte_at(p, i);
        if (p.rule.escaping && !c.printable) {
            emit(p, '\\');
            emit(p, '0' + (b >> 6));
            emit(p, '0' + ((b >> 3) & 7));
            emit(p, '0' + (b & 7));
        } else {
            emit(p, b);
        }
    }
}

// True when the shell style must quote the argument for a byte at i with this need.
bool shell_needs_quotes(const quoting_pass &p, shell_need need, size_t i)
{
    switch (need) {
    case shell_need::always:
        return true;
    case shell_need::at_start:
        return i == 0;
    case shell_need::alone:
        return p.argsize == 1;
    default:
        return false;
    }
}

// Quotes the character at i and moves i past it. Returns false when the shell style meets a
// byte that it may not leave bare: the whole argument is then quoted in shell-always instead.
bool quote_character(quoting_pass &p, size_t &i)
{
    unsigned char ch = byte_at(p, i);
    const byte_rule &rule = byte_rules[ch];
    if (p.style == quoting_shell && shell_needs_quotes(p, rule.shell, i))
        return false;
    if (p.rule.escaping && p.rule.closing != '\0' && ch == p.rule.closing)
        emit(p, '\\');
    switch (rule.kind) {
    case byte_kind::nul:
        if (p.rule.escaping) {
            emit(p, "\\00");
            ch = '0'; // the third zero goes through the final check like any other
        }
        break;
    case byte_kind::letter_escape:
        if (p.rule.escaping) {
            emit(p, '\\');
            emit(p, rule.letter);
            ++i;
            return true;
        }
        break;
    case byte_kind::question_mark:
        if (p.style == quoting_c && i + 2 < p.argsize && byte_at(p, i + 1) == '?' &&
            contains(question_pair_ends, byte_at(p, i + 2))) {
            emit(p, "?\\?");
            i += 2;
            ch = byte_at(p, i);
        }
        break;
    case byte_kind::apostrophe:
        if (p.style == quoting_shell_always)
            emit(p, "'\\'");
        break;
    case byte_kind::other: {
        const character c = character_at(p, i);
        if (c.shell_unsafe)
            return false;
        if (c.bytes > 1 || (p.rule.escaping && !c.printable)) {
            emit_character(p, i, c);
            return true;
        }
        break;
    }
    case byte_kind::plain:
        break;
    }
    emit_checked(p, ch);
    ++i;
    return true;
}

// Quotes arg in style, with only o's bitmap taken from the options. Stores no byte at or past
// size and returns the full length; the NUL is stored only when it fits.
size_t quotearg_buffer_with_style(char *buffer, size_t size, const char *arg, size_t argsize,
                                  quoting_style style, const quoting_options *o)
{
    const auto index = static_cast<std::uint32_t>(style);
    quoting_pass p{
        .buffer = buffer,
        .size = size,
        .len = 0,
        .arg = arg,
        // The one place where a length of SIZE_MAX means the argument runs to its NUL.
        .argsize = argsize == SIZE_MAX ? strlen(arg) : argsize,
        .style = style,
        .rule = index < std::size(style_rules) ? style_rules[index] : style_rules[quoting_literal],
        .unibyte = MB_CUR_MAX == 1,
        .o = o,
    };
    if (p.rule.opening != '\0')
        emit(p, p.rule.opening);
    size_t i = 0;
    bool keeps_style = true;
    while (keeps_style && i < p.argsize)
        keeps_style = quote_character(p, i);
    // The shell style gives way to shell-always as soon as anything needs quoting, and for the
    // empty argument.
    if (!keeps_style || (style == quoting_shell && p.argsize == 0))
        return quotearg_buffer_with_style(buffer, size, arg, p.argsize, quoting_shell_always, o);
    if (p.rule.closing != '\0')
        emit(p, p.rule.closing);
    if (p.len < size)
        buffer[p.len] = '\0';
    return p.len;
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
