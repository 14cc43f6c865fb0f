#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Soak: the real engine against a local Icecast with three live mounts, restarted the way the
# watchdog restarts it, then switched between stations, with RSS, open descriptors and threads
# sampled every 100 operations. Prints the first and last samples after warm-up and the slope
# per 1,000 operations; fails when something grows beyond noise or the stream stops playing.
#
#   bench/soak.sh [RESTARTS] [SWITCHES] [INTERVAL_MS]     defaults: 1000 1000 200
#
# ORVANE_SOAK_EVERY sets the operations between samples (100). The watchdog restarts at most once
# a second; 1000 ms shows what a long stall costs, 200 ms gets through 2,000 operations in
# under 7 minutes.
#
# GDI objects are not sampled: the engine makes none, and the window builds its tray icon once at
# start-up, not per restart or switch.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
restarts="${1:-1000}"
switches="${2:-1000}"
interval="${3:-200}"
build="${ORVANE_BUILD_DIR:-$root/build}"

if [ ! -x "$build/bench/soak/orvane_soak" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target orvane_soak >/dev/null

work="$(mktemp -d)"
sources=()
cleanup() {
    local p
    for p in "${sources[@]}"; do
        kill -TERM "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
    icecast_stop
    rm -rf "$work"
}
trap cleanup EXIT

. "$root/tests/support/icecast.sh"
icecast_start "$work"
for mount in /one.mp3 /two.mp3 /three.mp3; do
    icecast_source "$mount" "Soak ${mount#/}"
    sources+=("$ICECAST_SOURCE_PID")
done
ICECAST_SOURCE_PID=

# No sound card needed, and the sink still keeps real time, so data flows as it would.
export ORVANE_AUDIO_SINK="${ORVANE_AUDIO_SINK:-fakesink sync=true}"
base="http://127.0.0.1:$ICECAST_PORT"
echo "soak: $restarts restarts, then $switches switches, one every $interval ms"
"$build/bench/soak/orvane_soak" --restarts "$restarts" --switches "$switches" \
    --interval-ms "$interval" --every "${ORVANE_SOAK_EVERY:-100}" \
    "$base/one.mp3" "$base/two.mp3" "$base/three.mp3"
