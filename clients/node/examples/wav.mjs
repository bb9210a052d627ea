// A WAV file of 32-bit float stereo frames, written as they come; the sizes are set on close.
import { closeSync, openSync, writeSync } from 'node:fs';

export class WavWriter {
  constructor(path, rate, channels = 2) {
    this.fd = openSync(path, 'w');
    this.rate = rate;
    this.channels = channels;
    this.bytes = 0;
    writeSync(this.fd, this.header());
  }

  /** Writes interleaved float32 samples. */
  write(samples) {
    writeSync(this.fd, new Uint8Array(samples.buffer, samples.byteOffset, samples.byteLength));
    this.bytes += samples.byteLength;
  }

  close() {
    writeSync(this.fd, this.header(), 0, 44, 0);
    closeSync(this.fd);
  }

  header() {
    const h = Buffer.alloc(44);
    h.write('RIFF', 0);
    h.writeUInt32LE(36 + this.bytes, 4);
    h.write('WAVEfmt ', 8);
    h.writeUInt32LE(16, 16);
    h.writeUInt16LE(3, 20); // IEEE float
    h.writeUInt16LE(this.channels, 22);
    h.writeUInt32LE(this.rate, 24);
    h.writeUInt32LE(this.rate * this.channels * 4, 28);
    h.writeUInt16LE(this.channels * 4, 32);
    h.writeUInt16LE(32, 34);
    h.write('data', 36);
    h.writeUInt32LE(this.bytes, 40);
    return h;
  }
}
