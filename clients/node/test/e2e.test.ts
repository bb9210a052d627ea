// The client against the real helper on the private sound server that scripts/test-clients started
// (PULSE_SERVER and friends in the environment; LUMVAR_TEST_SOUND_KIND names its kind): what only the
// real helper shows. The lines themselves are pinned by the shared cases.
import assert from 'node:assert/strict';
import { execFileSync, type ChildProcess } from 'node:child_process';
import { dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import { after, before, describe, test, type TestContext } from 'node:test';
import { Capture, CaptureStartError, HelperExitError, type Chunk, type Segment, type StartOptions } from '../src/index.js';
import { helper, level, runsByRate, skipEndToEnd, sleep, tone, within } from './support.js';

const kind = process.env.LUMVAR_TEST_SOUND_KIND ?? 'pulseaudio';
const systemHz = 1000; // played into lumvar_out, the default sink, at 48 kHz
const monitorHz = 3000; // played into lumvar_44k at 44.1 kHz
const micHz = 2000; // played into lumvar_mic_sink, which feeds lumvar_mic, the default source
const end = (c: Chunk) => c.clockNs! + BigInt(Math.round(((c.samples.length / 2) * 1e9) / c.rate));

/** A capture of the real helper, stopped when the test ends, whose chunks a background loop collects. */
async function start(t: TestContext, options: StartOptions = {}) {
  const capture = await Capture.start({ helper, ...options });
  t.after(() => capture.stop());
  const chunks: Chunk[] = [];
  const done = (async () => {
    for await (const chunk of capture.chunks()) chunks.push(chunk);
  })();
  done.catch(() => {}); // a test that expects the stream to fail awaits it itself
  const until = async (test: () => boolean, ms = 10_000) => {
    for (const end = Date.now() + ms; !test(); await sleep(10)) {
      if (Date.now() > end) throw new Error(`timed out; ${chunks.length} chunks`);
    }
  };
  const framesAt = (rate: number) => chunks.reduce((n, c) => n + (c.rate === rate ? c.samples.length / 2 : 0), 0);
  return { capture, chunks, done, until, framesAt };
}

describe(`end to end on ${kind}`, { skip: skipEndToEnd, timeout: 120_000 }, () => {
  const players: ChildProcess[] = [];
  before(async () => {
    players.push(tone('lumvar_out', 48000, systemHz), tone('lumvar_44k', 44100, monitorHz), tone('lumvar_mic_sink', 48000, micHz));
    await sleep(300);
  });
  after(() => players.forEach((p) => p.kill()));

  test('exact attribution across INPUT of the 44.1 kHz monitor and back', async (t) => {
    const { capture, chunks, done, until, framesAt } = await start(t);
    const late: unknown[] = [];
    capture.on('lateSegment', (s) => late.push(s));
    assert.deepEqual(await capture.listDevices(), capture.devices);
    assert.deepEqual(capture.devices.find((d) => d.uid === 'lumvar_44k.monitor')?.channels, 2);
    await until(() => framesAt(48000) > 24000);
    assert.deepEqual(await capture.useInput('lumvar_44k.monitor'), { uid: 'lumvar_44k.monitor', rate: 44100 });
    await until(() => framesAt(44100) > 22050);
    assert.equal(await capture.useSystem(), 48000);
    await until(() => chunks.at(-1)!.rate === 48000 && runsByRate(chunks).at(-1)!.left.length > 24000);
    await capture.stop();
    await done;
    // Read as a parent reads both pipes, every line comes before its frames: none late, none unlabelled.
    assert.deepEqual(late, []);
    const runs = runsByRate(chunks);
    assert.deepEqual(runs.map((r) => r.rate), [48000, 44100, 48000]);
    // The last 1024 frames before each boundary and the first 1024 after it, read at their labels'
    // rates, hold their own source's tone, and not the other's as it would sound under this label. A new
    // stream may begin with a cycle or two of its converter's silence, which cannot be the other tone.
    const tones = (rate: number) => (rate === 48000 ? [systemHz, (monitorHz * 48000) / 44100] : [monitorHz, (systemHz * 44100) / 48000]);
    for (let k = 1; k < runs.length; k++) {
      const lead = runs[k].left.findIndex((x) => Math.abs(x) > 0.01);
      assert.ok(lead >= 0 && lead < 4096, `from frame ${runs[k].frame}: ${lead} frames of silence`);
      const windows: [string, (typeof runs)[0], Float32Array][] = [
        [`before frame ${runs[k].frame}`, runs[k - 1], runs[k - 1].left.subarray(-1024)],
        [`from frame ${runs[k].frame}`, runs[k], runs[k].left.subarray(lead, lead + 1024)],
      ];
      for (const [where, run, frames] of windows) {
        const [own, other] = tones(run.rate).map((hz) => level(frames, run.rate, hz));
        assert.ok(own > 0.1 && own > 20 * other, `${where} at ${run.rate}: ${own} of its tone, ${other} of the other`);
      }
    }
  });

  test('CALL of the default source: its chunks at the rates the helper reports, the microphone left and the system right; SYSTEM ends it', async (t) => {
    const { capture, chunks, until } = await start(t);
    const uid = capture.devices.find((d) => d.isDefault)!.uid;
    await until(() => chunks.length > 0);
    assert.deepEqual(await capture.useCall(uid), { uid, rate: 48000, inputRate: 48000 });
    const call = () => chunks.filter((c) => c.source === 'call');
    await until(() => call().reduce((n, c) => n + c.samples.length / 2, 0) > 9600);
    assert.deepEqual(new Set(call().map((c) => c.rate)), new Set([48000]));
    const channel = (k: number) => Float32Array.from(call().flatMap((c) => [...c.samples.filter((_, i) => i % 2 === k)])).subarray(-4800);
    for (const [k, own, other] of [[0, micHz, systemHz], [1, systemHz, micHz]]) {
      const [ownLevel, otherLevel] = [own, other].map((hz) => level(channel(k), 48000, hz));
      assert.ok(ownLevel > 0.1 && ownLevel > 20 * otherLevel, `channel ${k}: ${ownLevel} of ${own} Hz, ${otherLevel} of ${other} Hz`);
    }
    assert.equal(await capture.useSystem(), 48000);
    await until(() => chunks.at(-1)!.source === 'system');
    assert.deepEqual(chunks.map((c) => c.source).filter((s, i, all) => s !== all[i - 1]), ['system', 'call', 'system']);
  });

  test('a consumer that pauses: the segment at the backlog hole carries the lost time; stop delivers what the helper drains', async (t) => {
    // A small client buffer, so that the helper's 8.2 s ring overflows within a pause of 9 s.
    const capture = await Capture.start({ helper, highWaterMark: 1 << 16 });
    t.after(() => capture.stop());
    const segments: Segment[] = [];
    capture.on('segment', (s) => segments.push(s));
    let dropped = 0;
    capture.once('backlog', (b) => (dropped = b.droppedSamples));
    const chunks: Chunk[] = [];
    const iterator = capture.chunks();
    const pull = async (until: () => boolean) => {
      for (let r; !until() && !(r = await iterator.next()).done; ) chunks.push(r.value);
    };
    const frames = () => chunks.reduce((n, c) => n + c.samples.length / 2, 0);
    await pull(() => frames() > 24000);
    await sleep(9000); // longer than the ring, the client's buffer and the pipe take
    await within(pull(() => dropped > 0 && frames() > 48000 * 10), 10_000, 'backlog');
    // The capture time each segment line skips over; the hole is the largest (a graph that skipped a few
    // cycles meanwhile makes segments of its own, a few milliseconds each).
    const skippedMs = segments
      .map((s) => chunks.findIndex((c) => s.frame > 0 && c.frame === s.frame))
      .filter((at) => at > 0)
      .map((at) => Number(chunks[at].clockNs! - end(chunks[at - 1])) / 1e6);
    const [lostMs, droppedMs] = [Math.max(...skippedMs), (dropped / 2 / 48000) * 1000];
    t.diagnostic(`backlog on ${kind}: a hole of ${lostMs.toFixed(1)} ms in capture time for ${droppedMs.toFixed(1)} ms dropped`);
    assert.ok(Math.abs(lostMs - droppedMs) < 100, `hole ${lostMs} ms, dropped ${droppedMs} ms`);
    // Then 1 s without pulling, and stop: what was captured until the stop still arrives, but for
    // the server's last cycle.
    await sleep(1000);
    const stoppedAt = process.hrtime.bigint();
    assert.deepEqual(await capture.stop(), { code: 0, signal: null });
    await pull(() => false);
    const missingMs = Number(stoppedAt - end(chunks.at(-1)!)) / 1e6;
    t.diagnostic(`stop on ${kind}: the last ${missingMs.toFixed(1)} ms before it did not arrive`);
    assert.ok(missingMs < 200, `the last ${missingMs} ms before the stop did not arrive`);
  });

  test('with no server the first build fails and start fails with its lines and status 1', async () => {
    // Neither server: not the pulse one, nor PipeWire's own socket (the helper tries that first).
    const env = { ...process.env, PULSE_SERVER: 'unix:/nonexistent/lumvar/native', PIPEWIRE_REMOTE: '/nonexistent/lumvar/pipewire-0' };
    await assert.rejects(Capture.start({ helper, env }), (e: CaptureStartError) => {
      assert.ok(e instanceof CaptureStartError, String(e));
      assert.deepEqual([e.code, e.exitCode, e.lines.slice(-2)], ['HELPER_EXITED', 1, ['  x get default output failed: 1885564782', 'initial tap build failed']]);
      return true;
    });
  });

  test('a helper killed with SIGKILL fails pending calls and ends the chunks with the error', async (t) => {
    const { capture, done } = await start(t);
    const exit = new Promise((resolve) => capture.once('exit', resolve));
    process.kill(capture.pid, 'SIGKILL');
    for (const call of [capture.listDevices(), capture.useSystem()]) {
      await assert.rejects(call, { name: 'HelperExitError', code: 'HELPER_EXITED', signal: 'SIGKILL' });
    }
    await assert.rejects(done, (e) => e instanceof HelperExitError);
    assert.deepEqual(await within(exit, 5000, 'exit'), { code: null, signal: 'SIGKILL' });
    await assert.rejects(capture.listDevices(), { code: 'HELPER_EXITED' });
  });
});

// Last: it replaces the server that scripts/test-clients started with a new one in the same place.
describe(`a server restart on ${kind}`, { skip: skipEndToEnd, timeout: 60_000 }, () => {
  test('exact attribution across a server restart: the segment after it carries the time it was gone', async (t) => {
    const script = fileURLToPath(new URL('../../../../scripts/sound-server', import.meta.url));
    const dir = dirname(process.env.PULSE_SERVER!.replace(/^unix:/, ''));
    const players = [tone('lumvar_out', 48000, systemHz)];
    t.after(() => players.forEach((p) => p.kill()));
    const { capture, chunks, done, until, framesAt } = await start(t);
    const segments: number[] = [];
    const seen: string[] = []; // what the helper said, for a failure's message
    capture.on('segment', (s) => segments.push(s.frame));
    capture.on('status', (s) => s.raw.startsWith('@') || seen.push(s.raw));
    const back = new Promise<void>((resolve) => capture.once('serverBack', () => resolve()));
    await until(() => framesAt(48000) > 24000);
    const downAt = process.hrtime.bigint();
    // A start that fails (PipeWire answered `load-module` with "Not supported" once in a few tries here)
    // is tried again, so that the suites after this one find a server.
    for (let tries = 1; ; tries++) {
      try {
        execFileSync(script, ['start', dir, kind], { stdio: 'ignore' });
        break;
      } catch (error) {
        if (tries === 3) throw error;
      }
    }
    const upAt = process.hrtime.bigint();
    await within(back, 10_000, 'serverBack');
    players.push(tone('lumvar_out', 48000, systemHz));
    const before = chunks.length;
    const toneIn = (c: Chunk) => level(c.samples.filter((_, i) => i % 2 === 0), c.rate, systemHz) > 0.1;
    await until(() => chunks.length > before && toneIn(chunks.at(-1)!));
    await capture.stop();
    await done;
    // The chunk after the hole in capture time begins a segment; the hole spans the outage.
    assert.ok(chunks.every((c) => c.rate > 0), seen.join('\n'));
    const at = chunks.findIndex((c, i) => i > 0 && c.clockNs! - end(chunks[i - 1]) > 100_000_000n);
    assert.ok(at > 0, 'a hole in capture time');
    const [last, first] = [chunks[at - 1], chunks[at]];
    assert.ok(segments.includes(first.frame), `a segment at frame ${first.frame}:\n${seen.join('\n')}`);
    const ms = (ns: bigint) => (Number(ns - downAt) / 1e6).toFixed(1);
    const hole = `the hole from ${ms(end(last))} to ${ms(first.clockNs!)} ms, the restart from 0 to ${ms(upAt)} ms`;
    assert.ok(end(last) < upAt && first.clockNs! > downAt, hole);
    t.diagnostic(`server restart on ${kind}: ${hole}`);
  });
});
