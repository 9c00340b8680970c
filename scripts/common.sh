# shellcheck shell=sh
# What the tree's scripts share. Each script reads it first, before any cd:
#     . "$(dirname "$0")/common.sh"                (scripts/)
#     . "$(dirname "$0")/../scripts/common.sh"     (fuzz/, bench/)

# The root of the tree: every script that reads this file lies in a folder just below it.
# shellcheck disable=SC2034 # used by the scripts that read this file
top=$(cd "$(dirname "$0")/.." && pwd)

# step LOG COMMAND...: runs COMMAND with its output added to the file LOG; if COMMAND fails,
# shows the last 40 lines that it added on standard error and returns its status.
step() {
    step_log=$1
    shift
    step_from=1
    [ ! -f "$step_log" ] || step_from=$(($(wc -c <"$step_log") + 1))
    step_status=0
    "$@" >>"$step_log" 2>&1 || step_status=$?
    [ "$step_status" = 0 ] || tail -c "+$step_from" "$step_log" | tail -n 40 >&2
    return "$step_status"
}

# die MESSAGE: prints MESSAGE after the script's name on standard error, and exits with 1.
die() {
    echo "$(basename "$0" .sh): $*" >&2
    exit 1
}
