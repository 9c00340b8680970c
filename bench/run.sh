#!/usr/bin/env bash
# Runs the benchmarks and checks the performance targets.
# usage: run.sh BUILD_DIR [LIST_SIZE_MB] [RUNS]
set -euo pipefail
# shellcheck source=scripts/common.sh
. "$(dirname "$0")/../scripts/common.sh"
build=${1:-build-bench}
size_mb=${2:-300}
runs=${3:-9}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/bench.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

now() { date +%s%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
verdict() { awk -v v="$1" -v max="$2" 'BEGIN { print (v <= max) ? "PASS" : "FAIL" }'; }
at_least() { awk -v v="$1" -v min="$2" 'BEGIN { print (v >= min) ? "PASS" : "FAIL" }'; }
bytes() { wc -c < "$1" | tr -d ' '; }
# The length in bytes of the longest line of a file.
longest() { LC_ALL=C awk '{ if (length($0) > m) m = length($0) } END { print m + 0 }' "$1"; }
# Instructions that callgrind counts for a program run with standard input from a file.
instructions() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$1" < "$2" 2>&1 > /dev/null |
        awk '/Collected :/ { print $4 }'
}
# Calls of read and write that strace counts for a program over a file, as "READS WRITES".
syscalls() {
    strace -c -o "$tmp/strace" -e trace=read,write "$1" < "$2" > /dev/null
    awk '$NF == "read" { r = $4 } $NF == "write" { w = $4 } END { print r + 0, w + 0 }' "$tmp/strace"
}

echo "machine: $(uname -m), $(nproc) cores,$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2)"
# Wall times move with the machine's load, which each timed run quotes; instruction counts do not.
load() { cut -d' ' -f1-3 /proc/loadavg; }
echo

# The generated list, and the real one: this machine's own file names, sorted, repeated.
"$build/bench/gen_paths" "$size_mb" 1 "$tmp/generated"
find / -xdev 2> /dev/null | LC_ALL=C sort > "$tmp/names" || true
# A root with next to nothing on it (a bare container) would make a list of a few repeated lines;
# the names of the tree and its builds, which the benchmark has just filled, are added then.
if [ "$(bytes "$tmp/names")" -lt 1048576 ]; then
    echo "find / -xdev gave only $(wc -l < "$tmp/names") names; the tree's are added"
    { cat "$tmp/names"; find "$top" 2> /dev/null; } | LC_ALL=C sort > "$tmp/more"
    mv "$tmp/more" "$tmp/names"
fi
copies=$(( (size_mb << 20) / ($(bytes "$tmp/names") + 1) + 1 ))
for ((i = 0; i < copies; i++)); do cat "$tmp/names"; done > "$tmp/real"
echo "real list: $(wc -l < "$tmp/names") file names of this machine, repeated $copies times"
rm -f "$tmp/names"

declare -A result
for list in generated real; do
    in=$tmp/$list
    long=$(longest "$in")
    echo "== lister, $list list: $(bytes "$in") bytes, $(wc -l < "$in") lines, longest $long bytes"
    "$build/bigram/bigramlist" < "$in" > "$tmp/out.bigramlist"
    "$build/bench/baseline" < "$in" > "$tmp/out.baseline"
    cmp "$tmp/out.bigramlist" "$tmp/out.baseline"
    echo "output: $(bytes "$tmp/out.bigramlist") bytes, identical for bigramlist and baseline"
    rm -f "$tmp/out.bigramlist" "$tmp/out.baseline" "$tmp"/t.*

    # One interleaved run: each round times every program once, in turn.
    load_before=$(load)
    for ((i = 0; i < runs; i++)); do
        for prog in bigramlist baseline cat; do
            case $prog in
            bigramlist) cmd=("$build/bigram/bigramlist") ;;
            baseline) cmd=("$build/bench/baseline") ;;
            cat) cmd=(cat) ;;
            esac
            start=$(now)
            "${cmd[@]}" < "$in" > /dev/null
            echo "$(( $(now) - start ))" >> "$tmp/t.$prog"
        done
    done
    t_big=$(median < "$tmp/t.bigramlist")
    t_base=$(median < "$tmp/t.baseline")
    t_cat=$(median < "$tmp/t.cat")
    awk -v a="$t_big" -v b="$t_base" -v c="$t_cat" -v n="$runs" 'BEGIN {
        printf "median wall time of %d interleaved rounds: bigramlist %.3f s, baseline %.3f s, cat %.3f s\n", n, a / 1e9, b / 1e9, c / 1e9 }'
    echo "load average before and after: $load_before; $(load)"
    result[$list.cat]=$(awk -v a="$t_big" -v c="$t_cat" 'BEGIN { printf "%.2f", a / c }')
    result[$list.base]=$(awk -v a="$t_big" -v b="$t_base" 'BEGIN { printf "%.2f", a / b }')

    # Instructions per input byte on the first 4 MB (whole lines), less those of an empty run.
    head -c 4000000 "$in" | sed '$d' > "$tmp/head"
    empty=$(instructions "$build/bigram/bigramlist" /dev/null)
    full=$(instructions "$build/bigram/bigramlist" "$tmp/head")
    result[$list.ipb]=$(awk -v f="$full" -v e="$empty" -v n="$(bytes "$tmp/head")" \
        'BEGIN { printf "%.2f", (f - e) / n }')
    per_line=$(awk -v f="$full" -v e="$empty" -v n="$(wc -l < "$tmp/head")" \
        'BEGIN { printf "%.1f", (f - e) / n }')
    echo "callgrind: $full instructions on the first $(bytes "$tmp/head") bytes, $empty for no input: ${result[$list.ipb]} a byte, $per_line a line"

    read -r big_reads big_writes <<< "$(syscalls "$build/bigram/bigramlist" "$in")"
    read -r cat_reads cat_writes <<< "$(syscalls "$(command -v cat)" "$in")"
    echo "system calls: bigramlist $big_reads reads and $big_writes writes, cat $cat_reads reads and $cat_writes writes"

    /usr/bin/time -v "$build/bigram/bigramlist" < "$in" 2> "$tmp/v" > /dev/null
    result[$list.rss]=$(awk -F: '/Maximum resident set size/ { print $2 + 0 }' "$tmp/v")
    result[$list.rss_limit]=$((4096 + 4 * long / 1024))
    echo "peak resident memory: ${result[$list.rss]} KiB"
    echo
done

echo "== the lister for the target: 32-bit big-endian PowerPC, under emulation"
target_build=$build-ppc
cmake -S "$top" -B "$target_build" --log-level=WARNING -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/powerpc-linux-gnu.cmake" -DBUILD_TESTING=OFF > /dev/null
cmake --build "$target_build" --target bigramlist -j "$(nproc)" > /dev/null
target_same=PASS
for list in generated real; do
    head -c 4000000 "$tmp/$list" | sed '$d' > "$tmp/head"
    "$build/bigram/bigramlist" < "$tmp/head" > "$tmp/out.host"
    QEMU_LD_PREFIX=/usr/powerpc-linux-gnu qemu-ppc "$target_build/bigram/bigramlist" \
        < "$tmp/head" > "$tmp/out.target"
    if cmp -s "$tmp/out.host" "$tmp/out.target"; then
        echo "$list list, first $(bytes "$tmp/head") bytes: $(bytes "$tmp/out.target") bytes out, identical to the host's"
    else
        echo "$list list, first $(bytes "$tmp/head") bytes: output differs from the host's"
        target_same=FAIL
    fi
done
rm -f "$tmp/head" "$tmp/out.host" "$tmp/out.target"
echo

echo "== record reader and quoting (Google Benchmark)"
# Single runs on a shared machine vary by a third. Quoting: the median of 9 interleaved
# repetitions. The two readers: 9 rounds, each timing both back to back on one record length, in
# a random order; the ratio of their throughputs is taken in each round, so that both see the
# same conditions, and the median of the 9 ratios is judged.
micro() { # FILTER [OPTIONS...]: the benchmarks' CSV rows, name first
    local filter=$1
    shift
    "$build/bench/micro_bench" --benchmark_filter="$filter" --benchmark_format=csv "$@" 2> /dev/null |
        grep '^"BM_' | sed 's/"//g'
}
micro quotearg --benchmark_min_time=0.3 --benchmark_repetitions=9 \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true |
    grep '_median,' | sed 's/_median,/,/' | sort -V > "$tmp/micro.csv"
for len in 10 100 10000 1000000; do
    for ((i = 0; i < runs; i++)); do
        micro "getdelim/$len\$" --benchmark_min_time=0.2 --benchmark_enable_random_interleaving=true |
            sort > "$tmp/round.csv"
        cat "$tmp/round.csv" >> "$tmp/reader.csv"
        awk -F, '{ t[$1 ~ /support/] = $3 } END { print t[0] / t[1] }' "$tmp/round.csv" >> "$tmp/ratio.$len"
    done
    for reader in platform support; do
        awk -F, -v n="BM_${reader}_getdelim/$len" '$1 == n { print $3 }' "$tmp/reader.csv" | median |
            awk -v n="BM_${reader}_getdelim/$len" -v l="$len" '{ printf "%s,,%s,,,%s\n", n, $1, l / $1 * 1e9 }'
    done >> "$tmp/micro.csv"
    result[getdelim.$len]=$(median < "$tmp/ratio.$len" | awk '{ printf "%.2f", $1 }')
done
awk -F, '{ printf "%-32s %12.1f ns %10.1f MB/s %s\n", $1, $3, $6 / 1e6, $8 }' "$tmp/micro.csv"
rm -f "$tmp"/round.csv "$tmp"/reader.csv "$tmp"/ratio.*
echo

echo "== growth with the input: callgrind instructions at two sizes, less those of an empty run"
# Each input at a size and at four times that: the cost of a byte, or of a line, stays the same.
# One line of one byte repeated; empty lines; lines of 100 bytes that share no prefix with the
# line before, whose pairs are 1.5 times the input.
make_input() { # KIND SIZE FILE
    case $1 in
    long) head -c "$2" /dev/zero | tr '\0' x > "$3" && echo >> "$3" ;;
    empty) head -c "$2" /dev/zero | tr '\0' '\n' > "$3" ;;
    unshared) awk -v size="$2" 'BEGIN { a = sprintf("a%099d", 0); b = sprintf("b%099d", 0)
        for (n = 0; n < size; n += 202) printf "%s\n%s\n", a, b }' > "$3" ;;
    esac
}
empty=$(instructions "$build/bigram/bigramlist" /dev/null)
for case in "long 4194304 byte" "empty 262144 line" "unshared 1048576 byte"; do
    read -r kind size unit <<< "$case"
    costs=()
    for scale in 1 4; do
        make_input "$kind" $((size * scale)) "$tmp/grow"
        if [ "$unit" = line ]; then units=$(wc -l < "$tmp/grow"); else units=$(bytes "$tmp/grow"); fi
        n=$(instructions "$build/bigram/bigramlist" "$tmp/grow")
        costs+=("$(awk -v n="$n" -v e="$empty" -v u="$units" 'BEGIN { printf "%.3f", (n - e) / u }')")
        echo "$kind: $units ${unit}s, $(( n - empty )) instructions, ${costs[-1]} a $unit"
    done
    result[grow.$kind]=$(awk -v a="${costs[0]}" -v b="${costs[1]}" 'BEGIN { printf "%.2f", b / a }')
done
rm -f "$tmp/grow"
echo

echo "== scrub: scoreboards with 1 % stale slots, sbscrub -f"
declare -A scrub_time
for slots in 10000 100000 1000000; do
    : > "$tmp/t.scrub"
    for ((i = 0; i < 3; i++)); do
        "$build/bench/make_scoreboard" "$slots" "$tmp/scoreboard"
        start=$(now)
        "$build/scoreboard/sbscrub" -f "$tmp/scoreboard"
        echo "$(( $(now) - start ))" >> "$tmp/t.scrub"
    done
    t=$(median < "$tmp/t.scrub")
    scrub_time[$slots]=$t
    awk -v n="$slots" -v t="$t" 'BEGIN { printf "%8d slots: %.4f s, %.0f slots/s\n", n, t / 1e9, n / (t / 1e9) }'
done
rm -f "$tmp/scoreboard"
growth=$(awk -v a="${scrub_time[1000000]}" -v b="${scrub_time[100000]}" 'BEGIN { printf "%.2f", a / b }')
echo

echo "== targets"
for case in "generated 2.50" "real 2.80"; do
    read -r list limit <<< "$case"
    r=${result[$list.cat]}
    echo "bigramlist/cat <= $limit (aim 2.20), $list list: $r $(verdict "$r" "$limit")"
done
for case in "generated 1.45 1.40" "real 1.70 1.60"; do
    read -r list limit aim <<< "$case"
    r=${result[$list.ipb]}
    echo "instructions per input byte <= $limit (aim $aim), $list list: $r $(verdict "$r" "$limit")"
done
for list in generated real; do
    r=${result[$list.rss]}
    l=${result[$list.rss_limit]}
    echo "peak memory <= $l KiB (4 MiB + 4 x longest line), $list list: $r KiB $(verdict "$r" "$l")"
done
for list in generated real; do
    r=${result[$list.base]}
    echo "bigramlist/baseline <= 1.00, $list list: $r $(verdict "$r" 1.00)"
done
echo "output on the target identical to the host's, both lists: $target_same"
for kind in long empty unshared; do
    r=${result[grow.$kind]}
    echo "cost of a unit at 4 x the size <= 1.05 x at the size, $kind lines: $r $(verdict "$r" 1.05)"
done
for len in 10 100; do
    r=${result[getdelim.$len]}
    echo "support::getdelim >= 1.10 x platform throughput, $len-byte records: $r $(at_least "$r" 1.10)"
done
for len in 10000 1000000; do
    r=${result[getdelim.$len]}
    echo "support::getdelim >= 0.95 x platform throughput, $len-byte records: $r $(at_least "$r" 0.95)"
done
echo "time(1000000 slots) <= 11 x time(100000 slots): $growth x $(verdict "$growth" 11)"
