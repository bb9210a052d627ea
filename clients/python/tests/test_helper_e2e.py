"""The client against the real helper ($LUMVAR_CAPTURE_HELPER) on the private test server whose
environment scripts/test-clients exports (PULSE_SERVER, ...; LUMVAR_TEST_SOUND_KIND names it)."""

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
from lumvar_capture import Capture, CaptureStartError, CommandError, HelperExitedError, InputStarted

pytestmark = pytest.mark.skipif(
    not os.environ.get("LUMVAR_CAPTURE_HELPER"),
    reason="LUMVAR_CAPTURE_HELPER is unset: run scripts/test-clients (it builds nothing; build the helper first)",
)


class Tone:
    """A sine into one sink through pacat, on the left channel only, until the block ends."""

    def __init__(self, sink: str, rate: int, hertz: float):
        self.rate, self.hertz = rate, hertz
        self.proc = subprocess.Popen(
            ["pacat", "--playback", f"--device={sink}", "--format=float32le", f"--rate={rate}",
             "--channels=2", "--raw", "--latency-msec=20"],
            stdin=subprocess.PIPE,
        )
        second = array("f", [0.0] * (2 * rate))
        for i in range(rate):
            second[2 * i] = 0.5 * math.sin(2 * math.pi * hertz * i / rate)
        self.data = second.tobytes()
        self.thread = threading.Thread(target=self._play, daemon=True)

    def _play(self):
        try:
            while True:
                self.proc.stdin.write(self.data)
        except (BrokenPipeError, ValueError, OSError):
            pass

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.proc.kill()
        self.proc.wait()
        self.thread.join()


class Collector:
    """Takes every chunk on a thread of its own; `paused` makes it stop pulling."""

    def __init__(self, cap: Capture):
        self.chunks, self.error = [], None
        self.pulling = threading.Event()
        self.pulling.set()
        self.thread = threading.Thread(target=self._run, args=(cap,), daemon=True)
        self.thread.start()

    def _run(self, cap):
        try:
            for chunk in cap.chunks():
                self.chunks.append(chunk)
                self.pulling.wait()
        except Exception as e:
            self.error = e

    def wait_for_audio(self, rate, frames=4800):
        """Until `frames` frames at `rate` have arrived (an idle null sink takes up to a second or so)."""
        assert wait_until(lambda: sum(c.frames for c in self.chunks if c.rate == rate) >= frames, 10)

    def join(self):
        self.thread.join(10)
        assert not self.thread.is_alive()
        return self.chunks


def channel(chunks, which):
    values = array("f")
    for chunk in chunks:
        values.extend(chunk.samples[which::2])
    return values


def rms(values):
    return math.sqrt(sum(v * v for v in values) / len(values)) if values else 0.0


def pitch(values, rate):
    # Over the tone only: a new stream may begin with a few milliseconds of silence.
    loud = [i for i, v in enumerate(values) if abs(v) > 0.05]
    values = values[loud[0]:loud[-1] + 1] if loud else []
    crossings = sum(1 for a, b in zip(values, values[1:]) if (a < 0) != (b < 0))
    return crossings / 2 / (len(values) / rate) if values else 0.0


def test_start_devices_and_commands():
    with Capture.start() as cap:
        assert cap.startup_lines[-1].text.startswith("streaming (system)")
        uids = {d.uid for d in cap.devices}
        assert {"lumvar_mic", "lumvar_mono", "lumvar_out.monitor", "lumvar_44k.monitor"} <= uids
        assert [d.uid for d in cap.devices if d.default] == ["lumvar_mic"]
        assert {d.uid for d in cap.list_devices()} == uids
        assert cap.use_input("lumvar_44k.monitor") == InputStarted("lumvar_44k.monitor", 44100.0)
        for uid, line in (
            ("no_such_device", "  x input device not found: no_such_device"),
            ("lumvar_out", "  x input device has no input channels: lumvar_out"),
        ):
            with pytest.raises(CommandError) as failed:
                cap.use_input(uid)
            assert line in failed.value.lines
            assert "  x input start failed; restoring system" in failed.value.lines
        assert cap.use_system() == 48000.0
        assert cap.stop().code == 0


def test_a_failed_first_build_fails_start_with_its_lines():
    # Neither server: not the pulse one, nor PipeWire's own socket (the helper tries that first).
    env = {**os.environ, "PULSE_SERVER": "unix:/nonexistent/lumvar-no-server",
           "PIPEWIRE_REMOTE": "/nonexistent/lumvar-no-server/pipewire-0"}
    with pytest.raises(CaptureStartError) as failed:
        Capture.start(env=env)
    assert failed.value.code == 1
    assert failed.value.lines[-2:] == ["  x get default output failed: 1885564782", "initial tap build failed"]


def test_the_first_chunks_of_each_start_carry_their_segment():
    # The helper writes a segment's line before its frames: a parent that reads both pipes never sees
    # a late line for a start (a late line is for a parent that left standard error unread for 200 ms).
    with Tone("lumvar_out", 48000, 440):
        for _ in range(5):
            with Capture.start() as cap:
                lates = []
                cap.on("late_segment", lates.append)
                first = next(cap.chunks(timeout=10))
                cap.stop()
            assert (first.frame, first.rate, lates) == (0, 48000.0, []), "frames before their segment line"


def test_exact_attribution_across_an_input_at_another_rate_and_back():
    with Tone("lumvar_out", 48000, 440), Tone("lumvar_44k", 44100, 1000):
        with Capture.start() as cap:
            collector = Collector(cap)
            collector.wait_for_audio(48000.0)
            assert cap.use_input("lumvar_44k.monitor").rate == 44100.0
            collector.wait_for_audio(44100.0)
            assert cap.use_system() == 48000.0
            collector.wait_for_audio(48000.0, frames=sum(c.frames for c in collector.chunks if c.rate == 48000.0) + 4800)
            cap.stop()
    chunks = collector.join()
    rates = [c.rate for c in chunks]
    to_input = rates.index(44100.0)
    back = to_input + rates[to_input:].index(48000.0)
    window = 2048
    # The system tone sits in the left channel; the input writes the device's second channel first,
    # so its tone arrives on the right. Both at the boundary frame exactly, and at the labelled pitch.
    for before, after, after_rate in ((chunks[:to_input], chunks[to_input:back], 44100),
                                      (chunks[to_input:back], chunks[back:], 48000)):
        last = [channel(before, i)[-window:] for i in (0, 1)]
        first = [channel(after, i)[:window] for i in (0, 1)]
        system, other = (last, first) if after_rate == 44100 else (first, last)
        assert rms(system[1]) < 1e-3 < 0.1 < rms(system[0])
        assert rms(other[0]) < 1e-3 < 0.1 < rms(other[1])
        assert pitch(system[0], 48000) == pytest.approx(440, rel=0.05)
        assert pitch(other[1], 44100) == pytest.approx(1000, rel=0.05)


def test_attribution_across_a_backlog_drop(monkeypatch):
    monkeypatch.setattr(lumvar_capture.session, "QUEUE_LIMIT_BYTES", 1 << 16)  # the pause fills the ring sooner
    backlogs, segments = [], []
    with Tone("lumvar_out", 48000, 440):
        with Capture.start() as cap:
            cap.on("backlog", backlogs.append)
            cap.on("segment", segments.append)
            collector = Collector(cap)
            collector.wait_for_audio(48000.0)
            collector.pulling.clear()
            time.sleep(9.0)  # longer than the helper's 8.2 s ring
            collector.pulling.set()
            assert wait_until(lambda: backlogs)
            cap.stop()
    chunks = collector.join()
    assert backlogs and backlogs[0].dropped_samples > 0
    frames = [c.frame for c in chunks]
    assert frames == sorted(frames) and all(b.frame == a.frame + a.frames for a, b in zip(chunks, chunks[1:]))
    # The hole: the chunk after it begins a segment, labelled with that segment exactly, and the clock
    # jumps there by at least what was dropped.
    seconds = [(b.clock_ns - a.clock_ns) / 1e9 - a.frames / 48000 for a, b in zip(chunks, chunks[1:])]
    hole = max(range(len(seconds)), key=seconds.__getitem__)
    after = chunks[hole + 1]
    assert (after.frame, after.rate, after.clock_ns) in {(s.frame, s.rate, s.clock_ns) for s in segments}
    assert seconds[hole] > backlogs[0].dropped_samples / 2 / 48000 - 0.02


def test_stop_delivers_what_the_helper_drains(monkeypatch):
    monkeypatch.setattr(lumvar_capture.session, "QUEUE_LIMIT_BYTES", 1 << 16)
    with Tone("lumvar_out", 48000, 440):
        with Capture.start() as cap:
            collector = Collector(cap)
            collector.wait_for_audio(48000.0)
            last = collector.chunks[-1]
            lag_ns = time.monotonic_ns() - (last.clock_ns + last.frames * 1e9 / 48000)  # capture to us
            collector.pulling.clear()  # two seconds pile up in the helper's ring
            time.sleep(2.0)
            stopped_ns = time.monotonic_ns()
            exit = cap.stop()
            collector.pulling.set()
    chunks = collector.join()
    assert exit.code == 0 and collector.error is None
    end_ns = chunks[-1].clock_ns + chunks[-1].frames * 1e9 / 48000
    assert end_ns > stopped_ns - lag_ns - 0.25e9  # the tail captured just before the stop arrived too


def test_a_helper_killed_with_sigkill_fails_pending_calls_and_ends_the_stream():
    with Capture.start() as cap:
        collector = Collector(cap)
        exits, errors = [], []
        cap.on("exit", exits.append)
        os.kill(cap.pid, signal.SIGSTOP)  # it cannot answer: the call below stays pending
        caller = threading.Thread(target=lambda: errors.append(pytest.raises(HelperExitedError, cap.use_system)))
        caller.start()
        time.sleep(0.3)
        assert caller.is_alive()
        os.kill(cap.pid, signal.SIGKILL)
        caller.join(5)
        collector.join()
        assert errors and errors[0].value.signal == signal.SIGKILL
        assert isinstance(collector.error, HelperExitedError)
        assert cap.stop().signal == signal.SIGKILL
        assert [e.signal for e in exits] == [signal.SIGKILL]


def test_attribution_across_a_server_restart():
    script = os.path.join(os.path.dirname(__file__), "../../../scripts/sound-server")
    server_dir = os.environ["PULSE_SERVER"].removeprefix("unix:").removesuffix("/native")
    kind = os.environ.get("LUMVAR_TEST_SOUND_KIND", "pulseaudio")
    events, segments = [], []
    with Capture.start() as cap:
        for name in ("server_unreachable", "server_back"):
            cap.on(name, lambda _, name=name: events.append(name))
        cap.on("segment", segments.append)
        collector = Collector(cap)
        with Tone("lumvar_out", 48000, 440):
            collector.wait_for_audio(48000.0)
            subprocess.run([script, "stop", server_dir], check=True, capture_output=True)
            assert wait_until(lambda: events == ["server_unreachable"])
        down_ns = time.monotonic_ns()
        subprocess.run([script, "start", server_dir, kind], check=True, capture_output=True)
        frames = sum(c.frames for c in collector.chunks)
        with Tone("lumvar_out", 48000, 440):
            collector.wait_for_audio(48000.0, frames=frames + 4800)
        cap.stop()
    chunks = collector.join()
    assert events == ["server_unreachable", "server_back"]
    assert all(b.frame == a.frame + a.frames for a, b in zip(chunks, chunks[1:]))
    # The first chunk captured after the outage begins the new source's segment, exactly.
    after = next(c for c in chunks if c.clock_ns > down_ns)
    assert (after.frame, after.rate, after.clock_ns) in {(s.frame, s.rate, s.clock_ns) for s in segments}
