// Cuts the bytes of standard output into chunks of whole frames, each inside one segment, and labels
// them with their segment's rate, capture time and source. It knows nothing of pipes or timing: the caller
// must have handed it every segment line written before the bytes it passes.
import type { Segment, Source } from './lines.js';

const bytesPerFrame = 8; // two float32 samples

/** Interleaved stereo float32 samples, all from one segment. */
export interface Chunk {
  samples: Float32Array;
  /** The stream index of the chunk's first frame (frames the parent received before it). */
  frame: number;
  /** Its segment's rate; 0 when unknown. */
  rate: number;
  /** Capture time of the first frame, on `process.hrtime.bigint()`'s clock; undefined when no segment
   * line places it (the lines of its segment starts were merged away: `segmentsMerged`). */
  clockNs: bigint | undefined;
  /** What the frames are: the source named by the last source line before its segment's line; null
   * (unknown) where segment lines were merged away, since source lines went with them. */
  source: Source | null;
}

/** Where frames lie in time from `frame` on, and what they are: a segment, or, without `clockNs`, frames
 * no line places. */
export type Placement = Omit<Segment, 'clockNs'> & { clockNs?: bigint; source: Source | null };

export class Attributor {
  /** Frames cut into chunks so far: the index of the next frame. */
  frames = 0;
  private remainder = Buffer.alloc(0);
  private current: Placement = { frame: 0, rate: 0, source: 'system' }; // the helper starts on the system source
  /** Segments that begin at or after `frames`, in order. */
  private upcoming: Placement[] = [];

  /** Takes a segment line's segment (or frames no line places, from a merge of segment lines). Returns
   * whether it came late: it begins before a frame that was already cut, so that chunks already made
   * carry the segment before it. */
  addSegment(segment: Placement): boolean {
    if (segment.frame < this.frames) {
      // Frames from `frames` on belong to the latest segment that begins at or before them.
      if (segment.frame >= this.current.frame) this.current = segment;
      return true;
    }
    const at = this.upcoming.findIndex((s) => s.frame >= segment.frame);
    if (at < 0) this.upcoming.push(segment);
    else if (this.upcoming[at].frame === segment.frame) this.upcoming[at] = segment;
    else this.upcoming.splice(at, 0, segment);
    return false;
  }

  /** Cuts `bytes` (with the part frame left from the last call) into chunks. */
  push(bytes: Buffer): Chunk[] {
    const data = this.remainder.length ? Buffer.concat([this.remainder, bytes]) : bytes;
    const whole = data.length - (data.length % bytesPerFrame);
    this.remainder = Buffer.from(data.subarray(whole));
    const chunks: Chunk[] = [];
    let offset = 0;
    while (offset < whole) {
      while (this.upcoming.length && this.upcoming[0].frame <= this.frames) this.current = this.upcoming.shift()!;
      const framesLeft = (whole - offset) / bytesPerFrame;
      const toBoundary = this.upcoming.length ? this.upcoming[0].frame - this.frames : Infinity;
      const count = Math.min(framesLeft, toBoundary);
      const samples = new Float32Array(count * 2);
      new Uint8Array(samples.buffer).set(data.subarray(offset, offset + count * bytesPerFrame));
      const { rate, source } = this.current;
      chunks.push({ samples, frame: this.frames, rate, clockNs: clockAt(this.current, this.frames), source });
      this.frames += count;
      offset += count * bytesPerFrame;
    }
    return chunks;
  }
}

/** The capture time of `frame` within `segment`. */
export function clockAt(segment: Placement, frame: number): bigint | undefined {
  if (segment.clockNs === undefined || segment.rate <= 0) return segment.clockNs;
  return segment.clockNs + BigInt(Math.round(((frame - segment.frame) * 1e9) / segment.rate));
}
