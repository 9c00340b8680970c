#include "line_reader.h"

#include "record_reader.h"

namespace support
{

ssize_t getdelim(char **lineptr, size_t *n, int delimiter, FILE *stream)
{
    return internal::read_record(lineptr, n, delimiter, stream, internal::record_cap);
}

ssize_t rpl_getline(char **lineptr, size_t *n, FILE *stream)
{
    return support::getdelim(lineptr, n, '\n', stream);
}

} // namespace support
