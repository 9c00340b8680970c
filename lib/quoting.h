// Quoting of arguments for use in diagnostics: seven styles, a per-byte request for a backslash,
// and numbered result buffers (slots) owned by the module. Single-threaded use only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace support
{

// How an argument is quoted; a value above 6 (taken unsigned) quotes like quoting_literal.
enum quoting_style : std::int32_t {
    quoting_literal = 0,      // the argument unchanged
    quoting_shell = 1,        // unchanged, or as quoting_shell_always when a shell needs quotes
    quoting_shell_always = 2, // between apostrophes, each apostrophe as '\''
    quoting_c = 3,            // between double quotes, with backslash and octal escapes
    quoting_escape = 4,       // backslash and octal escapes, no quote marks
    quoting_locale = 5,       // between a grave accent and an apostrophe, with escapes
    quoting_clocale = 6,      // as quoting_c, without the question-mark rule
};

// The styles' names in value order, then a null pointer.
extern const char *const quoting_style_args[8];
// The styles in the order of quoting_style_args.
extern const quoting_style quoting_style_vals[7];

// A style and one bit per byte value (bit v % 32 of word v / 32) asking for a backslash.
struct quoting_options {
    quoting_style style;
    std::uint32_t char_quoting[8];
};

// A new heap copy of *o (of the global options when o is null); free it with free.
quoting_options *clone_quoting_options(const quoting_options *o);
// The style of *o (of the global options when o is null).
quoting_style get_quoting_style(const quoting_options *o);
// Sets the style of *o (of the global options when o is null).
void set_quoting_style(quoting_options *o, quoting_style s);
// Sets byte c's bit in *o (global when null) to the lowest bit of flag; returns the old bit.
int set_char_quoting(quoting_options *o, char c, int flag);

// Quotes the argsize bytes at arg (up to its first NUL when argsize is SIZE_MAX) into buffer,
// storing at most buffersize bytes; returns the full quoted length, NUL not counted.
size_t quotearg_buffer(char *buffer, size_t buffersize, const char *arg, size_t argsize,
                       const quoting_options *o);
// The quoted argument in a new NUL-terminated heap string; free it with free.
char *quotearg_alloc(const char *arg, size_t argsize, const quoting_options *o);
// Releases every slot buffer; pointers returned by the slot functions become void.
void quotearg_free();

// The NUL-terminated arg quoted with the global options, in slot n (n >= 0).
char *quotearg_n(int n, const char *arg);
// quotearg_n in slot 0.
char *quotearg(const char *arg);
// The NUL-terminated arg quoted in style s, in slot n.
char *quotearg_n_style(int n, quoting_style s, const char *arg);
// The argsize bytes at arg quoted in style s, in slot n.
char *quotearg_n_style_mem(int n, quoting_style s, const char *arg, size_t argsize);
// quotearg_n_style in slot 0.
char *quotearg_style(quoting_style s, const char *arg);
// arg quoted with the global options plus a backslash before ch, in slot 0.
char *quotearg_char(const char *arg, char ch);
// quotearg_char with the colon.
char *quotearg_colon(const char *arg);

} // namespace support
