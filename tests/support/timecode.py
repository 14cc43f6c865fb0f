# SPDX-License-Identifier: GPL-3.0-or-later
"""A time-coded live source and the decoder that reads it back from what a player played.

Every 100 ms slot of the programme carries its own number: a steady pilot tone plus four
tones, one out of sixteen in each of four groups, that spell the slot number (three hex digits,
so it wraps every 409.6 s) and a check digit. Each tone sits exactly on a bin of a 1024-point
FFT, so a short window tells the sixteen candidates of a group apart, whatever the volume, and
a window that straddles two slots fails the check instead of reading a wrong number. Slot k
holds the samples k*4410 .. k*4410+4409 counted from T0, so every process that generates with
the same T0 speaks the same code.

  gen T0 [--log FILE]       live source on stdout (s16le, 44100 Hz, stereo), paced by the wall
                            clock; a blocked pipe leaves a backlog that goes out as fast as the
                            pipe takes it, like a live encoder behind a stalled server. The log
                            says which slots were written when ("start T N", then "T K": by T
                            every slot below K was written).
  record LOG [--device D]   records a PulseAudio source (parec, default: stdin) and writes, per
                            10 ms step of the recording, what was heard ("s STEP LABEL": a slot
                            number modulo 4096, -1 silence, -2 sound that is not the programme),
                            and how the samples arrived ("c SAMPLES TIME"), to map steps onto
                            the wall clock afterwards.
  decode RAW                the slot numbers (modulo 4096) a raw recording holds, as runs.
  wait LOG T0 SECONDS CONDITION
                            polls LOG until CONDITION holds, or fails after SECONDS:
                              heard-after T S   S seconds of programme heard after wall time T
                              slot-past T S     heard programme produced more than S s after T
  check LOG T0 GENLOG FAULT...
                            what a listener heard around each FAULT ("NAME START END STATION_SILENCE");
                            prints a line per fault, exits 1 if a slot was heard twice or a
                            silence lasted longer than the station's own silence minus what was
                            buffered, plus 0.25 s.
  timeline LOG T0 [FROM [TO]]
                            what was heard, as runs of slots and silences (wall times FROM, TO)
  selftest                  a clean encode/decode round trip through MP3 128 kbit/s.

The analysis (metrics) is also imported by bench/continuity.sh's report.
"""
import os
import signal
import subprocess
import sys
import tempfile
import time

RATE = 44100
SLOT = 4410  # samples per slot (100 ms)
STEP = 441  # samples per analysis step (10 ms)
WIN = 1024  # analysis window; every tone lies on one of its bins
PILOT_BIN = 12  # 517 Hz
BASE_BIN, SPACING, GROUPS = 24, 3, 4  # code tones: 1034 Hz to 9173 Hz, 129 Hz apart
PERIOD = 16**3  # slots before the code wraps
PILOT_AMP, CODE_AMP = 0.2, 0.14
FADE = 132  # samples (3 ms) of crossfade where a digit changes, so the change does not click
SILENT, NOISE = -1, -2
LOUD = 16  # peak (s16) below which a step is silence: a null sink records exact zeros


def code_bins(slot):
    """The four tone bins of a slot (numpy array of slots in, array of shape (n, 4) out)."""
    import numpy as np

    s = np.asarray(slot, dtype=np.int64) % PERIOD
    d = np.stack([s & 15, (s >> 4) & 15, (s >> 8) & 15], axis=-1)
    # Odd weights are invertible modulo 16: any one wrong digit changes the check digit.
    check = (d[..., 0] + 3 * d[..., 1] + 5 * d[..., 2] + 7) & 15
    digits = np.concatenate([d, check[..., None]], axis=-1)
    return BASE_BIN + SPACING * (GROUPS * digits + np.arange(GROUPS))


def synth(n0, count):
    """Samples n0 .. n0+count-1 of the programme, as floats in [-1, 1]."""
    import numpy as np

    table = np.sin(2 * np.pi * np.arange(WIN) / WIN)
    n = np.arange(n0, n0 + count, dtype=np.int64)
    slot, pos = n // SLOT, n % SLOT
    out = PILOT_AMP * table[(PILOT_BIN * n) % WIN]
    cur, prev = code_bins(slot), code_bins(slot - 1)
    w_in = np.sin(np.pi / 2 * np.clip(pos / FADE, 0.0, 1.0)) ** 2
    for g in range(GROUPS):
        same = cur[:, g] == prev[:, g]
        a_in = np.where(same, 1.0, w_in)
        a_out = np.where(same, 0.0, 1.0 - w_in)
        out += CODE_AMP * (a_in * table[(cur[:, g] * n) % WIN] + a_out * table[(prev[:, g] * n) % WIN])
    return out


def to_s16_stereo(x):
    import numpy as np

    v = np.round(x * 32767).astype("<i2")
    return np.repeat(v, 2).tobytes()


def gen(t0, log_path=None):
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # the encoder went away: end quietly
    log = open(log_path, "a", buffering=1) if log_path else None
    out = sys.stdout.buffer
    n = int((time.time() - t0) * RATE)  # a live source starts at now
    if log:
        log.write("start %.3f %d\n" % (time.time(), n))
    while True:
        target = int((time.time() - t0) * RATE) + RATE // 20
        while n < target:
            # Up to the next slot boundary at a time, so the log knows when each slot left.
            count = min(target - n, SLOT - n % SLOT)
            out.write(to_s16_stereo(synth(n, count)))
            out.flush()
            n += count
            if log and n % SLOT == 0:
                log.write("%.3f %d\n" % (time.time(), n // SLOT))
        time.sleep(0.01)


class Decoder:
    """Labels every 10 ms step of a recording fed to it in pieces of any size."""

    def __init__(self):
        import numpy as np

        self.np = np
        self.buf = np.zeros(0)
        self.base = 0  # sample index of buf[0]
        self.next_step = 0
        self.window = np.hanning(WIN)
        self.bins = code_bins(np.arange(16 ** 3))  # bins of every code word
        self.group_bins = BASE_BIN + SPACING * (GROUPS * np.arange(16)[:, None] + np.arange(GROUPS))
        self.total = 0

    def feed(self, mono):
        """Appends samples; returns the labels of the steps now complete."""
        np = self.np
        self.buf = np.concatenate([self.buf, mono])
        self.total += len(mono)
        half = (WIN - STEP) // 2
        labels = []
        # Step k covers samples k*STEP .. k*STEP+STEP-1; its window is centred on it. The first
        # steps see a zero-padded window.
        last = (self.base + len(self.buf) - (WIN - half)) // STEP
        if last < self.next_step:
            return labels
        ks = np.arange(self.next_step, last + 1)
        starts = ks * STEP - half - self.base
        pad = max(0, -int(starts.min()))
        buf = np.concatenate([np.zeros(pad), self.buf]) if pad else self.buf
        idx = (starts + pad)[:, None] + np.arange(WIN)
        frames = buf[idx]
        core = frames[:, half : half + STEP]
        loud = np.abs(core).max(axis=1) * 32768 > LOUD
        power = np.abs(np.fft.rfft(frames * self.window, axis=1)) ** 2
        labels = self._classify(power, loud)
        self.next_step = last + 1
        keep = self.next_step * STEP - half - self.base
        if keep > 0:
            self.buf = self.buf[keep:]
            self.base += keep
        return list(zip(ks.tolist(), labels))

    def _classify(self, power, loud):
        np = self.np
        e = power[:, self.group_bins]  # (steps, 16 digits, 4 groups)
        order = np.sort(e, axis=1)
        top, second = order[:, -1, :], order[:, -2, :]
        digits = np.argmax(e, axis=1)
        confident = (top > 6.0 * second).all(axis=1)
        # The pilot and the four code tones hold most of the window's energy (a Hann window
        # leaves two thirds of a tone in its own bin): otherwise this is some other sound, or
        # two slots mixed.
        ours = (top.sum(axis=1) + power[:, PILOT_BIN]) > 0.4 * power.sum(axis=1)
        slot = digits[:, 0] + 16 * digits[:, 1] + 256 * digits[:, 2]
        valid = (self.bins[slot] == BASE_BIN + SPACING * (GROUPS * digits + np.arange(GROUPS))).all(axis=1)
        return np.where(~loud, SILENT, np.where(confident & ours & valid, slot, NOISE)).tolist()


def s16_stereo_to_mono(data):
    import numpy as np

    a = np.frombuffer(data, dtype="<i2").astype(np.float64) / 32768.0
    return a.reshape(-1, 2).mean(axis=1)


def record(log_path, device=None):
    proc = None
    if device:
        # Latency of 50 ms: the sound server keeps up to seconds of audio for a late reader, so
        # none is dropped; the arrival times below are mapped back onto the samples afterwards.
        proc = subprocess.Popen(
            ["parec", "-d", device, "--raw", "--format=s16le", "--rate=%d" % RATE, "--channels=2",
             "--latency-msec=50"], stdout=subprocess.PIPE)
        src = proc.stdout.fileno()
    else:
        src = 0
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    log = open(log_path, "a")
    dec = Decoder()
    pending, samples = b"", 0
    try:
        while not stop:
            try:
                chunk = os.read(src, 65536)
            except InterruptedError:
                continue
            if not chunk:
                break
            now = time.time()
            data = pending + chunk
            cut = len(data) - len(data) % 4
            data, pending = data[:cut], data[cut:]
            samples += len(data) // 4
            lines = ["c %d %.4f\n" % (samples, now)]
            lines += ["s %d %d\n" % kl for kl in dec.feed(s16_stereo_to_mono(data))]
            log.write("".join(lines))
            log.flush()
    finally:
        log.close()
        if proc:
            proc.terminate()
            proc.wait()


def decode_raw(path):
    with open(path, "rb") as f:
        data = f.read()
    data = data[: len(data) - len(data) % 4]
    return Decoder().feed(s16_stereo_to_mono(data))


# --- Analysis -------------------------------------------------------------------------------------


def unwrap(label, ref):
    """The slot nearest to ref whose number modulo PERIOD is label."""
    return ref + (label - ref + PERIOD // 2) % PERIOD - PERIOD // 2


class Recording:
    """A record log, with each step placed on the wall clock."""

    def __init__(self, path, t0):
        clock, steps = [], []
        with open(path) as f:
            for line in f:
                p = line.split()
                if len(p) != 3:
                    continue  # a line cut short by the end of the recording
                if p[0] == "c":
                    clock.append((int(p[1]), float(p[2])))
                elif p[0] == "s":
                    steps.append((int(p[1]), int(p[2])))
        self.t0 = t0
        # Samples arrive some time after they were played, never before: the lowest offset
        # (arrival time minus the samples' own duration) over a few seconds is the true one.
        # It must stay the same throughout; a rise that stays means samples were dropped.
        self.buckets = {}
        for n, t in clock:
            off = t - n / RATE
            b = int(t // 5)
            self.buckets[b] = min(self.buckets.get(b, off), off)
        # (A null sink that nothing played into yet renders its first block late: the first
        # seconds do not count.)
        settled = [off for b, off in self.buckets.items() if b > min(self.buckets) + 1]
        self.drift = max(settled) - min(settled) if settled else 0.0
        self.steps = []  # (wall time of the step's start, label: slot, SILENT or NOISE)
        for k, label in steps:
            t = self._time(k * STEP)
            if label >= 0:
                label = unwrap(label, int((t - t0) * 10) - 100)
            self.steps.append((t, label))
        self.samples = clock[-1][0] if clock else 0

    def _time(self, n):
        guess = n / RATE + next(iter(self.buckets.values()))
        b = int(guess // 5)
        near = [self.buckets[i] for i in (b - 1, b, b + 1) if i in self.buckets]
        return n / RATE + (min(near) if near else min(self.buckets.values()))

    def between(self, start, end):
        return [(t, lab) for t, lab in self.steps if start <= t < end]


def runs(steps):
    """Groups steps into runs: (start, end, label), where a slot needs two steps to count and
    sound that cannot be read inside a slot's run belongs to it."""
    out = []
    for i, (t, lab) in enumerate(steps):
        end = steps[i + 1][0] if i + 1 < len(steps) else t + STEP / RATE
        if out and out[-1][2] == lab:
            out[-1][1] = end
        else:
            out.append([t, end, lab])
    # A lone step of a slot is a misread at a boundary: it becomes noise.
    for r in out:
        if r[2] >= 0 and r[1] - r[0] < 1.5 * STEP / RATE:
            r[2] = NOISE
    merged = []
    for r in out:
        if merged and merged[-1][2] == r[2]:
            merged[-1][1] = r[1]
        else:
            merged.append(list(r))
    return [tuple(r) for r in merged]


def produced_slots(gen_log):
    """{slot: wall time when it had been written}, from the source's log."""
    out, first = {}, None
    with open(gen_log) as f:
        for line in f:
            p = line.split()
            if p[0] == "start":
                first = int(p[2]) // SLOT  # slot partly written at start
            elif len(p) == 2 and first is not None:
                t, k = float(p[0]), int(p[1])
                for s in range(first, k):
                    out.setdefault(s, t)
                first = k
    return out


def metrics(rec, start, end, stop, sent=None, produced=None, play=None, since=None):
    """What a listener heard of a fault from `start` to `end`, watched until `stop`. Repeats and
    skips count from `since` (1 s before `start` unless given), silences from `start`.

    heard twice: 0.1 s for every slot heard again after the programme had moved past it.
    skipped: 0.1 s for every slot jumped over that this player was sent (every slot the source
      produced when `sent` is None); `never` counts the ones it was not.
    silence: the longest run of silent steps that overlaps the fault's window.
    back: from `end` to the first programme heard at or after it (0 if playing at `end`).
    lag: how far behind the source, 10 s after audio came back (seconds).
    buffered: programme heard from `start` until the first silence, if any.
    """
    since = start - 1 if since is None else since
    steps = rec.between(play if play is not None else start - 30, stop)
    rs = runs(steps)
    heard, twice, skipped, never = set(), set(), set(), set()
    last, top = None, None
    for t0, t1, lab in rs:
        if lab < 0:
            continue
        if lab != last and lab in heard and t0 >= since:
            twice.add(lab)
        if top is not None and lab > top + 1 and t0 >= since:
            for s in range(top + 1, lab):
                if s in heard:
                    continue
                if sent is None:
                    (skipped if produced is None or s in produced else never).add(s)
                else:
                    (skipped if s in sent else never).add(s)
        heard.add(lab)
        last = lab
        top = lab if top is None else max(top, lab)
    silence, first_silence = 0.0, None
    for t0, t1, lab in rs:
        if lab == SILENT and t1 > start and t0 < stop:
            silence = max(silence, t1 - t0)
            if first_silence is None:
                first_silence = t0
    back = None
    for t0, t1, lab in rs:
        if lab >= 0 and t1 > end:
            back = max(0.0, t0 - end)
            break
    buffered = sum(t1 - t0 for t0, t1, lab in rs
                   if lab != SILENT and t0 >= start and (first_silence is None or t1 <= first_silence))
    lag = None
    if back is not None and produced:
        at = end + back + 10
        now_heard = [lab for t, lab in steps if at <= t < at + 0.5 and lab >= 0]
        made = [s for s, t in produced.items() if t <= at]
        if now_heard and made:
            lag = (max(made) - now_heard[0]) / 10.0
    return {
        "twice": len(twice) / 10.0,
        "twice_slots": sorted(twice),
        "skipped": len(skipped) / 10.0,
        "never": len(never) / 10.0,
        "silence": round(silence, 3),
        "back": None if back is None else round(back, 3),
        "lag": lag,
        "buffered": round(buffered, 3),
    }


def spans(slots):
    """'a-b, c' for a sorted list of slots."""
    out, run = [], []
    for s in slots:
        if run and s == run[-1] + 1:
            run.append(s)
        else:
            if run:
                out.append(run)
            run = [s]
    if run:
        out.append(run)
    return ", ".join("%d" % r[0] if len(r) == 1 else "%d-%d" % (r[0], r[-1]) for r in out)


def timeline(rec, start, end, origin):
    """What was heard from `start` to `end`, a line per stretch: the time from `origin`, then a
    run of consecutive slots with how far behind the wall clock its first one was, or a silence."""
    out, cur = [], None
    for t, t1, lab in runs(rec.between(start, end)):
        if lab == NOISE or (lab == SILENT and t1 - t < 0.03):
            continue
        if lab >= 0 and cur and lab == cur[1] + 1:
            cur[1], cur[3] = lab, t1
            continue
        if cur:
            out.append(cur)
        cur = [lab, lab, t, t1] if lab >= 0 else None
        if lab == SILENT:
            out.append([SILENT, None, t, t1])
    if cur:
        out.append(cur)
    lines = []
    for a, b, t, t1 in out:
        if a == SILENT:
            lines.append("%+8.2f s  silence %.2f s" % (t - origin, t1 - t))
        else:
            behind = t - (rec.t0 + a / 10.0)
            lines.append("%+8.2f s  slots %d-%d (%.1f s), %.1f s behind" % (t - origin, a, b, t1 - t, behind))
    return lines


def check(log, t0, gen_log, faults):
    rec = Recording(log, t0)
    produced = produced_slots(gen_log)
    ok = True
    stops = [f[1] for f in faults[1:]] + [rec.steps[-1][0] if rec.steps else 0]
    since = None
    for (name, start, end, station), stop in zip(faults, stops):
        m = metrics(rec, start, end, stop, produced=produced, since=since)
        since = stop
        allowed = max(0.0, station - m["buffered"]) + 0.25
        bad = []
        if m["twice_slots"]:
            bad.append("heard twice: %.1f s (slots %s)" % (m["twice"], spans(m["twice_slots"])))
        if m["silence"] > allowed:
            bad.append("silence %.2f s > %.2f s allowed" % (m["silence"], allowed))
        print("%s %s: heard twice %.1f s, skipped %.1f s, silence %.2f s (buffered %.2f s), "
              "back %s s" % ("FAIL" if bad else "ok", name, m["twice"], m["skipped"], m["silence"],
                             m["buffered"], m["back"]))
        for b in bad:
            print("  " + b)
        if bad:
            print("  what was heard, from the fault's start:")
            for line in timeline(rec, start - 2, stop, start):
                print("    " + line)
        ok = ok and not bad
    if rec.drift > 0.05:
        print("note: the recording fell %.0f ms behind at some point" % (1000 * rec.drift))
    return ok


def wait(log, t0, seconds, cond, args):
    deadline = time.time() + seconds
    while True:
        if os.path.exists(log):
            try:
                rec = Recording(log, t0)
            except (ValueError, IndexError):
                rec = None
            if rec and rec.steps:
                after = float(args[0])
                if cond == "heard-after":
                    heard = sum(1 for t, lab in rec.steps if t >= after and lab >= 0) * STEP / RATE
                    if heard >= float(args[1]):
                        return True
                elif cond == "slot-past":
                    past = int((after - t0 + float(args[1])) * 10)
                    if any(lab >= past for t, lab in rec.steps if t >= after):
                        return True
                else:
                    raise SystemExit("unknown condition " + cond)
        if time.time() >= deadline:
            return False
        time.sleep(0.1)


# --- Round trip ------------------------------------------------------------------------------------


def gst(args, data=None):
    return subprocess.run(["gst-launch-1.0", "-q"] + args, input=data, check=True,
                          stdout=subprocess.PIPE).stdout


def mp3_round_trip(pcm):
    """PCM (s16le stereo) through LAME at 128 kbit/s CBR and back through mpg123."""
    with tempfile.TemporaryDirectory() as d:
        mp3 = os.path.join(d, "x.mp3")
        gst(["fdsrc", "fd=0", "!", "rawaudioparse", "format=pcm", "pcm-format=s16le",
             "sample-rate=%d" % RATE, "num-channels=2", "!", "audioconvert", "!", "lamemp3enc",
             "target=bitrate", "bitrate=128", "cbr=true", "!", "filesink", "location=" + mp3], pcm)
        return gst(["filesrc", "location=" + mp3, "!", "mpegaudioparse", "!", "mpg123audiodec", "!",
                    "audioconvert", "!", "audioresample", "!",
                    "audio/x-raw,format=S16LE,rate=%d,channels=2" % RATE, "!", "fdsink", "fd=1"])


def selftest():
    import numpy as np

    failures = []
    # Starts mid-slot, 3 s before the code wraps, at a player's low volume, and with a cut:
    # 0.5 s of silence, then the programme from 2 s on again (as a player that repeats would).
    n0 = (PERIOD - 30) * SLOT + 1234
    secs = 8
    pcm = to_s16_stereo(synth(n0, secs * RATE))
    back = np.frombuffer(mp3_round_trip(pcm), dtype="<i2").reshape(-1, 2)
    volume = 0.03
    mono = back.mean(axis=1) / 32768.0 * volume
    mono = np.concatenate([np.zeros(777), mono[: 4 * RATE], np.zeros(RATE // 2), mono[2 * RATE :]])
    labels = Decoder().feed(mono)
    steps = [(k * STEP / RATE, unwrap(lab, PERIOD) if lab >= 0 else lab) for k, lab in labels]
    seq = []
    for _, _, lab in runs(steps):
        if lab >= 0 and (not seq or seq[-1] != lab):
            seq.append(lab)
    first = n0 // SLOT
    at = lambda secs_in: (n0 + int(secs_in * RATE)) // SLOT  # noqa: E731
    back_at = next((i for i in range(1, len(seq)) if seq[i] < seq[i - 1]), len(seq))
    parts = [("first part", seq[:back_at], first, at(4)), ("second part", seq[back_at:], at(2), at(secs))]
    for name, part, lo, hi in parts:
        # The decoder may lose the slot at either end of a cut, never one inside.
        if not part or part != list(range(part[0], part[-1] + 1)):
            failures.append("%s read as %s" % (name, part))
        elif not (lo <= part[0] <= lo + 1 and hi - 1 <= part[-1] <= hi):
            failures.append("%s reads slots %d-%d, not %d-%d" % (name, part[0], part[-1], lo, hi))
    silent = sum(1 for _, lab in labels if lab == SILENT) * STEP / RATE
    if not 0.45 <= silent <= 0.6:
        failures.append("%.2f s of silence read, 0.5 s expected" % silent)
    noise = sum(1 for _, lab in labels if lab == NOISE) / len(labels)
    if noise > 0.2:
        failures.append("%.0f%% of steps unreadable" % (100 * noise))
    # The analysis of the same recording: 2 s heard twice, nothing skipped, 0.5 s of silence.
    rec = Recording.__new__(Recording)
    rec.steps = steps
    m = metrics(rec, 0.0, 0.0, 100.0, play=0.0)
    if not (1.9 <= m["twice"] <= 2.1 and m["skipped"] == 0 and 0.45 <= m["silence"] <= 0.6):
        failures.append("analysis: %s" % m)
    # Then with a skip: 1 s of the programme that the server sent is cut out.
    cut0, cut1 = steps[len(steps) // 2][1], steps[len(steps) // 2][1] + 10
    rec.steps = [s for s in steps if not cut0 <= s[1] < cut1]
    m = metrics(rec, 0.0, 0.0, 100.0, play=0.0, sent=set(range(first, first + 200)))
    if not 0.9 <= m["skipped"] <= 1.1:
        failures.append("analysis of a 1 s skip: %s" % m)
    for f in failures:
        print("FAIL: " + f)
    if not failures:
        print("PASS: %d slots through MP3 128 kbit/s at %.0f dB, %.0f%% of steps unreadable" %
              (len(set(seq)), 20 * np.log10(volume), 100 * noise))
    return not failures


def main(argv):
    cmd = argv[1] if len(argv) > 1 else ""
    if cmd == "gen":
        log = argv[argv.index("--log") + 1] if "--log" in argv else None
        gen(float(argv[2]), log)
    elif cmd == "record":
        device = argv[argv.index("--device") + 1] if "--device" in argv else None
        record(argv[2], device)
    elif cmd == "decode":
        for t0, t1, lab in runs([(k * STEP / RATE, lab) for k, lab in decode_raw(argv[2])]):
            print("%.2f %.2f %d" % (t0, t1, lab))
    elif cmd == "wait":
        sys.exit(0 if wait(argv[2], float(argv[3]), float(argv[4]), argv[5], argv[6:]) else 1)
    elif cmd == "check":
        faults = []
        for f in argv[5:]:
            name, start, end, station = f.split()
            faults.append((name, float(start), float(end), float(station)))
        sys.exit(0 if check(argv[2], float(argv[3]), argv[4], faults) else 1)
    elif cmd == "timeline":
        rec = Recording(argv[2], float(argv[3]))
        start = float(argv[4]) if len(argv) > 4 else rec.steps[0][0]
        end = float(argv[5]) if len(argv) > 5 else rec.steps[-1][0] + 1
        print("\n".join(timeline(rec, start, end, start)))
    elif cmd == "selftest":
        sys.exit(0 if selftest() else 1)
    else:
        print(__doc__)
        sys.exit(2)


if __name__ == "__main__":
    main(sys.argv)
