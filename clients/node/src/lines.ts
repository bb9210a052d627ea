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

export function parseInputRate(raw: string): number | undefined {
  const m = /^ {2}input device rate: (\d+(?:\.\d+)?)$/.exec(raw);
  return m ? Number(m[1]) : undefined;
}

const buildFailure =
  /^ {2}x (get default output|output UID|create tap|tap UID|create aggregate|create IOProc|start|dev UID|dev name|n) failed: -?\d+$/;

/** A line a build of the system tap writes (its failure lines included). */
export function isBuildLine(raw: string): boolean {
  return (
    raw.startsWith('  output device channels: ') ||
    raw.startsWith('  aggregate rate set -> ') ||
    raw.startsWith('  rates: ') ||
    raw.startsWith('  tap format: ') ||
    buildFailure.test(raw)
  );
}

export const bannerPrefix = '  > streaming (system).';

/** What an unsolicited line means. `build` says that the build lines which follow belong to it; `ends`
 * that the line closes such a block. */
export type Reaction =
  | { event: 'segment' }
  | { event: 'devicesChanged' }
  | { event: 'sourceLost'; source: 'input'; uid: string; build: true }
  | { event: 'rebuilding'; reason: 'stalled' | 'silent' | 'defaultOutputChanged'; zeroFrames?: number; build: true }
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
  if (raw === '  ! input devices changed') return { event: 'devicesChanged' };
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
