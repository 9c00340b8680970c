#!/bin/sh
# Runs the Quick start on a minimal Debian 12 root, as a new user's machine would: in one copy
# of the bare root, as root, installs make, then runs make demo, make check, and make install
# followed by make uninstall; in a second copy with only make added, runs make check as a user
# who is not root, which must stop at once with the command that installs the packages; in a
# third, builds the Debian packages with make package (lintian included), installs them with
# apt-get, runs each program from PATH, finds each manual page with man -w, checks that the
# timer is enabled, then removes and purges them and checks that nothing of them is left.
# Needs root on a Debian host.
#
# FRESH (build/fresh) holds the tarball of the bare root, kept for later runs, and the copies
# while they are in use. MIRROR is the Debian mirror for debootstrap and apt. FRESH_TARGETS
# names further make targets (bench, fuzz, check-target, ...) to run as root, each in a copy of
# its own with only make added, to prove that each one installs everything it uses;
# FRESH_ARGS are make arguments for them (such as FUZZ_SECONDS=5 BENCH_MB=20).
set -eu
cd "$(dirname "$0")/.."
top=$PWD
fresh=${FRESH:-build/fresh}
mirror=${MIRROR:-http://deb.debian.org/debian}
suite=bookworm
path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

if [ "$(id -u)" != 0 ]; then
    echo "check-fresh: needs root (debootstrap, chroot and mounts)" >&2
    exit 1
fi
sh scripts/install-deps.sh check-fresh
mkdir -p "$fresh"
fresh=$(cd "$fresh" && pwd)
tarball=$fresh/$suite-minbase.tar
archives=$fresh/apt-archives
mkdir -p "$archives"
# The logs of this run only: the stages add to them.
rm -f "$fresh/add-make.log" "$fresh/man-db.log" "$fresh/packages.log"

# Wall time of a stage, printed when it ends.
stage_start=0
begin() {
    stage_start=$(date +%s)
    echo "check-fresh: $1"
}
end() {
    echo "check-fresh:   $1 in $(($(date +%s) - stage_start)) s"
}

# Everything mounted below the fresh folder, deepest first.
mounted() {
    awk -v dir="$fresh/" 'index($2, dir) == 1 { print $2 }' /proc/self/mounts | sort -r
}
# The stage running in the background, in a process group of its own; a signal stops it.
child=
cleanup() {
    if [ -n "$child" ]; then
        kill -TERM "-$child" 2>/dev/null || true
        wait "$child" 2>/dev/null || true
        child=
    fi
    for m in $(mounted); do
        umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true
    done
    # Never remove a copy that still has something mounted in it: that could be the host's /dev.
    if [ -n "$(mounted)" ]; then
        echo "check-fresh: cannot unmount: $(mounted)" >&2
        return 1
    fi
    rm -rf --one-file-system "$fresh/root" "$fresh/user-root"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# Runs a command in its own process group and waits for it, so that a signal reaches this
# script at once (it stops the command and unmounts) instead of after the command ends.
run() {
    setsid "$@" &
    child=$!
    status=0
    wait "$child" || status=$?
    child=
    return "$status"
}

if [ ! -f "$tarball" ]; then
    begin "building a bare $suite root with debootstrap (minbase)"
    rm -rf "$fresh/bare"
    run debootstrap --variant=minbase "$suite" "$fresh/bare" "$mirror" >"$fresh/debootstrap.log" 2>&1 || {
        echo "check-fresh: debootstrap failed; its output is in $fresh/debootstrap.log" >&2
        exit 1
    }
    tar -C "$fresh/bare" -cf "$tarball.part" . && mv "$tarball.part" "$tarball"
    rm -rf "$fresh/bare"
    end "bare root ready"
fi

# Unpacks the bare root into $1, clones the committed tree into $1$2 and mounts what a real
# machine has: the root itself (so that mount namespaces work inside), /proc, /sys, /dev,
# /dev/pts and /dev/shm, and the kept package downloads.
prepare() {
    rm -rf "$1" && mkdir -p "$1"
    tar -C "$1" -xf "$tarball"
    cp /etc/resolv.conf "$1/etc/resolv.conf"
    git clone -q --no-hardlinks "$top" "$1$2"
    mount --bind "$1" "$1"
    mount --make-private "$1"
    mount -t proc proc "$1/proc"
    mount -t sysfs sysfs "$1/sys"
    mount -t devtmpfs devtmpfs "$1/dev" 2>/dev/null || mount --bind /dev "$1/dev"
    mount --make-private "$1/dev"
    mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$1/dev/pts"
    mount -t tmpfs -o mode=1777 tmpfs "$1/dev/shm"
    mount --bind "$archives" "$1/var/cache/apt/archives"
}

# Runs a command in the root $1 as root, with a plain environment.
in_root() {
    dir=$1
    shift
    run chroot "$dir" /usr/bin/env -i PATH=$path HOME=/root "$@"
}

# Runs a command with its output added to the log $1, which is shown when the command fails.
logged() {
    log=$1
    shift
    "$@" >>"$log" 2>&1 || {
        cat "$log" >&2
        exit 1
    }
}

# Installs make in the root $1, as the user would by hand.
add_make() {
    logged "$fresh/add-make.log" in_root "$1" sh -c 'apt-get update && apt-get install -y make'
}

total_start=$(date +%s)
root=$fresh/root
src=/root/bigram-tools
begin "as root: a bare root, the tree cloned into $src"
prepare "$root" "$src"
add_make "$root"
end "make installed"

begin "as root: make demo"
in_root "$root" sh -c "cd $src && make demo"
end "make demo passed"

begin "as root: make check"
in_root "$root" bash -o pipefail -c "cd $src && make check 2>&1 | tee /root/check.log"
skipped=$(grep -c '\*\*\*Skipped' "$root/root/check.log" || true)
if [ "$skipped" != 0 ]; then
    echo "check-fresh: $skipped tests were skipped on the fresh machine" >&2
    exit 1
fi
end "make check passed"

begin "as root: make install, then make uninstall leaves /usr/local as it was"
files_in_local() { (cd "$root/usr/local" && find . ! -type d | sort); }
files_in_local >"$fresh/local-before"
in_root "$root" sh -c "cd $src && make install >/root/install.log && make uninstall"
if ! files_in_local | diff "$fresh/local-before" - >&2; then
    echo "check-fresh: make uninstall changed the files in /usr/local (above)" >&2
    exit 1
fi
end "installed and uninstalled"
cleanup

begin "as a user who is not root: make check must stop and name the packages"
user_root=$fresh/user-root
home=/home/builder
prepare "$user_root" "$home/bigram-tools"
add_make "$user_root"
in_root "$user_root" useradd -d "$home" builder
in_root "$user_root" chown -R builder:builder "$home"
status=0
run chroot --userspec=builder:builder "$user_root" /usr/bin/env -i PATH=$path HOME=$home \
    sh -c "cd $home/bigram-tools && make check" >"$fresh/user.log" 2>&1 || status=$?
cat "$fresh/user.log"
if [ "$status" = 0 ]; then
    echo "check-fresh: make check as a user without the packages succeeded" >&2
    exit 1
fi
for p in $(sh scripts/install-deps.sh --list check); do
    grep -q "apt-get install.* $p\( \|\$\)" "$fresh/user.log" || {
        echo "check-fresh: the message does not name $p" >&2
        exit 1
    }
done
if grep -q "cmake -S\|Building" "$fresh/user.log"; then
    echo "check-fresh: make check went on past the missing packages" >&2
    exit 1
fi
end "refused, naming every package"
cleanup

begin "as root, in a copy of its own: make package, then install, run and purge the packages"
prepare "$root" "$src"
add_make "$root"
in_root "$root" sh -c "cd $src && make package"
# man -w below needs man-db, which the packages do not pull in.
logged "$fresh/man-db.log" in_root "$root" apt-get install -y man-db
# Every file, link and folder of the root but the package system's own records, caches and logs.
snapshot() {
    (cd "$root" && find etc usr var opt -xdev \( -path var/cache -o -path var/lib/apt -o \
        -path var/lib/dpkg -o -path var/log \) -prune -o -print | sort)
}
snapshot >"$fresh/before-packages"
debs="./bigram-tools_*.deb ./bigram-tools-dev_*.deb"
logged "$fresh/packages.log" in_root "$root" sh -c "cd $src/build/packages && apt-get install -y $debs"
# Each program from PATH, where the package put it, and each page where man finds it.
in_root "$root" sh -ec '
    for program in /usr/bin/bigramlist /usr/bin/sndcheck /usr/sbin/sbscrub; do
        test "$(command -v "${program##*/}")" = "$program"
    done
    test "$(printf "/usr/bin\n/usr/lib\n" | bigramlist | tr "\n" " ")" = "/u sr /b in li "
    status=0
    sndcheck || status=$?
    test "$status" = 1
    sbscrub -h | grep -q "^usage: sbscrub \[options\]$"
    for page in 1/bigramlist 1/sndcheck 8/sbscrub; do
        test "$(man -w "${page#*/}")" = "/usr/share/man/man${page%/*}/${page#*/}.${page%/*}.gz"
    done'
enabled=$(systemctl --root="$root" is-enabled sbscrub.timer || true)
if [ "$enabled" != enabled ]; then
    echo "check-fresh: sbscrub.timer is not enabled in the installed root: $enabled" >&2
    exit 1
fi
# Removed, the cron file stays as a conffile and its line does nothing; purged, nothing stays.
logged "$fresh/packages.log" in_root "$root" apt-get remove -y bigram-tools bigram-tools-dev
if [ ! -f "$root/etc/cron.d/sbscrub" ]; then
    echo "check-fresh: the cron file went with apt-get remove" >&2
    exit 1
fi
said=$(in_root "$root" sh -c "$(grep -v '^#' "$root/etc/cron.d/sbscrub" | cut -d' ' -f7-)" 2>&1)
if [ -n "$said" ]; then
    echo "check-fresh: the cron line, with sbscrub removed, said: $said" >&2
    exit 1
fi
# Only the programs' package, with its conffile, is left to purge; dpkg forgets the other.
logged "$fresh/packages.log" in_root "$root" apt-get purge -y --autoremove bigram-tools
left=$(in_root "$root" dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' \
    bigram-tools bigram-tools-dev 2>/dev/null | grep -v '^[pu]n ' || true)
if [ -n "$left" ]; then
    echo "check-fresh: dpkg still holds after the purge: $left" >&2
    exit 1
fi
snapshot >"$fresh/after-packages"
if ! diff "$fresh/before-packages" "$fresh/after-packages" >&2; then
    echo "check-fresh: installing and purging the packages changed the root (above)" >&2
    exit 1
fi
end "installed, ran, removed and purged the packages; nothing left behind"
cleanup

for target in ${FRESH_TARGETS:-}; do
    begin "as root, in a copy of its own: make $target ${FRESH_ARGS:-}"
    prepare "$root" "$src"
    add_make "$root"
    in_root "$root" sh -c "cd $src && make $target ${FRESH_ARGS:-}"
    end "make $target passed"
    cleanup
done

left=$(mounted)
if [ -n "$left" ]; then
    echo "check-fresh: still mounted: $left" >&2
    exit 1
fi
echo "check-fresh: passed in $(($(date +%s) - total_start)) s; nothing left mounted"
