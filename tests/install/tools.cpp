#include "tools.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>

namespace install_test
{

std::string find_tool(const std::string &name)
{
    const char *path = getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0 && !std::filesystem::is_directory(candidate))
            return candidate;
    }
    return "";
}

harness::RunResult run_ok(const std::vector<std::string> &argv, const harness::RunOptions &options)
{
    harness::RunResult r = harness::run_program(argv.at(0), argv, options);
    std::string command;
    for (const auto &a : argv)
        command += (command.empty() ? "" : " ") + a;
    EXPECT_EQ(r.status, 0) << command << "\n--- stdout\n" << r.out << "\n--- stderr\n" << r.err;
    return r;
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> result;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

std::string squeeze(const std::string &text)
{
    std::string result;
    bool blank = false;
    for (char c : text) {
        if (isspace(static_cast<unsigned char>(c))) {
            blank = !result.empty();
            continue;
        }
        if (blank)
            result += ' ';
        blank = false;
        result += c;
    }
    return result;
}

std::string render_page(const std::string &groff, const std::string &path)
{
    // ASCII output, no hyphenation, long lines, and no overstriking for bold or underline.
    harness::RunResult r = run_ok(
        {groff, "-man", "-Tascii", "-rHY=0", "-rLL=200n", "-P-c", "-P-b", "-P-u", "-P-o", path});
    return r.status == 0 ? r.out : "";
}

namespace
{

bool is_heading(const std::string &line)
{
    return !line.empty() && isupper(static_cast<unsigned char>(line[0]));
}

} // namespace

std::vector<std::string> section_names(const std::string &rendered)
{
    std::vector<std::string> names;
    std::vector<std::string> all = lines(rendered);
    // The first and the last lines are the page's header and footer.
    for (size_t i = 1; i + 1 < all.size(); ++i)
        if (is_heading(all[i]))
            names.push_back(all[i]);
    return names;
}

std::string section(const std::string &rendered, const std::string &name)
{
    std::vector<std::string> all = lines(rendered);
    std::string text;
    bool inside = false;
    for (size_t i = 1; i + 1 < all.size(); ++i) {
        if (is_heading(all[i])) {
            if (inside)
                break;
            inside = all[i] == name;
        } else if (inside) {
            text += all[i] + "\n";
        }
    }
    return text;
}

std::vector<std::string> list_tree(const std::string &root)
{
    std::vector<std::string> files;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(root))
        if (entry.is_symlink() || entry.is_regular_file())
            files.push_back(std::filesystem::relative(entry.path(), root).string());
    std::sort(files.begin(), files.end());
    return files;
}

void expect_matching_files(const std::string &what, const std::vector<std::string> &paths,
                           const std::vector<std::string> &patterns,
                           const std::function<void(const std::string &, size_t)> &check)
{
    std::vector<bool> seen(patterns.size());
    for (const auto &path : paths) {
        bool known = false;
        for (size_t i = 0; i < patterns.size(); ++i) {
            if (std::regex_match(path, std::regex(patterns[i]))) {
                known = seen[i] = true;
                check(path, i);
            }
        }
        EXPECT_TRUE(known) << what << ": unexpected file " << path;
    }
    for (size_t i = 0; i < patterns.size(); ++i)
        EXPECT_TRUE(seen[i]) << what << ": missing " << patterns[i];
}

void expect_runs_as_built(const std::string &path, const std::string &built,
                          const std::vector<std::string> &argv, const std::string &input)
{
    const harness::RunResult want = harness::run_program(built, argv, {.input = input});
    harness::expect_run(harness::run_program(path, argv, {.input = input}), want.status, want.out,
                        want.err, path);
}

} // namespace install_test
