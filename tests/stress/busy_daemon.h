// A stand-in for a busy daemon in the stress test: under the whole-file write lock it keeps
// rewriting live slots, adding and removing slots and leaving stale ones behind, and checks on
// every turn that nobody else changed a slot except by clearing a stale one.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace stress
{

// What the daemon holds in one slot, written as standin::slot_bytes(generation, pid).
struct SlotState {
    enum Kind : int32_t { empty, live, stale } kind = empty;
    int32_t pid = 0;
    uint32_t generation = 0;
};

constexpr size_t max_slots = 48;

// What the daemon reports when it stops.
struct DaemonReport {
    uint64_t turns = 0;        // write-lock turns taken
    uint64_t writes = 0;       // slots written (rewritten, added or removed)
    uint64_t seen_cleared = 0; // stale slots found cleared by someone else
    uint64_t violations = 0;   // slots changed in any other way
    char first_violation[160] = {};
    uint32_t slot_count = 0; // the slots it holds at the end
    SlotState slots[max_slots];
};

// The whole file open at fd, read from its start.
std::string read_all(int fd);

// Runs the daemon on the scoreboard at path (header and slots as its model says) until a byte
// arrives on stop_fd, then writes its DaemonReport to report_fd. live pids name processes that
// stay alive throughout, dead pids processes that have ended.
void run_daemon(const std::string &path, const std::vector<SlotState> &initial,
                const std::vector<pid_t> &live, const std::vector<pid_t> &dead, unsigned seed,
                int stop_fd, int report_fd);

} // namespace stress
