// The scrub of the scoreboard file: clearing the slots of processes that are gone.
#pragma once

// Zeroes, under a write lock on the whole file, every slot whose process is gone, once the
// header shows a scoreboard of this layout; with verbose, reports progress on standard output.
// 0, -1 with errno, or -2 to -4 as util_check_scoreboard_header for a file left untouched.
int util_scoreboard_scrub(int verbose);
