// The scrub of the scoreboard file: clearing the slots of processes that are gone.
#pragma once

#include <sys/types.h>

// Zeroes, under a write lock on the whole file, every slot whose process is gone, once the
// header shows a scoreboard of this layout; with verbose, reports progress on standard output.
// 0, -1 with errno, or -2 to -4 as util_check_scoreboard_header for a file left untouched.
int util_scoreboard_scrub(int verbose);
// Whether the slot of process pid is stale, so that the scrub clears it: no process has that ID
// (a negative one names none); a process of another user counts as alive.
bool util_scoreboard_slot_stale(pid_t pid);
