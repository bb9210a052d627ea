"""Spawn the lumvar-capture helper and read what the machine plays (or an input device), each chunk
labelled with its stream frame, rate and capture time."""

from .capture import Capture, find_helper
from .errors import CaptureStartError, CommandError, HelperExitedError, LumvarCaptureError
from .protocol import EVENTS
from .records import (
    Backlog,
    CallInputLost,
    CallStarted,
    Chunk,
    Device,
    Exit,
    InputStarted,
    LateSegment,
    OutputError,
    Rebuilding,
    RebuildFailed,
    RebuildReason,
    Rebuilt,
    Segment,
    SegmentsMerged,
    Source,
    SourceLost,
    Status,
    StatusBacklog,
)

__all__ = [
    "EVENTS",
    "Backlog",
    "CallInputLost",
    "CallStarted",
    "Capture",
    "CaptureStartError",
    "Chunk",
    "CommandError",
    "Device",
    "Exit",
    "HelperExitedError",
    "InputStarted",
    "LateSegment",
    "LumvarCaptureError",
    "OutputError",
    "Rebuilding",
    "RebuildFailed",
    "RebuildReason",
    "Rebuilt",
    "Segment",
    "SegmentsMerged",
    "Source",
    "SourceLost",
    "Status",
    "StatusBacklog",
    "find_helper",
]
