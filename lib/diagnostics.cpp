#include "diagnostics.h"
#include "stdout_state.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform.h"

namespace support
{

const char *program_name = nullptr;
int exit_failure = 1;
unsigned int error_message_count = 0;
int error_one_per_line = 0;
void (*error_print_progname)() = nullptr;

// Set by the stream closing when it closes standard output: a failed close is then reported
// through error, whose flush must not touch the closed stream.
bool internal::stdout_closed = false;

namespace
{

constexpr size_t error_text_size = 1024;
constexpr size_t default_first_size = 64;

// The pair error_at_line remembers while error_one_per_line is set.
const char *last_file_name = nullptr;
unsigned int last_line_number = 0;

// The system's text for errnum, written into text (size bytes), or "Unknown system error" when
// the platform has none.
const char *system_error_text(int errnum, char *text, size_t size)
{
    return internal::error_text(errnum, text, size) == 0 ? text : "Unknown system error";
}

// A program started with an empty argument vector has no name; print it as empty.
const char *name()
{
    return program_name ? program_name : "";
}

// Starts every diagnostic: flushes standard output (unless it is closed), then calls the
// callback or writes the program name and after_name.
void message_head(const char *after_name)
{
    if (!internal::stdout_closed)
        fflush(stdout);
    if (error_print_progname)
        error_print_progname();
    else
        fprintf(stderr, "%s%s", name(), after_name);
}

// Ends every diagnostic: the message, the system's text for errnum, the newline, the exit.
void message_tail(int status, int errnum, const char *format, va_list args)
{
    vfprintf(stderr, format, args);
    ++error_message_count;
    if (errnum != 0) {
        char text[error_text_size];
        // Allocates nothing, so memory exhaustion can still be reported.
        fprintf(stderr, ": %s", system_error_text(errnum, text, sizeof text));
    }
    putc('\n', stderr);
    fflush(stderr);
    if (status != 0)
        exit(status);
}

bool same_file_name(const char *a, const char *b)
{
    return a == b || (a && b && strcmp(a, b) == 0);
}

// True when error_one_per_line is set and the position is the one it remembers; otherwise,
// while the flag is set, remembers this position.
bool repeats_last_position(const char *file_name, unsigned int line_number)
{
    if (!error_one_per_line)
        return false;
    if (line_number == last_line_number && same_file_name(file_name, last_file_name))
        return true;
    last_file_name = file_name;
    last_line_number = line_number;
    return false;
}

} // namespace

void set_program_name(const char *argv0)
{
    if (!argv0) {
        program_name = nullptr;
        return;
    }
    constexpr std::string_view libs_dir = "/.libs/";
    constexpr std::string_view libtool_prefix = "lt-";
    const char *slash = strrchr(argv0, '/');
    const char *base = slash ? slash + 1 : argv0;
    const char *result = argv0;
    if (static_cast<size_t>(base - argv0) >= libs_dir.size() &&
        std::string_view(base - libs_dir.size(), libs_dir.size()) == libs_dir)
        result = base;
    if (std::string_view(base).starts_with(libtool_prefix))
        result = base + libtool_prefix.size();
    program_name = result;
}

void error(int status, int errnum, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    message_head(": ");
    message_tail(status, errnum, format, args);
    va_end(args);
}

void error_at_line(int status, int errnum, const char *file_name, unsigned int line_number,
                   const char *format, ...)
{
    if (repeats_last_position(file_name, line_number))
        return;
    va_list args;
    va_start(args, format);
    message_head(":");
    if (file_name)
        fprintf(stderr, "%s:%u: ", file_name, line_number);
    else
        putc(' ', stderr);
    message_tail(status, errnum, format, args);
    va_end(args);
}

void *xmalloc(size_t n)
{
    void *p = malloc(n);
    if (!p && n != 0)
        xalloc_die();
    return p;
}

void *xzalloc(size_t n)
{
    void *p = xmalloc(n);
    if (n != 0)
        memset(p, 0, n);
    return p;
}

void *xcalloc(size_t n, size_t s)
{
    // An element size of 0 asks for nothing, like a count of 0.
    if (s != 0 && n > SIZE_MAX / s)
        xalloc_die();
    void *p = calloc(n, s);
    if (!p && n != 0 && s != 0)
        xalloc_die();
    return p;
}

void *xrealloc(void *p, size_t n)
{
    void *q = realloc(p, n);
    if (!q && n != 0)
        xalloc_die();
    return q;
}

void *x2realloc(void *p, size_t *pn)
{
    size_t n = *pn;
    if (!p) {
        if (n == 0)
            n = default_first_size;
    } else {
        if (n >= SIZE_MAX / 3 * 2)
            xalloc_die();
        n += (n + 1) / 2;
    }
    *pn = n;
    return xrealloc(p, n);
}

void *xmemdup(const void *p, size_t s)
{
    void *q = xmalloc(s);
    if (s != 0)
        memcpy(q, p, s);
    return q;
}

char *xstrdup(const char *string)
{
    return static_cast<char *>(xmemdup(string, strlen(string) + 1));
}

void xalloc_die()
{
    error(exit_failure, 0, "%s", "memory exhausted");
    abort();
}

} // namespace support
