#!/bin/sh
# Installs what Vireko needs (with sudo where not root), builds it, then either starts the
# program (`sh setup.sh run`) or runs the whole test suite headless (`sh setup.sh test`): as
# built, then under the sanitizers, then the fuzz targets. On Debian 12 and Debian 13 (each tried
# fresh by tests/fresh_system.sh).
set -eu
cd "$(dirname "$0")"
mode=${1:-run}

build_packages="build-essential cmake ninja-build pkgconf git qt6-base-dev qt6-base-private-dev libgl-dev
    libgtest-dev libgmock-dev libbenchmark-dev libpulse-dev libpipewire-0.3-dev libasound2-dev
    libdbus-1-dev fonts-ipafont-gothic"
# The tests play into a private PulseAudio daemon and a private PipeWire, and measure what comes
# out. PipeWire's pulse protocol comes with its modules; its pipewire-pulse package is not needed.
# A desktop that runs PipeWire keeps it: installing PulseAudio's daemon there would replace
# pipewire-pulse, so the PulseAudio half of the sound tests skips itself instead.
pipewire_packages="pipewire pipewire-bin wireplumber libpipewire-0.3-modules dbus-daemon"
test_packages="binutils pulseaudio-utils sox libsox-fmt-pulse libasound2-plugins
    dpkg-dev file desktop-file-utils appstream lintian locales
    qemu-system-x86 busybox-static cpio alsa-utils psmisc clang weston qt6-wayland xvfb x11-utils
    $pipewire_packages"
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
if ! installed pipewire-pulse; then
    test_packages="$test_packages pulseaudio"
fi
pipewire_was_here=""
if installed pipewire && installed wireplumber; then pipewire_was_here=yes; fi

case "$mode" in
    run) packages=$build_packages; preset=dev ;;
    test) packages="$build_packages $test_packages"; preset=ci ;;
    *) echo "usage: sh setup.sh [run|test]" >&2; exit 2 ;;
esac

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

updated=""
install_missing() {
    missing=""
    for package in "$@"; do
        installed "$package" || missing="$missing $package"
    done
    [ -n "$missing" ] || return 0
    echo "Installing:$missing"
    [ -n "$updated" ] || { $sudo apt-get update; updated=yes; }
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $missing
}
install_missing $packages
if [ "$mode" = test ] && [ -z "$pipewire_was_here" ] && ! installed pipewire-pulse; then
    # Installed only for the tests, on a machine whose sound server is PulseAudio: Debian would
    # start PipeWire and its session manager at every login, beside PulseAudio, taking the
    # sound cards. The tests start their own.
    $sudo systemctl --global disable pipewire.socket pipewire.service wireplumber.service \
        >/dev/null 2>&1 || true
fi
if [ "$mode" = test ]; then
    # The sanitizers' and libFuzzer's run-time, of the same version as the clang just installed.
    clang_major=$(clang --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n 1)
    install_missing "libclang-rt-$clang_major-dev"
fi

cmake --preset "$preset"
cmake --build --preset "$preset"

if [ "$mode" = run ]; then
    exec "build/$preset/bin/vireko"
fi
status=0
rm -f build/*/Testing/Temporary/LastTestsFailed.log
ctest --preset "$preset" || status=$?
# The emulated PC's figures: each route's tones as its speaker played them.
figures=build/$preset/tests/emulated-pc/figures.txt
if [ -s "$figures" ]; then
    echo "The PC speaker on the emulated PC:"
    cat "$figures"
fi

# The same suite under AddressSanitizer and UBSan; the library, its sinks and the binding under
# ThreadSanitizer; the number reader and the emit-sound run fuzzed, seeds first.
for sanitized in asan tsan fuzz; do
    echo "== $sanitized"
    if cmake --preset "$sanitized" >/dev/null && cmake --build --preset "$sanitized"; then
        ctest --preset "$sanitized" || status=$?
    else
        status=1
    fi
done
if [ -d build/fuzz/tests/fuzz ]; then
    echo "Fuzzing, per target:"
    grep -h -E "Test #|stat::(number_of_executed_units|average_exec_per_sec)" \
        build/fuzz/Testing/Temporary/LastTest.log 2>/dev/null || true
fi
# Last, what failed and its first complaints, for a reader who sees only the end of the log.
for dir in build/ci build/asan build/tsan build/fuzz; do
    failed=$dir/Testing/Temporary/LastTestsFailed.log
    [ -s "$failed" ] || continue
    echo "== Failed in $dir:"
    cat "$failed"
    complaint=": Failure$|^FAIL! |(ERROR|WARNING): [A-Za-z]*Sanitizer|ERROR: libFuzzer|runtime error:"
    grep -h -A 6 -E "$complaint" "$dir/Testing/Temporary/LastTest.log" | head -n 60
done
exit $status
