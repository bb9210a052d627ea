"""Spawn the lumvar-capture helper and read what the machine plays (or an input device), each chunk
labelled with its stream frame, rate and capture time."""

from .capture import Capture, find_helper
from .errors import CaptureStartError, CommandError, HelperExitedError, LumvarCaptureError
from .protocol import EVENTS
from .records import (
    Backlog,
    Chunk,
    Device,
    Exit,
    InputStarted,
    OutputError,
    Rebuilding,
    RebuildFailed,
    RebuildReason,
    Rebuilt,
    Segment,
    SegmentsMerged,
    SourceLost,
    Status,
    StatusBacklog,
)

__all__ = [
    "EVENTS",
    "Backlog",
    "Capture",
    "CaptureStartError",
    "Chunk",
    "CommandError",
    "Device",
    "Exit",
    "HelperExitedError",
    "InputStarted",
    "LumvarCaptureError",
    "OutputError",
    "Rebuilding",
    "RebuildFailed",
    "RebuildReason",
    "Rebuilt",
    "Segment",
    "SegmentsMerged",
    "SourceLost",
    "Status",
    "StatusBacklog",
    "find_helper",
]
