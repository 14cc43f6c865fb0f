#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The player's window under Xvfb plays a live Icecast stream through autoaudiosink into a real
# PulseAudio server (null sink), and the server's mixer sees who plays what: the application's
# name and icon, the music role, and the stream's title as the stream's name, following a title
# change on the station. The first station after start is heard at the start-up volume.
# Usage: pulse_e2e.sh PATH_TO_ORVANEPLAYER
set -u
exe="$(realpath "$1")"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
chmod 755 "$work"
pids=()
# How long the stream may take to reach the sound server, and a new title to reach the player.
readonly START_S=20 TITLE_S=15

. "$here/../support/icecast.sh"
. "$here/../support/pulse.sh"

cleanup() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill -TERM "${pids[i]}" 2>/dev/null; done
    for i in "${pids[@]}"; do wait "$i" 2>/dev/null; done
    pulse_stop
    icecast_stop
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP

fail() {
    echo "FAIL: $*"
    pactl list sink-inputs 2>&1 | sed 's/^/  pactl: /'
    [ -s "$work/app.err" ] && tail -20 "$work/app.err" | sed 's/^/  program: /'
    exit 1
}
sink_input_has() { pactl list sink-inputs | grep -qF "$1 = \"$2\""; }
# Whether what the sink plays is DB dBFS (RMS of half a second of its monitor) within 3 dB.
heard_at() {
    gst-launch-1.0 -m pulsesrc device=discard.monitor num-buffers=60 ! \
        level interval=500000000 ! fakesink 2>/dev/null |
        sed -n 's/.*(element): level,.* rms=(GValueArray)< \([-0-9.]*\).*/\1/p' >"$work/heard"
    awk -v want="$1" '{ ok = $1 - want < 3 && want - $1 < 3 } END { exit !ok }' "$work/heard"
}
expect() {  # expect SECONDS PROPERTY VALUE
    icecast_wait "$1" sink_input_has "$2" "$3" || fail "no sink input with $2 = \"$3\""
    echo "ok: $2 = \"$3\""
}

pulse_start "$work" || fail "PulseAudio did not start"
icecast_start "$work" || fail "Icecast did not start"
mount=/radio.mp3
gst-launch-1.0 -q audiotestsrc is-live=true volume=0.2 ! audioconvert ! \
    lamemp3enc target=bitrate bitrate=128 cbr=true ! \
    taginject 'tags="title=\"Song One\",artist=\"Artist\""' ! \
    shout2send ip=127.0.0.1 port="$ICECAST_PORT" password="$ICECAST_SOURCE_PASSWORD" \
    mount="$mount" streamname="Test Radio" >/dev/null 2>&1 &
pids+=($!)
icecast_wait 10 sh -c "curl -s http://127.0.0.1:$ICECAST_PORT/status-json.xsl | grep -q '$mount'" ||
    fail "the source did not reach Icecast"

exec {dfd}<> <(:)
Xvfb -displayfd "$dfd" -screen 0 1024x768x24 -nolisten tcp 2>/dev/null &
pids+=($!)
read -r -t 10 -u "$dfd" display_no || fail "Xvfb did not start"
export DISPLAY=":$display_no" QT_QPA_PLATFORM=xcb
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus"
unset ORVANE_AUDIO_SINK

mkdir "$work/run"
printf 'Test Radio,http://127.0.0.1:%s%s\r\n' "$ICECAST_PORT" "$mount" >"$work/run/orvaneplayer.ini"
# Under the sanitizers libxkbcommon-x11 strndup()s key names from buffers without a NUL, which
# strict string checks report; that is the X keyboard library's, not ours.
(cd "$work/run" && ASAN_OPTIONS="${ASAN_OPTIONS:-}:strict_string_checks=0" exec "$exe") \
    >/dev/null 2>"$work/app.err" &
pids+=($!)
icecast_wait 15 xdotool search --onlyvisible --name '^Orvane Player$' || fail "no window"
win="$(xdotool search --onlyvisible --name '^Orvane Player$' | head -n 1)"
xdotool mousemove --window "$win" 80 190 click 1  # PLAY

expect "$START_S" application.name "Orvane Player"
# Start-up sets the volume to 25%, which the cubic curve makes 1/64 of the amplitude: the
# source's sine at 0.2 (-17 dBFS RMS) is heard at -53, not silent and not at -17 or -35.
icecast_wait 10 heard_at -53.1 ||
    fail "the first station is not heard at 25%: $(cat "$work/heard") dBFS"
echo "ok: the first station is heard at $(cat "$work/heard") dBFS (25%)"
expect 1 application.icon_name orvaneplayer
expect 1 media.role music
expect "$TITLE_S" media.name "Artist - Song One"
curl -sf -u "admin:$ICECAST_ADMIN_PASSWORD" \
    "http://127.0.0.1:$ICECAST_PORT/admin/metadata?mount=$mount&mode=updinfo&song=New%20Title" \
    >/dev/null || fail "Icecast refused the title change"
expect "$TITLE_S" media.name "New Title"
echo "PASS: the sound server sees the player's stream properties"
