#!/usr/bin/env bash
# Runs the benchmarks and checks the performance targets.
# usage: run.sh BUILD_DIR [LIST_SIZE_MB] [RUNS]
set -euo pipefail
build=${1:-build-bench}
size_mb=${2:-500}
runs=${3:-5}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/bench.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

now() { date +%s%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
verdict() { awk -v v="$1" -v max="$2" 'BEGIN { print (v <= max) ? "PASS" : "FAIL" }'; }

echo "machine: $(uname -m), $(nproc) cores,$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2)"
echo

echo "== lister: $size_mb MB sorted path list, $runs runs each, alternating"
"$build/bench/gen_paths" "$size_mb" 1 "$tmp/list"
longest=$(wc -L < "$tmp/list")
echo "list: $(wc -c < "$tmp/list") bytes, $(wc -l < "$tmp/list") lines, longest $longest bytes"
"$build/bigram/bigramlist" < "$tmp/list" > "$tmp/out.bigramlist"
"$build/bench/baseline" < "$tmp/list" > "$tmp/out.baseline"
cmp "$tmp/out.bigramlist" "$tmp/out.baseline"
echo "output: $(wc -c < "$tmp/out.bigramlist") bytes, identical for bigramlist and baseline"
rm -f "$tmp/out.bigramlist" "$tmp/out.baseline"

for ((i = 0; i < runs; i++)); do
    for prog in bigramlist baseline cat; do
        case $prog in
        bigramlist) cmd=("$build/bigram/bigramlist") ;;
        baseline) cmd=("$build/bench/baseline") ;;
        cat) cmd=(cat) ;;
        esac
        start=$(now)
        "${cmd[@]}" < "$tmp/list" > /dev/null
        echo "$(( $(now) - start ))" >> "$tmp/t.$prog"
    done
    /usr/bin/time -v "$build/bigram/bigramlist" < "$tmp/list" 2> "$tmp/v" > /dev/null
    awk -F: '/Maximum resident set size/ { print $2 + 0 }' "$tmp/v" >> "$tmp/rss"
done
t_big=$(median < "$tmp/t.bigramlist")
t_base=$(median < "$tmp/t.baseline")
t_cat=$(median < "$tmp/t.cat")
rss=$(sort -n "$tmp/rss" | tail -1)
ratio=$(awk -v a="$t_big" -v b="$t_base" 'BEGIN { printf "%.2f", a / b }')
awk -v a="$t_big" -v b="$t_base" -v c="$t_cat" 'BEGIN {
    printf "median wall time: bigramlist %.3f s, baseline %.3f s, cat %.3f s\n", a / 1e9, b / 1e9, c / 1e9
    printf "bigramlist/baseline %.2f, bigramlist/cat %.2f\n", a / b, a / c }'
rss_limit=$((4096 + 4 * longest / 1024))
echo "bigramlist peak resident memory: $rss KiB (limit $rss_limit KiB: 4 MiB + 4 x longest line)"
echo "target bigramlist/baseline <= 1.00: $ratio $(verdict "$ratio" 1.00)"
echo "target peak memory <= $rss_limit KiB: $rss $(verdict "$rss" "$rss_limit")"
echo

echo "== record reader and quoting (Google Benchmark, median of 9 interleaved repetitions)"
# Single runs on a shared machine vary by a third; interleaving the benchmarks and taking the
# median of several repetitions lets both readers see the same conditions.
"$build/bench/micro_bench" --benchmark_min_time=0.3 --benchmark_repetitions=9 \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
    --benchmark_format=csv 2> /dev/null | grep '^"BM_.*_median"' | sed 's/_median"/"/' |
    sort -V > "$tmp/micro.csv"
awk -F, '{ gsub(/"/, ""); printf "%-32s %12.1f ns %10.1f MB/s %s\n", $1, $3, $6 / 1e6, $8 }' "$tmp/micro.csv"
for len in 100 10000 1000000; do
    s=$(awk -F, -v n="BM_support_getdelim/$len" '{ gsub(/"/, "", $1) } $1 == n { print $6 }' "$tmp/micro.csv")
    p=$(awk -F, -v n="BM_platform_getdelim/$len" '{ gsub(/"/, "", $1) } $1 == n { print $6 }' "$tmp/micro.csv")
    r=$(awk -v s="$s" -v p="$p" 'BEGIN { printf "%.2f", s / p }')
    echo "target support::getdelim >= 0.9 x platform throughput, $len-byte records: $r $(awk -v r="$r" 'BEGIN { print (r >= 0.9) ? "PASS" : "FAIL" }')"
done
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
echo "target time(1000000 slots) <= 11 x time(100000 slots): $growth x $(verdict "$growth" 11)"
