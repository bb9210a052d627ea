"""The shared protocol cases (clients/shared/protocol-cases.json) against this client's parser."""

import pytest

from conftest import CASES, event, plain
from lumvar_capture import CommandError, Status
from lumvar_capture.attribution import Attributor
from lumvar_capture.protocol import Protocol, outcome, parse_devices, parse_segment, parse_status


def test_status_lines_segment_lines_and_device_lists():
    for line, mark, text in CASES["status"]:
        assert parse_status(line) == Status(mark, text, line)
    for line, segment in CASES["segments"]:
        assert plain(parse_segment(line)) == segment, line
    for line, devices in CASES["devices"]:
        assert plain(parse_devices(line)) == devices, line


@pytest.mark.parametrize("case", CASES["cases"], ids=[case["about"] for case in CASES["cases"]])
def test_reactions_and_answers(case):
    attributor, events, chunks, got, answer = Attributor(), [], [], None, [] if "command" in case else None
    protocol = Protocol(attributor)
    for line in [line.removeprefix("A ") for line in case["lines"]] + ([CASES["fence"]] if "command" in case else []):
        if line.startswith("F "):
            cut = attributor.feed(bytes(8 * int(line[2:])))
            chunks += [[c.frame, c.frames, c.rate, None if c.clock_ns is None else str(c.clock_ns), c.source] for c in cut]
            continue
        taken, fence = protocol.take(line, answer)
        events += taken
        if fence:
            try:
                got = {"result": plain(outcome(case["command"], answer, parse_devices(line)))}
            except CommandError as e:
                got = {"error": e.code}
    events += protocol.close()
    assert [event(*e) for e in events if e[0] not in ("status", "devices")] == case["events"]
    assert chunks == case.get("chunks", [])
    if "command" in case:
        assert answer == [line[2:] for line in case["lines"] if line.startswith("A ")]
        assert got == ({"error": case["error"]} if "error" in case else {"result": case["result"]})
