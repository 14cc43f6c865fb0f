# SPDX-License-Identifier: GPL-3.0-or-later
# Shell side of the test X server, for end-to-end scripts: a private Xvfb on a display it picks
# itself (-displayfd, never a fixed number), and openbox where a window manager is needed.
# Source this file, then:
#
#   x11_start WORKDIR    Xvfb 1024x768: exports DISPLAY and QT_QPA_PLATFORM=xcb, sets XVFB_PID
#   x11_wm WORKDIR       openbox on it, once it manages windows: sets WM_PID
#   x11_stop             stops what the two started, by PID
#
# Both return non-zero if what they start is not up within X11_START_S seconds.

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

x11_stop() {
    local p
    for p in ${WM_PID:-} ${XVFB_PID:-}; do
        kill -TERM "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
    WM_PID=
    XVFB_PID=
}
