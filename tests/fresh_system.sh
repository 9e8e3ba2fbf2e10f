#!/bin/sh
# Tries the project on a fresh minimal Debian: builds a chroot of the given release with
# debootstrap (--variant=minbase, nothing else installed), lays in a clean copy of the committed
# tree, and runs a command there as root, by default the CI's: the README's test command.
#   sudo sh tests/fresh_system.sh [--keep] [--reuse] RELEASE [COMMAND]
#     RELEASE   a Debian code name: bookworm, trixie, ...
#     COMMAND   run by bash in the project's copy (default: CI=true bash .ci/run)
#     --keep    leave the chroot in place afterwards (to look around, or to --reuse it)
#     --reuse   run in the chroot kept from before instead of a fresh one: its packages and
#               build folders as they were left, the committed tree laid in again in place
# FRESH_SYSTEM_DIR (default /var/tmp/vireko-fresh) holds the chroots and a cached debootstrap
# tarball of each release; MIRROR (default http://deb.debian.org/debian) is where they come from.
# Whatever the command leaves running inside is stopped by its process id, and everything mounted
# is unmounted, however the script ends.
set -eu
keep="" reuse=""
while [ $# -gt 0 ]; do
    case "$1" in
    --keep) keep=yes ;;
    --reuse) reuse=yes keep=yes ;;
    *) break ;;
    esac
    shift
done
[ $# -ge 1 ] || { sed -n 's/^#   //p' "$0" >&2; exit 2; }
release=$1
run=${2:-CI=true bash .ci/run}
[ "$(id -u)" -eq 0 ] || { echo "fresh_system.sh: debootstrap and chroot need root" >&2; exit 2; }
command -v debootstrap >/dev/null || { echo "fresh_system.sh: debootstrap is not installed" >&2; exit 2; }
project=$(cd "$(dirname "$0")/.." && pwd)
base=${FRESH_SYSTEM_DIR:-/var/tmp/vireko-fresh}
mirror=${MIRROR:-http://deb.debian.org/debian}
root=$base/$release
mkdir -p "$base/cache"
root=$(cd "$base" && pwd)/$release

mounted=""
stop_the_chroots_processes() {
    # Every process whose root is the chroot: the command's servers, daemons, compositors.
    for signal in TERM KILL; do
        found=""
        for proc in /proc/[0-9]*; do
            [ "$(readlink "$proc/root" 2>/dev/null)" = "$root" ] || continue
            kill -s "$signal" "${proc#/proc/}" 2>/dev/null && found=yes
        done
        [ -n "$found" ] || return 0
        for _ in $(seq 50); do
            alive=""
            for proc in /proc/[0-9]*; do
                [ "$(readlink "$proc/root" 2>/dev/null)" = "$root" ] && { alive=yes; break; }
            done
            [ -n "$alive" ] || return 0
            sleep 0.1
        done
    done
}
clean_up() {
    status=$?
    trap - EXIT INT TERM HUP
    stop_the_chroots_processes
    # The last mounted first; a mount something still holds is detached all the same.
    for target in $mounted; do
        umount "$target" 2>/dev/null || umount -l "$target" || true
    done
    if [ -z "$keep" ] && [ -d "$root" ] && ! grep -q " $root/" /proc/mounts; then
        rm -rf "$root"
    fi
    exit "$status"
}
trap clean_up EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

if grep -q " $root/" /proc/mounts; then
    echo "fresh_system.sh: something is still mounted in $root; is another run using it?" >&2
    keep=yes
    exit 1
fi
if [ -z "$reuse" ]; then
    rm -rf "$root"
    tarball=$base/cache/$release.tgz
    if [ ! -s "$tarball" ]; then
        rm -rf "$base/cache/$release.work"
        debootstrap --variant=minbase --make-tarball="$tarball.part" "$release" \
            "$base/cache/$release.work" "$mirror"
        mv "$tarball.part" "$tarball"
        rm -rf "$base/cache/$release.work"
    fi
    debootstrap --variant=minbase --unpack-tarball="$tarball" "$release" "$root" "$mirror"
    # As on a machine of its own, no package starts a daemon while it is installed: there, its
    # init system would own it; here, nothing would.
    printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
    chmod +x "$root/usr/sbin/policy-rc.d"
    mkdir -p "$root/root/vireko"
    git -C "$project" archive HEAD | tar -x -C "$root/root/vireko"
elif [ ! -d "$root/root/vireko" ]; then
    echo "fresh_system.sh: no kept chroot of $release in $base to reuse" >&2
    exit 1
else
    # Only the files that differ are replaced, so that the builds redo only what changed.
    rm -rf "$root/root/vireko.new"
    mkdir -p "$root/root/vireko.new"
    git -C "$project" archive HEAD | tar -x -C "$root/root/vireko.new"
    (cd "$root/root/vireko.new" && find . -type f) | while read -r file; do
        cmp -s "$root/root/vireko.new/$file" "$root/root/vireko/$file" && continue
        mkdir -p "$(dirname "$root/root/vireko/$file")"
        cp "$root/root/vireko.new/$file" "$root/root/vireko/$file"
    done
    # And the files the tree no longer has are taken out: a header left behind where its
    # folder is searched first would shadow the one that moved.
    (cd "$root/root/vireko" && find . -path ./build -prune -o -type f -print) | while read -r file; do
        [ -e "$root/root/vireko.new/$file" ] || rm -f "$root/root/vireko/$file"
    done
    rm -rf "$root/root/vireko.new"
fi
cp -L /etc/resolv.conf "$root/etc/resolv.conf"

mount_in() { # TYPE-OR-BIND SOURCE TARGET [OPTIONS]
    if [ "$1" = bind ]; then mount --bind "$2" "$root$3"; else mount -t "$1" ${4:+-o "$4"} "$2" "$root$3"; fi
    mounted="$root$3 $mounted"
}
mount_in proc proc /proc
mount_in sysfs sysfs /sys
mount_in bind /dev /dev
mount_in bind /dev/pts /dev/pts
mount_in tmpfs shm /dev/shm mode=1777
mount_in tmpfs run /run mode=755

echo "== $release: $run"
# In the background, so that a signal to this script ends the wait at once and the clean-up
# stops the command's processes, not only once it has finished.
chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c "cd /root/vireko && $run" &
wait $!
