#!/usr/bin/env python3
"""The measuring half of scripts/mac-check: runs the helper in short sessions and reports what it saw.

Stock Python 3 only (a Mac with the command-line tools has it; no packages). Each step prints its part
of the report as plain text. The same steps run on Linux against a private sound server, which is how
the test suite proves the figures right.

  make-tone FILE [--left HZ] [--right HZ] [--seconds S] [--amplitude A] [--rate R]
  make-clicks FILE [--count N] [--spacing S]         short bursts, the same in both channels
  analyze FILE --rate R [--skip S] [--seconds S]     a raw capture: float32le, two channels
  startup --helper BIN                               launch to banner, then 5 s of silence
  tone --helper BIN PLAYER...                        the helper's stream while PLAYER plays (exit 3: no tone)
  input --helper BIN                                 LIST, then INPUT of the default input (exit 3: all zero)
  switch --helper BIN --to NAME --back NAME PLAYER...  the default output moved while capturing
  sigterm --helper BIN                               the time from SIGTERM to the exit
  notifications --helper BIN [--hal]                 device-list notifications around one SYSTEM; with
                                                     --hal, the taps and devices another process sees
  capture-times --helper BIN [--input UID] PLAYER... two helpers, SYSTEM and INPUT (default: the built-in
                                                     microphone), while PLAYER plays clicks: the onsets'
                                                     capture times compared
  call --helper BIN [--input UID] [--clicks N] PLAYER...
                                                     one helper on CALL of the input (default: the built-in
                                                     microphone) while PLAYER plays N clicks: each click's
                                                     onset in the microphone's channel less in what plays
  after-sound --helper BIN PLAYER...                 a tone, then 15 s of silence: the tap goes on
  rate-change --helper BIN PLAYER...                 the default output's nominal rate changed, then a tone
  sleep-wake --helper BIN PLAYER...                  the Mac asleep and woken, then a tone
  daemon-restart --helper BIN PLAYER...              coreaudiod killed (sudo -n), then a tone
  hal-objects                                        the HAL's taps and devices as this process sees them

Each step that judges ends with one line: `  verdict: PASS|FAIL|SKIPPED (why)`. The HAL is read with
ctypes from CoreAudio.framework (macOS only).
"""

import argparse
import array
import json
import math
import os
import re
import signal
import statistics
import struct
import subprocess
import sys
import threading
import time
import wave

BANNER = r"^  > streaming \(system\)"
TONE = {"left": 440.0, "right": 660.0, "seconds": 3.0, "amplitude": 0.5, "rate": 48000}
CLICKS = {"count": 24, "spacing": 0.5, "hz": 2000.0, "burst": 0.004, "amplitude": 0.8, "rate": 48000}
SEGMENT = re.compile(r"^  segment: frame=(\d+) rate=([0-9.]+) clock_ns=(-?\d+)")
AGGREGATE_NAME, AGGREGATE_UID_PREFIX = "LUMVAR Tap", "com.vormalde.lumvar.agg"  # src/audio/aggregate_identity.h


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


def write_wav(path, frames, rate):
    """A 16-bit stereo WAV (afplay and paplay both play it) of (left, right) values in -1..1."""
    samples = array.array("h", (int(round(32767.0 * v)) for frame in frames for v in frame))
    if sys.byteorder != "little":
        samples.byteswap()
    with wave.open(path, "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(samples.tobytes())


def write_tone(path, left=TONE["left"], right=TONE["right"], seconds=TONE["seconds"],
               amplitude=TONE["amplitude"], rate=TONE["rate"]):
    """One sine in each channel."""
    write_wav(path, ((amplitude * math.sin(2.0 * math.pi * left * n / rate),
                      amplitude * math.sin(2.0 * math.pi * right * n / rate)) for n in range(int(seconds * rate))), rate)


def write_clicks(path, count=CLICKS["count"], spacing=CLICKS["spacing"], rate=CLICKS["rate"]):
    """`count` bursts of CLICKS["hz"], each CLICKS["burst"] s long with a sharp start, `spacing` s apart,
    the same in both channels, after 0.5 s of silence and before 0.5 s more."""
    burst, period = int(CLICKS["burst"] * rate), int(spacing * rate)

    def value(n):
        n -= rate // 2
        if n < 0 or n >= count * period or n % period >= burst:
            return 0.0
        n %= period
        return CLICKS["amplitude"] * math.sin(2.0 * math.pi * CLICKS["hz"] * n / rate) * (1.0 - n / burst)

    write_wav(path, ((v, v) for v in map(value, range(rate + count * period))), rate)


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


def segment_rate(helper):
    """The rate of the stream's latest segment line, as a parent would place the frames now."""
    found = [seg[1] for seg in segments(line for _, line in helper.lines_from(0))]
    return found[-1] if found else None


def print_lines(lines, origin=0.0, indent="    "):
    """Each line with its time; a run of one line repeated is shown once, with its count."""
    runs = []
    for t, line in lines:
        if runs and runs[-1][1] == line:
            runs[-1][2:] = [runs[-1][2] + 1, t]
        else:
            runs.append([t, line, 1, t])
    for t, line, count, last in runs:
        print("%s[%+8.3f s] %s%s" % (indent, t - origin, line, "" if count == 1 else
                                     "  (%d times, the last at %+.3f s)" % (count, last - origin)))


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
    return helper.slice(begin_bytes - begin_bytes % 8, end_bytes), end_t - begin_t


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


def verdict(passed, why):
    """The step's last line: PASS (True), FAIL (False) or another word, and why."""
    print("  verdict: %s (%s)" % ("PASS" if passed is True else "FAIL" if passed is False else passed, why))
    return 0


def tone_verdict(result, rate):
    """PASS when each channel carries its own tone within 1 Hz, measured at the stream's rate."""
    if result is None:
        return verdict(False, "no tone arrived")
    off = [name for name in ("left", "right")
           if result[name]["pitch"] is None or abs(result[name]["pitch"] - TONE[name]) > 1.0]
    verdict(not off, "each channel at its tone's pitch, at the stream's rate of %s Hz" % rate if not off else
            "%s not at the pitch played, measured at the stream's rate of %s Hz" % (" and ".join(off), rate))


def step_tone(args, env=None):
    helper, _ = start(args.helper, env)
    if helper is None:
        return 1
    try:
        rate = stream_rate(helper)
        data, took = play_and_capture(helper, args.player, env)
        print("  stream rate %s; player ran %.2f s; %d bytes captured" % (rate, took, len(data)))
        result = report_tone(data, rate)
        for _, line in helper.lines_from(0):
            if line.startswith(("  IOProc#1", "    buf[", "  output device channels")):
                print("  " + line)
        tone_verdict(result, rate)
        return 0 if result else 3
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
    views = [other_process_view(env)] if args.hal else []  # before the helper
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
        if args.hal:
            views.append(other_process_view(env))  # while the helper captures
            helper.stop()
            views.append(other_process_view(env))
            report_visibility(*views)
        return 0
    finally:
        helper.stop()


def other_process_view(env=None):
    """What a fresh process reads from the HAL: {"taps": [[id, uid]], "devices": [[id, name, uid]]}, with
    "taps_error" in place of "taps" when the tap list cannot be read, or {"error": ...}."""
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "hal-objects"], env=env, timeout=30,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        return json.loads(done.stdout)
    except ValueError:
        return {"error": done.stderr.decode("utf-8", "replace").strip() or "exit %d" % done.returncode}


def report_visibility(before, during, after):
    """Whether another process saw the helper's tap (one that existed only while it captured) or its
    aggregate (by name or UID) in the HAL's lists."""
    print("  what another process reads from the HAL before the helper, while it captures, and after:")
    for view in (before, during, after):
        if "error" in view:
            print("    could not read the HAL: " + view["error"])
            return verdict("SKIPPED", "the HAL could not be read from Python")
    if "taps_error" in during:
        print("    kAudioHardwarePropertyTapList: " + during["taps_error"])
    else:
        print("    taps (kAudioHardwarePropertyTapList): %s" % ", ".join(
            str(len(view.get("taps", []))) for view in (before, during, after)))
    print("    devices (kAudioHardwarePropertyDevices): %s" % ", ".join(
        str(len(view["devices"])) for view in (before, during, after)))
    known = {tap[0] for view in (before, after) for tap in view.get("taps", [])}
    taps = ["tap %d (uid %s)" % (tap[0], tap[1]) for tap in during.get("taps", []) if tap[0] not in known]
    aggregates = ["device %d '%s' (uid %s)" % tuple(device) for device in during["devices"]
                  if device[1] == AGGREGATE_NAME or (device[2] or "").startswith(AGGREGATE_UID_PREFIX)]
    for seen in taps + aggregates:
        print("    seen while the helper captured: " + seen)
    if "taps_error" in during:
        return verdict("SKIPPED" if not aggregates else False, "the tap list could not be read" +
                       ("; the aggregate is visible" if aggregates else ""))
    verdict(not taps and not aggregates, "another process sees neither the tap nor the aggregate '%s'" %
            AGGREGATE_NAME if not taps and not aggregates else "another process sees %s" %
            " and ".join(what for what, found in (("the tap", taps), ("the aggregate", aggregates)) if found))


# --- Core Audio from Python (macOS) ---------------------------------------------------------------


def fourcc(code):
    return int.from_bytes(code.encode("ascii"), "big")


def status_text(status):
    raw = (status & 0xFFFFFFFF).to_bytes(4, "big")
    return "'%s'" % raw.decode("ascii") if all(32 <= b < 127 for b in raw) else str(status)


class HALError(Exception):
    pass


class HAL:
    """The Core Audio HAL through ctypes, from this process: property reads, and the nominal rate's
    write. Selectors, scopes and values as in AudioHardware.h and AudioHardwareBase.h."""

    SYSTEM = 1  # kAudioObjectSystemObject
    UTF8 = 0x08000100  # kCFStringEncodingUTF8

    def __init__(self, coreaudio="/System/Library/Frameworks/CoreAudio.framework/CoreAudio",
                 corefoundation="/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation"):
        import ctypes
        self.c = ctypes
        self.ca, self.cf = ctypes.CDLL(coreaudio), ctypes.CDLL(corefoundation)
        u32, ptr = ctypes.c_uint32, ctypes.c_void_p
        for name, argtypes in (("AudioObjectGetPropertyDataSize", [u32, ptr, u32, ptr, ptr]),
                               ("AudioObjectGetPropertyData", [u32, ptr, u32, ptr, ptr, ptr]),
                               ("AudioObjectSetPropertyData", [u32, ptr, u32, ptr, u32, ptr])):
            getattr(self.ca, name).argtypes = argtypes
            getattr(self.ca, name).restype = ctypes.c_int32
        self.cf.CFStringGetLength.argtypes, self.cf.CFStringGetLength.restype = [ptr], ctypes.c_long
        self.cf.CFStringGetCString.argtypes = [ptr, ctypes.c_char_p, ctypes.c_long, u32]
        self.cf.CFStringGetCString.restype = ctypes.c_ubyte
        self.cf.CFRelease.argtypes, self.cf.CFRelease.restype = [ptr], None
        # This process runs no run loop: the HAL is to notify, and so keep its view current, on a thread
        # of its own (kAudioHardwarePropertyRunLoop set to NULL), as the helper has it.
        self.write(self.SYSTEM, "rnlp", ctypes.c_void_p(None))

    def _address(self, selector, scope):
        return (self.c.c_uint32 * 3)(fourcc(selector), fourcc(scope), 0)  # kAudioObjectPropertyElementMain

    def read(self, obj, selector, scope="glob"):
        """The property's bytes; HALError with its status when it cannot be read."""
        address, size = self._address(selector, scope), self.c.c_uint32(0)
        status = self.ca.AudioObjectGetPropertyDataSize(obj, self.c.byref(address), 0, None, self.c.byref(size))
        data = self.c.create_string_buffer(max(size.value, 1))
        if status == 0:
            status = self.ca.AudioObjectGetPropertyData(obj, self.c.byref(address), 0, None, self.c.byref(size),
                                                        self.c.byref(data))
        if status != 0:
            raise HALError("'%s' of object %d: status %s" % (selector, obj, status_text(status)))
        return data.raw[:size.value]

    def write(self, obj, selector, value, scope="glob"):
        status = self.ca.AudioObjectSetPropertyData(obj, self.c.byref(self._address(selector, scope)), 0, None,
                                                    self.c.sizeof(value), self.c.byref(value))
        if status != 0:
            raise HALError("writing '%s' of object %d: status %s" % (selector, obj, status_text(status)))

    def ids(self, obj, selector, scope="glob"):
        """An array of UInt32 (object ids, data sources)."""
        data = self.read(obj, selector, scope)
        return list(struct.unpack("=%dI" % (len(data) // 4), data[: len(data) // 4 * 4]))

    def float64(self, obj, selector, scope="glob"):
        return struct.unpack("=d", self.read(obj, selector, scope)[:8])[0]

    def ranges(self, obj, selector, scope="glob"):
        """An array of AudioValueRange: (mMinimum, mMaximum) pairs of Float64."""
        data = self.read(obj, selector, scope)
        values = struct.unpack("=%dd" % (len(data) // 8), data[: len(data) // 16 * 16])
        return list(zip(values[0::2], values[1::2]))

    def string(self, obj, selector, scope="glob"):
        """A CFString property as text (the caller of the HAL releases the string)."""
        ref = self.c.c_void_p.from_buffer_copy(self.read(obj, selector, scope)[: self.c.sizeof(self.c.c_void_p)])
        if not ref.value:
            return None
        try:
            size = self.cf.CFStringGetLength(ref) * 4 + 1
            text = self.c.create_string_buffer(size)
            return text.value.decode("utf-8") if self.cf.CFStringGetCString(ref, text, size, self.UTF8) else None
        finally:
            self.cf.CFRelease(ref)

    def maybe(self, method, *args):
        try:
            return method(*args)
        except HALError:
            return None

    def device_text(self, device):
        return "'%s' (uid %s)" % (self.maybe(self.string, device, "lnam"), self.maybe(self.string, device, "uid "))

    def built_in(self, device):
        return self.maybe(self.ids, device, "tran") == [fourcc("bltn")]  # kAudioDeviceTransportTypeBuiltIn


def hal_objects():
    hal = HAL()
    view = {"devices": [[device, hal.maybe(hal.string, device, "lnam"), hal.maybe(hal.string, device, "uid ")]
                        for device in hal.ids(HAL.SYSTEM, "dev#")]}
    try:
        view["taps"] = [[tap, hal.maybe(hal.string, tap, "tuid")] for tap in hal.ids(HAL.SYSTEM, "tps#")]
    except HALError as error:
        view["taps_error"] = str(error)
    print(json.dumps(view))
    return 0


# --- capture times: two helpers, one click train ---------------------------------------------------


def segments(lines):
    """Each segment line's (frame, rate, clock_ns), in the order of their frames."""
    return sorted((int(m.group(1)), float(m.group(2)), int(m.group(3)))
                  for m in (SEGMENT.match(line) for line in lines) if m)


def frame_ns(segs, frame):
    """When a stream frame was captured, by the last segment line at or before it (None before the first
    or at a rate of 0)."""
    at = None
    for seg in segs:
        if seg[0] > frame:
            break
        at = seg
    return None if at is None or at[1] <= 0 else at[2] + (frame - at[0]) * 1e9 / at[1]


def onsets(level, gap_frames):
    """Where clicks begin in a run of absolute sample values: where each run louder than 0.3 of the loudest
    rises through that threshold, at least `gap_frames` after the previous onset. Each onset lies between
    two frames, placed by linear interpolation: a part that a call reads at fractional positions is then
    measured to a fraction of a frame, not to the frame its threshold happens to fall in."""
    threshold = 0.3 * max(level, default=0.0)
    found = []
    for frame, value in enumerate(level):
        if threshold > 0 and value >= threshold and (not found or frame - found[-1] >= gap_frames):
            before = level[frame - 1] if frame > 0 else threshold
            found.append(frame - 1 + (threshold - before) / (value - before) if before < threshold else frame)
    return found


def click_onsets(data, gap_frames):
    """The frames (from the start of `data`, float32le stereo) where clicks begin in either channel."""
    left, right = split_channels(data)
    return onsets([max(abs(a), abs(b)) for a, b in zip(left, right)], gap_frames)


def onset_offsets(first, second, within=50e6):
    """For each time in `first`, the nearest time in `second` minus it, where one lies within `within` (in
    the times' unit: 50 ms in nanoseconds unless told)."""
    offsets = []
    for t in first:
        nearest = min(second, key=lambda u: abs(u - t), default=None)
        if nearest is not None and abs(nearest - t) <= within:
            offsets.append(nearest - t)
    return offsets


TIMING = re.compile(r"([a-z][a-z -]*?)=(\S+)")


def report_timing(helper, name, rate, applied):
    """A debug line ('  tap timing: ...', '  input timing: ...'), its values beside in milliseconds, and
    the sum of the latencies `applied` (those the helper places the frames by)."""
    line = next((line for _, line in helper.lines_from(0) if line.startswith("  %s timing: " % name)), None)
    if line is None:
        print("  no '%s timing' line: a build without it" % name)
        return
    print("  " + line.strip())
    values = {key: int(value) for key, value in TIMING.findall(line.split(":", 1)[1]) if value.lstrip("-").isdigit()}
    if not rate:
        return
    ms = {key: value / 1e6 if key == "input-now" else value * 1000.0 / rate for key, value in values.items()}
    print("    in ms (frames at %s Hz): %s; %s: %s" % (
        rate, ", ".join("%s %.3f" % item for item in ms.items()), " + ".join(applied),
        "%.3f" % sum(ms[key] for key in applied) if all(key in ms for key in applied) else "not all read"))


def builtin_input():
    """The UID of the built-in microphone when the default output is the built-in speakers; otherwise
    (None, why not)."""
    hal = HAL()
    output = hal.ids(HAL.SYSTEM, "dOut")[0]
    print("  default output: %s" % hal.device_text(output))
    if not hal.built_in(output):
        return None, "the default output is not built in: choose the Mac's speakers in Sound settings"
    if fourcc("hdpn") in (hal.maybe(hal.ids, output, "ssrc", "outp") or []):  # kAudioDevicePropertyDataSource
        return None, "the built-in output plays into headphones: unplug them"
    for device in hal.ids(HAL.SYSTEM, "dev#"):
        if hal.built_in(device) and hal.maybe(hal.ids, device, "stm#", "inpt"):
            print("  built-in input: %s" % hal.device_text(device))
            uid = hal.maybe(hal.string, device, "uid ")
            return uid, None if uid else "the built-in microphone's UID cannot be read"
    return None, "this Mac has no built-in microphone"


def step_capture_times(args, env=None):
    uid, why = (args.input, None) if args.input else builtin_input()
    if uid is None:
        print("  " + why)
        return verdict("SKIPPED", why)
    system, _ = start(args.helper, env)
    if system is None:
        return 1
    listener = None
    try:
        # Each stream under way before the next begins: the two streams' frames apart, and the listener's
        # INPUT segment not its stream's first.
        system.wait_line(r"^  segment: ", 2.0)
        listener, _ = start(args.helper, env)
        if listener is None:
            return 1
        listener.wait_line(r"^  segment: ", 2.0)
        _, _, seen = listener.mark()
        listener.send("INPUT " + uid)
        started = listener.wait_line(r"^  (> input capture started|x )", 5.0, seen)
        if started is None or "x " in started[2]:
            print_lines(listener.lines_from(0))
            return verdict(False, "INPUT %s did not start" % uid)
        time.sleep(1.0)  # both streams flowing, each with its segment line
        begins = [helper.mark()[1] // 8 for helper in (system, listener)]
        played = subprocess.run(args.player, env=env, timeout=60, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        time.sleep(0.5)
        if played.returncode != 0:
            print("  %s failed: %s" % (args.player[0], played.stderr.decode("utf-8", "replace").strip()))
        times, rates = [], []
        for helper, begin, name in ((system, begins[0], "system"), (listener, begins[1], "input " + uid)):
            segs = segments(line for _, line in helper.lines_from(0))
            rate = next((seg[1] for seg in reversed(segs) if seg[0] <= begin), None)
            onsets = click_onsets(helper.slice(begin * 8, helper.mark()[1]), int(0.2 * (rate or 48000)))
            times.append([t for t in (frame_ns(segs, begin + k) for k in onsets) if t is not None])
            rates.append(rate)
            print("  %s: %d clicks, at %s Hz" % (name, len(times[-1]), rate))
        offsets = onset_offsets(times[0], times[1])
        median = statistics.median(offsets) / 1e6 if offsets else None
        if offsets:
            print("  onset offset, input minus system, over %d clicks: median %+.3f ms, spread %.3f ms (%+.3f to %+.3f)"
                  % (len(offsets), median, (max(offsets) - min(offsets)) / 1e6, min(offsets) / 1e6, max(offsets) / 1e6))
        report_timing(system, "tap", rates[0], ("output latency", "stream latency"))
        report_timing(listener, "input", rates[1], ("device latency", "stream latency"))
        if not times[0] or not offsets:
            return verdict(False, "no clicks in the system stream (its permission? step 3)" if not times[0] else
                           "no click heard by the input within 50 ms of one in the system stream (volume up?)")
        spread = (max(offsets) - min(offsets)) / 1e6
        problems = [what for what, bad in (
            ("%d of %d clicks matched" % (len(offsets), len(times[0])), len(offsets) < 0.75 * len(times[0])),
            ("the median is beyond 2 ms", abs(median) > 2.0), ("the spread is over 1 ms", spread > 1.0)) if bad]
        return verdict(not problems, "the two helpers place each click within 2 ms of each other, steadily"
                       if not problems else "; ".join(problems))
    finally:
        system.stop()
        if listener is not None:
            listener.stop()


# --- a call: the microphone and what plays, on one timeline ---------------------------------------

MIC_RATE_SET = "  microphone rate set -> "  # the microphone's nominal rate changed to the output's


def step_call(args, env=None):
    """One helper on CALL of a microphone while clicks play: each click's onset in the microphone's channel
    (left) less its onset in what plays (right). Through the speakers into the microphone that is the
    sound's way through the air plus any error of the two parts' placement, so a few ms; never negative."""
    uid, why = (args.input, None) if args.input else builtin_input()
    if uid is None:
        print("  " + why)
        return verdict("SKIPPED", why)
    helper, _ = start(args.helper, env)
    if helper is None:
        return 1
    try:
        helper.wait_line(r"^  segment: ", 2.0)
        sent, _, seen = helper.mark()
        helper.send("CALL " + uid)
        started = helper.wait_line(r"^  (> call capture started|x call start failed)", 10.0, seen)
        if started is None or "x call" in started[2]:
            print_lines(helper.lines_from(seen), sent)
            return verdict(False, "CALL %s did not start" % uid)
        helper.wait_line(r"^  segment: ", 2.0, started[0])  # the call's first segment
        time.sleep(1.0)  # both parts flowing, the pairing past its first placement
        rate = segment_rate(helper)
        begin = helper.mark()[1] // 8
        played = subprocess.run(args.player, env=env, timeout=60, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        time.sleep(0.5)
        if played.returncode != 0:
            print("  %s failed: %s" % (args.player[0], played.stderr.decode("utf-8", "replace").strip()))
        print("  CALL %s; the helper's lines from then on:" % uid)
        print_lines(helper.lines_from(seen), sent)
        left, right = split_channels(helper.slice(begin * 8, helper.mark()[1]))
        gap = int(0.2 * (rate or 48000))
        mic, system = onsets([abs(v) for v in left], gap), onsets([abs(v) for v in right], gap)
        offsets = [frames * 1e3 / rate for frames in onset_offsets(system, mic, 0.05 * rate)] if rate else []
        print("  clicks: %d played, %d in what plays (right), %d in the microphone (left), %d matched within 50 ms, "
              "at %s Hz" % (args.clicks, len(system), len(mic), len(offsets), rate))
        changed = [line for _, line in helper.lines_from(seen) if line.startswith(MIC_RATE_SET)]
        print("  the microphone's nominal rate: %s" % ("changed to the output's (%s)" % changed[0].strip() if changed
                                                       else "not changed (no 'microphone rate set' line)"))
        report_timing(helper, "tap", rate, ("output latency", "stream latency"))
        if not offsets:
            return verdict(False, "no clicks in what plays (its permission? step 3)" if not system else
                           "no click heard by the microphone within 50 ms of one that played (volume up?)")
        median, spread = statistics.median(offsets), max(offsets) - min(offsets)
        print("  onset offset, left minus right, over %d clicks: median %+.3f ms, spread %.3f ms (%+.3f to %+.3f)" % (
            len(offsets), median, spread, min(offsets), max(offsets)))
        # Two frames: the most that onsets found by the same threshold in two channels, one of them read at
        # fractional positions, were seen to differ by; the microphone cannot hear a click any earlier.
        problems = [what for what, bad in (
            ("%d of %d clicks in what plays" % (len(system), args.clicks), len(system) != args.clicks),
            ("%d of %d clicks heard by the microphone" % (len(offsets), args.clicks), len(offsets) != args.clicks),
            ("the spread is 1 ms or more", spread >= 1.0),
            ("the microphone hears the clicks before they play (the two parts' buffers or placements the wrong "
             "way round?)", median < -2e3 / rate)) if bad]
        return verdict(not problems, "every click in both channels, the microphone's onsets %+.3f ms from those of "
                       "what plays, steadily" % median if not problems else "; ".join(problems))
    finally:
        helper.stop()


# --- what only a Mac can answer ---------------------------------------------------------------------


def step_after_sound(args, env=None):
    helper, _ = start(args.helper, env)
    if helper is None:
        return 1
    try:
        rate = stream_rate(helper)
        data, _ = play_and_capture(helper, args.player, env)
        report_tone(data, rate, expected=False)
        begin, _, seen = helper.mark()
        time.sleep(15.0)
        end = helper.now()
        with helper.changed:
            moments = [begin] + [t for t, _ in helper.arrivals if begin < t <= end] + [end]
        longest = max(b - a for a, b in zip(moments, moments[1:]))
        seconds = [helper.bytes_at(begin + i + 1) - helper.bytes_at(begin + i) for i in range(15)]
        whole = 100.0 * sum(seconds) / (15 * rate * 8) if rate else 0.0
        print("  each second of the 15 after the tone, %% of the bytes a %s Hz stream carries: %s" % (
            rate, " ".join("%.0f" % (100.0 * n / (rate * 8)) for n in seconds) if rate else "?"))
        print("  longest time without bytes: %.3f s" % longest)
        stalled = [line for _, line in helper.lines_from(seen) if "tap stalled" in line]
        print("  '  ! tap stalled - rebuilding' lines: %d" % len(stalled))
        print_lines(helper.lines_from(seen), begin)
        problems = [what for what, bad in (("the tap stalled", stalled), ("%.0f %% of the bytes" % whole, whole < 90.0),
                                           ("%.1f s without bytes" % longest, longest > 1.0)) if bad]
        return verdict(not problems, "the tap went on delivering after the sound stopped" if not problems else
                       "; ".join(problems))
    finally:
        helper.stop()


def step_rate_change(args, env=None):
    hal = HAL()
    device = hal.ids(HAL.SYSTEM, "dOut")[0]
    original = hal.float64(device, "nsrt")  # kAudioDevicePropertyNominalSampleRate
    offered = hal.ranges(device, "nsr#")  # kAudioDevicePropertyAvailableNominalSampleRates
    print("  default output %s: %.1f Hz; offers %s" % (hal.device_text(device), original, ", ".join(
        "%.0f" % low if low == high else "%.0f-%.0f" % (low, high) for low, high in offered)))
    target = next((r for r in (44100.0, 48000.0, 96000.0, 88200.0, 32000.0)
                   if r != original and any(low <= r <= high for low, high in offered)), None)
    if target is None:
        return verdict("SKIPPED", "the device offers one rate")
    helper, _ = start(args.helper, env)
    if helper is None:
        return 1
    try:
        changed, _, seen = helper.mark()
        try:
            hal.write(device, "nsrt", hal.c.c_double(target))
            follow = helper.wait_line(r"^  segment: .*rate=%.1f " % target, 5.0, seen)
            time.sleep(0.5)
            rate = segment_rate(helper)
            data, _ = play_and_capture(helper, args.player, env)
        finally:
            hal.write(device, "nsrt", hal.c.c_double(original))
        print("  nominal rate set to %.1f Hz; the helper's lines from then on:" % target)
        print_lines(helper.lines_from(seen), changed)
        print("  the last segment line's rate: %s Hz (%s)" % (rate, "it followed" if follow else
                                                              "no segment line at %.1f Hz within 5 s" % target))
        result = report_tone(data, rate)
        deadline = time.monotonic() + 3.0
        while hal.float64(device, "nsrt") != original and time.monotonic() < deadline:
            time.sleep(0.1)
        print("  restored: %.1f Hz" % hal.float64(device, "nsrt"))
        return tone_verdict(result, rate)
    finally:
        helper.stop()


def step_sleep_wake(args, env=None):
    helper, _ = start(args.helper, env)
    if helper is None:
        return 1
    try:
        time.sleep(1.0)
        slept_at, _, seen = helper.mark()
        wall, uptime = time.time(), time.monotonic()  # the monotonic clock stops while the Mac sleeps
        subprocess.run(["pmset", "sleepnow"], stdout=subprocess.DEVNULL)
        print("  The Mac goes to sleep now. Wake it (a key, or the lid), then press Enter here.", flush=True)
        with open("/dev/tty") as tty:
            tty.readline()
        asleep = (time.time() - wall) - (time.monotonic() - uptime)
        print("  asleep for about %.0f s" % asleep)
        time.sleep(3.0)  # a stall would show by now
        data, _ = play_and_capture(helper, args.player, env)
        print_lines(helper.lines_from(seen), slept_at)
        rate = segment_rate(helper)
        result = report_tone(data, rate)
        if asleep < 5.0:
            return verdict("SKIPPED", "the Mac did not seem to sleep")
        return tone_verdict(result, rate)
    finally:
        helper.stop()


def step_daemon_restart(args, env=None):
    helper, _ = start(args.helper, env)
    if helper is None:
        return 1
    try:
        time.sleep(1.0)
        killed_at, _, seen = helper.mark()
        killed = subprocess.run(["sudo", "-n", "killall", "coreaudiod"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if killed.returncode != 0:
            print("  sudo -n killall coreaudiod: " + killed.stdout.decode("utf-8", "replace").strip())
            return verdict("SKIPPED", "coreaudiod was not killed")
        restarted = helper.wait_line(r"^  ! audio system restarted - rebuilding", 15.0, seen)
        rebuilt = helper.wait_line(r"^  > tap rebuilt", 20.0, restarted[0] if restarted else seen)
        time.sleep(1.0)
        data, _ = play_and_capture(helper, args.player, env)
        print("  the helper's lines from the kill on:")
        print_lines(helper.lines_from(seen), killed_at)
        rate = segment_rate(helper)
        result = report_tone(data, rate)
        if restarted is None or rebuilt is None:
            return verdict(False, "no '  ! audio system restarted' line" if restarted is None else
                           "no '  > tap rebuilt' within 20 s of the restart")
        print("  kill to restart line %.0f ms, to '> tap rebuilt' %.0f ms" % (
            (restarted[1] - killed_at) * 1000, (rebuilt[1] - killed_at) * 1000))
        return tone_verdict(result, rate)
    finally:
        helper.stop()


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    steps = parser.add_subparsers(dest="step", required=True)
    tone = steps.add_parser("make-tone")
    tone.add_argument("file")
    for name in ("left", "right", "seconds", "amplitude"):
        tone.add_argument("--" + name, type=float, default=TONE[name])
    tone.add_argument("--rate", type=int, default=TONE["rate"])
    clicks = steps.add_parser("make-clicks")
    clicks.add_argument("file")
    clicks.add_argument("--count", type=int, default=CLICKS["count"])
    clicks.add_argument("--spacing", type=float, default=CLICKS["spacing"])
    steps.add_parser("hal-objects")
    analyze = steps.add_parser("analyze")
    analyze.add_argument("file")
    analyze.add_argument("--rate", type=float, required=True)
    analyze.add_argument("--skip", type=float, default=0.0)
    analyze.add_argument("--seconds", type=float, default=None)
    players = ("tone", "switch", "capture-times", "call", "after-sound", "rate-change", "sleep-wake",
               "daemon-restart")
    for name in ("startup", "input", "sigterm", "notifications") + players:
        step = steps.add_parser(name)
        step.add_argument("--helper", required=True)
        if name == "switch":
            step.add_argument("--to", required=True)
            step.add_argument("--back", required=True)
        if name == "notifications":
            step.add_argument("--hal", action="store_true")
        if name in ("capture-times", "call"):
            step.add_argument("--input", help="the input's UID (default: the built-in microphone)")
        if name == "call":
            step.add_argument("--clicks", type=int, default=CLICKS["count"], help="how many the player plays")
        if name in players:
            step.add_argument("player", nargs="+")
    args = parser.parse_args(argv)

    if args.step == "make-tone":
        write_tone(args.file, args.left, args.right, args.seconds, args.amplitude, args.rate)
        return 0
    if args.step == "make-clicks":
        write_clicks(args.file, args.count, args.spacing)
        return 0
    if args.step == "hal-objects":
        return hal_objects()
    if args.step == "analyze":
        with open(args.file, "rb") as raw:
            data = raw.read()
        begin = int(args.skip * args.rate) * 8
        end = len(data) if args.seconds is None else begin + int(args.seconds * args.rate) * 8
        left, right = split_channels(data[begin:end])
        print(channel_line("left ", describe(left, args.rate)))
        print(channel_line("right", describe(right, args.rate)))
        return 0
    return globals()["step_" + args.step.replace("-", "_")](args) or 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
