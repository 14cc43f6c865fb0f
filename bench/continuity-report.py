# SPDX-License-Identifier: GPL-3.0-or-later
"""The table of bench/continuity.sh, from its run folders (Python with numpy).

  continuity-report.py [--json FILE] RUN_DIR...

A run folder holds t0 and gen.log (when the source produced each slot), faults.log ("fault NAME
START END STATION_SILENCE") and a folder per player with rec.log (the decoded recording),
events ("play TIME FAULT" / "stop TIME", one pair per fault), and the proxy's log and dumps.
"""
import json
import os
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
import timecode as tc  # noqa: E402

COLUMNS = [
    ("twice", "heard twice s"),
    ("skipped", "skipped, sent s"),
    ("never", "skipped, never sent s"),
    ("silence", "longest silence s"),
    ("excess", "silence beyond fault - buffer + 0.25 s"),
    ("back", "fault end to audio s"),
    ("lag", "behind source +10 s"),
    ("conns", "connections"),
]
NAMES = {"orvane": "Orvane Player", "mpv": "mpv", "vlc": "VLC", "gst": "playbin (gst-launch)"}


def decode_mp3(path):
    if os.path.getsize(path) < 4096:
        return []
    raw = subprocess.run(
        ["gst-launch-1.0", "-q", "filesrc", "location=" + path, "!", "mpegaudioparse", "!",
         "mpg123audiodec", "!", "audioconvert", "!", "audioresample", "!",
         "audio/x-raw,format=S16LE,rate=44100,channels=2", "!", "fdsink", "fd=1"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
    raw = raw[: len(raw) - len(raw) % 4]
    return [lab for _, lab in tc.Decoder().feed(tc.s16_stereo_to_mono(raw)) if lab >= 0]


def connections(lane):
    """[(open time, id)] of the lane's proxy."""
    out = []
    try:
        with open(os.path.join(lane, "proxy.log")) as f:
            for line in f:
                p = line.split()
                if len(p) >= 3 and p[1] == "open":
                    out.append((float(p[0]), p[2]))
    except OSError:
        pass
    return out


def sent_slots(lane, conns, t0, cache):
    """Every slot the server sent on these connections, from the proxy's dumps. A slot counts
    as sent when most of it was (5 of its 10 steps): a source cut off mid-slot sends a sliver of
    it, often part of an MP3 frame that no decoder can play, and that is not a skip."""
    sent = set()
    for opened, cid in conns:
        if cid not in cache:
            path = os.path.join(lane, "dump", cid + ".mp3")
            ref, steps = int((opened - t0) * 10) - 100, {}
            if os.path.exists(path):
                for lab in decode_mp3(path):
                    ref = tc.unwrap(lab, ref)
                    steps[ref] = steps.get(ref, 0) + 1
            cache[cid] = {slot for slot, n in steps.items() if n >= 5}
        sent |= cache[cid]
    return sent


def analyse_run(run):
    t0 = float(open(os.path.join(run, "t0")).read())
    produced = tc.produced_slots(os.path.join(run, "gen.log"))
    faults = []
    for line in open(os.path.join(run, "faults.log")):
        p = line.split()
        faults.append((p[1], float(p[2]), float(p[3]), float(p[4])))
    out = {}
    for player in sorted(os.listdir(run)):
        lane = os.path.join(run, player)
        if not os.path.exists(os.path.join(lane, "rec.log")):
            continue
        rec = tc.Recording(os.path.join(lane, "rec.log"), t0)
        plays, stops = [], []
        for line in open(os.path.join(lane, "events")):
            p = line.split()
            (plays if p[0] == "play" else stops).append(float(p[1]))
        conns, cache = connections(lane), {}
        rows = {}
        for (name, start, end, station), play, stop in zip(faults, plays, stops):
            mine = [c for c in conns if play - 1 <= c[0] < stop]
            sent = sent_slots(lane, mine, t0, cache)
            m = tc.metrics(rec, start, end, stop, sent=sent, produced=produced, play=play)
            m["conns"] = len(mine)
            m["allowed_silence"] = round(max(0.0, station - m["buffered"]) + 0.25, 3)
            m["excess"] = round(max(0.0, m["silence"] - m["allowed_silence"]), 3)
            rows[name] = m
        out[player] = {"faults": rows, "recording_drift_s": round(rec.drift, 3)}
    return out


def median(values):
    got = [v for v in values if v is not None]
    if not got:
        return "never"
    text = "%.2f" % statistics.median(got)
    if len(got) < len(values):
        text += " (%d never)" % (len(values) - len(got))
    return text


def main(argv):
    json_path = None
    if argv[:1] == ["--json"]:
        json_path, argv = argv[1], argv[2:]
    runs = [analyse_run(r) for r in argv]
    if json_path:
        with open(json_path, "w") as f:
            json.dump(runs, f, indent=1)
    players = sorted({p for r in runs for p in r}, key=lambda p: list(NAMES).index(p) if p in NAMES else 9)
    for player in players:
        lanes = [r[player] for r in runs if player in r]
        print("\n### %s (median of %d runs)\n" % (NAMES.get(player, player), len(lanes)))
        print("| fault | " + " | ".join(title for _, title in COLUMNS) + " |")
        print("|---" * (len(COLUMNS) + 1) + "|")
        names = []
        for lane in lanes:
            names += [n for n in lane["faults"] if n not in names]
        for name in names:
            got = [lane["faults"][name] for lane in lanes if name in lane["faults"]]
            cells = [median([g[key] for g in got]) for key, _ in COLUMNS]
            print("| %s | %s |" % (name, " | ".join(cells)))
        drift = max(lane["recording_drift_s"] for lane in lanes)
        if drift > 0.05:
            print("\nThe recording fell up to %.0f ms behind: samples may have been lost." % (1000 * drift))


if __name__ == "__main__":
    main(sys.argv[1:])
