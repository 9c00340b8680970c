// The scrub of the scoreboard file: clearing the slots of processes that are gone.
#pragma once

// Zeroes, under a write lock on the whole file, every slot whose process is gone; with
// verbose, reports progress on standard output. 0, or -1 with errno.
int util_scoreboard_scrub(int verbose);
