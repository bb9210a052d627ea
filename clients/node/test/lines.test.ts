import assert from 'node:assert/strict';
import { test } from 'node:test';
import { Attributor, type Chunk } from '../src/attribution.js';
import { isBuildLine, parseDevices, parseSegment, parseStatus, reactionOf } from '../src/lines.js';

const frameBytes = (values: number[]) => Buffer.from(new Float32Array(values.flatMap((v) => [v, v])).buffer);
const summary = (chunks: Chunk[]) => chunks.map((c) => [c.frame, c.samples.length / 2, c.rate, c.clockNs]);

test('marks and texts of status lines', () => {
  const cases: [string, string, string][] = [
    ['  > system tap started', '>', 'system tap started'],
    ['  x input device not found: a b', 'x', 'input device not found: a b'],
    ['  ! input devices changed', '!', 'input devices changed'],
    ['  rates: output=48000.0 aggregate=48000.0', 'info', 'rates: output=48000.0 aggregate=48000.0'],
    ['    buf[0] ch=2 bytes=4096', 'detail', 'buf[0] ch=2 bytes=4096'],
    ['initial tap build failed', 'plain', 'initial tap build failed'],
    ['@DEVICES []', 'plain', '@DEVICES []'],
    ['  >no space', 'info', '>no space'],
  ];
  for (const [raw, mark, text] of cases) assert.deepEqual(parseStatus(raw), { raw, mark, text }, raw);
});

test('segment lines, device lists and build lines', () => {
  assert.deepEqual(parseSegment('  segment: frame=9007199254740 rate=44100.0 clock_ns=18446744073709551615'), {
    frame: 9007199254740,
    rate: 44100,
    clockNs: 18446744073709551615n,
  });
  assert.equal(parseSegment('  segment: frame=-1 rate=48000.0 clock_ns=1'), undefined);
  assert.deepEqual(parseDevices('@DEVICES [{"uid":"a\\/b","name":"\\u00e9","ch":1,"default":true}]'), [
    { uid: 'a/b', name: 'é', channels: 1, isDefault: true },
  ]);
  assert.deepEqual(parseDevices('@DEVICES [not json'), []);
  assert.ok(isBuildLine('  x create aggregate failed: 560947818'));
  assert.ok(!isBuildLine('  x input device not found: failed: 1'));
});

test('every unsolicited line maps to its event; command answers map to none', () => {
  const cases: [string, string | undefined][] = [
    ['  segment: frame=0 rate=48000.0 clock_ns=1', 'segment'],
    ['  ! input devices changed', 'devicesChanged'],
    ['  x input device lost: mic; restoring system', 'sourceLost'],
    ['  ! tap stalled - rebuilding', 'rebuilding'],
    ['  ! tap went silent (23040001 zero-frames) - rebuilding', 'rebuilding'],
    ['  ! default output changed - rebuilding', 'rebuilding'],
    ['  > tap rebuilt', 'rebuilt'],
    ['  x rebuild failed', 'rebuildFailed'],
    ['  x rebuild failed; retrying next tick', 'rebuildFailed'],
    ['  x sound server unreachable', 'serverUnreachable'],
    ['  > sound server back', 'serverBack'],
    ['  ! output backlog: dropped 1024 samples - parent not reading', 'backlog'],
    ['  ! status backlog: dropped 7 lines - parent not reading stderr', 'statusBacklog'],
    ['  x output write error (ENOSPC) - ending', 'outputError'],
    ['  IOProc#1: abl.count=1 buf0.ch=2 bytes=3840 frames=480', 'layout'],
    ['  > input capture started: mic', undefined],
    ['  x input start failed; restoring system', undefined],
    ['  > system tap started', undefined],
    ['unknown cmd: X', undefined],
  ];
  for (const [raw, event] of cases) assert.equal(reactionOf(raw)?.event, event, raw);
  assert.deepEqual(reactionOf('  ! output backlog: dropped 1024 samples - parent not reading'), {
    event: 'backlog',
    droppedSamples: 1024,
  });
});

test('chunks are whole frames cut at segment boundaries, labelled by their segment', () => {
  const a = new Attributor();
  a.addSegment({ frame: 0, rate: 48000, clockNs: 1_000_000_000n });
  a.addSegment({ frame: 5, rate: 44100, clockNs: 3_000_000_000n });
  const bytes = frameBytes([0, 1, 2, 3, 4, 5, 6, 7]);
  // 3.5 frames, then the rest: the half frame waits for its other half.
  const first = a.push(bytes.subarray(0, 28));
  const second = a.push(bytes.subarray(28));
  assert.deepEqual(summary(first), [[0, 3, 48000, 1_000_000_000n]]);
  assert.deepEqual(summary(second), [
    [3, 2, 48000, 1_000_062_500n],
    [5, 3, 44100, 3_000_000_000n],
  ]);
  assert.deepEqual(Array.from(second[1].samples), [5, 5, 6, 6, 7, 7]);
});

test('a late segment labels only the frames after those already cut', () => {
  const a = new Attributor();
  a.addSegment({ frame: 0, rate: 48000, clockNs: 0n });
  a.push(frameBytes(new Array(10).fill(0)));
  assert.equal(a.addSegment({ frame: 4, rate: 16000, clockNs: 1_000_000_000n }), true);
  assert.equal(a.addSegment({ frame: 2, rate: 8000, clockNs: 0n }), true); // older than the one that applies
  assert.deepEqual(summary(a.push(frameBytes([1, 1]))), [[10, 2, 16000, 1_000_375_000n]]);
});
