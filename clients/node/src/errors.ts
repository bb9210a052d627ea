// The errors of the client. Each has a stable `code` and the helper's lines that explain it.

/** The base class of every error the client throws. */
export class CaptureError extends Error {
  constructor(
    message: string,
    /** Stable across versions; see each subclass for its values. */
    readonly code: string,
    /** The helper's status lines that explain the error, as written. */
    readonly lines: readonly string[] = [],
    options?: { cause?: unknown },
  ) {
    super(message, options);
    this.name = 'CaptureError';
  }
}

/** `Capture.start()` failed. Codes: `HELPER_NOT_FOUND` (nothing to run at `helper`), `SPAWN_FAILED`,
 * `HELPER_EXITED` (the helper ended before its banner: `exitCode` or `signal` says how, `lines` holds
 * every line it wrote), `ABORTED` (the start's signal fired). */
export class CaptureStartError extends CaptureError {
  constructor(
    message: string,
    code: 'HELPER_NOT_FOUND' | 'SPAWN_FAILED' | 'HELPER_EXITED' | 'ABORTED',
    lines: readonly string[],
    readonly helper: string,
    readonly exitCode: number | null = null,
    readonly signal: NodeJS.Signals | null = null,
    options?: { cause?: unknown },
  ) {
    super(message, code, lines, options);
    this.name = 'CaptureStartError';
  }
}

/** A command failed. Codes: `NOT_FOUND`, `NO_INPUT_CHANNELS`, `NEEDS_UID`, `INPUT_START_FAILED` and
 * `CALL_START_FAILED` (the helper fell back to the system source, or tried to), `CALL_UNSUPPORTED` (a
 * helper older than `CALL`), `SYSTEM_BUILD_FAILED`, `BAD_UID` (a UID with
 * a line break; nothing was sent), `ABORTED` (the call's signal fired; the command may still run),
 * `STOPPED` (`stop()` was called first; a helper that ends on its own fails calls with a
 * `HelperExitError` instead). `lines` is the
 * command's answer. The error makes no claim about what runs afterwards: the events say that. */
export class CommandError extends CaptureError {
  constructor(
    message: string,
    code: string,
    lines: readonly string[],
    readonly command: string,
    options?: { cause?: unknown },
  ) {
    super(message, code, lines, options);
    this.name = 'CommandError';
  }
}

/** The helper ended without `stop()`: fails every pending call and ends the chunk stream. `code` is
 * `HELPER_EXITED`; `lines` are its last status lines. Exit status 2 means it could not write its output. */
export class HelperExitError extends CaptureError {
  constructor(
    message: string,
    lines: readonly string[],
    readonly exitCode: number | null,
    readonly signal: NodeJS.Signals | null,
  ) {
    super(message, 'HELPER_EXITED', lines);
    this.name = 'HelperExitError';
  }
}
