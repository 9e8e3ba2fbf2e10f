#!/bin/sh
# A private Weston compositor for the window tests: headless, drawn by pixman so that it can
# take pictures, with its own runtime folder; started and stopped by its process id.
#   wayland_compositor.sh start DIR [SCALE]   socket DIR/wayland-vireko; exit 77 without weston
#   wayland_compositor.sh stop DIR
# Clients reach it with XDG_RUNTIME_DIR=DIR WAYLAND_DISPLAY=wayland-vireko.
set -eu
action=$1
dir=$2
scale=${3:-1}
pidfile=$dir/weston.pid

stop() {
    [ -f "$pidfile" ] || return 0
    pid=$(cat "$pidfile")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$pidfile"
}

case "$action" in
start)
    command -v weston >/dev/null || { echo "weston is not installed"; exit 77; }
    command -v weston-screenshooter >/dev/null ||
        { echo "weston-screenshooter is not installed"; exit 77; }
    mkdir -p "$dir"
    chmod 700 "$dir"
    stop
    rm -f "$dir/wayland-vireko" "$dir/wayland-vireko.lock"
    # No window animations: a picture shows each window as it is, not fading in.
    printf '[shell]\nanimation=none\nclose-animation=none\nstartup-animation=none\n' \
        >"$dir/weston.ini"
    # --debug allows the screenshooter; desktop-shell places windows as a desktop would.
    XDG_RUNTIME_DIR=$dir weston --backend=headless-backend.so --use-pixman \
        --socket=wayland-vireko --width=1024 --height=768 --scale="$scale" --idle-time=0 \
        --shell=desktop-shell.so --config="$dir/weston.ini" --debug >"$dir/weston.log" 2>&1 &
    echo $! >"$pidfile"
    for _ in $(seq 100); do
        [ -S "$dir/wayland-vireko" ] && exit 0
        kill -0 "$(cat "$pidfile")" 2>/dev/null || break
        sleep 0.1
    done
    echo "weston did not start:"
    cat "$dir/weston.log"
    stop
    exit 1
    ;;
stop) stop ;;
*) echo "usage: wayland_compositor.sh start|stop DIR [SCALE]" >&2; exit 2 ;;
esac
