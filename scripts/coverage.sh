#!/bin/sh
# Runs the whole suite in a coverage build and prints line and branch coverage of the product
# code, file by file and folder by folder. Usage: coverage.sh BUILD_DIR [JOBS]
set -eu
# shellcheck source=scripts/common.sh
. "$(dirname "$0")/common.sh"
build=$1
jobs=${2:-2}
cd "$top"

# Counters start from zero, so the figures are those of this run alone. A failing test still
# leaves its figures, and fails the whole run after the report.
find "$build" -name '*.gcda' -delete
status=0
(cd "$build" && ctest --output-on-failure -j "$jobs") || status=$?

# Branches that only the C++ run-time takes (exception paths the compiler adds) are left out.
summary="$build/coverage-summary.json"
gcovr --root . --object-directory "$build" \
    --filter 'lib/' --filter 'scoreboard/' --filter 'bigram/' --filter 'sndcheck/' \
    --exclude-throw-branches --exclude-unreachable-branches \
    --txt - --json-summary "$summary" --print-summary

python3 - "$summary" <<'PY'
import json, sys
files = json.load(open(sys.argv[1]))["files"]
folders = {}
for f in files:
    folder = f["filename"].split("/")[0]
    t = folders.setdefault(folder, [0, 0, 0, 0])
    t[0] += f["line_covered"]; t[1] += f["line_total"]
    t[2] += f["branch_covered"]; t[3] += f["branch_total"]
def pct(a, b):
    return "%6.1f%%" % (100.0 * a / b) if b else "     -"
print("\n%-12s %16s %8s %16s %8s" % ("folder", "lines", "", "branches", ""))
for name in sorted(folders):
    l, lt, b, bt = folders[name]
    print("%-12s %7d / %6d %s %7d / %6d %s" % (name + "/", l, lt, pct(l, lt), b, bt, pct(b, bt)))
PY
exit "$status"
