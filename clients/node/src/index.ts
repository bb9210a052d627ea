// lumvar-capture for Node.js: spawn the helper, speak its protocol, receive its audio attributed to
// rate and capture time.
export { Capture, resolveHelper } from './capture.js';
export type { CallOptions, CallStarted, CaptureEvents, ExitStatus, RebuildReason, StartOptions } from './capture.js';
export type { Chunk } from './attribution.js';
export { CaptureError, CaptureStartError, CommandError, HelperExitError } from './errors.js';
export { parseStatus } from './lines.js';
export type { InputDevice, Mark, Segment, Source, StatusLine } from './lines.js';
