#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The tray icon on a real X server with openbox and the trayer tray host: the icon shows,
# minimising hides the window and its taskbar entry, a left click on the icon brings it back,
# other clicks change nothing, closing ends the program and removes the icon. Then, with no tray
# host, minimising must leave the window where the user can find it.
# Usage: tray_e2e.sh PATH_TO_ORVANEPLAYER
set -u
exe="$(realpath "$1")"
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/../support/e2e.sh"
e2e_cleanup() { x11_stop; }
# holds SECONDS WHAT COMMAND...: COMMAND keeps succeeding that long. Only for checking that
# something does not happen, where no event marks the moment it would have.
holds() {
    local deadline=$(($(now_ms) + $1 * 1000)) what="$2"
    shift 2
    while [ "$(now_ms)" -lt "$deadline" ]; do
        "$@" >/dev/null || fail "$what"
        sleep 0.05
    done
}

. "$here/../support/x11.sh"
x11_start "$work" || fail "Xvfb did not start"
# No session bus: Qt uses the XEmbed tray, and nothing reaches the user's own desktop.
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus"
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR" "$work/run"
printf 'Local,http://127.0.0.1:9/never-played\r\n' >"$work/run/orvaneplayer.ini"

x11_wm "$work" || fail "openbox did not start"
# Now and then trayer (GTK 2) comes up alive but never maps its panel; a second start has always
# worked, so give it two tries before calling the tray missing.
start_trayer() {
    NO_AT_BRIDGE=1 trayer --edge top --align right --widthtype pixel --width 200 --height 32 \
        >>"$work/trayer.log" 2>&1 &
    trayer_pid=$!
    pids+=("$trayer_pid")
}
trayer_shown() { xdotool search --onlyvisible --class trayer; }
start_trayer
first_try=$(($(now_ms) + 10000))
until trayer_shown >/dev/null 2>&1 || [ "$(now_ms)" -ge "$first_try" ]; do sleep 0.05; done
if ! trayer_shown >/dev/null 2>&1; then
    kill -TERM "$trayer_pid" 2>/dev/null || true
    wait "$trayer_pid" 2>/dev/null || true
    start_trayer
    wait_for 20 "trayer (second start; log: $(tail -c 300 "$work/trayer.log"))" trayer_shown
fi

main_window() {
    local w
    w="$(xdotool search --onlyvisible --name '^Orvane Player$' 2>/dev/null | head -n1)"
    [ -n "$w" ] && echo "$w"
}
# The icon is the program's other window.
icon_window() {
    local w
    for w in $(xdotool search --class orvaneplayer 2>/dev/null); do
        xprop -id "$w" WM_NAME 2>/dev/null | grep -q '"Orvane Player"' || { echo "$w" && return; }
    done
    return 1
}
# (xwininfo without a window id waits for a mouse click: never call it with none.)
map_state() { [ -n "$1" ] && xwininfo -id "$1" 2>/dev/null | sed -n 's/^ *Map State: //p'; }
# Normal, Iconic, or nothing once the program has withdrawn (hidden) the window.
wm_state() { xprop -id "$1" WM_STATE 2>/dev/null | sed -n 's/^[[:space:]]*window state: //p'; }
# The window manager's list of windows is what a taskbar shows.
listed() { xprop -root _NET_CLIENT_LIST | grep -qi "$(printf '0x%x' "$1")"; }
is_shown() { [ "$(map_state "$1")" = IsViewable ] && [ "$(wm_state "$1")" = Normal ] && listed "$1"; }
is_hidden() { [ "$(map_state "$1")" = IsUnMapped ] && [ -z "$(wm_state "$1")" ] && ! listed "$1"; }
is_iconic() { [ "$(wm_state "$1")" = Iconic ] && listed "$1"; }
# Near-white pixels where trayer sits (top right, 200 x 32); the empty panel has none.
tray_white() {
    xwd -root | convert xwd:- -crop 200x32+824+0 +repage -colorspace gray -threshold 99% \
        -format '%[fx:round(mean*w*h)]' info:
}
icon_shows() { [ "$(tray_white)" -gt 10 ]; }
icon_gone() { ! icon_window && [ "$(tray_white)" -eq 0 ]; }
click_icon() { xdotool mousemove --window "$(icon_window)" 11 15 click "$@"; }

start_app() {
    # Under the sanitizers libxkbcommon-x11 strndup()s key names from buffers without a NUL,
    # which strict string checks report as an overflow when Qt connects to the X server.
    (cd "$work/run" && ASAN_OPTIONS="${ASAN_OPTIONS:-}:strict_string_checks=0" \
        exec "$exe" >/dev/null 2>"$work/app.err") &
    app_pid=$!
    pids+=("$app_pid")
    wait_for 20 "the main window" up_or_failed
    W="$(main_window)"
}
up_or_failed() { kill -0 "$app_pid" 2>/dev/null || fail "the program ended at start-up"; main_window; }
ended() { ! kill -0 "$app_pid" 2>/dev/null; }
# The window manager acts on Alt+F4 for the window it has given the focus.
focused() {
    [ "$(xdotool getwindowfocus 2>/dev/null)" = "$1" ] &&
        xprop -root _NET_ACTIVE_WINDOW | grep -qi "$(printf '0x%x$' "$1")"
}
# Closed through the window manager, as with the user's Alt+F4. The focus is asked for only when
# the window lacks it: openbox acts on a request for the window it has already focused by
# focusing it anew, and a key that arrives meanwhile closes nothing.
close_app() {
    focused "$W" || xdotool windowactivate "$W" 2>/dev/null
    wait_for 10 "the window to have the focus" focused "$W"
    xdotool key --clearmodifiers alt+F4
    wait_for 10 "the program to end" ended
    wait "$app_pid" || fail "the program ended with status $?"
}

[ "$(tray_white)" -eq 0 ] || fail "the empty tray already has white pixels"
start_app
wait_for 10 "the icon in the tray" icon_shows
echo "PASS: the icon shows in the tray"
xdotool windowminimize "$W"
wait_for 10 "the window to hide with its taskbar entry" is_hidden "$W"
echo "PASS: minimising hides the window and its taskbar entry"
click_icon 3
holds 1 "a right click on the icon showed the window" is_hidden "$W"
click_icon 1
wait_for 10 "a left click to bring the window back" is_shown "$W"
echo "PASS: a right click leaves it hidden, a left click brings it back in its normal state"
click_icon --repeat 2 --delay 80 1
click_icon 3
click_icon 1
holds 1 "clicks on the icon changed the shown window" is_shown "$W"
echo "PASS: double, right and left clicks leave the shown window as it was"
close_app
wait_for 10 "the icon to leave the tray" icon_gone
echo "PASS: closing ends the program and removes the icon"

kill -TERM "$trayer_pid"
wait "$trayer_pid"
start_app
xdotool windowminimize "$W"
wait_for 10 "the window to be minimised" is_iconic "$W"
# Still managed: the window manager brings it back, which it could not do for a hidden window.
xdotool windowactivate --sync "$W" 2>/dev/null
wait_for 10 "the minimised window to come back" is_shown "$W"
echo "PASS: with no tray host, minimising keeps the window in the taskbar"
close_app
