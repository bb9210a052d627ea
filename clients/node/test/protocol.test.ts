// The shared protocol cases (clients/shared/protocol-cases.json) against this client's parser.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { Attributor } from '../src/attribution.js';
import { outcomeOf, parseDevices, parseSegment, parseStatus, type Outcome } from '../src/lines.js';
import { Reactions } from '../src/reactions.js';
import { cases, plain } from './support.js';

test('status lines, segment lines and device lists', () => {
  for (const [raw, mark, text] of cases.status) assert.deepEqual(parseStatus(raw), { raw, mark, text }, raw);
  for (const [raw, segment] of cases.segments) assert.deepEqual(plain(parseSegment(raw)) ?? null, segment, raw);
  for (const [raw, devices] of cases.devices) assert.deepEqual(parseDevices(raw), devices, raw);
});

for (const c of cases.cases) {
  test(`reactions and answers: ${c.about}`, () => {
    const [events, chunks, attributor]: [unknown[], unknown[], Attributor] = [[], [], new Attributor()];
    const reactions = new Reactions((event, ...args) => events.push([event, ...args.map(plain)]), attributor);
    const answer = c.command ? [] : undefined;
    let outcome: Outcome | undefined;
    for (const line of [...c.lines.map((l) => l.replace(/^A /, '')), ...(c.command ? [cases.fence] : [])]) {
      const read = /^F (\d+)$/.exec(line);
      const cut = read ? attributor.push(Buffer.alloc(8 * Number(read[1]))) : [];
      chunks.push(...cut.map((k) => [k.frame, k.samples.length / 2, k.rate, plain(k.clockNs) ?? null, k.source]));
      if (!read && reactions.take(line, answer)) outcome = outcomeOf(c.command!, answer!, parseDevices(line));
    }
    reactions.close();
    assert.deepEqual([events, chunks], [c.events, c.chunks ?? []]);
    assert.deepEqual(answer, c.command ? c.lines.filter((l) => l.startsWith('A ')).map((l) => l.slice(2)) : undefined);
    const got = outcome && ('code' in outcome ? { error: outcome.code } : { result: outcome.value });
    assert.deepEqual(got, c.command ? ('error' in c ? { error: c.error } : { result: c.result }) : undefined);
  });
}
