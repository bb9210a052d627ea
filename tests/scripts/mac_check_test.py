#!/usr/bin/env python3
"""scripts/mac-check, checked where no Mac is.

  mac_check_test.py lint
      bash -n and shellcheck on scripts/mac-check; the analysis module compiles.
  mac_check_test.py capture --helper BIN --sound-dir DIR
      the analysis steps against the Linux helper and a private sound server (scripts/sound-server),
      known tones playing: the pitch and level they report must be the ones played (SwitchAudioSource
      is stood in for by pactl).
"""
import argparse
import atexit
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SCRIPT = os.path.join(ROOT, "scripts", "mac-check")
ANALYSIS = os.path.join(ROOT, "scripts", "mac_check_analysis.py")
CHANNEL = re.compile(r"^  (left |right|first |second): (?:([0-9.]+) Hz|no steady tone), peak ([0-9.]+) "
                     r"\([^)]*\), RMS ([0-9.]+)", re.M)

failures = []


def expect(condition, what):
    print(("ok    " if condition else "FAIL  ") + what)
    if not condition:
        failures.append(what)


def lint():
    for command in (["bash", "-n", SCRIPT], ["shellcheck", SCRIPT]):
        try:
            done = subprocess.run(command, capture_output=True, text=True)
            expect(done.returncode == 0, " ".join(command[:-1]) + " scripts/mac-check" +
                   ("" if done.returncode == 0 else ":\n" + done.stdout + done.stderr))
        except FileNotFoundError:
            expect(False, command[0] + " is installed (scripts/install-deps)")
    with open(ANALYSIS) as source:
        compile(source.read(), ANALYSIS, "exec")  # raises on a syntax error
    expect(True, "scripts/mac_check_analysis.py compiles")


def channels(output):
    """{name: (hz or None, peak, rms)} from a step's report."""
    return {m.group(1).strip(): (float(m.group(2)) if m.group(2) else None, float(m.group(3)), float(m.group(4)))
            for m in CHANNEL.finditer(output)}


def close(value, wanted, tolerance):
    return value is not None and abs(value - wanted) <= tolerance


def capture(helper, sound_dir):
    env = dict(os.environ)
    served = subprocess.run([os.path.join(ROOT, "scripts", "sound-server"), "env", sound_dir],
                            capture_output=True, text=True, check=True).stdout
    env.update(line.split("=", 1) for line in served.splitlines() if "=" in line)
    work = tempfile.mkdtemp(prefix="mac-check-")
    atexit.register(shutil.rmtree, work, True)

    def run(*args):
        done = subprocess.run([sys.executable, ANALYSIS] + list(args), env=env, capture_output=True,
                              text=True, timeout=60)
        print(done.stdout + done.stderr)
        return done.returncode, done.stdout

    def make_tone(name, left, right, amplitude, seconds):
        path = os.path.join(work, name)
        run("make-tone", path, "--left", str(left), "--right", str(right), "--amplitude", str(amplitude),
            "--seconds", str(seconds))
        return path

    # What the system source hears: the default sink, played at 0.5 (as the Mac's step plays it).
    code, output = run("tone", "--helper", helper, "paplay", make_tone("system.wav", 440, 660, 0.5, 3))
    got = channels(output)
    for name, hz in (("left", 440.0), ("right", 660.0)):
        hz_got, peak, rms = got.get(name, (None, 0.0, 0.0))
        expect(code == 0 and close(hz_got, hz, 0.1) and close(peak, 0.5, 0.005) and close(rms, 0.5 / math.sqrt(2), 0.004),
               "tone step, %s: %s Hz, peak %.4f, RMS %.4f (played %.0f Hz at 0.5)" % (name, hz_got, peak, rms, hz))

    # The default output moved to a 44.1 kHz device and back: the tone between is measured at the rate
    # of the rebuilt tap. SwitchAudioSource's stand-in moves the default sink with pactl.
    shim = os.path.join(work, "bin")
    os.mkdir(shim)
    with open(os.path.join(shim, "SwitchAudioSource"), "w") as stand_in:
        stand_in.write('#!/bin/sh\n# SwitchAudioSource -t output -s NAME\nexec pactl set-default-sink "$4"\n')
    os.chmod(os.path.join(shim, "SwitchAudioSource"), 0o755)
    env["PATH"] = shim + os.pathsep + env.get("PATH", "")
    try:
        code, output = run("switch", "--helper", helper, "--to", "lumvar_44k", "--back", "lumvar_out", "paplay",
                           os.path.join(work, "system.wav"))
    finally:
        subprocess.run(["pactl", "set-default-sink", "lumvar_out"], env=env)
    got = channels(output)
    expect(code == 0 and output.count("to '> tap rebuilt'") == 2, "switch step: two rebuilds, status %d" % code)
    for name, hz in (("left", 440.0), ("right", 660.0)):
        hz_got, peak, rms = got.get(name, (None, 0.0, 0.0))
        expect(close(hz_got, hz, 0.1) and close(rms, 0.5 / math.sqrt(2), 0.004),
               "switch step at 44.1 kHz, %s: %s Hz, RMS %.4f (played %.0f Hz at 0.5)" % (name, hz_got, rms, hz))

    # An input device: other figures, and the device's second channel first.
    player = subprocess.Popen(["paplay", "--device=lumvar_mic_sink", make_tone("mic.wav", 1000, 250, 0.25, 6)], env=env)
    try:
        time.sleep(0.5)
        code, output = run("input", "--helper", helper)
    finally:
        player.wait(timeout=30)
    got = channels(output)
    for name, hz in (("first", 250.0), ("second", 1000.0)):
        hz_got, peak, rms = got.get(name, (None, 0.0, 0.0))
        expect(code == 0 and close(hz_got, hz, 0.1) and close(peak, 0.25, 0.003) and close(rms, 0.25 / math.sqrt(2), 0.006),
               "input step, %s channel: %s Hz, peak %.4f, RMS %.4f (played %.0f Hz at 0.25)" % (name, hz_got, peak, rms, hz))

    # Nothing playing into the microphone: every sample zero, and the step says so with status 3.
    code, output = run("input", "--helper", helper)
    expect(code == 3 and "every sample is zero" in output, "input step with a silent device: status %d" % code)


def main():
    parser = argparse.ArgumentParser()
    modes = parser.add_subparsers(dest="mode", required=True)
    modes.add_parser("lint")
    run = modes.add_parser("capture")
    run.add_argument("--helper", required=True)
    run.add_argument("--sound-dir", required=True)
    args = parser.parse_args()
    if args.mode == "lint":
        lint()
    else:
        capture(args.helper, args.sound_dir)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
