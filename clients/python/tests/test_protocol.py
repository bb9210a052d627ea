"""Reactions told apart from a command's answer, and the events they raise (README's tables)."""

import pytest

from lumvar_capture import OutputError, Rebuilding, RebuildFailed, SourceLost, StatusBacklog
from lumvar_capture.protocol import Protocol

CH = "  output device channels: 2, level correction x1.0"
RATES = "  rates: output=48000.0 aggregate=48000.0"
FAIL = "  x get default output failed: 1885564782"

# Each case: the lines in order, "A " marking the ones that belong to the pending command's answer.
CASES = {
    "a lost input's fall-back, then SYSTEM's own build": [
        "  x input device lost: mic; restoring system", CH, RATES, "A " + CH, "A " + RATES,
        "A   > system tap started"],
    "a failed fall-back, then INPUT": [
        "  x input device lost: mic; restoring system", FAIL, "A   input device 'Mic' channels: 2",
        "A   > input capture started: mic", "A   input device rate: 48000.0"],
    "the server's return and its attempt, then SYSTEM": [
        "  x sound server unreachable", "  > sound server back", CH, RATES, "  > system tap started",
        "  ! input devices changed", "A " + FAIL, "A   x system tap build failed"],
    "a silent tap's rebuild between the lines of two items": [
        "A   x input device not found: x", "A   x input start failed; restoring system", "A " + CH,
        "A " + RATES, "  segment: frame=10 rate=48000.0 clock_ns=5", "  ! tap went silent (9 zero-frames) - rebuilding",
        CH, RATES, "  x rebuild failed; retrying next tick", "  ! output backlog: dropped 96 samples - parent not reading"],
}


@pytest.mark.parametrize("lines", CASES.values(), ids=CASES.keys())
def test_answers_leave_out_reactions(lines):
    protocol = Protocol()
    roles = [protocol.take(line.removeprefix("A "))[1] for line in lines]
    assert [role == "answer" for role in roles] == [line.startswith("A ") for line in lines]


def test_events_of_reactions():
    protocol = Protocol()
    lines = CASES["the server's return and its attempt, then SYSTEM"] + [
        "  ! tap stalled - rebuilding", FAIL, "  x rebuild failed", "  x input device lost: mic; restoring system",
        "  ! status backlog: dropped 7 lines - parent not reading stderr", "  x output write error (ENOSPC) - ending"]
    events = [(name, payload) for line in lines for name, payload in protocol.take(line.removeprefix("A "))[0]
              if name != "status"]
    assert [(name, getattr(payload, "text", payload)) for name, payload in events] == [
        ("server_unreachable", "sound server unreachable"), ("server_back", "sound server back"),
        ("rebuilt", "system tap started"), ("devices_changed", "input devices changed"),
        ("source_lost", SourceLost("system", None)), ("rebuilding", Rebuilding("stalled")),
        ("rebuild_failed", RebuildFailed(False)), ("source_lost", SourceLost("input", "mic")),
        ("status_backlog", StatusBacklog(7)), ("output_error", OutputError("ENOSPC"))]
