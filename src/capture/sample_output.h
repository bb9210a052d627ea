#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "audio/audio_types.h"
#include "capture/sample_ring.h"
#include "capture/segment_queue.h"
#include "capture/segment_tracker.h"
#include "capture/wake_signal.h"

namespace lumvar::capture {

// The output sample stream as the IO callbacks see it: a lock-free ring that one writer thread drains
// to standard output, so that a parent that stops reading never blocks an audio thread; and the starts
// of its segments (a source's start, a hole, a jump in the device's clock, a new rate, an anchor), each
// of which waits in a fixed queue until the main queue has written its line. The writer stops at a
// segment's first sample until then, so a segment's line always comes before its samples, unless the
// writer gave up waiting for it (a late line).
//
// Producer side (IO callbacks): one source produces at a time. The hand-off from one source to the
// next is the old source's stop, which returns only once its callback can no longer run (the platform's
// stop-and-destroy, then the close of its CallbackGate for a callback still in flight), followed on the
// main queue by the new source's beginSource() and start. Every source change in the process
// (switching, rebuilding, falling back) stops the old source before it starts the next.
// Nothing on this side allocates, locks or blocks; the one system call is the writer's wake-up.
//
// Consumer side: the writer thread alone. The main queue announces segments.
class SampleOutput {
  public:
    // 3 MiB: 8.2 s of 48 kHz stereo float that a parent may fall behind without losing a sample.
    static constexpr std::size_t kCapacity = 3 * 1024 * 1024 / sizeof(float);
    // Samples per stream frame: the stream is always two channels.
    static constexpr std::uint64_t kChannels = 2;
    // At most this many silent chunks wait together for a patient writer.
    static constexpr int kQuietChunks = 2;

    explicit SampleOutput(std::size_t capacity = kCapacity) : ring_(capacity) {}

    // --- the main queue ---
    // A source is about to start (none of its callbacks can run yet): its first chunk begins a segment
    // at `rate`, whose capture times are the cycles' host times less `latencyNanos`.
    void beginSource(double rate, std::int64_t latencyNanos) { segments_.begin(rate, latencyNanos); }
    // The running source's rate changed: the next chunk begins a segment.
    void changeRate(double rate) { segments_.changeRate(rate); }
    // The running source's latency changed (its capture times move): the next chunk begins a segment.
    void changeLatency(std::int64_t latencyNanos) { segments_.changeLatency(latencyNanos); }

    // --- IO callbacks ---
    // Once a cycle, before its chunk is offered: its input time (may be null) and its length in the
    // device's frames.
    void cycle(const audio::AudioTimeStamp* time, std::size_t deviceFrames) {
        segments_.cycle(time, deviceFrames);
    }
    // The next chunk begins a segment (a producer that places its own chunks moved them).
    void restartSegment() { segments_.restart(); }
    // Room for a whole chunk, or nullopt: the parent has fallen this far behind (and, after a drop, until
    // a quarter of the ring is free again), or the chunk would begin a segment and the segment queue is
    // full. Then the callback drops the chunk and reports it with dropped().
    std::optional<SampleRing::Region> reserve(std::size_t samples);
    // Publishes the chunk reserved last (recording its segment start first, if it begins one) and
    // wakes the writer; but a `silent` chunk (all zero) that begins no segment may wait for the next
    // chunk when the writer sleeps patiently, so that in silence the writer wakes once per
    // kQuietChunks + 1 chunks. Sound never waits, and takes the silence before it along.
    void commit(std::size_t samples, bool silent = false);
    // A chunk that did not fit: counted for the backlog report; the next chunk that fits begins a segment.
    void dropped(std::size_t samples);
    // reserve, copy, commit; or dropped(). Returns whether the samples went in.
    bool write(std::span<const float> samples);
    // Asks the writer to pass a notice on to the main queue (a layout diagnostic is waiting).
    void notice();

    // --- the writer ---
    // Waits until there is something to write or a notice, or until `timeout`; false on timeout. A
    // `patient` writer may leave a silent chunk waiting until `timeout` (see commit()).
    bool waitForWork(std::chrono::milliseconds timeout, bool patient = false);
    // Every sample committed so far (a snapshot).
    std::uint64_t committedTotal() const { return ring_.committedTotal(); }
    // What may go out now: the committed samples up to the next segment whose line is not out yet.
    std::span<const float> writable();
    void consume(std::size_t samples) { ring_.consume(samples); }
    bool empty() const { return ring_.empty(); }
    // Whether the next sample begins a segment whose line is not out yet.
    bool heldAtSegment() const;
    // Which segment holds the writer (a count that grows by one with each segment passed).
    std::uint64_t heldSegment() const { return starts_.passedCount(); }
    // Waits until the held segment's line is out or a notice is due, or until `timeout`; false on timeout.
    bool waitForSegmentLine(std::chrono::milliseconds timeout);
    // Lets the held segment's samples go before its line (which then comes late).
    void passHeldSegment();
    // Whether the main queue should look at the notices now: a segment waits for its line, a drop
    // episode is over, or a notice is waiting; true at most once until acknowledge().
    bool takeNoticeDue();

    // --- the main queue ---
    // Re-arms takeNoticeDue(), then hands over the samples dropped since the last call whose holes have
    // ended (the hole's segment start is queued by then).
    std::uint64_t acknowledge();
    // The oldest segment start whose line is not queued yet, and the note that it is.
    std::optional<SegmentStart> nextToAnnounce() const { return starts_.nextToQueue(); }
    void lineQueued() { starts_.lineQueued(); }
    // Any thread, in queuing order: a start's line is written; the writer may go on past it.
    void announced();

  private:
    bool noticeWaiting() const;

    SampleRing ring_;
    WakeSignal wake_;
    SegmentQueue starts_;
    SegmentTracker segments_;     // the IO thread's (see its hand-off)
    bool beginsSegment_ = false;  // the chunk reserved last begins one; the IO thread's
    bool afterDrop_ = false;      // the next chunk that fits begins a segment; the IO thread's
    bool recovering_ = false;     // dropping until a quarter of the ring is free; the IO thread's
    int quietWaiting_ = 0;        // silent chunks left for a patient writer; the IO thread's
    std::atomic<bool> holeOpen_{false};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<bool> notice_{false};
    std::atomic<bool> noticePosted_{false};
};

}  // namespace lumvar::capture
