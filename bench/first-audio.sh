#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Time from play() to the first decoded audio inside the engine, on a local Icecast: no window
# and no sound server, so it shows the engine's own share of bench/recovery.sh's "first audio
# after PLAY". Prints each run (a fresh open, then a reopen of the playing stream) and medians,
# after the floor that the server sets: how long it takes itself to send the first byte of the
# body on a fresh connection (a raw GET, as many connections as the engine opens).
#
#   bench/first-audio.sh [runs] [path/to/orvane_first_audio]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs="${1:-7}"
harness="$(realpath "${2:-$root/build/bench/first-audio/orvane_first_audio}")"
[ -x "$harness" ] || { echo "no harness at $harness (build first)" >&2; exit 2; }
work="$(mktemp -d)"
chmod 755 "$work"
. "$root/tests/support/icecast.sh"
trap 'icecast_stop; rm -rf "$work"' EXIT
icecast_start "$work" >/dev/null
icecast_source /bench.mp3 "Bench Radio"
url="http://127.0.0.1:$ICECAST_PORT/bench.mp3"
python3 "$root/bench/recovery-tools.py" firstbyte "$url" "$((2 * runs))"
"$harness" "$url" "$runs"
