// What the tests share: the shared protocol cases and fake helper, the helper from the environment,
// tones played into the private server, tone levels.
import { spawn, type ChildProcess } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';
import type { Chunk } from '../src/index.js';

const shared = (name: string) => new URL(`../../../shared/${name}`, import.meta.url);
interface Case { about: string; command?: string; lines: string[]; events: unknown[]; chunks?: unknown[]; result?: unknown; error?: string }
export const cases: {
  fence: string;
  status: [string, string, string][];
  segments: [string, unknown][];
  devices: [string, unknown][];
  cases: Case[];
} = JSON.parse(readFileSync(shared('protocol-cases.json'), 'utf8'));
export const fakeHelper = fileURLToPath(shared('fake-helper.py'));

/** A value as the cases write it: capture times as decimal strings, absent fields left out. */
export const plain = (value: unknown) =>
  value === undefined ? undefined : JSON.parse(JSON.stringify(value, (_, v) => (typeof v === 'bigint' ? String(v) : v)));

/** The helper the environment names; else the client's own lookup (an installed helper on PATH). */
export const helper = process.env.LUMVAR_CAPTURE_HELPER;
/** The reason to skip the end-to-end tests, or false to run them. */
export const skipEndToEnd: string | false = process.env.LUMVAR_TEST_SOUND_KIND
  ? false
  : 'no private sound server (LUMVAR_TEST_SOUND_KIND): end-to-end tests run from scripts/test-clients';

export const sleep = (ms: number) => new Promise((resolve) => setTimeout(resolve, ms));

/** Plays a sine of `hz` in both channels into `sink` until killed. */
export function tone(sink: string, rate: number, hz: number, seconds = 60): ChildProcess {
  const player = spawn(
    'pacat',
    ['--playback', `--device=${sink}`, '--raw', '--format=float32le', `--rate=${rate}`, '--channels=2', '--latency-msec=200'],
    { stdio: ['pipe', 'ignore', 'ignore'] },
  );
  const data = new Float32Array(Math.round(rate * seconds) * 2).map((_, i) => 0.5 * Math.sin((2 * Math.PI * hz * (i >> 1)) / rate));
  player.stdin!.on('error', () => {});
  player.stdin!.end(Buffer.from(data.buffer));
  return player;
}

/** Runs of consecutive chunks with the same rate, as one left-channel array each. */
export function runsByRate(chunks: Chunk[]): { rate: number; frame: number; left: Float32Array }[] {
  const runs: { rate: number; frame: number; parts: Chunk[] }[] = [];
  for (const c of chunks) {
    const last = runs.at(-1);
    if (last && last.rate === c.rate) last.parts.push(c);
    else runs.push({ rate: c.rate, frame: c.frame, parts: [c] });
  }
  const left = (parts: Chunk[]) => Float32Array.from(parts.flatMap((c) => [...c.samples.filter((_, i) => i % 2 === 0)]));
  return runs.map(({ rate, frame, parts }) => ({ rate, frame, left: left(parts) }));
}

/** The amplitude of `hz` in `samples` read at `rate` (Goertzel), relative to a full-scale sine. */
export function level(samples: Float32Array, rate: number, hz: number): number {
  const k = 2 * Math.cos((2 * Math.PI * hz) / rate);
  let [s1, s2] = [0, 0];
  for (const v of samples) [s1, s2] = [v + k * s1 - s2, s1];
  return Math.sqrt(Math.max(0, s1 * s1 + s2 * s2 - k * s1 * s2)) / (samples.length / 2);
}

/** Waits for `promise`, failing after `ms`. */
export function within<T>(promise: Promise<T>, ms: number, what: string): Promise<T> {
  let timer: NodeJS.Timeout | undefined;
  const late = new Promise<never>((_, reject) => (timer = setTimeout(() => reject(new Error(`no ${what} within ${ms} ms`)), ms)));
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}
