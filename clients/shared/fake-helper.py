#!/usr/bin/env python3
"""A stand-in for the helper, for both clients' tests: after the banner, FAKE_SCENARIO's lines and frames.
A frame's left sample is its stream index, its right sample says which segment and source it is of."""

import json
import os
import signal
import struct
import sys
import threading
import time

CASES = json.load(open(os.path.join(os.path.dirname(__file__), "protocol-cases.json")))
signal.signal(signal.SIGTERM, lambda *_: os._exit(0))  # as the helper ends on SIGTERM: status 0


def line(text):
    os.write(2, (text + "\n").encode())


def write(data):
    while data:
        data = data[os.write(1, data) :]


def frames(first, count, segment):
    return struct.pack(f"<{2 * count}f", *(v for i in range(first, first + count) for v in (i, segment)))


# The source lines the burst writes before some of its segment lines, and the source each names.
SOURCES = {40: ("  > call capture started: mic", 2), 80: ("  > system tap started", 0), 120: ("  > input capture started: mic", 1), 160: ("  > call capture started: mic", 2)}
MERGED = 130  # the second half of this segment is of merged segment lines


def burst():
    """Segment lines each right before its frames, the first segment's in writes that end inside a frame,
    a source line before some; once all were read, a late line for the last 100 frames, one older than the
    last segment, 1000 frames more; then a line with no frame after it, which tells how many there were,
    and the end (status 0). A frame's right sample is its segment's number plus 1000 times its source's
    (0 system, 1 input, 2 call), or -1 in a range whose segment lines were merged."""
    line("  segment: frame=0 rate=48000.0 clock_ns=-1000")
    first = frames(0, 1000, 0)
    for start, end in ((0, 3), (3, 10), (10, len(first))):
        write(first[start:end])
        time.sleep(0.02)
    frame, writes, source = 1000, [], 0
    for k in range(1, 200):  # made first: nothing slows the writes below
        count, source = 1 + k * 7919 % 3001, SOURCES[k][1] if k in SOURCES else source
        half = count // 2 if k == MERGED else count
        writes.append((k, frame, frames(frame, half, k + 1000 * source) + frames(frame + half, count - half, -1), half))
        frame += count
    for k, start, data, half in writes:
        if k in SOURCES:
            line(SOURCES[k][0])
        line(f"  segment: frame={start} rate={'44100.0' if k % 2 else '48000.0'} clock_ns={k * 10**9}")
        write(data[: 8 * half])
        if k == MERGED:
            line(f"  ! segment lines merged: 2 starts between frames {start + half} and {start + len(data) // 8}")
        write(data[8 * half :])
    time.sleep(0.3)
    line(f"  segment: frame={frame - 100} rate=44100.0 clock_ns={200 * 10**9}")
    line(f"  segment: frame={frame - 1000} rate=16000.0 clock_ns={300 * 10**9}")
    time.sleep(0.05)
    write(frames(frame, 1000, 200 + 1000 * source))
    line(f"  segment: frame={frame + 1000} rate=48000.0 clock_ns={201 * 10**9}")
    sys.exit(0)


def flood():
    """Audio as fast as the pipe takes it, and a line every 5 ms telling how many bytes went."""
    line("  segment: frame=0 rate=48000.0 clock_ns=0")
    written = [0]

    def tell():
        while True:
            line(f"  fake wrote {written[0]}")
            time.sleep(0.005)

    threading.Thread(target=tell, daemon=True).start()
    for first in range(0, 2_000_000, 4096):
        write(frames(first, 4096, 0))
        written[0] = (first + 4096) * 8


def commands():
    """The n-th command but LIST gets the lines of the n-th case of protocol-cases.json with a command."""
    answers = iter(case for case in CASES["cases"] if "command" in case)
    for text in map(str.strip, sys.stdin):
        if text == "LIST":
            line(CASES["fence"])
        elif text == "INPUT slow":  # answered after the caller gave up
            time.sleep(0.3)
            line("  x input device not found: slow")
        elif (case := next(answers, {})).get("command") == text:
            for answer in case["lines"]:
                if not answer.startswith("F "):  # frames read, in the cases the parsers take alone
                    line(answer.removeprefix("A "))
        else:
            line(f"unknown cmd: {text}")


for text in ("  output device channels: 2, level correction x1.0", "  rates: output=48000.0 aggregate=48000.0", CASES["fence"]):
    line(text)
line("  > streaming (system). commands: SYSTEM | INPUT <uid> | LIST")
time.sleep(0.05)  # for the test to listen to events once start has returned
{"burst": burst, "flood": flood, "commands": commands}[os.environ["FAKE_SCENARIO"]]()
signal.pause()
