#!/bin/sh
# beep-probe reports the sound system as used only where something takes a stream: with no
# server and no ALSA device it says so, and --tone ends with a non-zero status. Skips (77) where
# the library takes another way here (a real speaker).
#   check_probe_truth.sh BEEP_PROBE WORK_DIR
set -eu
probe=$1 work=$2
mkdir -p "$work"
export PULSE_SERVER=unix:$work/no-such-server ALSA_CONFIG_PATH=$work/no-such-alsa.conf
route=$("$probe" --route)
[ "$route" = sound-system ] || { echo "SKIPPED: the library takes '$route' here"; exit 77; }
status=0
report=$("$probe" --tone 440 100) || status=$?
echo "$report"
[ "$status" -ne 0 ] || { echo "FAIL: --tone said nothing of a stream nobody took"; exit 1; }
echo "$report" | grep -q "sound system  *refused: .*PulseAudio" ||
    { echo "FAIL: the sound system is not reported as refused, with why"; exit 1; }
echo "$report" | grep -q "Nothing can sound" || { echo "FAIL: it does not say so"; exit 1; }
if echo "$report" | grep -q " used$"; then echo "FAIL: a way is reported as used"; exit 1; fi
# Where no server runs at all, and PipeWire's library finds no configuration either (installed
# on its own, as the package recommends it), no library prints anything on the terminal.
mkdir -p "$work/runtime"
chmod 700 "$work/runtime"
noise=$(env -u PULSE_SERVER -u PIPEWIRE_REMOTE -u PIPEWIRE_RUNTIME_DIR -u DISPLAY \
    XDG_RUNTIME_DIR="$work/runtime" PIPEWIRE_CONFIG_DIR="$work/no-config" \
    "$probe" 2>&1 >/dev/null) || true
[ -z "$noise" ] || { echo "FAIL: a start with no server printed: $noise"; exit 1; }
# BEEP_SOUND: none keeps the sound system silent; a value that names no way is said, then
# passed over.
[ "$(BEEP_SOUND=none "$probe" --route)" = silence ] || { echo "FAIL: BEEP_SOUND=none not silent"; exit 1; }
BEEP_SOUND=bogus "$probe" | grep -q "BEEP_SOUND=bogus names no way" ||
    { echo "FAIL: an unknown BEEP_SOUND is not said"; exit 1; }
