// The client against the real helper on the private sound server that scripts/test-clients started
// (PULSE_SERVER and friends in the environment; LUMVAR_TEST_SOUND_KIND names its kind).
import assert from 'node:assert/strict';
import { execFile, execFileSync, type ChildProcess } from 'node:child_process';
import { readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';
import { after, before, describe, test } from 'node:test';
import { Capture, CaptureStartError, CommandError, HelperExitError, type Chunk, type Segment } from '../src/index.js';
import { clickTimes, helper, level, pactl, play, readWav, runsByRate, skipEndToEnd, sleep, tone, within } from './support.js';

const kind = process.env.LUMVAR_TEST_SOUND_KIND ?? 'pulseaudio';
const systemHz = 1000; // played into lumvar_out, the default sink, at 48 kHz
const monitorHz = 3000; // played into lumvar_44k at 44.1 kHz

/** Collects every chunk in the background until the stream ends. */
function collect(capture: Capture) {
  const chunks: Chunk[] = [];
  const framesAt = (rate: number) => chunks.reduce((n, c) => n + (c.rate === rate ? c.samples.length / 2 : 0), 0);
  const done = (async () => {
    for await (const chunk of capture.chunks()) chunks.push(chunk);
  })();
  done.catch(() => {}); // a test that expects the stream to fail awaits it itself
  const until = async (test: () => boolean, ms = 5000) => {
    for (const end = Date.now() + ms; !test(); await sleep(10)) {
      if (Date.now() > end) throw new Error(`timed out; ${chunks.length} chunks`);
    }
  };
  return { chunks, framesAt, done, until };
}

describe(`end to end on ${kind}`, { skip: skipEndToEnd, timeout: 120_000 }, () => {
  const players: ChildProcess[] = [];
  before(async () => {
    players.push(tone('lumvar_out', 48000, systemHz), tone('lumvar_44k', 44100, monitorHz));
    await sleep(300);
  });
  after(() => players.forEach((p) => p.kill()));

  test('start, devices, listDevices, useInput and useSystem', async () => {
    const capture = await Capture.start({ helper });
    const uids = capture.devices.map((d) => d.uid);
    assert.ok(uids.includes('lumvar_44k.monitor') && uids.includes('lumvar_mono'), uids.join());
    assert.equal(capture.devices.find((d) => d.isDefault)?.uid, 'lumvar_mic');
    assert.deepEqual(await capture.listDevices(), capture.devices);
    assert.deepEqual(await capture.useInput('lumvar_44k.monitor'), { uid: 'lumvar_44k.monitor', rate: 44100 });
    const failures: [string, string, string][] = [
      ['no-such-device', 'NOT_FOUND', '  x input device not found: no-such-device'],
      ['lumvar_out', 'NO_INPUT_CHANNELS', '  x input device has no input channels: lumvar_out'],
    ];
    for (const [uid, code, line] of failures) {
      await assert.rejects(capture.useInput(uid), (e: CommandError) => {
        assert.ok(e instanceof CommandError, String(e));
        assert.equal(e.code, code);
        assert.ok(e.lines.includes(line) && e.lines.includes('  x input start failed; restoring system'), e.lines.join('\n'));
        return true;
      });
    }
    assert.equal(await capture.useSystem(), 48000);
    assert.deepEqual(await capture.stop(), { code: 0, signal: null });
  });

  test('with no server the first build fails and start fails with its lines and status 1', async () => {
    // Neither server: not the pulse one, nor PipeWire's own socket (the helper tries that first).
    const env = { ...process.env, PULSE_SERVER: 'unix:/nonexistent/lumvar/native', PIPEWIRE_REMOTE: '/nonexistent/lumvar/pipewire-0' };
    await assert.rejects(Capture.start({ helper, env }), (e: CaptureStartError) => {
      assert.ok(e instanceof CaptureStartError, String(e));
      assert.equal(e.code, 'HELPER_EXITED');
      assert.equal(e.exitCode, 1);
      assert.ok(e.lines.includes('initial tap build failed'), e.lines.join('\n'));
      assert.ok(e.lines.includes('  x get default output failed: 1885564782'), e.lines.join('\n'));
      return true;
    });
  });

  test('exact attribution across INPUT of the 44.1 kHz monitor and back', async () => {
    const capture = await Capture.start({ helper });
    const late: unknown[] = [];
    capture.on('lateSegment', (s) => late.push(s));
    const got = collect(capture);
    await got.until(() => got.framesAt(48000) > 24000);
    await capture.useInput('lumvar_44k.monitor');
    await got.until(() => got.framesAt(44100) > 22050);
    await capture.useSystem();
    await got.until(() => got.chunks[got.chunks.length - 1].rate === 48000 && runsByRate(got.chunks).at(-1)!.left.length > 24000);
    await capture.stop();
    await got.done;
    // Read as a parent reads both pipes, every line comes before its frames: none late, none unlabelled.
    assert.deepEqual(late, []);
    const runs = runsByRate(got.chunks);
    assert.deepEqual(
      runs.map((r) => r.rate),
      [48000, 44100, 48000],
    );
    // The last 1024 frames before each boundary and the first 1024 after it, read at their labels'
    // rates, hold their own source's tone, and not the other's as it would sound under this label.
    const tones = (rate: number) =>
      rate === 48000 ? [systemHz, (monitorHz * 48000) / 44100] : [monitorHz, (systemHz * 44100) / 48000];
    for (let k = 1; k < runs.length; k++) {
      const windows: [string, (typeof runs)[0], Float32Array][] = [
        [`before frame ${runs[k].frame}`, runs[k - 1], runs[k - 1].left.subarray(runs[k - 1].left.length - 1024)],
        [`from frame ${runs[k].frame}`, runs[k], runs[k].left.subarray(0, 1024)],
      ];
      for (const [where, run, frames] of windows) {
        const [own, other] = tones(run.rate).map((hz) => level(frames, run.rate, hz));
        assert.ok(own > 0.1 && own > 20 * other, `${where} at ${run.rate}: ${own} of its tone, ${other} of the other`);
      }
    }
  });

  test('exact attribution across a backlog drop: the segment at the hole carries the lost time', async (t) => {
    // A small client buffer, so that the helper's 8.2 s ring overflows after a pause of 10 s.
    const capture = await Capture.start({ helper, highWaterMark: 1 << 16 });
    const segments: Segment[] = [];
    capture.on('segment', (s) => segments.push(s));
    const backlog = new Promise<{ droppedSamples: number }>((resolve) => capture.on('backlog', resolve));
    const chunks: Chunk[] = [];
    let paused = false;
    const startedAt = Date.now();
    for await (const chunk of capture.chunks()) {
      chunks.push(chunk);
      if (!paused && Date.now() - startedAt > 500) {
        paused = true;
        await sleep(10_000);
      }
      if (paused && chunks.reduce((n, c) => n + c.samples.length, 0) / 2 > 48000 * 13) break;
    }
    const { droppedSamples } = await within(backlog, 5000, 'backlog');
    assert.ok(droppedSamples > 0);
    // The capture time each segment line skips over; the hole is the largest (a graph that skipped a few
    // cycles meanwhile makes segments of its own, a few milliseconds each).
    const skipped = segments
      .map((s) => chunks.findIndex((c) => s.frame > 0 && c.frame === s.frame))
      .filter((at) => at > 0)
      .map((at) => {
        const prev = chunks[at - 1];
        const continuous = prev.clockNs + BigInt(Math.round(((prev.samples.length / 2) * 1e9) / prev.rate));
        return Number(chunks[at].clockNs - continuous) / 1e6;
      });
    assert.ok(skipped.length > 0, `a segment line at a chunk boundary: ${JSON.stringify(segments, (_, v) => (typeof v === 'bigint' ? String(v) : v))}`);
    const lostMs = Math.max(...skipped);
    const droppedMs = (droppedSamples / 2 / 48000) * 1000;
    t.diagnostic(`backlog on ${kind}: a hole of ${lostMs.toFixed(1)} ms in capture time for ${droppedMs.toFixed(1)} ms dropped`);
    assert.ok(Math.abs(lostMs - droppedMs) < 100, `hole ${lostMs} ms, dropped ${droppedMs} ms`);
  });

  test('stop delivers what the helper drains', async () => {
    const capture = await Capture.start({ helper });
    const first = new Promise<Segment>((resolve) => capture.once('segment', resolve));
    const firstSegment = await within(first, 5000, 'segment');
    await sleep(1500); // nothing pulls meanwhile
    const stoppedAt = process.hrtime.bigint();
    assert.deepEqual(await capture.stop(), { code: 0, signal: null });
    let frames = 0;
    for await (const chunk of capture.chunks()) frames += chunk.samples.length / 2;
    const capturedMs = Number(stoppedAt - firstSegment.clockNs) / 1e6;
    // Every frame captured before the stop arrived, less the server's fragment latency.
    assert.ok(frames / 48 > capturedMs - 100, `${frames / 48} ms of ${capturedMs} ms`);
  });

  test('a helper killed with SIGKILL fails pending calls and ends the chunks with the error', async () => {
    const capture = await Capture.start({ helper });
    const got = collect(capture);
    const exit = new Promise((resolve) => capture.once('exit', resolve));
    process.kill(capture.pid, 'SIGKILL');
    const calls = [capture.listDevices(), capture.useSystem()];
    for (const call of calls) await assert.rejects(call, { name: 'HelperExitError', code: 'HELPER_EXITED', signal: 'SIGKILL' });
    await assert.rejects(got.done, (e) => e instanceof HelperExitError);
    assert.deepEqual(await within(exit, 5000, 'exit'), { code: null, signal: 'SIGKILL' });
    await assert.rejects(capture.listDevices(), { code: 'HELPER_EXITED' });
  });
});

// Without the tones above: the clicks must stand alone in both routes.
describe(`call-recorder on ${kind}`, { skip: skipEndToEnd, timeout: 60_000 }, () => {
  test('call-recorder puts clicks played into both routes within 60 ms of each other', async (t) => {
    // One combine sink feeds the default sink (the system route) and the microphone's feed sink.
    const module = pactl('load-module', 'module-combine-sink', 'sink_name=lumvar_both', 'slaves=lumvar_out,lumvar_mic_sink');
    const out = join(tmpdir(), `lumvar-call-${process.pid}.wav`);
    const clicks = play('lumvar_both', 48000, 6, (i) => (i % 9600 < 48 ? 0.9 : 0)); // 1 ms every 200 ms
    try {
      const recorder = fileURLToPath(new URL('../../examples/call-recorder.mjs', import.meta.url));
      await promisify(execFile)(process.execPath, [recorder, '4', out, 'lumvar_mic'], { env: { ...process.env, LUMVAR_CAPTURE_HELPER: helper } });
    } finally {
      clicks.kill();
      pactl('unload-module', module);
    }
    const { rate, left, right } = readWav(readFileSync(out));
    rmSync(out);
    const played = clickTimes(left, rate);
    const heard = clickTimes(right, rate);
    // A click with no partner within 100 ms (the microphone's helper starts later) tells nothing of alignment.
    const offsets = played.map((t) => Math.min(...heard.map((h) => Math.abs(h - t))) * 1000).filter((o) => o < 100);
    t.diagnostic(`call-recorder on ${kind}: clicks ${offsets.map((o) => o.toFixed(1)).join(' ')} ms apart`);
    assert.ok(offsets.length >= 10, `${offsets.length} pairs of clicks`);
    // The helpers' own clocks disagree by up to about 30 ms (PipeWire) and 50 ms (PulseAudio's remapped
    // microphone) here; the recorder follows them exactly (see the README).
    assert.ok(offsets.every((o) => o < 60), offsets.join());
  });
});

/** Stops the server and starts a new one in the same place; a start that fails (PipeWire's answered
 * `load-module` with "Not supported" once in a few tries here) is tried again, so that the suites after
 * this one find a server. */
function restart(script: string, dir: string): void {
  for (let tries = 1; ; tries++) {
    try {
      execFileSync(script, ['start', dir, kind], { stdio: 'ignore' });
      return;
    } catch (error) {
      if (tries === 3) throw error;
    }
  }
}

// Last: it replaces the server that scripts/test-clients started with a new one in the same place.
describe(`a server restart on ${kind}`, { skip: skipEndToEnd, timeout: 60_000 }, () => {
  test('exact attribution across a server restart: the segment after it carries the time it was gone', async (t) => {
    const script = fileURLToPath(new URL('../../../../scripts/sound-server', import.meta.url));
    const dir = dirname(process.env.PULSE_SERVER!.replace(/^unix:/, ''));
    const players = [tone('lumvar_out', 48000, systemHz)];
    const capture = await Capture.start({ helper });
    const segments: number[] = [];
    const seen: string[] = []; // what the helper said, for a failure's message
    capture.on('segment', (s) => segments.push(s.frame));
    capture.on('lateSegment', (s) => seen.push(`late segment ${s.frame} after ${s.deliveredFrames}`));
    capture.on('status', (s) => s.raw.startsWith('@') || seen.push(s.raw));
    const got = collect(capture);
    const back = new Promise<void>((resolve) => capture.once('serverBack', () => resolve()));
    try {
      await got.until(() => got.framesAt(48000) > 24000);
      const downAt = process.hrtime.bigint();
      restart(script, dir);
      const upAt = process.hrtime.bigint();
      await within(back, 10_000, 'serverBack');
      players.push(tone('lumvar_out', 48000, systemHz));
      // Audio again: the tone in the newest chunk.
      const before = got.chunks.length;
      const toneIn = (c: Chunk) => level(c.samples.filter((_, i) => i % 2 === 0), c.rate, systemHz) > 0.1;
      await got.until(() => got.chunks.length > before && toneIn(got.chunks[got.chunks.length - 1]), 10000);
      await capture.stop();
      await got.done;
      // The chunk after the hole in capture time begins a segment; the hole spans the outage.
      assert.ok(got.chunks.every((c) => c.rate > 0), seen.join('\n'));
      const end = (c: Chunk) => c.clockNs + BigInt(Math.round(((c.samples.length / 2) * 1e9) / c.rate));
      const at = got.chunks.findIndex((c, i) => i > 0 && c.clockNs - end(got.chunks[i - 1]) > 100_000_000n);
      assert.ok(at > 0, 'a hole in capture time');
      const [last, first] = [got.chunks[at - 1], got.chunks[at]];
      assert.ok(segments.includes(first.frame), `a segment at frame ${first.frame}:\n${seen.join('\n')}`);
      const ms = (ns: bigint) => Number(ns - downAt) / 1e6;
      assert.ok(end(last) < upAt && first.clockNs > downAt, `the hole from ${ms(end(last))} to ${ms(first.clockNs)} ms, the restart from 0 to ${ms(upAt)} ms`);
      t.diagnostic(`server restart on ${kind}: the hole from ${ms(end(last))} to ${ms(first.clockNs)} ms, the restart from 0 to ${ms(upAt)} ms`);
    } finally {
      players.forEach((p) => p.kill());
    }
  });
});
