#!/bin/sh
# Runs every fuzz target for a set time, starting from its seed corpus in fuzz/corpus/TARGET:
#   sh fuzz/run.sh BUILD_DIR [SECONDS]
# BUILD_DIR is a build of the tree with BUILD_FUZZ=ON; the targets are in BUILD_DIR/fuzz.
# New inputs go to BUILD_DIR/corpus/TARGET (the checked-in seeds are only read), inputs that
# crash to BUILD_DIR/artifacts/. Prints the executions per target; fails if any target failed.
set -u
# shellcheck source=scripts/common.sh
. "$(dirname "$0")/../scripts/common.sh"
build=$1
seconds=${2:-60}

passed=0
failed=0
mkdir -p "$build/artifacts"
for seeds in "$top"/fuzz/corpus/*/; do
    target=$(basename "$seeds")
    work="$build/corpus/$target"
    log="$build/$target.log"
    mkdir -p "$work"
    rm -f "$log"
    # Room for a dozen scoreboard slots; a run that takes over 10 s counts as a hang.
    if step "$log" "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=8192 \
        -timeout=10 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
        "$work" "$seeds"; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "fuzz $target: $runs executions in $seconds s, no failure"
        passed=$((passed + 1))
    else
        echo "fuzz $target: FAILED, the end of $log is above"
        failed=$((failed + 1))
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
