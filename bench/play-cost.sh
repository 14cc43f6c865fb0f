#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# What it costs to play a 128 kbit/s MP3 stream for a while: Orvane Player (window shown, under
# Xvfb) against plain gst-launch playbin (the floor) and mpv (a peer). Prints user+sys CPU
# seconds and peak RSS for each, the ratios, and a one-line summary last.
#
#   bench/play-cost.sh [seconds] [path/to/orvaneplayer]
#
# Needs the packages in scripts/packages.txt (icecast2, gstreamer1.0-tools, xvfb, xdotool, mpv,
# time). Everything runs on 127.0.0.1 and is stopped on exit.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
player="$(realpath "${2:-$root/build/orvaneplayer}")"
[ -x "$player" ] || { echo "no player at $player (build first)" >&2; exit 2; }

work="$(mktemp -d)"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill -CONT "$p" 2>/dev/null || true; kill -TERM "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

. "$root/tests/support/icecast.sh"
wait_for() { icecast_wait "$@"; }

# --- A local Icecast server with a live MP3 source ---------------------------------------------
icecast_start "$work"
pids+=("$ICECAST_PID")
icecast_source /bench.mp3 "Bench Radio"
pids+=("$ICECAST_SOURCE_PID")
url="http://127.0.0.1:$ICECAST_PORT/bench.mp3"

# --- An X server for the player's window -------------------------------------------------------
exec {dfd}<> <(:)
Xvfb -displayfd "$dfd" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
read -r -t 10 -u "$dfd" display_no
export DISPLAY=":$display_no"

# measure NAME PROCESS COMMAND... -> prints "NAME cpu_s peak_rss_kb private_kb". Private memory
# (anonymous pages: heap, stacks, buffers) is read from PROCESS a few seconds before the end; peak
# RSS also counts the pages of shared libraries, which other programs on a desktop share.
measure() {
    local name="$1" proc="$2"; shift 2
    (
        sleep $((seconds > 4 ? seconds - 3 : 1))
        pid=$(pgrep -n -x "$proc") &&
            awk '/^Anonymous/ {print $2}' "/proc/$pid/smaps_rollup" >"$work/$name.anon"
    ) &
    local sampler=$!
    /usr/bin/time -v -o "$work/$name.time" timeout -s TERM "$seconds" "$@" >/dev/null 2>"$work/$name.err" || true
    [ -z "${BENCH_VERBOSE:-}" ] || tail -5 "$work/$name.err" >&2
    local user sys rss
    user=$(awk -F': ' '/User time/ {print $2}' "$work/$name.time")
    sys=$(awk -F': ' '/System time/ {print $2}' "$work/$name.time")
    rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/$name.time")
    wait "$sampler" || true
    echo "$name $(awk "BEGIN{print $user+$sys}") $rss $(cat "$work/$name.anon" 2>/dev/null || echo 0)"
}

# Orvane Player: start it with a one-line source list and press PLAY on its real window.
mkdir -p "$work/player"
echo "Bench Radio,$url" >"$work/player/orvaneplayer.ini"
(
    cd "$work/player"
    wait_for 15 xdotool search --onlyvisible --name '^Orvane Player$'
    win="$(xdotool search --onlyvisible --name '^Orvane Player$' | head -n 1)"
    xdotool mousemove --window "$win" 80 190 click 1
) &
clicker=$!
# The floor and mpv discard the audio; so does the player here, so that the three are compared on
# the same work rather than on which sound servers the machine lets autoaudiosink probe.
orvane=$(cd "$work/player" && measure orvane orvaneplayer env QT_QPA_PLATFORM=xcb \
    ORVANE_AUDIO_SINK="${ORVANE_AUDIO_SINK:-fakesink sync=true}" "$player")
wait "$clicker" || echo "warning: could not press PLAY" >&2
floor=$(measure gst-launch gst-launch-1.0 gst-launch-1.0 -q playbin uri="$url" audio-sink="fakesink sync=true")
# The player starts at volume 25%, which playbin's soft volume reaches by scaling every sample
# (cubic 0.25 -> linear 0.015625); the floor at 100% passes samples through untouched. This row
# shows the floor doing the same work.
floor25=$(measure gst-launch@25% gst-launch-1.0 gst-launch-1.0 -q playbin uri="$url" volume=0.015625 \
    audio-sink="fakesink sync=true")
peer=$(measure mpv mpv mpv --no-config --no-video --ao=null --really-quiet "$url")

printf '%-12s %10s %12s %12s\n' program "cpu s" "peak RSS MB" "private MB"
for row in "$orvane" "$floor" "$floor25" "$peer"; do
    read -r name cpu rss anon <<<"$row"
    printf '%-12s %10.2f %12.1f %12.1f\n' "$name" "$cpu" "$(awk "BEGIN{print $rss/1024}")" \
        "$(awk "BEGIN{print $anon/1024}")"
done
read -r _ ocpu orss oanon <<<"$orvane"
read -r _ fcpu frss _ <<<"$floor"
read -r _ mcpu mrss manon <<<"$peer"
read -r _ f25cpu _ _ <<<"$floor25"
cpu_floor=$(awk "BEGIN{printf \"%.2f\", $ocpu/$fcpu}")
cpu_mpv=$(awk "BEGIN{printf \"%.2f\", $ocpu/$mcpu}")
rss_floor=$(awk "BEGIN{printf \"%.2f\", $orss/$frss}")
rss_mpv=$(awk "BEGIN{printf \"%.2f\", $orss/$mrss}")
cpu_floor25=$(awk "BEGIN{printf \"%.2f\", $ocpu/$f25cpu}")
echo "ratios: cpu vs floor ${cpu_floor}x (vs floor at 25% volume ${cpu_floor25}x), cpu vs mpv ${cpu_mpv}x, rss vs floor ${rss_floor}x, rss vs mpv ${rss_mpv}x"
cpu_ok=$(awk "BEGIN{print ($cpu_floor <= 1.1) ? \"met\" : \"MISSED\"}")
rss_ok=$(awk "BEGIN{print ($orss <= $mrss) ? \"met\" : \"MISSED\"}")
echo "summary: ${seconds}s of 128k MP3: orvane ${ocpu}s cpu ${cpu_floor}x floor (goal <=1.1x: $cpu_ok), peak RSS $((orss / 1024)) MB vs mpv $((mrss / 1024)) MB (goal <=: $rss_ok), private $((oanon / 1024)) MB vs mpv $((manon / 1024)) MB"
