#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# What it costs to play a 128 kbit/s stream for a while: Orvane Player (window shown, under Xvfb)
# against plain gst-launch playbin (the floor), mpv and VLC, in one run. Each row is the median
# of BENCH_RUNS runs (3 by default) of: user+sys CPU seconds, peak RSS, and PSS and private
# (anonymous) memory sampled near the end. Then the player's start-up time (process start to
# window shown, median of BENCH_RUNS), and a one-line summary against the goals.
#
#   bench/play-cost.sh [seconds] [path/to/orvaneplayer]
#
# Rows: MP3 (with ICY titles), AAC (ADTS) and Ogg Vorbis from live Icecast mounts, each into a
# discarding sink in real time, and MP3 into a private PulseAudio server (null sink), the way a
# desktop plays it. The player's window is shown throughout. The -noise rows play an MP3 mount of
# pink noise into the PulseAudio server, whose sound keeps the player's display of it moving: the
# window shown and drawing (orvane-noise-pulse) beside VLC with its Qt window (vlc-qt-noise-pulse),
# and the window minimised into the notification area (openbox and trayer) right after PLAY
# (orvane-noise-pulse-tray). orvane-mp3-tray is the engine's own cost: the MP3 row hidden to the
# tray, no window drawn, like cvlc; the summary holds it against VLC's, and the row with the window
# shown (and its display drawing) against VLC's Qt window.
# BENCH_BASELINE=path/to/older/orvaneplayer adds that build's MP3 and -noise rows, for a
# before/after in the same run. BENCH_ROWS=REGEX runs only the rows whose names match (e.g.
# 'noise'). BENCH_VERBOSE=1 shows each program's last error lines.
#
# CPU seconds on a shared machine are noisy (other builds run beside it): compare rows of the
# same run, and the medians rather than one run.
#
# Needs the packages in scripts/packages.txt (icecast2, gstreamer1.0-tools, xvfb, openbox,
# trayer, xdotool, mpv, vlc-bin, vlc-plugin-qt, pulseaudio, time). Everything runs on 127.0.0.1
# and is stopped on exit. VLC will not run as root; as root it runs as the user nobody.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
player="$(realpath "${2:-$root/build/orvaneplayer}")"
runs="${BENCH_RUNS:-3}"
baseline="${BENCH_BASELINE:+$(realpath "$BENCH_BASELINE")}"
[ -x "$player" ] || { echo "no player at $player (build first)" >&2; exit 2; }

work="$(mktemp -d)"
chmod 755 "$work"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill -CONT "$p" 2>/dev/null || true; kill -TERM "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

. "$root/tests/support/icecast.sh"
. "$root/tests/support/pulse.sh"
. "$root/tests/support/x11.sh"
wait_for() { icecast_wait "$@"; }

# --- Streams: live mounts, as a station sends them -----------------------------------------------
icecast_start "$work"
pids+=("$ICECAST_PID")
icecast_source /bench.mp3 "Bench Radio"
pids+=("$ICECAST_SOURCE_PID")
base="http://127.0.0.1:$ICECAST_PORT"
# live_mount MOUNT CONTENT-TYPE WAVE ENCODER...: a live source on MOUNT, sent by HTTP PUT
# (unframed: Icecast cannot read a chunked body). A whole file on a web server would be a
# different test: it arrives in one burst and then the connection falls silent. Vorbis squeezes a
# sine into a page every two seconds, so its mount sends noise, near the asked bit rate.
live_mount() {
    local mount="$1" type="$2" wave="$3"; shift 3
    gst-launch-1.0 -q audiotestsrc is-live=true wave="$wave" volume=0.2 ! audioconvert ! "$@" ! fdsink |
        curl -s -T - -u "source:$ICECAST_SOURCE_PASSWORD" -H 'Transfer-Encoding:' -H 'Expect:' \
            -H "Content-Type: $type" -H 'ice-name: Bench Radio' "$base$mount" &
    pids+=($!)
    wait_for 10 sh -c "curl -s $base/status-json.xsl | grep -q '$mount'"
}
live_mount /bench.aac audio/aac sine voaacenc bitrate=128000 ! aacparse ! audio/mpeg,stream-format=adts
live_mount /bench.ogg application/ogg pink-noise vorbisenc bitrate=128000 ! oggmux
live_mount /noise.mp3 audio/mpeg pink-noise lamemp3enc target=bitrate bitrate=128 cbr=true
declare -A url=([mp3]="$base/bench.mp3" [aac]="$base/bench.aac" [ogg]="$base/bench.ogg"
                [noise]="$base/noise.mp3")

# --- A sound server for the rows that play to one ----------------------------------------------
pulse_start "$work"
pids+=("$PULSE_PID")
# VLC runs as another user when this runs as root; it reaches the server by its socket's path.
chmod 711 "$work/pulse" "$PULSE_RUNTIME_PATH"

# --- An X server for the windows, with a window manager and a notification area -----------------
x11_start "$work" || { echo "Xvfb did not start" >&2; exit 2; }
pids+=("$XVFB_PID")
x11_wm "$work" || { echo "openbox did not start" >&2; exit 2; }
pids+=("$WM_PID")
if x11_tray "$work"; then
    pids+=("$TRAY_PID")
else
    echo "warning: no tray host: the -tray rows only minimise" >&2
fi
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus"

# measure NAME COMMAND... -> "cpu_s peak_rss_kb pss_kb private_kb" of one run. Memory is read
# from the measured program a few seconds before the end; peak RSS also counts shared libraries'
# pages, which PSS divides among the programs that map them. The program is the child of
# timeout, itself the child of time (env, setpriv and cvlc all exec in place).
measure() {
    local name="$1" timer watchdog pid; shift
    /usr/bin/time -v -o "$work/$name.time" timeout -s TERM "$seconds" "$@" >/dev/null 2>"$work/$name.err" &
    timer=$!
    sleep $((seconds > 4 ? seconds - 3 : 1))
    watchdog=$(pgrep -P "$timer" | head -n 1) && pid=$(pgrep -P "$watchdog" | head -n 1) &&
        awk '/^Pss:/ {p=$2} /^Anonymous:/ {a=$2} END {print p, a}' \
            "/proc/$pid/smaps_rollup" >"$work/$name.mem"
    wait "$timer" || true
    [ -z "${BENCH_VERBOSE:-}" ] || tail -5 "$work/$name.err" >&2
    awk -F': ' '/User time/ {u=$2} /System time/ {s=$2} /Maximum resident/ {r=$2}
        END {printf "%.2f %d ", u + s, r}' "$work/$name.time"
    cat "$work/$name.mem" 2>/dev/null || echo "0 0"
    rm -f "$work/$name.mem"
}

# The player with a one-line source list; a helper presses PLAY on its real window, and for a
# -tray row minimises it straight after, which hides it to its icon.
mkdir -p "$work/player"
run_player() {  # run_player NAME EXE URL [AUDIO_SINK]: one measured run
    local name="$1" exe="$2" stream="$3" sink="${4-}" clicker
    echo "Bench Radio,$stream" >"$work/player/orvaneplayer.ini"
    (
        cd "$work/player"
        wait_for 15 xdotool search --onlyvisible --name '^Orvane Player$'
        win="$(xdotool search --onlyvisible --name '^Orvane Player$' | head -n 1)"
        xdotool mousemove --window "$win" 80 190 click 1
        if [[ "$name" == *-tray ]]; then
            xdotool windowminimize "$win"
            wait_for 5 sh -c "xwininfo -id $win | grep -q IsUnMapped" ||
                echo "warning: the window did not hide ($name)" >&2
        fi
    ) &
    clicker=$!
    (cd "$work/player" && if [ -n "$sink" ]; then
        measure "$name" env QT_QPA_PLATFORM=xcb ORVANE_AUDIO_SINK="$sink" "$exe"
    else
        measure "$name" env -u ORVANE_AUDIO_SINK QT_QPA_PLATFORM=xcb "$exe"
    fi)
    wait "$clicker" || echo "warning: could not press PLAY ($name)" >&2
}
discard="fakesink sync=true"
# The player starts at volume 25%, which playbin's soft volume reaches by scaling every sample
# (cubic 0.25 -> linear 0.015625); at 100% samples pass untouched. The floor does the same work.
run_floor() {
    local sink=()
    [ -z "${3-}" ] || sink=("audio-sink=$3")
    measure "$1" gst-launch-1.0 -q playbin uri="$2" volume=0.015625 "${sink[@]}"
}
run_mpv() { measure mpv mpv --no-config --no-video --ao=null --really-quiet "${url[mp3]}"; }
run_vlc() {  # run_vlc NAME VLC-ARGUMENTS...
    local name="$1"; shift
    if [ "$(id -u)" -eq 0 ]; then
        # setpriv execs VLC in place (runuser would fork, and its child's CPU would go uncounted).
        mkdir -p "$work/vlc-home" && chown nobody "$work/vlc-home"
        measure "$name" setpriv --reuid=nobody --regid=nogroup --clear-groups \
            env HOME="$work/vlc-home" XDG_RUNTIME_DIR="$work/vlc-home" "$@"
    else
        measure "$name" "$@"
    fi
}
# VLC's Qt window as it first opens, with the questions of a first start answered.
vlc_qt=(vlc -I qt --no-qt-privacy-ask --no-metadata-network-access --no-video --aout=pulse -q)

# Rows: name and the command for one run.
rows=(
    "orvane-mp3|run_player orvane-mp3 $player ${url[mp3]} '$discard'"
    "orvane-mp3-tray|run_player orvane-mp3-tray $player ${url[mp3]} '$discard'"
    "orvane-mp3-pulse|run_player orvane-mp3-pulse $player ${url[mp3]}"
    "orvane-noise-pulse|run_player orvane-noise-pulse $player ${url[noise]}"
    "orvane-noise-pulse-tray|run_player orvane-noise-pulse-tray $player ${url[noise]}"
    "orvane-aac|run_player orvane-aac $player ${url[aac]} '$discard'"
    "orvane-ogg|run_player orvane-ogg $player ${url[ogg]} '$discard'"
)
if [ -n "$baseline" ]; then
    rows+=("before-mp3|run_player before-mp3 $baseline ${url[mp3]} '$discard'"
           "before-mp3-pulse|run_player before-mp3-pulse $baseline ${url[mp3]}"
           "before-noise-pulse|run_player before-noise-pulse $baseline ${url[noise]}"
           "before-noise-pulse-tray|run_player before-noise-pulse-tray $baseline ${url[noise]}")
fi
rows+=(
    "floor-mp3|run_floor floor-mp3 ${url[mp3]} '$discard'"
    "floor-mp3-pulse|run_floor floor-mp3-pulse ${url[mp3]}"
    "floor-aac|run_floor floor-aac ${url[aac]} '$discard'"
    "floor-ogg|run_floor floor-ogg ${url[ogg]} '$discard'"
    "mpv|run_mpv"
    "vlc|run_vlc vlc cvlc --aout=dummy --no-video -q ${url[mp3]}"
    "vlc-qt-noise-pulse|run_vlc vlc-qt-noise-pulse ${vlc_qt[*]} ${url[noise]}"
)
if [ -n "${BENCH_ROWS:-}" ]; then
    chosen=()
    for row in "${rows[@]}"; do [[ ! "${row%%|*}" =~ $BENCH_ROWS ]] || chosen+=("$row"); done
    rows=("${chosen[@]}")
fi

median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
declare -A result
# Runs go round-robin over the rows, so that a burst of load elsewhere hits every row alike.
for ((r = 1; r <= runs; r++)); do
    for row in "${rows[@]}"; do
        name="${row%%|*}"
        eval "${row#*|}" >>"$work/$name.runs"
    done
done
for row in "${rows[@]}"; do
    name="${row%%|*}"
    line=""
    for col in 1 2 3 4; do line="$line $(awk -v c=$col '{print $c}' "$work/$name.runs" | median)"; done
    result[$name]="$line"
done

# --- Start-up: process start to the window shown -------------------------------------------------
startup() {  # startup EXE -> seconds, or "nan" if no window showed within 10 s
    local t0 t1 p deadline=$((SECONDS + 10))
    echo "Bench Radio,${url[mp3]}" >"$work/player/orvaneplayer.ini"
    t0=$EPOCHREALTIME
    (cd "$work/player" && exec env QT_QPA_PLATFORM=xcb "$1" >/dev/null 2>>"$work/startup.err") &
    p=$!
    until xdotool search --onlyvisible --name '^Orvane Player$' >/dev/null 2>&1; do
        if [ $SECONDS -ge $deadline ] || ! kill -0 "$p" 2>/dev/null; then
            kill -TERM "$p" 2>/dev/null; wait "$p" 2>/dev/null
            echo nan
            return
        fi
        sleep 0.005
    done
    t1=$EPOCHREALTIME
    kill -TERM "$p"; wait "$p" 2>/dev/null || true
    # The next start must not find this window.
    while xdotool search --onlyvisible --name '^Orvane Player$' >/dev/null 2>&1; do sleep 0.01; done
    awk "BEGIN{printf \"%.3f\", $t1 - $t0}"
}
# The median of the starts that showed a window (a start that never does says so on its own line;
# here the X connection is sometimes refused while several X servers come and go on the machine).
startups() {  # startups EXE -> median seconds, or nan
    local times shown failed
    times=$(for ((r = 1; r <= runs; r++)); do startup "$1"; echo; done)
    shown=$(grep '^[0-9]' <<<"$times" || true)
    failed=$(grep -c nan <<<"$times" || true)
    [ "$failed" -eq 0 ] || echo "warning: $failed of $runs starts of $1 showed no window" >&2
    if [ -n "$shown" ]; then median <<<"$shown"; else echo nan; fi
}
# (Not with BENCH_ROWS: a partial run is for a closer look at some rows.)
up=nan
[ -n "${BENCH_ROWS:-}" ] || up=$(startups "$player")
[ -z "$baseline" ] || [ -n "${BENCH_ROWS:-}" ] || up_before=$(startups "$baseline")

mib() { awk "BEGIN{printf \"%.1f\", $1/1024}"; }
printf '%-22s %8s %12s %9s %12s\n' program "cpu s" "peak RSS MiB" "PSS MiB" "private MiB"
for row in "${rows[@]}"; do
    name="${row%%|*}"
    read -r cpu rss pss anon <<<"${result[$name]}"
    printf '%-22s %8.2f %12s %9s %12s\n' "$name" "$cpu" "$(mib "$rss")" "$(mib "$pss")" "$(mib "$anon")"
done
verdict() { awk "BEGIN{print ($1) ? \"ok\" : \"MISSED\"}"; }
# The display of the sound: drawn while the window shows, against VLC's Qt window on the same
# sound server; nothing while hidden, against the older build hidden the same way (within 5%: the
# machine's noise is larger than that).
cpu_of() { local c; read -r c _ <<<"${result[$1]:-}"; echo "${c:-}"; }
shown=$(cpu_of orvane-noise-pulse) tray=$(cpu_of orvane-noise-pulse-tray)
vlcqt=$(cpu_of vlc-qt-noise-pulse) tray_before=$(cpu_of before-noise-pulse-tray)
if [ -n "$shown" ] && [ -n "$vlcqt" ]; then
    line="display: shown and drawing ${shown}s vs VLC with its Qt window ${vlcqt}s ($(verdict "$shown <= $vlcqt"))"
    [ -z "$tray" ] || line="$line, hidden to the tray ${tray}s"
    [ -z "$tray" ] || [ -z "$tray_before" ] ||
        line="$line vs before ${tray_before}s ($(verdict "$tray <= $tray_before * 1.05"))"
    echo "$line"
fi
[ -z "${BENCH_ROWS:-}" ] || exit 0
echo "start-up (process start to window shown): ${up}s${up_before:+ (before: ${up_before}s)}"

read -r ocpu orss opss oanon <<<"${result[orvane-mp3]}"
read -r tcpu _ _ _ <<<"${result[orvane-mp3-tray]}"
read -r vcpu _ _ _ <<<"${result[vlc]}"
up_cmp=$up; [ "$up" != nan ] || up_cmp=99  # no window at all: the start-up goal is missed
floors=""
for f in mp3 mp3-pulse aac ogg; do
    read -r c _ _ _ <<<"${result[orvane-$f]}"
    read -r fc _ _ _ <<<"${result[floor-$f]}"
    floors="$floors $f ${c}/${fc}s $(verdict "$c <= $fc")"
done
echo "summary: ${seconds}s x${runs} median: MP3 peak RSS $(mib "$orss") MiB (<=45 $(verdict "$orss <= 45*1024")), PSS $(mib "$opss") MiB (<=25 $(verdict "$opss <= 25*1024")), private $(mib "$oanon") MiB (<=12 $(verdict "$oanon <= 12*1024")), CPU hidden ${tcpu}s vs VLC ${vcpu}s ($(verdict "$tcpu <= $vcpu")), shown ${ocpu}s, vs floor:${floors}, start-up ${up}s (<=0.35 $(verdict "$up_cmp <= 0.35"))"
