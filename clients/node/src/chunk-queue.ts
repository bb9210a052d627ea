// The chunks between the pipe and the consumer: one async iterator's worth of queue, with the count of
// bytes it holds so that the capture can stop reading when a consumer does not pull.
import type { Chunk } from './attribution.js';

export class ChunkQueue {
  /** Bytes of samples waiting for the consumer. */
  bytes = 0;
  private readonly chunks: Chunk[] = [];
  private readonly waiters: { resolve(r: IteratorResult<Chunk>): void; reject(e: Error): void }[] = [];
  private end: 'open' | 'done' | Error = 'open';

  /** @param onPull called after the consumer took a chunk or began to wait for one */
  constructor(private readonly onPull: () => void) {}

  push(chunk: Chunk): void {
    const waiter = this.waiters.shift();
    if (waiter) {
      waiter.resolve({ value: chunk, done: false });
      return;
    }
    this.chunks.push(chunk);
    this.bytes += chunk.samples.byteLength;
  }

  next(): Promise<IteratorResult<Chunk>> {
    const chunk = this.chunks.shift();
    if (chunk) {
      this.bytes -= chunk.samples.byteLength;
      this.onPull();
      return Promise.resolve({ value: chunk, done: false });
    }
    if (this.end === 'done') return Promise.resolve({ value: undefined, done: true });
    if (this.end instanceof Error) {
      const error = this.end;
      this.end = 'done'; // the error is thrown once; the iterator is done afterwards
      return Promise.reject(error);
    }
    const waiting = new Promise<IteratorResult<Chunk>>((resolve, reject) => this.waiters.push({ resolve, reject }));
    this.onPull();
    return waiting;
  }

  /** No more chunks: the queued ones are still delivered, then the end (or the error, once). */
  close(error?: Error): void {
    if (this.end !== 'open') return;
    this.end = error ?? 'done';
    for (const waiter of this.waiters.splice(0)) {
      if (this.end instanceof Error) {
        waiter.reject(this.end);
        this.end = 'done';
      } else {
        waiter.resolve({ value: undefined, done: true });
      }
    }
  }
}
