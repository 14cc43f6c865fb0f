# SPDX-License-Identifier: GPL-3.0-or-later
# A private PulseAudio server with one discarding sink, for end-to-end scripts and benchmarks:
# autoaudiosink then really talks to a sound server, as on a desktop, without a sound card.
# Source this file, then:
#
#   pulse_start WORKDIR    starts the server; exports PULSE_SERVER (and a private
#                          XDG_RUNTIME_DIR / PULSE_RUNTIME_PATH under WORKDIR), sets PULSE_PID
#   pulse_stop             stops it
#
# The server is the test's own: it loads no configuration, no hardware modules and no other
# user's session, and it never exits on idle. As root it runs in the same per-user mode (it
# warns, but works), so CI and a developer's machine behave alike.

pulse_start() {
    local work="$1/pulse" deadline
    mkdir -p "$work/runtime" "$work/state"
    chmod 700 "$work/runtime"
    export XDG_RUNTIME_DIR="$work/runtime"
    export PULSE_RUNTIME_PATH="$work/runtime"
    export PULSE_STATE_PATH="$work/state"
    export PULSE_SERVER="unix:$work/runtime/native"
    export PULSE_COOKIE="$work/cookie"
    # -n: no default.pa; the modules below are the whole configuration.
    pulseaudio --daemonize=no --exit-idle-time=-1 --disallow-exit -n --use-pid-file=no \
        --log-target=file:"$work/pulse.log" \
        --load="module-null-sink sink_name=discard sink_properties=device.description=Discard" \
        --load="module-native-protocol-unix auth-anonymous=1 socket=$work/runtime/native" >/dev/null 2>&1 &
    PULSE_PID=$!
    deadline=$((SECONDS + 10))
    until pactl info >/dev/null 2>&1; do
        if [ $SECONDS -ge $deadline ] || ! kill -0 "$PULSE_PID" 2>/dev/null; then
            echo "pulse.sh: PulseAudio did not start; its log:" >&2
            tail -5 "$work/pulse.log" >&2 2>/dev/null
            return 1
        fi
        sleep 0.1
    done
    pactl set-default-sink discard >/dev/null
}

pulse_stop() {
    if [ -n "${PULSE_PID:-}" ]; then
        kill -TERM "$PULSE_PID" 2>/dev/null || true
        wait "$PULSE_PID" 2>/dev/null || true
    fi
    PULSE_PID=
}
