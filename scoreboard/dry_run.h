// The dry run of the scrub: names the slots a scrub would clear, and writes nothing.
#pragma once

// Reads the scoreboard slot by slot under the daemon's shared read locks, opened read-only, and
// prints on standard output a line for each slot a scrub would clear and a count at the end;
// with verbose, the path first. 0, -1 with errno, or -2 to -4 as util_check_scoreboard_header.
int util_scoreboard_dry_run(int verbose);
