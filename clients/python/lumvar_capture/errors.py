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
    """A command failed. `code` is stable, the Node client's: NOT_FOUND, NO_INPUT_CHANNELS, NEEDS_UID,
    INPUT_START_FAILED and CALL_START_FAILED (the helper fell back to the system source, or tried to),
    CALL_UNSUPPORTED (a helper older than CALL), SYSTEM_BUILD_FAILED,
    BAD_UID (a UID with a line break; nothing was sent), ABORTED (the call's timeout passed; a command
    already sent still runs in the helper), STOPPED (`stop()` came first). `lines` is the command's
    answer; it makes no claim about what runs afterwards (the next segment line and the events say so)."""

    def __init__(self, command: str, code: str, message: str, lines: list[str] | None = None):
        answer = " | ".join(line.strip() for line in lines or [])
        super().__init__(f"{command.strip()}: {message}" + (f" ({answer})" if answer else ""))
        self.command = command
        self.code = code
        self.lines = lines or []


class HelperExitedError(LumvarCaptureError):
    """The helper ended without being asked to: pending calls and the chunk stream end with this."""

    def __init__(self, code: int | None, signal: int | None):
        how = f"signal {signal}" if signal is not None else f"status {code}"
        super().__init__(f"the helper ended unexpectedly ({how})")
        self.code = code
        self.signal = signal
