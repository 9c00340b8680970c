#!/bin/sh
# Makes sure the tools and libraries the build needs are present. As root on Debian it
# installs what is missing with apt-get; otherwise it names the packages to install.
set -eu

# Extra packages for one target (the benchmarks, for instance) come as arguments.
packages="make cmake g++ libgtest-dev locales groff-base pkgconf dpkg-dev $*"
missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "install-deps: installing$missing with apt-get"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
else
    echo "install-deps: missing packages:$missing" >&2
    echo "install-deps: install them with: sudo apt-get install$missing" >&2
    exit 1
fi
