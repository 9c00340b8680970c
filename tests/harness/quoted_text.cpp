#include "quoted_text.h"

#include <cstdint>
#include <cwchar>
#include <cwctype>

namespace harness
{
namespace
{

using namespace support;

// Reverses the backslash escapes; nullopt when malformed or when the bare closing mark (or, for
// the style without marks, a bare NUL) appears.
std::optional<std::string> unescape(std::string_view s, char bare_forbidden)
{
    static constexpr std::string_view letters = "abfnrtv", controls = "\a\b\f\n\r\t\v";
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == bare_forbidden)
            return std::nullopt;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == s.size())
            return std::nullopt;
        c = s[i];
        if (c >= '0' && c <= '7') {
            auto octal = [&](size_t k) { return k < s.size() && s[k] >= '0' && s[k] <= '7'; };
            if (!octal(i + 1) || !octal(i + 2))
                return std::nullopt;
            out += static_cast<char>((c - '0') * 64 + (s[i + 1] - '0') * 8 + (s[i + 2] - '0'));
            i += 2;
            continue;
        }
        size_t k = letters.find(c);
        out += k == std::string_view::npos ? c : controls[k];
    }
    return out;
}

// Strips open and close marks; nullopt when they are missing.
std::optional<std::string_view> strip(std::string_view s, char open, char close)
{
    if (s.size() < 2 || s.front() != open || s.back() != close)
        return std::nullopt;
    return s.substr(1, s.size() - 2);
}

std::optional<std::string> unquote_shell_always(std::string_view s)
{
    auto inner = strip(s, '\'', '\'');
    if (!inner)
        return std::nullopt;
    std::string out;
    for (size_t i = 0; i < inner->size(); ++i) {
        if ((*inner)[i] != '\'') {
            out += (*inner)[i];
        } else if (inner->substr(i, 4) == "'\\''") {
            out += '\'';
            i += 3;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

} // namespace

std::optional<std::string> unquote(quoting_style style, std::string_view text)
{
    switch (static_cast<std::uint32_t>(style)) {
    case quoting_shell:
        return text.starts_with('\'') ? unquote_shell_always(text) : std::string(text);
    case quoting_shell_always:
        return unquote_shell_always(text);
    case quoting_c:
    case quoting_clocale:
        if (auto inner = strip(text, '"', '"'))
            return unescape(*inner, '"');
        return std::nullopt;
    case quoting_escape:
        return unescape(text, '\0');
    case quoting_locale:
        if (auto inner = strip(text, '`', '\''))
            return unescape(*inner, '\'');
        return std::nullopt;
    default:
        return std::string(text);
    }
}

bool printable(std::string_view text, bool unibyte)
{
    if (unibyte) {
        for (unsigned char c : text)
            if (c < 0x20 || c >= 0x7f)
                return false;
        return true;
    }
    mbstate_t state{};
    for (size_t i = 0; i < text.size();) {
        wchar_t w;
        size_t r = mbrtowc(&w, text.data() + i, text.size() - i, &state);
        if (r == 0 || r > text.size() - i || !iswprint(static_cast<wint_t>(w)))
            return false;
        i += r;
    }
    return true;
}

} // namespace harness
