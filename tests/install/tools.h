// Helpers for the tests of the installed tree: host tools found on PATH, rendered manual pages,
// text handling, lists of installed files and installed programs.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "run_program.h"

namespace install_test
{

// Full path of the program name found on PATH, or "" when there is none.
std::string find_tool(const std::string &name);

// Skips the current test when the tool is missing; otherwise stores its path in var.
#define REQUIRE_TOOL(var, name)                                                                    \
    const std::string var = install_test::find_tool(name);                                         \
    if (var.empty()) {                                                                             \
        GTEST_SKIP() << (name) << " is not installed";                                             \
    }                                                                                              \
    static_assert(true)

// Runs argv (argv[0] a full path) and fails the current test, with what it wrote, unless it
// exits with status 0; returns its result either way.
harness::RunResult run_ok(const std::vector<std::string> &argv,
                          const harness::RunOptions &options = {});

// The lines of text, without their newlines.
std::vector<std::string> lines(const std::string &text);
// text with every run of white space replaced by one blank, and none at either end.
std::string squeeze(const std::string &text);

// The manual page at path as plain ASCII text, wide and without hyphenation ("" on failure).
std::string render_page(const std::string &groff, const std::string &path);
// Names of the page's sections (its unindented heading lines), in order.
std::vector<std::string> section_names(const std::string &rendered);
// Text of the named section, headings excluded; "" when the page has no such section.
std::string section(const std::string &rendered, const std::string &name);

// Every regular file and symbolic link below root, as paths relative to root, sorted.
std::vector<std::string> list_tree(const std::string &root);
// Expects each of paths to match one of patterns (regular expressions) and each pattern to match
// one of paths; check(path, i) looks further at a path that matches pattern i. Failures name
// what holds the paths.
void expect_matching_files(const std::string &what, const std::vector<std::string> &paths,
                           const std::vector<std::string> &patterns,
                           const std::function<void(const std::string &, size_t)> &check);

// Runs the installed program at path as the built one at built, with the same arguments and
// input, and expects the same status, output and errors.
void expect_runs_as_built(const std::string &path, const std::string &built,
                          const std::vector<std::string> &argv, const std::string &input = "");

} // namespace install_test
