// The configuration scan over arbitrary file contents and directive names, against a model
// that reads the file as pieces of at most 1022 bytes ending at a newline.
#include "check.h"
#include "config_scan.h"
#include "scratch_file.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace
{

constexpr size_t piece_length = 1022;

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_ignoring_case(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

// A quoted value: a backslash takes the next byte, a quote at the end closes the value, any
// other quote goes with the byte after it.
std::string unquote(std::string_view v)
{
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] == '\\' && i + 1 < v.size())
            out += v[++i];
        else if (v[i] == '"' && i + 1 < v.size())
            ++i;
        else if (v[i] != '\\' && v[i] != '"')
            out += v[i];
    }
    return out;
}

std::optional<std::string> model(std::string_view file, std::string_view name)
{
    for (size_t pos = 0; pos < file.size();) {
        size_t n = file.size() - pos < piece_length ? file.size() - pos : piece_length;
        size_t newline = file.substr(pos, n).find('\n');
        if (newline != std::string_view::npos)
            n = newline + 1;
        std::string_view text = file.substr(pos, n);
        pos += n;
        text = text.substr(0, text.find('\0'));
        if (!text.empty() && text.back() == '\n')
            text.remove_suffix(1);
        size_t i = 0;
        while (i < text.size() && is_space(text[i]))
            ++i;
        if (i == text.size() || text[i] == '#')
            continue;
        if (!same_ignoring_case(text.substr(i, name.size()), name))
            continue;
        i += name.size();
        while (i < text.size() && is_space(text[i]))
            ++i;
        std::string_view value = text.substr(i);
        return value.starts_with('"') ? unquote(value.substr(1)) : std::string(value);
    }
    return std::nullopt;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte picks the directive: the usual one, or a name taken from the input.
    std::string_view input(reinterpret_cast<const char *>(data) + 1, size - 1);
    std::string name = "ScoreboardFile";
    if (data[0] & 0x80) {
        size_t length = data[0] & 15;
        if (length > input.size())
            return 0;
        name.assign(input.substr(0, length));
        name.resize(name.find('\0') == std::string::npos ? name.size() : name.find('\0'));
        input.remove_prefix(length);
    }
    fuzz::write_scratch(input);
    char *value = util_scan_config(fuzz::scratch_path().c_str(), name.c_str());
    auto expected = model(input, name);
    FUZZ_CHECK(expected.has_value() == (value != nullptr));
    if (value)
        FUZZ_CHECK(*expected == value);
    free(value);
    return 0;
}
