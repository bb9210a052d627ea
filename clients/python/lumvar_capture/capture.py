"""The public face: `Capture` spawns the helper, answers commands and streams attributed chunks."""

from __future__ import annotations

import os
import shutil
import weakref
from collections.abc import Callable, Iterator, Mapping
from types import TracebackType
from typing import Any, Literal, TypeVar, overload

from .errors import CaptureStartError, CommandError
from .protocol import EVENTS, parse_status
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
    Rebuilt,
    Segment,
    SegmentsMerged,
    SourceLost,
    Status,
    StatusBacklog,
)
from .session import Session

_T = TypeVar("_T")
_Callback = Callable[[_T], object]

HELPER_ENV = "LUMVAR_CAPTURE_HELPER"


def find_helper(helper: str | os.PathLike[str] | None = None) -> str:
    """The helper to run: `helper`, else $LUMVAR_CAPTURE_HELPER, else `lumvar-capture` on PATH."""
    if helper is not None:
        return os.fspath(helper)
    if os.environ.get(HELPER_ENV):
        return os.environ[HELPER_ENV]
    found = shutil.which("lumvar-capture")
    if found is None:
        raise CaptureStartError(f"no helper: pass helper=, set {HELPER_ENV} or put lumvar-capture on PATH", [])
    return found


class Capture:
    """A running helper. Use it as a context manager: leaving the block stops the helper.

    Calls may come from any thread; commands run one at a time. Callbacks run on a dispatch thread of
    their own, in the order the helper wrote its lines. If a `Capture` is forgotten without `stop()`,
    garbage collection (or the interpreter's exit) sends the helper SIGTERM.
    """

    def __init__(self, session: Session) -> None:
        """Use `Capture.start()`."""
        self._session = session
        self._finalizer = weakref.finalize(self, session.stop, False)

    @classmethod
    def start(
        cls, helper: str | os.PathLike[str] | None = None, env: Mapping[str, str] | None = None
    ) -> Capture:
        """Spawns the helper (with `env` as its whole environment, or this process's) and returns once
        its start-up banner has been read. Raises CaptureStartError, with every line the helper wrote
        and its exit status or signal, when it ends before the banner."""
        session = Session([find_helper(helper)], env)
        try:
            session.wait_started()
        except BaseException:
            session.stop(wait=False)  # a KeyboardInterrupt here must not leave the helper running
            raise
        return cls(session)

    def __enter__(self) -> Capture:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.stop()

    @property
    def devices(self) -> list[Device]:
        """The latest device list: start-up's, then each one the helper writes."""
        return self._session.devices

    @property
    def startup_lines(self) -> list[Status]:
        """The lines the helper wrote up to its banner (written before a callback could be registered)."""
        return [parse_status(line) for line in self._session.startup_lines]

    @property
    def pid(self) -> int:
        """The helper's process id."""
        return self._session.proc.pid

    @property
    def exit(self) -> Exit | None:
        """How the helper ended, None while it runs."""
        return self._session.exit

    def list_devices(self, timeout: float | None = None) -> list[Device]:
        """Sends LIST; returns the list it writes."""
        devices: list[Device] = self._session.command("LIST", timeout)
        return devices

    def use_system(self, timeout: float | None = None) -> float:
        """Sends SYSTEM; returns the system source's rate. Raises CommandError (SYSTEM_BUILD_FAILED)
        when the build failed."""
        rate: float = self._session.command("SYSTEM", timeout)
        return rate

    def use_input(self, uid: str, timeout: float | None = None) -> InputStarted:
        """Sends INPUT <uid>; returns the UID and the device's rate. Raises CommandError with the
        answer's lines and a code when the input did not start (the helper then falls back on the
        system source, which the next segment line and the events confirm)."""
        started: InputStarted = self._with_uid("INPUT", uid, timeout)
        return started

    def use_call(self, uid: str, timeout: float | None = None) -> CallStarted:
        """Sends CALL <uid>: left the microphone `uid`, right what the machine plays, each frame's two
        samples from the same instant. Returns the UID, the stream's rate and the microphone's. Raises
        CommandError as `use_input` does (CALL_START_FAILED for INPUT_START_FAILED), and with the code
        CALL_UNSUPPORTED when the helper is older than the command."""
        started: CallStarted = self._with_uid("CALL", uid, timeout)
        return started

    def _with_uid(self, word: str, uid: str, timeout: float | None) -> Any:
        if "\n" in uid or "\r" in uid:
            raise CommandError(f"{word} {uid!r}", "BAD_UID", "a device UID cannot hold a line break")
        return self._session.command(f"{word} {uid}", timeout)

    def chunks(self, timeout: float | None = None) -> Iterator[Chunk]:
        """Audio in order, each chunk within one segment. Ends after `stop()` once the helper's last
        samples are delivered; raises HelperExitedError after the last chunk if the helper ended
        unasked, and TimeoutError when no chunk came within `timeout` seconds. Every chunk is
        delivered once, whichever iterator takes it."""
        while (chunk := self._session.chunks.get(timeout)) is not None:
            yield chunk

    # fmt: off
    @overload
    def on(self, event: Literal["status", "devices_changed", "server_unreachable", "server_back", "call_system_unavailable"], callback: _Callback[Status]) -> _Callback[Status]: ...
    @overload
    def on(self, event: Literal["devices"], callback: _Callback[list[Device]]) -> _Callback[list[Device]]: ...
    @overload
    def on(self, event: Literal["segment"], callback: _Callback[Segment]) -> _Callback[Segment]: ...
    @overload
    def on(self, event: Literal["late_segment"], callback: _Callback[LateSegment]) -> _Callback[LateSegment]: ...
    @overload
    def on(self, event: Literal["segments_merged"], callback: _Callback[SegmentsMerged]) -> _Callback[SegmentsMerged]: ...
    @overload
    def on(self, event: Literal["call_input_lost"], callback: _Callback[CallInputLost]) -> _Callback[CallInputLost]: ...
    @overload
    def on(self, event: Literal["source_lost"], callback: _Callback[SourceLost]) -> _Callback[SourceLost]: ...
    @overload
    def on(self, event: Literal["rebuilding"], callback: _Callback[Rebuilding]) -> _Callback[Rebuilding]: ...
    @overload
    def on(self, event: Literal["rebuilt"], callback: _Callback[Rebuilt]) -> _Callback[Rebuilt]: ...
    @overload
    def on(self, event: Literal["rebuild_failed"], callback: _Callback[RebuildFailed]) -> _Callback[RebuildFailed]: ...
    @overload
    def on(self, event: Literal["backlog"], callback: _Callback[Backlog]) -> _Callback[Backlog]: ...
    @overload
    def on(self, event: Literal["status_backlog"], callback: _Callback[StatusBacklog]) -> _Callback[StatusBacklog]: ...
    @overload
    def on(self, event: Literal["output_error"], callback: _Callback[OutputError]) -> _Callback[OutputError]: ...
    @overload
    def on(self, event: Literal["exit"], callback: _Callback[Exit]) -> _Callback[Exit]: ...
    # fmt: on
    def on(self, event: str, callback: _Callback[Any]) -> _Callback[Any]:
        """Calls `callback(payload)` on the dispatch thread for each `event` (see README's table); each
        event's payload type is its overload's."""
        if event not in EVENTS:
            raise ValueError(f"unknown event {event!r}; events: {', '.join(sorted(EVENTS))}")
        self._session.on(event, callback)
        return callback

    def off(self, event: str, callback: _Callback[Any]) -> None:
        self._session.off(event, callback)

    def stop(self) -> Exit:
        """SIGTERM; reads what the helper drains (its audio stays available to `chunks()`), SIGKILL
        after 3 s; returns how it ended, once every event (`exit` last) has reached its callbacks
        (called from a callback, it does not wait for the others). Pending calls fail; calling it
        again returns the same."""
        self._finalizer.detach()
        exit = self._session.stop()
        assert exit is not None
        return exit
