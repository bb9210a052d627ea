// The client against the shared stand-in for the helper (clients/shared/fake-helper.py): attribution
// races, the command cases through the pipes, the ways out. No sound server needed.
import assert from 'node:assert/strict';
import { test, type TestContext } from 'node:test';
import { Capture, CommandError, type Chunk, type Segment, type StartOptions } from '../src/index.js';
import { cases, fakeHelper, plain } from './support.js';

/** A capture of the fake running `scenario`, stopped when the test ends whatever happens. */
async function start(t: TestContext, scenario: string, options: StartOptions = {}): Promise<Capture> {
  const capture = await Capture.start({ helper: fakeHelper, env: { ...process.env, FAKE_SCENARIO: scenario }, ...options });
  t.after(() => capture.stop());
  return capture;
}

/** Every chunk until the stream ends; the fake ends on its own, so the stream ends with its exit. */
async function drain(capture: Capture): Promise<Chunk[]> {
  const chunks: Chunk[] = [];
  await assert.rejects(async () => {
    for await (const chunk of capture.chunks()) chunks.push(chunk);
  }, { code: 'HELPER_EXITED' });
  return chunks;
}

test('a line written right before its frames labels exactly those frames, whatever the reads', async (t) => {
  const capture = await start(t, 'burst');
  const segments: Segment[] = [];
  const late: Segment[] = [];
  capture.on('segment', (s) => segments.push(s));
  capture.on('lateSegment', (s) => late.push(s));
  const chunks = await drain(capture);
  assert.deepEqual(late, []);
  let frame = 0;
  for (const c of chunks) {
    const k = c.samples[1];
    const [segment, next] = [segments[k], segments[k + 1]];
    const frames = c.samples.length / 2;
    assert.equal(c.frame, frame);
    assert.ok(segment.frame <= c.frame && c.frame + frames <= next.frame, `chunk at ${c.frame} straddles segment ${k}'s end`);
    assert.deepEqual([c.rate, c.clockNs], [segment.rate, segment.clockNs + BigInt(Math.round(((c.frame - segment.frame) * 1e9) / segment.rate))]);
    const wrong = c.samples.findIndex((v, i) => v !== (i % 2 ? k : c.frame + (i >> 1)));
    assert.equal(wrong, -1, `chunk at ${c.frame}: sample ${wrong}`);
    frame += frames;
  }
  assert.equal(frame, segments.at(-1)!.frame); // the last line says how many frames there were
});

test('a late line is reported with its exact frame and labels only later chunks', async (t) => {
  const capture = await start(t, 'late');
  const late = new Promise<unknown>((resolve) => capture.on('lateSegment', resolve));
  const chunks: Chunk[] = [];
  for await (const chunk of capture.chunks()) {
    chunks.push(chunk);
    if (chunk.frame + chunk.samples.length / 2 >= 3000) break;
  }
  assert.deepEqual(await late, { frame: 1000, rate: 44100, clockNs: 7_000_000_000n, deliveredFrames: 2000 });
  assert.ok(chunks.filter((c) => c.frame < 2000).every((c) => c.rate === 48000));
  assert.deepEqual(
    chunks.filter((c) => c.frame >= 2000).map((c) => [c.rate, c.clockNs])[0],
    [44100, 7_000_000_000n + BigInt(Math.round(1e12 / 44100))],
  );
});

test('the command cases through the pipes: one command at a time, each with its own fence', async (t) => {
  const capture = await start(t, 'commands');
  const events: unknown[] = [];
  for (const name of ['segment', 'devicesChanged', 'sourceLost', 'rebuilding', 'rebuilt', 'rebuildFailed', 'serverBack', 'backlog', 'statusBacklog', 'outputError'] as const) {
    capture.on(name, (...args: unknown[]) => events.push([name, ...args.map(plain)]));
  }
  // Given up before its answer: its fence must not end the next command's answer.
  const slow = new AbortController();
  const given = capture.useInput('slow', { signal: slow.signal });
  slow.abort();
  await assert.rejects(given, { code: 'ABORTED' });
  const withCommand = cases.cases.filter((c) => c.command);
  const call = (command: string) =>
    command === 'SYSTEM' ? capture.useSystem() : command === 'LIST' ? capture.listDevices() : capture.useInput(command.slice(6));
  const outcomes = await Promise.all(
    withCommand.map((c) => call(c.command!).then((value) => ({ result: plain(value) }), (e: CommandError) => ({ error: e.code, lines: e.lines }))),
  );
  const answer = (lines: string[]) => lines.filter((l) => l.startsWith('A ')).map((l) => l.slice(2));
  assert.deepEqual(outcomes, withCommand.map((c) => ('error' in c ? { error: c.error, lines: answer(c.lines) } : { result: c.result })));
  assert.deepEqual(events, withCommand.flatMap((c) => c.events));
  await assert.rejects(capture.useInput('a\nSYSTEM'), { name: 'CommandError', code: 'BAD_UID' });
  const pending = assert.rejects(capture.useInput('slow'), { code: 'STOPPED' });
  assert.deepEqual(await capture.stop(), { code: 0, signal: null });
  await pending;
  await assert.rejects(capture.listDevices(), { code: 'STOPPED' });
});

test('every way out of the audio ends the helper; a missing helper fails start', async (t) => {
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
    const capture = await start(t, 'late', { signal: abort.signal });
    const exit = new Promise((resolve) => capture.once('exit', resolve));
    await leave(capture, abort);
    assert.deepEqual(await exit, { code: 0, signal: null }, way);
  }
  await assert.rejects(Capture.start({ helper: '/nonexistent/lumvar-capture' }), { code: 'HELPER_NOT_FOUND' });
});
