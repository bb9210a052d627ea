"""Cuts standard output's bytes into chunks of whole frames and labels each with its segment and source.

Pure code, fed by the reader thread: segment lines through `segment()` and merges of them through
`merged()` (after each read of standard output, every line standard error held by then), bytes through
`feed()`.
"""

from __future__ import annotations

import bisect
import sys
from array import array

from .records import Chunk, Segment, SegmentsMerged, Source

FRAME_BYTES = 8  # two float32 samples
_Placement = tuple[int, Segment | None, Source | None]  # from which frame on, the segment, the source


class Attributor:
    def __init__(self) -> None:
        self.delivered = 0  # frames handed out so far: the stream index of the next frame
        self._rest = b""  # the start of a frame a read ended inside
        # Where each segment begins, the segment (None for frames no line places) and its source. The
        # helper starts on the system source.
        self._current: _Placement = (0, None, "system")
        self._ahead: list[_Placement] = []  # announced, not yet reached; sorted by frame

    def segment(self, segment: Segment, source: Source) -> str:
        """Takes a segment line and the source it is of; returns its event: "segment", or "late_segment"
        when its frame is behind what was already delivered (those chunks keep the label they had)."""
        return "late_segment" if self._place((segment.frame, segment, source)) else "segment"

    def merged(self, starts: int, from_frame: int, to_frame: int) -> SegmentsMerged:
        """Takes a merge of segment lines: the frames from `from_frame` on that are still to come have no
        place in time until the next segment (the line of `to_frame`, which follows)."""
        event = SegmentsMerged(starts, from_frame, to_frame, self.delivered)
        self._place((from_frame, None, None))
        return event

    def _place(self, placement: _Placement) -> bool:
        """Takes where a segment begins; returns whether it came late."""
        frame = placement[0]
        if frame < self.delivered:
            if frame >= self._current[0]:
                self._current = placement  # right for every frame still to come
            return True
        at = bisect.bisect_left(self._ahead, frame, key=lambda item: item[0])
        if at < len(self._ahead) and self._ahead[at][0] == frame:
            self._ahead[at] = placement
        else:
            self._ahead.insert(at, placement)
        return False

    def feed(self, data: bytes) -> list[Chunk]:
        buf = self._rest + data if self._rest else data
        frames = len(buf) // FRAME_BYTES
        self._rest = bytes(buf[frames * FRAME_BYTES :])
        view = memoryview(buf)
        chunks: list[Chunk] = []
        done = 0
        while done < frames:
            while self._ahead and self._ahead[0][0] <= self.delivered:
                self._current = self._ahead.pop(0)
            n = frames - done
            if self._ahead:
                n = min(n, self._ahead[0][0] - self.delivered)
            samples: array[float] = array("f")
            samples.frombytes(view[done * FRAME_BYTES : (done + n) * FRAME_BYTES])
            if sys.byteorder == "big":
                samples.byteswap()
            chunks.append(self._label(samples))
            done += n
            self.delivered += n
        return chunks

    def _label(self, samples: array[float]) -> Chunk:
        _, seg, source = self._current
        if seg is None:
            return Chunk(samples, self.delivered, 0.0, None, source)
        if seg.rate <= 0.0:  # an unknown rate places only the segment's first frame
            return Chunk(samples, self.delivered, 0.0, seg.clock_ns if self.delivered == seg.frame else None, source)
        offset_ns = round((self.delivered - seg.frame) * 1_000_000_000 / seg.rate)
        return Chunk(samples, self.delivered, seg.rate, seg.clock_ns + offset_ns, source)
