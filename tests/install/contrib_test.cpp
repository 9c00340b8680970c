// The scrubber's schedules in contrib/: the systemd units pass systemd-analyze verify, and the
// cron file holds one well-formed line that runs sbscrub.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <string>

#include "program_paths.h"
#include "run_program.h"
#include "temp_dir.h"
#include "tools.h"

namespace
{

TEST(Contrib, SystemdUnitsVerify)
{
    REQUIRE_TOOL(analyze, "systemd-analyze");
    const harness::temp_dir scratch;
    const std::string &dir = scratch.path();
    // The unit names the scrubber by its bare name, found on systemd's own search path; here it
    // is pointed at the built program, whose name must match.
    std::string service = harness::read_file(CONTRIB_DIR "/sbscrub.service");
    std::string sbscrub = program_paths::sbscrub;
    std::string name = sbscrub.substr(sbscrub.rfind('/') + 1);
    const std::string exec = "\nExecStart=" + name + "\n";
    ASSERT_NE(service.find(exec), std::string::npos) << service;
    service.replace(service.find(exec), exec.size(), "\nExecStart=" + sbscrub + "\n");
    harness::write_file(dir + "/sbscrub.service", service);
    harness::write_file(dir + "/sbscrub.timer", harness::read_file(CONTRIB_DIR "/sbscrub.timer"));

    // Documentation=man:sbscrub(8) is looked up among the built pages.
    std::filesystem::create_directories(dir + "/man/man8");
    std::filesystem::copy_file(MAN_DIR "/sbscrub.8", dir + "/man/man8/sbscrub.8");
    std::vector<std::string> argv = {analyze, "verify"};
    if (install_test::find_tool("man").empty())
        argv.push_back("--man=no");
    argv.push_back(dir + "/sbscrub.timer");
    argv.push_back(dir + "/sbscrub.service");
    harness::RunResult r =
        harness::run_program(analyze, argv, {.env = {"MANPATH=" + dir + "/man"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

TEST(Contrib, CronFileRunsTheScrubberEveryFewMinutes)
{
    std::string path_line, job;
    int jobs = 0;
    for (const auto &line : install_test::lines(harness::read_file(CONTRIB_DIR "/sbscrub.cron"))) {
        if (line.empty() || line[0] == '#')
            continue;
        if (line.rfind("PATH=", 0) == 0) {
            path_line = line;
            continue;
        }
        job = line;
        ++jobs;
    }
    EXPECT_EQ(jobs, 1);
    // Five time fields, the user, then the command.
    std::smatch m;
    ASSERT_TRUE(
        std::regex_match(job, m, std::regex(R"(([0-9*/,-]+ ){5}([a-z_][a-z0-9_-]*) (\S+)( .*)?)")))
        << job;
    EXPECT_EQ(m[2].str(), "root");
    EXPECT_EQ(m[3].str(), "sbscrub");
    // The command is found where the programs are installed, by make install or the package.
    for (const char *dir : {"/usr/local/sbin", "/usr/sbin"})
        EXPECT_NE((path_line + ":").find(std::string(dir) + ":"), std::string::npos) << dir;
}

} // namespace
