// One mono track of chunks placed on a clock, read back at any time by windowed-sinc interpolation
// (Kaiser window, beta 6.76: about 70 dB of stopband). Each chunk is placed by its own capture time,
// so the track follows every segment and anchor line, holes included; old pieces are let go.

const halfTaps = 32; // taps each side at 1:1; more when the track is read at a lower rate
const beta = 0.1102 * (70 - 8.7);
const cutoff = 0.465; // of the lower of the two rates: the passband ends near 0.43, the stopband starts at 0.5

function besselI0(x) {
  let sum = 1;
  let term = 1;
  for (let k = 1; k < 30; k++) {
    term *= (x / (2 * k)) ** 2;
    sum += term;
  }
  return sum;
}
const windowTable = new Float64Array(4097).map((_, i) => besselI0(beta * Math.sqrt(1 - (i / 4096) ** 2)) / besselI0(beta));

export class Track {
  /** @param outRate the rate the track is read at */
  constructor(outRate) {
    this.outRate = outRate;
    this.pieces = []; // { clockNs, rate, frame, data: Float32Array, length }
    this.cursor = 0;
    this.weights = null;
  }

  /** Adds a chunk's frames, mixed to mono. */
  add({ samples, frame, rate, clockNs }) {
    if (rate <= 0) return;
    const count = samples.length / 2;
    let piece = this.pieces[this.pieces.length - 1];
    const continues =
      piece && piece.rate === rate && piece.frame + piece.length === frame &&
      Math.abs(Number(clockNs - piece.clockNs) - (piece.length * 1e9) / rate) < 1000;
    if (!continues) {
      piece = { clockNs, rate, frame, data: new Float32Array(Math.max(count, 4096)), length: 0 };
      this.pieces.push(piece);
    }
    if (piece.length + count > piece.data.length) {
      const grown = new Float32Array(Math.max(piece.data.length * 2, piece.length + count));
      grown.set(piece.data.subarray(0, piece.length));
      piece.data = grown;
    }
    for (let i = 0; i < count; i++) piece.data[piece.length + i] = 0.5 * (samples[2 * i] + samples[2 * i + 1]);
    piece.length += count;
  }

  /** Capture time (ns, on the capture clock) up to which the track can be read, or null when empty. */
  end() {
    const last = this.pieces[this.pieces.length - 1];
    if (!last) return null;
    return last.clockNs + BigInt(Math.round(((last.length - this.taps(last)) * 1e9) / last.rate));
  }

  /** The track's value at `clockNs` (0 in a hole). Times must not go backwards between calls. */
  at(clockNs) {
    const { pieces } = this;
    while (this.cursor + 1 < pieces.length && pieces[this.cursor + 1].clockNs <= clockNs) this.cursor++;
    const k = this.cursor;
    const piece = pieces[k];
    if (!piece || clockNs < piece.clockNs) return 0;
    let position = (Number(clockNs - piece.clockNs) * piece.rate) / 1e9;
    if (Math.abs(position - Math.round(position)) < 1e-6) position = Math.round(position);
    const whole = Math.floor(position);
    const fraction = position - whole;
    const taps = this.taps(piece);
    if (fraction === 0 && taps === halfTaps) return this.sample(k, whole);
    const weights = this.weightsFor(fraction, piece.rate);
    let sum = 0;
    for (let t = 0; t < weights.length; t++) sum += weights[t] * this.sample(k, whole - taps + 1 + t);
    return sum;
  }

  /** Lets go of pieces that end before `clockNs`, less a second. */
  trim(clockNs) {
    while (this.cursor > 0) {
      const piece = this.pieces[0];
      const end = piece.clockNs + BigInt(Math.round((piece.length * 1e9) / piece.rate));
      if (end > clockNs - 1_000_000_000n) break;
      this.pieces.shift();
      this.cursor--;
    }
  }

  taps(piece) {
    return Math.ceil(halfTaps / Math.min(1, this.outRate / piece.rate));
  }

  // Interpolation weights for one fraction, normalised to unit gain; reused while the fraction holds
  // (a track at the output's own rate keeps one fraction for a whole piece).
  weightsFor(fraction, rate) {
    const w = this.weights;
    if (w && w.fraction === fraction && w.rate === rate) return w.values;
    const scale = Math.min(1, this.outRate / rate);
    const fc = cutoff * scale;
    const taps = this.taps({ rate });
    const values = new Float64Array(2 * taps);
    let total = 0;
    for (let t = 0; t < values.length; t++) {
      const x = fraction + taps - 1 - t; // distance from the tap to the read position, in input samples
      const edge = Math.abs(x) / taps;
      if (edge >= 1) continue;
      const sinc = x === 0 ? 1 : Math.sin(2 * Math.PI * fc * x) / (2 * Math.PI * fc * x);
      const at = edge * 4096;
      const i = Math.floor(at);
      const win = windowTable[i] + (windowTable[Math.min(i + 1, 4096)] - windowTable[i]) * (at - i);
      values[t] = sinc * win;
      total += values[t];
    }
    for (let t = 0; t < values.length; t++) values[t] /= total;
    this.weights = { fraction, rate, values };
    return values;
  }

  // Sample j of piece k; a neighbouring piece that continues it in time lends its samples.
  sample(k, j) {
    const piece = this.pieces[k];
    if (j >= 0 && j < piece.length) return piece.data[j];
    const next = j < 0 ? this.pieces[k - 1] : this.pieces[k + 1];
    if (!next || next.rate !== piece.rate) return 0;
    const [a, b] = j < 0 ? [next, piece] : [piece, next];
    const gap = Number(b.clockNs - a.clockNs) - (a.length * 1e9) / a.rate;
    if (Math.abs(gap) > 1e6) return 0; // a hole, not an anchor
    return j < 0 ? this.sample(k - 1, next.length + j) : this.sample(k + 1, j - piece.length);
  }
}
