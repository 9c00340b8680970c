// A plain model of bigramlist's output, independent of the program, for checking what it wrote.
#pragma once

#include <string>

namespace bigram_model
{

// The pairs bigramlist lists for input: lines end at a newline or at the end of the input, a
// line is cut at its first NUL, and pairs start after the prefix shared with the previous line.
std::string pairs(const std::string &input);

} // namespace bigram_model
