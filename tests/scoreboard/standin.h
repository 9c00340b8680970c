// A stand-in for the daemon in tests: builds scoreboard files and holds locks on them.
#pragma once

#include "scoreboard.h"

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace standin
{

// The bytes of the header and of one slot.
constexpr size_t header_size = sizeof(scoreboard_header);
constexpr size_t slot_size = sizeof(scoreboard_entry);

// What a built scoreboard holds.
struct Board {
    uint32_t magic = SCOREBOARD_MAGIC;
    uint32_t version = SCOREBOARD_VERSION;
    int32_t daemon_pid = 0;
    uint32_t daemon_uptime = 0;
    std::vector<int32_t> pids = {}; // one slot per entry, 0 for an empty slot
    size_t partial = 0;             // bytes of a trailing partial slot
    int32_t partial_pid = 0x7777;   // the pid word of the partial slot, as far as it reaches
};

// The bytes of a scoreboard: the header, then the slots, whose data bytes carry a non-zero
// pattern that tells the slots apart, then the partial slot's bytes.
std::string build(const Board &board);
// The bytes of a slot held by pid, told apart from others by tag (build passes the slot's
// index): the pid, the tag, then a non-zero pattern of both, so that a slot that was half
// written, or mixed from two writes, never passes as whole.
std::string slot_bytes(size_t tag, int32_t pid);
// The pid word of a slot.
int32_t slot_pid(std::string_view slot);
// True for a slot of zero bytes or a whole slot_bytes image.
bool slot_whole(std::string_view slot);
// build(board) as a scrub leaves it that clears the slots of the pids in gone.
std::string scrubbed(const Board &board, const std::vector<int32_t> &gone);
// Writes build(board) to path.
void write(const std::string &path, const Board &board);

// A path that names no regular file, and the error that a scrub of it ends with.
struct refused_path {
    std::string path;
    int error;
};
// Makes in dir a symbolic link to the file at target, a FIFO and a directory; their paths, with
// the error of a scrub of each. Throws when they cannot be made.
std::vector<refused_path> make_refused_paths(const std::string &dir, const std::string &target);

// The ID of a process that has just ended, so that no process holds it.
pid_t dead_pid();

// Waits for a lock of type F_RDLCK or F_WRLCK on the whole file open at fd, or drops it with
// F_UNLCK, repeating the call when interrupted; false with errno on failure.
bool lock_whole(int fd, short type);

// A child process holding a whole-file lock; it lets go when its time is up or on release().
struct Holder {
    pid_t pid = -1;
};
// Forks a child that takes a lock of type F_RDLCK or F_WRLCK on the whole file at path (waiting
// for it), holds it for ms milliseconds and exits. Returns once the lock is held; pid -1 when
// the child could not take it.
Holder hold_lock(const std::string &path, short type, int ms);
// Waits for the holder to end; its exit status, or -1.
int release(Holder &holder);
// Whether another process can take a write lock on the whole file at path at once.
bool lockable(const std::string &path);

// A readable description of the scoreboard at path, one line per slot.
std::string describe(const std::string &path);

} // namespace standin
