#include "lines.h"
#include "lines_loop.h"

namespace bigram
{

int list_last_line(FILE *in, FILE *out, const char *line, size_t count, const char *prev,
                   size_t prev_len, vector_unit unit)
{
    const int failure = ferror(in) ? errno : 0;
    list_pairs_plain(out, line, count, prev, prev_len, unit);
    return failure;
}

int list_lines(FILE *in, FILE *out, line_buffers *buffers, vector_unit unit)
{
    // One copy of the loop for each unit, the unit fixed in it.
    switch (unit) {
    case vector_unit::avx2:
        return list_lines_avx2(in, out, buffers);
    case vector_unit::sse2:
        return list_lines_with(in, out, buffers, vector_unit::sse2);
    case vector_unit::none:
        break;
    }
    return list_lines_with(in, out, buffers, vector_unit::none);
}

} // namespace bigram
