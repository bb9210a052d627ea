#!/usr/bin/env python3
"""A stand-in for the helper, for both clients' tests. FAKE_SCENARIO picks what it writes after the
banner: `burst`, `late`, `flood`, or `commands` (the n-th command other than LIST is answered with the
lines of the n-th case of protocol-cases.json that has a command). A frame's left sample is its stream
index, its right sample the number of its segment line."""

import json
import os
import signal
import struct
import sys
import threading
import time
from pathlib import Path

CASES = json.loads((Path(__file__).parent / "protocol-cases.json").read_text())
signal.signal(signal.SIGTERM, lambda *_: os._exit(0))  # as the helper ends on SIGTERM: status 0


def line(text):
    os.write(2, (text + "\n").encode())


def pack(first, count, segment):
    return struct.pack(f"<{2 * count}f", *(v for i in range(first, first + count) for v in (i, segment)))


def write(data):
    while data:
        data = data[os.write(1, data) :]


def segment(frame, rate, clock_ns):
    line(f"  segment: frame={frame} rate={rate} clock_ns={clock_ns}")


def burst():
    """Segments of odd sizes, each line written right before its frames, so that boundaries fall inside
    reads; the first segment's frames in writes that end inside a frame. The last line, with no frame
    after it, says how many frames there were; then the fake ends with status 0."""
    segment(0, "48000.0", -1000)
    first = pack(0, 1000, 0)
    for start, end in ((0, 3), (3, 10), (10, len(first))):
        write(first[start:end])
        time.sleep(0.02)
    frame, writes = 1000, []
    for k in range(1, 200):  # made first: nothing slows the writes below
        size = 1 + k * 7919 % 3001
        writes.append((k, frame, pack(frame, size, k)))
        frame += size
    for k, start, data in writes:
        segment(start, "44100.0" if k % 2 else "48000.0", k * 1_000_000_000)
        write(data)
        if k % 16 == 0:
            time.sleep(0.001)
    segment(frame, "48000.0", 200_000_000_000)
    sys.exit(0)


def late():
    """The line of frame 1000 comes after frames past it were written and read."""
    segment(0, "48000.0", 5_000_000_000)
    write(pack(0, 2000, 0))
    time.sleep(0.3)
    segment(1000, "44100.0", 7_000_000_000)
    time.sleep(0.05)
    write(pack(2000, 1000, 1))


def flood():
    """Audio as fast as the pipe takes it, and a line every 5 ms saying how many bytes went."""
    segment(0, "48000.0", 0)
    written = [0]

    def tell():
        while True:
            line(f"  fake wrote {written[0]}")
            time.sleep(0.005)

    threading.Thread(target=tell, daemon=True).start()
    for first in range(0, 2_000_000, 4096):
        write(pack(first, 4096, 0))
        written[0] = (first + 4096) * 8


def commands():
    answers = iter(case for case in CASES["cases"] if "command" in case)
    for text in sys.stdin:
        text = text.strip()
        if text == "LIST":
            line(CASES["fence"])
        elif text == "INPUT slow":  # answered after the caller gave up
            time.sleep(0.3)
            line("  x input device not found: slow")
        elif (case := next(answers, {})).get("command") == text:
            for answer in case["lines"]:
                line(answer.removeprefix("A "))
        else:
            line(f"unknown cmd: {text}")


for build in ("  output device channels: 2, level correction x1.0", "  rates: output=48000.0 aggregate=48000.0"):
    line(build)
line(CASES["fence"])
line("  > streaming (system). commands: SYSTEM | INPUT <uid> | LIST")
time.sleep(0.05)  # for the test to listen to events once start has returned
{"burst": burst, "late": late, "flood": flood, "commands": commands}[os.environ["FAKE_SCENARIO"]]()
signal.pause()
