// The fixture of the scoreboard routines' tests: a scratch folder holding an empty file at path,
// made the scoreboard in force; whatever scoreboard a test opened is closed after it.
#pragma once

#include "run_program.h"
#include "scoreboard.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

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
