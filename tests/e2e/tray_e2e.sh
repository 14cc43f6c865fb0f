#!/usr/bin/env bash
# The tray icon on a real X server, with a window manager and an XEmbed tray host: the icon shows,
# minimising hides the window and its taskbar entry, a left click on the icon brings it back,
# other clicks change nothing, and closing the window ends the program and removes the icon.
# Then, with no tray host at all, minimising must leave the window where the user can find it.
#
# Usage: tray_e2e.sh PATH_TO_ORVANEPLAYER
set -u
exe="$(realpath "$1")"
work="$(mktemp -d)"
pids=()
# Reports go to the script's own output, also from inside a check whose output is discarded.
exec 9>&1

cleanup() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill -TERM "${pids[i]}" 2>/dev/null
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
# A signal ends the script through exit, so the EXIT trap stops everything it started.
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 141' PIPE
trap 'exit 143' TERM

fail() {
    echo "FAIL: $*" >&9
    [ -s "$work/app.err" ] && sed 's/^/  program: /' "$work/app.err" >&9
    exit 1
}

now_ms() { date +%s%3N; }

# wait_for SECONDS WHAT COMMAND...: polls COMMAND until it succeeds, or fails the test.
wait_for() {
    local deadline=$(($(now_ms) + $1 * 1000)) what="$2"
    shift 2
    until "$@" >/dev/null; do
        [ "$(now_ms)" -lt "$deadline" ] || fail "timed out waiting for: $what"
        sleep 0.05
    done
}

# holds SECONDS WHAT COMMAND...: COMMAND keeps succeeding for that long. Only for checking that
# something does NOT happen, where no event marks the moment it would have.
holds() {
    local deadline=$(($(now_ms) + $1 * 1000)) what="$2"
    shift 2
    while [ "$(now_ms)" -lt "$deadline" ]; do
        "$@" || fail "$what"
        sleep 0.05
    done
}

# --- The X server, a window manager and a tray host -------------------------------------------
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
pids+=($!)
has_display() { [ -s "$work/display" ]; }
wait_for 10 "Xvfb to choose a display" has_display
export DISPLAY=":$(tr -d '\n' <"$work/display")"
# No session bus: Qt then uses the XEmbed tray, and nothing reaches the user's own desktop.
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus"
export QT_QPA_PLATFORM=xcb
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)
wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
wait_for 10 "openbox" wm_ready

trayer_up() { xdotool search --onlyvisible --class trayer 2>/dev/null; }
trayer_pid=
start_trayer() {
    trayer --edge top --align right --widthtype pixel --width 200 --height 32 \
        >"$work/trayer.log" 2>&1 &
    trayer_pid=$!
    pids+=("$trayer_pid")
    wait_for 10 "trayer" trayer_up
}

# --- Looking at the program's windows -----------------------------------------------------------
main_window() { xdotool search --name '^Orvane Player$' 2>/dev/null | head -n1; }
# The tray icon is the program's other window: small, and named after the program.
icon_window() {
    local w
    for w in $(xdotool search --class orvaneplayer 2>/dev/null); do
        xprop -id "$w" WM_NAME 2>/dev/null | grep -q '"Orvane Player"' && continue
        echo "$w"
        return
    done
}
map_state() { xwininfo -id "$1" 2>/dev/null | sed -n 's/^ *Map State: //p'; }
# Normal, Iconic, or empty once the window is withdrawn (hidden by the program).
wm_state() { xprop -id "$1" WM_STATE 2>/dev/null | sed -n 's/^[[:space:]]*window state: //p'; }
# Whether the window manager lists the window, which is what a taskbar shows.
in_client_list() {
    xprop -root _NET_CLIENT_LIST 2>/dev/null | grep -qi "$(printf '0x%x' "$1")"
}
# Near-white pixels where trayer sits (top right, 200 x 32); the panel itself has none.
tray_white_pixels() {
    xwd -root -display "$DISPLAY" | convert xwd:- -crop 200x32+824+0 +repage -colorspace gray \
        -threshold 99% -format '%[fx:round(mean*w*h)]' info:
}

is_shown() { [ "$(map_state "$1")" = IsViewable ] && [ "$(wm_state "$1")" = Normal ] && in_client_list "$1"; }
is_hidden() { [ "$(map_state "$1")" = IsUnMapped ] && [ -z "$(wm_state "$1")" ] && ! in_client_list "$1"; }
is_iconic() { [ "$(wm_state "$1")" = Iconic ] && in_client_list "$1"; }
icon_shows() { [ "$(tray_white_pixels)" -gt 10 ]; }
icon_gone() { [ -z "$(icon_window)" ] && [ "$(tray_white_pixels)" -eq 0 ]; }

app_pid=
start_app() {
    mkdir -p "$work/run"
    printf 'Local,http://127.0.0.1:9/never-played\r\n' >"$work/run/orvaneplayer.ini"
    # In a sanitizer build: libxkbcommon-x11 reads key names with strndup over buffers that are
    # not NUL-terminated, which strict string checks report as an overflow at X connection time.
    (cd "$work/run" && ASAN_OPTIONS="${ASAN_OPTIONS:-}:strict_string_checks=0" \
        exec "$exe" >"$work/app.out" 2>"$work/app.err") &
    app_pid=$!
    pids+=("$app_pid")
    wait_for 20 "the main window" main_window_up
}
app_running() { kill -0 "$app_pid" 2>/dev/null; }
main_window_up() {
    app_running || fail "the program ended at start-up"
    xdotool search --onlyvisible --name '^Orvane Player$' 2>/dev/null
}
app_ended() { ! app_running; }

# Closing through the window manager, as the user's Alt+F4 does.
close_app() {
    xdotool windowactivate --sync "$1" 2>/dev/null
    xdotool key --clearmodifiers alt+F4
    wait_for 10 "the program to end" app_ended
    wait "$app_pid"
    local status=$?
    [ "$status" -eq 0 ] || fail "the program ended with status $status"
}

click_icon() {
    xdotool mousemove --window "$(icon_window)" 11 15 click "$@"
}

# --- With a tray host ---------------------------------------------------------------------------
start_trayer
[ "$(tray_white_pixels)" -eq 0 ] || fail "the empty tray already has white pixels"
start_app
W="$(main_window)"
has_icon_window() { [ -n "$(icon_window)" ]; }
wait_for 10 "the tray icon's window" has_icon_window
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
echo "PASS: double, right and left clicks on the icon leave the shown window as it was"

close_app "$W"
wait_for 10 "the icon to leave the tray" icon_gone
echo "PASS: closing ends the program and removes the icon"

# --- Without a tray host ------------------------------------------------------------------------
kill -TERM "$trayer_pid"
wait "$trayer_pid" 2>/dev/null
start_app
W="$(main_window)"
xdotool windowminimize "$W"
wait_for 10 "the window to be minimised" is_iconic "$W"
# Still managed: the window manager can bring it back, which a hidden window would not allow.
xdotool windowactivate --sync "$W" 2>/dev/null
wait_for 10 "the minimised window to come back through the window manager" is_shown "$W"
echo "PASS: with no tray host, minimising keeps the window in the taskbar"
close_app "$W"
echo "PASS: all"
