"""Every error the client raises derives from LumvarCaptureError."""

from __future__ import annotations


class LumvarCaptureError(Exception):
    """The package's one base error."""


class CaptureStartError(LumvarCaptureError):
    """The helper could not be found, or it ended before its start-up banner.

    `lines` holds every status line it wrote; `code` / `signal` say how it ended (None when it never ran).
    """

    def __init__(self, message: str, lines: list[str], code: int | None = None, signal: int | None = None):
        super().__init__(message)
        self.lines = lines
        self.code = code
        self.signal = signal


class CommandError(LumvarCaptureError):
    """A command failed. `lines` is its answer; it makes no claim about what runs afterwards (the next
    segment line and the events say so)."""

    def __init__(self, command: str, lines: list[str]):
        super().__init__(f"{command} failed: " + " | ".join(line.strip() for line in lines))
        self.command = command
        self.lines = lines


class HelperExitedError(LumvarCaptureError):
    """The helper ended without being asked to: pending calls and the chunk stream end with this."""

    def __init__(self, code: int | None, signal: int | None):
        how = f"signal {signal}" if signal is not None else f"status {code}"
        super().__init__(f"the helper ended unexpectedly ({how})")
        self.code = code
        self.signal = signal
