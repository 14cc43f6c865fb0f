# SPDX-License-Identifier: GPL-3.0-or-later
# Shell side of the test X server, for end-to-end scripts: a private Xvfb on a display it picks
# itself (-displayfd, never a fixed number), and openbox where a window manager is needed.
# Source this file, then:
#
#   x11_start WORKDIR    Xvfb 1024x768: exports DISPLAY and QT_QPA_PLATFORM=xcb, sets XVFB_PID
#   x11_wm WORKDIR       openbox on it, once it manages windows: sets WM_PID
#   x11_tray WORKDIR     the trayer tray host (top right, 200 x 32), once its panel shows:
#                        sets TRAY_PID
#   x11_stop             stops what they started, by PID
#
# Each returns non-zero if what it starts is not up within X11_START_S seconds.

X11_START_S=10

x11_wait() {  # x11_wait SECONDS COMMAND...: true once COMMAND succeeds
    local deadline=$((SECONDS + $1)); shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.05
    done
}

x11_start() {
    local work="$1"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
    XVFB_PID=$!
    x11_wait "$X11_START_S" test -s "$work/display" || return 1
    export DISPLAY=":$(tr -d '\n' <"$work/display")" QT_QPA_PLATFORM=xcb
}

x11_wm() {
    openbox --sm-disable >"$1/openbox.log" 2>&1 &
    WM_PID=$!
    x11_wait "$X11_START_S" sh -c "xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'"
}

# Now and then trayer (GTK 2) comes up alive but never maps its panel; a second start has always
# worked, so it gets two tries.
x11_tray() {
    local try
    for try in 1 2; do
        NO_AT_BRIDGE=1 trayer --edge top --align right --widthtype pixel --width 200 --height 32 \
            >>"$1/trayer.log" 2>&1 &
        TRAY_PID=$!
        x11_wait "$X11_START_S" xdotool search --onlyvisible --class trayer && return 0
        kill -TERM "$TRAY_PID" 2>/dev/null
        wait "$TRAY_PID" 2>/dev/null
    done
    TRAY_PID=
    return 1
}

x11_stop() {
    local p
    for p in ${TRAY_PID:-} ${WM_PID:-} ${XVFB_PID:-}; do
        kill -TERM "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
    TRAY_PID=
    WM_PID=
    XVFB_PID=
}
