// The scrubber's schedules as built in contrib/: the systemd units pass systemd-analyze verify and
// its security review, and the cron line steps aside under systemd, runs only while the scrubber
// is installed, cannot pile up and is bounded in time, with cron's own PATH; the manual page
// shows that line and the installed program's path as they are.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <regex>
#include <string>

#include "build_facts.h"
#include "run_program.h"
#include "temp_dir.h"
#include "tools.h"

namespace
{

const std::string contrib = std::string(build_facts::build_dir) + "/contrib";

// Copies of the units in dir, with the built scrubber in place of the installed one (systemd
// checks that the program exists); the path of the service.
std::string units_with_built_scrubber(const std::string &dir)
{
    std::string service = harness::read_file(contrib + "/sbscrub.service");
    const std::string exec = std::string("\nExecStart=") + build_facts::installed_sbscrub + "\n";
    size_t at = service.find(exec);
    EXPECT_NE(at, std::string::npos) << service;
    if (at != std::string::npos)
        service.replace(at, exec.size(), std::string("\nExecStart=") + build_facts::sbscrub + "\n");
    harness::write_file(dir + "/sbscrub.service", service);
    harness::write_file(dir + "/sbscrub.timer", harness::read_file(contrib + "/sbscrub.timer"));
    return dir + "/sbscrub.service";
}

TEST(Contrib, SystemdUnitsVerify)
{
    REQUIRE_TOOL(analyze, "systemd-analyze");
    const harness::temp_dir scratch;
    const std::string &dir = scratch.path();
    const std::string service = units_with_built_scrubber(dir);

    // Documentation=man:sbscrub(8) is looked up among the built pages.
    std::filesystem::create_directories(dir + "/man/man8");
    std::filesystem::copy_file(std::string(build_facts::man_dir) + "/sbscrub.8",
                               dir + "/man/man8/sbscrub.8");
    std::vector<std::string> argv = {analyze, "verify"};
    if (install_test::find_tool("man").empty())
        argv.push_back("--man=no");
    argv.push_back(dir + "/sbscrub.timer");
    argv.push_back(service);
    harness::expect_run(harness::run_program(analyze, argv, {.env = {"MANPATH=" + dir + "/man"}}),
                        0, "", "");
}

TEST(Contrib, ServiceIsSandboxed)
{
    REQUIRE_TOOL(analyze, "systemd-analyze");
    const harness::temp_dir scratch;
    const std::string service = units_with_built_scrubber(scratch.path());
    harness::RunResult r =
        install_test::run_ok({analyze, "security", "--offline=yes", "--no-pager", service});
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(r.out, m, std::regex(R"(Overall exposure level for \S+: ([0-9.]+))")))
        << r.out;
    std::cout << "exposure level: " << m[1] << "\n";
    // It may write the scoreboard itself, not its directory, which may be one that the service
    // keeps read-only as a whole (/run) and that would then stay so.
    const std::string unit = harness::read_file(service);
    EXPECT_NE(unit.find(std::string("\nReadWritePaths=-") + build_facts::default_scoreboard + "\n"),
              std::string::npos)
        << unit;
    // A scoreboard under /tmp or /var/tmp costs the service its own private ones.
    const bool shared_tmp = unit.find("\nPrivateTmp=no\n") != std::string::npos;
    EXPECT_LE(std::stod(m[1].str()), shared_tmp ? 1.1 : 0.9) << r.out;
}

// The command of the cron file's one job; empty when the file does not hold exactly one job of
// five time fields, run by root.
std::string cron_command()
{
    std::string job;
    int jobs = 0;
    for (const auto &line : install_test::lines(harness::read_file(contrib + "/sbscrub.cron"))) {
        if (!line.empty() && line[0] != '#') {
            job = line;
            ++jobs;
        }
    }
    EXPECT_EQ(jobs, 1);
    std::smatch m;
    if (jobs != 1 || !std::regex_match(job, m, std::regex(R"((?:[0-9*/,-]+ ){5}root (.+))"))) {
        ADD_FAILURE() << "not a job run by root: " << job;
        return "";
    }
    return m[1].str();
}

// Replaces the first match of pattern in text (whose first group, if any, is kept in found).
bool replace(std::string &text, const std::string &pattern, const std::string &with,
             std::string *found = nullptr)
{
    std::smatch m;
    if (!std::regex_search(text, m, std::regex(pattern)))
        return false;
    if (found != nullptr)
        *found = m.size() > 1 ? m[1].str() : m[0].str();
    text.replace(static_cast<size_t>(m.position(0)), static_cast<size_t>(m.length(0)), with);
    return true;
}

TEST(Contrib, CronLineRunsTheScrubberOnlyWhenItShould)
{
    REQUIRE_TOOL(sh, "sh");
    const std::string command = cron_command();
    ASSERT_NE(command, "");
    const harness::temp_dir scratch;
    const std::string &dir = scratch.path();
    // The line is run as cron would, with cron's PATH, after moving what it looks at into dir:
    // the mark of a running systemd, the scrubber (a script that notes each run), and the lock
    // file, which must lie under /run and be taken without waiting.
    std::string run = command;
    std::string lock, limit;
    ASSERT_TRUE(replace(run, "test -d /run/systemd/system ", "test -d " + dir + "/systemd "))
        << command;
    ASSERT_TRUE(replace(run, R"(flock -n (/run/\S+))", "flock -n " + dir + "/lock", &lock))
        << command;
    ASSERT_TRUE(replace(run, R"(timeout ([0-9]+m) )", "timeout $LIMIT ", &limit)) << command;
    EXPECT_LT(std::stoi(limit), 5) << "a run may last into the next one";
    // The scrubber is tested for and run by its full path, as installed.
    const std::string installed = build_facts::installed_sbscrub, scrubber = dir + "/sbscrub";
    ASSERT_NE(run.find("test ! -x " + installed + " "), std::string::npos) << command;
    ASSERT_EQ(run.substr(run.size() - installed.size() - 1), " " + installed) << command;
    for (size_t at; (at = run.find(installed)) != std::string::npos;)
        run.replace(at, installed.size(), scrubber);
    // So are the daemon's default files, whose absence means there is no daemon.
    const std::string guard = std::string("{ test ! -e ") + build_facts::default_scoreboard +
                              " && test ! -e " + build_facts::default_config + "; }";
    const size_t at = run.find(guard);
    ASSERT_NE(at, std::string::npos) << command;
    run.replace(at, guard.size(), "{ test ! -e " + dir + "/sb && test ! -e " + dir + "/conf; }");
    const std::string script = "#!/bin/sh\necho run >>" + dir + "/runs\nexec sleep \"$NAP\"\n";

    struct Case {
        const char *what;
        bool systemd, installed, locked;
        const char *nap, *limit; // how long the scrubber runs, and the time it is given
        int status;
        int runs;
        const char *daemon_file = "sb"; // the daemon's default file that exists, if any
    } cases[] = {
        {"runs the scrubber", false, true, false, "0", "1m", 0, 1},
        {"runs with only the configuration", false, true, false, "0", "1m", 0, 1, "conf"},
        {"steps aside without the daemon's files", false, true, false, "0", "1m", 0, 0, nullptr},
        {"steps aside where systemd runs", true, true, false, "0", "1m", 0, 0},
        {"does nothing once the scrubber is removed", false, false, false, "0", "1m", 0, 0},
        {"skips a run while the last one holds the lock", false, true, true, "0", "1m", 1, 0},
        {"ends a run that waits too long", false, true, false, "30", "1s", 124, 1},
    };
    for (const auto &c : cases) {
        for (const char *name : {"/systemd", "/runs", "/sb", "/conf", "/sbscrub"})
            std::filesystem::remove_all(dir + name);
        if (c.daemon_file)
            harness::write_file(dir + "/" + c.daemon_file, "");
        if (c.systemd)
            std::filesystem::create_directory(dir + "/systemd");
        if (c.installed) {
            harness::write_file(scrubber, script);
            chmod(scrubber.c_str(), 0755);
        }
        int held = open((dir + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(held, 0);
        if (c.locked) {
            ASSERT_EQ(flock(held, LOCK_EX), 0);
        }
        harness::RunResult r =
            harness::run_program(sh, {"sh", "-c", run},
                                 {.env = {"PATH=/usr/bin:/bin", std::string("NAP=") + c.nap,
                                          std::string("LIMIT=") + c.limit},
                                  .timeout_ms = 10000});
        close(held);
        harness::expect_run(r, c.status, "", "", c.what);
        std::string runs = harness::exists(dir + "/runs") ? harness::read_file(dir + "/runs") : "";
        EXPECT_EQ(install_test::lines(runs).size(), static_cast<size_t>(c.runs)) << c.what;
    }
}

TEST(Contrib, ManualPageShowsTheSchedulesAsInstalled)
{
    REQUIRE_TOOL(groff, "groff");
    std::string job;
    for (const auto &line : install_test::lines(harness::read_file(contrib + "/sbscrub.cron")))
        if (!line.empty() && line[0] != '#')
            job = line;
    std::string examples = install_test::section(
        install_test::render_page(groff, std::string(build_facts::man_dir) + "/sbscrub.8"),
        "EXAMPLES");
    bool shown = false;
    for (const auto &line : install_test::lines(examples))
        shown = shown || install_test::squeeze(line) == job;
    EXPECT_TRUE(shown) << job << "\nis not among\n" << examples;
    // The drop-in that points the service at another scoreboard runs the installed program.
    EXPECT_NE(examples.find(std::string(" ExecStart=") + build_facts::installed_sbscrub + " -f /"),
              std::string::npos)
        << examples;
}

} // namespace
