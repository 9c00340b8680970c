#!/bin/sh
# Runs the Quick start on a minimal Debian 12 root, as a new user's machine would: in one copy
# of the bare root, as root, installs make, then runs make demo, make check, and make install
# followed by make uninstall; in a second copy with only make added, runs make check as a user
# who is not root, which must stop at once with the command that installs the packages; in a
# third, builds the Debian packages with make package (lintian included), installs them with
# apt-get, runs each program from PATH, finds each manual page with man -w, checks that the
# timer is enabled and that the cron line, as cron runs it on a host without systemd or the
# daemon, says nothing, then removes and purges them and checks that nothing of them is left.
# Then it boots a fourth copy with systemd under systemd-nspawn, installs the same packages
# there and checks that the timer is scheduled, that the service clears exactly the stale slot
# of a scoreboard, can write nowhere but the scoreboard and refuses a file that is not a
# scoreboard, that it clears one directly under /run when a build's default lies there and one
# under /run or /tmp named by a drop-in that follows the unit's comment, and that remove and
# purge leave nothing. Needs root on a Debian host.
#
# FRESH (build/fresh) holds the tarball of the bare root, kept for later runs, and the copies
# while they are in use. MIRROR is the Debian mirror for debootstrap and apt. FRESH_TARGETS
# names further make targets (bench, fuzz, check-target, ...) to run as root, each in a copy of
# its own with only make added, to prove that each one installs everything it uses;
# FRESH_ARGS are make arguments for them (such as FUZZ_SECONDS=5 BENCH_MB=20).
set -eu
# shellcheck source=scripts/common.sh
. "$(dirname "$0")/common.sh"
cd "$top"
fresh=${FRESH:-build/fresh}
mirror=${MIRROR:-http://deb.debian.org/debian}
suite=bookworm
path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

[ "$(id -u)" = 0 ] || die "needs root (debootstrap, chroot and mounts)"
sh scripts/install-deps.sh check-fresh
mkdir -p "$fresh"
fresh=$(cd "$fresh" && pwd)
tarball=$fresh/$suite-minbase.tar
archives=$fresh/apt-archives
mkdir -p "$archives"
# The logs of this run only: the stages add to them.
rm -f "$fresh/add-make.log" "$fresh/man-db.log" "$fresh/packages.log" "$fresh/boot.log"

# The copies of the bare root: as root, as a user, and booted; the tree's place in the first two;
# the packages built in the first, kept for the booted one.
root=$fresh/root
user_root=$fresh/user-root
boot=$fresh/booted
src=/root/bigram-tools
home=/home/builder
built=$fresh/packages
debs="./bigram-tools_*.deb ./bigram-tools-dev_*.deb"

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
# The booted root's systemd-nspawn and the container's init, while it runs.
container=
leader=
# Asks the container's init to shut down (nspawn passes TERM on as a power-off), kills it after
# a minute, and waits for nspawn, which ends with it.
stop_container() {
    [ -n "$container" ] || return 0
    kill -TERM "$container" 2>/dev/null || true
    tries=0
    while [ -n "$leader" ] && kill -0 "$leader" 2>/dev/null && [ $((tries += 1)) -le 60 ]; do
        sleep 1
    done
    [ -z "$leader" ] || kill -KILL "$leader" 2>/dev/null || true
    wait "$container" 2>/dev/null || true
    container=
    leader=
    # nspawn leaves its empty propagation folder where /run is not a tmpfs.
    rmdir /run/systemd/nspawn/propagate/check-fresh 2>/dev/null || true
}
cleanup() {
    if [ -n "$child" ]; then
        kill -TERM "-$child" 2>/dev/null || true
        wait "$child" 2>/dev/null || true
        child=
    fi
    stop_container
    for m in $(mounted); do
        umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true
    done
    # Never remove a copy that still has something mounted in it: that could be the host's /dev.
    if [ -n "$(mounted)" ]; then
        echo "check-fresh: cannot unmount: $(mounted)" >&2
        return 1
    fi
    rm -rf --one-file-system "$root" "$user_root" "$boot"
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

# Unpacks the bare root into a new folder $1, with this host's name servers.
unpack() {
    rm -rf "$1" && mkdir -p "$1"
    tar -C "$1" -xf "$tarball"
    cp /etc/resolv.conf "$1/etc/resolv.conf"
}

# Unpacks the bare root into $1, clones the committed tree into $1$2 and mounts what a real
# machine has: the root itself (so that mount namespaces work inside), /proc, /sys, /dev,
# /dev/pts and /dev/shm, and the kept package downloads.
prepare() {
    unpack "$1"
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

# Runs a command as root in the booted container, in the namespaces of its init.
in_boot() {
    run nsenter -t "$leader" -a /usr/bin/env -i PATH=$path HOME=/root "$@"
}

# Installs make in the root $1, as the user would by hand.
add_make() {
    step "$fresh/add-make.log" in_root "$1" sh -c 'apt-get update && apt-get install -y make'
}

# The files below the first copy's /usr/local.
files_in_local() { (cd "$root/usr/local" && find . ! -type d | sort); }

# Every file, link and folder of the root $1 but the package system's own records, caches, logs
# and backups.
snapshot() {
    (cd "$1" && find etc usr var opt -xdev \( -path var/cache -o -path var/lib/apt -o \
        -path var/lib/dpkg -o -path var/log -o -path var/backups \) -prune -o -print | sort)
}

# Purges the programs' package in the root $1 by the command that follows (in_root or in_boot),
# once both are removed; fails unless dpkg holds neither any more and the root's files are those
# of $fresh/before-packages. Only the programs' package, with its conffile, is left to purge;
# dpkg forgets the other.
purge_packages() {
    dir=$1
    shift
    step "$fresh/packages.log" "$@" apt-get purge -y --autoremove bigram-tools
    left=$("$@" dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' \
        bigram-tools bigram-tools-dev 2>/dev/null | grep -v '^[pu]n ' || true)
    [ -z "$left" ] || die "dpkg still holds after the purge: $left"
    snapshot "$dir" >"$fresh/after-packages"
    diff "$fresh/before-packages" "$fresh/after-packages" >&2 ||
        die "installing and purging the packages changed the root (above)"
}

# Runs the installed cron line in the root $1 as cron would, with cron's PATH, no terminal and
# no input; it must say nothing and succeed ($2 says when).
cron_quiet() {
    job=$(grep -v '^#' "$1/etc/cron.d/sbscrub" | cut -d' ' -f7-)
    said=$(run chroot "$1" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LOGNAME=root \
        SHELL=/bin/sh sh -c "$job" </dev/null 2>&1) || die "the cron line, $2, failed: $said"
    [ -z "$said" ] || die "the cron line, $2, said: $said"
}

# The bare root, built once with debootstrap and kept as a tarball.
bare_root() {
    begin "building a bare $suite root with debootstrap (minbase)"
    rm -rf "$fresh/bare" "$fresh/debootstrap.log"
    step "$fresh/debootstrap.log" run debootstrap --variant=minbase "$suite" "$fresh/bare" \
        "$mirror" || die "debootstrap failed; its output is in $fresh/debootstrap.log"
    tar -C "$fresh/bare" -cf "$tarball.part" . && mv "$tarball.part" "$tarball"
    rm -rf "$fresh/bare"
    end "bare root ready"
}

# The first copy, as root: the tree cloned into it and make installed by hand, then the Quick
# start's make demo, make check (no test may be skipped), and make install and uninstall.
clone_as_root() {
    begin "as root: a bare root, the tree cloned into $src"
    prepare "$root" "$src"
    add_make "$root"
    end "make installed"
}
demo_as_root() {
    begin "as root: make demo"
    in_root "$root" sh -c "cd $src && make demo"
    end "make demo passed"
}
check_as_root() {
    begin "as root: make check"
    in_root "$root" bash -o pipefail -c "cd $src && make check 2>&1 | tee /root/check.log"
    skipped=$(grep -c '\*\*\*Skipped' "$root/root/check.log" || true)
    [ "$skipped" = 0 ] || die "$skipped tests were skipped on the fresh machine"
    end "make check passed"
}
install_as_root() {
    begin "as root: make install, then make uninstall leaves /usr/local as it was"
    files_in_local >"$fresh/local-before"
    in_root "$root" sh -c "cd $src && make install >/root/install.log && make uninstall"
    files_in_local | diff "$fresh/local-before" - >&2 ||
        die "make uninstall changed the files in /usr/local (above)"
    end "installed and uninstalled"
}

# A second copy, as a user who is not root: make check stops before it builds anything, with
# the command that installs every package it needs.
refusal_as_user() {
    begin "as a user who is not root: make check must stop and name the packages"
    prepare "$user_root" "$home/bigram-tools"
    add_make "$user_root"
    in_root "$user_root" useradd -d "$home" builder
    in_root "$user_root" chown -R builder:builder "$home"
    status=0
    run chroot --userspec=builder:builder "$user_root" /usr/bin/env -i PATH=$path HOME=$home \
        sh -c "cd $home/bigram-tools && make check" >"$fresh/user.log" 2>&1 || status=$?
    cat "$fresh/user.log"
    [ "$status" != 0 ] || die "make check as a user without the packages succeeded"
    for p in $(sh scripts/install-deps.sh --list check); do
        grep -q "apt-get install.* $p\( \|\$\)" "$fresh/user.log" ||
            die "the message does not name $p"
    done
    if grep -q "cmake -S\|Building" "$fresh/user.log"; then
        die "make check went on past the missing packages"
    fi
    end "refused, naming every package"
}

# A third copy, as root: make package, then the packages installed with apt-get, each program
# run from PATH and each page found by man, the timer enabled, the cron line quiet installed and
# removed, and nothing left once they are purged. The packages are kept for the booted copy.
packages_in_chroot() {
    begin "as root, in a copy of its own: make package, then install, run and purge the packages"
    prepare "$root" "$src"
    add_make "$root"
    in_root "$root" sh -c "cd $src && make package"
    # man -w below needs man-db, which the packages do not pull in.
    step "$fresh/man-db.log" in_root "$root" apt-get install -y man-db
    snapshot "$root" >"$fresh/before-packages"
    step "$fresh/packages.log" in_root "$root" sh -c \
        "cd $src/build/packages && apt-get install -y $debs"
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
    [ "$enabled" = enabled ] ||
        die "sbscrub.timer is not enabled in the installed root: $enabled"
    # This root has neither a running systemd nor the daemon's files.
    cron_quiet "$root" "with the packages installed"
    # Removed, the cron file stays as a conffile and its line does nothing; purged, nothing stays.
    step "$fresh/packages.log" in_root "$root" apt-get remove -y bigram-tools bigram-tools-dev
    [ -f "$root/etc/cron.d/sbscrub" ] || die "the cron file went with apt-get remove"
    cron_quiet "$root" "with sbscrub removed"
    purge_packages "$root" in_root "$root"
    rm -rf "$built" && mkdir -p "$built/run-default"
    cp "$root$src"/build/packages/*.deb "$built/"
    # For the booted copy as well: the scrubber and service of a build whose default scoreboard
    # lies directly under /run, with the prefix of make install.
    in_root "$root" sh -c "cd $src && cmake -S . -B build/run-default --log-level=WARNING \
        -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr/local \
        -DSBSCRUB_DEFAULT_SCOREBOARD=$run_board >/dev/null &&
        cmake --build build/run-default --target sbscrub >/dev/null"
    cp "$root$src/build/run-default/scoreboard/sbscrub" \
        "$root$src/build/run-default/contrib/sbscrub.service" "$built/run-default/"
    end "installed, ran, removed and purged the packages; nothing left behind"
}

# A fourth copy, booted with systemd under systemd-nspawn: the packages installed there, the
# timer scheduled, the service at work on a scoreboard, also one directly under /run or /tmp,
# then removed and purged.
packages_booted() {
    begin "booted under systemd-nspawn: the packages' timer and service at work"
    boot_copy
    snapshot "$boot" >"$fresh/before-packages"
    step "$fresh/packages.log" in_boot sh -c "cd /root && apt-get install -y $debs"
    timer_scheduled
    stale_slot_cleared
    writes_only_its_scoreboard
    refuses_foreign_file
    scoreboards_under_run_and_tmp
    purge_booted
    stop_container
    end "timer scheduled, stale slots cleared (also under /run, /tmp), nothing else writable, \
foreign file refused, purged"
}

# Unpacks the booted copy with the packages in /root and systemd added, boots it in the
# background, in a process group of its own, and waits until its systemd has started up.
boot_copy() {
    unpack "$boot"
    cp "$built"/*.deb "$boot/root/"
    # This host's init need not be systemd: nspawn keeps to this script's cgroup and registers
    # nowhere. The container shares the host's network, for apt.
    step "$fresh/boot.log" run systemd-nspawn -q --keep-unit --register=no -M check-fresh \
        -D "$boot" --bind="$archives:/var/cache/apt/archives" \
        sh -c 'apt-get update && apt-get install -y --no-install-recommends systemd'
    setsid systemd-nspawn -q --keep-unit --register=no -M check-fresh --console=passive -b \
        -D "$boot" --bind="$archives:/var/cache/apt/archives" >>"$fresh/boot.log" 2>&1 &
    container=$!
    tries=0
    state=
    until [ "$state" = running ] || [ "$state" = degraded ]; do
        [ $((tries += 1)) -le 60 ] ||
            die "the container did not boot (${state:-no answer}); see $fresh/boot.log"
        sleep 1
        # Its only child, the container's init once nspawn has set it up (the file has no
        # newline).
        leader=$(cat "/proc/$container/task/$container/children" 2>/dev/null) || continue
        leader=${leader%% *}
        state=$(in_boot systemctl is-system-running --wait 2>/dev/null || true)
    done
}

# 1. The timer is enabled and has a next run: its line starts with a time, not "-" or "n/a".
timer_scheduled() {
    timer=$(in_boot systemctl list-timers --all --no-legend sbscrub.timer)
    if [ "$(in_boot systemctl is-enabled sbscrub.timer)" != enabled ] || [ -z "$timer" ] ||
        [ "${timer%% *}" = - ] || [ "${timer%% *}" = n/a ]; then
        die "sbscrub.timer is not enabled and scheduled: ${timer:-not listed}"
    fi
}

# The scoreboard at the service's default path, the one of the build whose default lies under
# /run, and what the service said to the journal.
board=/opt/ozk/var/ferryd.scoreboard
run_board=/run/ferryd.scoreboard
said() { in_boot journalctl -q -u sbscrub.service -o cat; }
# The 32-bit words of a scoreboard, in the host's byte order, which od tells.
order="0 8 16 24"
[ "$(printf '\001\000\000\000' | od -An -tu4 | tr -d ' ')" = 1 ] || order="24 16 8 0"
words() {
    for word; do
        for shift in $order; do
            printf %b "\\0$(printf %o $((word >> shift & 255)))"
        done
    done
}
# A slot of the process $1, its data bytes all $2.
slot() {
    words "$1"
    head -c 612 /dev/zero | tr '\0' "$2"
}
# The header of a scoreboard whose daemon is the live process of root.
header() { words $((0xDEADBEEF)) $((0x01040003)) "$live_root" 86400; }

# Writes a scoreboard with a stale slot (a shell that has ended), live slots of root and of
# nobody and an empty slot, each with data bytes of its own, to $1 in the container, starts the
# service and checks that only the stale slot was cleared; $2 names the service in messages.
clears_stale_slot() {
    stale=$(in_boot sh -c 'echo $$')
    { header; slot "$stale" s; slot "$live_root" r; slot "$live_nobody" n; slot 0 e; } \
        >"$boot/root/scoreboard"
    { header; head -c 616 /dev/zero; slot "$live_root" r; slot "$live_nobody" n; slot 0 e; } \
        >"$fresh/expected"
    # The container's /run and /tmp are its own: the file goes there from inside.
    in_boot cp /root/scoreboard "$1"
    in_boot systemctl start sbscrub.service || die "$2 failed on a scoreboard: $(said)"
    in_boot cp "$1" /root/scoreboard
    cmp "$fresh/expected" "$boot/root/scoreboard" || die "$2 did not clear exactly the stale slot"
    rm "$boot/root/scoreboard"
}

# 2. A scoreboard at the default path: only its stale slot is cleared.
stale_slot_cleared() {
    in_boot systemd-run -q --unit=live-root sleep 600
    in_boot systemd-run -q --unit=live-nobody --uid=nobody sleep 600
    live_root=$(in_boot systemctl show -p MainPID --value live-root)
    live_nobody=$(in_boot systemctl show -p MainPID --value live-nobody)
    mkdir -m 755 "$boot/opt/ozk" "$boot/opt/ozk/var"
    clears_stale_slot "$board" sbscrub.service
}

# 3. With every setting of the service but its command, a shell tries to make a file in each
# folder that is mounted there (but the message queues of its own IPC namespace), and to open
# each regular file mounted there for writing: only the scoreboard, which takes the list, may be
# written.
writes_only_its_scoreboard() {
    dropin=$boot/etc/systemd/system/sbscrub.service.d
    mkdir "$dropin"
    cat >"$dropin/probe.conf" <<'EOF'
[Service]
ExecStart=
ExecStart=/bin/sh -c 'grep -v " - mqueue " /proc/self/mountinfo | cut -d" " -f5 | sort -u | \
    while read -r d; do { if [ -d "$$d" ]; then touch "$$d/.probe" && rm "$$d/.probe"; \
    else [ -f "$$d" ] && true >>"$$d"; fi; } 2>/dev/null && echo "$$d" || :; \
    done >/opt/ozk/var/ferryd.scoreboard'
EOF
    in_boot systemctl daemon-reload
    in_boot systemctl start sbscrub.service || die "the probe in sbscrub.service failed"
    rm -r "$dropin"
    in_boot systemctl daemon-reload
    writable=$(cat "$boot$board")
    [ "$writable" = "$board" ] || die "sbscrub.service can write in: $writable"
}

# 4. A text file at the default path is refused and left as it was.
refuses_foreign_file() {
    n=0
    while [ $((n += 1)) -le 100 ]; do echo "line $n of a log, not a scoreboard"; done >"$boot$board"
    cp "$boot$board" "$fresh/expected"
    if in_boot systemctl start sbscrub.service 2>/dev/null; then
        die "sbscrub.service succeeded on a file that is not a scoreboard: $(said)"
    fi
    [ "$(in_boot systemctl show -p Result --value sbscrub.service)" = exit-code ] ||
        die "sbscrub.service did not run and fail on a file that is not a scoreboard"
    cmp "$fresh/expected" "$boot$board" ||
        die "sbscrub.service changed a file that is not a scoreboard"
}

# 5. The service of a build whose default scoreboard lies directly under /run (its program in
# /usr/local, its unit in place of the packages' one) clears the stale slot there; so does the
# packages' service with a drop-in that follows its comment, for a scoreboard under /run and one
# under /tmp.
scoreboards_under_run_and_tmp() {
    cp "$built/run-default/sbscrub" "$boot/usr/local/sbin/"
    cp "$built/run-default/sbscrub.service" "$boot/etc/systemd/system/"
    in_boot systemctl daemon-reload
    clears_stale_slot "$run_board" "the service of a build whose default is $run_board"
    in_boot rm "$run_board"
    rm "$boot/usr/local/sbin/sbscrub" "$boot/etc/systemd/system/sbscrub.service"
    dropin=$boot/etc/systemd/system/sbscrub.service.d
    mkdir "$dropin"
    # sbscrub ignores a -f path in a directory that others may write, such as /tmp itself.
    in_boot mkdir -m 755 /tmp/ferryd
    for other in /run/other.scoreboard /tmp/ferryd/other.scoreboard; do
        cat >"$dropin/other.conf" <<EOF
[Unit]
ConditionPathExists=|$other

[Service]
ExecStart=
ExecStart=/usr/sbin/sbscrub -f $other
ReadWritePaths=$other
EOF
        case $other in /tmp/*) echo PrivateTmp=no >>"$dropin/other.conf" ;; esac
        in_boot systemctl daemon-reload
        clears_stale_slot "$other" "sbscrub.service with a drop-in for $other"
        in_boot rm "$other"
    done
    in_boot rmdir /tmp/ferryd
    rm -r "$dropin"
    in_boot systemctl daemon-reload
}

# 6. Without the test's own processes and files, remove and purge leave nothing.
purge_booted() {
    in_boot systemctl stop live-root live-nobody
    in_boot systemctl reset-failed sbscrub.service
    rm -r "$boot/opt/ozk"
    step "$fresh/packages.log" in_boot apt-get remove -y bigram-tools bigram-tools-dev
    purge_packages "$boot" in_boot
}

# A further make target as root, in a copy of its own with only make added.
target_as_root() {
    begin "as root, in a copy of its own: make $1 ${FRESH_ARGS:-}"
    prepare "$root" "$src"
    add_make "$root"
    in_root "$root" sh -c "cd $src && make $1 ${FRESH_ARGS:-}"
    end "make $1 passed"
}

# The run: each copy is unmounted and removed (cleanup) before the next is made.
if [ ! -f "$tarball" ]; then
    bare_root
fi
total_start=$(date +%s)
clone_as_root
demo_as_root
check_as_root
install_as_root
cleanup
refusal_as_user
cleanup
packages_in_chroot
cleanup
packages_booted
cleanup
for target in ${FRESH_TARGETS:-}; do
    target_as_root "$target"
    cleanup
done
left=$(mounted)
[ -z "$left" ] || die "still mounted: $left"
echo "check-fresh: passed in $(($(date +%s) - total_start)) s; nothing left mounted"
