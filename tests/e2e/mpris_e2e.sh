#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The desktop's media controls, end to end: the real program under Xvfb on a private session bus,
# driven by playerctl against a local Icecast server with two live mounts. Every command must
# move the real connection (Icecast's listener counts) and show in the MPRIS properties; a title
# changed at the source must reach `playerctl metadata --follow`. Raise must bring the window to
# the front with the focus under openbox, from behind another window and from minimised.
# Usage: mpris_e2e.sh PATH_TO_ORVANEPLAYER
set -u
if [ -z "${ORVANE_PRIVATE_BUS:-}" ]; then
    ORVANE_PRIVATE_BUS=1 exec dbus-run-session -- bash "$0" "$@" 2> >(grep -v 'fd limit' >&2)
fi
exe="$(realpath "$1")"
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/../support/e2e.sh"
e2e_cleanup() {
    x11_stop
    icecast_stop 2>/dev/null
}

# Time limits: a local connection plays within a second or two; a title changed at Icecast
# reaches the engine after the stream's buffer (about 4 s).
readonly CONNECT_S=10 TITLE_S=15 QUIT_S=10

. "$here/../support/icecast.sh"
. "$here/../support/x11.sh"
icecast_start "$work" || fail "Icecast did not start"
icecast_source /a.mp3 "Radio A" || fail "source /a.mp3"
pids+=("$ICECAST_SOURCE_PID")
icecast_source /b.mp3 "Radio B" || fail "source /b.mp3"
pids+=("$ICECAST_SOURCE_PID")
ICECAST_SOURCE_PID=
base="http://127.0.0.1:$ICECAST_PORT"

# Listeners connected to a mount right now.
listeners() {
    curl -s "$base/status-json.xsl" |
        grep -o "\"listeners\":[0-9]*,\"listenurl\":\"$base$1\"" | sed 's/"listeners":\([0-9]*\).*/\1/'
}
# connected A B: the listener counts of /a.mp3 and /b.mp3 are exactly these.
connected() { [ "$(listeners /a.mp3)" = "$1" ] && [ "$(listeners /b.mp3)" = "$2" ]; }

x11_start "$work" || fail "Xvfb did not start"
x11_wm "$work" || fail "openbox did not start"
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR" "$work/run"
printf 'Station A,%s/a.mp3\r\nStation B,%s/b.mp3\r\n' "$base" "$base" >"$work/run/orvaneplayer.ini"

# Under the sanitizers libxkbcommon-x11 reads key names past their end (see tray_e2e.sh).
(cd "$work/run" && ASAN_OPTIONS="${ASAN_OPTIONS:-}:strict_string_checks=0" \
    exec "$exe" >/dev/null 2>"$work/app.err") &
app_pid=$!
pids+=("$app_pid")

pc() { playerctl -p orvaneplayer "$@"; }
is() { [ "$(pc "$1" 2>/dev/null)" = "$2" ]; }
meta_is() { [ "$(pc metadata "$1" 2>/dev/null)" = "$2" ]; }
listed() { playerctl -l 2>/dev/null | grep -qx orvaneplayer; }

wait_for 20 "playerctl -l to list orvaneplayer" listed
is status Stopped || fail "status before PLAY is $(pc status)"
meta_is xesam:title "Station A" || fail "before PLAY the metadata names $(pc metadata xesam:title)"
echo "PASS: playerctl -l lists the player; it is Stopped and names the selected source"

pc play
wait_for $CONNECT_S "play: status Playing and one listener on /a.mp3" \
    eval 'is status Playing && connected 1 0'
meta_is xesam:album "Station A" || fail "playing station is $(pc metadata xesam:album)"
advancing() { [ "$(pc position | cut -d. -f1)" -ge 1 ]; }
wait_for $CONNECT_S "the position to pass 1 s" advancing
echo "PASS: play opens /a.mp3, reports Playing, and the position runs"

pc volume 0.3
wait_for 2 "volume 0.3" is volume 0.300000
echo "PASS: volume 0.3"

# A new title at the source reaches the desktop, as a client that follows the metadata sees it.
title="Test Artist - Song $RANDOM"
stdbuf -oL playerctl -p orvaneplayer metadata --follow --format '{{xesam:title}}' \
    >"$work/follow.log" 2>/dev/null &
pids+=($!)
wait_for 5 "playerctl --follow to start" test -s "$work/follow.log"
sent=$(now_ms)
curl -sf -u "admin:$ICECAST_ADMIN_PASSWORD" \
    "$base/admin/metadata?mount=/a.mp3&mode=updinfo&song=${title// /%20}" >/dev/null ||
    fail "Icecast refused the title update"
wait_for $TITLE_S "the new title in playerctl metadata --follow" grep -qx "$title" "$work/follow.log"
seen=$(now_ms)
echo "PASS: a title changed at the source reached playerctl --follow $((seen - sent)) ms later"
meta_is xesam:artist "Test Artist" || fail "the artist reads $(pc metadata xesam:artist)"
echo "      (Icecast and the stream's buffer included); playerctl metadata now says:"
pc metadata | sed 's/^/      /'

pc stop
wait_for $CONNECT_S "stop: status Stopped and no listener" eval 'is status Stopped && connected 0 0'
pc play-pause
wait_for $CONNECT_S "play-pause from stopped: Playing on /a.mp3" \
    eval 'is status Playing && connected 1 0'
pc play-pause
wait_for $CONNECT_S "play-pause from playing: Stopped" eval 'is status Stopped && connected 0 0'
echo "PASS: stop and play-pause close and open the connection; status follows"

pc next
wait_for $CONNECT_S "next: /b.mp3 instead" eval 'is status Playing && connected 0 1'
meta_is xesam:album "Station B" || fail "after next the station is $(pc metadata xesam:album)"
[ "$(pc metadata xesam:title)" != "$title" ] || fail "the old title outlived the station change"
pc previous
wait_for $CONNECT_S "previous: /a.mp3 again" eval 'is status Playing && connected 1 0'
meta_is xesam:album "Station A" || fail "after previous the station is $(pc metadata xesam:album)"
echo "PASS: next and previous switch stations; the old title goes with its station"

pc open "$base/b.mp3"
wait_for $CONNECT_S "open URL: /b.mp3" eval 'is status Playing && connected 0 1'
meta_is xesam:url "$base/b.mp3" || fail "opened URL reads $(pc metadata xesam:url)"
meta_is xesam:album "$base/b.mp3" || fail "an opened URL is not its own name"
echo "PASS: open URL plays it under its own name"

root_call() {
    dbus-send --session --type=method_call --dest=org.mpris.MediaPlayer2.orvaneplayer \
        /org/mpris/MediaPlayer2 "org.mpris.MediaPlayer2.$1"
}
hex_id() { printf '0x%x' "$1"; }
window_of() { xdotool search --onlyvisible "$@" 2>/dev/null | head -n1 | grep .; }
# The window with the focus, and the top of the window manager's stacking order.
active() { xprop -root _NET_ACTIVE_WINDOW | sed 's/.* //'; }
on_top() { xprop -root _NET_CLIENT_LIST_STACKING | sed 's/.*[ ,]//'; }
in_front() { [ "$(active)" = "$(hex_id "$1")" ] && [ "$(on_top)" = "$(hex_id "$1")" ]; }
W="$(window_of --name '^Orvane Player$')" || fail "no main window"
xlogo -geometry 1024x768+0+0 2>/dev/null &
pids+=($!)
wait_for 10 "a window over the player" window_of --class xlogo
cover="$(window_of --class xlogo)"
# The user works in the other window, which takes the focus.
xdotool mousemove --window "$cover" 300 300 click 1
wait_for 5 "the other window in front" in_front "$cover"
root_call Raise
wait_for 5 "Raise to bring the covered window to the front" in_front "$W"
xdotool windowminimize "$W"
wait_for 5 "the window to be minimised" eval "xprop -id $W WM_STATE | grep -q Iconic"
root_call Raise
wait_for 5 "Raise to bring the minimised window to the front" in_front "$W"
echo "PASS: Raise brings a covered or minimised window to the front with the focus"

root_call Quit
ended() { ! kill -0 "$app_pid" 2>/dev/null; }
wait_for $QUIT_S "Quit to end the program" ended
wait "$app_pid" || fail "the program ended with status $?"
! listed || fail "the name outlived the program"
wait_for $CONNECT_S "the connection to close" connected 0 0
echo "PASS: Quit closes the window like its close box; the player leaves the bus"
