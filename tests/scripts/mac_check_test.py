#!/usr/bin/env python3
"""scripts/mac-check's measuring, checked where no Mac is (`--helper BIN --sound-dir DIR`): the analysis
steps against the Linux helper and a private sound server (scripts/sound-server) while known tones and clicks play, whose pitch, level and click times
they must report (pactl stands in for SwitchAudioSource; the sink's monitor for the call's microphone)."""
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
ANALYSIS = os.path.join(ROOT, "scripts", "mac_check_analysis.py")
CHANNEL = re.compile(r"^  (left |right|first |second): (?:([0-9.]+) Hz|no steady tone), peak ([0-9.]+) "
                     r"\([^)]*\), RMS ([0-9.]+)", re.M)
OFFSETS = re.compile(r"over (\d+) clicks: median ([-+.\d]+) ms, spread ([.\d]+) ms")

failures = []


def expect(condition, what):
    print(("ok    " if condition else "FAIL  ") + what)
    if not condition:
        failures.append(what)


def tones(step, output, played, amplitude, peak_tolerance, rms_tolerance, ok=True):
    """Each channel of a step's report at its pitch (within 0.1 Hz), peak and RMS (a tolerance None: not asked)."""
    def close(value, wanted, tolerance):
        return value is not None and abs(value - wanted) <= tolerance
    got = {m.group(1).strip(): (float(m.group(2)) if m.group(2) else None, float(m.group(3)), float(m.group(4)))
           for m in CHANNEL.finditer(output)}
    for name, hz in played:
        hz_got, peak, rms = got.get(name, (None, 0.0, 0.0))
        expect(ok and close(hz_got, hz, 0.1) and (peak_tolerance is None or close(peak, amplitude, peak_tolerance)) and
               close(rms, amplitude / math.sqrt(2), rms_tolerance), "%s, %s: %s Hz, peak %.4f, RMS %.4f (played %.0f Hz "
               "at %s)" % (step, name, hz_got, peak, rms, hz, amplitude))


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

    def make(step, name, *options):
        run(step, os.path.join(work, name), *map(str, options))
        return os.path.join(work, name)

    # What the system source hears: the default sink, played at 0.5 (as the Mac's step plays it); and
    # nothing played, which the step answers with status 3 (mac-check then asks for the permission).
    code, output = run("tone", "--helper", helper, "paplay", make("make-tone", "system.wav"))  # 440/660 Hz, 0.5, 3 s
    stereo = (("left", 440.0), ("right", 660.0))
    tones("tone step", output, stereo, 0.5, 0.005, 0.004, code == 0 and "verdict: PASS" in output)
    code, output = run("tone", "--helper", helper, "true")
    expect(code == 3 and "verdict: FAIL (no tone arrived)" in output, "tone step, nothing played: status %d" % code)

    # Two helpers, SYSTEM and INPUT of the default sink's monitor, and one click train: each places the
    # clicks by its own segment lines, and both at the same moments. Silence keeps the null sink running,
    # so that the two streams begin apart and the listener's INPUT segment is not its first.
    busy = subprocess.Popen(["paplay", make("make-tone", "silence.wav", "--amplitude", 0, "--seconds", 12)], env=env)
    clicks = make("make-clicks", "clicks.wav", "--count", 12, "--spacing", 0.25)
    code, output = run("capture-times", "--helper", helper, "--input", "lumvar_out.monitor", "paplay", clicks)
    busy.kill()
    found = OFFSETS.search(output)
    expect(code == 0 and "verdict: PASS" in output and found and found.group(1) == "12" and
           abs(float(found.group(2))) < 0.5 and float(found.group(3)) < 0.5,
           "capture-times step: %s" % (found.group(0) if found else "no offsets"))

    # CALL of the default sink's monitor: its "microphone" (left) hears what plays (right) with no way through
    # the air, each click within two frames (0.042 ms; runs here stay within 0.011 ms) in both channels. Then
    # CALL of a microphone that nothing plays into: no click in its channel, and the step fails.
    code, output = run("call", "--helper", helper, "--input", "lumvar_out.monitor", "--clicks", "12", "paplay", clicks)
    found = OFFSETS.search(output)
    expect(code == 0 and "verdict: PASS" in output and found and found.group(1) == "12" and
           abs(float(found.group(2))) < 0.042 and float(found.group(3)) < 0.1,
           "call step: %s" % (found.group(0) if found else "no offsets"))
    code, output = run("call", "--helper", helper, "--input", "lumvar_mic", "--clicks", "12", "paplay", clicks)
    expect(code == 0 and "verdict: FAIL (no click heard by the microphone" in output,
           "call step, a microphone that hears nothing: fails")

    # The default output moved to a 44.1 kHz device and back: the tone between is measured at the rate
    # of the rebuilt tap. SwitchAudioSource's stand-in moves the default sink with pactl.
    with open(os.path.join(work, "SwitchAudioSource"), "w") as stand_in:
        stand_in.write('#!/bin/sh\n# SwitchAudioSource -t output -s NAME\nexec pactl set-default-sink "$4"\n')
    os.chmod(stand_in.name, 0o755)
    env["PATH"] = work + os.pathsep + env.get("PATH", "")
    try:
        code, output = run("switch", "--helper", helper, "--to", "lumvar_44k", "--back", "lumvar_out", "paplay",
                           os.path.join(work, "system.wav"))
    finally:
        subprocess.run(["pactl", "set-default-sink", "lumvar_out"], env=env)
    expect(code == 0 and output.count("to '> tap rebuilt'") == 2, "switch step: two rebuilds, status %d" % code)
    tones("switch step at 44.1 kHz", output, stereo, 0.5, None, 0.004)

    # An input device: other figures, and the device's second channel first.
    player = subprocess.Popen(["paplay", "--device=lumvar_mic_sink", make("make-tone", "mic.wav", "--left", 1000,
                                                                          "--right", 250, "--amplitude", 0.25, "--seconds", 6)], env=env)
    try:
        time.sleep(0.5)
        code, output = run("input", "--helper", helper)
    finally:
        player.wait(timeout=30)
    tones("input step", output, (("first", 250.0), ("second", 1000.0)), 0.25, 0.003, 0.006, code == 0)

    # Nothing playing into the microphone: every sample zero, and the step says so with status 3.
    code, output = run("input", "--helper", helper)
    expect(code == 3 and "every sample is zero" in output, "input step with a silent device: status %d" % code)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--helper")
    parser.add_argument("--sound-dir")
    args = parser.parse_args()
    capture(args.helper, args.sound_dir)
    sys.exit(1 if failures else 0)
