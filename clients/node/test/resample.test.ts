import assert from 'node:assert/strict';
import { test } from 'node:test';
import { level } from './support.js';
// @ts-expect-error: an example in plain JavaScript
import { Track } from '../../examples/resample.mjs';

test('the resampler keeps the passband and holds images 60 dB down (44.1 kHz read at 48 kHz)', () => {
  const cases: [number, number, number][] = [
    // tone, where its image lands at 48 kHz, the tone's least level
    [1000, 43100, 0.99],
    [19000, 25100, 0.98],
    [21500, 22600, 0.01], // in the transition band
  ];
  for (const [hz, image, least] of cases) {
    const track = new Track(48000);
    const frames = 44100;
    const samples = new Float32Array(frames * 2).map((_, i) => Math.sin((2 * Math.PI * hz * Math.floor(i / 2)) / 44100));
    track.add({ samples, frame: 0, rate: 44100, clockNs: 1_000_000_000n });
    const read: number[] = [];
    for (let i = 4800; i < 43200; i++) read.push(track.at(1_000_000_000n + BigInt(Math.round((i * 1e9) / 48000))));
    const out = Float32Array.from(read);
    assert.ok(level(out, 48000, hz) > least, `${hz} Hz passes`);
    const alias = image <= 24000 ? image : 48000 - image; // the image, folded into 0..24 kHz
    assert.ok(level(out, 48000, alias) < 1e-3, `${hz} Hz: image at ${alias} Hz is ${level(out, 48000, alias)}`);
  }
});
