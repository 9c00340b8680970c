#!/bin/sh
# Demonstrates sbscrub: builds a scoreboard with slots of running and ended processes in a
# temporary directory, shows it, scrubs it verbosely, and shows it again.
# Usage: sh scripts/demo-scoreboard.sh BUILD_DIR
set -eu

build=${1:?usage: demo-scoreboard.sh BUILD_DIR}
sbscrub=$build/scoreboard/sbscrub
standin=$build/tests/scoreboard/sb_standin
for tool in "$sbscrub" "$standin"; do
    if [ ! -x "$tool" ]; then
        echo "demo-scoreboard: $tool is missing; build with tests enabled first" >&2
        exit 1
    fi
done

dir=$(mktemp -d "${TMPDIR:-/tmp}/sbscrub-demo.XXXXXX")
sleep 60 &
sleeper=$!
trap 'kill $sleeper 2>/dev/null || true; rm -rf "$dir"' EXIT INT TERM

board=$dir/ferryd.scoreboard
# Slots: this shell, an ended process, an empty slot, a sleeping process, another ended one.
"$standin" write "$board" -d $$ -u 3600 $$ dead 0 $sleeper dead

echo "== sbscrub demo: a scoreboard with running and ended processes"
echo "-- before:"
"$standin" show "$board"
echo "-- running: sbscrub -v -f $board"
status=0
"$sbscrub" -v -f "$board" || status=$?
echo
echo "-- exit status $status"
echo "-- after:"
"$standin" show "$board"
exit $status
