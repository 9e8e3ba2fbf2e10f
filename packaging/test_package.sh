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
