#!/bin/sh
# Builds the Debian package, checks what it holds, and tries it as installed: unpacked into a
# throwaway root, the program must start and beep-probe must find the library beside it.
#   test_package.sh BUILD_DIR MULTIARCH "ICON_SIZES"
set -eu
build=$1
multiarch=$2
icon_sizes=$3
cd "$build"
rm -f vireko_*.deb
cpack -G DEB >/dev/null
deb=$(ls vireko_*_*.deb)
echo "built $deb"

listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in usr/bin/vireko usr/bin/beep-probe "usr/lib/$multiarch/vireko/libbeep.so.3" \
    usr/include/beep.h usr/share/applications/org.vireko.Vireko.desktop \
    usr/share/metainfo/org.vireko.Vireko.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/org.vireko.Vireko.svg \
    usr/share/man/man1/vireko.1.gz usr/share/man/man1/beep-probe.1.gz \
    usr/lib/udev/rules.d/70-pcspkr-beep.rules usr/share/doc/vireko/copyright \
    usr/share/doc/vireko/changelog.gz usr/share/doc/vireko/examples/pcspkr.conf; do
    echo "$listing" | grep -qx "\./$path" || { echo "missing from the package: $path"; exit 1; }
done
for size in $icon_sizes; do
    echo "$listing" | grep -qx "\./usr/share/icons/hicolor/${size}x${size}/apps/org.vireko.Vireko.png" ||
        { echo "missing from the package: the ${size} px icon"; exit 1; }
done
if echo "$listing" | grep -q "^\./usr/lib/$multiarch/libbeep"; then
    echo "libbeep.so.3 must stay in the program's private folder"
    exit 1
fi
dpkg-deb -f "$deb" Depends Recommends

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/org.vireko.Vireko.desktop"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.vireko.Vireko.metainfo.xml"
if command -v lintian >/dev/null; then
    lintian --fail-on error --suppress-tags hardening-no-bindnow,hardening-no-fortify-functions "$deb"
fi

cmake -DFILES="$root/usr/bin/vireko;$root/usr/bin/beep-probe" -P "$(dirname "$0")/../tests/check_run_paths.cmake"

probe=$("$root/usr/bin/beep-probe" --library)
echo "$probe"
loaded=$(echo "$probe" | sed -n 's/^libbeep.so.3 loaded from //p')
[ -n "$loaded" ] && [ "$(readlink -f "$loaded")" = "$(readlink -f "$root/usr/lib/$multiarch/vireko/libbeep.so.3")" ] ||
    { echo "the installed beep-probe did not find the installed library"; exit 1; }

# The program has no way to end by itself: still running after a few seconds means it started.
status=0
QT_QPA_PLATFORM=offscreen timeout 4 "$root/usr/bin/vireko" || status=$?
if [ "$status" -ne 124 ]; then
    echo "the installed vireko ended with status $status instead of running"
    exit 1
fi
echo "the installed vireko started and kept running"

# The window carries the installed desktop entry's name, so that a dock shows the entry's name
# and icon for it: as its application id on Wayland, and as its WM_CLASS on X11.
entry_file=$root/usr/share/applications/org.vireko.Vireko.desktop
entry=$(basename "$entry_file" .desktop)
wm_class=$(sed -n 's/^StartupWMClass=//p' "$entry_file")
[ -n "$wm_class" ] || { echo "the desktop entry names no StartupWMClass"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$root" "$work"' EXIT
compositor="$(dirname "$0")/../tests/wayland_compositor.sh"
if sh "$compositor" start "$work/wayland" >/dev/null; then
    XDG_RUNTIME_DIR=$work/wayland WAYLAND_DISPLAY=wayland-vireko QT_QPA_PLATFORM=wayland \
        WAYLAND_DEBUG=client timeout 4 "$root/usr/bin/vireko" 2>"$work/wayland.log" || true
    sh "$compositor" stop "$work/wayland"
    app_id=$(sed -n 's/.*set_app_id("\([^"]*\)").*/\1/p' "$work/wayland.log" | head -n 1)
    [ "$app_id" = "$entry" ] ||
        { echo "on Wayland the application id is '$app_id', not the entry's '$entry'"; exit 1; }
    echo "on Wayland the installed vireko's application id is $app_id"
else
    echo "no Wayland compositor: the application id is not checked"
fi
if command -v Xvfb >/dev/null && command -v xwininfo >/dev/null; then
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
    xvfb=$!
    for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
    DISPLAY=:$(cat "$work/display") QT_QPA_PLATFORM=xcb "$root/usr/bin/vireko" 2>/dev/null &
    program=$!
    class=""
    for _ in $(seq 50); do
        class=$(DISPLAY=:$(cat "$work/display") xwininfo -root -tree 2>/dev/null |
            sed -n 's/.*("[^"]*" "\([^"]*\)").*/\1/p' | head -n 1)
        [ -n "$class" ] && break
        sleep 0.1
    done
    kill "$program" "$xvfb" 2>/dev/null || true
    wait "$program" "$xvfb" 2>/dev/null || true
    [ "$class" = "$wm_class" ] ||
        { echo "on X11 the window's class is '$class', not the entry's '$wm_class'"; exit 1; }
    echo "on X11 the installed vireko's WM_CLASS class is $class, the entry's StartupWMClass"
else
    echo "no Xvfb: WM_CLASS is not checked"
fi
