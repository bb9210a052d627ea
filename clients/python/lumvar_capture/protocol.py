"""The helper's status lines: parsed into marks and events, and told apart into reactions (what the
helper writes unasked) and the answer of a command. Pure code: the reader thread feeds it line by line."""

from __future__ import annotations

import json
import re
from dataclasses import dataclass
from typing import Any, Callable, Literal

from .records import (
    Backlog,
    Device,
    OutputError,
    Rebuilding,
    RebuildFailed,
    Segment,
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
# What a line is to a pending command: part of its answer, the fence that ends it, a reaction's, or the
# last line of a build the helper retried on its own (whose build lines came without a first line).
Role = Literal["answer", "fence", "reaction", "retry_end"]


def parse_status(line: str) -> Status:
    for prefix, mark in (("  > ", ">"), ("  x ", "x"), ("  ! ", "!"), ("    ", "detail"), ("  ", "info")):
        if line.startswith(prefix):
            return Status(mark, line[len(prefix) :], line)  # type: ignore[arg-type]
    return Status("plain", line, line)


def parse_devices(line: str) -> list[Device]:
    try:
        items = json.loads(line[len(DEVICES) :])
        return [Device(str(d["uid"]), str(d["name"]), bool(d.get("default", False))) for d in items]
    except (ValueError, TypeError, KeyError):
        return []  # the raw line still reaches `status`


_SEGMENT = re.compile(r"  segment: frame=(\d+) rate=([0-9.]+) clock_ns=(-?\d+)")
_BUILD = re.compile(r"  (output device channels: |aggregate rate set -> |rates: |tap format: )|  x .+ failed: -?\d+$")
_CHANNELS = "  output device channels: "


def is_build_line(line: str) -> bool:
    return _BUILD.match(line) is not None


def parse_segment(line: str) -> Segment | None:
    m = _SEGMENT.fullmatch(line)
    return Segment(int(m[1]), float(m[2]), int(m[3])) if m else None


@dataclass(frozen=True)
class _Reaction:
    pattern: re.Pattern[str]
    ends: dict[str, Event] | None  # a build may follow in the same reaction; the lines that end it
    events: Callable[[re.Match[str]], list[Event]]


def _r(pattern: str, ends: dict[str, Event] | None, events: Callable[[re.Match[str]], list[Event]]) -> _Reaction:
    return _Reaction(re.compile(pattern), ends, events)


# The last line of a rebuild; outside a reaction, it ends a build the helper retried on its tick.
_REBUILD_END: dict[str, Event] = {
    "  > tap rebuilt": ("rebuilt", None),
    "  x rebuild failed": ("rebuild_failed", RebuildFailed(False)),
    "  x rebuild failed; retrying next tick": ("rebuild_failed", RebuildFailed(True)),
}
# The sound server's return is followed by one attempt at the system tap, ended as SYSTEM's.
_ATTEMPT_END: dict[str, Event] = {
    "  > system tap started": ("rebuilt", None),
    "  x system tap build failed": ("rebuild_failed", RebuildFailed(False)),
    **_REBUILD_END,
}


# Each reaction, recognised by its first line (README's table lists them).
_REACTIONS = (
    _r(r"  segment: frame=\d+ rate=[0-9.]+ clock_ns=-?\d+", None, lambda m: [("segment", parse_segment(m[0]))]),
    _r(r"  IOProc#1: .*|    buf\[.*", None, lambda m: []),
    _r(r"  ! tap went silent \(.*\) - rebuilding", _REBUILD_END, lambda m: [("rebuilding", Rebuilding("silent"))]),
    _r(
        r"  ! default output changed - rebuilding",
        _REBUILD_END,
        lambda m: [("rebuilding", Rebuilding("default_output_changed"))],
    ),
    _r(
        r"  ! tap stalled - rebuilding",
        _REBUILD_END,
        lambda m: [("source_lost", SourceLost("system", None)), ("rebuilding", Rebuilding("stalled"))],
    ),
    _r(r"  x input device lost: (.*); restoring system", _REBUILD_END, lambda m: [("source_lost", SourceLost("input", m[1]))]),
    _r(r"  > sound server back", _ATTEMPT_END, lambda m: [("server_back", None)]),
    _r(r"  x sound server unreachable", None, lambda m: [("server_unreachable", None)]),
    _r(r"  ! input devices changed", None, lambda m: [("devices_changed", None)]),
    _r(r"  ! output backlog: dropped (\d+) samples.*", None, lambda m: [("backlog", Backlog(int(m[1])))]),
    _r(r"  ! status backlog: dropped (\d+) lines.*", None, lambda m: [("status_backlog", StatusBacklog(int(m[1])))]),
    _r(r"  x output write error \((.*)\) - ending", None, lambda m: [("output_error", OutputError(m[1]))]),
)


class Protocol:
    """Feeds on status lines in order; says for each its events and its role for a pending command."""

    def __init__(self) -> None:
        self._ends: dict[str, Event] | None = None  # inside a reaction whose build may still go on
        self._seen_channels = False

    def take(self, line: str) -> tuple[list[Event], Role]:
        """The line's events (an event without data of its own carries the line's Status) and role."""
        status = parse_status(line)
        events, role = self._take(line, status)
        return [(name, status if payload is None else payload) for name, payload in events], role

    def _take(self, line: str, status: Status) -> tuple[list[Event], Role]:
        events: list[Event] = [("status", status)]
        if self._ends is not None:
            # A second channels line starts a build of its own: the reaction's build was over.
            if is_build_line(line) and not (line.startswith(_CHANNELS) and self._seen_channels):
                self._seen_channels |= line.startswith(_CHANNELS)
                return events, "reaction"
            end = self._ends.get(line)
            self._ends = None
            if end:
                return events + [end], "reaction"
        for reaction in _REACTIONS:
            m = reaction.pattern.fullmatch(line)
            if m:
                self._ends = reaction.ends
                self._seen_channels = False
                return events + reaction.events(m), "reaction"
        end = _REBUILD_END.get(line)
        if end:
            return events + [end], "retry_end"
        if line.startswith(DEVICES):
            return events + [("devices", parse_devices(line))], "fence"
        return events, "answer"


_RATES = re.compile(r"  rates: output=\S+ aggregate=(\S+)")


def system_rate(answer: list[str]) -> float | None:
    """The rate of a successful SYSTEM answer (its build's `aggregate=`), None when it failed."""
    if "  > system tap started" not in answer:
        return None
    end = answer.index("  > system tap started")
    rates = [m[1] for line in answer[:end] if (m := _RATES.match(line))]
    return float(rates[-1]) if rates else 0.0


def input_started(answer: list[str]) -> tuple[str, float] | None:
    """The UID and rate of a successful INPUT answer, None when it failed."""
    uid = next((line[len("  > input capture started: ") :] for line in answer if line.startswith("  > input capture started: ")), None)
    rate = next((line[len("  input device rate: ") :] for line in answer if line.startswith("  input device rate: ")), None)
    if uid is None or rate is None:
        return None
    try:
        return uid, float(rate)
    except ValueError:
        return None
