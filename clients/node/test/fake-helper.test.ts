// The client against the shared stand-in for the helper (clients/shared/fake-helper.py): attribution
// races and a late line, the command cases through the pipes, the ways out. No sound server needed.
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

test('a line written right before its frames labels exactly those frames and their source, whatever the reads; a late one, the later ones; a merge, none', async (t) => {
  const capture = await start(t, 'burst');
  const segments: Segment[] = [];
  const late: (Segment & { deliveredFrames: number })[] = [];
  capture.on('segment', (s) => segments.push(s));
  capture.on('lateSegment', (s) => late.push(s));
  const chunks = await drain(capture);
  // Late lines, after 100 and 1000 frames past them were delivered: those keep the label they had, and
  // the second, older than the last segment, labels nothing.
  assert.deepEqual(late.map((s) => s.deliveredFrames - s.frame), [100, 1000]);
  const labels = [...segments.slice(0, -1), late[0], segments.at(-1)!];
  let frame = 0;
  for (const c of chunks) {
    // Every frame in order, and all of one segment: the right samples hold its line's number.
    const [right, frames] = [c.samples[1], c.samples.length / 2];
    const wrong = c.samples.findIndex((v, i) => v !== (i % 2 ? right : frame + (i >> 1)));
    assert.deepEqual([c.frame, wrong], [frame, -1], `chunk at ${c.frame}: sample ${wrong}`);
    frame += frames;
    if (right < 0) {
      assert.deepEqual([c.rate, c.clockNs, c.source], [0, undefined, null], `merged, at ${c.frame}`);
      continue;
    }
    const segment = labels[right % 1000];
    const clockNs = segment.clockNs + BigInt(Math.round(((c.frame - segment.frame) * 1e9) / segment.rate));
    assert.deepEqual([c.rate, c.clockNs, c.source], [segment.rate, clockNs, ['system', 'input', 'call'][Math.floor(right / 1000)]]);
  }
  assert.equal(frame, labels.at(-1)!.frame); // the last line tells how many frames there were
});

test('the command cases through the pipes: one command at a time, each with its own fence', async (t) => {
  const capture = await start(t, 'commands');
  const events: unknown[] = [];
  const names = ['segment', 'segmentsMerged', 'devicesChanged', 'sourceLost', 'rebuilding', 'rebuilt', 'rebuildFailed', 'serverBack', 'callInputLost', 'callSystemUnavailable'] as const;
  for (const name of [...names, 'backlog', 'statusBacklog', 'outputError'] as const) {
    capture.on(name, (...args: unknown[]) => events.push([name, ...args.map(plain)]));
  }
  // Given up before its answer: its fence must not end the next command's answer.
  const slow = new AbortController();
  const given = capture.useInput('slow', { signal: slow.signal });
  slow.abort();
  await assert.rejects(given, { code: 'ABORTED' });
  const withCommand = cases.cases.filter((c) => c.command);
  const call = (command: string) =>
    command === 'SYSTEM' ? capture.useSystem() : command.startsWith('CALL') ? capture.useCall(command.slice(5)) : capture.useInput(command.slice(6));
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
    const capture = await start(t, 'flood', { signal: abort.signal });
    const exit = new Promise((resolve) => capture.once('exit', resolve));
    await leave(capture, abort);
    assert.deepEqual(await exit, { code: 0, signal: null }, way);
  }
  await assert.rejects(Capture.start({ helper: '/nonexistent/lumvar-capture' }), { code: 'HELPER_NOT_FOUND' });
});
