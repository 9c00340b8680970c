// The scrub: clears, under a write lock on the whole scoreboard, the slots of processes that
// no longer exist.
#include "scrub.h"

#include "file_access.h"
#include "output_check.h"
#include "scoreboard.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

// Further attempts at writing a cleared slot after a failed or short write.
constexpr int extra_write_attempts = 3;
// Unlock requests at the end of the scan; closing the file drops the lock in any case.
constexpr int unlock_attempts = 3;

constexpr off64_t first_slot = sizeof(scoreboard_header);

// Releases the write lock when the scrub returns, keeping errno.
struct write_lock {
    int fd;
    ~write_lock()
    {
        file_access::keeping_errno([this] {
            file_access::within_attempts(unlock_attempts,
                                         [this] { return file_access::unlock_whole_file(fd); });
        });
    }
};

// The messages of the scan with verbose on. They are kept in memory while the lock is held and
// written once it is released, so that a reader of standard output that does not keep up never
// keeps the daemon waiting for the lock. Should memory run out, the later messages are dropped
// and the loss is remembered as a failure of standard output, reported at exit.
struct scan_messages {
    bool verbose;
    char *kept = nullptr; // a heap block of size bytes, the first used of them kept messages
    size_t used = 0, size = 0;
    bool dropping = false;

    ~scan_messages() { free(kept); }
    // Adds one message, a printf format and its arguments.
    [[gnu::format(printf, 2, 3)]] void add(const char *format, ...);
    // Writes and flushes what was kept.
    void write_out();
};

void scan_messages::add(const char *format, ...)
{
    if (!verbose || dropping)
        return;
    char text[256];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0)
        return;
    const size_t length = std::min(static_cast<size_t>(n), sizeof text - 1);
    if (size - used < length) {
        // Doubling keeps the copies linear in the output; a block that cannot double is as
        // much a lack of memory as a refused one.
        char *grown = size <= (SIZE_MAX - sizeof text) / 2
                          ? static_cast<char *>(realloc(kept, 2 * size + length))
                          : nullptr;
        if (grown == nullptr) {
            dropping = true;
            output_check::lost(ENOMEM);
            return;
        }
        kept = grown;
        size = 2 * size + length;
    }
    memcpy(kept + used, text, length);
    used += length;
}

void scan_messages::write_out()
{
    if (used != 0)
        output_check::write(kept, used);
    output_check::flush();
    used = 0;
}

// Reading and writing, refusing a symbolic link and anything but a regular file, so that the
// scrub never writes into some other file or a device.
constexpr file_access::open_rules scoreboard_rules{
    .flags = O_RDWR | O_NOCTTY,
    .refuse_links = true,
    .not_regular_errno = EPERM,
    .nonblocking_open = true,
};

// Overwrites the slot at pos with zeros. After a failed or short write (reported when verbose)
// the rest of the slot is written again at the offset reached, a bounded number of times.
// 0, or -1 with errno (EIO for a short write).
int clear_slot(int fd, off64_t pos, scoreboard_entry &slot, scan_messages &messages)
{
    memset(&slot, 0, sizeof slot);
    const char *bytes = reinterpret_cast<const char *>(&slot);
    size_t done = 0;
    int failures = 0;
    bool seek = true;
    while (done < sizeof slot) {
        if (seek && lseek64(fd, pos + static_cast<off64_t>(done), SEEK_SET) < 0)
            return -1;
        ssize_t n = file_access::retry_after_signal(
            [&] { return write(fd, bytes + done, sizeof slot - done); });
        seek = false;
        if (n > 0)
            done += static_cast<size_t>(n);
        if (done == sizeof slot)
            break;
        int err = n < 0 ? errno : EIO;
        messages.add("error scrubbing scoreboard: %s", strerror(err));
        if (++failures > extra_write_attempts) {
            errno = err;
            return -1;
        }
        seek = true;
    }
    return 0;
}

// Clears the stale slots of the scoreboard on fd, which is locked, once its header shows that it
// is one: 0 (also for a file too short for a header, which has no slots), -1 with errno, or -2
// to -4 as util_check_scoreboard_header, with nothing written.
int scan_slots(int fd, scan_messages &messages)
{
    scoreboard_header header;
    ssize_t n = file_access::retry_after_signal([&] { return read(fd, &header, sizeof header); });
    if (n < 0)
        return -1;
    if (n != static_cast<ssize_t>(sizeof header))
        return 0;
    if (int refused = util_check_scoreboard_header(&header))
        return refused;
    off64_t pos = lseek64(fd, first_slot, SEEK_SET);
    if (pos < 0)
        return -1;
    scoreboard_entry slot{};
    for (;;) {
        n = file_access::retry_after_signal([&] { return read(fd, &slot, sizeof slot); });
        if (n < 0)
            return -1;
        // End of file, or a trailing partial slot, ends the scan.
        if (n != static_cast<ssize_t>(sizeof slot))
            return 0;
        if (util_scoreboard_slot_stale(slot.pid)) {
            // This message and the write errors of clear_slot end without a line break on
            // purpose: that is the format, in which they run together on one line.
            messages.add("scrubbing scoreboard slot for PID %u", static_cast<unsigned>(slot.pid));
            if (clear_slot(fd, pos, slot, messages) < 0)
                return -1;
        }
        pos = lseek64(fd, 0, SEEK_CUR);
        if (pos < 0)
            return -1;
    }
}

// Opens and locks the scoreboard at path and clears its stale slots; the lock is released and
// the file closed on return. 0, -1 with errno, or -2 to -4 for a file that is no scoreboard.
int scrub_file(const char *path, scan_messages &messages)
{
    int fd = file_access::open_checked(path, scoreboard_rules);
    if (fd < 0)
        return -1;
    file_access::descriptor_guard file{fd};
    if (file_access::lock_whole_file(fd, F_WRLCK) < 0)
        return -1;
    write_lock lock{fd};
    return scan_slots(fd, messages);
}

} // namespace

bool util_scoreboard_slot_stale(pid_t pid)
{
    // A negative pid names no process (kill would take it for a process group), so its slot is
    // stale without a probe. Only a probe that finds no such process marks a slot stale; a
    // process of another user (EPERM) keeps its slot.
    return pid < 0 || (pid > 0 && kill(pid, 0) < 0 && errno == ESRCH);
}

int util_scoreboard_scrub(int verbose)
{
    const char *path = util_get_scoreboard();
    // Out before the lock is requested, so that a scrub waiting for it says what it waits for.
    if (verbose) {
        output_check::print("scrubbing ScoreboardFile %s\n", path);
        output_check::flush();
    }
    scan_messages messages{verbose != 0, {}};
    int result = scrub_file(path, messages);
    file_access::keeping_errno([&] { messages.write_out(); });
    return result;
}
