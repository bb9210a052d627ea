#!/usr/bin/python3
"""A stand-in for the helper, for the client's own tests: the scenario named by FAKE_SCENARIO writes a
banner, segment lines and frames whose left sample is the frame's stream index (right: minus it)."""

import os
import signal
import struct
import sys
import threading
import time

signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
err = sys.stderr.fileno()
out = sys.stdout.fileno()


def line(text):
    os.write(err, (text + "\n").encode())


def frames(first, count):
    return b"".join(struct.pack("<ff", i, -i) for i in range(first, first + count))


def write_all(data):
    while data:
        data = data[os.write(out, data) :]


def banner():
    line('@DEVICES [{"uid":"mic","name":"Mic","default":true}]')
    line("  > streaming (system). commands: SYSTEM | INPUT <uid> | LIST")


def burst():
    banner()
    line("  segment: frame=0 rate=48000.0 clock_ns=1000")
    data = frames(0, 1000)
    for piece in (data[:3], data[3:13], data[13:]):  # reads that end inside a frame
        write_all(piece)
        time.sleep(0.05)
    # A source change and an anchor, lines then frames, at once.
    line("  segment: frame=1000 rate=44100.0 clock_ns=5000000000")
    line("  segment: frame=1500 rate=44100.0 clock_ns=5011337868")
    write_all(frames(1000, 2000))


def late():
    banner()
    line("  segment: frame=0 rate=48000.0 clock_ns=1000")
    write_all(frames(0, 2000))  # frames 1000 on belong to a segment whose line comes late
    time.sleep(0.3)
    line("  segment: frame=1000 rate=44100.0 clock_ns=7000000000")
    time.sleep(0.1)
    write_all(frames(2000, 1000))


def flood():
    """Audio as fast as the pipe takes it, and a line every 5 ms saying how much was written."""
    banner()
    line("  segment: frame=0 rate=48000.0 clock_ns=0")
    written = [0]

    def tell():
        while True:
            line(f"  fake wrote {written[0]}")
            time.sleep(0.005)

    threading.Thread(target=tell, daemon=True).start()
    first = 0
    while first < 2_000_000:
        write_all(frames(first, 4096))
        first += 4096
        written[0] = first * 8


def commands():
    """Answers commands, with a reaction and a build retried on the tick in the middle of an answer."""
    banner()
    for text in sys.stdin:
        word, _, uid = text.strip().partition(" ")
        if word == "LIST":
            line('@DEVICES [{"uid":"mic","name":"Mic","default":true}]')
        elif word == "SYSTEM":
            for build_line in ("  ! default output changed - rebuilding", "  output device channels: 2, level correction x1.0",
                               "  rates: output=48000.0 aggregate=48000.0", "  > tap rebuilt",
                               "  output device channels: 2, level correction x1.0",
                               "  rates: output=44100.0 aggregate=44100.0", "  > system tap started",
                               "  ! input devices changed", "  x get default output failed: 1886678383",
                               "  x rebuild failed; retrying next tick"):
                line(build_line)
        elif word == "INPUT" and uid == "mic":
            line("  input device 'Mic' channels: 2")
            line("  > input capture started: mic")
            line("  input device rate: 44100.0")
            line("  segment: frame=0 rate=44100.0 clock_ns=1")
        elif word == "INPUT" and uid != "die":
            line(f"  x input device not found: {uid}")
            line("  x input start failed; restoring system")
            line("  output device channels: 2, level correction x1.0")
        if uid == "die":
            os.kill(os.getpid(), signal.SIGKILL)


{"burst": burst, "late": late, "flood": flood, "commands": commands}[os.environ["FAKE_SCENARIO"]]()
signal.pause()
