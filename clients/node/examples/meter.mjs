// A live level meter of what the machine plays (or of one input device), the status lines beneath.
// Usage: node examples/meter.mjs [input-uid]     (Ctrl-C ends it)
import { Capture } from 'lumvar-capture';

const capture = await Capture.start();
const lines = [];
capture.on('status', (line) => lines.push(line.raw) > 12 && lines.shift());
if (process.argv[2]) await capture.useInput(process.argv[2]);
process.once('SIGINT', () => capture.stop());

const bar = (peak) => {
  const db = 20 * Math.log10(Math.max(peak, 1e-6));
  const width = Math.max(0, Math.round((db + 60) / 1.5)); // -60 dBFS .. 0 dBFS in 40 cells
  return `${'#'.repeat(width).padEnd(40, '.')} ${db.toFixed(1).padStart(6)} dBFS`;
};
const peaks = [0, 0];
let drawn = 0;
for await (const { samples, rate, clockNs } of capture.chunks()) {
  for (let i = 0; i < samples.length; i++) peaks[i & 1] = Math.max(peaks[i & 1], Math.abs(samples[i]));
  if (Date.now() - drawn < 50) continue;
  drawn = Date.now();
  const age = clockNs === undefined ? '?' : (Number(process.hrtime.bigint() - clockNs) / 1e6).toFixed(0); // no time: merged lines
  process.stdout.write('\x1b[H\x1b[J' + `L ${bar(peaks[0])}\nR ${bar(peaks[1])}\n${rate} Hz, ${age} ms behind\n\n` + lines.join('\n') + '\n');
  peaks.fill(0);
}
