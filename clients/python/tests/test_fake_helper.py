"""The client against fake helpers: attribution, late lines, back-pressure, command answers, a death."""

import gc
import os
import signal
import threading
import time

import pytest

from conftest import FAKE, wait_until
from lumvar_capture import Capture, CommandError, HelperExitedError, Segment
from lumvar_capture.session import QUEUE_LIMIT_BYTES


def frame_indices(chunk):
    return [int(v) for v in chunk.samples[0::2]]


def collect(cap, frames, timeout=5.0):
    chunks, total = [], 0
    for chunk in cap.chunks(timeout=timeout):
        chunks.append(chunk)
        total += chunk.frames
        if total >= frames:
            return chunks
    raise AssertionError("the stream ended early")


def test_chunks_carry_their_segment_and_never_straddle_one(fake_env):
    with Capture.start(helper=FAKE, env=fake_env("burst")) as cap:
        chunks = collect(cap, 3000)
    # Every frame once, in order, whatever the reads cut (the first reads end inside a frame).
    assert [i for c in chunks for i in frame_indices(c)] == list(range(3000))
    for chunk in chunks:
        first = chunk.frame
        assert frame_indices(chunk)[0] == first
        last = first + chunk.frames - 1
        assert (first < 1000) == (last < 1000) and (first < 1500) == (last < 1500), "a chunk straddles"
        if first < 1000:
            assert (chunk.rate, chunk.clock_ns) == (48000.0, 1000 + round(first * 1e9 / 48000))
        elif first < 1500:
            assert (chunk.rate, chunk.clock_ns) == (44100.0, 5_000_000_000 + round((first - 1000) * 1e9 / 44100))
        else:
            assert (chunk.rate, chunk.clock_ns) == (44100.0, 5_011_337_868 + round((first - 1500) * 1e9 / 44100))


def test_a_late_line_is_reported_with_its_frame_and_labels_what_follows(fake_env):
    late = []
    with Capture.start(helper=FAKE, env=fake_env("late")) as cap:
        cap.on("late_segment", late.append)
        chunks = collect(cap, 3000)
    assert late == [Segment(1000, 44100.0, 7_000_000_000)]
    # Already delivered: keeps the label it had; after the line: the late segment's, exactly.
    assert {c.rate for c in chunks if c.frame < 2000} == {48000.0}
    after = [c for c in chunks if c.frame >= 2000]
    assert after[0].frame == 2000
    assert after[0].clock_ns == 7_000_000_000 + round(1000 * 1e9 / 44100)
    assert {c.rate for c in after} == {44100.0}


def test_a_consumer_that_stops_pulling_stops_the_audio_reads_but_not_the_status_lines(fake_env):
    told = []
    with Capture.start(helper=FAKE, env=fake_env("flood")) as cap:
        cap.on("status", lambda s: s.text.startswith("fake wrote") and told.append(int(s.text.split()[-1])))
        time.sleep(1.0)
        lines_while_paused = len(told)
        written = told[-1]
        chunks = collect(cap, 200_000)
    assert lines_while_paused > 50  # standard error kept being read (a line every 5 ms)
    # What the fake could write is bounded by the queue, one read and the pipe's own buffer.
    assert written <= QUEUE_LIMIT_BYTES + 2 * 65536 + 4096 * 8
    assert [i for c in chunks for i in frame_indices(c)][:200_000] == list(range(200_000))


def test_command_answers_leave_out_reactions(fake_env):
    events = []
    with Capture.start(helper=FAKE, env=fake_env("commands")) as cap:
        for name in ("rebuilding", "rebuilt", "rebuild_failed", "devices_changed", "segment"):
            cap.on(name, lambda payload, name=name: events.append(name))
        assert [d.uid for d in cap.devices] == ["mic"]
        # Between the command's own lines: a reaction before, one after and a tick's retry.
        assert cap.use_system() == 44100.0
        assert cap.use_input("mic").rate == 44100.0
        with pytest.raises(CommandError) as failed:
            cap.use_input("nope")
        assert failed.value.lines == [
            "  x input device not found: nope",
            "  x input start failed; restoring system",
            "  output device channels: 2, level correction x1.0",
        ]
        assert [d.name for d in cap.list_devices()] == ["Mic"]
        cap.stop()
    assert events == ["rebuilding", "rebuilt", "devices_changed", "rebuild_failed", "segment"]


def test_a_killed_helper_fails_the_pending_call_and_ends_the_stream(fake_env):
    cap = Capture.start(helper=FAKE, env=fake_env("commands"))
    exits = []
    cap.on("exit", exits.append)
    with pytest.raises(HelperExitedError) as died:
        cap.use_input("die")
    assert died.value.signal == signal.SIGKILL
    with pytest.raises(HelperExitedError):
        list(cap.chunks(timeout=5))
    assert cap.stop().signal == signal.SIGKILL
    assert [e.signal for e in exits] == [signal.SIGKILL]
    assert wait_until(lambda: not [t for t in threading.enumerate() if t.name.startswith("lumvar-capture")])


def test_a_forgotten_capture_ends_its_helper(fake_env):
    cap = Capture.start(helper=FAKE, env=fake_env("burst"))
    pid = cap.pid
    del cap
    gc.collect()

    def gone():
        try:
            os.kill(pid, 0)
            return False
        except ProcessLookupError:
            return True

    assert wait_until(gone)
