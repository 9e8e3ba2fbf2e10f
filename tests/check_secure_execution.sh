#!/bin/sh
# A set-group-ID beep-probe runs in secure-execution mode: the environment may point the sound
# libraries anywhere, so the library must not try them. The same probe without the bit does.
# Needs root, to give a copy a group it is not in; skips (77) otherwise.
#   check_secure_execution.sh BEEP_PROBE WORK_DIR
set -eu
probe=$1 work=$2
[ "$(id -u)" -eq 0 ] || { echo "SKIPPED: needs root"; exit 77; }
group=$(getent group nogroup | cut -d: -f3) || { echo "SKIPPED: no group nogroup"; exit 77; }
mkdir -p "$work"
cp "$probe" "$work/beep-probe-setgid"
chgrp "$group" "$work/beep-probe-setgid"
chmod 2755 "$work/beep-probe-setgid"

export PULSE_SERVER=unix:$work/no-such-server ALSA_CONFIG_PATH=$work/no-such-alsa.conf
plain=$("$probe")
secure=$("$work/beep-probe-setgid")
echo "$secure"
rm -f "$work/beep-probe-setgid"
echo "$plain" | grep -q "sound system  *\(used\|refused: .*PulseAudio\)" ||
    { echo "FAIL: without the bit the sound system is tried"; echo "$plain"; exit 1; }
echo "$secure" | grep -q "sound system  *refused: not tried in secure-execution mode" ||
    { echo "FAIL: in secure-execution mode the sound system was tried"; exit 1; }
echo "$secure" | grep -q "silence  *used" || { echo "FAIL: not silent"; exit 1; }
