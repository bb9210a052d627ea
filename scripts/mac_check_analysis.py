#!/usr/bin/env python3
"""The measuring half of scripts/mac-check: runs the helper in short sessions and reports what it saw.

Stock Python 3 only (a Mac with the command-line tools has it; no packages). Each step prints its part
of the report as plain text. The same steps run on Linux against a private sound server, which is how
the test suite proves the figures right.

  make-tone FILE [--left HZ] [--right HZ] [--seconds S] [--amplitude A] [--rate R]
  analyze FILE --rate R [--skip S] [--seconds S]     a raw capture: float32le, two channels
  startup --helper BIN                               launch to banner, then 5 s of silence
  tone --helper BIN PLAYER...                        the helper's stream while PLAYER plays
  input --helper BIN                                 LIST, then INPUT of the default input (exit 3: all zero)
  switch --helper BIN --to NAME --back NAME PLAYER...  the default output moved while capturing
  sigterm --helper BIN                               the time from SIGTERM to the exit
  notifications --helper BIN [--profiler]            device-list notifications around one SYSTEM
"""

import argparse
import array
import json
import math
import os
import re
import signal
import subprocess
import sys
import threading
import time
import wave

BANNER = r"^  > streaming \(system\)"
TONE = {"left": 440.0, "right": 660.0, "seconds": 3.0, "amplitude": 0.5, "rate": 48000}


# --- the analysis --------------------------------------------------------------------------------


def split_channels(data):
    """Left and right samples of a float32le stereo stream; a trailing partial frame is dropped."""
    samples = array.array("f")
    samples.frombytes(bytes(data[: len(data) // 8 * 8]))
    if sys.byteorder != "little":
        samples.byteswap()
    return samples[0::2], samples[1::2]


def dbfs(value):
    return 20.0 * math.log10(value) if value > 0 else float("-inf")


def pitch(samples, rate):
    """The frequency of a steady tone from its rising zero crossings, each placed between its two
    samples by linear interpolation; None when there are too few crossings to tell."""
    crossings = []
    for i in range(1, len(samples)):
        a, b = samples[i - 1], samples[i]
        if a < 0.0 <= b:
            crossings.append(i - 1 + (-a / (b - a)))
    if len(crossings) < 3:
        return None
    return (len(crossings) - 1) * rate / (crossings[-1] - crossings[0])


def describe(samples, rate):
    """Peak, RMS, pitch and whether every sample is zero, for one channel."""
    count = len(samples)
    peak = max((abs(v) for v in samples), default=0.0)
    rms = math.sqrt(sum(v * v for v in samples) / count) if count else 0.0
    return {
        "frames": count,
        "peak": peak,
        "rms": rms,
        "pitch": pitch(samples, rate) if rms > 1e-4 else None,
        "all_zero": all(v == 0.0 for v in samples),
    }


def channel_line(name, d):
    hz = "no steady tone" if d["pitch"] is None else "%.2f Hz" % d["pitch"]
    return "  %s: %s, peak %.4f (%.2f dBFS), RMS %.4f (%.2f dBFS), %d frames%s" % (
        name, hz, d["peak"], dbfs(d["peak"]), d["rms"], dbfs(d["rms"]), d["frames"],
        ", all zero" if d["all_zero"] else "")


def tone_window(data, rate, skip=0.5, seconds=1.5, threshold=0.01):
    """The part of a capture that holds the steady tone: from `skip` s after the first loud frame,
    `seconds` long. Returns (left, right, onset frame), or None when nothing loud arrived."""
    left, right = split_channels(data)
    onset = next((i for i in range(len(left)) if abs(left[i]) > threshold or abs(right[i]) > threshold), None)
    if onset is None:
        return None
    begin = onset + int(skip * rate)
    end = begin + int(seconds * rate)
    return left[begin:end], right[begin:end], onset


def analyze_tone(data, rate):
    """Both channels' figures over the steady part of a captured tone, or None when it never arrived."""
    window = tone_window(data, rate)
    if window is None:
        return None
    left, right, onset = window
    return {"left": describe(left, rate), "right": describe(right, rate), "onset_s": onset / rate}


def write_tone(path, left=TONE["left"], right=TONE["right"], seconds=TONE["seconds"],
               amplitude=TONE["amplitude"], rate=TONE["rate"]):
    """A 16-bit stereo WAV of one sine in each channel (afplay and paplay both play it)."""
    frames = array.array("h")
    for n in range(int(seconds * rate)):
        for hz in (left, right):
            frames.append(int(round(amplitude * 32767.0 * math.sin(2.0 * math.pi * hz * n / rate))))
    if sys.byteorder != "little":
        frames.byteswap()
    with wave.open(path, "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(frames.tobytes())


# --- running the helper --------------------------------------------------------------------------


class Helper:
    """The helper as a parent runs it: commands in, samples and status lines out, each noted with the
    time it arrived."""

    def __init__(self, path, env=None):
        self.started = time.monotonic()
        self.proc = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env)
        self.lines = []  # (seconds since launch, line)
        self.data = bytearray()
        self.arrivals = []  # (seconds since launch, bytes received by then)
        self.changed = threading.Condition()
        self.readers = [threading.Thread(target=self._read_out, daemon=True),
                        threading.Thread(target=self._read_err, daemon=True)]
        for reader in self.readers:
            reader.start()

    def now(self):
        return time.monotonic() - self.started

    def _read_out(self):
        fd = self.proc.stdout.fileno()
        while True:
            chunk = os.read(fd, 1 << 16)
            if not chunk:
                return
            with self.changed:
                self.data += chunk
                self.arrivals.append((self.now(), len(self.data)))

    def _read_err(self):
        for raw in self.proc.stderr:
            with self.changed:
                self.lines.append((self.now(), raw.decode("utf-8", "replace").rstrip("\n")))
                self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    def send(self, command):
        try:
            self.proc.stdin.write((command + "\n").encode())
            self.proc.stdin.flush()
        except (BrokenPipeError, OSError):
            pass

    def wait_line(self, pattern, timeout, since=0):
        """The first line from index `since` on that matches, as (index, time, line); None on timeout."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                for index in range(since, len(self.lines)):
                    if regex.search(self.lines[index][1]):
                        return (index,) + self.lines[index]
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None and not self._reading():
                    return None
                self.changed.wait(min(left, 0.05))

    def _reading(self):
        return any(reader.is_alive() for reader in self.readers)

    def mark(self):
        """Where the streams are now: (time, bytes so far, lines so far)."""
        with self.changed:
            return self.now(), len(self.data), len(self.lines)

    def bytes_at(self, moment):
        with self.changed:
            return max((count for t, count in self.arrivals if t <= moment), default=0)

    def slice(self, begin, end):
        with self.changed:
            return bytes(self.data[begin:end])

    def lines_from(self, index):
        with self.changed:
            return list(self.lines[index:])

    def stop(self, timeout=5.0):
        """SIGTERM, then the exit: (return code, seconds from the signal to the exit)."""
        if self.proc.poll() is None:
            sent = time.monotonic()
            self.proc.send_signal(signal.SIGTERM)
            try:
                code = self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                code = self.proc.wait()
            elapsed = time.monotonic() - sent
        else:
            code, elapsed = self.proc.returncode, 0.0
        for reader in self.readers:
            reader.join(2.0)
        return code, elapsed


def exit_text(code):
    if code is None:
        return "still running"
    if code < 0:
        return "killed by signal %d (%s)" % (-code, signal.Signals(-code).name)
    return "status %d" % code


def stream_rate(helper, since=0):
    """The system source's stream rate, from the build's `rates:` line."""
    found = helper.wait_line(r"^  rates: .*aggregate=([0-9.]+)", 1.0, since)
    return float(re.search(r"aggregate=([0-9.]+)", found[2]).group(1)) if found else None


def print_lines(lines, origin=0.0, indent="    "):
    for t, line in lines:
        print("%s[%+8.3f s] %s" % (indent, t - origin, line))


def start(helper_path, env=None, timeout=15.0):
    """A helper that got as far as its banner, with the time that took (None, and the lines, if not)."""
    helper = Helper(helper_path, env)
    found = helper.wait_line(BANNER, timeout)
    if found is None:
        code, _ = helper.stop()
        print("  no banner within %.0f s (%s; a device start that waits for audio?); its lines:" % (
            timeout, exit_text(code)))
        print_lines(helper.lines_from(0))
        return None, None
    return helper, found[1]


def play_and_capture(helper, player, env=None, timeout=15.0):
    """Runs the player to its end while the helper captures; returns the stream bytes it brought and
    the time the player took."""
    begin_t, begin_bytes, _ = helper.mark()
    played = subprocess.run(player, env=env, timeout=timeout, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    time.sleep(0.3)  # the last buffers on their way
    end_t, end_bytes, _ = helper.mark()
    if played.returncode != 0:
        print("  %s failed: %s" % (player[0], played.stderr.decode("utf-8", "replace").strip()))
    return helper.slice(begin_bytes, end_bytes), end_t - begin_t


def report_tone(data, rate, expected=True):
    result = analyze_tone(data, rate) if rate else None
    if result is None:
        print("  no tone arrived (%d bytes of the stream, all below 0.01)" % len(data))
        return None
    print("  tone arrived %.3f s into the playback; over 1.5 s from 0.5 s after that:" % result["onset_s"])
    print(channel_line("left ", result["left"]))
    print(channel_line("right", result["right"]))
    if expected:
        a = TONE["amplitude"]
        print("  played: left %.0f Hz, right %.0f Hz, peak %.4f (%.2f dBFS), RMS %.4f (%.2f dBFS)" % (
            TONE["left"], TONE["right"], a, dbfs(a), a / math.sqrt(2), dbfs(a / math.sqrt(2))))
    return result


# --- the steps -----------------------------------------------------------------------------------


def step_startup(args, env=None):
    helper, banner = start(args.helper, env)
    if helper is None:
        return 1
    try:
        time.sleep(1.0)
        print("  launch to banner: %.1f ms (nothing playing)" % (banner * 1000.0))
        print("  status lines:")
        print_lines(helper.lines_from(0))
        print()
        print("== 2. IO while nothing plays")
        rate = stream_rate(helper)
        begin, _, seen = helper.mark()
        time.sleep(5.0)
        end = helper.now()
        got = helper.bytes_at(end) - helper.bytes_at(begin)
        per_second = got / (end - begin)
        print("  stdout over %.1f s of silence: %d bytes, %.0f bytes/s" % (end - begin, got, per_second))
        if rate:
            print("  that is %.1f %% of the %d bytes/s a %.0f Hz stream carries" % (
                100.0 * per_second / (rate * 8), rate * 8, rate))
        time.sleep(3.0)  # a stall shows within 3 s and one watchdog tick
        later = helper.lines_from(seen)
        stalled = [line for _, line in later if "tap stalled" in line]
        print("  '  ! tap stalled' lines in 8 s: %d%s" % (len(stalled), " (must be 0)" if stalled else ""))
        if later:
            print("  lines meanwhile:")
            print_lines(later)
        return 0
    finally:
        helper.stop()


def step_tone(args, env=None):
    helper, _ = start(args.helper, env)
    if helper is None:
        return 1
    try:
        rate = stream_rate(helper)
        data, took = play_and_capture(helper, args.player, env)
        print("  stream rate %s; player ran %.2f s; %d bytes captured" % (rate, took, len(data)))
        report_tone(data, rate)
        for _, line in helper.lines_from(0):
            if line.startswith(("  IOProc#1", "    buf[", "  output device channels")):
                print("  " + line)
        return 0
    finally:
        helper.stop()


def step_input(args, env=None):
    helper, _ = start(args.helper, env)
    if helper is None:
        return 1
    try:
        _, _, seen = helper.mark()
        helper.send("LIST")
        found = helper.wait_line(r"^@DEVICES ", 5.0, seen)
        if found is None:
            print("  no answer to LIST")
            return 1
        print("  LIST: " + found[2])
        devices = json.loads(found[2][len("@DEVICES "):])
        default = next((d for d in devices if d.get("default")), None)
        if default is None:
            print("  no default input device: skipped")
            return 0
        _, _, seen = helper.mark()
        helper.send("INPUT " + default["uid"])
        started = helper.wait_line(r"^  (> input capture started|x input start failed)", 5.0, seen)
        rate_line = helper.wait_line(r"^  input device rate: ", 1.0, seen)
        print_lines(helper.lines_from(seen))
        if started is None:
            print("  INPUT got no answer within 5 s (a permission prompt waiting?)")
            return 3
        if "failed" in started[2] or rate_line is None:
            print("  INPUT of '%s' did not start" % default["uid"])
            return 1
        rate = float(rate_line[2].split(":")[1])
        begin = helper.bytes_at(helper.now())
        time.sleep(3.0)
        data = helper.slice(begin, helper.bytes_at(helper.now()))
        left, right = split_channels(data)
        print("  3 s of '%s' at %.0f Hz (%.2f s of stream):" % (default["name"], rate, len(left) / rate))
        first, second = describe(left, rate), describe(right, rate)
        print(channel_line("first ", first))
        print(channel_line("second", second))
        if not left or first["all_zero"] and second["all_zero"]:
            print("  every sample is zero: no microphone permission (or a muted device)")
            return 3
        return 0
    finally:
        helper.stop()


def step_switch(args, env=None):
    helper, _ = start(args.helper, env)
    if helper is None:
        return 1
    try:
        for target in (args.to, args.back):
            t, _, seen = helper.mark()
            subprocess.run(["SwitchAudioSource", "-t", "output", "-s", target], env=env, timeout=10,
                           stdout=subprocess.DEVNULL)
            done = helper.wait_line(r"^  (> tap rebuilt|x rebuild failed)", 5.0, seen)
            print("  default output -> '%s': %s" % (target, "no rebuild within 5 s" if done is None else
                                                    "%.0f ms to '%s'" % ((done[1] - t) * 1000, done[2].strip())))
            print_lines(helper.lines_from(seen), t)
            if target == args.to:
                rate = stream_rate(helper, seen) or stream_rate(helper)
                data, _ = play_and_capture(helper, args.player, env)
                report_tone(data, rate)
        return 0
    finally:
        helper.stop()


def step_sigterm(args, env=None):
    helper, _ = start(args.helper, env)
    if helper is None:
        return 1
    time.sleep(1.0)
    _, _, seen = helper.mark()
    code, elapsed = helper.stop()
    print("  SIGTERM to exit: %.1f ms, %s (expected: status 0, within 1.5 s)" % (elapsed * 1000, exit_text(code)))
    after = helper.lines_from(seen)
    print("  standard error after the signal: %s" % ("nothing" if not after else "%d lines" % len(after)))
    print_lines(after)
    return 0


def count_line(helper, since):
    found = helper.wait_line(r"^  device-list notifications: (\d+)", 5.0, since)
    return int(found[2].split(":")[1]) if found else None


def step_notifications(args, env=None):
    helper, _ = start(args.helper, env)
    if helper is None:
        return 1
    try:
        _, _, seen = helper.mark()
        helper.send("LIST")
        before = count_line(helper, seen)
        if before is None:
            print("  no count line: the helper was built without LUMVAR_DEBUG_NOTIFICATIONS")
            return 1
        _, _, seen = helper.mark()
        helper.send("SYSTEM")
        helper.wait_line(r"^  (> system tap started|x system tap build failed)", 5.0, seen)
        time.sleep(1.0)  # every notification of the rebuild in, and any that a retrigger would cause
        _, _, listed = helper.mark()
        helper.send("LIST")
        after = count_line(helper, listed)
        print("  device-list notifications: %d before SYSTEM, %d after (+%d)" % (before, after, after - before))
        print("  (2: the HAL tells this process of its own aggregate going and coming; 0: it does not)")
        print_lines(helper.lines_from(seen))
        if args.profiler:
            during = audio_devices(env)
            helper.stop()
            added = sorted(during - audio_devices(env))
            print("  system_profiler SPAudioDataType, another process, while the helper captured and after:")
            print("    " + ("what the helper added, so NOT private: " + "; ".join(added) if added else
                            "the same devices (the aggregate and the tap are private, as they must be)"))
        return 0
    finally:
        helper.stop()


def audio_devices(env=None):
    """The headings (devices and their groups) system_profiler lists for audio."""
    listing = subprocess.run(["system_profiler", "SPAudioDataType"], env=env, timeout=120,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.decode("utf-8", "replace")
    return {line.strip() for line in listing.splitlines() if line.rstrip().endswith(":")}


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    steps = parser.add_subparsers(dest="step", required=True)
    tone = steps.add_parser("make-tone")
    tone.add_argument("file")
    for name in ("left", "right", "seconds", "amplitude"):
        tone.add_argument("--" + name, type=float, default=TONE[name])
    tone.add_argument("--rate", type=int, default=TONE["rate"])
    analyze = steps.add_parser("analyze")
    analyze.add_argument("file")
    analyze.add_argument("--rate", type=float, required=True)
    analyze.add_argument("--skip", type=float, default=0.0)
    analyze.add_argument("--seconds", type=float, default=None)
    for name in ("startup", "tone", "input", "switch", "sigterm", "notifications"):
        step = steps.add_parser(name)
        step.add_argument("--helper", required=True)
        if name == "switch":
            step.add_argument("--to", required=True)
            step.add_argument("--back", required=True)
        if name == "notifications":
            step.add_argument("--profiler", action="store_true")
        if name in ("tone", "switch"):
            step.add_argument("player", nargs="+")
    args = parser.parse_args(argv)

    if args.step == "make-tone":
        write_tone(args.file, args.left, args.right, args.seconds, args.amplitude, args.rate)
        return 0
    if args.step == "analyze":
        with open(args.file, "rb") as raw:
            data = raw.read()
        begin = int(args.skip * args.rate) * 8
        end = len(data) if args.seconds is None else begin + int(args.seconds * args.rate) * 8
        left, right = split_channels(data[begin:end])
        print(channel_line("left ", describe(left, args.rate)))
        print(channel_line("right", describe(right, args.rate)))
        return 0
    return globals()["step_" + args.step](args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
