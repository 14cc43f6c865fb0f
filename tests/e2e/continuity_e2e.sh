#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# What the listener hears when the station pauses and when the connection freezes: the real
# window under Xvfb plays a time-coded live station (every 100 ms of the programme carries its
# number) from a local Icecast, through a proxy that can freeze connections, into a private
# PulseAudio null sink whose monitor is recorded and decoded. The station's encoder pauses for
# 5 s, then the player's connection freezes for good while the station plays on. No 100 ms of
# the programme may be heard twice, and the player may not stay silent longer than the
# station's own silence minus the audio it had buffered, plus 0.25 s.
# Usage: continuity_e2e.sh PATH_TO_ORVANEPLAYER
set -u
exe="$(realpath "$1")"
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/../support/e2e.sh"
. "$here/../support/icecast.sh"
. "$here/../support/pulse.sh"
. "$here/../support/x11.sh"
. "$here/../support/timecode.sh"
chmod 755 "$work"
e2e_cleanup() {
    x11_stop
    pulse_stop
    icecast_stop 2>/dev/null
}
# The encoder's pause; how long the player may take to play its first seconds, and to play
# again after each fault (its buffer of a few seconds comes first).
readonly PAUSE_S=5 START_S=25 RECOVER_S=25

pulse_start "$work" || fail "PulseAudio did not start"
icecast_start "$work" || fail "Icecast did not start"
t0="$(date +%s.%N)"
timecode_source /timecode.mp3 "$t0" "$work/gen.log" || fail "the source did not reach Icecast"
encoder="$ICECAST_SOURCE_PID"
pids+=("$encoder")
proxy_start "$work" "$ICECAST_PORT" || fail "the proxy did not start"
pids+=("$PROXY_PID")
timecode_recorder discard.monitor "$work/rec.log" || fail "nothing to record from the null sink"
pids+=("$TIMECODE_RECORDER_PID")

x11_start "$work" || fail "Xvfb did not start"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus"
unset ORVANE_AUDIO_SINK
mkdir "$work/run"
printf 'Timecode Radio,http://127.0.0.1:%s/timecode.mp3\r\n' "$PROXY_PORT" >"$work/run/orvaneplayer.ini"
# Under the sanitizers libxkbcommon-x11 reads key names past their end (see tray_e2e.sh).
(cd "$work/run" && ASAN_OPTIONS="${ASAN_OPTIONS:-}:strict_string_checks=0" exec "$exe") \
    >/dev/null 2>"$work/app.err" &
pids+=($!)
wait_for 15 "the window" xdotool search --onlyvisible --name '^Orvane Player$'
win="$(xdotool search --onlyvisible --name '^Orvane Player$' | head -n 1)"
played="$(date +%s.%N)"
xdotool mousemove --window "$win" 80 190 click 1  # PLAY
timecode wait "$work/rec.log" "$t0" "$START_S" heard-after "$played" 6 ||
    fail "the player did not play 6 s of the programme"
echo "ok: the programme plays"

pause_start="$(date +%s.%N)"
kill -STOP "$encoder"
sleep "$PAUSE_S"
pause_end="$(date +%s.%N)"
kill -CONT "$encoder"
# Until the player reaches what the station played after its pause: whatever it plays again
# or skips of the pause has been heard by then.
timecode wait "$work/rec.log" "$t0" "$RECOVER_S" slot-past "$pause_end" 0 ||
    fail "nothing the station played after its pause was heard"
echo "ok: the programme plays after the encoder's pause"

# Frozen for good: only a new connection brings what the station plays from now on.
freeze="$(date +%s.%N)"
frozen="$(proxy_ctl "$PROXY_CTL" freeze)"
[[ "$frozen" =~ ^frozen\ [0-9] ]] || fail "the proxy froze nothing: $frozen"
timecode wait "$work/rec.log" "$t0" "$RECOVER_S" slot-past "$freeze" 3 ||
    fail "nothing the station played after the freeze was heard"
echo "ok: the programme plays on over a new connection"

timecode check "$work/rec.log" "$t0" "$work/gen.log" \
    "encoder-paused $pause_start $pause_end $PAUSE_S" "connection-frozen $freeze $freeze 0" ||
    fail "the listener heard the programme twice or too long a silence (above)"
echo "PASS: nothing heard twice, no silence beyond the station's own"
