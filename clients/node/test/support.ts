// What the end-to-end tests share: the helper from the environment, tones played into the private
// server, tone levels.
import { spawn, spawnSync, type ChildProcess } from 'node:child_process';
import type { Chunk } from '../src/index.js';

export const helper = process.env.LUMVAR_CAPTURE_HELPER;
/** The reason to skip the end-to-end tests, or false to run them. */
export const skipEndToEnd: string | false = helper
  ? false
  : 'LUMVAR_CAPTURE_HELPER is not set: end-to-end tests need the helper and a private sound server (run scripts/test-clients)';

export const sleep = (ms: number) => new Promise((resolve) => setTimeout(resolve, ms));

/** Plays stereo float32 frames made by `sample(i)` (i counts frames) into `sink` until killed. */
export function play(sink: string, rate: number, seconds: number, sample: (i: number) => number): ChildProcess {
  const player = spawn(
    'pacat',
    ['--playback', `--device=${sink}`, '--raw', '--format=float32le', `--rate=${rate}`, '--channels=2', '--latency-msec=200'],
    { stdio: ['pipe', 'ignore', 'ignore'] },
  );
  const frames = Math.round(rate * seconds);
  const data = new Float32Array(frames * 2);
  for (let i = 0; i < frames; i++) data[2 * i] = data[2 * i + 1] = sample(i);
  player.stdin!.on('error', () => {});
  player.stdin!.end(Buffer.from(data.buffer));
  return player;
}

export const tone = (sink: string, rate: number, hz: number, seconds = 60) =>
  play(sink, rate, seconds, (i) => 0.5 * Math.sin((2 * Math.PI * hz * i) / rate));

export function pactl(...args: string[]): string {
  const result = spawnSync('pactl', args, { encoding: 'utf8' });
  if (result.status !== 0) throw new Error(`pactl ${args.join(' ')}: ${result.stderr}`);
  return result.stdout.trim();
}

/** Runs of consecutive chunks with the same rate, as one left-channel array each. */
export function runsByRate(chunks: Chunk[]): { rate: number; frame: number; left: Float32Array }[] {
  const runs: { rate: number; frame: number; parts: Chunk[] }[] = [];
  for (const c of chunks) {
    const last = runs[runs.length - 1];
    if (last && last.rate === c.rate) last.parts.push(c);
    else runs.push({ rate: c.rate, frame: c.frame, parts: [c] });
  }
  return runs.map(({ rate, frame, parts }) => {
    const left = new Float32Array(parts.reduce((n, c) => n + c.samples.length / 2, 0));
    let at = 0;
    for (const c of parts) for (let i = 0; i < c.samples.length; i += 2) left[at++] = c.samples[i];
    return { rate, frame, left };
  });
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

/** A 32-bit float stereo WAV as written by the examples. */
export function readWav(bytes: Buffer): { rate: number; left: Float32Array; right: Float32Array } {
  const rate = bytes.readUInt32LE(24);
  const frames = (bytes.length - 44) / 8;
  const samples = new Float32Array(bytes.buffer.slice(bytes.byteOffset + 44, bytes.byteOffset + 44 + frames * 8));
  const left = new Float32Array(frames);
  const right = new Float32Array(frames);
  for (let i = 0; i < frames; i++) [left[i], right[i]] = [samples[2 * i], samples[2 * i + 1]];
  return { rate, left, right };
}

/** Times (s) where a click begins: the level crosses `threshold` after 50 ms below it. */
export function clickTimes(x: Float32Array, rate: number, threshold = 0.3): number[] {
  const times: number[] = [];
  let quietSince = 0;
  for (let i = 0; i < x.length; i++) {
    if (Math.abs(x[i]) < threshold) continue;
    if (i - quietSince > rate * 0.05) times.push(i / rate);
    quietSince = i;
  }
  return times;
}
