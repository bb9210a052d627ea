#pragma once

#include <cstdint>
#include <optional>

namespace lumvar::audio::pipewire {

// What the graph reports of one cycle (pw_stream_get_time_n), in the fields the stamps need.
struct CycleReport {
    std::int64_t now = 0;       // CLOCK_MONOTONIC nanoseconds when the cycle began
    std::uint32_t rateNum = 0;  // one tick of the graph's clock is rateNum / rateDenom seconds
    std::uint32_t rateDenom = 0;
    std::uint64_t ticks = 0;     // the graph's clock at the cycle
    std::int64_t delay = 0;      // ticks from the device to the cycle
    std::uint64_t buffered = 0;  // frames the stream's converter still holds
};

// Where a buffer of the stream lies: its first frame's position in the stream, with the frames of the
// cycles the graph skipped counted (so the skip shows as a jump), and, where the report allows, the
// CLOCK_MONOTONIC nanoseconds when that frame was captured.
struct CycleStamp {
    std::uint64_t position = 0;
    std::optional<std::uint64_t> capturedNanos;
};

// Stamps a stream's buffers from the graph's reports of their cycles; the data thread's own. The newest
// frame of a cycle was captured the graph's delay (to the device) before the cycle began, plus what the
// converter still holds:
//     captured(first frame) = now - (delay + buffer's ticks) x tick - buffered / stream rate
// A cycle whose clock is further on than one cycle after the previous one (by more than 2 % and a tick)
// may follow cycles the graph skipped, whose frames are lost; or its report may be one the graph has
// already moved on from, read by a callback that ran late. The next report tells: it moves on by less
// than a cycle after a report that ran ahead. So the skipped frames are added to the position (which
// jumps) at the next buffer, once that report has moved on by a whole cycle. In a stream's first
// kSettleSeconds the graph may also stand still between two cycles (it starts, and links the stream):
// a buffer whose time then moves off the placement in force by more than kPlacement makes the position
// jump by a frame, so that the frames from there on begin a segment of their own.
class CycleClock {
  public:
    static constexpr double kSettleSeconds = 1.0;
    static constexpr double kPlacementNanos = 1e6;

    explicit CycleClock(std::uint32_t streamRate) : rate_(streamRate) {}

    // `newerFrames`: the frames of the buffers taken after this one in the same callback, which the
    // report's cycle covers too.
    CycleStamp stamp(const CycleReport& report, std::uint32_t frames, std::uint32_t newerFrames = 0);

  private:
    std::uint32_t rate_;
    std::uint64_t position_ = 0;
    std::uint64_t lastCycle_ = 0;  // the graph's clock at the previous cycle
    std::uint64_t lastTicks_ = 0;  // the previous buffer's length on that clock
    bool cycled_ = false;
    std::uint64_t pendingSkip_ = 0;  // frames of cycles the previous report seemed to skip
    std::uint64_t settled_ = 0;      // frames of the stream's first kSettleSeconds; 0 before its first
    std::uint64_t skew_ = 0;         // a frame for each new placement while it settles
    double placement_ = 0.0;         // capture time less position, in nanoseconds
};

}  // namespace lumvar::audio::pipewire
