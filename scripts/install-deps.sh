#!/bin/sh
# Makes sure the packages that a make target uses are installed. As root on Debian it installs
# what is missing with apt-get, one line per step, and keeps apt's own output in a log file: when
# a step fails, it shows the end of that output and names the file. As another user it names the
# command that installs them.
#
# Usage: install-deps.sh TARGET...     make sure the packages of each TARGET are there
#        install-deps.sh --list TARGET  print the packages of TARGET
set -eu
# shellcheck source=scripts/common.sh
. "$(dirname "$0")/common.sh"
log=${DEPS_LOG:-$top/build/install-deps.log}

# The packages of a target, each list with what it is for. A target's list includes the lists
# it builds on.
packages() {
    case $1 in
    build) echo "make cmake g++ libgtest-dev" ;;
    check) echo "$(packages build) locales groff-base pkgconf build-essential debhelper systemd strace" ;;
    check-target) echo "$(packages check) g++-powerpc-linux-gnu qemu-user googletest" ;;
    check-sanitize) packages check ;;
    coverage) echo "$(packages check) gcovr" ;;
    fuzz) echo "make cmake clang libclang-rt-14-dev" ;;
    bench) echo "$(packages build) libbenchmark-dev time python3 valgrind strace g++-powerpc-linux-gnu qemu-user" ;;
    package) echo "make cmake build-essential debhelper lintian" ;;
    check-fresh) echo "debootstrap git systemd systemd-container" ;;
    *) echo "install-deps: unknown target: $1" >&2; return 1 ;;
    esac
}

purpose() {
    case $1 in
    build) echo "to build the programs and their tests" ;;
    check) echo "to run the tests: locales, manual pages, pkg-config, Debian packages, systemd units, fault injection" ;;
    check-target) echo "to build for 32-bit big-endian PowerPC and run under emulation" ;;
    check-sanitize) echo "to run the tests under the sanitizers" ;;
    coverage) echo "to measure line and branch coverage" ;;
    fuzz) echo "to build and run the fuzz targets with clang" ;;
    bench) echo "to run the benchmarks" ;;
    package) echo "to build the Debian packages and check them with lintian" ;;
    check-fresh) echo "to build a minimal Debian root, clone the tree into it, read the units installed there and boot it" ;;
    esac
}

missing() {
    for p in "$@"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" ||
            printf ' %s' "$p"
    done
}

if [ "${1:-}" = --list ]; then
    packages "$2"
    exit 0
fi

updated=false
for target in "$@"; do
    all=$(packages "$target")
    # shellcheck disable=SC2086 # the lists are words
    need=$(missing $all)
    [ -z "$need" ] && continue
    if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1; then
        echo "install-deps: make $target needs:$need" >&2
        echo "install-deps: as root, run: apt-get install $all" >&2
        if command -v sudo >/dev/null 2>&1; then
            echo "install-deps: or run: sudo apt-get install $all" >&2
        fi
        exit 1
    fi
    mkdir -p "$(dirname "$log")"
    echo "install-deps: installing$need ($(purpose "$target"))"
    if ! $updated; then
        step "$log" apt-get update || die "apt-get update failed; its output is in $log"
        updated=true
    fi
    # shellcheck disable=SC2086
    step "$log" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
        $need || die "apt-get install failed; its output is in $log"
done
