#!/bin/sh
# Starts or stops a private PulseAudio server for the tests: one null sink, "vireko_test", at
# 48 kHz float mono, whose monitor the tests record. Clients reach it through PULSE_SERVER.
#   pulse_server.sh start|stop DIR
set -eu
action=$1
dir=$2
export PULSE_RUNTIME_PATH="$dir" PULSE_STATE_PATH="$dir" HOME="$dir"

case "$action" in
start)
    "$0" stop "$dir" 2>/dev/null || true
    if ! command -v pulseaudio >/dev/null; then
        echo "no PulseAudio daemon here: the sound tests will skip themselves" >&2
        exit 0
    fi
    mkdir -p "$dir"
    cat >"$dir/server.pa" <<PA
load-module module-native-protocol-unix socket=$dir/native auth-anonymous=1
load-module module-null-sink sink_name=vireko_test format=float32le rate=48000 channels=1 norewinds=1
set-default-sink vireko_test
PA
    # -n: no default script; nothing idles, nothing suspends, nothing autospawns.
    pulseaudio -n --daemonize=yes --use-pid-file=yes --exit-idle-time=-1 --realtime=yes \
        --high-priority=yes --disable-shm=yes --system=no --log-target=file:"$dir/server.log" \
        -F "$dir/server.pa" 2>>"$dir/server.log" || true
    tries=0
    until pactl --server "unix:$dir/native" info >/dev/null 2>&1; do
        tries=$((tries + 1))
        if [ "$tries" -gt 50 ]; then
            echo "PulseAudio did not start; its log:" >&2
            cat "$dir/server.log" >&2
            exit 1
        fi
        sleep 0.1
    done
    # The whole daemon at real-time priority where that is allowed (as root, say), not only its
    # sink thread: its main thread answers the clients and feeds the recorder, and on a busy
    # machine it would otherwise be the slowest part of every measurement.
    if [ -f "$dir/pid" ] && command -v chrt >/dev/null; then
        chrt -r -a -p 5 "$(cat "$dir/pid")" >/dev/null 2>&1 || true
    fi
    ;;
stop)
    if [ -f "$dir/pid" ]; then
        kill "$(cat "$dir/pid")" 2>/dev/null || true
        rm -f "$dir/pid"
    fi
    pulseaudio --kill 2>/dev/null || true
    ;;
esac
