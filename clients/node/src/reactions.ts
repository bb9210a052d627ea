// The lines the helper writes unasked, turned into events, and taken out of the answer of the command
// that waits. Each reaction is known by its first line; the build lines after some of them belong to it.
import type { Attributor } from './attribution.js';
import { devicesPrefix, isBuildLine, parseAggregateRate, parseSegment, reactionOf, type InputDevice, type Segment, type StatusLine } from './lines.js';

export type RebuildReason = 'stalled' | 'silent' | 'defaultOutputChanged' | 'inputLost' | 'machineChanged' | 'retry' | 'unknown';

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
  devicesChanged: [];
  sourceLost: [{ source: 'input' | 'system'; uid?: string }];
  rebuilding: [{ reason: RebuildReason; zeroFrames?: number }];
  rebuilt: [{ reason: RebuildReason; rate?: number }];
  rebuildFailed: [{ reason: RebuildReason; retrying: boolean }];
  serverUnreachable: [];
  serverBack: [];
  backlog: [{ droppedSamples: number }];
  statusBacklog: [{ droppedLines: number }];
  exit: [ExitStatus & { outputError?: string }];
}

export type Emit = <K extends keyof CaptureEvents>(event: K, ...args: CaptureEvents[K]) => void;

interface Block {
  /** 'rebuild' ends with its own result line; 'fallback' at the first line that is not the build's;
   * 'attempt' (a build with no line before it: the machine's one try after a failed build, or the
   * tick's retry of a rebuild that failed) with either result line. */
  kind: 'rebuild' | 'fallback' | 'attempt';
  reason: RebuildReason;
  rate?: number;
  failed: boolean;
  timer?: NodeJS.Timeout;
}

/** A fall-back's build has no result line: it is taken as over when nothing follows for this long. */
const fallbackSettleMs = 100;

export class Reactions {
  /** The `<NAME>` of an output write error line, once one came. */
  outputError: string | undefined;
  private block: Block | null = null;

  constructor(
    private readonly emit: Emit,
    private readonly attributor: Attributor,
  ) {}

  /** Takes a line written after the banner; false when it is not a reaction's (a command's answer,
   * the device list, or an unknown line). */
  take(raw: string, commandWaiting: boolean): boolean {
    if (this.block && this.continueBlock(raw)) return true;
    if (raw.startsWith(devicesPrefix)) return false;
    if (this.react(raw)) return true;
    if (!commandWaiting && raw.startsWith('  output device channels: ')) {
      // A build with no line before it: the machine's try after a failed build, or the tick's retry.
      this.block = { kind: 'attempt', reason: 'machineChanged', failed: false };
      return this.continueBlock(raw);
    }
    return false;
  }

  /** The helper has ended: a block still open is over. */
  close(): void {
    if (this.block) this.closeBlock(!this.block.failed, false);
  }

  /** Takes a line of the open block; false when the line is not the block's (the block is then over). */
  private continueBlock(raw: string): boolean {
    const block = this.block!;
    if (isBuildLine(raw)) {
      block.rate = parseAggregateRate(raw) ?? block.rate;
      if (raw.startsWith('  x ')) block.failed = true;
      if (block.kind === 'fallback') this.armFallbackTimer(block);
      return true;
    }
    const r = reactionOf(raw);
    if (block.kind === 'rebuild' && (r?.event === 'rebuilt' || r?.event === 'rebuildFailed')) {
      this.closeBlock(r.event === 'rebuilt', r.event === 'rebuildFailed' && r.retrying);
      return true;
    }
    if (block.kind === 'attempt' && (raw === '  > system tap started' || raw === '  x system tap build failed')) {
      this.closeBlock(raw === '  > system tap started', false);
      return true;
    }
    if (block.kind === 'attempt' && (r?.event === 'rebuilt' || r?.event === 'rebuildFailed')) {
      block.reason = 'retry';
      this.closeBlock(r.event === 'rebuilt', r.event === 'rebuildFailed' && r.retrying);
      return true;
    }
    this.closeBlock(!block.failed, false);
    return false;
  }

  private armFallbackTimer(block: Block): void {
    clearTimeout(block.timer);
    block.timer = setTimeout(() => {
      if (this.block === block) this.closeBlock(!block.failed, false);
    }, fallbackSettleMs);
  }

  private closeBlock(ok: boolean, retrying: boolean): void {
    const block = this.block!;
    this.block = null;
    clearTimeout(block.timer);
    if (ok) this.emit('rebuilt', { reason: block.reason, ...(block.rate !== undefined && { rate: block.rate }) });
    else this.emit('rebuildFailed', { reason: block.reason, retrying });
  }

  /** Handles a line that begins a reaction; false for any other line. */
  private react(raw: string): boolean {
    const r = reactionOf(raw);
    if (!r) return false;
    switch (r.event) {
      case 'segment': {
        const segment = parseSegment(raw);
        if (!segment) return true;
        if (this.attributor.addSegment(segment)) {
          this.emit('lateSegment', { ...segment, deliveredFrames: this.attributor.frames });
        } else {
          this.emit('segment', segment);
        }
        return true;
      }
      case 'layout':
        return true;
      case 'sourceLost':
        this.emit('sourceLost', { source: 'input', uid: r.uid });
        this.block = { kind: 'fallback', reason: 'inputLost', failed: false };
        this.armFallbackTimer(this.block);
        return true;
      case 'rebuilding':
        if (r.reason === 'stalled') this.emit('sourceLost', { source: 'system' });
        this.emit('rebuilding', { reason: r.reason, ...(r.zeroFrames !== undefined && { zeroFrames: r.zeroFrames }) });
        this.block = { kind: 'rebuild', reason: r.reason, failed: false };
        return true;
      case 'rebuilt':
        this.emit('rebuilt', { reason: 'unknown' });
        return true;
      case 'rebuildFailed':
        this.emit('rebuildFailed', { reason: 'unknown', retrying: r.retrying });
        return true;
      case 'devicesChanged':
      case 'serverUnreachable':
      case 'serverBack':
        this.emit(r.event);
        return true;
      case 'backlog':
        this.emit('backlog', { droppedSamples: r.droppedSamples });
        return true;
      case 'statusBacklog':
        this.emit('statusBacklog', { droppedLines: r.droppedLines });
        return true;
      case 'outputError':
        this.outputError = r.errno;
        return true;
    }
  }
}
