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

work="$(mktemp -d)"
chmod 755 "$work"
cleanup() {
    local p
    for p in $(cat "$work"/*/pids "$work/pids" 2>/dev/null); do
        kill -CONT "$p" 2>/dev/null || true
        kill -TERM "$p" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    if [ -n "${BENCH_KEEP:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
now() { date +%s.%N; }

. "$root/tests/support/icecast.sh"

# --- Sound: a private PulseAudio server; each lane plays into a null sink of its own ----------
# The socket lies outside the server's own (private) runtime folder, so that VLC, which runs as
# another user, reaches it too.
export PULSE_RUNTIME_PATH="$work/pulse" PULSE_SERVER="unix:$work/native"
mkdir -p "$PULSE_RUNTIME_PATH" "$work/vlc-home" && chmod 777 "$work/vlc-home"
HOME="$work/pulse" pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
    --disable-shm=yes --load="module-native-protocol-unix socket=$work/native auth-anonymous=1" \
    >"$work/pulse.log" 2>&1 &
echo $! >>"$work/pids"
icecast_wait 10 pactl info

# --- An X server for the player's window ----------------------------------------------------------
exec {dfd}<> <(:)
Xvfb -displayfd "$dfd" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
echo $! >>"$work/pids"
read -r -t 10 -u "$dfd" display_no
export DISPLAY=":$display_no"

# One player through all the faults, in $work/<player>-<run>: faults.log says when each fault
# began and ended, audio.log what the recording showed.
lane() {
    local name="$1" run="$2" dir="$work/$1-$2" sink="bench_$1_$2" t0 url src
    mkdir -p "$dir" && chmod 755 "$dir"
    track() { echo "$1" >>"$dir/pids"; }
    icecast_start "$dir" >/dev/null
    track "$ICECAST_PID"
    url="http://127.0.0.1:$ICECAST_PORT/bench.mp3"
    t0="$(now)"
    source_start() {
        python3 "$tools" gen "$t0" | gst-launch-1.0 -q fdsrc fd=0 blocksize=1764 ! \
            rawaudioparse format=pcm pcm-format=s16le sample-rate=44100 num-channels=2 ! \
            audioconvert ! lamemp3enc target=bitrate bitrate=128 cbr=true ! \
            shout2send ip=127.0.0.1 port="$ICECAST_PORT" password="$ICECAST_SOURCE_PASSWORD" \
            mount=/bench.mp3 streamname="Bench Radio" >/dev/null 2>&1 &
        src=$!
        track "$src"
        icecast_wait 10 sh -c "curl -s http://127.0.0.1:$ICECAST_PORT/status-json.xsl | grep -q bench.mp3" || true
    }
    source_start
    pactl load-module module-null-sink sink_name="$sink" rate=44100 >/dev/null
    parec -d "$sink.monitor" --raw --format=s16le --rate=44100 --channels=2 --latency-msec=10 |
        python3 "$tools" watch "$dir/audio.log" "$t0" &
    track $!
    # A null sink renders nothing (so its monitor records nothing) until its first block of 2 s
    # after loading has passed, whatever plays into it meanwhile: a player started earlier
    # would be charged up to that much "first audio after PLAY" that no listener would hear.
    sleep 2.5

    case "$name" in
        orvane)
            mkdir -p "$dir/player"
            echo "Bench Radio,$url" >"$dir/player/orvaneplayer.ini"
            (cd "$dir/player" && PULSE_SINK="$sink" QT_QPA_PLATFORM=xcb exec "$player") \
                >"$dir/player.log" 2>&1 &
            track $!
            icecast_wait 15 xdotool search --onlyvisible --name '^Orvane Player$'
            local win
            win="$(xdotool search --onlyvisible --name '^Orvane Player$' | head -n 1)"
            xdotool mousemove --window "$win" 80 190
            echo "play $(now)" >>"$dir/faults.log"
            xdotool click 1
            ;;
        gst)
            # The floor: a bare playbin, for what the machine's sound path itself costs.
            echo "play $(now)" >>"$dir/faults.log"
            PULSE_SINK="$sink" gst-launch-1.0 -q playbin uri="$url" >"$dir/player.log" 2>&1 &
            track $!
            ;;
        mpv)
            echo "play $(now)" >>"$dir/faults.log"
            PULSE_SINK="$sink" mpv --no-config --no-video --ao=pulse --really-quiet "$url" \
                >"$dir/player.log" 2>&1 &
            track $!
            ;;
        vlc)
            # VLC refuses to run as root.
            local as=()
            [ "$(id -u)" -ne 0 ] || as=(runuser -u nobody --)
            echo "play $(now)" >>"$dir/faults.log"
            "${as[@]}" env HOME="$work/vlc-home" PULSE_SERVER="$PULSE_SERVER" PULSE_SINK="$sink" \
                cvlc -q --no-video --aout=pulse "$url" >"$dir/player.log" 2>&1 &
            track $!
            ;;
    esac
    sleep 10
    local fault kind secs start end
    for fault in $faults; do
        kind="${fault%%:*}" secs="${fault##*:}"
        start="$(now)"
        case "$kind" in
            server-stopped)
                kill -STOP "$ICECAST_PID"; sleep "$secs"; end="$(now)"; kill -CONT "$ICECAST_PID" ;;
            source-stalled)
                kill -STOP "$src"; sleep "$secs"; end="$(now)"; kill -CONT "$src" ;;
            source-dropped)
                kill -TERM "$src"; sleep "$secs"; end="$(now)"; source_start ;;
            server-restarted)
                kill -TERM "$src" "$ICECAST_PID"; wait "$ICECAST_PID" 2>/dev/null || true
                sleep "$secs"; end="$(now)"
                icecast2 -c "$dir/icecast.xml" >/dev/null 2>&1 &
                ICECAST_PID=$!
                track "$ICECAST_PID"
                icecast_wait 10 curl -sf "http://127.0.0.1:$ICECAST_PORT/status-json.xsl"
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
    for p in $(cat "$work"/*-"$run"/pids 2>/dev/null); do
        kill -CONT "$p" 2>/dev/null || true
        kill -TERM "$p" 2>/dev/null || true
    done
    sleep 1
    [ -z "${BENCH_VERBOSE:-}" ] || cat "$work"/lane-*-"$run".log >&2
done
python3 "$tools" report "$work"/*-[0-9]*/
