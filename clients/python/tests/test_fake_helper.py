"""The client against the shared stand-in for the helper (clients/shared/fake-helper.py)."""

import gc
import os
import time
from functools import partial

import pytest

from conftest import CASES, FAKE, event, plain, wait_until
from lumvar_capture import EVENTS, Capture, CommandError, HelperExitedError
from lumvar_capture.session import QUEUE_LIMIT_BYTES


def fake(scenario):
    return Capture.start(helper=FAKE, env={**os.environ, "FAKE_SCENARIO": scenario})


def test_a_line_written_right_before_its_frames_labels_exactly_those_frames_and_their_source_whatever_the_reads_a_late_one_the_later_ones_a_merge_none():
    segments, late, chunks = [], [], []
    with fake("burst") as cap, pytest.raises(HelperExitedError):  # the fake ends after its last line
        cap.on("segment", segments.append)
        cap.on("late_segment", late.append)
        chunks.extend(cap.chunks(timeout=5))
    # Late lines: frames delivered keep their label; the second, older than the last segment, labels none.
    labels, frame = segments[:-1] + late[:1] + segments[-1:], 0
    assert [s.rate for s in late] == [44100.0, 16000.0]
    for chunk in chunks:
        # Every frame in order, and all of one segment: the right samples hold its line's number and source.
        right = int(chunk.samples[1])
        assert chunk.frame == frame and list(chunk.samples) == [v for i in range(frame, frame + chunk.frames) for v in (i, right)]
        segment, source = (None, None) if right < 0 else (labels[right % 1000], ("system", "input", "call")[right // 1000])
        clock_ns = segment and segment.clock_ns + round((frame - segment.frame) * 1e9 / segment.rate)
        assert (chunk.rate, chunk.clock_ns, chunk.source) == (segment.rate if segment else 0.0, clock_ns, source)
        frame += chunk.frames
    assert frame == labels[-1].frame  # the last line tells how many frames there were


def test_a_consumer_that_stops_pulling_stops_the_audio_reads_but_not_the_status_lines():
    told, frames = [], []
    with fake("flood") as cap:
        cap.on("status", lambda s: s.text.startswith("fake wrote") and told.append(int(s.text.split()[-1])))
        time.sleep(1.0)
        lines_while_paused, written = len(told), told[-1]
        while len(frames) < 200_000:
            frames += next(cap.chunks(timeout=5)).samples[0::2]
    assert lines_while_paused > 50  # standard error kept being read (a line every 5 ms)
    assert written <= QUEUE_LIMIT_BYTES + 2 * 65536 + 4096 * 8  # the queue, one read, the pipe's buffer
    assert frames[:200_000] == list(range(200_000))


def test_the_command_cases_through_the_pipes_one_command_at_a_time_each_with_its_own_fence():
    events, outcomes = [], []
    cases = [case for case in CASES["cases"] if "command" in case]
    with fake("commands") as cap:
        for name in EVENTS - {"status", "devices", "late_segment", "exit"}:
            cap.on(name, lambda payload, name=name: events.append(event(name, payload)))
        with pytest.raises(CommandError, match="no answer") as given_up:  # its fence must not end the next answer
            cap.use_input("slow", timeout=0.1)
        for command in (case["command"] for case in cases):
            try:
                call = cap.use_system if command == "SYSTEM" else partial(cap.use_call, command[5:]) if command.startswith("CALL") else partial(cap.use_input, command[6:])
                outcomes.append({"result": plain(call())})
            except CommandError as e:
                outcomes.append({"error": e.code, "lines": e.lines})
        with pytest.raises(CommandError) as bad:
            cap.use_input("a\nSYSTEM")
        cap.stop()
        with pytest.raises(CommandError) as stopped:
            cap.list_devices()
    assert (given_up.value.code, bad.value.code, stopped.value.code) == ("ABORTED", "BAD_UID", "STOPPED")
    answers = [[line[2:] for line in case["lines"] if line.startswith("A ")] for case in cases]
    assert outcomes == [{"error": c["error"], "lines": a} if "error" in c else {"result": c["result"]} for c, a in zip(cases, answers)]
    assert events == [e for case in cases for e in case["events"]]


def test_a_forgotten_capture_ends_its_helper():
    pid = fake("flood").pid
    gc.collect()
    assert wait_until(lambda: not os.path.exists(f"/proc/{pid}"))
