#!/bin/busybox sh
# The emulated PC's init: loads the sound and PC-speaker drivers, keeps the sound card playing
# silence so that the recording keeps the guest's time line, then sounds the speaker through the
# route named on the kernel command line (vireko.route=direct|dev-port|kernel|alsa) and powers
# off.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
route=$(sed -n 's/.*vireko.route=\([a-z-]*\).*/\1/p' /proc/cmdline)
modules="soundcore snd snd-timer snd-pcm ac97_bus snd-ac97-codec snd-intel8x0 evdev pcspkr"
# No PC-speaker device there: the HD Audio card instead, heard through ALSA.
[ "$route" = alsa ] && modules="soundcore snd snd-timer snd-pcm ac97_bus snd-ac97-codec
    snd-intel8x0 snd-hwdep snd-intel-sdw-acpi snd-intel-dspcfg snd-hda-core snd-hda-codec
    ledtrig-audio snd-hda-codec-generic snd-hda-intel"
for module in $modules; do
    [ -f /modules/$module.ko ] || continue  # not in this kernel
    insmod /modules/$module.ko || echo "insmod $module failed"
done
V=/opt/vireko
aplay -q -D hw:0,0 -t raw -f S16_LE -r 48000 -c 2 /dev/zero &
sleep 0.5

extra=""
signals=""
case "$route" in
direct)
    run=""
    extra="raw:65976 on wait:300 off wait:200 freq:0 on wait:300 off wait:200
        freq:3000 thread-on wait:300 thread-off wait:200"
    signals="TERM INT HUP KILL KILLALL SEGV" ;;
dev-port)
    run="$V/vpc no-ioperm"
    signals="KILLALL" ;;
kernel)
    for device in /sys/class/input/event*; do
        [ "$(cat "$device/device/name")" = "PC Speaker" ] && event=/dev/input/${device##*/}
    done
    mkdir -p /dev/input/by-path
    ln -s "$event" /dev/input/by-path/platform-pcspkr-event-spkr
    chmod 666 "$event"
    run="$V/vpc as-user"
    extra="freq:20 on wait:300 off wait:200"
    signals="TERM INT HUP KILL KILLALL SEGV" ;;
alsa)
    # As on a desktop without a sound server: ALSA's default device, dmix on card 1, which an
    # ordinary user reaches through the group "audio" (dmix's too); a card's mixer starts muted.
    mkdir -p /etc
    echo "audio:x:1000:" >/etc/group
    printf 'defaults.pcm.card 1\ndefaults.ctl.card 1\n' >/etc/asound.conf
    chgrp -R 1000 /dev/snd
    chmod 660 /dev/snd/*
    amixer -q -c 1 sset Master 100% unmute || echo "amixer failed"
    run="$V/vpc as-user"
    # A silent stream through dmix keeps the card running, so that its recording is a true time
    # line: QEMU records a card only while it plays.
    $run /bin/aplay -q -t raw -f S16_LE -r 48000 -c 2 /dev/zero &
    sleep 0.5
    # Tones after silences longer than the stream is held, each opening the device again.
    extra="wait:400 on wait:300 off wait:600 freq:880 on wait:300 off wait:200" ;;
esac

echo "route $route"
$run $V/beep-probe
$run $V/beep-probe --library
$run $V/beep-probe --tone 1234 300 >/dev/null
sleep 0.2
# The last tone's count is loaded by a thread started after the first call, which inherits the
# ports but not the capability to ask for them.
$run $V/vpc tones rawio:before freq:440 rawio:after on wait:300 off wait:200 freq:1234 on wait:300 off wait:200 \
    on wait:300 off wait:200 $extra freq:440 thread-freq:1234 on wait:300 off wait:200
# Each tone the first of a new process, opening the device, as when the program is started for it.
if [ "$route" = alsa ]; then
    for gate in 500 300; do
        $run $V/vpc tones freq:440 on wait:$gate off
        sleep 0.5
    done
fi
# beep-probe ended mid-tone: by a termination signal it closes the gate itself; killed or
# crashed, its guardian closes it. KILLALL is SIGKILL by name, which must not reach the guardian.
for signal in $signals; do
    $V/vpc interruptible $run $V/beep-probe --tone 440 4000 >/dev/null &
    probe=$!
    sleep 1
    if [ "$signal" = KILLALL ]; then /usr/bin/killall -9 beep-probe; else kill -$signal $probe; fi
    wait $probe
    echo "status $signal $?"
    $V/vpc stamp ended-$signal
    sleep 0.3
    $V/vpc port61 after-$signal
done
# The program's own binding killed by name mid-tone, then crashing: its guardian closes the gate.
if [ -n "$signals" ]; then
    $run $V/vpc tones freq:880 on wait:4000 off &
    sleep 1
    /usr/bin/killall -9 vpc
    wait $!
    echo "status binding-killall $?"
    $V/vpc stamp ended-binding-killall
    sleep 0.3
    $V/vpc port61 after-binding-killall
    $run $V/vpc tones freq:880 on wait:1000 crash &
    wait $!
    echo "status crash $?"
    $V/vpc stamp ended-crash
    sleep 0.3
    $V/vpc port61 after-crash
fi
$V/vpc stamp end
poweroff -f
