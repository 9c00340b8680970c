// Reading quoted text back, for the tests and fuzz targets that check quoting's output.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "quoting.h"

namespace harness
{

// The argument back from text quoted in style with no per-byte bits that make the escapes
// ambiguous; nullopt when the text is malformed for the style.
std::optional<std::string> unquote(support::quoting_style style, std::string_view text);

// True when every character of text is printable: a byte from 0x20 to 0x7e when unibyte,
// otherwise a whole printable character of the current locale.
bool printable(std::string_view text, bool unibyte);

} // namespace harness
