#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <optional>

namespace lumvar::capture {

// Where a segment of the output stream begins: from `sample` on (a position in the samples the parent
// reads, drops not counted), frames are at `rate`, and the first was captured at `hostTime` (the
// platform's host clock, when `hostTimeValid`) less `latencyNanos`. An anchor only marks the device
// clock's progress within a segment: nothing else changed there. A jump is a segment that the device's
// own clock began (its frame count jumped), whose rate the device may have changed first.
struct SegmentStart {
    std::uint64_t sample = 0;
    double rate = 0.0;
    std::uint64_t hostTime = 0;
    std::int64_t latencyNanos = 0;
    bool hostTimeValid = false;
    bool anchor = false;
    bool jump = false;
};

// The segment starts that wait for their status line, in a fixed ring that never allocates. One IO
// callback at a time pushes; readers follow at their own pace: the main queue, which formats each
// start's line and queues it for standard error; whoever writes that line, who marks the start
// announced once the write has returned; and the output writer, which marks a start passed once its
// samples may go out. A slot is reused once its line is queued and the writer is past it: a standard
// error that is not read holds lines in the status queue (which bounds them), never slots here.
class SegmentQueue {
  public:
    static constexpr std::uint64_t kCapacity = 64;

    // --- the IO callback ---
    bool full() const {
        const std::uint64_t oldest =
            std::min(queued_.load(std::memory_order_acquire), passed_.load(std::memory_order_acquire));
        return pushed_.load(std::memory_order_relaxed) - oldest >= kCapacity;
    }
    // Only after !full().
    void push(const SegmentStart& start) {
        const std::uint64_t pushed = pushed_.load(std::memory_order_relaxed);
        slots_[pushed % kCapacity] = start;
        pushed_.store(pushed + 1, std::memory_order_release);
    }

    // --- the main queue ---
    std::optional<SegmentStart> nextToQueue() const { return at(queued_.load(std::memory_order_relaxed)); }
    void lineQueued() { queued_.fetch_add(1, std::memory_order_release); }
    bool allQueued() const {
        return queued_.load(std::memory_order_acquire) == pushed_.load(std::memory_order_acquire);
    }
    // --- whoever writes the lines, in the order they were queued ---
    void announced() { announced_.fetch_add(1, std::memory_order_release); }

    // --- the output writer ---
    std::optional<SegmentStart> nextToPass() const { return at(passed_.load(std::memory_order_relaxed)); }
    // Whether the next start to pass has its line out.
    bool nextToPassAnnounced() const {
        return announced_.load(std::memory_order_acquire) > passed_.load(std::memory_order_relaxed);
    }
    void passed() { passed_.fetch_add(1, std::memory_order_release); }
    std::uint64_t passedCount() const { return passed_.load(std::memory_order_relaxed); }

  private:
    std::optional<SegmentStart> at(std::uint64_t index) const {
        if (index == pushed_.load(std::memory_order_acquire)) return std::nullopt;
        return slots_[index % kCapacity];
    }

    std::array<SegmentStart, kCapacity> slots_{};
    alignas(64) std::atomic<std::uint64_t> pushed_{0};
    alignas(64) std::atomic<std::uint64_t> queued_{0};
    alignas(64) std::atomic<std::uint64_t> announced_{0};
    alignas(64) std::atomic<std::uint64_t> passed_{0};
};

}  // namespace lumvar::capture
