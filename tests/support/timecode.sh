# SPDX-License-Identifier: GPL-3.0-or-later
# Shell side of the time-coded source (timecode.py) and the freezing proxy (freezeproxy.py), for
# end-to-end scripts and benchmarks. Source this file after icecast.sh, then:
#
#   timecode ARGS...                  runs timecode.py (see its help)
#   timecode_source MOUNT T0 GENLOG   a live time-coded MP3 source on the running Icecast: sets
#                                     ICECAST_SOURCE_PID (the encoder); GENLOG says when each
#                                     100 ms slot was produced
#   timecode_recorder SOURCE LOG      records a PulseAudio source (a null sink's monitor) into
#                                     LOG, once it delivers: sets TIMECODE_RECORDER_PID
#   proxy_start WORKDIR UPSTREAM_PORT a freezing proxy in front of UPSTREAM_PORT, its log and its
#                                     dumps in WORKDIR: sets PROXY_PORT, PROXY_PID, PROXY_CTL
#   proxy_ctl CTL COMMAND...          "freeze [SECONDS]", "thaw" or "list"
#
# Run as a script, it runs timecode.py: `bash timecode.sh selftest` is the decoder's round trip.

TIMECODE_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# The Python that has numpy: Debian's own, even where another python3 comes first on PATH.
TIMECODE_PYTHON=python3
for p in /usr/bin/python3 python3; do
    if "$p" -c 'import numpy' 2>/dev/null; then TIMECODE_PYTHON="$p"; break; fi
done

timecode() { "$TIMECODE_PYTHON" "$TIMECODE_DIR/timecode.py" "$@"; }

timecode_source() {
    icecast_pcm_source "$1" "Timecode Radio" "$TIMECODE_PYTHON" "$TIMECODE_DIR/timecode.py" \
        gen "$2" --log "$3"
}

timecode_recorder() {
    "$TIMECODE_PYTHON" "$TIMECODE_DIR/timecode.py" record "$2" --device "$1" &
    TIMECODE_RECORDER_PID=$!
    # A null sink that nothing has played into yet renders its first block (up to 2 s) late.
    icecast_wait 10 grep -q '^c ' "$2"
}

proxy_start() {
    local work="$1"
    mkdir -p "$work/dump"
    rm -f "$work/proxy.port"
    "$TIMECODE_PYTHON" "$TIMECODE_DIR/freezeproxy.py" serve "$2" "$work/proxy.port" \
        "$work/proxy.ctl" "$work/proxy.log" "$work/dump" &
    PROXY_PID=$!
    PROXY_CTL="$work/proxy.ctl"
    icecast_wait 10 test -s "$work/proxy.port" || return 1
    PROXY_PORT="$(cat "$work/proxy.port")"
}

proxy_ctl() { "$TIMECODE_PYTHON" "$TIMECODE_DIR/freezeproxy.py" ctl "$@"; }

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    timecode "$@"
fi
