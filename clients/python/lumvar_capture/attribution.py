"""Cuts standard output's bytes into chunks of whole frames and labels each with its segment.

Pure code, fed by the reader thread: segment lines through `segment()` (after each read of standard
output, every line standard error held by then), bytes through `feed()`.
"""

from __future__ import annotations

import bisect
import sys
from array import array

from .records import Chunk, Segment

FRAME_BYTES = 8  # two float32 samples


class Attributor:
    def __init__(self) -> None:
        self.delivered = 0  # frames handed out so far: the stream index of the next frame
        self._rest = b""  # the start of a frame a read ended inside
        self._current: Segment | None = None
        self._ahead: list[Segment] = []  # announced, not yet reached; sorted by frame

    def segment(self, segment: Segment) -> str:
        """Takes a segment line; returns its event: "segment", or "late_segment" when its frame is
        behind what was already delivered (those chunks keep the label they had)."""
        if segment.frame < self.delivered:
            if self._current is None or segment.frame >= self._current.frame:
                self._current = segment  # right for every frame still to come
            return "late_segment"
        frames = [s.frame for s in self._ahead]
        at = bisect.bisect_left(frames, segment.frame)
        if at < len(frames) and frames[at] == segment.frame:
            self._ahead[at] = segment
        else:
            self._ahead.insert(at, segment)
        return "segment"

    def feed(self, data: bytes) -> list[Chunk]:
        buf = self._rest + data if self._rest else data
        frames = len(buf) // FRAME_BYTES
        self._rest = bytes(buf[frames * FRAME_BYTES :])
        view = memoryview(buf)
        chunks: list[Chunk] = []
        done = 0
        while done < frames:
            while self._ahead and self._ahead[0].frame <= self.delivered:
                self._current = self._ahead.pop(0)
            n = frames - done
            if self._ahead:
                n = min(n, self._ahead[0].frame - self.delivered)
            samples: array[float] = array("f")
            samples.frombytes(view[done * FRAME_BYTES : (done + n) * FRAME_BYTES])
            if sys.byteorder == "big":
                samples.byteswap()
            chunks.append(self._label(samples))
            done += n
            self.delivered += n
        return chunks

    def _label(self, samples: array[float]) -> Chunk:
        seg = self._current
        if seg is None:
            return Chunk(samples, self.delivered, 0.0, None)
        if seg.rate <= 0.0:  # an unknown rate places only the segment's first frame
            return Chunk(samples, self.delivered, 0.0, seg.clock_ns if self.delivered == seg.frame else None)
        offset_ns = round((self.delivered - seg.frame) * 1_000_000_000 / seg.rate)
        return Chunk(samples, self.delivered, seg.rate, seg.clock_ns + offset_ns)
