// Records N seconds of what the machine plays (or of one input device) to WAV: a new file at each
// rate change. Usage: node examples/record-wav.mjs [seconds=10] [prefix=capture] [input-uid]
import { Capture } from 'lumvar-capture';
import { WavWriter } from './wav.mjs';

const [seconds = 10, prefix = 'capture', uid] = process.argv.slice(2);
const capture = await Capture.start();
capture.on('status', (line) => console.error(line.raw));
if (uid) await capture.useInput(uid);

let wav = null;
let files = 0;
let recorded = 0; // seconds
for await (const chunk of capture.chunks()) {
  if (!chunk.rate) continue; // frames of no known rate (the helper's segment lines were merged): left out
  if (chunk.rate !== wav?.rate) {
    wav?.close();
    wav = new WavWriter(`${prefix}-${++files}.wav`, chunk.rate);
    console.error(`${prefix}-${files}.wav at ${chunk.rate} Hz`);
  }
  wav.write(chunk.samples);
  recorded += chunk.samples.length / 2 / chunk.rate;
  if (recorded >= Number(seconds)) break; // leaving the loop stops the helper
}
wav?.close();
