// Diagnostics that carry the program name, and allocation that never returns null for a
// non-empty request.
#pragma once

#include <cstddef>

namespace support
{

// Name printed in front of every diagnostic; points into the string it was set from.
extern const char *program_name;
// Sets program_name from argv[0], dropping a build tree's "/.libs/" directory and "lt-" prefix.
void set_program_name(const char *argv0);

// Exit status of the library's fatal paths (1).
extern int exit_failure;
// Number of diagnostics printed so far.
extern unsigned int error_message_count;
// When non-zero, error_at_line stays silent for a repeat of the last file name and line.
extern int error_one_per_line;
// When set, called in place of printing the program-name prefix.
extern void (*error_print_progname)();

// Prints "name: message[: system text]" on standard error; exits with status when it is not 0.
[[gnu::format(printf, 3, 4)]] void error(int status, int errnum, const char *format, ...);
// As error, with "file:line: " after the name when file_name is not null.
[[gnu::format(printf, 5, 6)]] void error_at_line(int status, int errnum, const char *file_name,
                                                 unsigned int line_number, const char *format, ...);

// malloc(n), ending the process on failure.
void *xmalloc(size_t n);
// xmalloc(n) with the block zeroed.
void *xzalloc(size_t n);
// calloc(n, s), ending the process on failure or when n * s overflows.
void *xcalloc(size_t n, size_t s);
// realloc(p, n), ending the process on failure.
void *xrealloc(void *p, size_t n);
// Grows p (*pn bytes) by half, or allocates *pn (default 64) bytes when p is null; updates *pn.
void *x2realloc(void *p, size_t *pn);
// A new copy of the s bytes at p.
void *xmemdup(const void *p, size_t s);
// A new copy of string.
char *xstrdup(const char *string);
// Prints "memory exhausted" and exits with exit_failure.
[[noreturn]] void xalloc_die();

} // namespace support
