"""The helper's status lines: parsed into marks and records, read into the machine's reactions (what the
helper writes unasked, which become events) and the answer of the command that waits. Pure code: the
reader thread feeds it line by line."""

from __future__ import annotations

import json
import re
from dataclasses import dataclass
from typing import Any, Literal

from .attribution import Attributor
from .errors import CommandError
from .records import (
    Backlog,
    CallInputLost,
    CallStarted,
    Device,
    InputStarted,
    LateSegment,
    OutputError,
    Rebuilding,
    RebuildFailed,
    RebuildReason,
    Rebuilt,
    Segment,
    Source,
    SourceLost,
    Status,
    StatusBacklog,
)

EVENTS = frozenset(
    {
        "status",
        "devices",
        "segment",
        "late_segment",
        "segments_merged",
        "call_input_lost",
        "call_system_unavailable",
        "devices_changed",
        "source_lost",
        "rebuilding",
        "rebuilt",
        "rebuild_failed",
        "server_unreachable",
        "server_back",
        "backlog",
        "status_backlog",
        "output_error",
        "exit",
    }
)

BANNER = "  > streaming (system)."
DEVICES = "@DEVICES "

Event = tuple[str, Any]


def parse_status(line: str) -> Status:
    for prefix, mark in (("  > ", ">"), ("  x ", "x"), ("  ! ", "!"), ("    ", "detail"), ("  ", "info")):
        if line.startswith(prefix):
            return Status(mark, line[len(prefix) :], line)  # type: ignore[arg-type]
    return Status("plain", line, line)


def parse_devices(line: str) -> list[Device]:
    try:
        items = json.loads(line[len(DEVICES) :])
        return [Device(str(d["uid"]), str(d["name"]), d.get("default") is True, int(d["ch"])) for d in items]
    except (ValueError, TypeError, KeyError):
        return []  # the raw line still reaches `status`


# A capture time before the clock's zero is negative.
_SEGMENT = re.compile(r"  segment: frame=(\d+) rate=(\d+(?:\.\d+)?) clock_ns=(-?\d+)")
_BUILD = re.compile(
    r"  (output device channels: |aggregate rate set -> |rates: |tap format: |microphone rate set -> )"
    r"|  x (microphone cannot run at the output's rate: |call buffers: )|  x .+ failed: -?\d+$"
)
# A build's first line: its channels line, or the failure of a step before it.
_BUILD_START = re.compile(r"  output device channels: |  x (get default output|output UID) failed: -?\d+$")
_RATES = re.compile(r"  rates: output=\S+ aggregate=(\d+(?:\.\d+)?)")
_INPUT_RATE = re.compile(r"  input device rate: (\d+(?:\.\d+)?)")
_STARTED = "  > input capture started: "
_CALL_STARTED = "  > call capture started: "
# The failed starts and the lost input name the system source: the fall-back that follows them builds it,
# and writes no line of its own when it works.
_RESTORING = re.compile(r"  x (input device lost: .*|input start failed|call start failed); restoring system")
# The lines of an input's start before its `> input capture started:`, its failures included.
_INPUT_START = re.compile(
    r"  (input device '.*' channels: \d+|x input device (not found|has no input channels): .*|x (create input IOProc|start input) failed: -?\d+)"
)


def is_build_line(line: str) -> bool:
    return _BUILD.match(line) is not None


def is_build_start(line: str) -> bool:
    return _BUILD_START.match(line) is not None


def aggregate_rate(line: str) -> float | None:
    m = _RATES.fullmatch(line)
    return float(m[1]) if m else None


def source_named(line: str) -> Source | None:
    """The source a line starts, if it starts one."""
    if line == "  > system tap started" or _RESTORING.fullmatch(line):
        return "system"
    if line.startswith(_STARTED):
        return "input"
    return "call" if line.startswith(_CALL_STARTED) else None


def parse_segment(line: str) -> Segment | None:
    m = _SEGMENT.fullmatch(line)
    return Segment(int(m[1]), float(m[2]), int(m[3])) if m else None


@dataclass
class _Block:
    """The build lines that belong to a reaction. A `rebuild` ends with its own result line; a lost
    input's `fallback` at the first line that is not its build's (or after a quiet); an `attempt` (a
    build with no line before it: the machine's try after a failed build, or the tick's retry; or the
    try after `> sound server back`) with either result line."""

    kind: Literal["rebuild", "fallback", "attempt"]
    reason: RebuildReason
    rate: float | None = None
    built: bool = False
    failed: bool = False
    input: str | None = None  # the input a restart of the audio system started again


# Result lines: whether the build worked, and whether the helper tries again on its tick.
_REBUILD_END = {
    "  > tap rebuilt": (True, False),
    "  x rebuild failed": (False, False),
    "  x rebuild failed; retrying next tick": (False, True),
}
_ATTEMPT_END = {"  > system tap started": (True, True), "  x system tap build failed": (False, True)}


def _result(reason: RebuildReason, ok: bool, retrying: bool, rate: float | None) -> Event:
    return ("rebuilt", Rebuilt(reason, rate)) if ok else ("rebuild_failed", RebuildFailed(reason, retrying))


def _react(line: str) -> tuple[list[Event], _Block | None] | None:
    """The events of a line that begins a reaction, and the block of build lines that belongs to it;
    None for any other line. An event without data of its own has None (the line's Status, later)."""
    if line.startswith("  segment: "):
        segment = parse_segment(line)
        return ([("segment", segment)] if segment else []), None
    if m := re.fullmatch(r"  ! segment lines merged: (\d+) starts between frames (\d+) and (\d+)", line):
        return [("segments_merged", (int(m[1]), int(m[2]), int(m[3])))], None
    if line.startswith("  IOProc#1: ") or line.startswith("    buf["):
        return [], None
    if m := re.fullmatch(r"  ! call input lost: (.*); its channel stays silent", line):
        return [("call_input_lost", CallInputLost(m[1]))], None
    if line == "  ! call system part unavailable - retrying":
        return [("call_system_unavailable", None)], None
    if m := re.fullmatch(r"  x input device lost: (.*); restoring system", line):
        return [("source_lost", SourceLost("input", m[1]))], _Block("fallback", "input_lost")
    if line == "  ! tap stalled - rebuilding":
        return [("source_lost", SourceLost("system", None)), ("rebuilding", Rebuilding("stalled"))], _Block("rebuild", "stalled")
    if m := re.fullmatch(r"  ! tap went silent \((\d+) zero-frames\) - rebuilding", line):
        return [("rebuilding", Rebuilding("silent", int(m[1])))], _Block("rebuild", "silent")
    if line == "  ! default output changed - rebuilding":
        return [("rebuilding", Rebuilding("default_output_changed"))], _Block("rebuild", "default_output_changed")
    if line == "  ! audio system restarted - rebuilding":
        return [("rebuilding", Rebuilding("audio_system_restarted"))], _Block("rebuild", "audio_system_restarted")
    if line == "  > sound server back":
        return [("server_back", None)], _Block("attempt", "machine_changed")
    if line in ("  x sound server unreachable", "  ! input devices changed"):
        return [("server_unreachable" if "server" in line else "devices_changed", None)], None
    if m := re.fullmatch(r"  ! output backlog: dropped (\d+) samples - parent not reading", line):
        return [("backlog", Backlog(int(m[1])))], None
    if m := re.fullmatch(r"  ! status backlog: dropped (\d+) lines - parent not reading stderr", line):
        return [("status_backlog", StatusBacklog(int(m[1])))], None
    if m := re.fullmatch(r"  x output write error \((.*)\) - ending", line):
        return [("output_error", OutputError(m[1]))], None
    return None


class Protocol:
    """Feeds on the lines after the banner, in order: gives each line's events, and puts a line that is
    no reaction's into the answer of the command that waits. Segment lines and their merges go to the
    attributor: their events say what it made of them."""

    def __init__(self, attributor: Attributor) -> None:
        self._block: _Block | None = None
        self._attributor = attributor
        self._source: Source = "system"  # the source the next segment line is of

    @property
    def settling(self) -> bool:
        """A lost input's fall-back is open: it writes no result line, so a quiet ends it (`close()`)."""
        return self._block is not None and self._block.kind == "fallback"

    def take(self, line: str, answer: list[str] | None) -> tuple[list[Event], bool]:
        """The line's events, each without data of its own carrying the line's Status, and whether the
        line is the fence (the device list). `answer` is the waiting command's, None when none waits."""
        status = parse_status(line)
        self._source = source_named(line) or self._source
        events = [("status", status), *self._take(line, answer)]
        return [(name, status if payload is None else payload) for name, payload in events], line.startswith(DEVICES)

    def close(self) -> list[Event]:
        """Ends the open block without a result line: only one that built says how its build went (a
        failed one the helper tries again on its tick)."""
        block, self._block = self._block, None
        return [_result(block.reason, not block.failed, block.failed, block.rate)] if block and block.built else []

    def _take(self, line: str, answer: list[str] | None) -> list[Event]:
        events: list[Event] = []
        if self._block is not None:
            taken, events = self._continue(line)
            if taken:
                return events
        if line.startswith(DEVICES):
            return [*events, ("devices", parse_devices(line))]
        reaction = _react(line)
        if reaction is not None:
            self._block = reaction[1]
            return events + [self._attribute(*event) for event in reaction[0]]
        if line in _REBUILD_END:
            # The end of the tick's retry while a command waits: its build went into the answer.
            build: list[str] = []
            starts = [i for i, text in enumerate(answer or []) if is_build_start(text)]
            if answer is not None and starts and all(map(is_build_line, answer[starts[-1] :])):
                build, answer[starts[-1] :] = answer[starts[-1] :], []
            rates = [rate for text in build if (rate := aggregate_rate(text)) is not None]
            return [*events, _result("retry", *_REBUILD_END[line], rates[-1] if rates else None)]
        if answer is None and is_build_start(line):
            # A build with no line before it: the machine's try after a failed build, or the tick's retry.
            self._block = _Block("attempt", "machine_changed")
            return events + self._continue(line)[1]
        if answer is not None:
            answer.append(line)
        return events

    def _continue(self, line: str) -> tuple[bool, list[Event]]:
        """Takes a line of the open block: whether it was the block's, and the events of its end."""
        block = self._block
        assert block is not None
        if block.reason == "audio_system_restarted" and not block.built:
            # After a restart of the audio system, the input that ran starts again: its lines up to its rate.
            # If it does not start, the lines of its failure; `x input device lost` begins a reaction of its own.
            m = _INPUT_RATE.fullmatch(line) if block.input is not None else None
            if m:
                self._block = None
                return True, [("rebuilt", Rebuilt(block.reason, float(m[1]), block.input))]
            if block.input is None and line.startswith(_STARTED):
                block.input = line[len(_STARTED) :]
                return True, []
            if block.input is None and _INPUT_START.fullmatch(line):
                return True, []
        # A second build is not this block's: the tick's retry, or a command's own build.
        if is_build_line(line) and not (block.built and is_build_start(line)):
            block.built = True
            if (rate := aggregate_rate(line)) is not None:
                block.rate = rate
            block.failed |= line.startswith("  x ")
            return True, []
        end = _REBUILD_END.get(line) if block.kind != "fallback" else None
        if block.kind == "attempt" and line in _ATTEMPT_END:
            end = _ATTEMPT_END[line]
        elif block.kind == "attempt" and end:
            block.reason = "retry"
        if end:
            self._block = None
            return True, [_result(block.reason, *end, block.rate)]
        return False, self.close()

    def _attribute(self, name: str, payload: Any) -> Event:
        """A segment's event as the attributor takes it (late or not); a merge's, with the frames delivered."""
        if name == "segment" and self._attributor.segment(payload, self._source) == "late_segment":
            return "late_segment", LateSegment(payload.frame, payload.rate, payload.clock_ns, self._attributor.delivered)
        if name == "segments_merged":
            return name, self._attributor.merged(*payload)
        return name, payload


def outcome(command: str, answer: list[str], devices: list[Device]) -> Any:
    """The value of `command` (its line: `LIST`, `SYSTEM`, `INPUT <uid>`, `CALL <uid>`) from its answer, the
    lines up to its fence less the reactions', and the fence's devices. Raises CommandError when it failed."""
    if command == "LIST":
        return devices
    if command == "SYSTEM":
        # The last result: a try of the machine's before SYSTEM's own lines looks the same.
        results = [i for i, line in enumerate(answer) if line in _ATTEMPT_END]
        if not results or answer[results[-1]] != "  > system tap started":
            raise CommandError(command, "SYSTEM_BUILD_FAILED", "the system tap could not be built", answer)
        return _last_aggregate_rate(answer[: results[-1]])
    word, _, asked = command.partition(" ")
    if word == "CALL" and any(line.startswith("unknown cmd: CALL") for line in answer):
        raise CommandError(command, "CALL_UNSUPPORTED", "this helper does not support CALL (it answered 'unknown cmd'): it is older than the client", answer)
    prefix = _CALL_STARTED if word == "CALL" else _STARTED
    if (at := next((i for i, line in enumerate(answer) if line.startswith(prefix)), None)) is not None:
        input_rate = next((float(m[1]) for line in answer[at:] if (m := _INPUT_RATE.fullmatch(line))), 0.0)
        if word == "INPUT":
            return InputStarted(answer[at][len(prefix) :], input_rate)
        # A call's stream runs at its system part's rate: 0.0 when that part could not be built at the start.
        return CallStarted(answer[at][len(prefix) :], _last_aggregate_rate(answer[:at]), input_rate)
    for start, code, message in (
        ("  x input device not found: ", "NOT_FOUND", f"no such input device: {asked}"),
        ("  x input device has no input channels: ", "NO_INPUT_CHANNELS", f"the device has no input channels: {asked}"),
        (f"  x {word} needs a device uid", "NEEDS_UID", f"{word} needs a device UID"),
    ):
        if any(line.startswith(start) for line in answer):
            raise CommandError(command, code, message, answer)
    if word == "CALL":
        raise CommandError(command, "CALL_START_FAILED", "the call could not be started", answer)
    raise CommandError(command, "INPUT_START_FAILED", "the input could not be started", answer)


def _last_aggregate_rate(lines: list[str]) -> float:
    rates = [rate for line in lines if (rate := aggregate_rate(line)) is not None]
    return rates[-1] if rates else 0.0
