// A file in a private directory (mode 0700) that a fuzz target rewrites for every input; the
// directory and the file are removed at exit.
#pragma once

#include <string>
#include <string_view>

namespace fuzz
{

// Path of the scratch file, created empty on the first call.
const std::string &scratch_path();
// Replaces the scratch file's contents with bytes.
void write_scratch(std::string_view bytes);
// The scratch file's whole contents.
std::string read_scratch();

} // namespace fuzz
