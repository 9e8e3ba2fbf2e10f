#!/bin/sh
# Repeats the sound tests while every core is kept busy, as a loaded desktop or CI would be.
#   tests/sound_under_load.sh [BUILD_DIR] [REPEATS]    (build/ci and 10 by default)
# The busy processes are started here and ended by their process ids, however ctest ends.
set -eu
build=${1:-build/ci}
repeats=${2:-10}
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
ctest --test-dir "$build" -L sound --repeat "until-fail:$repeats" --output-on-failure
