// The dry run: the scrub's test of every occupied slot, through the slot-by-slot reader, which
// takes the shared lock the daemon's readers take, one slot at a time. A writer (the daemon, or a
// scrub) makes it wait; the daemon's readers never wait for it.
#include "dry_run.h"

#include "file_access.h"
#include "output_check.h"
#include "scoreboard.h"

#include <fcntl.h>

#include <cerrno>

namespace
{

// Read-only, whatever happens later, and without waiting at the open of a FIFO, which the open
// then refuses like anything else that is not a regular file.
constexpr int read_only_flags = O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

constexpr off64_t first_slot = sizeof(scoreboard_header);

// Releases the scoreboard when the dry run returns, keeping errno; harmless when none is open.
struct open_scoreboard {
    ~open_scoreboard() { file_access::keeping_errno(util_close_scoreboard); }
};

} // namespace

int util_scoreboard_dry_run(int verbose)
{
    if (verbose) {
        output_check::print("reading ScoreboardFile %s\n", util_get_scoreboard());
        output_check::flush();
    }
    open_scoreboard scoreboard;
    errno = 0;
    const int opened = util_open_scoreboard(read_only_flags);
    unsigned long long occupied = 0, stale = 0;
    // A file too short for a header (no errno) holds no slots, as the scrub finds too.
    if (opened < 0 && (opened != -1 || errno != 0))
        return opened;
    while (const scoreboard_entry *slot = opened == 0 ? util_scoreboard_entry_read() : nullptr) {
        // A trailing partial slot is no slot to the scrub, which leaves it alone.
        if (util_scoreboard_get_entry_length() != sizeof *slot)
            continue;
        ++occupied;
        if (!util_scoreboard_slot_stale(slot->pid))
            continue;
        ++stale;
        const off64_t offset = util_scoreboard_get_entry_offset();
        output_check::print("slot %lld at offset %lld: PID %u is gone\n",
                            static_cast<long long>((offset - first_slot) / sizeof *slot),
                            static_cast<long long>(offset), static_cast<unsigned>(slot->pid));
    }
    // The reader has reported a read error on standard output.
    if (errno != 0)
        return -1;
    output_check::print("%llu of %llu occupied slots are stale\n", stale, occupied);
    return 0;
}
