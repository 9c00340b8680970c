#!/bin/sh
# Runs each program on sample input and shows what it did. Usage: demo.sh BUILD_DIR
set -eu
build=${1:-build}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

echo "== bigramlist: the pairs after each line's shared prefix"
printf '/usr/bin\n/usr/lib\n/usr/lib/x\n/usr/lib/x\n/var\n' > "$tmp/list"
echo "input:"
sed 's/^/    /' "$tmp/list"
echo "output:"
"$build/bigram/bigramlist" < "$tmp/list" | sed 's/^/    /'
echo "a read error (standard input is a directory) is reported, not taken for the end:"
status=0
"$build/bigram/bigramlist" < / 2> "$tmp/err" || status=$?
sed 's/^/    /' "$tmp/err"
echo "    exit status $status"
echo

echo "== sndcheck: is the sound interface available?"
status=0
"$build/sndcheck/sndcheck" || status=$?
echo "    exit status $status: not available"

if [ -f scripts/demo-scoreboard.sh ]; then
    echo
    sh scripts/demo-scoreboard.sh "$build"
fi
