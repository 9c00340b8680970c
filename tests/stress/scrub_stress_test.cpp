// sbscrub run over and over while a busy daemon rewrites, adds and removes slots under the
// whole-file locks: no live slot is ever cleared, no slot is ever seen half written, and every
// stale slot is gone after the next scrub. Runs for SCRUB_STRESS_SECONDS (default 8).
#include "build_facts.h"
#include "busy_daemon.h"
#include "run_program.h"
#include "standin.h"
#include "temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace
{

using standin::header_size;
using standin::slot_size;
using stress::SlotState;

// Processes that stay alive until this goes out of scope: the holders of the live slots.
struct Sleepers {
    std::vector<pid_t> pids;
    int release_fd = -1;

    explicit Sleepers(size_t n)
    {
        int p[2];
        if (pipe(p) < 0)
            return;
        release_fd = p[1];
        for (size_t i = 0; i < n; ++i) {
            pids.push_back(harness::start_child([&] {
                close(p[1]);
                char c;
                while (read(p[0], &c, 1) < 0 && errno == EINTR) {
                }
            }));
        }
        close(p[0]);
    }
    ~Sleepers()
    {
        close(release_fd);
        for (pid_t pid : pids)
            harness::wait_for(pid);
    }
    Sleepers(const Sleepers &) = delete;
    Sleepers &operator=(const Sleepers &) = delete;
};

// The busy daemon in a child process; stop() ends it and returns its report.
struct DaemonProcess {
    pid_t pid = -1;
    int stop_fd = -1, report_fd = -1;

    DaemonProcess(const std::string &path, const std::vector<SlotState> &initial,
                  const std::vector<pid_t> &live, const std::vector<pid_t> &dead, unsigned seed)
    {
        int stop[2], report[2];
        if (pipe(stop) < 0 || pipe(report) < 0)
            return;
        pid = harness::start_child([&] {
            close(stop[1]);
            close(report[0]);
            stress::run_daemon(path, initial, live, dead, seed, stop[0], report[1]);
        });
        close(stop[0]);
        close(report[1]);
        stop_fd = stop[1];
        report_fd = report[0];
    }
    ~DaemonProcess() { stop(); }
    DaemonProcess(const DaemonProcess &) = delete;
    DaemonProcess &operator=(const DaemonProcess &) = delete;

    // Stops the daemon; its report, or nothing when it could not be had.
    std::optional<stress::DaemonReport> stop()
    {
        if (pid < 0)
            return std::nullopt;
        char c = 's';
        (void)!write(stop_fd, &c, 1);
        stress::DaemonReport report;
        auto *bytes = reinterpret_cast<char *>(&report);
        size_t done = 0;
        while (done < sizeof report) {
            ssize_t n = read(report_fd, bytes + done, sizeof report - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        close(stop_fd);
        close(report_fd);
        harness::wait_for(pid);
        pid = -1;
        if (done != sizeof report)
            return std::nullopt;
        return report;
    }
};

// The whole scoreboard, read under a shared lock as the daemon's readers do.
std::string read_locked(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return {};
    standin::lock_whole(fd, F_RDLCK);
    std::string bytes = stress::read_all(fd);
    close(fd);
    return bytes;
}

bool gone(int32_t pid)
{
    return pid != 0 && kill(pid, 0) < 0 && errno == ESRCH;
}

std::string_view slot_at(std::string_view file, size_t i)
{
    return file.substr(header_size + i * slot_size, slot_size);
}

size_t slot_count(std::string_view file)
{
    return file.size() < header_size ? 0 : (file.size() - header_size) / slot_size;
}

// Empty when the file is a header and whole slots; else what is wrong.
std::string torn(std::string_view file)
{
    if (file.size() < header_size || (file.size() - header_size) % slot_size != 0)
        return "the file is " + std::to_string(file.size()) + " bytes, not whole slots";
    for (size_t i = 0; i < slot_count(file); ++i)
        if (!standin::slot_whole(slot_at(file, i)))
            return "slot " + std::to_string(i) + " is half written";
    return {};
}

harness::RunResult scrub(const std::string &path)
{
    const char *program = getenv("SCRUB_STRESS_PROGRAM");
    return harness::run_program(program ? program : build_facts::sbscrub, {"sbscrub", "-f", path},
                                {.timeout_ms = 10000});
}

double budget_seconds()
{
    const char *env = getenv("SCRUB_STRESS_SECONDS");
    double s = env ? strtod(env, nullptr) : 8.0;
    return s > 0 && s <= 600 ? s : 8.0;
}

TEST(ScrubStress, LiveSlotsSurviveAndStaleSlotsGo)
{
    const harness::temp_dir scratch;
    const std::string path = scratch.path() + "/ferryd.scoreboard";
    Sleepers sleepers(3);
    ASSERT_EQ(sleepers.pids.size(), 3u);
    std::vector<pid_t> dead;
    for (int i = 0; i < 6; ++i)
        dead.push_back(standin::dead_pid());

    // A dozen slots to start with: live, stale and empty in turn.
    std::vector<SlotState> initial;
    std::string file = standin::build(standin::Board{});
    for (size_t i = 0; i < 12; ++i) {
        SlotState s;
        if (i % 3 != 2) {
            s.kind = i % 3 == 0 ? SlotState::live : SlotState::stale;
            s.pid = i % 3 == 0 ? sleepers.pids[i % 3] : dead[i % dead.size()];
            s.generation = static_cast<uint32_t>(i + 1);
        }
        initial.push_back(s);
        file += s.kind == SlotState::empty ? std::string(slot_size, '\0')
                                           : standin::slot_bytes(s.generation, s.pid);
    }
    harness::write_file(path, file);

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(testing::Message() << "daemon seed " << seed);
    DaemonProcess daemon(path, initial, sleepers.pids, dead, seed);
    ASSERT_GT(daemon.pid, 0);

    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::duration<double>(budget_seconds());
    size_t scrubs = 0, stale_seen = 0;
    std::string failure;
    while (failure.empty() && std::chrono::steady_clock::now() < deadline) {
        std::string before = read_locked(path);
        failure = torn(before);
        // The slots of processes that are gone, as they stand before the scrub.
        std::vector<std::pair<size_t, std::string>> stale;
        for (size_t i = 0; failure.empty() && i < slot_count(before); ++i)
            if (gone(standin::slot_pid(slot_at(before, i))))
                stale.emplace_back(i, std::string(slot_at(before, i)));
        stale_seen += stale.size();

        ++scrubs;
        if (!harness::expect_run(scrub(path), 0, "", "", "scrub " + std::to_string(scrubs)) &&
            failure.empty())
            failure = "sbscrub failed";

        std::string after = read_locked(path);
        if (failure.empty())
            failure = torn(after);
        // A stale slot may since have been taken again, but never be left as it was.
        for (const auto &[i, bytes] : stale)
            if (failure.empty() && i < slot_count(after) && slot_at(after, i) == bytes &&
                gone(standin::slot_pid(bytes)))
                failure = "slot " + std::to_string(i) + " of gone process " +
                          std::to_string(standin::slot_pid(bytes)) + " survived a scrub";
    }
    auto report = daemon.stop();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(failure, "") << standin::describe(path);
    ASSERT_TRUE(report.has_value()) << "the daemon sent no report";
    EXPECT_EQ(report->violations, 0u) << report->first_violation;

    // With the daemon stopped, one more scrub leaves exactly its live and empty slots.
    harness::expect_run(scrub(path), 0, "", "", "the last scrub");
    std::string final_file = harness::read_file(path);
    ASSERT_EQ(slot_count(final_file), report->slot_count);
    for (size_t i = 0; i < report->slot_count; ++i) {
        const SlotState &s = report->slots[i];
        bool cleared = s.kind == SlotState::empty || (s.kind == SlotState::stale && gone(s.pid));
        EXPECT_EQ(slot_at(final_file, i),
                  cleared ? std::string(slot_size, '\0') : standin::slot_bytes(s.generation, s.pid))
            << "slot " << i << " of pid " << s.pid;
    }

    std::cerr << "scrub stress: " << scrubs << " scrubs, " << report->turns << " daemon turns, "
              << report->writes << " slot writes, " << stale_seen << " stale slots before scrubs, "
              << report->seen_cleared << " seen cleared, in " << seconds << " s\n";
    EXPECT_GE(scrubs, 20u);
    EXPECT_GE(report->writes, 100u);
    EXPECT_GT(report->seen_cleared, 0u);
}

} // namespace
