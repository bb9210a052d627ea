// Records both sides of a call into one stereo WAV: left a microphone, right what the machine plays, each
// frame's two samples from the same instant (the helper's CALL aligns them, and converts the microphone
// to the system's rate). Usage: node examples/call-recorder.mjs [seconds=10] [out=call.wav] [mic-uid=the default input]
import { Capture } from 'lumvar-capture';
import { WavWriter } from './wav.mjs';

const [seconds = 10, out = 'call.wav', uid] = process.argv.slice(2);
const capture = await Capture.start();
capture.on('status', (line) => console.error(line.raw));
await capture.useCall(uid ?? capture.devices.find((d) => d.isDefault).uid);

let wav = null;
for await (const chunk of capture.chunks()) {
  if (chunk.source !== 'call' || !chunk.rate) continue; // the system source's frames before the call; frames of no known rate
  if (chunk.rate !== (wav ??= new WavWriter(out, chunk.rate)).rate) break; // the default output moved to another rate
  wav.write(chunk.samples);
  if (wav.bytes / 8 >= Number(seconds) * wav.rate) break; // leaving the loop stops the helper
}
wav?.close();
