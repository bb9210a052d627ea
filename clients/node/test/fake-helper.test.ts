// The client against a scripted stand-in for the helper: attribution races, command answers with
// reactions in between, a failed start. No sound server needed.
import assert from 'node:assert/strict';
import { fileURLToPath } from 'node:url';
import { test } from 'node:test';
import { Capture, CaptureStartError, CommandError, type Chunk } from '../src/index.js';

const fake = fileURLToPath(new URL('../../test/fixtures/fake-helper.mjs', import.meta.url));
const start = (scenario: string, extra: NodeJS.ProcessEnv = {}) =>
  Capture.start({ helper: fake, env: { ...process.env, FAKE_SCENARIO: scenario, ...extra } });

test('a line written right before its frames labels exactly those frames, whatever the reads', async () => {
  const capture = await start('burst');
  let total = 0;
  for (let k = 0; k < 200; k++) total += 1 + ((k * 7919) % 3001); // the fake's segment sizes
  const late: unknown[] = [];
  capture.on('lateSegment', (s) => late.push(s));
  const chunks: Chunk[] = [];
  let frames = 0;
  for await (const chunk of capture.chunks()) {
    chunks.push(chunk);
    frames += chunk.samples.length / 2;
    if (frames >= total) break;
  }
  assert.equal(frames, total);
  assert.deepEqual(late, []);
  for (const c of chunks) {
    const k = c.samples[0];
    assert.ok(c.samples.every((v) => v === k), `chunk at ${c.frame} mixes segments`);
    assert.equal(c.rate, k % 2 ? 44100 : 48000, `chunk at ${c.frame}`);
    assert.ok(c.clockNs >= BigInt(k) * 1_000_000_000n && c.clockNs < BigInt(k + 1) * 1_000_000_000n);
  }
  assert.equal(new Set(chunks.map((c) => c.samples[0])).size, 200);
});

test('a late line is reported with its exact frame and labels only later chunks', async () => {
  const capture = await start('late');
  const late = new Promise<unknown>((resolve) => capture.on('lateSegment', resolve));
  const chunks: Chunk[] = [];
  let frames = 0;
  for await (const chunk of capture.chunks()) {
    chunks.push(chunk);
    frames += chunk.samples.length / 2;
    if (frames >= 3000) break;
  }
  assert.deepEqual(await late, { frame: 1000, rate: 44100, clockNs: 7_000_000_000n, deliveredFrames: 2000 });
  const before = chunks.filter((c) => c.frame < 2000);
  const after = chunks.filter((c) => c.frame >= 2000);
  assert.ok(before.every((c) => c.rate === 48000));
  assert.deepEqual(
    after.map((c) => [c.rate, c.clockNs]).slice(0, 1),
    [[44100, 7_000_000_000n + BigInt(Math.round(1e12 / 44100))]],
  );
  assert.deepEqual(await capture.stop(), { code: 0, signal: null });
});

test('commands resolve with their answers; reactions in between become events, not answers', async () => {
  const capture = await start('commands');
  assert.deepEqual(
    capture.devices.map((d) => d.uid),
    ['mic', 'mic44'],
  );
  const events: unknown[][] = [];
  for (const name of ['sourceLost', 'rebuilding', 'rebuilt', 'rebuildFailed', 'backlog', 'devicesChanged'] as const) {
    capture.on(name, (...args: unknown[]) => events.push([name, ...args]));
  }
  // Sent back to back: the client sends one at a time.
  const [input, system, list] = await Promise.all([
    capture.useInput('mic44'),
    capture.useSystem(),
    capture.listDevices(),
  ]);
  assert.deepEqual(input, { uid: 'mic44', rate: 44100 });
  assert.equal(system, 44100);
  assert.equal(list[1].name, 'Mic / 44');
  const failures: [string, string, number][] = [
    ['nope', 'NOT_FOUND', 4],
    ['out', 'NO_INPUT_CHANNELS', 4],
  ];
  for (const [uid, code, lines] of failures) {
    await assert.rejects(capture.useInput(uid), (e: CommandError) => {
      assert.ok(e instanceof CommandError);
      assert.equal(e.code, code);
      assert.equal(e.lines.length, lines, e.lines.join('|'));
      return true;
    });
  }
  await assert.rejects(capture.useInput('a\nSYSTEM'), { name: 'CommandError', code: 'BAD_UID' });
  assert.deepEqual(await capture.useInput('lost'), { uid: 'lost', rate: 16000 });
  await new Promise((resolve) => capture.on('rebuildFailed', (e) => e.reason === 'stalled' && resolve(e)));
  assert.deepEqual(events, [
    ['sourceLost', { source: 'system' }],
    ['rebuilding', { reason: 'stalled' }],
    ['rebuilt', { reason: 'stalled', rate: 48000 }],
    ['backlog', { droppedSamples: 96 }],
    ['sourceLost', { source: 'input', uid: 'lost' }],
    ['rebuildFailed', { reason: 'inputLost', retrying: false }],
    ['devicesChanged'],
    ['rebuildFailed', { reason: 'retry', retrying: true }],
    ['rebuilt', { reason: 'retry', rate: 48000 }],
    ['sourceLost', { source: 'system' }],
    ['rebuilding', { reason: 'stalled' }],
    ['rebuildFailed', { reason: 'stalled', retrying: true }],
  ]);
  const aborted = new AbortController();
  const pending = capture.listDevices({ signal: aborted.signal });
  aborted.abort();
  await assert.rejects(pending, { code: 'ABORTED' });
  assert.equal((await capture.listDevices()).length, 2); // the fence of the aborted call was skipped
  assert.deepEqual(await capture.stop(), { code: 0, signal: null });
  await assert.rejects(capture.listDevices(), { code: 'STOPPED' });
});

test('start fails with the lines and status of a helper that ends before its banner', async () => {
  await assert.rejects(start('fail'), (e: CaptureStartError) => {
    assert.ok(e instanceof CaptureStartError);
    assert.equal(e.code, 'HELPER_EXITED');
    assert.equal(e.exitCode, 1);
    assert.deepEqual(e.lines, ['  x get default output failed: 1885564782', 'initial tap build failed']);
    return true;
  });
  await assert.rejects(Capture.start({ helper: '/nonexistent/lumvar-capture' }), { code: 'HELPER_NOT_FOUND' });
});

test('every way out of the audio ends the helper', { timeout: 10_000 }, async () => {
  const ways: [string, (capture: Capture, abort: AbortController) => Promise<unknown>][] = [
    ['leaving for await over chunks()', async (capture) => {
      for await (const chunk of capture.chunks()) if (chunk.frame >= 0) break;
    }],
    ['leaving for await over audio', async (capture) => {
      for await (const chunk of capture.audio) if (chunk.frame >= 0) break;
    }],
    ['the start signal', async (_, abort) => abort.abort()],
  ];
  for (const [way, leave] of ways) {
    const abort = new AbortController();
    const capture = await Capture.start({ helper: fake, env: { ...process.env, FAKE_SCENARIO: 'late' }, signal: abort.signal });
    const exit = new Promise((resolve) => capture.once('exit', resolve));
    await leave(capture, abort);
    assert.deepEqual(await exit, { code: 0, signal: null }, way);
  }
});
