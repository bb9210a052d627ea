#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "common/sample_ring.h"
#include "common/wake_signal.h"

namespace lumvar::capture {

// The output sample stream as the IO callbacks see it: a lock-free ring that one writer thread drains
// to standard output, so that a parent that stops reading never blocks an audio thread.
//
// Producer side (IO callbacks): one source produces at a time. The hand-off from one source to the
// next is the old source's stop, which returns only once its callback can no longer run (the platform's
// stop-and-destroy, then the close of its CallbackGate for a callback still in flight), followed on the
// main queue by the new source's start. Every source change in the process (switching, rebuilding,
// falling back) stops the old source before it starts the next.
// Nothing on this side allocates, locks or blocks; the one system call is the writer's wake-up.
//
// Consumer side: the writer thread alone.
class SampleOutput {
  public:
    // 3 MiB: 8.2 s of 48 kHz stereo float that a parent may fall behind without losing a sample.
    static constexpr std::size_t kCapacity = 3 * 1024 * 1024 / sizeof(float);

    explicit SampleOutput(std::size_t capacity = kCapacity) : ring_(capacity) {}

    // --- IO callbacks ---
    // Room for a whole chunk, or nullopt when the parent has fallen this far behind; then the
    // callback drops the chunk and reports it with dropped().
    std::optional<SampleRing::Region> reserve(std::size_t samples) { return ring_.reserve(samples); }
    // Publishes the chunk reserved last and wakes the writer.
    void commit(std::size_t samples);
    // A chunk that did not fit: counted for the backlog report.
    void dropped(std::size_t samples) { dropped_.fetch_add(samples, std::memory_order_relaxed); }
    // reserve, copy, commit; or dropped(). Returns whether the samples went in.
    bool write(std::span<const float> samples);
    // Asks the writer to pass a notice on to the main queue (a layout diagnostic is waiting).
    void notice();

    // --- the writer ---
    // Waits until there is something to write or a notice, or until `timeout`; false on timeout.
    bool waitForWork(std::chrono::milliseconds timeout);
    std::span<const float> readable() const { return ring_.readable(); }
    void consume(std::size_t samples) { ring_.consume(samples); }
    bool empty() const { return ring_.empty(); }
    // Whether the main queue should look at the notices now: a drop episode is over (the writer has
    // caught up) or a notice is waiting; true at most once until acknowledge().
    bool takeNoticeDue();

    // --- the main queue ---
    // Re-arms takeNoticeDue(), then hands over the samples dropped since the last call.
    std::uint64_t acknowledge();

  private:
    SampleRing ring_;
    WakeSignal wake_;
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<bool> notice_{false};
    std::atomic<bool> noticePosted_{false};
};

}  // namespace lumvar::capture
