// The fixture of the scoreboard routines' tests: a scratch folder holding an empty file at path,
// made the scoreboard in force; whatever scoreboard a test opened is closed after it. Also the
// capture of what the routines print, for the tests that run them in this process.
#pragma once

#include "run_program.h"
#include "scoreboard.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>

class scoreboard_fixture : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        harness::write_file(path, "");
        ASSERT_EQ(util_set_scoreboard(path.c_str()), 0);
    }
    void TearDown() override { util_close_scoreboard(); }

    const harness::temp_dir scratch;
    const std::string dir = scratch.path();
    const std::string path = dir + "/ferryd.scoreboard";
};

// Runs f with standard output sent to a scratch file; what f wrote to it.
inline std::string stdout_of(const std::function<void()> &f)
{
    fflush(stdout);
    FILE *scratch = tmpfile();
    const int saved = dup(STDOUT_FILENO);
    if (scratch == nullptr || saved < 0 || dup2(fileno(scratch), STDOUT_FILENO) < 0)
        throw std::runtime_error("cannot capture standard output");
    f();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    rewind(scratch);
    std::string out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, scratch)) > 0;)
        out.append(buf, n);
    fclose(scratch);
    return out;
}
