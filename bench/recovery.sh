#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# How players live through a faulty station: Orvane Player (its real window, under Xvfb), mpv and
# VLC each listen to a local Icecast server of their own while the bench stops the server, stalls
# or drops its source and restarts it. Their decoded audio goes to null sinks of a private
# PulseAudio server and is recorded; a watcher reads the recording every 10 ms. The source is a
# two-tone signal whose second tone encodes when it was produced, so the recording also tells how
# far behind live a player is. For each fault it prints the silence, the time from the fault's end
# to audio again and the distance from live 10 s after that, plus the first audio after PLAY:
# medians over the runs.
#
#   bench/recovery.sh [runs] [path/to/orvaneplayer]
#
# Takes about 7 minutes a run (the three players run side by side). Needs the packages in
# scripts/packages.txt (icecast2, gstreamer1.0-tools, pulseaudio, pulseaudio-utils, xvfb,
# xdotool, mpv, vlc-bin, vlc-plugin-base, python3). Everything binds to 127.0.0.1 and is
# stopped on exit. BENCH_FAULTS="server-stopped:3 ..." runs other faults; BENCH_PLAYERS picks
# players.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs="${1:-2}"
player="$(realpath "${2:-$root/build/orvaneplayer}")"
[ -x "$player" ] || { echo "no player at $player (build first)" >&2; exit 2; }
tools="$root/bench/recovery-tools.py"
faults="${BENCH_FAULTS:-server-stopped:3 server-stopped:10 server-stopped:30 server-stopped:60 \
source-stalled:5 source-dropped:10 source-dropped:40 server-restarted:10 server-restarted:40}"
players="${BENCH_PLAYERS:-orvane mpv vlc}"

. "$root/tests/support/icecast.sh"
. "$root/bench/players.sh"
work="$(mktemp -d)"
chmod 755 "$work"
cleanup() {
    bench_stop "$work"/*/pids "$work/pids"
    wait 2>/dev/null || true
    if [ -n "${BENCH_KEEP:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

export BENCH_ORVANE="$player"

bench_sound_start
echo "$BENCH_SOUND_PID" >>"$work/pids"
bench_display_start
echo "$BENCH_DISPLAY_PID" >>"$work/pids"

# One player through all the faults, in $work/<player>-<run>: faults.log says when each fault
# began and ended, audio.log what the recording showed.
lane() {
    local name="$1" run="$2" dir="$work/$1-$2" sink="bench_$1_$2" t0 url src
    mkdir -p "$dir" && chmod 755 "$dir"
    track() { echo "$1" >>"$dir/pids"; }
    icecast_start "$dir" >/dev/null
    track "$ICECAST_PID"
    url="http://127.0.0.1:$ICECAST_PORT/bench.mp3"
    t0="$(bench_now)"
    source_start() {
        icecast_pcm_source /bench.mp3 "Bench Radio" python3 "$tools" gen "$t0" || true
        src=$ICECAST_SOURCE_PID
        track "$src"
    }
    source_start
    bench_sink "$sink"
    parec -d "$sink.monitor" --raw --format=s16le --rate=44100 --channels=2 --latency-msec=10 |
        python3 "$tools" watch "$dir/audio.log" "$t0" &
    track $!
    # A null sink renders nothing (so its monitor records nothing) until its first block of 2 s
    # after loading has passed, whatever plays into it meanwhile: a player started earlier
    # would be charged up to that much "first audio after PLAY" that no listener would hear.
    sleep 2.5

    bench_player "$name" "$url" "$sink" "$dir"
    track "$BENCH_PLAYER_PID"
    echo "play $BENCH_PLAYER_T" >>"$dir/faults.log"
    sleep 10
    local fault kind secs start end
    for fault in $faults; do
        kind="${fault%%:*}" secs="${fault##*:}"
        start="$(bench_now)"
        case "$kind" in
            server-stopped)
                kill -STOP "$ICECAST_PID"; sleep "$secs"; end="$(bench_now)"; kill -CONT "$ICECAST_PID" ;;
            source-stalled)
                kill -STOP "$src"; sleep "$secs"; end="$(bench_now)"; kill -CONT "$src" ;;
            source-dropped)
                kill -TERM "$src"; sleep "$secs"; end="$(bench_now)"; source_start ;;
            server-restarted)
                kill -TERM "$src" "$ICECAST_PID"; wait "$ICECAST_PID" 2>/dev/null || true
                sleep "$secs"; end="$(bench_now)"
                icecast_restart || true
                track "$ICECAST_PID"
                source_start ;;
        esac
        echo "fault $fault-s $start $end" >>"$dir/faults.log"
        sleep 16
    done
}

for run in $(seq 1 "$runs"); do
    lanes=()
    for p in $players; do
        lane "$p" "$run" >"$work/lane-$p-$run.log" 2>&1 &
        lanes+=($!)
    done
    for j in "${lanes[@]}"; do wait "$j" 2>/dev/null || true; done
    # Every process of this run goes before the next starts.
    bench_stop "$work"/*-"$run"/pids
    sleep 1
    [ -z "${BENCH_VERBOSE:-}" ] || cat "$work"/lane-*-"$run".log >&2
done
python3 "$tools" report "$work"/*-[0-9]*/
