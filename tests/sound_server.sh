#!/bin/sh
# Starts or stops a private sound server for the tests and benchmarks: one null sink,
# "vireko_test", at 48 kHz float mono, whose monitor is recorded. Clients reach it through
# PULSE_SERVER=unix:DIR/native, whichever server it is, and PipeWire's own clients through
# PIPEWIRE_REMOTE=DIR/runtime/pipewire-0.
#   sound_server.sh start DIR [KIND]    KIND: pulseaudio (the default), pipewire, or
#                                       pipewire-1024 (PipeWire with the 1024-frame period it
#                                       sets for itself inside a virtual machine), or one of
#                                       two desktops where PulseAudio plays while a PipeWire
#                                       without a sink runs beside it, both sockets in one
#                                       runtime folder DIR/runtime and no PULSE_SERVER needed:
#                                       pulse-beside-pipewire (PipeWire with its session
#                                       manager, as Ubuntu 22.04 runs it for screen sharing) and
#                                       pulse-beside-bare-pipewire (no session manager)
#   sound_server.sh stop DIR
# Every process is stopped by the id it was given; a restart takes the kind it had.
set -eu
action=$1
dir=$2
here=$(cd "$(dirname "$0")" && pwd)
kind=${3:-$(cat "$dir/kind" 2>/dev/null || echo pulseaudio)}

stop() {
    [ -f "$dir/pids" ] || return 0
    # The last started first.
    for pid in $(tac "$dir/pids"); do kill "$pid" 2>/dev/null || true; done
    for pid in $(cat "$dir/pids"); do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$pid" 2>/dev/null || true
    done
    rm -f "$dir/pids"
}

# Waits, up to LIMIT seconds, until CHECK succeeds; else says what did not come, shows the
# servers' logs and stops them. Servers get ready in their own time, on a cold machine later.
#   wait_until LIMIT WHAT CHECK...
wait_until() {
    limit=$1 what=$2
    shift 2
    tries=0
    until "$@" >/dev/null 2>&1; do
        tries=$((tries + 1))
        if [ "$tries" -gt $((limit * 10)) ]; then
            echo "the $kind test server: $what, not within $limit s; its log:" >&2
            cat "$dir"/*.log >&2
            stop
            exit 1
        fi
        sleep 0.1
    done
}

wait_for_server() {
    wait_until 10 "its pulse protocol did not answer" pactl --server "unix:$dir/native" info
}

# PipeWire's parts are separate processes: each waits for the one it needs.
pipewire_has() { # TYPE PATTERN: an object of that type whose properties match
    PIPEWIRE_REMOTE="$dir/runtime/pipewire-0" pw-cli ls "$1" 2>/dev/null | grep -q "$2"
}
wait_for_pipewire_daemon() {
    wait_until 10 "its daemon did not open its socket" test -S "$dir/runtime/pipewire-0"
}
wait_for_pipewire_session() {
    # The session manager publishes the default-device metadata that set-default-sink writes to.
    wait_until 10 "its session manager did not publish the default devices" \
        pipewire_has Metadata 'metadata.name = "default"'
}
load_pipewire_null_sink() {
    # The pulse protocol answers before the daemon takes every request: a load refused at first
    # ("Not supported") succeeds moments later.
    wait_until 10 "its null sink could not be loaded" pactl --server "unix:$dir/native" \
        load-module module-null-sink sink_name=vireko_test format=float32le rate=48000 channels=1
    wait_until 10 "its null sink did not appear" pipewire_has Node 'node.name = "vireko_test"'
    wait_until 10 "its null sink could not be made the default" \
        pactl --server "unix:$dir/native" set-default-sink vireko_test
}

start_pulseaudio() {
    export PULSE_RUNTIME_PATH="$dir" PULSE_STATE_PATH="$dir" HOME="$dir"
    if ! command -v pulseaudio >/dev/null; then
        echo "no PulseAudio daemon here: the sound tests will skip themselves" >&2
        exit 0
    fi
    socket=$dir/native
    if [ "$kind" != pulseaudio ]; then
        # Where a client finds it by itself: XDG_RUNTIME_DIR/pulse/native.
        socket=$dir/runtime/pulse/native
        mkdir -p "$dir/runtime/pulse"
        chmod 700 "$dir/runtime"
        ln -sf "$socket" "$dir/native"
    fi
    cat >"$dir/server.pa" <<PA
load-module module-native-protocol-unix socket=$socket auth-anonymous=1
load-module module-null-sink sink_name=vireko_test format=float32le rate=48000 channels=1 norewinds=1
set-default-sink vireko_test
PA
    # -n: no default script; nothing idles, nothing suspends, nothing autospawns.
    pulseaudio -n --daemonize=yes --use-pid-file=yes --exit-idle-time=-1 --realtime=yes \
        --high-priority=yes --disable-shm=yes --system=no --log-target=file:"$dir/server.log" \
        -F "$dir/server.pa" 2>>"$dir/server.log" || true
    wait_for_server
    cat "$dir/pid" >"$dir/pids"
    # The whole daemon at real-time priority where that is allowed (as root, say), not only its
    # sink thread: its main thread answers the clients and feeds the recorder, and on a busy
    # machine it would otherwise be the slowest part of every measurement.
    if command -v chrt >/dev/null; then
        chrt -r -a -p 5 "$(cat "$dir/pid")" >/dev/null 2>&1 || true
    fi
}

# WirePlumber's settings, for 0.4 (Debian 12) and 0.5 (Debian 13): no hardware monitors. 0.4 acts
# on its settings in 90-enable-all.lua: ours come before that and after its own (50-*). Left to
# act, its Bluetooth monitor loads a logind module that, where no logind runs (a container, a
# chroot), takes WirePlumber down with it.
configure_wireplumber() {
    mkdir -p "$dir/state" "$dir/config/wireplumber/main.lua.d" \
        "$dir/config/wireplumber/bluetooth.lua.d" "$dir/config/wireplumber/wireplumber.conf.d"
    cp "$here/sound_server/wireplumber-main.lua" "$dir/config/wireplumber/main.lua.d/60-vireko.lua"
    cp "$here/sound_server/wireplumber-bluetooth.lua" \
        "$dir/config/wireplumber/bluetooth.lua.d/60-vireko.lua"
    cp "$here/sound_server/wireplumber.conf" "$dir/config/wireplumber/wireplumber.conf.d/90-vireko.conf"
}

# PipeWire with its session manager and its PulseAudio protocol, each in this folder: its own
# runtime folder, configuration, state and session bus; the desktop's own server is left alone.
start_pipewire() {
    for program in pipewire wireplumber dbus-daemon; do
        command -v "$program" >/dev/null || { echo "no $program here" >&2; exit 77; }
    done
    export XDG_RUNTIME_DIR="$dir/runtime" PIPEWIRE_RUNTIME_DIR="$dir/runtime" \
        XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state" HOME="$dir"
    mkdir -p "$dir/runtime" "$dir/config/pipewire/pipewire.conf.d"
    chmod 700 "$dir/runtime"
    configure_wireplumber
    quantum=""
    rm -f "$dir/config/pipewire/pipewire.conf.d/90-vireko.conf"
    if [ "$kind" = pipewire-1024 ]; then
        echo "context.properties = { default.clock.min-quantum = 1024 }" \
            >"$dir/config/pipewire/pipewire.conf.d/90-vireko.conf"
        quantum="pulse.min.quantum = 1024/48000"
    fi
    sed -e "s|@SOCKET@|$dir/native|" -e "s|@PULSE_QUANTUM@|$quantum|" \
        "$here/sound_server/pipewire-pulse.conf.in" >"$dir/pipewire-pulse.conf"
    dbus-daemon --session --fork --print-pid 3 --print-address 4 3>"$dir/dbus.pid" 4>"$dir/dbus.address"
    cat "$dir/dbus.pid" >"$dir/pids"
    DBUS_SESSION_BUS_ADDRESS=$(cat "$dir/dbus.address")
    export DBUS_SESSION_BUS_ADDRESS
    pipewire >"$dir/pipewire.log" 2>&1 &
    echo $! >>"$dir/pids"
    wait_for_pipewire_daemon
    wireplumber >"$dir/wireplumber.log" 2>&1 &
    echo $! >>"$dir/pids"
    pipewire -c "$dir/pipewire-pulse.conf" >"$dir/pipewire-pulse.log" 2>&1 &
    echo $! >>"$dir/pids"
    wait_for_server
    wait_for_pipewire_session
    # As for PulseAudio: every thread of the servers at real-time priority where that is
    # allowed. Their data threads are already; the main threads answer the clients.
    if command -v chrt >/dev/null; then
        for pid in $(tail -n +2 "$dir/pids"); do
            for task in /proc/"$pid"/task/*; do
                tid=${task##*/}
                chrt -p "$tid" 2>/dev/null | grep -q SCHED_OTHER && chrt -r -p 5 "$tid" 2>/dev/null
            done
        done
    fi
    load_pipewire_null_sink
}

# A PipeWire with neither sink nor PulseAudio protocol beside the PulseAudio started first, in
# the same runtime folder; with its session manager or without.
start_pipewire_beside() {
    for program in pipewire wireplumber dbus-daemon; do
        command -v "$program" >/dev/null || { echo "no $program here" >&2; exit 77; }
    done
    export XDG_RUNTIME_DIR="$dir/runtime" XDG_CONFIG_HOME="$dir/config" \
        XDG_STATE_HOME="$dir/state" HOME="$dir"
    unset PIPEWIRE_RUNTIME_DIR PIPEWIRE_REMOTE
    configure_wireplumber
    dbus-daemon --session --fork --print-pid 3 --print-address 4 3>"$dir/dbus.pid" 4>"$dir/dbus.address"
    cat "$dir/dbus.pid" >>"$dir/pids"
    DBUS_SESSION_BUS_ADDRESS=$(cat "$dir/dbus.address")
    export DBUS_SESSION_BUS_ADDRESS
    pipewire >"$dir/pipewire.log" 2>&1 &
    echo $! >>"$dir/pids"
    wait_for_pipewire_daemon
    if [ "$kind" = pulse-beside-pipewire ]; then
        wireplumber >"$dir/wireplumber.log" 2>&1 &
        echo $! >>"$dir/pids"
        wait_for_pipewire_session
    fi
}

case "$action" in
start)
    stop
    mkdir -p "$dir"
    echo "$kind" >"$dir/kind"
    case "$kind" in
    pulseaudio) start_pulseaudio ;;
    pipewire | pipewire-1024) start_pipewire ;;
    pulse-beside-pipewire | pulse-beside-bare-pipewire) start_pulseaudio && start_pipewire_beside ;;
    *) echo "sound_server.sh: no server kind $kind" >&2; exit 2 ;;
    esac
    ;;
stop) stop ;;
*) echo "usage: sound_server.sh start|stop DIR [KIND]" >&2; exit 2 ;;
esac
