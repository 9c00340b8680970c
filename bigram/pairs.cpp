#include "pairs.h"

#include <algorithm>

namespace bigram
{

void put_pairs(FILE *out, const char *s, size_t pairs)
{
    while (pairs > 0) {
        const std::span<char> room = support::internal::output_room(out);
        const size_t fit = std::min(pairs, room.size() / 3);
        if (fit == 0) {
            // A full buffer, or one that stdio keeps to itself.
            putc_unlocked(s[0], out);
            putc_unlocked(s[1], out);
            putc_unlocked('\n', out);
            s += 2;
            --pairs;
            continue;
        }
        store_pairs(room.data(), s, fit);
        support::internal::commit_output(out, 3 * fit);
        s += 2 * fit;
        pairs -= fit;
    }
}

} // namespace bigram
