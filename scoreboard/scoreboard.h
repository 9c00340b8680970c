// The daemon's scoreboard file: its layout, and the routines that find, validate, open, read
// and (through scrub.h, included here) scrub it. One scoreboard per process; the routines are
// not thread-safe.
#pragma once

#include "scrub.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Marks a file as a scoreboard (first header word).
constexpr uint32_t SCOREBOARD_MAGIC = 0xDEADBEEF;
// The one layout version these routines read (second header word).
constexpr uint32_t SCOREBOARD_VERSION = 0x01040003;

// The 16-byte header at offset 0, in the host's byte order.
struct scoreboard_header {
    uint32_t magic;         // SCOREBOARD_MAGIC
    uint32_t version;       // SCOREBOARD_VERSION
    int32_t daemon_pid;     // process ID of the daemon that owns the file
    uint32_t daemon_uptime; // written by the daemon and handed on unread
};

// One 616-byte slot; slots follow the header back to back to the end of the file.
struct scoreboard_entry {
    int32_t pid;             // process holding the slot, 0 for an empty slot
    unsigned char data[612]; // the daemon's per-process record, never interpreted here
};

static_assert(sizeof(scoreboard_header) == 16);
static_assert(offsetof(scoreboard_header, magic) == 0);
static_assert(offsetof(scoreboard_header, version) == 4);
static_assert(offsetof(scoreboard_header, daemon_pid) == 8);
static_assert(offsetof(scoreboard_header, daemon_uptime) == 12);
static_assert(sizeof(scoreboard_entry) == 616);
static_assert(offsetof(scoreboard_entry, pid) == 0);
static_assert(offsetof(scoreboard_entry, data) == 4);
static_assert(sizeof(pid_t) == sizeof(int32_t));

// The scoreboard path in force (never null); initially the compiled-in default.
const char *util_get_scoreboard();
// Validates path (an existing file in a directory not writable by others) and makes it the
// scoreboard path; 0, or -1 with errno and the previous path kept.
int util_set_scoreboard(const char *path);
// Checks a header read from a scoreboard: 0, -2 bad magic, -3 older version, -4 newer version.
int util_check_scoreboard_header(const scoreboard_header *header);
// Opens the scoreboard with flags and reads its header: 0, -1 (errno; not set by a header cut
// short), or -2 to -4 as util_check_scoreboard_header. A symbolic link and anything but a
// regular file are refused before any read. The file stays open after -1 from the header read
// and after -2 to -4, until util_close_scoreboard.
int util_open_scoreboard(int flags);
// The next occupied slot (a module buffer overwritten by the next call), or null: errno 0 at
// the end, EINVAL when nothing is open, otherwise the read error.
scoreboard_entry *util_scoreboard_entry_read();
// Releases the open scoreboard, if any; always 0.
int util_close_scoreboard();
// The daemon's process ID from the header last read, 0 before any open.
pid_t util_scoreboard_get_daemon_pid();
// The daemon's up-time word from the header last read, 0 before any open.
uint32_t util_scoreboard_get_daemon_uptime();
// The file offset of the slot last returned by util_scoreboard_entry_read.
off64_t util_scoreboard_get_entry_offset();
// How many bytes of that slot were read: fewer than a slot's size for a trailing partial slot.
size_t util_scoreboard_get_entry_length();
// Copies at most n - 1 characters of src (null: none) to dest and terminates it; dest, or
// null when dest is null or n is 0.
char *util_sstrncpy(char *dest, const char *src, size_t n);
