#!/bin/sh
# The window on a real Wayland compositor, as a Wayland user sees it: runs the window test on a
# private Weston at output scale SCALE, then checks the application id the compositor was given
# against the desktop entry's name. Exit 77 (skipped) where weston or Qt's Wayland platform is
# missing.
#   wayland_window.sh DIR SCALE TEST_BINARY DESKTOP_ENTRY
set -eu
dir=$1
scale=$2
test_binary=$3
entry=$(basename "$4" .desktop)
here=$(dirname "$0")

plugins=$(qtpaths6 --plugin-dir 2>/dev/null || echo /usr/lib/x86_64-linux-gnu/qt6/plugins)
ls "$plugins"/platforms/libqwayland-*.so >/dev/null 2>&1 ||
    { echo "Qt's Wayland platform plugin is not installed (qt6-wayland)"; exit 77; }
status=0
sh "$here/wayland_compositor.sh" start "$dir" "$scale" || status=$?
[ "$status" -eq 0 ] || exit "$status"
trap 'sh "$here/wayland_compositor.sh" stop "$dir"' EXIT

XDG_RUNTIME_DIR=$dir WAYLAND_DISPLAY=wayland-vireko QT_QPA_PLATFORM=wayland \
    WAYLAND_DEBUG=client VIREKO_SHOT_DIR=$dir/shots \
    timeout 60 "$test_binary" 2>"$dir/client.log" || {
    grep -v "^\[ *[0-9.]*\] " "$dir/client.log"
    echo "FAIL: the window test on Wayland (scale $scale)"
    exit 1
}
grep -v "^\[ *[0-9.]*\] " "$dir/client.log" || true
grep -q "set_app_id(\"$entry\")" "$dir/client.log" || {
    echo "FAIL: the application id is not the desktop entry's name $entry:"
    grep -o 'set_app_id("[^"]*")' "$dir/client.log" || echo "  (no set_app_id)"
    exit 1
}
echo "application id: $entry"
