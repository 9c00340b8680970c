#!/bin/sh
# Builds the programs and the whole test suite for the target, a 32-bit big-endian PowerPC
# Linux machine, and runs every test under user-mode emulation.
#
# BUILD (build-ppc) is the build folder, WERROR (OFF) makes warnings errors, JOBS the number
# of parallel jobs. As root on Debian the cross compiler, the emulator and GoogleTest's
# sources are installed when missing; otherwise the missing packages are named.
set -eu
# shellcheck source=scripts/common.sh
. "$(dirname "$0")/common.sh"
cd "$top"

BUILD=${BUILD:-build-ppc}
WERROR=${WERROR:-OFF}
JOBS=${JOBS:-2}
TOOLCHAIN=$top/cmake/powerpc-linux-gnu.cmake
GTEST_SOURCES=/usr/src/googletest

sh scripts/install-deps.sh check-target

mkdir -p "$BUILD"
BUILD=$(cd "$BUILD" && pwd)
start=$(date +%s)

# GoogleTest for the target, from the sources Debian ships, built once per build folder.
gtest=$BUILD/googletest
if [ ! -f "$gtest/lib/libgtest.a" ] || [ ! -f "$gtest/lib/libgtest_main.a" ]; then
    echo "check-target: building GoogleTest for the target in $gtest"
    log=$BUILD/googletest-build.log
    rm -f "$log"
    step "$log" cmake -S "$GTEST_SOURCES" -B "$BUILD/googletest-build" \
        -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF \
        -DINSTALL_GTEST=ON -DCMAKE_INSTALL_PREFIX="$gtest"
    step "$log" cmake --build "$BUILD/googletest-build" -j "$JOBS"
    step "$log" cmake --install "$BUILD/googletest-build"
fi

# The host's compiled locales are little-endian and unreadable on the target: the tests that
# switch to C.UTF-8 get one compiled for the target's byte order.
locales=$BUILD/locale
if [ ! -f "$locales/C.UTF-8/LC_CTYPE" ]; then
    mkdir -p "$locales"
    localedef --big-endian -i C -f UTF-8 "$locales/C.UTF-8" ||
        die "cannot compile the C.UTF-8 locale for the target"
fi

cmake -S . -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DGTEST_TARGET_PREFIX="$gtest" \
    -DTARGET_LOCALE_DIR="$locales" -DWARNINGS_AS_ERRORS="$WERROR"
cmake --build "$BUILD" -j "$JOBS"
status=0
(cd "$BUILD" && ctest --output-on-failure -j "$JOBS") || status=$?
echo "check-target: built and tested for powerpc-linux-gnu in $(($(date +%s) - start)) s"
exit $status
