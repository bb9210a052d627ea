// Records both sides of a call into one stereo WAV: left what the machine played, right a microphone,
// two helpers aligned by the capture times of their chunks (so at every segment and anchor line), the
// microphone resampled to the system's rate.
// Usage: node examples/call-recorder.mjs [seconds=10] [out=call.wav] [mic-uid=the default input]
import { Capture } from 'lumvar-capture';
import { Track } from './resample.mjs';
import { WavWriter } from './wav.mjs';

const [seconds = 10, out = 'call.wav', uid] = process.argv.slice(2);
const [system, mic] = await Promise.all([Capture.start(), Capture.start()]);
system.on('status', (line) => console.error('system:', line.raw));
mic.on('status', (line) => console.error('mic:   ', line.raw));
await mic.useInput(uid ?? mic.devices.find((d) => d.isDefault).uid);

let played, heard, wav, origin;
let frames = 0; // written to the WAV
const pending = []; // mic chunks that came before the first system chunk
const timeOf = (frame) => origin + BigInt(Math.round((frame * 1e9) / wav.rate));

// Writes every output frame both tracks can give (or all when `last`; one that lags by over a second
// is taken as silent meanwhile).
function render(last = false) {
  const ends = [played.end(), heard.end()].map((e) => e ?? origin);
  const [low, high] = ends[0] < ends[1] ? ends : [ends[1], ends[0]];
  const until = last ? high : low > high - 1_000_000_000n ? low : high - 1_000_000_000n;
  const block = [];
  for (let t = timeOf(frames); t < until; t = timeOf(++frames)) block.push(played.at(t), heard.at(t));
  if (block.length) wav.write(new Float32Array(block));
  played.trim(timeOf(frames));
  heard.trim(timeOf(frames));
}

async function pump(capture, onChunk) {
  for await (const chunk of capture.chunks()) onChunk(chunk);
}
setTimeout(() => Promise.all([system.stop(), mic.stop()]), Number(seconds) * 1000);
await Promise.all([
  pump(system, (chunk) => {
    if (chunk.clockNs === undefined) return; // no capture time (the helper's segment lines were merged): no place
    if (!wav) {
      origin = chunk.clockNs;
      wav = new WavWriter(out, chunk.rate);
      played = new Track(chunk.rate);
      heard = new Track(chunk.rate);
      pending.splice(0).forEach((c) => heard.add(c));
    }
    played.add(chunk);
    render();
  }),
  pump(mic, (chunk) => (heard ? (heard.add(chunk), render()) : pending.push(chunk))),
]);
if (wav) {
  render(true);
  wav.close();
  console.error(`${out}: ${(frames / wav.rate).toFixed(2)} s at ${wav.rate} Hz`);
}
