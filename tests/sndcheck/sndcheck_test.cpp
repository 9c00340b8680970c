#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "build_facts.h"
#include "run_program.h"

namespace
{

TEST(Sndcheck, AlwaysAnswersUnavailableAndWritesNothing)
{
    struct Case {
        const char *what;
        std::vector<std::string> argv;
        harness::RunOptions options;
    } cases[] = {
        {"no arguments", {"sndcheck"}, {}},
        {"arguments", {"sndcheck", "-h", "--version", "x"}, {}},
        {"standard input closed", {"sndcheck"}, {.in = harness::closed()}},
        {"all standard descriptors closed",
         {"sndcheck"},
         {.in = harness::closed(), .out = harness::closed(), .err = harness::closed()}},
        {"no argv[0]", {}, {}},
    };
    for (const auto &c : cases)
        harness::expect_run(harness::run_program(build_facts::sndcheck, c.argv, c.options), 1, "",
                            "", c.what);
}

// The identification strings as an identification tool finds them: "@(#)" and the printable
// run (tabs included) after it.
std::vector<std::string> what_strings(const std::string &image)
{
    std::vector<std::string> found;
    for (size_t at = image.find("@(#)"); at != std::string::npos; at = image.find("@(#)", at + 1)) {
        size_t end = at + 4;
        while (end < image.size() &&
               (isprint(static_cast<unsigned char>(image[end])) || image[end] == '\t'))
            ++end;
        found.push_back(image.substr(at + 4, end - at - 4));
    }
    return found;
}

TEST(Sndcheck, KeepsItsFourIdentificationStrings)
{
    auto found = what_strings(harness::read_file(build_facts::sndcheck));
    ASSERT_EQ(found.size(), 4u);
    for (const auto &s : found) {
        // source name, tab, version, tab, date
        size_t tab1 = s.find('\t'), tab2 = s.find('\t', tab1 + 1);
        ASSERT_NE(tab2, std::string::npos) << s;
        EXPECT_GT(tab1, 0u) << s;
        EXPECT_GT(tab2, tab1 + 1) << s;
        EXPECT_EQ(s.size() - tab2 - 1, 10u) << s; // YYYY-MM-DD
    }
}

} // namespace
