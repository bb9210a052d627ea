// Parsing of the helper's standard-error lines: the mark of every line, the machine-readable lines
// (segments, the device list, the rates) and the table of unsolicited lines that become events.

/** How a status line begins: `  > ` done, `  x ` failed, `  ! ` noticed, two spaces (information),
 * four spaces (a detail of the line before), or no indent at all. */
export type Mark = '>' | 'x' | '!' | 'info' | 'detail' | 'plain';

export interface StatusLine {
  /** The line as the helper wrote it, without its "\n". */
  raw: string;
  mark: Mark;
  /** The line without its indent and mark. */
  text: string;
}

/** One input device of an `@DEVICES` line. */
export interface InputDevice {
  uid: string;
  name: string;
  channels: number;
  isDefault: boolean;
}

/** From stream frame `frame` on, frames are at `rate` Hz (0 when the helper could not read it), and
 * frame `frame` was captured at `clockNs` on the monotonic clock (`process.hrtime.bigint()`). */
export interface Segment {
  frame: number;
  rate: number;
  clockNs: bigint;
}

export function parseStatus(raw: string): StatusLine {
  if (raw.startsWith('    ')) return { raw, mark: 'detail', text: raw.slice(4) };
  if (raw.startsWith('  ')) {
    const mark = raw[2];
    if ((mark === '>' || mark === 'x' || mark === '!') && raw[3] === ' ') {
      return { raw, mark, text: raw.slice(4) };
    }
    return { raw, mark: 'info', text: raw.slice(2) };
  }
  return { raw, mark: 'plain', text: raw };
}

// A capture time before the clock's zero is negative.
const segmentPattern = /^ {2}segment: frame=(\d+) rate=(\d+(?:\.\d+)?) clock_ns=(-?\d+)$/;

export function parseSegment(raw: string): Segment | undefined {
  const m = segmentPattern.exec(raw);
  if (!m) return undefined;
  return { frame: Number(m[1]), rate: Number(m[2]), clockNs: BigInt(m[3]) };
}

export const devicesPrefix = '@DEVICES ';

/** The devices of an `@DEVICES` line; an empty list when its JSON cannot be read. */
export function parseDevices(raw: string): InputDevice[] {
  let list: unknown;
  try {
    list = JSON.parse(raw.slice(devicesPrefix.length));
  } catch {
    return [];
  }
  if (!Array.isArray(list)) return [];
  return list.map((d: { uid?: unknown; name?: unknown; ch?: unknown; default?: unknown }) => ({
    uid: String(d.uid),
    name: String(d.name),
    channels: Number(d.ch),
    isDefault: d.default === true,
  }));
}

/** The `aggregate=` rate of a build's `rates:` line. */
export function parseAggregateRate(raw: string): number | undefined {
  const m = /^ {2}rates: output=\S+ aggregate=(\d+(?:\.\d+)?)$/.exec(raw);
  return m ? Number(m[1]) : undefined;
}

export const inputStarted = '  > input capture started: ';
export const callStarted = '  > call capture started: ';

/** What the stream carries: what the machine plays, one input device, or a call (left the microphone,
 * right what the machine plays, each frame's two samples from the same instant). */
export type Source = 'system' | 'input' | 'call';

/** The source a line starts, if it starts one. The failed starts and the lost input say 'system': the
 * fall-back that follows them builds the system source, and writes no line of its own when it works. */
export function sourceNamed(raw: string): Source | undefined {
  if (raw === '  > system tap started') return 'system';
  if (raw.startsWith(inputStarted)) return 'input';
  if (raw.startsWith(callStarted)) return 'call';
  if (/^ {2}x (input device lost: .*|input start failed|call start failed); restoring system$/.test(raw)) return 'system';
  return undefined;
}

export function parseInputRate(raw: string): number | undefined {
  const m = /^ {2}input device rate: (\d+(?:\.\d+)?)$/.exec(raw);
  return m ? Number(m[1]) : undefined;
}

const buildFailure =
  /^ {2}x (get default output|output UID|create tap|tap UID|create aggregate|create IOProc|start|dev UID|dev name|n) failed: -?\d+$/;

/** A line a build of the system tap writes (its failure lines included; a call's on macOS too). */
export function isBuildLine(raw: string): boolean {
  return (
    raw.startsWith('  output device channels: ') ||
    raw.startsWith('  aggregate rate set -> ') ||
    raw.startsWith('  rates: ') ||
    raw.startsWith('  tap format: ') ||
    raw.startsWith('  microphone rate set -> ') ||
    raw.startsWith("  x microphone cannot run at the output's rate: ") ||
    raw.startsWith('  x call buffers: ') ||
    buildFailure.test(raw)
  );
}

/** The first line of a build: its channels line, or the failure of a step before it. */
export function isBuildStart(raw: string): boolean {
  return raw.startsWith('  output device channels: ') || /^ {2}x (get default output|output UID) failed: -?\d+$/.test(raw);
}

/** What a command's answer says: the command's value, or why it failed (a `CommandError` code). */
export type Outcome = { value: unknown } | { code: string; message: string };

/** The outcome of `command` (its line: `LIST`, `SYSTEM`, `INPUT <uid>`, `CALL <uid>`) from its answer, the
 * lines up to its fence less the reactions', and the fence's devices. */
export function outcomeOf(command: string, answer: readonly string[], devices: InputDevice[]): Outcome {
  if (command === 'LIST') return { value: devices };
  if (command === 'SYSTEM') {
    // The last result: a try of the machine's before SYSTEM's own lines looks the same.
    const at = findLastIndex(answer, (l) => l === '  > system tap started' || l === '  x system tap build failed');
    if (at < 0 || answer[at] !== '  > system tap started') {
      return { code: 'SYSTEM_BUILD_FAILED', message: 'the system tap could not be built' };
    }
    return { value: lastAggregateRate(answer.slice(0, at)) };
  }
  const word = command.startsWith('CALL') ? 'CALL' : 'INPUT';
  const uid = command.slice(word.length + 1);
  if (word === 'CALL' && answer.some((l) => l.startsWith('unknown cmd: CALL'))) {
    return { code: 'CALL_UNSUPPORTED', message: 'this helper does not support CALL (it answered "unknown cmd"): it is older than the client' };
  }
  const prefix = word === 'CALL' ? callStarted : inputStarted;
  const at = answer.findIndex((l) => l.startsWith(prefix));
  if (at >= 0) {
    const started = answer[at].slice(prefix.length);
    const inputRate = answer.slice(at).map(parseInputRate).find((r) => r !== undefined) ?? 0;
    if (word === 'INPUT') return { value: { uid: started, rate: inputRate } };
    // A call's stream runs at its system part's rate: 0 when that part could not be built at the start.
    return { value: { uid: started, rate: lastAggregateRate(answer.slice(0, at)), inputRate } };
  }
  const has = (prefix: string) => answer.some((l) => l.startsWith(prefix));
  if (has('  x input device not found: ')) return { code: 'NOT_FOUND', message: `no such input device: ${uid}` };
  if (has('  x input device has no input channels: ')) {
    return { code: 'NO_INPUT_CHANNELS', message: `the device has no input channels: ${uid}` };
  }
  if (has(`  x ${word} needs a device uid`)) return { code: 'NEEDS_UID', message: `${word} needs a device UID` };
  if (word === 'CALL') return { code: 'CALL_START_FAILED', message: 'the call could not be started' };
  return { code: 'INPUT_START_FAILED', message: 'the input could not be started' };
}

function lastAggregateRate(lines: readonly string[]): number {
  return lines.map(parseAggregateRate).filter((r) => r !== undefined).at(-1) ?? 0;
}

export function findLastIndex<T>(items: readonly T[], test: (item: T) => boolean): number {
  for (let i = items.length - 1; i >= 0; i--) if (test(items[i])) return i;
  return -1;
}

export const bannerPrefix = '  > streaming (system).';

/** What an unsolicited line means. `build` says that the build lines which follow belong to it; `ends`
 * that the line closes such a block. */
export type Reaction =
  | { event: 'segment' }
  | { event: 'segmentsMerged'; starts: number; fromFrame: number; toFrame: number }
  | { event: 'callInputLost'; uid: string }
  | { event: 'callSystemUnavailable' }
  | { event: 'devicesChanged' }
  | { event: 'sourceLost'; source: 'input'; uid: string; build: true }
  | { event: 'rebuilding'; reason: 'stalled' | 'silent' | 'defaultOutputChanged' | 'audioSystemRestarted'; zeroFrames?: number; build: true }
  | { event: 'rebuilt'; ends: true }
  | { event: 'rebuildFailed'; retrying: boolean; ends: true }
  | { event: 'serverUnreachable' }
  | { event: 'serverBack' }
  | { event: 'backlog'; droppedSamples: number }
  | { event: 'statusBacklog'; droppedLines: number }
  | { event: 'outputError'; errno: string }
  | { event: 'layout' };

/** The reaction a line begins, recognised by its first line; undefined for every other line. */
export function reactionOf(raw: string): Reaction | undefined {
  let m: RegExpExecArray | null;
  if (raw.startsWith('  segment: ')) return { event: 'segment' };
  if ((m = /^ {2}! segment lines merged: (\d+) starts between frames (\d+) and (\d+)$/.exec(raw))) {
    return { event: 'segmentsMerged', starts: Number(m[1]), fromFrame: Number(m[2]), toFrame: Number(m[3]) };
  }
  if (raw === '  ! input devices changed') return { event: 'devicesChanged' };
  if ((m = /^ {2}! call input lost: (.*); its channel stays silent$/.exec(raw))) return { event: 'callInputLost', uid: m[1] };
  if (raw === '  ! call system part unavailable - retrying') return { event: 'callSystemUnavailable' };
  if ((m = /^ {2}x input device lost: (.*); restoring system$/.exec(raw))) {
    return { event: 'sourceLost', source: 'input', uid: m[1], build: true };
  }
  if (raw === '  ! tap stalled - rebuilding') return { event: 'rebuilding', reason: 'stalled', build: true };
  if ((m = /^ {2}! tap went silent \((\d+) zero-frames\) - rebuilding$/.exec(raw))) {
    return { event: 'rebuilding', reason: 'silent', zeroFrames: Number(m[1]), build: true };
  }
  if (raw === '  ! default output changed - rebuilding') {
    return { event: 'rebuilding', reason: 'defaultOutputChanged', build: true };
  }
  if (raw === '  ! audio system restarted - rebuilding') {
    return { event: 'rebuilding', reason: 'audioSystemRestarted', build: true };
  }
  if (raw === '  > tap rebuilt') return { event: 'rebuilt', ends: true };
  if (raw === '  x rebuild failed') return { event: 'rebuildFailed', retrying: false, ends: true };
  if (raw === '  x rebuild failed; retrying next tick') return { event: 'rebuildFailed', retrying: true, ends: true };
  if (raw === '  x sound server unreachable') return { event: 'serverUnreachable' };
  if (raw === '  > sound server back') return { event: 'serverBack' };
  if ((m = /^ {2}! output backlog: dropped (\d+) samples - parent not reading$/.exec(raw))) {
    return { event: 'backlog', droppedSamples: Number(m[1]) };
  }
  if ((m = /^ {2}! status backlog: dropped (\d+) lines - parent not reading stderr$/.exec(raw))) {
    return { event: 'statusBacklog', droppedLines: Number(m[1]) };
  }
  if ((m = /^ {2}x output write error \((.*)\) - ending$/.exec(raw))) return { event: 'outputError', errno: m[1] };
  if (raw.startsWith('  IOProc#1: ') || raw.startsWith('    buf[')) return { event: 'layout' };
  return undefined;
}
