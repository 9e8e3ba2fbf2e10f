#!/bin/sh
# Runs the speaker sound benchmark on each sound server a desktop may run: PulseAudio, PipeWire,
# and PipeWire with the 1024-frame period it sets for itself inside a virtual machine; on PipeWire
# the timing also through its PulseAudio protocol. A server that cannot be had here is said so;
# the others still run. Never fails.
#   sound_on_each_server.sh TIMING_BENCHMARK SOUND_BENCHMARK WORK_DIR
timing=$1
sound=$2
dir=$3
server=$(dirname "$0")/../tests/sound_server.sh
for kind in pulseaudio pipewire pipewire-1024; do
    echo "== speaker sound on $kind"
    if sh "$server" start "$dir/$kind" "$kind" && [ -S "$dir/$kind/native" ]; then
        for benchmark in "$timing" "$sound"; do
            PULSE_SERVER="unix:$dir/$kind/native" PIPEWIRE_REMOTE="$dir/$kind/runtime/pipewire-0" \
                "$benchmark" ||
                echo "$(basename "$benchmark") failed on $kind"
        done
        case "$kind" in pipewire*)
            # The way taken where only PipeWire's pulse socket is to be had.
            echo "== speaker timing on $kind through its PulseAudio protocol"
            env -u PIPEWIRE_REMOTE PULSE_SERVER="unix:$dir/$kind/native" "$timing" ||
                echo "$(basename "$timing") failed on $kind through its PulseAudio protocol"
        esac
    else
        echo "no $kind server here: no figures"
    fi
    sh "$server" stop "$dir/$kind"
done
exit 0
