# SPDX-License-Identifier: GPL-3.0-or-later
"""Helpers of bench/recovery.sh (Python's standard library only).

  gen T0                 a live two-tone source on stdout (s16le, 44100 Hz, stereo): a steady
                         441 Hz reference and a 1050 Hz tone whose loudness rises over 63.99 s,
                         so that any stretch of the decoded audio tells when it was produced.
  watch LOG T0           follows a raw recording on stdin (s16le stereo 44100) every 10 ms and
                         logs "on T", "off T" (audio starts / stops) and "lag T S" (seconds
                         behind live) twice a second, T being wall-clock time.
  report LANE_DIR...     the table: medians over runs of each player's lane directories.
  firstbyte URL [N]      the server's own share of the first audio: N fresh connections with a
                         plain GET on a raw socket, each timed from connect to the end of the
                         response headers and to the first byte of the body; prints the medians.
"""
import array
import math
import os
import signal
import socket
import statistics
import sys
import time

RATE = 44100
# Seconds of the time code's sawtooth. Not a whole number of the two tones' common cycle (2,100
# samples), so the programme never repeats sample for sample, as no station's does: with 64 s the
# encoder sent the same bytes 64 s later, and a player that splices connections by their bytes
# rightly took the audio after a 60 s server stop for audio it already had.
PERIOD = 63.99
REF_HZ, CODE_HZ = 441.0, 1050.0
REF_AMP = 0.4


def code_amp(t):
    return 0.05 + 0.4 * ((t % PERIOD) / PERIOD)


def gen(t0):
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # the encoder went away: end quietly
    ref = [math.sin(2 * math.pi * REF_HZ * i / RATE) for i in range(100)]
    code = [math.sin(2 * math.pi * CODE_HZ * i / RATE) for i in range(42)]
    out = sys.stdout.buffer
    n = int((time.time() - t0) * RATE)  # a live source starts at now
    block = 441
    while True:
        # Produces what wall-clock time asks for; a blocked pipe leaves a backlog that goes out
        # as fast as it can afterwards, like a live encoder behind a stalled server.
        target = int((time.time() - t0) * RATE) + RATE // 20
        while n < target:
            amp = code_amp(n / RATE)
            buf = array.array("h")
            for i in range(n, n + block):
                v = int(32767 * (REF_AMP * ref[i % 100] + amp * code[i % 42]))
                buf.append(v)
                buf.append(v)
            out.write(buf.tobytes())
            n += block
        out.flush()
        time.sleep(0.01)


def goertzel(samples, hz):
    w = 2 * math.pi * hz / RATE
    c = 2 * math.cos(w)
    s1 = s2 = 0.0
    for x in samples:
        s0 = x + c * s1 - s2
        s2, s1 = s1, s0
    return math.sqrt(max(s1 * s1 + s2 * s2 - c * s1 * s2, 0.0))


def watch(log_path, t0):
    log = open(log_path, "a", buffering=1)
    on = False
    pending = b""
    tail = array.array("h")
    last_lag = 0.0
    while True:
        chunk = os.read(0, 1764)  # 10 ms, or whatever the recorder has
        if not chunk:
            return
        now = time.time()
        data = pending + chunk
        cut = len(data) - len(data) % 4
        data, pending = data[:cut], data[cut:]
        if data:
            a = array.array("h", data)
            loud = max(abs(min(a)), abs(max(a))) > 20
            if loud != on:
                on = loud
                log.write("%s %.3f\n" % ("on" if on else "off", now))
            tail.extend(a[::2])
            if len(tail) > RATE:
                del tail[: len(tail) - RATE]
            if on and now - last_lag >= 0.5 and len(tail) >= 4410:
                last_lag = now
                win = tail[-4410:]
                r, c = goertzel(win, REF_HZ), goertzel(win, CODE_HZ)
                if r > 0:
                    phase = (c / r * REF_AMP - 0.05) / 0.4
                    if 0.03 < phase < 0.97:
                        produced = phase * PERIOD
                        lag = ((now - t0) - produced) % PERIOD
                        log.write("lag %.3f %.2f\n" % (now, lag))


def load(lane):
    events, lags, faults, play = [], [], [], None
    for line in open(os.path.join(lane, "audio.log")):
        p = line.split()
        if p[0] in ("on", "off"):
            events.append((float(p[1]), p[0] == "on"))
        elif p[0] == "lag":
            lags.append((float(p[1]), float(p[2])))
    for line in open(os.path.join(lane, "faults.log")):
        p = line.split()
        if p[0] == "play":
            play = float(p[1])
        elif p[0] == "fault":
            faults.append((p[1], float(p[2]), float(p[3])))
    return events, lags, faults, play


def analyse(lane):
    events, lags, faults, play = load(lane)
    result = {}
    first = next((t for t, on in events if on and t >= play), None) if play else None
    result["first audio after PLAY"] = (None, first - play if first else None, None)
    for i, (name, start, end) in enumerate(faults):
        before = [on for t, on in events if t < start]
        if not before or not before[-1]:
            result[name] = (None, None, None)  # silent already: the player had given up
            continue
        # Up to the next fault only: a fault that never silenced the player must not be charged
        # with the silence of the next one.
        until = faults[i + 1][1] if i + 1 < len(faults) else math.inf
        window = [(t, on) for t, on in events if start <= t < until]
        silence, off_at, back = 0.0, None, None
        was_on = True
        for t, on in [(start, True)] + window:
            if not on and was_on:
                off_at = t
            if on and not was_on and off_at is not None:
                silence += t - off_at
                if t >= end - 0.05 and back is None:
                    back = max(0.0, t - end)
                    break
                off_at = None
            was_on = on
        if back is None and off_at is None:
            back = 0.0  # never went silent
        elif back is None:
            silence = None  # never came back
        ref = end + (back or 0.0) + 10.0
        # The time code cannot be read for 4 s around each wrap of its sawtooth: look wider.
        near = [lag for t, lag in lags if abs(t - ref) <= 2.5]
        result[name] = (silence, back, statistics.median(near) if near else None)
    return result


def report(lanes):
    by_player = {}
    for lane in lanes:
        player = os.path.basename(os.path.normpath(lane)).split("-")[0]
        try:
            by_player.setdefault(player, []).append(analyse(lane))
        except (OSError, ValueError, StopIteration):
            pass
    players = sorted(by_player)
    rows = []
    for runs in by_player.values():
        for r in runs:
            rows += [k for k in r if k not in rows]

    def med(values):
        values = [v for v in values if v is not None]
        return "%.2f" % statistics.median(values) if values else "-"

    print("%-26s" % "fault (median of runs)" + "".join("| %-26s" % p for p in players))
    print("%-26s" % "" + "| silence s / back s / lag s " * len(players))
    for row in rows:
        cells = []
        for p in players:
            got = [r[row] for r in by_player[p] if row in r]
            cells.append("%6s / %6s / %6s" % tuple(med([g[i] for g in got]) for i in range(3)))
        print("%-26s" % row + "".join("| %-26s" % c for c in cells))


def firstbyte(url, n):
    rest = url.split("://", 1)[1]
    hostport, _, path = rest.partition("/")
    host, _, port = hostport.partition(":")
    heads, bodies = [], []
    for _ in range(n):
        t0 = time.monotonic()
        with socket.create_connection((host, int(port or 80)), timeout=10) as sock:
            sock.sendall(
                ("GET /%s HTTP/1.0\r\nHost: %s\r\nIcy-MetaData: 1\r\n\r\n" % (path, hostport))
                .encode()
            )
            got, head = b"", None
            while True:
                chunk = sock.recv(65536)
                if not chunk:
                    break
                got += chunk
                if head is None and b"\r\n\r\n" in got:
                    head = time.monotonic() - t0
                if head is not None and len(got) > got.index(b"\r\n\r\n") + 4:
                    heads.append(head)
                    bodies.append(time.monotonic() - t0)
                    break
        time.sleep(0.2)
    if not bodies:
        print("server: no body from %s" % url)
        return
    print(
        "server: headers %.0f ms, first body byte %.0f ms after connect (median of %d; %.0f-%.0f ms)"
        % (1000 * statistics.median(heads), 1000 * statistics.median(bodies), len(bodies),
           1000 * min(bodies), 1000 * max(bodies))
    )


if __name__ == "__main__":
    cmd = sys.argv[1]
    if cmd == "gen":
        gen(float(sys.argv[2]))
    elif cmd == "watch":
        watch(sys.argv[2], float(sys.argv[3]))
    elif cmd == "report":
        report(sys.argv[2:])
    elif cmd == "firstbyte":
        firstbyte(sys.argv[2], int(sys.argv[3]) if len(sys.argv) > 3 else 15)
