#!/bin/sh
# The real PC speaker, on an emulated PC: Debian's own kernel booted under QEMU's software
# emulation, its PC speaker recorded to a WAV file, once for each way the library reaches the
# ports (direct port I/O as root, /dev/port as root with ioperm refused, the kernel's device as
# an ordinary user); then once more with no PC-speaker device, where an ordinary user is heard
# through ALSA on an HD Audio card with its real driver, recorded to a WAV file of its own.
# Exits 77 (skipped) where QEMU or the kernel cannot be had. EMULATED_PC_ROUTES names fewer
# boots, for a developer at work on one route.
#   run.sh WORK_DIR BEEP_PROBE VPC LIBBEEP CHECK_RECORDING
set -eu
work=$1 probe=$2 vpc=$3 libbeep=$4 check=$5
here=$(cd "$(dirname "$0")" && pwd)

skip() {
    echo "SKIPPED: $*"
    exit 77
}
for tool in qemu-system-x86_64 cpio aplay amixer killall; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (sh setup.sh test installs it)"
done
busybox=$(command -v busybox) || skip "busybox is not installed"
file "$(readlink -f "$busybox")" | grep -q "statically linked" || skip "busybox is not the static one"

# Debian's kernel, fetched once and kept in the build folder.
mkdir -p "$work/cache"
kernel_package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/.*Depends: \(linux-image-[^ ]*\)/\1/p' | head -1)
[ -n "$kernel_package" ] || skip "apt does not know linux-image-amd64"
if [ ! -d "$work/cache/$kernel_package" ]; then
    (cd "$work/cache" && apt-get download "$kernel_package" >/dev/null 2>&1) ||
        skip "could not download $kernel_package"
    dpkg-deb -x "$work/cache/${kernel_package}"_*.deb "$work/cache/$kernel_package.tmp"
    mv "$work/cache/$kernel_package.tmp" "$work/cache/$kernel_package"
fi
tree=$work/cache/$kernel_package
vmlinuz=$(ls "$tree"/boot/vmlinuz-*)
# Under /lib in the packages of a system before merged /usr, under /usr/lib after.
modules=$(ls -d "$tree"/lib/modules/*/kernel "$tree"/usr/lib/modules/*/kernel 2>/dev/null | head -n 1)
[ -n "$modules" ] || skip "no kernel modules in $kernel_package"

# The initramfs: busybox, the drivers, aplay, the project's binaries and what they link.
root=$work/root
rm -rf "$root"
mkdir -p "$root/bin" "$root/modules" "$root/opt/vireko" "$root/usr/share" "$root/proc" \
    "$root/sys" "$root/dev" "$root/tmp"
cp "$busybox" "$root/bin/busybox"
for module in sound/soundcore sound/core/snd sound/core/snd-timer sound/core/snd-pcm \
    sound/ac97_bus sound/pci/ac97/snd-ac97-codec sound/pci/snd-intel8x0 drivers/input/evdev \
    drivers/input/misc/pcspkr sound/core/snd-hwdep sound/hda/snd-intel-sdw-acpi \
    sound/hda/snd-intel-dspcfg sound/hda/snd-hda-core sound/pci/hda/snd-hda-codec \
    drivers/leds/trigger/ledtrig-audio sound/pci/hda/snd-hda-codec-generic \
    sound/pci/hda/snd-hda-intel; do
    # Compressed in some kernels' packages; busybox's insmod takes them plain.
    name=${module##*/}
    if [ -f "$modules/$module.ko" ]; then
        cp "$modules/$module.ko" "$root/modules/"
    elif [ -f "$modules/$module.ko.xz" ]; then
        xz -dc "$modules/$module.ko.xz" >"$root/modules/$name.ko"
    elif [ -f "$modules/$module.ko.zst" ]; then
        zstd -qdc "$modules/$module.ko.zst" >"$root/modules/$name.ko"
    else
        # Folded into another module or gone in later kernels (ledtrig-audio in 6.12): what
        # a driver still needs and cannot find shows in the guest's insmod.
        echo "note: $kernel_package has no module $module"
    fi
done
cp "$(command -v aplay)" "$(command -v amixer)" "$root/bin/"
# The desktop's killall (psmisc's), which tells processes apart by the names they go by, rather
# than busybox's, which also matches the executable's file name that a guardian shares with its
# program.
mkdir -p "$root/usr/bin"
cp "$(command -v killall)" "$root/usr/bin/killall"
cp -r /usr/share/alsa "$root/usr/share/alsa"
# The library loads ALSA's client library at run time, so ldd does not name it.
libasound=$(ldconfig -p | sed -n 's/.*libasound.so.2 (libc6,x86-64) => //p' | head -1)
[ -n "$libasound" ] || skip "libasound2 is not installed"
mkdir -p "$root$(dirname "$libasound")"
cp -L "$libasound" "$root$libasound"
cp "$probe" "$vpc" "$root/opt/vireko/"
cp -L "$libbeep" "$root/opt/vireko/libbeep.so.3"
for binary in "$root/bin/aplay" "$root/bin/amixer" "$root/usr/bin/killall" "$root$libasound" \
    "$root/opt/vireko/"*; do
    for library in $(ldd "$binary" | grep -o '/[^ ]*'); do
        mkdir -p "$root$(dirname "$library")"
        cp -L "$library" "$root$library"
    done
done
cp "$here/guest_init.sh" "$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc 2>/dev/null | gzip -1 >"$work/initrd.gz")

status=0
: >"$work/figures.txt"
for route in ${EMULATED_PC_ROUTES:-direct dev-port kernel alsa}; do
    rm -f "$work/$route.wav" "$work/$route-speaker.wav"
    # The ALSA boot records its HD Audio card (card 1), and the speaker's WAV only keeps time.
    speaker_wav=$work/$route.wav hda=""
    if [ "$route" = alsa ]; then
        speaker_wav=$work/$route-speaker.wav
        hda="-audiodev wav,id=hda,path=$work/$route.wav,out.frequency=48000,timer-period=1000
            -device intel-hda -device hda-output,audiodev=hda"
    fi
    # -icount: the guest's clock and the recording count executed instructions, so a busy host
    # cannot stretch or squeeze the tones. The sound card shares the recording, playing silence.
    # QEMU's speaker follows the gate once per audio timer period; 1 ms keeps tone lengths within
    # the check's 2 ms.
    # shellcheck disable=SC2086
    timeout 600 qemu-system-x86_64 -machine pc,pcspk-audiodev=snd0 \
        -audiodev wav,id=snd0,path="$speaker_wav",out.frequency=48000,timer-period=1000 \
        -device AC97,audiodev=snd0 $hda -kernel "$vmlinuz" -initrd "$work/initrd.gz" \
        -append "console=ttyS0 quiet panic=-1 vireko.route=$route" -nographic -no-reboot \
        -m 256 -icount shift=0,sleep=off </dev/null 2>&1 |
        grep -v "Failed to create voice" >"$work/$route.log" || true
    "$check" "$route" "$work/$route.log" "$work/$route.wav" >>"$work/figures.txt" || {
        status=1
        echo "  the guest's log:" >>"$work/figures.txt"
        sed 's/^/    /' "$work/$route.log" >>"$work/figures.txt"
    }
done
cat "$work/figures.txt"
exit $status
