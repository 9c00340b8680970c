#!/bin/sh
# Demonstrates sbscrub: writes a scoreboard with slots of running and ended processes in a
# temporary directory, shows it, scrubs it verbosely, and shows it again. The file is written
# and read here with printf and od, so the demo needs nothing but the program.
# Usage: sh scripts/demo-scoreboard.sh BUILD_DIR
set -eu

build=${1:?usage: demo-scoreboard.sh BUILD_DIR}
sbscrub=$build/scoreboard/sbscrub
if [ ! -x "$sbscrub" ]; then
    echo "demo-scoreboard: $sbscrub is missing; build first" >&2
    exit 1
fi

# The file's 32-bit fields are in the host's byte order.
little=false
[ "$(printf '\001\000\000\000' | od -An -tu4 | tr -d ' ')" = 1 ] && little=true

# word N: the four bytes of the 32-bit number N.
word() {
    set -- $(($1 >> 24 & 255)) $(($1 >> 16 & 255)) $(($1 >> 8 & 255)) $(($1 & 255))
    if $little; then
        set -- "$4" "$3" "$2" "$1"
    fi
    printf '%b' "$(printf '\\0%03o' "$@")"
}

# slot PID: a 616-byte slot held by PID, its data bytes all 'd'.
slot() {
    word "$1"
    dd if=/dev/zero bs=612 count=1 2>/dev/null | tr '\0' d
}

# ended: the ID of a process that has just ended.
ended() {
    sh -c : &
    wait $!
    echo $!
}

# show FILE: the header, and each slot's process, whether it runs, and whether it was cleared.
show() {
    file=$1
    # shellcheck disable=SC2046 # od's words are the four header fields
    set -- $(od -An -tx4 -N8 "$file" | tr a-f A-F) $(od -An -td4 -j8 -N4 "$file") \
        $(od -An -tu4 -j12 -N4 "$file")
    echo "header: magic $1 version $2 daemon pid $3 uptime $4"
    size=$(wc -c <"$file")
    at=16
    n=0
    while [ $((at + 616)) -le "$size" ]; do
        pid=$(od -An -td4 -j$at -N4 "$file" | tr -d ' ')
        if [ "$pid" = 0 ]; then
            held="(empty)"
        elif kill -0 "$pid" 2>/dev/null; then
            held="(running)"
        else
            held="(gone)"
        fi
        if [ -z "$(od -An -v -tx1 -j$at -N616 "$file" | tr -d ' 0\n')" ]; then
            data="cleared (all zero)"
        else
            data="as written"
        fi
        echo "slot $n at offset $at: pid $pid $held, $data"
        at=$((at + 616))
        n=$((n + 1))
    done
}

dir=$(mktemp -d "${TMPDIR:-/tmp}/sbscrub-demo.XXXXXX")
sleep 60 &
sleeper=$!
trap 'kill $sleeper 2>/dev/null || true; rm -rf "$dir"' EXIT INT TERM

board=$dir/ferryd.scoreboard
# Slots: this shell, an ended process, an empty slot, a sleeping process, another ended one.
{
    word 0xDEADBEEF
    word 0x01040003
    word $$
    word 3600
    slot $$
    slot "$(ended)"
    slot 0
    slot $sleeper
    slot "$(ended)"
} >"$board"

echo "== sbscrub demo: a scoreboard with running and ended processes"
echo "-- before:"
show "$board"
echo "-- running: sbscrub -v -f $board"
status=0
"$sbscrub" -v -f "$board" || status=$?
echo
echo "-- exit status $status"
echo "-- after:"
show "$board"
exit $status
