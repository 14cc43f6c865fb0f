# SPDX-License-Identifier: GPL-3.0-or-later
# Shell side of the test Icecast server, for end-to-end scripts and benchmarks: the same
# configuration (icecast.xml.in) as the C++ IcecastFixture. Source this file, then:
#
#   icecast_start WORKDIR          server on a free 127.0.0.1 port: sets ICECAST_PORT, ICECAST_PID
#   icecast_source MOUNT [NAME]    live 128 kbit/s MP3 sine source: sets ICECAST_SOURCE_PID
#   icecast_pcm_source MOUNT NAME CMD...
#                                  the same, encoding what CMD writes (s16le, 44100 Hz, stereo);
#                                  ICECAST_SOURCE_PID is the encoder, and CMD ends with it
#   icecast_restart                the server again, on the same port, after it was stopped
#   icecast_stop                   stops what they started
#
# Admin user "admin", password $ICECAST_ADMIN_PASSWORD; the source password is
# $ICECAST_SOURCE_PASSWORD. Icecast will not run as root, so as root it drops to icecast2.

ICECAST_SOURCE_PASSWORD=testsource
ICECAST_ADMIN_PASSWORD=testadmin
ICECAST_TEMPLATE="$(dirname "${BASH_SOURCE[0]}")/icecast.xml.in"

icecast_free_port() {  # a random port on which nothing answers
    local p
    while :; do
        p=$(shuf -i 20000-60000 -n 1)
        (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return; }
    done
}

icecast_wait() {  # icecast_wait SECONDS COMMAND...: true once COMMAND succeeds
    local deadline=$((SECONDS + $1)); shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
}

icecast_start() {
    local work="$1" security="<chroot>0</chroot>" attempt
    mkdir -p "$work/icecast-log" "$work/icecast-web"
    # The status pages (status-json.xsl ...) are served from the webroot; static files that a
    # test puts in $work/icecast-web are served beside them.
    ln -sf /usr/share/icecast2/web/* "$work/icecast-web/"
    if [ "$(id -u)" -eq 0 ]; then
        security="$security<changeowner><user>icecast2</user><group>icecast</group></changeowner>"
        chown icecast2:icecast "$work/icecast-log"
        chmod 755 "$work"
    fi
    # A port picked a moment ago can be taken before Icecast binds it, and Icecast has (rarely)
    # died right after starting: try again a few times, on a fresh port.
    for attempt in 1 2 3; do
        ICECAST_PORT="$(icecast_free_port)"
        sed -e "s|@PORT@|$ICECAST_PORT|" -e "s|@SOURCE_PASSWORD@|$ICECAST_SOURCE_PASSWORD|g" \
            -e "s|@ADMIN_PASSWORD@|$ICECAST_ADMIN_PASSWORD|" -e "s|@LOGDIR@|$work/icecast-log|" \
            -e "s|@WEBROOT@|$work/icecast-web|" -e "s|@SECURITY@|$security|" \
            "$ICECAST_TEMPLATE" >"$work/icecast.xml"
        ICECAST_CONFIG="$work/icecast.xml"
        icecast2 -c "$ICECAST_CONFIG" >/dev/null 2>&1 &
        ICECAST_PID=$!
        if icecast_wait 10 curl -sf "http://127.0.0.1:$ICECAST_PORT/status-json.xsl"; then
            return 0
        fi
        kill -TERM "$ICECAST_PID" 2>/dev/null || true
        wait "$ICECAST_PID" 2>/dev/null || true
        echo "icecast.sh: icecast2 did not answer on port $ICECAST_PORT (try $attempt)" >&2
    done
    return 1
}

icecast_source() {
    local mount="$1" name="${2:-Test Radio}"
    gst-launch-1.0 -q audiotestsrc is-live=true ! audioconvert ! \
        lamemp3enc target=bitrate bitrate=128 cbr=true ! \
        shout2send ip=127.0.0.1 port="$ICECAST_PORT" password="$ICECAST_SOURCE_PASSWORD" \
        mount="$mount" streamname="$name" >/dev/null 2>&1 &
    ICECAST_SOURCE_PID=$!
    icecast_wait 10 sh -c "curl -s http://127.0.0.1:$ICECAST_PORT/status-json.xsl | grep -q '$mount'"
}

icecast_pcm_source() {
    local mount="$1" name="$2"
    shift 2
    "$@" | gst-launch-1.0 -q fdsrc fd=0 blocksize=1764 ! \
        rawaudioparse format=pcm pcm-format=s16le sample-rate=44100 num-channels=2 ! \
        audioconvert ! lamemp3enc target=bitrate bitrate=128 cbr=true ! \
        shout2send ip=127.0.0.1 port="$ICECAST_PORT" password="$ICECAST_SOURCE_PASSWORD" \
        mount="$mount" streamname="$name" >/dev/null 2>&1 &
    ICECAST_SOURCE_PID=$!
    icecast_wait 10 sh -c "curl -s http://127.0.0.1:$ICECAST_PORT/status-json.xsl | grep -q '$mount'"
}

icecast_restart() {
    icecast2 -c "$ICECAST_CONFIG" >/dev/null 2>&1 &
    ICECAST_PID=$!
    icecast_wait 10 curl -sf "http://127.0.0.1:$ICECAST_PORT/status-json.xsl"
}

icecast_stop() {
    local p
    for p in ${ICECAST_SOURCE_PID:-} ${ICECAST_PID:-}; do
        kill -CONT "$p" 2>/dev/null || true
        kill -TERM "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
    ICECAST_SOURCE_PID=
    ICECAST_PID=
}
