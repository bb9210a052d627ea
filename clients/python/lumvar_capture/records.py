"""The records the client hands out: chunks of audio and the payloads of events."""

from __future__ import annotations

from array import array
from dataclasses import dataclass
from typing import Literal

Mark = Literal[">", "x", "!", "info", "detail", "plain"]
# Why the helper built the system source again: the line before its build, or the build's own kind.
RebuildReason = Literal["stalled", "silent", "default_output_changed", "audio_system_restarted", "input_lost", "machine_changed", "retry"]
# What the stream carries: what the machine plays, one input device, or a call (left the microphone, right
# what the machine plays, each frame's two samples from the same instant).
Source = Literal["system", "input", "call"]


@dataclass(frozen=True, slots=True)
class Chunk:
    """Interleaved stereo float32 samples that never straddle a segment boundary.

    `frame` is the stream index of the first frame (frames of two samples); `rate` and `clock_ns`
    (capture time of the first frame, monotonic clock) come from its segment. `rate` is 0.0 and
    `clock_ns` None when the helper did not know the rate, and when no segment line places the chunk
    (none came before it, or the lines of its segment starts were merged: `segments_merged`). `source` is
    the one the last source line before its segment's line names; None (unknown) where segment lines were
    merged, since source lines went with them.
    """

    samples: array[float]  # array("f")
    frame: int
    rate: float
    clock_ns: int | None
    source: Source | None

    @property
    def frames(self) -> int:
        return len(self.samples) // 2


@dataclass(frozen=True, slots=True)
class Segment:
    """From stream frame `frame` on, frames are at `rate`; `frame` was captured at `clock_ns`."""

    frame: int
    rate: float
    clock_ns: int


@dataclass(frozen=True, slots=True)
class LateSegment(Segment):
    """A segment line that came when frames past it were delivered (`delivered_frames` of them): those
    keep the label they had; the chunks still to come take this one."""

    delivered_frames: int


@dataclass(frozen=True, slots=True)
class Status:
    """One status line: `line` as written, `mark` and `text` parsed from it."""

    mark: Mark
    text: str
    line: str


@dataclass(frozen=True, slots=True)
class Device:
    uid: str
    name: str
    default: bool
    channels: int  # the device's input channels (the list's `ch`)


@dataclass(frozen=True, slots=True)
class InputStarted:
    uid: str
    rate: float


@dataclass(frozen=True, slots=True)
class CallStarted:
    """A call runs: `rate` is the stream's (its system part's; 0.0 when that part could not be built at the
    start, `call_system_unavailable`), `input_rate` the microphone's own."""

    uid: str
    rate: float
    input_rate: float


@dataclass(frozen=True, slots=True)
class CallInputLost:
    uid: str  # the microphone, whose channel stays silent while the call goes on


@dataclass(frozen=True, slots=True)
class SourceLost:
    source: Literal["system", "input"]
    uid: str | None  # the input's UID


@dataclass(frozen=True, slots=True)
class Rebuilding:
    reason: Literal["silent", "default_output_changed", "stalled", "audio_system_restarted"]
    zero_frames: int | None = None  # of a silent tap


@dataclass(frozen=True, slots=True)
class Rebuilt:
    reason: RebuildReason
    rate: float | None  # the build's aggregate rate, when its line came; a restarted input's rate
    uid: str | None = None  # the input that a restart of the audio system started again


@dataclass(frozen=True, slots=True)
class RebuildFailed:
    reason: RebuildReason
    retrying: bool  # the helper tries again on its next tick


@dataclass(frozen=True, slots=True)
class SegmentsMerged:
    """The lines of `starts` segment starts in frames `from_frame` to `to_frame` - 1 were lost: those frames
    cannot be placed in time. Chunks cut after the line, up to `to_frame`, have rate 0.0 and no clock_ns;
    of those delivered before it (frames below `delivered_frames`), the ones from `from_frame` on carry
    the segment before, which is not theirs."""

    starts: int
    from_frame: int
    to_frame: int
    delivered_frames: int


@dataclass(frozen=True, slots=True)
class Backlog:
    dropped_samples: int


@dataclass(frozen=True, slots=True)
class StatusBacklog:
    dropped_lines: int


@dataclass(frozen=True, slots=True)
class OutputError:
    name: str  # the errno name the helper gave, e.g. ENOSPC


@dataclass(frozen=True, slots=True)
class Exit:
    """How the helper ended: `code` for an exit status, `signal` for a signal (the other is None)."""

    code: int | None
    signal: int | None

    @staticmethod
    def of(returncode: int) -> "Exit":
        return Exit(None, -returncode) if returncode < 0 else Exit(returncode, None)
