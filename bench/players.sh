# SPDX-License-Identifier: GPL-3.0-or-later
# The listening side of the benchmarks that compare players by what they play (recovery.sh,
# continuity.sh): one private sound server with a null sink per player, an X server for Orvane
# Player's real window, and every player started the same way. Source it after making $work;
# then:
#
#   bench_sound_start              a private PulseAudio that VLC, running as another user, reaches
#                                  too; exports PULSE_SERVER and PULSE_RUNTIME_PATH
#   bench_display_start            Xvfb; exports DISPLAY
#   bench_sink NAME                a null sink NAME (record NAME.monitor)
#   bench_player NAME URL SINK DIR starts NAME (orvane, gst, mpv or vlc) playing URL into SINK and
#                                  clicks PLAY for Orvane Player; DIR holds its logs (and its ini);
#                                  sets BENCH_PLAYER_PID and BENCH_PLAYER_T (when PLAY was given)
#   bench_stop FILE...             stops the processes that the files list, by PID, the last
#                                  started first (a stopped one is continued first), and empties
#                                  the files
#
# BENCH_ORVANE must name the orvaneplayer binary. The caller stops what it starts.

bench_now() { date +%s.%N; }

bench_stop() {
    local p f
    for p in $(cat "$@" 2>/dev/null | tac); do
        kill -CONT "$p" 2>/dev/null || true
        kill -TERM "$p" 2>/dev/null || true
    done
    for p in $(cat "$@" 2>/dev/null); do wait "$p" 2>/dev/null || true; done
    for f; do [ ! -e "$f" ] || : >"$f"; done
}

bench_sound_start() {
    # The socket lies outside the server's own (private) runtime folder, so that VLC, which
    # runs as nobody, reaches it too.
    export PULSE_RUNTIME_PATH="$work/pulse" PULSE_SERVER="unix:$work/native"
    mkdir -p "$PULSE_RUNTIME_PATH" "$work/vlc-home" && chmod 777 "$work/vlc-home"
    HOME="$work/pulse" pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
        --disable-shm=yes --load="module-native-protocol-unix socket=$work/native auth-anonymous=1" \
        >"$work/pulse.log" 2>&1 &
    BENCH_SOUND_PID=$!
    icecast_wait 10 pactl info
}

bench_display_start() {
    local dfd display_no
    exec {dfd}<> <(:)
    Xvfb -displayfd "$dfd" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    BENCH_DISPLAY_PID=$!
    read -r -t 10 -u "$dfd" display_no
    export DISPLAY=":$display_no"
}

bench_sink() {
    pactl load-module module-null-sink sink_name="$1" rate=44100 >/dev/null
}

bench_player() {
    local name="$1" url="$2" sink="$3" dir="$4" win
    mkdir -p "$dir"
    case "$name" in
        orvane)
            mkdir -p "$dir/player"
            echo "Bench Radio,$url" >"$dir/player/orvaneplayer.ini"
            (cd "$dir/player" && PULSE_SINK="$sink" QT_QPA_PLATFORM=xcb exec "$BENCH_ORVANE") \
                >>"$dir/player.log" 2>&1 &
            BENCH_PLAYER_PID=$!
            icecast_wait 15 xdotool search --onlyvisible --pid "$BENCH_PLAYER_PID" --name '^Orvane Player$'
            win="$(xdotool search --onlyvisible --pid "$BENCH_PLAYER_PID" --name '^Orvane Player$' | head -n 1)"
            xdotool mousemove --window "$win" 80 190
            BENCH_PLAYER_T="$(bench_now)"
            xdotool click 1
            ;;
        gst)
            # The floor: a bare playbin, for what the machine's sound path itself costs.
            BENCH_PLAYER_T="$(bench_now)"
            PULSE_SINK="$sink" gst-launch-1.0 -q playbin uri="$url" >>"$dir/player.log" 2>&1 &
            BENCH_PLAYER_PID=$!
            ;;
        mpv)
            BENCH_PLAYER_T="$(bench_now)"
            PULSE_SINK="$sink" mpv --no-config --no-video --ao=pulse --really-quiet "$url" \
                >>"$dir/player.log" 2>&1 &
            BENCH_PLAYER_PID=$!
            ;;
        vlc)
            # VLC refuses to run as root; setpriv runs it as nobody in the same process, so the
            # PID is VLC's own.
            local as=()
            [ "$(id -u)" -ne 0 ] || as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
            BENCH_PLAYER_T="$(bench_now)"
            "${as[@]}" env HOME="$work/vlc-home" PULSE_SERVER="$PULSE_SERVER" PULSE_SINK="$sink" \
                cvlc -q --no-video --aout=pulse "$url" >>"$dir/player.log" 2>&1 &
            BENCH_PLAYER_PID=$!
            ;;
        *)
            echo "unknown player $name" >&2
            return 1
            ;;
    esac
}
