// The lines the helper writes unasked, turned into events, and taken out of the answer of the command
// that waits. Each reaction is known by its first line; the build lines after some of them belong to it.
import type { Attributor } from './attribution.js';
import { devicesPrefix, findLastIndex, inputStarted, isBuildLine, isBuildStart, parseAggregateRate, parseInputRate, parseSegment, reactionOf, sourceNamed, type InputDevice, type Segment, type Source, type StatusLine } from './lines.js';

export type RebuildReason = 'stalled' | 'silent' | 'defaultOutputChanged' | 'audioSystemRestarted' | 'inputLost' | 'machineChanged' | 'retry';

export interface ExitStatus {
  code: number | null;
  signal: NodeJS.Signals | null;
}

/** The events of a Capture and their arguments. */
export interface CaptureEvents {
  status: [StatusLine];
  devices: [InputDevice[]];
  segment: [Segment];
  lateSegment: [Segment & { deliveredFrames: number }];
  segmentsMerged: [{ starts: number; fromFrame: number; toFrame: number; deliveredFrames: number }];
  callInputLost: [{ uid: string }];
  callSystemUnavailable: [];
  devicesChanged: [];
  sourceLost: [{ source: 'input' | 'system'; uid?: string }];
  rebuilding: [{ reason: RebuildReason; zeroFrames?: number }];
  rebuilt: [{ reason: RebuildReason; rate?: number; uid?: string }];
  rebuildFailed: [{ reason: RebuildReason; retrying: boolean }];
  serverUnreachable: [];
  serverBack: [];
  backlog: [{ droppedSamples: number }];
  statusBacklog: [{ droppedLines: number }];
  outputError: [{ name: string }];
  exit: [ExitStatus & { outputError?: string }];
}

export type Emit = <K extends keyof CaptureEvents>(event: K, ...args: CaptureEvents[K]) => void;

interface Block {
  /** 'rebuild' ends with its own result line (a restart of the audio system's also with the rate line of
   * the input it started again); 'fallback' (a lost input's) at the first line that is not its build's;
   * 'attempt' (a build with no line before it: the machine's try after a failed build, or the tick's
   * retry; or the try after `> sound server back`) with either result line. */
  kind: 'rebuild' | 'fallback' | 'attempt';
  reason: RebuildReason;
  rate?: number;
  built: boolean;
  failed: boolean;
  timer?: NodeJS.Timeout;
  /** The input that a restart of the audio system started again (its `> input capture started:`). */
  input?: string;
}

/** The lines of an input's start before its `> input capture started:`, its failures included. */
const inputStartLine =
  /^ {2}(input device '.*' channels: \d+|x input device (not found|has no input channels): .*|x (create input IOProc|start input) failed: -?\d+)$/;

/** A fall-back's build has no result line: it is taken as over when nothing follows for this long. */
const fallbackSettleMs = 100;

export class Reactions {
  /** The `<NAME>` of an output write error line, once one came. */
  outputError: string | undefined;
  private block: Block | null = null;
  /** The source the next segment line belongs to. */
  private source: Source = 'system';

  constructor(
    private readonly emit: Emit,
    private readonly attributor: Attributor,
  ) {}

  /** Takes a line written after the banner. `answer` holds the lines of the command that waits for its
   * fence, if one does: a line that is no reaction's goes there. Returns whether the line is the fence
   * (the device list). */
  take(raw: string, answer?: string[]): boolean {
    this.source = sourceNamed(raw) ?? this.source;
    if (this.block && this.continueBlock(raw)) return false;
    if (raw.startsWith(devicesPrefix)) return true;
    if (this.react(raw, answer)) return false;
    if (!answer && isBuildStart(raw)) {
      // A build with no line before it: the machine's try after a failed build, or the tick's retry.
      this.block = { kind: 'attempt', reason: 'machineChanged', built: false, failed: false };
      this.continueBlock(raw);
      return false;
    }
    answer?.push(raw);
    return false;
  }

  /** The helper has ended: a block still open is over. */
  close(): void {
    if (this.block) this.closeBlock();
  }

  /** Takes a line of the open block; false when the line is not the block's (the block is then over). */
  private continueBlock(raw: string): boolean {
    const block = this.block!;
    // After a restart of the audio system, the input that ran starts again: its lines up to its rate. If
    // it does not start, the lines of its failure, and `x input device lost` begins a reaction of its own.
    if (block.reason === 'audioSystemRestarted' && !block.built) {
      const rate = block.input === undefined ? undefined : parseInputRate(raw);
      if (rate !== undefined) {
        this.block = null;
        this.emit('rebuilt', { reason: block.reason, rate, uid: block.input });
        return true;
      }
      if (block.input === undefined && raw.startsWith(inputStarted)) {
        block.input = raw.slice(inputStarted.length);
        return true;
      }
      if (block.input === undefined && inputStartLine.test(raw)) return true;
    }
    // A second build is not this block's: the tick's retry, or a command's own build.
    if (isBuildLine(raw) && !(block.built && isBuildStart(raw))) {
      block.built = true;
      block.rate = parseAggregateRate(raw) ?? block.rate;
      if (raw.startsWith('  x ')) block.failed = true;
      if (block.kind === 'fallback') this.armFallbackTimer(block);
      return true;
    }
    const r = reactionOf(raw);
    const rebuildEnd = r?.event === 'rebuilt' || r?.event === 'rebuildFailed';
    if (block.kind === 'rebuild' && rebuildEnd) {
      this.closeBlock({ ok: r.event === 'rebuilt', retrying: r.event === 'rebuildFailed' && r.retrying });
      return true;
    }
    if (block.kind === 'attempt' && (raw === '  > system tap started' || raw === '  x system tap build failed')) {
      this.closeBlock({ ok: raw === '  > system tap started', retrying: true });
      return true;
    }
    if (block.kind === 'attempt' && rebuildEnd) {
      block.reason = 'retry';
      this.closeBlock({ ok: r.event === 'rebuilt', retrying: r.event === 'rebuildFailed' && r.retrying });
      return true;
    }
    this.closeBlock();
    return false;
  }

  private armFallbackTimer(block: Block): void {
    clearTimeout(block.timer);
    block.timer = setTimeout(() => {
      if (this.block === block) this.closeBlock();
    }, fallbackSettleMs);
  }

  /** Ends the open block with what its result line says; without one, only a block that built says how
   * its build went (a failed one the helper tries again on its tick). */
  private closeBlock(end?: { ok: boolean; retrying: boolean }): void {
    const block = this.block!;
    this.block = null;
    clearTimeout(block.timer);
    if (end) this.result(block.reason, end.ok, end.retrying, block.rate);
    else if (block.built) this.result(block.reason, !block.failed, block.failed, block.rate);
  }

  private result(reason: RebuildReason, ok: boolean, retrying: boolean, rate: number | undefined): void {
    if (ok) this.emit('rebuilt', { reason, ...(rate !== undefined && { rate }) });
    else this.emit('rebuildFailed', { reason, retrying });
  }

  /** Handles a line that begins a reaction; false for any other line. */
  private react(raw: string, answer: string[] | undefined): boolean {
    const r = reactionOf(raw);
    if (!r) return false;
    switch (r.event) {
      case 'segment': {
        const segment = parseSegment(raw);
        if (!segment) return true;
        if (this.attributor.addSegment({ ...segment, source: this.source })) {
          this.emit('lateSegment', { ...segment, deliveredFrames: this.attributor.frames });
        } else {
          this.emit('segment', segment);
        }
        return true;
      }
      case 'segmentsMerged': {
        // The frames from `fromFrame` on that are not cut yet have no time until the line of `toFrame`.
        const { starts, fromFrame, toFrame } = r;
        this.emit('segmentsMerged', { starts, fromFrame, toFrame, deliveredFrames: this.attributor.frames });
        this.attributor.addSegment({ frame: fromFrame, rate: 0, source: null });
        return true;
      }
      case 'layout':
        return true;
      case 'sourceLost':
        this.emit('sourceLost', { source: 'input', uid: r.uid });
        this.block = { kind: 'fallback', reason: 'inputLost', built: false, failed: false };
        this.armFallbackTimer(this.block);
        return true;
      case 'rebuilding':
        if (r.reason === 'stalled') this.emit('sourceLost', { source: 'system' });
        this.emit('rebuilding', { reason: r.reason, ...(r.zeroFrames !== undefined && { zeroFrames: r.zeroFrames }) });
        this.block = { kind: 'rebuild', reason: r.reason, built: false, failed: false };
        return true;
      case 'rebuilt':
      case 'rebuildFailed': {
        // The end of the tick's retry while a command waits: its build went into the answer.
        const at = answer ? findLastIndex(answer, isBuildStart) : -1;
        const build = at >= 0 && answer!.slice(at).every(isBuildLine) ? answer!.splice(at) : [];
        const rate = build.map(parseAggregateRate).filter((x) => x !== undefined).at(-1);
        this.result('retry', r.event === 'rebuilt', r.event === 'rebuildFailed' && r.retrying, rate);
        return true;
      }
      case 'serverBack':
        this.emit('serverBack');
        this.block = { kind: 'attempt', reason: 'machineChanged', built: false, failed: false };
        return true;
      case 'devicesChanged':
      case 'serverUnreachable':
      case 'callSystemUnavailable':
        this.emit(r.event);
        return true;
      case 'callInputLost':
        this.emit('callInputLost', { uid: r.uid });
        return true;
      case 'backlog':
        this.emit('backlog', { droppedSamples: r.droppedSamples });
        return true;
      case 'statusBacklog':
        this.emit('statusBacklog', { droppedLines: r.droppedLines });
        return true;
      case 'outputError':
        this.outputError = r.errno;
        this.emit('outputError', { name: r.errno });
        return true;
    }
  }
}
