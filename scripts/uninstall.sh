#!/bin/sh
# The list of what make install installed, and its removal by make uninstall.
#
# Usage: uninstall.sh --record MANIFEST LIST  adds the files of CMake's install manifest to LIST
#        uninstall.sh LIST                    removes the files of LIST below $DESTDIR, then the
#                                             folders of the project's own name that held them
#                                             (include/bigram-tools and the like) once empty
set -eu
stem=bigram-tools

if [ "${1:-}" = --record ]; then
    # The manifest's last line has no newline.
    { cat "$3" 2>/dev/null || true; cat "$2"; echo; } | grep . | sort -u >"$3.new"
    mv "$3.new" "$3"
    exit 0
fi
if [ $# != 1 ] || [ ! -f "$1" ]; then
    echo "uninstall: nothing recorded to remove${1:+ ($1 is missing)}" >&2
    exit 1
fi
dest=${DESTDIR:-}
count=0
while IFS= read -r file; do
    if [ -e "$dest$file" ] || [ -L "$dest$file" ]; then
        rm -f "$dest$file"
        count=$((count + 1))
    fi
done <"$1"
# Each folder between a file and the first folder above it of another name, deepest first.
while IFS= read -r file; do
    dir=${file%/*}
    while case $dir/ in */$stem/*) true ;; *) false ;; esac; do
        echo "$dir"
        dir=${dir%/*}
    done
done <"$1" | sort -u -r | while IFS= read -r dir; do
    rmdir "$dest$dir" 2>/dev/null || true
done
echo "uninstall: removed $count files below ${dest:-/}"
