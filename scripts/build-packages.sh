#!/bin/sh
# Builds the Debian packages from a copy of the source tree, so that nothing is written outside
# WORK and OUT: copies the tree (without .git and the build folders) to WORK/bigram-tools, runs
# dpkg-buildpackage -us -uc -b there, and moves the packages and the .buildinfo and .changes
# files that it writes into WORK to OUT, which it empties first: the two packages, without the
# debug symbol package that a distribution's build adds. SOURCE_DATE_EPOCH, when set, dates
# what the packages hold; otherwise the date of debian/changelog does.
#
# Usage: build-packages.sh WORK OUT
set -eu
# shellcheck source=scripts/common.sh
. "$(dirname "$0")/common.sh"

if [ $# != 2 ]; then
    echo "usage: build-packages.sh WORK OUT" >&2
    exit 2
fi
mkdir -p "$1" "$2"
work=$(cd "$1" && pwd)
out=$(cd "$2" && pwd)

# The top-level entries of the tree that are not sources: .git, build folders (the work and
# output folders among them when they lie in the tree) and debhelper's.
skip() {
    case $1 in
    .git | build* | out | obj-*) return 0 ;;
    esac
    for dir in "$work" "$out"; do
        case $dir/ in "$top/$1"/*) return 0 ;; esac
    done
    return 1
}

src=$work/bigram-tools
rm -rf "$src"
mkdir "$src"
for entry in "$top"/* "$top"/.[!.]*; do
    [ -e "$entry" ] || continue
    name=${entry##*/}
    skip "$name" || cp -a "$entry" "$src/"
done

rm -f "$work"/*.deb "$work"/*.buildinfo "$work"/*.changes
# The build runs on its own: no make or install settings of the caller reach it.
(cd "$src" && env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL -u DESTDIR \
    DEB_BUILD_OPTIONS="noautodbgsym ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -us -uc -b -Jauto)
rm -rf "$src"
find "$out" -mindepth 1 -maxdepth 1 -exec rm -rf {} +
mv "$work"/*.deb "$work"/*.buildinfo "$work"/*.changes "$out"/
