"""What only the real helper shows: the client against $LUMVAR_CAPTURE_HELPER (else the helper on PATH) on the
private server whose environment scripts/test-clients exports (LUMVAR_TEST_SOUND_KIND names its kind)."""

import contextlib
import math
import os
import signal
import subprocess
import threading
import time
from array import array

import pytest

import lumvar_capture.session
from conftest import wait_until
from lumvar_capture import CallStarted, Capture, CaptureStartError, HelperExitedError, Segment

pytestmark = pytest.mark.skipif(not os.environ.get("LUMVAR_TEST_SOUND_KIND"),
                                reason="no private sound server: run scripts/test-clients (build the helper first)")


@contextlib.contextmanager
def tone(sink, rate, hertz):
    """A sine of amplitude 0.5 into one sink, on the left channel only, while the block runs."""
    with subprocess.Popen(["sox", "-q", "-n", "-r", str(rate), "-c", "2", "-t", "pulseaudio", sink,
                           "synth", "60", "sine", str(hertz), "gain", "-6", "remix", "1", "0"]) as player:
        try:
            yield
        finally:
            player.kill()


def take(cap, rate, after_ns=0, source=None):
    """Chunks until 4800 frames at `rate` (of `source`, if named), captured after `after_ns`, have come (an
    idle null sink takes up to a second or so); meanwhile the client's queue and the helper's ring keep what comes."""
    chunks = []
    for chunk in cap.chunks(timeout=10):
        chunks.append(chunk)
        if sum(c.frames for c in chunks if c.rate == rate and c.clock_ns > after_ns and source in (None, c.source)) >= 4800:
            return chunks


def rms(chunks, channel, frames):
    values = array("f", (v for chunk in chunks for v in chunk.samples[channel::2]))
    values = values[:frames] if frames > 0 else values[frames:]  # the first or the last frames
    return math.sqrt(sum(v * v for v in values) / len(values))


def end_ns(chunk):
    return chunk.clock_ns + chunk.frames * 1e9 / chunk.rate


def test_exact_attribution_across_an_input_at_another_rate_a_backlog_hole_and_the_stops_drain(monkeypatch):
    monkeypatch.setattr(lumvar_capture.session, "QUEUE_LIMIT_BYTES", 1 << 16)  # a pause fills the ring sooner
    lates, backlogs, segments = [], [], []
    with tone("lumvar_out", 48000, 440), tone("lumvar_44k", 44100, 1000), Capture.start() as cap:
        for name, seen in (("late_segment", lates), ("backlog", backlogs), ("segment", segments)):
            cap.on(name, seen.append)
        devices = cap.list_devices()
        assert ([d.channels for d in devices if d.uid == "lumvar_44k.monitor"], devices, cap.startup_lines[-1].mark) == ([2], cap.devices, ">")
        chunks = take(cap, 48000.0)
        assert cap.use_input("lumvar_44k.monitor").rate == 44100.0
        chunks += take(cap, 44100.0)
        assert cap.use_system() == 48000.0
        chunks += take(cap, 48000.0)
        time.sleep(9.0)  # not pulling for longer than the helper's 8.2 s ring
        while not backlogs:
            chunks += take(cap, 48000.0)
        time.sleep(1.0)  # then stop with a second in the ring: what was captured until the stop arrives
        stopped_ns = time.monotonic_ns()
        assert cap.stop().code == 0
        chunks += cap.chunks()
    # Read as a parent reads both pipes, every line comes before its frames: none late, none unlabelled.
    assert (chunks[0].frame, chunks[0].rate, lates) == (0, 48000.0, [])
    assert all(b.frame == a.frame + a.frames for a, b in zip(chunks, chunks[1:]))
    rates = [c.rate for c in chunks]
    to_input = rates.index(44100.0)
    back = to_input + rates[to_input:].index(48000.0)
    # The system tone sits in the left channel; the input writes the device's second channel first, so
    # its tone arrives on the right. Both to the boundary frame exactly.
    for system, other, frames in ((chunks[:to_input], chunks[to_input:back], -2048), (chunks[back:], chunks[to_input:back], 2048)):
        assert rms(system, 1, frames) < 1e-3 < 0.1 < rms(system, 0, frames)
        assert rms(other, 0, -frames) < 1e-3 < 0.1 < rms(other, 1, -frames)
    # The hole: the chunk after it begins a segment, labelled with that segment exactly, and the clock
    # jumps there by at least what was dropped.
    seconds = [(b.clock_ns - end_ns(a)) / 1e9 for a, b in zip(chunks[back:], chunks[back + 1 :])]
    hole = back + 1 + max(range(len(seconds)), key=seconds.__getitem__)
    assert Segment(chunks[hole].frame, chunks[hole].rate, chunks[hole].clock_ns) in segments
    assert max(seconds) > backlogs[0].dropped_samples / 2 / 48000 - 0.02 > 0
    assert end_ns(chunks[-1]) > stopped_ns - 0.2e9  # but for the server's last cycle


def test_a_call_of_the_default_source_at_the_rates_the_helper_reports_its_microphone_on_the_left():
    with tone("lumvar_mic_sink", 48000, 1000), Capture.start() as cap:  # nothing plays into the default sink
        uid = next(d.uid for d in cap.devices if d.default)
        assert cap.use_call(uid) == CallStarted(uid, 48000.0, 48000.0)
        call = [c for c in take(cap, 48000.0, source="call") if c.source == "call"]
    assert {c.rate for c in call} == {48000.0} and rms(call, 1, -2400) < 1e-3 < 0.1 < rms(call, 0, -2400)


def test_a_helper_that_ends_on_its_own_fails_start_or_pending_calls_and_the_stream():
    # Neither server: not the pulse one, nor PipeWire's own socket (the helper tries that first).
    env = {**os.environ, "PULSE_SERVER": "unix:/nonexistent/lumvar", "PIPEWIRE_REMOTE": "/nonexistent/lumvar/pipewire-0"}
    with pytest.raises(CaptureStartError) as failed:
        Capture.start(env=env)
    assert (failed.value.code, failed.value.lines[-2:]) == (1, ["  x get default output failed: 1885564782", "initial tap build failed"])
    exits, errors = [], []
    with Capture.start() as cap:
        cap.on("exit", exits.append)
        os.kill(cap.pid, signal.SIGSTOP)  # it cannot answer: the call below stays pending
        caller = threading.Thread(target=lambda: errors.append(pytest.raises(HelperExitedError, cap.use_system)))
        caller.start()
        time.sleep(0.3)
        assert caller.is_alive()
        os.kill(cap.pid, signal.SIGKILL)
        caller.join(5)
        with pytest.raises(HelperExitedError):
            list(cap.chunks(timeout=5))
        assert cap.stop().signal == signal.SIGKILL
    assert [errors[0].value.signal] + [e.signal for e in exits] == [signal.SIGKILL] * 2
    assert wait_until(lambda: not [t for t in threading.enumerate() if t.name.startswith("lumvar-capture")])


def test_attribution_across_a_server_restart():
    script = os.path.join(os.path.dirname(__file__), "../../../scripts/sound-server")
    server = [os.environ["PULSE_SERVER"].removeprefix("unix:").removesuffix("/native")]
    events, segments = [], []
    with Capture.start() as cap:
        for name in ("server_unreachable", "server_back"):
            cap.on(name, lambda _, name=name: events.append(name))
        cap.on("segment", segments.append)
        with tone("lumvar_out", 48000, 440):
            chunks = take(cap, 48000.0)
            subprocess.run([script, "stop", *server], check=True, capture_output=True)
            assert wait_until(lambda: events == ["server_unreachable"])
        down_ns = time.monotonic_ns()
        subprocess.run([script, "start", *server, os.environ.get("LUMVAR_TEST_SOUND_KIND", "pulseaudio")], check=True, capture_output=True)
        with tone("lumvar_out", 48000, 440):
            chunks += take(cap, 48000.0, after_ns=down_ns)
    assert events == ["server_unreachable", "server_back"]
    assert all(b.frame == a.frame + a.frames for a, b in zip(chunks, chunks[1:]))
    # The first chunk captured after the outage begins the new source's segment, exactly.
    after = next(c for c in chunks if c.clock_ns > down_ns)
    assert Segment(after.frame, after.rate, after.clock_ns) in segments
