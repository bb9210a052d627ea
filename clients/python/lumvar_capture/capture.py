"""The public face: `Capture` spawns the helper, answers commands and streams attributed chunks."""

from __future__ import annotations

import os
import shutil
import weakref
from collections.abc import Callable, Iterator, Mapping
from types import TracebackType
from typing import Any

from .errors import CaptureStartError, CommandError
from .protocol import EVENTS, input_started, parse_status, system_rate
from .records import Chunk, Device, Exit, InputStarted, Status
from .session import Session

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

    def list_devices(self) -> list[Device]:
        """Sends LIST; returns the list it writes."""
        return self._session.command("LIST\n", "LIST").devices

    def use_system(self) -> float:
        """Sends SYSTEM; returns the system source's rate. Raises CommandError when the build failed."""
        pending = self._session.command("SYSTEM\nLIST\n", "SYSTEM")
        rate = system_rate(pending.lines)
        if rate is None:
            raise CommandError("SYSTEM", pending.lines)
        return rate

    def use_input(self, uid: str) -> InputStarted:
        """Sends INPUT <uid>; returns the UID and the device's rate. Raises CommandError with the
        answer's lines when the input did not start (the helper then falls back on the system source,
        which the next segment line and the events confirm)."""
        if "\n" in uid or "\r" in uid:
            raise ValueError("a device UID cannot hold a line break")
        pending = self._session.command(f"INPUT {uid}\nLIST\n", f"INPUT {uid}")
        started = input_started(pending.lines)
        if started is None:
            raise CommandError(f"INPUT {uid}", pending.lines)
        return InputStarted(*started)

    def chunks(self, timeout: float | None = None) -> Iterator[Chunk]:
        """Audio in order, each chunk within one segment. Ends after `stop()` once the helper's last
        samples are delivered; raises HelperExitedError after the last chunk if the helper ended
        unasked, and TimeoutError when no chunk came within `timeout` seconds. Every chunk is
        delivered once, whichever iterator takes it."""
        while (chunk := self._session.chunks.get(timeout)) is not None:
            yield chunk

    def on(self, event: str, callback: Callable[[Any], None]) -> Callable[[Any], None]:
        """Calls `callback(payload)` on the dispatch thread for each `event` (see README's table)."""
        if event not in EVENTS:
            raise ValueError(f"unknown event {event!r}; events: {', '.join(sorted(EVENTS))}")
        self._session.on(event, callback)
        return callback

    def off(self, event: str, callback: Callable[[Any], None]) -> None:
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
