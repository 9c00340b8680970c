// Line-based scan of the configuration file for one directive; nothing else of the file's
// syntax is understood.
#include "config_scan.h"

#include "file_access.h"

#include <fcntl.h>
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace
{

// Longest piece of a line read at once, without its terminating NUL.
constexpr int piece_length = 1022;

// White space of the POSIX locale; bytes above 0x7F never are.
bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char *skip_space(char *p)
{
    while (is_space(*p))
        ++p;
    return p;
}

// Unquotes the value after an opening double quote in place and returns it. A backslash takes
// the next character literally; a closing quote at the end of the line is dropped; any other
// quote is dropped together with the character after it. An unclosed quote runs to the end.
char *unquote(char *value)
{
    char *out = value;
    for (char *in = value; *in != '\0'; ++in) {
        if (*in == '\\') {
            if (in[1] == '\0')
                break;
            *out++ = *++in;
        } else if (*in == '"') {
            if (in[1] == '\0')
                break;
            ++in;
        } else {
            *out++ = *in;
        }
    }
    *out = '\0';
    return value;
}

// Closes the stream when the scan returns, keeping errno.
struct open_stream {
    FILE *f;
    ~open_stream()
    {
        file_access::keeping_errno([this] { fclose(f); });
    }
};

// Opens the configuration file for reading as a stream. Only a regular file is read: the open
// does not wait for the writer of a FIFO, and a FIFO, a device (/dev/zero could be read for
// ever), a directory or a socket is refused with EINVAL.
FILE *open_config(const char *path)
{
    int fd = file_access::open_checked(
        path,
        {.flags = O_RDONLY | O_NOCTTY, .not_regular_errno = EINVAL, .nonblocking_open = true});
    if (fd < 0)
        return nullptr;
    file_access::descriptor_guard guard{fd};
    FILE *f = fdopen(fd, "r");
    if (f != nullptr)
        guard.release();
    return f;
}

} // namespace

char *util_scan_config(const char *config_path, const char *directive)
{
    if (config_path == nullptr || directive == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    FILE *f = open_config(config_path);
    if (f == nullptr)
        return nullptr;
    open_stream stream{f};

    size_t name_length = strlen(directive);
    char line[1024] = {};
    while (fgets(line, piece_length + 1, f) != nullptr) {
        size_t length = strlen(line);
        if (length > 0 && line[length - 1] == '\n')
            line[length - 1] = '\0';
        char *p = skip_space(line);
        if (*p == '\0' || *p == '#')
            continue;
        if (strncasecmp(p, directive, name_length) != 0)
            continue;
        p = skip_space(p + strnlen(p, name_length));
        char *value = *p == '"' ? unquote(p + 1) : p;
        return strdup(value);
    }
    return nullptr;
}
