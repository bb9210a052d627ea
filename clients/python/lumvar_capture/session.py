"""One running helper: its process, the reader thread, the dispatch thread and the chunk queue.

Threads: the reader thread alone reads the pipes, parses, attributes and fails or completes pending
calls; the dispatch thread alone runs callbacks; callers' threads write commands (one at a time) and
wait. `lock` guards `pending`, `stopping`, `kill_at` and `exit`. The session never refers to the
`Capture` that owns it, so a forgotten `Capture` can be collected and end its helper.
"""

from __future__ import annotations

import collections
import logging
import os
import queue
import selectors
import signal
import subprocess
import threading
import time
from collections.abc import Callable, Mapping, Sequence
from typing import Any

from .attribution import Attributor
from .errors import CaptureStartError, CommandError, HelperExitedError, LumvarCaptureError
from .protocol import BANNER, DEVICES, Event, Protocol, outcome, parse_devices, parse_status
from .records import Chunk, Device, Exit

QUEUE_LIMIT_BYTES = 1 << 20  # about 2.7 s of 48 kHz stereo float: beyond it the client stops reading audio
READ_BYTES = 1 << 16
KILL_AFTER_S = 3.0
SETTLE_S = 0.1  # a lost input's fall-back writes no result line: this long a quiet ends it

_log = logging.getLogger("lumvar_capture")


class _Pending:
    """A call waiting for the reader thread: start-up, or one command (its line) and its fence."""

    def __init__(self, command: str) -> None:
        self.command = command
        self.lines: list[str] = []
        self.devices: list[Device] = []
        self.error: LumvarCaptureError | None = None
        self.done = threading.Event()

    def finish(self, error: LumvarCaptureError | None = None) -> None:
        self.error = error
        self.done.set()


class _End:
    def __init__(self, error: LumvarCaptureError | None) -> None:
        self.error = error


class ChunkQueue:
    """Bounded by bytes for the reader (which stops reading standard output when `put` says full),
    unbounded while the helper drains at its end. Ends with None, or raises the error it ended with."""

    def __init__(self, wake: Callable[[], None]) -> None:
        self._items: queue.SimpleQueue[Chunk | _End] = queue.SimpleQueue()
        self._lock = threading.Lock()
        self._bytes = 0
        self._wake = wake
        self._reader_waits = False

    def put(self, chunks: list[Chunk]) -> bool:
        """Appends; returns whether the queue is full (the consumer then wakes the reader)."""
        with self._lock:
            self._bytes += sum(len(chunk.samples) for chunk in chunks) * 4
            self._reader_waits = full = self._bytes >= QUEUE_LIMIT_BYTES
        for chunk in chunks:
            self._items.put(chunk)
        return full

    def end(self, error: LumvarCaptureError | None) -> None:
        self._items.put(_End(error))

    def get(self, timeout: float | None) -> Chunk | None:
        try:
            item = self._items.get(timeout=timeout)
        except queue.Empty:
            raise TimeoutError(f"no audio within {timeout} s") from None
        if isinstance(item, _End):
            self._items.put(item)  # for every later call, and any other consumer
            if item.error is not None:
                raise item.error
            return None
        with self._lock:
            self._bytes -= len(item.samples) * 4
            wake = self._reader_waits and self._bytes < QUEUE_LIMIT_BYTES // 2
            if wake:
                self._reader_waits = False
        if wake:
            self._wake()
        return item


class Session:
    def __init__(self, argv: Sequence[str], env: Mapping[str, str] | None) -> None:
        self.lock = threading.Lock()
        # Kept apart too: a helper that fails at once clears `pending` before the caller comes to wait.
        self._start = _Pending("start")
        self.pending: _Pending | None = self._start
        self._sent = self._start  # the last command sent: the next is sent once its fence has come
        self.stopping = False
        self.kill_at: float | None = None
        self.exit: Exit | None = None
        self.exited = threading.Event()
        self.devices: list[Device] = []
        self.startup_lines: list[str] = []
        self.command_lock = threading.Lock()
        self._callbacks: dict[str, list[Callable[[Any], object]]] = collections.defaultdict(list)
        self._callbacks_lock = threading.Lock()
        self._dispatch: queue.SimpleQueue[tuple[str, Any] | None] = queue.SimpleQueue()
        self._attributor = Attributor()
        self._protocol = Protocol(self._attributor)
        self._last_line = 0.0
        self._partial = b""
        self._wake_r, self._wake_w = os.pipe()
        for fd in (self._wake_r, self._wake_w):
            os.set_blocking(fd, False)
        self.chunks = ChunkQueue(self.wake)
        try:
            self.proc = subprocess.Popen(
                list(argv),
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                env=None if env is None else dict(env),
                bufsize=0,
            )
        except OSError as e:
            os.close(self._wake_r)
            os.close(self._wake_w)
            raise CaptureStartError(f"cannot run the helper {argv[0]!r}: {e}", []) from e
        assert self.proc.stdout and self.proc.stderr and self.proc.stdin
        os.set_blocking(self.proc.stdout.fileno(), False)
        os.set_blocking(self.proc.stderr.fileno(), False)
        self._dispatcher = threading.Thread(target=self._dispatch_loop, name="lumvar-capture dispatch", daemon=True)
        self._dispatcher.start()
        threading.Thread(target=self._read_loop, name="lumvar-capture reader", daemon=True).start()

    # ---- callers' side

    def wait_started(self) -> None:
        pending = self._start
        pending.done.wait()
        if pending.error:
            raise pending.error

    def command(self, command: str, timeout: float | None) -> Any:
        """Sends one command (its line; LIST follows any other as its fence) and returns its outcome.
        Fails with code ABORTED after `timeout` seconds: a command already sent still runs, and the next
        is sent once its fence has come."""
        deadline = None if timeout is None else time.monotonic() + timeout

        def left() -> float | None:
            return None if deadline is None else max(0.0, deadline - time.monotonic())

        aborted = CommandError(command, "ABORTED", f"no answer within {timeout} s")
        if not self.command_lock.acquire(timeout=-1 if deadline is None else max(0.0, deadline - time.monotonic())):
            raise aborted
        try:
            if not self._sent.done.wait(left()):
                raise aborted
            pending = _Pending(command)
            with self.lock:
                if self.stopping:
                    raise CommandError(command, "STOPPED", "the capture was stopped")
                if self.exit is not None:
                    raise HelperExitedError(self.exit.code, self.exit.signal)
                self.pending = self._sent = pending
            try:
                assert self.proc.stdin
                self.proc.stdin.write((command + "\n" + ("" if command == "LIST" else "LIST\n")).encode())
            except (OSError, ValueError):
                pass  # the helper is gone: the reader fails the call when its pipes end
            if not pending.done.wait(left()):
                raise aborted
        finally:
            self.command_lock.release()
        if pending.error:
            raise pending.error
        return outcome(command, pending.lines, pending.devices)

    def stop(self, wait: bool = True) -> Exit | None:
        with self.lock:
            if self.exit is None and not self.stopping:
                self.stopping = True
                self.kill_at = time.monotonic() + KILL_AFTER_S
                try:
                    self.proc.send_signal(signal.SIGTERM)
                except OSError:
                    pass
        self.wake()
        if wait:
            self.exited.wait()
            # Every event, `exit` included, has reached its callbacks (unless a callback is stopping).
            if threading.current_thread() is not self._dispatcher:
                self._dispatcher.join()
        return self.exit

    def wake(self) -> None:
        with self.lock:
            if self._wake_w < 0:
                return  # the reader is done
            try:
                os.write(self._wake_w, b"w")
            except BlockingIOError:
                pass  # already full: the reader will look

    def on(self, event: str, callback: Callable[[Any], object]) -> None:
        with self._callbacks_lock:
            self._callbacks[event].append(callback)

    def off(self, event: str, callback: Callable[[Any], object]) -> None:
        with self._callbacks_lock:
            if callback in self._callbacks[event]:
                self._callbacks[event].remove(callback)

    # ---- the dispatch thread

    def _dispatch_loop(self) -> None:
        while (item := self._dispatch.get()) is not None:
            event, payload = item
            with self._callbacks_lock:
                callbacks = list(self._callbacks.get(event, ()))
            for callback in callbacks:
                try:
                    callback(payload)
                except Exception:
                    _log.exception("a callback for %r raised", event)

    # ---- the reader thread

    def _read_loop(self) -> None:
        assert self.proc.stdout and self.proc.stderr
        out, err = self.proc.stdout.fileno(), self.proc.stderr.fileno()
        sel = selectors.DefaultSelector()
        sel.register(out, selectors.EVENT_READ, "out")
        sel.register(err, selectors.EVENT_READ, "err")
        sel.register(self._wake_r, selectors.EVENT_READ, "wake")
        out_open = err_open = out_watched = True
        killed = False
        try:
            while out_open or err_open:
                with self.lock:
                    draining = self.stopping
                    kill_at = self.kill_at
                timeout = None
                if kill_at is not None and not killed:
                    timeout = kill_at - time.monotonic()
                    if timeout <= 0:
                        self.proc.kill()
                        killed, timeout = True, None
                if self._protocol.settling:
                    quiet = self._last_line + SETTLE_S - time.monotonic()
                    if quiet <= 0:
                        self._emit(self._protocol.close())
                    else:
                        timeout = quiet if timeout is None else min(timeout, quiet)
                # At the end (asked for, or the helper closed standard error), read audio at full speed.
                if out_open and not out_watched and (draining or not err_open):
                    sel.register(out, selectors.EVENT_READ, "out")
                    out_watched = True
                ready = {key.data for key, _ in sel.select(timeout)}
                if "wake" in ready:
                    self._drain_wake()
                    if out_open and not out_watched:
                        sel.register(out, selectors.EVENT_READ, "out")
                        out_watched = True
                data = b""
                if "out" in ready:
                    try:
                        data = os.read(out, READ_BYTES)
                        if not data:
                            out_open = out_watched = False
                            sel.unregister(out)
                    except BlockingIOError:
                        pass
                # Every line written before these bytes is in standard error's pipe now: take them all
                # before attributing, so that a segment's line is known before its first frame.
                if err_open and ("err" in ready or data):
                    err_open = self._drain_err(err)
                    if not err_open:
                        sel.unregister(err)
                if data:
                    full = self._attribute(data)
                    if full and out_watched and err_open and not draining:
                        sel.unregister(out)  # back-pressure: the helper reports its own backlog
                        out_watched = False
            returncode = self.proc.wait()
        except BaseException as e:  # never leave a helper behind a broken reader
            _log.exception("the reader failed")
            self.proc.kill()
            returncode = self.proc.wait()
            if not isinstance(e, Exception):
                raise
        finally:
            sel.close()
        self._finish(Exit.of(returncode))

    def _drain_wake(self) -> None:
        try:
            while os.read(self._wake_r, 512):
                pass
        except BlockingIOError:
            pass

    def _drain_err(self, err: int) -> bool:
        """Reads standard error until it would block; returns False at its end."""
        while True:
            try:
                data = os.read(err, READ_BYTES)
            except BlockingIOError:
                return True
            if not data:
                if self._partial:
                    self._line(self._partial.decode("utf-8", "replace"))
                    self._partial = b""
                return False
            *lines, self._partial = (self._partial + data).split(b"\n")
            for line in lines:
                self._line(line.decode("utf-8", "replace"))

    def _attribute(self, data: bytes) -> bool:
        return self.chunks.put(self._attributor.feed(data))

    def _line(self, line: str) -> None:
        self._last_line = time.monotonic()
        with self.lock:
            pending = self.pending
        if pending is self._start:
            devices = [("devices", parse_devices(line))] if line.startswith(DEVICES) else []
            events, fence = [("status", parse_status(line)), *devices], False
        else:
            events, fence = self._protocol.take(line, None if pending is None else pending.lines)
        self._emit(events)
        with self.lock:
            if pending is None or pending is not self.pending:
                return
            if pending is self._start:
                pending.lines.append(line)
                self.startup_lines.append(line)
            if (pending is self._start and line.startswith(BANNER)) or fence:
                pending.devices = self.devices
                self.pending = None
                pending.finish()

    def _emit(self, events: list[Event]) -> None:
        for event, payload in events:
            if event == "devices":
                self.devices = payload
            self._dispatch.put((event, payload))

    def _finish(self, exit: Exit) -> None:
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                if stream:
                    stream.close()
            except OSError:
                pass
        with self.lock:
            self.exit = exit
            asked = self.stopping
            pending, self.pending = self.pending, None
            os.close(self._wake_r)
            os.close(self._wake_w)
            self._wake_w = -1
        if pending is not None:
            if pending is self._start:
                how = f"signal {exit.signal}" if exit.signal is not None else f"status {exit.code}"
                last = pending.lines[-1].strip() if pending.lines else "no status line"
                pending.finish(
                    CaptureStartError(
                        f"the helper ended before start-up was done ({how}): {last}",
                        pending.lines,
                        exit.code,
                        exit.signal,
                    )
                )
            elif asked:
                pending.finish(CommandError(pending.command, "STOPPED", "the capture was stopped"))
            else:
                pending.finish(HelperExitedError(exit.code, exit.signal))
        self.chunks.end(None if asked else HelperExitedError(exit.code, exit.signal))
        self._emit(self._protocol.close())
        self._dispatch.put(("exit", exit))
        self._dispatch.put(None)
        self.exited.set()
