#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# What a listener hears of a faulty station: which seconds of the programme Orvane Player (its
# real window, under Xvfb), mpv and VLC play twice, which they skip, and how long they fall
# silent. The station is a time-coded live source (every 100 ms slot of the programme carries
# its number, see tests/support/timecode.py) on a local Icecast server; each player listens
# through a freezing TCP proxy of its own (tests/support/freezeproxy.py) and plays into a null
# sink of a private PulseAudio server, whose monitor is recorded and decoded slot by slot. All
# players hear the same station and the same faults at the same time, each fault with a freshly
# started player that has played for 10 s:
#   connection-frozen:N  the proxies freeze the players' connections for N s (station fine)
#   encoder-paused:N     the station's encoder is stopped (SIGSTOP) for N s; server and
#                        connections are fine, and the encoder sends its backlog afterwards
#   server-stopped:N     Icecast is stopped (SIGSTOP) for N s, then resumes
#   source-dropped:N     the source is gone for N s, then a new one starts
#   server-restarted:N   Icecast and the source are gone for N s, then both start again
# Per fault and player, medians over the runs: seconds heard twice, seconds skipped that the
# server had sent to that player (the proxies keep what they forwarded and it is decoded too),
# seconds skipped that it never sent, the longest silence, how much longer that silence was than
# the station's own silence less the audio the player had buffered (plus 0.25 s), the time from
# the fault's end (the station back on the air) to audio, how far behind the source the player
# is 10 s later, and how many connections it opened.
#
#   bench/continuity.sh [runs] [path/to/orvaneplayer]
#
# Takes about 7 minutes a run (3 by default). Needs the packages in scripts/packages.txt
# (icecast2, gstreamer1.0-tools, the GStreamer plugins, pulseaudio, pulseaudio-utils, xvfb,
# xdotool, mpv, vlc-bin, vlc-plugin-base, python3-numpy). Everything binds to 127.0.0.1 and is
# stopped on exit. BENCH_FAULTS="encoder-paused:5 ..." runs other faults; BENCH_PLAYERS picks
# players (orvane mpv vlc gst); BENCH_KEEP=1 keeps the recordings and logs; BENCH_JSON=FILE
# writes every number of every run there.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs="${1:-3}"
export BENCH_ORVANE
BENCH_ORVANE="$(realpath "${2:-$root/build/orvaneplayer}")"
faults="${BENCH_FAULTS:-connection-frozen:2 connection-frozen:4 connection-frozen:6 \
connection-frozen:12 encoder-paused:5 server-stopped:10 source-dropped:10 server-restarted:10}"
players="${BENCH_PLAYERS:-orvane mpv vlc}"
# Each player has played this long when a fault begins, and is watched this long after its end.
readonly STEADY_S=10 SETTLE_S=20
case " $players " in *" orvane "*)
    [ -x "$BENCH_ORVANE" ] || { echo "no player at $BENCH_ORVANE (build first)" >&2; exit 2; } ;;
esac

. "$root/tests/support/icecast.sh"
. "$root/tests/support/timecode.sh"
. "$root/bench/players.sh"
work="$(mktemp -d)"
chmod 755 "$work"
track() { echo "$1" >>"$work/pids"; }
cleanup() {
    bench_stop "$work/pids" "$work"/run-*/pids "$work"/run-*/players
    wait 2>/dev/null || true
    if [ -n "${BENCH_KEEP:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP
# A sleep that a signal cuts short (the shell runs its traps only between commands).
nap() {
    sleep "$1" &
    wait $!
}

bench_sound_start
track "$BENCH_SOUND_PID"
bench_display_start
track "$BENCH_DISPLAY_PID"

one_run() {
    local run="$1" dir="$work/run-$1" p t0 fault kind secs start end station
    mkdir -p "$dir" && chmod 755 "$dir"
    rtrack() { echo "$1" >>"$dir/pids"; }
    icecast_start "$dir" >/dev/null
    rtrack "$ICECAST_PID"
    t0="$(bench_now)"
    echo "$t0" >"$dir/t0"
    source_start() {
        timecode_source /bench.mp3 "$t0" "$dir/gen.log" || echo "the source did not connect" >&2
        rtrack "$ICECAST_SOURCE_PID"
    }
    source_start
    local -A proxy=() played=()
    for p in $players; do
        mkdir -p "$dir/$p"
        proxy_start "$dir/$p" "$ICECAST_PORT"
        rtrack "$PROXY_PID"
        proxy[$p]="$PROXY_PID"
        bench_sink "bench_${p}_$run"
        timecode_recorder "bench_${p}_$run.monitor" "$dir/$p/rec.log"
        rtrack "$TIMECODE_RECORDER_PID"
    done
    for fault in $faults; do
        kind="${fault%%:*}" secs="${fault##*:}"
        for p in $players; do
            bench_player "$p" "http://127.0.0.1:$(cat "$dir/$p/proxy.port")/bench.mp3" \
                "bench_${p}_$run" "$dir/$p"
            echo "$BENCH_PLAYER_PID" >>"$dir/players"
            played[$p]="$BENCH_PLAYER_T"
            echo "play $BENCH_PLAYER_T $fault" >>"$dir/$p/events"
        done
        for p in $players; do
            timecode wait "$dir/$p/rec.log" "$t0" 30 heard-after "${played[$p]}" 1 ||
                echo "run $run, $fault: $p plays nothing" >&2
        done
        nap "$STEADY_S"
        # A fault ends when the station is on the air again: for a dropped source or a restarted
        # server, once the new source is listed (about a second after the N s).
        start="$(bench_now)"
        case "$kind" in
            connection-frozen)
                kill -USR1 "${proxy[@]}"; nap "$secs"; end="$(bench_now)"; kill -USR2 "${proxy[@]}" ;;
            encoder-paused)
                kill -STOP "$ICECAST_SOURCE_PID"; nap "$secs"; end="$(bench_now)"
                kill -CONT "$ICECAST_SOURCE_PID" ;;
            server-stopped)
                kill -STOP "$ICECAST_PID"; nap "$secs"; end="$(bench_now)"; kill -CONT "$ICECAST_PID" ;;
            source-dropped)
                kill -TERM "$ICECAST_SOURCE_PID"; nap "$secs"; source_start; end="$(bench_now)" ;;
            server-restarted)
                kill -TERM "$ICECAST_SOURCE_PID" "$ICECAST_PID"
                wait "$ICECAST_PID" 2>/dev/null || true
                nap "$secs"
                icecast_restart || echo "Icecast did not come back" >&2
                rtrack "$ICECAST_PID"
                source_start
                end="$(bench_now)" ;;
            *) echo "unknown fault $kind" >&2; exit 2 ;;
        esac
        # How long the station itself was silent: none when only the connection froze.
        station="$(awk -v s="$start" -v e="$end" -v k="$kind" \
            'BEGIN { printf "%.3f", k == "connection-frozen" ? 0 : e - s }')"
        echo "fault $fault $start $end $station" >>"$dir/faults.log"
        nap "$SETTLE_S"
        bench_stop "$dir/players"
        for p in $players; do echo "stop $(bench_now)" >>"$dir/$p/events"; done
    done
    bench_stop "$dir/pids"
}

for run in $(seq 1 "$runs"); do
    one_run "$run"
    echo "run $run of $runs done" >&2
done
"$TIMECODE_PYTHON" "$root/bench/continuity-report.py" ${BENCH_JSON:+--json "$BENCH_JSON"} \
    "$work"/run-*/
