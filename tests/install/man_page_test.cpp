// The manual pages: they render without warnings, have the sections a reader expects, and what
// they say about options, messages, files and examples matches what the built programs do.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "build_facts.h"
#include "run_program.h"
#include "standin.h"
#include "temp_dir.h"
#include "tools.h"

namespace
{

using install_test::lines;
using install_test::section;
using install_test::squeeze;

struct Page {
    const char *file;    // the generated page in the build tree
    const char *program; // the program it documents
    const char *title;   // the first word of its header line
};
const Page pages[] = {
    {"bigramlist.1", build_facts::bigramlist, "BIGRAMLIST(1)"},
    {"sndcheck.1", build_facts::sndcheck, "SNDCHECK(1)"},
    {"sbscrub.8", build_facts::sbscrub, "SBSCRUB(8)"},
};

std::string page_path(const Page &p)
{
    return std::string(build_facts::man_dir) + "/" + p.file;
}

std::string base_name(const std::string &path)
{
    return path.substr(path.rfind('/') + 1);
}

// Replaces every occurrence of from in text with to.
std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); !from.empty() && at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

TEST(ManPages, RenderWithoutWarningsWithTheSectionsInReadingOrder)
{
    REQUIRE_TOOL(groff, "groff");
    const std::vector<std::string> required = {"NAME",        "SYNOPSIS", "DESCRIPTION",
                                               "EXIT STATUS", "FILES",    "EXAMPLES"};
    for (const Page &p : pages) {
        harness::expect_run(harness::run_program(groff, {groff, "-man", "-ww", "-z", page_path(p)}),
                            0, "", "", p.file);
        std::string source = harness::read_file(page_path(p));
        EXPECT_FALSE(std::regex_search(source, std::regex("@[A-Za-z_]+@")))
            << p.file << " keeps a template variable";
        std::string rendered = install_test::render_page(groff, page_path(p));
        ASSERT_NE(rendered, "") << p.file;
        EXPECT_EQ(rendered.substr(0, rendered.find(' ')), p.title) << p.file;

        std::vector<std::string> names = install_test::section_names(rendered);
        size_t next = 0;
        for (const auto &want : required) {
            auto at = std::find(names.begin() + static_cast<long>(next), names.end(), want);
            EXPECT_NE(at, names.end()) << p.file << " lacks " << want << " or has it out of order";
            if (at != names.end())
                next = static_cast<size_t>(at - names.begin()) + 1;
        }
        std::string name = base_name(p.program);
        EXPECT_EQ(squeeze(section(rendered, "NAME")).rfind(name + " - ", 0), 0u) << p.file;
        EXPECT_EQ(squeeze(section(rendered, "SYNOPSIS")).rfind(name, 0), 0u) << p.file;
    }
}

TEST(ManPages, ScrubberPageDocumentsTheFileFormatAndTheDirective)
{
    REQUIRE_TOOL(groff, "groff");
    std::string rendered = install_test::render_page(groff, page_path(pages[2]));
    std::string format = squeeze(section(rendered, "SCOREBOARD FORMAT"));
    for (std::string fact :
         {std::to_string(standin::header_size) + "-byte header", std::to_string(standin::slot_size),
          std::string("0xDEADBEEF"), std::string("0x01040003")})
        EXPECT_NE(format.find(fact), std::string::npos) << fact;
    EXPECT_NE(squeeze(section(rendered, "CONFIGURATION")).find("ScoreboardFile /"),
              std::string::npos);
}

// The option pairs ("-c, --config") at the start of the lines of text.
std::set<std::string> option_pairs(const std::string &text)
{
    std::set<std::string> pairs;
    const std::regex pair(R"(^\s*(-[A-Za-z]), (--[a-z][a-z-]*))");
    for (const auto &line : lines(text)) {
        std::smatch m;
        if (std::regex_search(line, m, pair))
            pairs.insert(m[1].str() + ", " + m[2].str());
    }
    return pairs;
}

TEST(ManPages, ScrubberOptionsMatchItsUsageText)
{
    REQUIRE_TOOL(groff, "groff");
    harness::RunResult usage = harness::run_program(build_facts::sbscrub, {"sbscrub", "-h"});
    ASSERT_EQ(usage.status, 0);
    std::set<std::string> program = option_pairs(usage.out);
    ASSERT_FALSE(program.empty()) << usage.out;

    std::string rendered = install_test::render_page(groff, page_path(pages[2]));
    EXPECT_EQ(option_pairs(section(rendered, "OPTIONS")), program);
    std::string synopsis = section(rendered, "SYNOPSIS");
    for (const auto &pair : program)
        EXPECT_NE(synopsis.find(pair.substr(0, 2)), std::string::npos) << pair;
}

TEST(ManPages, ProgramsWithoutOptionsTakeNone)
{
    REQUIRE_TOOL(groff, "groff");
    // Arguments that look like options change nothing: the page's empty synopsis holds.
    const harness::RunOptions input{.input = "ab\n"};
    struct Case {
        const Page &page;
        int status;
        const char *out;
    } cases[] = {{pages[0], 0, "ab\n"}, {pages[1], 1, ""}};
    for (const auto &c : cases) {
        std::string rendered = install_test::render_page(groff, page_path(c.page));
        std::string name = base_name(c.page.program);
        EXPECT_EQ(section(rendered, "OPTIONS"), "") << c.page.file;
        EXPECT_EQ(squeeze(section(rendered, "SYNOPSIS")), name) << c.page.file;
        for (const char *arg : {"--help", "-h", "-x"}) {
            harness::expect_run(harness::run_program(c.page.program, {name, arg}, input), c.status,
                                c.out, "", name + " " + arg);
        }
    }
}

TEST(ManPages, DocumentTheMessagesTheProgramsPrint)
{
    REQUIRE_TOOL(groff, "groff");
    if (harness::exists(build_facts::default_scoreboard))
        GTEST_SKIP() << build_facts::default_scoreboard << " exists on this host";
    const harness::temp_dir scratch;
    const std::string &dir = scratch.path();
    std::string subdir = dir + "/sub";
    ASSERT_EQ(mkdir(subdir.c_str(), 0700), 0);
    standin::Board board{.pids = {standin::dead_pid()}};
    const int32_t pid = board.pids[0];
    const std::string scoreboard = dir + "/ferryd.scoreboard";
    standin::write(scoreboard, board);
    const std::string bigramlist = "bigramlist: "; // argv[0] as given

    // Each message is made generic by the substitutions (the variable parts in the words the
    // page uses for them); each of its lines must then be in the page of the program: under
    // DIAGNOSTICS, or for progress on standard output under OPTIONS.
    struct Case {
        const char *what;
        std::vector<std::string> argv;
        harness::RunOptions options;
        bool on_stdout;
        std::vector<std::pair<std::string, std::string>> generic;
    } cases[] = {
        {"write error",
         {"bigramlist"},
         {.input = "ab\n", .out = harness::full()},
         false,
         {{bigramlist, ""}, {strerror(ENOSPC), "reason"}}},
        {"read error",
         {"bigramlist"},
         {.input = "ab\n", .in = harness::file(dir, O_RDONLY)},
         false,
         {{bigramlist, ""}, {strerror(EISDIR), "reason"}}},
        {"memory exhausted",
         {"bigramlist"},
         {.input = "ab\n", .env = {build_facts::preload_failing_alloc, "FAIL_ALLOC_SIZE=1026"}},
         false,
         {{bigramlist, ""}}},
        {"unknown option", {"sbscrub", "-x"}, {}, false, {{": x", ": c"}}},
        {"no scoreboard",
         {"sbscrub", "-c", dir + "/absent.conf"},
         {},
         false,
         {{build_facts::default_scoreboard, "path"}, {strerror(ENOENT), "reason"}}},
        {"scrub failed",
         {"sbscrub", "-f", subdir},
         {},
         false,
         {{subdir, "path"}, {strerror(EISDIR), "reason"}}},
        // Before the scrub below clears the slot.
        {"dry run",
         {"sbscrub", "-n", "-v", "-f", scoreboard},
         {},
         true,
         {{scoreboard, "path"},
          {"slot 0 at offset 16", "slot n at offset offset"},
          {" " + std::to_string(pid), " pid"},
          {"1 of 1", "stale of occupied"}}},
        {"verbose progress",
         {"sbscrub", "-v", "-f", scoreboard},
         {},
         true,
         {{scoreboard, "path"}, {" " + std::to_string(pid), " pid"}}},
    };
    for (auto &c : cases) {
        const Page &page = c.argv[0] == "bigramlist" ? pages[0] : pages[2];
        const char *heading = c.on_stdout ? "OPTIONS" : "DIAGNOSTICS";
        harness::RunResult r = harness::run_program(page.program, c.argv, c.options);
        std::string message = c.on_stdout ? r.out : r.err;
        EXPECT_NE(message, "") << c.what;
        for (const auto &[from, to] : c.generic)
            message = replace_all(message, from, to);
        std::string text =
            squeeze(section(install_test::render_page(groff, page_path(page)), heading));
        for (const auto &line : lines(message))
            EXPECT_NE(text.find(squeeze(line)), std::string::npos)
                << c.what << ": \"" << squeeze(line) << "\" is not in " << page.file << " "
                << heading;
    }
}

TEST(ManPages, FilesNameTheDefaultsAsBuilt)
{
    REQUIRE_TOOL(groff, "groff");
    std::string files = section(install_test::render_page(groff, page_path(pages[2])), "FILES");
    EXPECT_NE(files.find(build_facts::default_config), std::string::npos) << files;
    EXPECT_NE(files.find(build_facts::default_scoreboard), std::string::npos) << files;
    // The scoreboard default is the one the program falls back to when it is missing.
    if (harness::exists(build_facts::default_scoreboard))
        return;
    harness::RunResult r =
        harness::run_program(build_facts::sbscrub, {"sbscrub", "-c", "/nonexistent/ferryd.conf"});
    EXPECT_EQ(r.status, 1);
    std::string named = r.err.substr(0, r.err.find(": "));
    EXPECT_NE(files.find(named), std::string::npos) << named;
}

// The runnable examples of a page: each "$ command" line with the output lines shown under it.
struct Example {
    std::string command;
    std::vector<std::string> output;
};
std::vector<Example> examples(const std::string &section_text)
{
    std::vector<Example> found;
    size_t indent = std::string::npos;
    for (const auto &line : lines(section_text)) {
        size_t at = line.find_first_not_of(' ');
        if (at != std::string::npos && line.compare(at, 2, "$ ") == 0) {
            found.push_back({line.substr(at + 2), {}});
            indent = at;
        } else if (at == std::string::npos || at < indent) {
            indent = std::string::npos;
        } else if (!found.empty()) {
            found.back().output.push_back(squeeze(line));
        }
    }
    return found;
}

TEST(ManPages, ExamplesPrintWhatTheyShow)
{
    REQUIRE_TOOL(groff, "groff");
    REQUIRE_TOOL(sh, "sh");
    const harness::temp_dir scratch;
    std::string path_dirs, dir = scratch.path();
    for (const Page &p : pages) {
        std::string program = p.program;
        path_dirs += program.substr(0, program.rfind('/')) + ":";
        // The shell cannot start a target program itself: a script of the same name, found
        // first, starts it under the emulator.
        if (harness::under_emulator()) {
            std::string script = dir + program.substr(program.rfind('/'));
            harness::write_file(script,
                                "#!/bin/sh\nexec \"$HARNESS_EMULATOR\" " + program + " \"$@\"\n");
            chmod(script.c_str(), 0755);
        }
    }
    path_dirs = dir + ":" + path_dirs;
    const harness::RunOptions options{.env = {"PATH=" + path_dirs + getenv("PATH"), "LC_ALL=C"}};
    for (const Page &p : {pages[0], pages[1]}) {
        std::string rendered = install_test::render_page(groff, page_path(p));
        std::vector<Example> shown = examples(section(rendered, "EXAMPLES"));
        EXPECT_FALSE(shown.empty()) << p.file;
        for (const auto &e : shown) {
            // There the program's path names the script; the sndcheck suite reads the image.
            if (harness::under_emulator() && e.command.find("command -v") != std::string::npos) {
                std::cout << "not run under the emulator: " << e.command << "\n";
                continue;
            }
            harness::RunResult r = harness::run_program(sh, {"sh", "-c", e.command}, options);
            std::vector<std::string> out;
            for (const auto &line : lines(r.out))
                out.push_back(squeeze(line));
            EXPECT_EQ(out, e.output) << p.file << ": " << e.command << "\n" << r.err;
        }
    }
}

} // namespace
