#pragma once

#include <atomic>
#include <cstdint>

namespace lumvar::capture {

// The tap's silence counters. Despite the names, both count sample values, not frames: every float
// of the first buffer, all channels together (96 000 a second for 48 kHz stereo).
struct SilenceCount {
    std::int64_t zeroFrames = 0;   // the current unbroken run of callbacks whose first buffer was all zeros
    std::int64_t totalFrames = 0;  // everything handled since the last successful build
};

// One writer at a time (the IO callback while a source runs; the main thread while none does) and
// any number of readers, who always see both values from the same update. A sequence lock: the
// writer never waits, a reader retries while an update is under way.
class SilenceCounters {
  public:
    static_assert(std::atomic<std::int64_t>::is_always_lock_free &&
                  std::atomic<std::uint32_t>::is_always_lock_free);

    // The writer: adds one callback's `samples`, all zero or not.
    void add(std::int64_t samples, bool silent) {
        const SilenceCount now = readOwn();
        store({silent ? now.zeroFrames + samples : 0, now.totalFrames + samples});
    }

    // The writer (or the main thread while no callback can run).
    void store(SilenceCount count) {
        const std::uint32_t sequence = sequence_.load(std::memory_order_relaxed);
        sequence_.store(sequence + 1, std::memory_order_relaxed);  // odd: an update is under way
        // Release: a reader that sees either new value also sees the odd sequence before it.
        zero_.store(count.zeroFrames, std::memory_order_release);
        total_.store(count.totalFrames, std::memory_order_release);
        sequence_.store(sequence + 2, std::memory_order_release);
    }

    // Any thread: both values from one update. Plain loads and stores on x86-64 and arm64 (no fence,
    // no read-modify-write), so the writer on the audio thread pays nothing for the readers.
    SilenceCount read() const {
        for (;;) {
            const std::uint32_t before = sequence_.load(std::memory_order_acquire);
            const SilenceCount count{zero_.load(std::memory_order_acquire),
                                     total_.load(std::memory_order_acquire)};
            if ((before & 1u) == 0 && sequence_.load(std::memory_order_relaxed) == before) return count;
        }
    }

  private:
    // The writer's own view needs no retry: nobody else writes meanwhile.
    SilenceCount readOwn() const {
        return {zero_.load(std::memory_order_relaxed), total_.load(std::memory_order_relaxed)};
    }

    std::atomic<std::uint32_t> sequence_{0};
    std::atomic<std::int64_t> zero_{0};
    std::atomic<std::int64_t> total_{0};
};

}  // namespace lumvar::capture
