// The Capture: one helper process, its three pipes, its commands, its events and its audio.
//
// Order of the two pipes: the helper writes a segment's line before any frame of that segment. Bytes
// of standard output are attributed only after a whole poll phase of the event loop has run since they
// were read (a setImmediate from the 'data' handler, then one more), so every status line written
// before them has been read from standard error by then, even one written while libuv was between
// its epoll_wait and the read of standard output.
import { spawn, type ChildProcessWithoutNullStreams } from 'node:child_process';
import { EventEmitter } from 'node:events';
import { Readable } from 'node:stream';
import { Attributor, type Chunk } from './attribution.js';
import { ChunkQueue } from './chunk-queue.js';
import { CaptureStartError, CommandError, HelperExitError } from './errors.js';
import { bannerPrefix, devicesPrefix, outcomeOf, parseDevices, parseStatus, type InputDevice } from './lines.js';
import { Reactions, type CaptureEvents, type ExitStatus } from './reactions.js';

export type { CaptureEvents, ExitStatus, RebuildReason } from './reactions.js';

export interface StartOptions {
  /** The helper's executable; else `LUMVAR_CAPTURE_HELPER`, else `lumvar-capture` on `PATH`. */
  helper?: string;
  /** The helper's environment (default: `process.env`). */
  env?: NodeJS.ProcessEnv;
  /** Aborting before the start resolves fails it and ends the helper; afterwards it stops the capture. */
  signal?: AbortSignal;
  /** Bytes of audio the client holds for a consumer that does not pull before it stops reading
   * standard output (default 1 MiB, 2.7 s at 48 kHz); the helper's own ring then takes 8.2 s more. */
  highWaterMark?: number;
}

export interface CallOptions {
  /** Aborting fails the call at once; a command already sent still runs in the helper. */
  signal?: AbortSignal;
}

/** What `useCall()` resolves with: the stream's rate (the call's system part's; 0 when that part could
 * not be built at the start, `callSystemUnavailable`) and the microphone's own rate. */
export interface CallStarted {
  uid: string;
  rate: number;
  inputRate: number;
}

type Command = 'LIST' | 'SYSTEM' | 'INPUT' | 'CALL';

interface Pending {
  command: Command;
  /** The command's line, without its fence. */
  line: string;
  answer: string[];
  sent: boolean;
  settled: boolean;
  resolve(value: unknown): void;
  reject(error: Error): void;
  cleanup(): void;
}

const defaultHighWaterMark = 1 << 20;
const killAfterMs = 3000;
const recentLineCount = 64;

const live = new Set<ChildProcessWithoutNullStreams>();
let exitHookInstalled = false;

function installExitHook(): void {
  if (exitHookInstalled) return;
  exitHookInstalled = true;
  // A parent that ends without stop() takes its helpers with it (the helper would notice within 2 s).
  process.on('exit', () => {
    for (const child of live) child.kill('SIGTERM');
  });
}

export function resolveHelper(options: StartOptions): string {
  return options.helper ?? options.env?.LUMVAR_CAPTURE_HELPER ?? process.env.LUMVAR_CAPTURE_HELPER ?? 'lumvar-capture';
}

export class Capture extends EventEmitter {
  /** The helper's process id. */
  readonly pid: number;
  private devicesNow: InputDevice[] = [];
  private readonly attributor = new Attributor();
  private incoming: Buffer[] = [];
  private ready: Buffer[] = [];
  private rawBytes = 0;
  private tickScheduled = false;
  private readonly queue = new ChunkQueue(() => this.relievePressure());
  private readonly reactions = new Reactions((event, ...args) => this.emit(event, ...args), this.attributor);
  private paused = false;
  private readonly pending: Pending[] = [];
  private readonly recent: string[] = [];
  private lineTail = '';
  private started = false;
  private stopRequested = false;
  private stopPromise: Promise<ExitStatus> | null = null;
  private exitStatus: ExitStatus | null = null;
  private closedWaiters: ((status: ExitStatus) => void)[] = [];
  private iterator: AsyncIterableIterator<Chunk> | null = null;
  private readableAudio: Readable | null = null;
  private startSettle: ((error?: Error) => void) | null = null;

  private constructor(
    private readonly child: ChildProcessWithoutNullStreams,
    private readonly helper: string,
    private readonly highWaterMark: number,
  ) {
    super();
    this.pid = child.pid ?? 0;
  }

  /** Spawns the helper; resolves once its banner has been read, with the start-up device list. */
  static start(options: StartOptions = {}): Promise<Capture> {
    const helper = resolveHelper(options);
    const signal = options.signal;
    if (signal?.aborted) {
      return Promise.reject(
        new CaptureStartError('start aborted', 'ABORTED', [], helper, null, null, { cause: signal.reason }),
      );
    }
    const child = spawn(helper, [], { env: options.env ?? process.env, stdio: ['pipe', 'pipe', 'pipe'] });
    const capture = new Capture(child, helper, options.highWaterMark ?? defaultHighWaterMark);
    return new Promise<Capture>((resolve, reject) => {
      const onAbort = () => {
        if (capture.started) {
          void capture.stop();
          return;
        }
        child.kill('SIGKILL');
        settle(new CaptureStartError('start aborted', 'ABORTED', capture.recent.slice(), helper, null, null, {
          cause: signal?.reason,
        }));
      };
      const settle = (error?: Error) => {
        if (!capture.startSettle) return;
        capture.startSettle = null;
        if (error) {
          signal?.removeEventListener('abort', onAbort);
          reject(error);
        } else {
          resolve(capture);
        }
      };
      capture.startSettle = settle;
      signal?.addEventListener('abort', onAbort, { once: true });
      child.on('error', (error: NodeJS.ErrnoException) => {
        if (!capture.startSettle) return;
        const missing = error.code === 'ENOENT' || error.code === 'EACCES';
        settle(
          new CaptureStartError(
            missing
              ? `no helper to run at ${helper} (set the helper option or LUMVAR_CAPTURE_HELPER, or put lumvar-capture on PATH)`
              : `could not run the helper ${helper}: ${error.message}`,
            missing ? 'HELPER_NOT_FOUND' : 'SPAWN_FAILED',
            [],
            helper,
            null,
            null,
            { cause: error },
          ),
        );
      });
      if (child.pid !== undefined) {
        live.add(child);
        installExitHook();
      }
      capture.wire();
    });
  }

  /** The latest device list the helper wrote (at start-up, and at each `LIST`). */
  get devices(): readonly InputDevice[] {
    return this.devicesNow;
  }

  /** The exit status, once the helper has ended and both pipes are closed. */
  get exited(): ExitStatus | null {
    return this.exitStatus;
  }

  /** Sends `LIST`; resolves with the list it answers. */
  listDevices(options: CallOptions = {}): Promise<InputDevice[]> {
    return this.send('LIST', 'LIST', options) as Promise<InputDevice[]>;
  }

  /** Captures one input device; resolves with its rate. A failure rejects with a `CommandError` whose
   * `lines` are the answer (the helper then falls back to the system source, or tries to). */
  useInput(uid: string, options: CallOptions = {}): Promise<{ uid: string; rate: number }> {
    return this.sendWithUid('INPUT', uid, options) as Promise<{ uid: string; rate: number }>;
  }

  /** Captures a call: left the microphone `uid`, right what the machine plays, each frame's two samples
   * from the same instant. Failures as `useInput()`'s (`CALL_START_FAILED` for `INPUT_START_FAILED`),
   * and `CALL_UNSUPPORTED` from a helper older than the command. */
  useCall(uid: string, options: CallOptions = {}): Promise<CallStarted> {
    return this.sendWithUid('CALL', uid, options) as Promise<CallStarted>;
  }

  /** Captures what the machine plays, built from scratch; resolves with the build's rate. */
  useSystem(options: CallOptions = {}): Promise<number> {
    return this.send('SYSTEM', 'SYSTEM', options) as Promise<number>;
  }

  /** Ends the helper: SIGTERM, then SIGKILL after 3 s. From now on standard output is read at full
   * speed whatever the consumer does; the chunks the helper drains stay available to `chunks()`.
   * Resolves once the process has ended and both pipes have reached their end. */
  stop(): Promise<ExitStatus> {
    if (this.stopPromise) return this.stopPromise;
    this.stopRequested = true;
    this.stopPromise = new Promise<ExitStatus>((resolve) => {
      if (this.exitStatus) resolve(this.exitStatus);
      else this.closedWaiters.push(resolve);
    });
    for (const p of this.pending.splice(0)) {
      this.fail(p, new CommandError(`${p.command} not answered: the capture was stopped`, 'STOPPED', p.answer, p.command));
    }
    if (!this.exitStatus) {
      this.resumeOutput();
      this.child.kill('SIGTERM');
      const timer = setTimeout(() => this.child.kill('SIGKILL'), killAfterMs);
      void this.stopPromise.then(() => clearTimeout(timer));
    }
    return this.stopPromise;
  }

  /** The audio, in order, as an async iterator; there is one per capture. Leaving a `for await` loop
   * early stops the capture. Ends after `stop()` with the drained chunks; throws a `HelperExitError`
   * (after the chunks before it) when the helper ends on its own. */
  chunks(): AsyncIterableIterator<Chunk> {
    if (this.iterator) return this.iterator;
    this.iterator = {
      next: () => this.queue.next(),
      return: async () => {
        await this.stop();
        return { done: true, value: undefined };
      },
      [Symbol.asyncIterator]() {
        return this;
      },
    };
    return this.iterator;
  }

  /** The same chunks as `chunks()`, as a Readable in object mode. */
  get audio(): Readable {
    this.readableAudio ??= Readable.from(this.chunks(), { objectMode: true, highWaterMark: 1 });
    return this.readableAudio;
  }

  // ---- implementation ----

  private wire(): void {
    const { child } = this;
    child.stdin.on('error', () => {}); // EPIPE when the helper has gone; its exit says why
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (text: string) => this.onStderr(text));
    child.stdout.on('data', (bytes: Buffer) => {
      this.incoming.push(bytes);
      this.rawBytes += bytes.length;
      this.scheduleTick();
      this.applyPressure();
    });
    child.on('close', (code: number | null, signal: NodeJS.Signals | null) => this.onClose(code, signal));
  }

  private scheduleTick(): void {
    if (this.tickScheduled) return;
    this.tickScheduled = true;
    setImmediate(() => this.tick());
  }

  /** Attributes what was read before the previous check phase: a poll phase has run since. */
  private tick(): void {
    this.tickScheduled = false;
    this.attribute(this.ready);
    this.ready = this.incoming;
    this.incoming = [];
    if (this.ready.length) this.scheduleTick();
  }

  private attribute(buffers: Buffer[]): void {
    for (const bytes of buffers) {
      this.rawBytes -= bytes.length;
      for (const chunk of this.attributor.push(bytes)) this.deliver(chunk);
    }
    buffers.length = 0;
  }

  private deliver(chunk: Chunk): void {
    this.queue.push(chunk);
    this.applyPressure();
  }

  private applyPressure(): void {
    if (this.stopRequested || this.paused) return;
    if (this.rawBytes + this.queue.bytes < this.highWaterMark) return;
    this.paused = true;
    this.child.stdout.pause();
  }

  private relievePressure(): void {
    if (this.paused && this.rawBytes + this.queue.bytes <= this.highWaterMark / 2) this.resumeOutput();
  }

  private resumeOutput(): void {
    if (!this.paused) return;
    this.paused = false;
    this.child.stdout.resume();
  }

  private onStderr(text: string): void {
    const parts = (this.lineTail + text).split('\n');
    this.lineTail = parts.pop() ?? '';
    for (const raw of parts) this.onLine(raw);
  }

  private onLine(raw: string): void {
    this.recent.push(raw);
    if (this.recent.length > recentLineCount) this.recent.shift();
    this.emit('status', parseStatus(raw));
    if (!this.started) {
      if (raw.startsWith(devicesPrefix)) this.setDevices(raw);
      if (raw.startsWith(bannerPrefix)) {
        this.started = true;
        this.startSettle?.();
      }
      return;
    }
    const head = this.pending[0];
    if (this.reactions.take(raw, head?.sent ? head.answer : undefined)) this.finishCommand(this.setDevices(raw));
  }

  private setDevices(raw: string): InputDevice[] {
    this.devicesNow = parseDevices(raw);
    this.emit('devices', this.devicesNow);
    return this.devicesNow;
  }

  private sendWithUid(command: 'INPUT' | 'CALL', uid: string, options: CallOptions): Promise<unknown> {
    if (/[\r\n]/.test(uid)) {
      return Promise.reject(new CommandError(`a device UID cannot hold a line break: ${JSON.stringify(uid)}`, 'BAD_UID', [], command));
    }
    return this.send(command, `${command} ${uid}`, options);
  }

  private send(command: Command, line: string, options: CallOptions): Promise<unknown> {
    if (this.stopRequested) {
      return Promise.reject(new CommandError(`${command} not sent: the capture was stopped`, 'STOPPED', [], command));
    }
    if (this.exitStatus) return Promise.reject(this.exitError());
    const signal = options.signal;
    if (signal?.aborted) {
      return Promise.reject(new CommandError(`${command} aborted`, 'ABORTED', [], command, { cause: signal.reason }));
    }
    return new Promise((resolve, reject) => {
      const onAbort = () => {
        const at = this.pending.indexOf(p);
        if (at > 0 || (at === 0 && !p.sent)) this.pending.splice(at, 1);
        this.fail(p, new CommandError(`${command} aborted`, 'ABORTED', p.answer, command, { cause: signal?.reason }));
      };
      const p: Pending = {
        command,
        line,
        answer: [],
        sent: false,
        settled: false,
        resolve,
        reject,
        cleanup: () => signal?.removeEventListener('abort', onAbort),
      };
      signal?.addEventListener('abort', onAbort, { once: true });
      this.pending.push(p);
      this.sendNext();
    });
  }

  private sendNext(): void {
    const head = this.pending[0];
    if (!head || head.sent) return;
    head.sent = true;
    // Every command but LIST is followed by LIST, the fence that ends its answer.
    this.child.stdin.write(head.command === 'LIST' ? 'LIST\n' : `${head.line}\nLIST\n`);
  }

  private fail(p: Pending, error: Error): void {
    if (p.settled) return;
    p.settled = true;
    p.cleanup();
    p.reject(error);
  }

  /** The `@DEVICES` line that ends the command in flight has arrived. */
  private finishCommand(devices: InputDevice[]): void {
    const head = this.pending[0];
    if (!head?.sent) return;
    this.pending.shift();
    this.sendNext();
    if (head.settled) return;
    const outcome = outcomeOf(head.line, head.answer, devices);
    head.settled = true;
    head.cleanup();
    if ('code' in outcome) head.reject(new CommandError(outcome.message, outcome.code, head.answer, head.command));
    else head.resolve(outcome.value);
  }

  private exitError(): HelperExitError {
    const { code, signal } = this.exitStatus!;
    const how = signal ? `was killed by ${signal}` : `exited with status ${code}`;
    const why = this.reactions.outputError ? ` (output write error ${this.reactions.outputError})` : '';
    return new HelperExitError(`the helper ${how}${why}`, this.recent.slice(), code, signal);
  }

  private onClose(code: number | null, signal: NodeJS.Signals | null): void {
    live.delete(this.child);
    this.child.stdin.destroy();
    if (this.lineTail) {
      this.onLine(this.lineTail);
      this.lineTail = '';
    }
    this.reactions.close();
    this.attribute(this.ready);
    this.attribute(this.incoming);
    this.exitStatus = { code, signal };
    if (!this.started) {
      const how = signal ? `was killed by ${signal}` : `exited with status ${code}`;
      this.startSettle?.(
        new CaptureStartError(`the helper ${how} before it started`, 'HELPER_EXITED', this.recent.slice(), this.helper, code, signal),
      );
    }
    this.emit('exit', { code, signal, ...(this.reactions.outputError !== undefined && { outputError: this.reactions.outputError }) });
    if (this.stopRequested) {
      this.queue.close();
    } else {
      const error = this.exitError();
      for (const p of this.pending.splice(0)) this.fail(p, error);
      this.queue.close(error);
    }
    for (const resolve of this.closedWaiters.splice(0)) resolve(this.exitStatus);
  }
}

// Typed events.
export interface Capture {
  on<K extends keyof CaptureEvents>(event: K, listener: (...args: CaptureEvents[K]) => void): this;
  once<K extends keyof CaptureEvents>(event: K, listener: (...args: CaptureEvents[K]) => void): this;
  off<K extends keyof CaptureEvents>(event: K, listener: (...args: CaptureEvents[K]) => void): this;
  emit<K extends keyof CaptureEvents>(event: K, ...args: CaptureEvents[K]): boolean;
}
