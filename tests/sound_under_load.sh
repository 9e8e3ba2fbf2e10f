#!/bin/sh
# Repeats the sound tests while every core is kept busy, as a loaded desktop or CI would be.
#   tests/sound_under_load.sh [BUILD_DIR] [REPEATS] [LABEL]
#                                   (build/ci, 10 and sound by default; LABEL pulseaudio or
#                                   pipewire repeats the tests on that server alone)
# The busy processes are started here and ended by their process ids, however ctest ends.
set -eu
build=${1:-build/ci}
repeats=${2:-10}
label=${3:-sound}
pids=""
cleanup() {
    for pid in $pids; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT INT TERM
for _ in $(seq "$(nproc)"); do
    sh -c 'while :; do :; done' &
    pids="$pids $!"
done
echo "busy processes:$pids"
ctest --test-dir "$build" -L "$label" --repeat "until-fail:$repeats" --output-on-failure
