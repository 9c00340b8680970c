#include "pair_model.h"

namespace bigram_model
{

std::string pairs(const std::string &input)
{
    std::string out, prev;
    for (size_t start = 0; start < input.size();) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos)
            end = input.size();
        std::string line = input.substr(start, end - start);
        line = line.substr(0, line.find('\0'));
        size_t p = 0;
        while (p < line.size() && p < prev.size() && line[p] == prev[p])
            ++p;
        for (; p + 1 < line.size(); p += 2)
            out += line.substr(p, 2) + "\n";
        prev = line;
        start = end + 1;
    }
    return out;
}

} // namespace bigram_model
